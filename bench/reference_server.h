// ReferenceServer: the TCP peer the reference runs talk to, on 127.0.0.1,
// served by a thread of its own. What a new connection gets depends on the
// mode at the time it is accepted.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ReferenceServer {
public:
    enum class Mode {
        Echo,    // every byte back
        Bulk,    // amount bytes of the test pattern, then quiet
        Verify,  // checks amount bytes of the test pattern and answers as the board does
        Refuse,  // the text, then close
    };

    // Listens on listeners free ports; every one serves alike. (A relay that
    // takes its target for a device lets only one line use each.)
    explicit ReferenceServer(int listeners = 1);
    ~ReferenceServer();
    ReferenceServer(const ReferenceServer&) = delete;
    ReferenceServer& operator=(const ReferenceServer&) = delete;

    int port() const { return ports_.front(); }
    const std::vector<int>& ports() const { return ports_; }
    void set_mode(Mode mode, long amount = 0, const std::string& text = "");
    // Connections open now.
    int connections() const { return open_; }

private:
    void run();
    std::vector<int> listeners_;
    std::vector<int> ports_;
    std::atomic<bool> stop_{false};
    std::atomic<int> open_{0};
    std::mutex mode_lock_;
    Mode mode_ = Mode::Echo;
    long amount_ = 0;
    std::string text_;
    std::thread thread_;
};
