#include "tests/support/adapter_texts.h"

#include "tools/board_sim/pattern_check.h"

namespace support {

const std::string OPTIONS("\xFF\xFB\x03\xFF\xFD\x03\xFF\xFD\x00\xFF\xFB\x00\xFF\xFE\x01\xFF\xFB\x01\xFF\xFE\x07\xFF\xFC\x07",
                          24);
const std::string GREETING = "ORVA v1.0 Connected.\r\n";
const std::string DOWN_TEXT = "\r\nKELB is currently down.  Please try back later.\r\n";
const std::string BUSY_TEXT = "KELB is currently busy, please call back again later.\r\n";

std::string connected_text(int line)
{
    return "Connected to KELB line " + std::to_string(line) + "\r\n";
}

std::string bulk_pattern(size_t count, size_t from)
{
    std::string s(count, '\0');
    for (size_t i = 0; i < count; ++i)
        s[i] = PatternCheck::byte_at(long(from + i));
    return s;
}

std::string caller_pattern(size_t count, int salt)
{
    // Printable and free of 0xFF, so the board gets exactly these bytes;
    // a period of 89 (prime) never lines up with the 512-byte packets.
    std::string s(count, '\0');
    for (size_t i = 0; i < count; ++i)
        s[i] = static_cast<char>('!' + (i + size_t(salt) * 7) % 89);
    return s;
}

const std::string NO_ACCESS_LIMITS = "<Access MaxPerAddress=\"0\" RatePerMinute=\"0\"/>";

std::string orva_config(int telnet_port, int ipx_port, bool host_network, const std::string& elements,
                        const std::string& telnet_ip, const std::string& telnet_attributes)
{
    return "<orva>\n"
           "  <Server Type=\"Telnet\" IP=\"" + telnet_ip + "\" Port=\"" + std::to_string(telnet_port) + "\" " +
           telnet_attributes + "/>\n"
           "  <Server Type=\"IPX\" IP=\"127.0.0.1\" Port=\"" + std::to_string(ipx_port) + "\" Host=\"" +
           (host_network ? "1" : "0") + "\"/>\n"
           "  <Log Level=\"5\"/>\n"
           "  " + elements + "\n"
           "</orva>\n";
}

}
