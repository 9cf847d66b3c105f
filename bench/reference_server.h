// ReferenceServer: the TCP peer the reference runs talk to, on 127.0.0.1,
// served by a thread of its own. What a new connection gets depends on the
// mode at the time it is accepted.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

class ReferenceServer {
public:
    enum class Mode {
        Echo,    // every byte back
        Bulk,    // amount bytes of the test pattern, then quiet
        Verify,  // checks amount bytes of the test pattern and answers as the board does
        Refuse,  // the text, then close
    };

    ReferenceServer();  // listens on a free port
    ~ReferenceServer();
    ReferenceServer(const ReferenceServer&) = delete;
    ReferenceServer& operator=(const ReferenceServer&) = delete;

    int port() const { return port_; }
    void set_mode(Mode mode, long amount = 0, const std::string& text = "");

private:
    void run();
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mode_lock_;
    Mode mode_ = Mode::Echo;
    long amount_ = 0;
    std::string text_;
    std::thread thread_;
};
