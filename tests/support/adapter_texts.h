// What the adapter says to a caller, byte for byte, and the configuration
// tests and benchmarks give it.
#pragma once

#include <cstddef>
#include <string>

namespace support {

extern const std::string OPTIONS;  // the 24 bytes of option announcements
extern const std::string GREETING;
extern const std::string DOWN_TEXT;
extern const std::string BUSY_TEXT;
// "Connected to KELB line N\r\n" for a line number.
std::string connected_text(int line);

// The simulator's --bulk bytes ('0' + i % 64), count of them from byte from.
std::string bulk_pattern(size_t count, size_t from = 0);
// A caller's stream that shows any loss, repeat or reordering: each byte
// follows from its position.
std::string caller_pattern(size_t count, int salt = 0);

// Access limits off: tests and benchmarks that call many times from
// 127.0.0.1.
extern const std::string NO_ACCESS_LIMITS;

// An orva.conf.xml: Telnet on telnet_ip and IPX on 127.0.0.1, hosting the
// IPX network itself or joining a tunnel server there, logging at debug
// level, and more elements as they are (by default the access limits off).
std::string orva_config(int telnet_port, int ipx_port, bool host_network = true,
                        const std::string& elements = NO_ACCESS_LIMITS,
                        const std::string& telnet_ip = "127.0.0.1", const std::string& telnet_attributes = "");

}
