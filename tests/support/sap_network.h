// An IPX network in the test process with SAP on it: the agent on one
// stack, the simulator's announcer on the other.
#pragma once

#include <chrono>
#include <cstring>
#include <functional>

#include "port/host_description.h"
#include "sap/sap_record.h"
#include "tests/support/ipx_network.h"
#include "tools/sap_announcer/sap_announcer.h"

namespace support {

class SapNetwork : public IpxNetwork {
protected:
    // The SAP socket asks for broadcasts once the host is known, as at start-up.
    void SetUp() override
    {
        describe_host();
        IpxNetwork::SetUp();
    }

    IpxAddress knet_address(IpxStack& s, uint16_t socket_number)
    {
        IpxAddress a = s.local_address();
        a.socket = socket_number;
        return a;
    }

    // Polls the announcer until pred holds or the deadline passes.
    bool announce_until(SapAnnouncer& announcer, const std::function<bool()>& pred, int timeout_ms = 5000)
    {
        return wait_until([&] {
            announcer.poll();
            return pred();
        }, std::chrono::milliseconds(timeout_ms));
    }
};

}
