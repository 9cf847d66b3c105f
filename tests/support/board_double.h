// BoardDouble: the strict board host on a real IPX network, for end-to-end
// tests against the real orva. It joins a tunnel relay with an IPX stack of
// its own, announces the service "KELB" with SAP, and runs a StrictBoard
// on a thread: literal echoes, Acks naming sequences, one line.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "ipx/ipx_endpoint.h"
#include "ipx/ipx_stack.h"
#include "tests/support/strict_board.h"
#include "tools/sap_announcer/sap_announcer.h"

namespace support {

class BoardDouble {
public:
    BoardDouble() = default;
    ~BoardDouble();
    BoardDouble(const BoardDouble&) = delete;
    BoardDouble& operator=(const BoardDouble&) = delete;

    // Joins the relay on 127.0.0.1:relay_port (noticing a restarted relay
    // within silence_limit_ms) and starts answering; false when it could
    // not join within a deadline.
    bool start(int relay_port, int silence_limit_ms = 2000);
    // Runs f on the board under its lock: to read or change it.
    void with(const std::function<void(StrictBoard&)>& f);

private:
    void run();

    IpxStack stack_;
    std::unique_ptr<SapAnnouncer> announcer_;
    std::unique_ptr<IpxEndpoint> endpoint_;
    std::mutex lock_;
    StrictBoard board_{1};
    IpxAddress peer_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}
