#include "config/config_file.h"
#include "calls/access_settings.h"
#include "calls/call_settings.h"
#include "link/board_settings.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

class ConfigFileTest : public testing::Test {
protected:
    std::string path = "/tmp/orva-config-test-" + std::to_string(getpid()) + ".xml";
    ~ConfigFileTest() override { std::remove(path.c_str()); }

    // Loads text; returns the result and what went to standard error.
    bool load(ConfigFile& c, const std::string& text, std::string* err = nullptr)
    {
        FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
        testing::internal::CaptureStderr();
        bool ok = c.load_xml_file(path.c_str());
        std::string e = testing::internal::GetCapturedStderr();
        if (err)
            *err = e;
        return ok;
    }
};

TEST_F(ConfigFileTest, ServerLookupTakesTheFirstElementOfTheType)
{
    ConfigFile c;
    ASSERT_TRUE(load(c, "<c><Server Type='Other' Port='1'/><Server Type='Telnet' Port='2323' IP='127.0.0.1'/></c>"));
    EXPECT_EQ(c.server_int("Telnet", "Port", 23), 2323);
    EXPECT_STREQ(c.server_string("Telnet", "IP", nullptr), "127.0.0.1");
    EXPECT_EQ(c.server_string("Telnet", "Missing", nullptr), nullptr);

    ConfigFile d;
    ASSERT_TRUE(load(d, "<c><Server Type='Telnet'/><Server Type='Telnet' Port='2323'/></c>"));
    EXPECT_EQ(d.server_int("Telnet", "Port", 23), 23) << "a later element of the same type was consulted";

    ConfigFile e;
    ASSERT_TRUE(load(e, "<c><Server type='Telnet' Port='1'/><Server Type='telnet' Port='2'/></c>"));
    EXPECT_EQ(e.server_int("Telnet", "Port", 23), 23);
}

TEST_F(ConfigFileTest, IntegerConversionIsPlainDecimal)
{
    ConfigFile c;
    ASSERT_TRUE(load(c, "<c><Server Type='A' Port='80abc'/><Server Type='B' Port=''/>"
                        "<Server Type='C' Port='  -7'/><Server Type='D' Port='x1'/>"
                        "<Server Type='E' Port='99999999999'/></c>"));
    EXPECT_EQ(c.server_int("A", "Port", 23), 80);
    EXPECT_EQ(c.server_int("B", "Port", 23), 0);
    EXPECT_EQ(c.server_int("C", "Port", 23), -7);
    EXPECT_EQ(c.server_int("D", "Port", 23), 0);
    EXPECT_EQ(c.server_int("E", "Port", 23), 2147483647);
}

TEST_F(ConfigFileTest, OnlyAttributesOfDirectChildrenAreRead)
{
    ConfigFile c;
    ASSERT_TRUE(load(c, "<c><Server Type='Telnet'>2323<Port>99</Port></Server>"
                        "<Wrap><Log Level='5'/></Wrap></c>"));
    EXPECT_EQ(c.server_int("Telnet", "Port", 23), 23);
    LogSettings s = c.log_settings();
    EXPECT_STREQ(s.file, "orva.log");
    EXPECT_EQ(s.level, 4);
}

TEST_F(ConfigFileTest, FirstSectionWinsAndValuesAreExpanded)
{
    ConfigFile c;
    ASSERT_TRUE(load(c, "<c><Log File='a&amp;b&#65;.log' Level='notanumber'/><Log File='second' Level='5'/></c>"));
    LogSettings s = c.log_settings();
    EXPECT_STREQ(s.file, "a&bA.log");
    EXPECT_EQ(s.level, 0);
}

TEST_F(ConfigFileTest, TreeKeepsOrderAndParents)
{
    ConfigFile c;
    ASSERT_TRUE(load(c, "<root x='1'><A n='1'/><B/><A n='2'><Deep/></A></root>"));
    const ConfigElement* root = c.root();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->name, "root");
    const ConfigElement* a1 = root->find_child("A");
    ASSERT_NE(a1, nullptr);
    const ConfigElement* a2 = root->find_next_named(a1);
    ASSERT_NE(a2, nullptr);
    EXPECT_EQ(a2->find_attribute("n")->value, "2");
    EXPECT_EQ(root->find_next_named(a2), nullptr);
    EXPECT_EQ(a2->children[0]->parent, a2);
    EXPECT_EQ(root->find_next_named(a2->children[0].get()), nullptr) << "not one of root's children";
}

TEST_F(ConfigFileTest, DocumentElementAloneGivesDefaults)
{
    ConfigFile c;
    ASSERT_TRUE(load(c, "<orva/>"));
    EXPECT_EQ(c.server_string("Telnet", "IP", nullptr), nullptr);
    EXPECT_EQ(c.server_int("Telnet", "Port", 23), 23);
}

TEST_F(ConfigFileTest, ParseErrorsReportExpatsLineAndText)
{
    ConfigFile c;
    std::string err;
    EXPECT_FALSE(load(c, "", &err));
    EXPECT_EQ(err, "xml: Parse error at line 1:\nno element found\n");

    ConfigFile d;
    EXPECT_FALSE(load(d, "<c>\n<Log>\n</c>\n", &err));
    EXPECT_EQ(err, "xml: Parse error at line 3:\nmismatched tag\n");
}

TEST_F(ConfigFileTest, DeeplyNestedDocumentIsReleasedWhole)
{
    // A million levels: released one stack frame per level, as a plain
    // recursive teardown does, this overflows any usual stack.
    constexpr int depth = 1000000;
    std::string text;
    text.reserve(depth * 7 + 16);
    for (int i = 0; i < depth; i++)
        text += "<a>";
    text += "<Log Level='5'/>";
    for (int i = 0; i < depth; i++)
        text += "</a>";
    {
        auto c = std::make_unique<ConfigFile>();
        ASSERT_TRUE(load(*c, text));
        const ConfigElement* e = c->root();
        int levels = 0;
        while (e && !e->children.empty()) {
            e = e->children[0].get();
            levels++;
        }
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->name, "Log");
        EXPECT_EQ(levels, depth);
        c.reset();
    }
    // A broken one, left unclosed, is released just the same.
    ConfigFile d;
    EXPECT_FALSE(load(d, text.substr(0, size_t(depth) * 3)));
}

TEST_F(ConfigFileTest, LoadingAgainReplacesTheTree)
{
    ConfigFile c;
    ASSERT_TRUE(load(c, "<c><Server Type='Telnet' Port='1'/></c>"));
    ASSERT_TRUE(load(c, "<d><Log Level='5'/></d>"));
    EXPECT_EQ(c.root()->name, "d");
    EXPECT_EQ(c.server_int("Telnet", "Port", 23), 23);
    EXPECT_EQ(c.log_settings().level, 5);
}

TEST_F(ConfigFileTest, MissingFileAndDirectoryAreOpenErrors)
{
    ConfigFile c;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(c.load_xml_file("/nonexistent/orva.conf.xml"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "xml: error opening xml file: /nonexistent/orva.conf.xml\n");

    // A directory opens but cannot be read whole.
    testing::internal::CaptureStderr();
    EXPECT_FALSE(c.load_xml_file("/tmp"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "xml: error opening xml file: /tmp\n");
}

}

TEST_F(ConfigFileTest, BoardSettingsTakeTheirDefaultsOrWholeNumbersInRange)
{
    ConfigFile c;
    ASSERT_TRUE(load(c, "<c/>"));
    BoardSettings s;
    s.resend_ms = 7;
    std::string error;
    ASSERT_TRUE(read_board_settings(c, s, error));
    EXPECT_EQ(s.resend_ms, 5000);
    EXPECT_FALSE(s.drop_repeats);
    EXPECT_EQ(s.probe_s, 2);
    EXPECT_EQ(s.silence_s, 20);

    ASSERT_TRUE(load(c, "<c><Board Resend='60000' DropRepeats='1' Probe='0' Silence='86400'/></c>"));
    ASSERT_TRUE(read_board_settings(c, s, error));
    EXPECT_EQ(s.resend_ms, 60000);
    EXPECT_TRUE(s.drop_repeats);
    EXPECT_EQ(s.probe_s, 0);
    EXPECT_EQ(s.silence_s, 86400);

    const std::pair<const char*, const char*> bad[] = {
        {"Resend=''", "Board Resend=\"\" is not whole milliseconds from 0 to 60000"},
        {"Resend='-1'", "Board Resend=\"-1\" is not whole milliseconds from 0 to 60000"},
        {"Resend='60001'", "Board Resend=\"60001\" is not whole milliseconds from 0 to 60000"},
        {"DropRepeats='2'", "Board DropRepeats=\"2\" is not 0 or 1"},
        {"Probe=' 2'", "Board Probe=\" 2\" is not whole seconds from 0 to 3600"},
        {"Silence='99999999999999999999'",
         "Board Silence=\"99999999999999999999\" is not whole seconds from 0 to 86400"},
    };
    for (const auto& [attribute, message] : bad) {
        ASSERT_TRUE(load(c, std::string("<c><Board ") + attribute + "/></c>"));
        BoardSettings kept;
        kept.resend_ms = 123;
        EXPECT_FALSE(read_board_settings(c, kept, error)) << attribute;
        EXPECT_EQ(error, message);
        EXPECT_EQ(kept.resend_ms, 123) << "nothing is taken from a malformed element";
    }
}

TEST_F(ConfigFileTest, GateAndCallLimitsTakeWholeNumbersInRange)
{
    ConfigFile c;
    std::string error;
    AccessSettings access;
    CallSettings call;
    ASSERT_TRUE(load(c, "<c><Access Gate='1' GateSeconds='3600'/><Call Idle='10080' Longest='60'/></c>"));
    ASSERT_TRUE(read_access_settings(c, access, error));
    ASSERT_TRUE(read_call_settings(c, call, error));
    EXPECT_TRUE(access.gate);
    EXPECT_EQ(access.gate_seconds, 3600);
    EXPECT_EQ(call.idle_minutes, 10080);
    EXPECT_EQ(call.longest_minutes, 60);

    const std::pair<const char*, const char*> bad[] = {
        {"<Access Gate='yes'/>", "Access Gate=\"yes\" is not 0 or 1"},
        {"<Access Gate='1' GateSeconds='0'/>", "Access GateSeconds=\"0\" is not whole seconds from 1 to 3600"},
        {"<Access GateSeconds='3601'/>", "Access GateSeconds=\"3601\" is not whole seconds from 1 to 3600"},
        {"<Call Idle='5m'/>", "Call Idle=\"5m\" is not whole minutes from 0 to 10080"},
        {"<Call Longest='10081'/>", "Call Longest=\"10081\" is not whole minutes from 0 to 10080"},
    };
    for (const auto& [element, message] : bad) {
        ASSERT_TRUE(load(c, std::string("<c>") + element + "</c>"));
        AccessSettings kept_access;
        CallSettings kept_call;
        kept_call.idle_minutes = 7;
        EXPECT_FALSE(read_access_settings(c, kept_access, error) && read_call_settings(c, kept_call, error))
            << element;
        EXPECT_EQ(error, message);
        EXPECT_FALSE(kept_access.gate) << "nothing is taken from a malformed element";
        EXPECT_EQ(kept_call.idle_minutes, 7) << "nothing is taken from a malformed element";
    }
}
