// The Telnet codec on its own: segment boundaries anywhere, and escaping
// that strips back to the data.
#include <gtest/gtest.h>
#include <string>

#include "telnet/telnet_codec.h"

namespace {

std::string strip(TelnetInputState& state, const std::string& in)
{
    std::string out(in.size(), '\0');
    out.resize(size_t(telnet_strip_commands(state, reinterpret_cast<const uint8_t*>(in.data()), int32_t(in.size()),
                                            reinterpret_cast<uint8_t*>(out.data()))));
    return out;
}

std::string escape(const std::string& in)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(in.data());
    std::string out(size_t(telnet_escaped_size(bytes, int32_t(in.size()))), '\0');
    EXPECT_EQ(telnet_escape_data(bytes, int32_t(in.size()), reinterpret_cast<uint8_t*>(out.data())),
              int32_t(out.size()));
    return out;
}

}

TEST(TelnetCodec, CommandsGoAndDoubledIacStaysEvenWhenSplit)
{
    TelnetInputState t = TelnetInputState::Data;
    EXPECT_EQ(strip(t, std::string("\xFF\xFB\x01" "ab\xFF\xFF" "c", 8)), std::string("ab\xFF" "c", 4));
    // A negotiation and a subnegotiation cut in the middle; IAC SB and IAC SE
    // go as pairs, what lies between them is data.
    EXPECT_EQ(strip(t, "x\xFF"), "x");
    EXPECT_EQ(strip(t, "\xFD"), "");
    EXPECT_EQ(strip(t, std::string("\x18y\xFF\xFA\x18\x00xterm\xFF", 12)), std::string("y\x18\x00xterm", 8));
    EXPECT_EQ(strip(t, "\xF0z\xFF\xF1!"), "z!");
    EXPECT_EQ(t, TelnetInputState::Data);
}

TEST(TelnetCodec, EverySplitPointGivesWhatTheWholeGives)
{
    const std::string stream("a\xFF\xFF\xFF\xFD\x01" "b\xFF\xFA\x18\xFF\xF0\xFF\xFB\xFF" "c\xFF\xFF", 18);
    TelnetInputState whole = TelnetInputState::Data;
    const std::string expected = strip(whole, stream);
    ASSERT_EQ(expected, std::string("a\xFF" "b\x18" "c\xFF", 6));
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        TelnetInputState t = TelnetInputState::Data;
        const std::string head = strip(t, stream.substr(0, cut));
        EXPECT_EQ(head + strip(t, stream.substr(cut)), expected) << "cut at " << cut;
    }
}

TEST(TelnetCodec, EscapedDataStripsBackToItself)
{
    std::string data;
    for (int b = 0; b < 256; ++b)
        data.push_back(char(b));
    data += std::string("\xFF\xFF\xFB\xFF", 4);
    const std::string sent = escape(data);
    EXPECT_EQ(sent.size(), data.size() + 4);
    EXPECT_EQ(sent.substr(sent.size() - 7), "\xFF\xFF\xFF\xFF\xFB\xFF\xFF");
    TelnetInputState t = TelnetInputState::Data;
    EXPECT_EQ(strip(t, sent), data);
    EXPECT_EQ(escape(""), "");
}
