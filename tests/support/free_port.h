// Ports on 127.0.0.1 chosen free for each test, so that ctest -j works.
#pragma once

namespace support {

// A port that was free a moment ago (bound to 0 and released); throws
// std::runtime_error when none can be had.
int free_tcp_port();
int free_udp_port();

}
