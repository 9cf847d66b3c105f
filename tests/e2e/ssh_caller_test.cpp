// Callers over SSH against the real orva: the OpenSSH client in a tmux pane
// through the board host simulator's menu, the host key kept across a
// restart, and clients that never finish the setup closed while a Telnet
// caller goes on.
#include <gtest/gtest.h>

#include <libssh/libssh.h>
#include <random>
#include <sys/stat.h>

#include "tests/support/adapter_test.h"
#include "tests/support/counting.h"
#include "tests/support/http_client.h"
#include "tests/support/loopback_socket.h"
#include "tests/support/ssh_caller_link.h"
#include "tests/support/tmux_pane.h"

using namespace support;

namespace {

class SshCallers : public AdapterTest {
protected:
    void SetUp() override
    {
        extra_config = "  <Server Type=\"SSH\" IP=\"127.0.0.1\" Port=\"" + std::to_string(ssh_port) +
                       "\" HostKey=\"host_key\"/>\n"
                       "  <Server Type=\"SSH\" IP=\"127.0.0.1\" Port=\"" + std::to_string(legacy_port) +
                       "\" HostKey=\"host_key\" Legacy=\"1\"/>\n"
                       "  <Server Type=\"Status\" IP=\"127.0.0.1\" Port=\"" + std::to_string(http_port) + "\"/>\n";
    }

    // The OpenSSH client in the pane, with the test's own known-hosts file.
    void dial(Tmux& tmux)
    {
        tmux.start(openssh_pane_command(ssh_port, dir.file("known_hosts")));
    }

    // The figure from /status.json; -1 when it is not there.
    long long status_figure(const std::string& name)
    {
        const std::string json = http_get(http_port, "/status.json").body;
        const size_t at = json.find("\"" + name + "\": ");
        return at == std::string::npos ? -1 : std::atoll(json.c_str() + at + name.size() + 4);
    }

    std::string fingerprint_logged(size_t since)
    {
        const std::string prefix = "SSH host key fingerprint: ";
        if (!orva_says(prefix, since))
            return "";
        const std::string& out = orva->out();
        const size_t at = out.find(prefix, since) + prefix.size();
        return out.substr(at, out.find('\n', at) - at);
    }

    // A client that offers only the older algorithms, its input at its end
    // at once: what it printed.
    std::string dial_with_old_algorithms(int port)
    {
        return run_command("timeout 30 ssh -tt -F /dev/null -o UserKnownHostsFile=" + dir.file("known_hosts") +
                           " -o StrictHostKeyChecking=accept-new -o PubkeyAuthentication=no"
                           " -o KexAlgorithms=diffie-hellman-group14-sha1 -o Ciphers=aes128-cbc -o MACs=hmac-sha1"
                           " -p " + std::to_string(port) + " any@127.0.0.1 </dev/null 2>&1");
    }

    // The OpenSSH client as a child whose input the test writes, naming
    // terminal as its terminal type.
    std::unique_ptr<ChildProcess> ssh_client(const std::string& terminal)
    {
        return std::make_unique<ChildProcess>(std::vector<std::string>{
            "/usr/bin/env", "TERM=" + terminal, "/usr/bin/ssh", "-tt", "-e", "none", "-F", "/dev/null", "-o",
            "UserKnownHostsFile=" + dir.file("known_hosts"), "-o", "StrictHostKeyChecking=accept-new", "-o",
            "PubkeyAuthentication=no", "-p", std::to_string(ssh_port), "any@127.0.0.1"});
    }

    int ssh_port = free_tcp_port();
    int legacy_port = free_tcp_port();
    int http_port = free_tcp_port();
};

TEST_F(SshCallers, OpenSshClientUsesTheMenuAndFindsTheSameHostKeyAfterARestart)
{
    if (!have_tmux())
        GTEST_FAIL() << "tmux is needed (scripts/install-deps.sh test)";
    start_relay();
    start_orva(false);
    start_board();

    // The key was made at start-up, for the owner's eyes only.
    const std::string fingerprint = fingerprint_logged(0);
    ASSERT_EQ(fingerprint.rfind("SHA256:", 0), 0u) << why();
    EXPECT_TRUE(orva_says("SSH host key made in host_key"));
    struct stat st {};
    ASSERT_EQ(stat(dir.file("host_key").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    {
        Tmux tmux{"orva-ssh-first"};
        dial(tmux);
        ASSERT_TRUE(tmux.shows("[E]cho  [T]ime  [W]ho  [G]oodbye", 20s)) << tmux.screen_text() << why();
        // The greeting came raw ahead of the board's banner: no Telnet
        // announcements show as stray characters.
        const std::string screen = tmux.screen_text();
        EXPECT_NE(screen.find("ORVA v1.0 Connected."), std::string::npos) << screen;
        EXPECT_LT(screen.find("ORVA v1.0 Connected."), screen.find("Welcome to the KELB board, line "));
        EXPECT_EQ(status_figure("callers"), 1);
        EXPECT_EQ(status_figure("callers_ssh"), 1);

        tmux.keys("E");
        ASSERT_TRUE(tmux.shows("Echo: type away")) << tmux.screen_text();
        tmux.keys("ssh-echo-word");
        ASSERT_TRUE(tmux.shows("ssh-echo-word")) << tmux.screen_text();
        EXPECT_GT(status_figure("input_bytes"), 0);
        tmux.keys("Escape");
        ASSERT_TRUE(tmux.shows("> ")) << tmux.screen_text();
        tmux.keys("G");
        ASSERT_TRUE(tmux.shows("Goodbye from line ")) << tmux.screen_text();
        EXPECT_TRUE(tmux.shows("ssh-exit-status=")) << tmux.screen_text();
        EXPECT_TRUE(wait_until([&] { return status_figure("callers_ssh") == 0; }));
    }

    // A second run loads the same key, and the client's known-hosts file
    // still matches it.
    ASSERT_EQ(stop_orva(), 0);
    start_orva(false);
    EXPECT_EQ(fingerprint_logged(0), fingerprint);
    EXPECT_FALSE(orva_says("SSH host key made", 0, 0s));
    ASSERT_TRUE(orva_says("SAP: Added Server to List", 0, 20s)) << why();
    {
        Tmux tmux{"orva-ssh-second"};
        dial(tmux);
        ASSERT_TRUE(tmux.shows("[E]cho  [T]ime  [W]ho  [G]oodbye", 20s)) << tmux.screen_text() << why();
        EXPECT_EQ(tmux.screen_text().find("WARNING"), std::string::npos) << tmux.screen_text();
        tmux.keys("G");
        EXPECT_TRUE(tmux.shows("ssh-exit-status=")) << tmux.screen_text();
    }

    // The older algorithms are offered only where Legacy asks for them.
    EXPECT_NE(dial_with_old_algorithms(ssh_port).find("no matching key exchange method"), std::string::npos);
    const std::string old_client = dial_with_old_algorithms(legacy_port);
    EXPECT_NE(old_client.find("ORVA v1.0 Connected."), std::string::npos) << old_client;
}

// Noise and silence on the SSH port cost the other callers nothing: both
// are closed (the silent one by the setup limit) while a Telnet caller's
// echo goes on.
TEST_F(SshCallers, NoiseAndSilenceAreClosedWhileATelnetCallerEchoes)
{
    start_orva();
    start_board({"--echo"});
    LoopbackCaller bystander(telnet_port);
    ASSERT_GT(call_in(bystander), 0) << why();

    LoopbackCaller silent(ssh_port);
    LoopbackCaller noisy(ssh_port);
    ASSERT_TRUE(silent.connected() && noisy.connected());
    std::string noise(1 << 20, '\0');
    std::mt19937 random(24);
    for (char& c : noise)
        c = char(random());
    try {
        noisy.send(noise);
    } catch (const std::runtime_error&) {
        // Closed before it took the whole megabyte.
    }
    bool noisy_closed = false;
    read_until_closed(noisy, noisy_closed);
    EXPECT_TRUE(noisy_closed);

    // The silent client holds no board line while it waits out its limit,
    // and the bystander's echo works meanwhile.
    EXPECT_TRUE(wait_until([&] { return status_figure("callers_ssh") == 1; }));
    EXPECT_EQ(status_figure("lines_connected"), 1);
    bool silent_closed = false;
    std::string heard;
    for (int round = 0; round < 100 && !silent_closed; ++round) {
        const std::string word = "echo-" + std::to_string(round) + "\r\n";
        bystander.send(word);
        EXPECT_EQ(read(bystander, word.size()), word);
        heard += silent.receive_until_closed(silent_closed, 200ms);
    }
    if (!silent_closed)
        heard += read_until_closed(silent, silent_closed, 20s);
    EXPECT_TRUE(silent_closed);
    // All it heard was the server's version line.
    EXPECT_EQ(heard.rfind("SSH-2.0-", 0), 0u) << heard;
    EXPECT_TRUE(wait_until([&] { return status_figure("callers_ssh") == 0; }));
}

// A caller past MaxPerAddress is told why once its shell is open, as a
// Telnet caller is at once.
TEST_F(SshCallers, CallerPastTheAddressLimitIsToldWhyOverSsh)
{
    access = "<Access MaxPerAddress=\"1\" RatePerMinute=\"0\"/>";
    start_orva();
    start_board({"--echo"});
    LoopbackCaller first(telnet_port);
    ASSERT_GT(call_in(first), 0) << why();

    const std::string refused = dial_with_old_algorithms(legacy_port);
    EXPECT_NE(refused.find("Too many connections from your address, please call back later."), std::string::npos)
        << refused;
    EXPECT_EQ(refused.find("ORVA v1.0 Connected."), std::string::npos) << refused;
    EXPECT_TRUE(orva_says("calls at once at the limit (1)"));
    // The first caller was never held up.
    first.send("still-there");
    EXPECT_EQ(read(first, 11), "still-there");
}

// A client that offers nothing but public keys (OpenSSH always tries
// "none" first, which is taken): each key is declined, and the connection
// is closed after the third.
TEST_F(SshCallers, ClientOfferingOnlyKeysIsClosedAfterThreeDeclines)
{
    start_orva();
    ssh_session client = ssh_new();
    ASSERT_NE(client, nullptr);
    ssh_options_set(client, SSH_OPTIONS_HOST, "127.0.0.1");
    ssh_options_set(client, SSH_OPTIONS_PORT, &ssh_port);
    ssh_options_set(client, SSH_OPTIONS_USER, "any");
    const bool no = false;
    ssh_options_set(client, SSH_OPTIONS_PROCESS_CONFIG, &no);
    ssh_key key = nullptr;
    ssh_key public_key = nullptr;
    int declined = 0;
    int last = SSH_AUTH_DENIED;
    if (ssh_connect(client) == SSH_OK && ssh_pki_generate(SSH_KEYTYPE_ED25519, 0, &key) == SSH_OK &&
        ssh_pki_export_privkey_to_pubkey(key, &public_key) == SSH_OK) {
        for (int offered = 0; offered < 6 && last == SSH_AUTH_DENIED; ++offered) {
            last = ssh_userauth_try_publickey(client, nullptr, public_key);
            declined += last == SSH_AUTH_DENIED;
        }
    }
    EXPECT_EQ(declined, 3) << ssh_get_error(client) << why();
    EXPECT_EQ(last, SSH_AUTH_ERROR) << "the fourth finds the connection closed";
    ssh_key_free(public_key);
    ssh_key_free(key);
    ssh_disconnect(client);
    ssh_free(client);
}

// Every line of a full board taken by an SSH caller at once, each echoing
// its own word, then all hanging up.
TEST_F(SshCallers, NinetySixCallersAtOnceEachEchoOnTheirOwnLine)
{
    const int callers = 96 / LOAD_SCALE;
    start_orva();
    start_board({"--echo", "--lines", "96"});
    std::vector<std::unique_ptr<ChildProcess>> clients;
    for (int i = 0; i < callers; ++i) {
        // Each connects before the next, so no handshake waits behind a
        // burst of others on a loaded machine; all stay connected.
        clients.push_back(ssh_client("xterm"));
        ASSERT_TRUE(clients.back()->wait_for_out("Connected to KELB line ", 30s))
            << i << clients.back()->out() << clients.back()->err() << why(4096);
        pump();
    }
    EXPECT_EQ(status_figure("callers_ssh"), callers);
    EXPECT_EQ(status_figure("callers"), callers);
    for (int i = 0; i < callers; ++i)
        clients[size_t(i)]->write_in("word-" + std::to_string(i) + "!");
    for (int i = 0; i < callers; ++i)
        EXPECT_TRUE(clients[size_t(i)]->wait_for_out("word-" + std::to_string(i) + "!")) << i;
    for (auto& client : clients)
        client->close_in();
    for (auto& client : clients)
        EXPECT_EQ(client->wait_exit(), 0) << client->out() << client->err();
    EXPECT_TRUE(wait_until([&] { return status_figure("callers") == 0; }));
}

// Charset="auto": a code page 437 terminal gets the board's bytes as they
// are, any other UTF-8. Byte 0x82 is é to the board: from a UTF-8 terminal
// it is no character and reaches the board (and comes back) as '?'.
TEST_F(SshCallers, TerminalTypeChoosesTheCharacterSet)
{
    start_orva();
    start_board({"--echo"});
    const std::pair<const char*, const char*> cases[] = {{"xterm-256color", "mark?!"}, {"ansi", "mark\x82!"}};
    for (const auto& [terminal, echoed] : cases) {
        auto client = ssh_client(terminal);
        ASSERT_TRUE(client->wait_for_out("Connected to KELB line ", 30s)) << client->err() << why();
        client->write_in("mark\x82!");
        EXPECT_TRUE(client->wait_for_out(echoed)) << terminal << ": " << client->out();
        client->close_in();
        EXPECT_EQ(client->wait_exit(), 0) << terminal;
    }
}

// A code page 437 terminal's call is a clean byte stream: 1 MiB of every
// byte value goes to the board and comes back unchanged, with no Telnet
// doubling or command removal on the way.
TEST_F(SshCallers, EveryByteValueCrossesUnchangedBothWays)
{
    start_orva();
    start_board({"--echo"});
    auto client = ssh_client("ansi");
    ASSERT_TRUE(client->wait_for_out("Connected to KELB line ", 30s)) << client->err() << why();
    ASSERT_TRUE(wait_until([&] { return client->out().find("\r\n", client->out().find("Connected to KELB")) !=
                                        std::string::npos; }));
    const size_t start = client->out().size();
    std::string sent;
    for (size_t i = 0; sent.size() < 1024 * 1024; ++i)
        sent += char((i * 7 + i / 256) & 0xFF);
    // One chunk at a time, each echoed whole before the next, with orva's
    // trace read meanwhile: no pipe fills while another waits.
    constexpr size_t CHUNK = 16 * 1024;
    for (size_t at = 0; at < sent.size() && !HasFailure(); at += CHUNK) {
        client->write_in(sent.substr(at, CHUNK));
        ASSERT_TRUE(wait_until([&] {
            pump();
            return client->out().size() >= start + at + CHUNK;
        }, 60s)) << at << " sent, " << client->out().size() - start << " back" << why();
    }
    EXPECT_TRUE(client->out().substr(start) == sent) << "the echo differs from what was sent";
    client->close_in();
    EXPECT_EQ(client->wait_exit(), 0);
}

}

// Clients that hang up their channel but keep the connection and answer
// nothing more: orva waits a while for each one's goodbye, each on its own
// caller's thread, so the calls end together and a new caller gets a line
// meanwhile. One wait after another (8 x 2 s) would hold the last line for
// 16 s.
TEST_F(SshCallers, ClientsThatKeepTheConnectionAfterHangingUpHoldNoOneUp)
{
    const int clients = 8;
    start_orva();
    start_board({"--echo", "--lines", "12"});
    std::vector<std::unique_ptr<SshCallerLink>> links;
    for (int i = 0; i < clients; ++i) {
        links.push_back(std::make_unique<SshCallerLink>());
        std::string error;
        ASSERT_TRUE(links.back()->open(dial_loopback(ssh_port, {.wait = true}), "ansi", error)) << error;
        std::string heard;
        ASSERT_TRUE(wait_until(
            [&] {
                uint8_t buffer[4096];
                const int n = links.back()->receive(buffer, sizeof buffer);
                heard.append(reinterpret_cast<const char*>(buffer), size_t(std::max(n, 0)));
                return heard.find("Connected to KELB line ") != std::string::npos;
            },
            20s))
            << heard << why();
    }
    const size_t mark = orva_mark();
    for (auto& link : links)
        link->close_channel();

    const auto start = std::chrono::steady_clock::now();
    LoopbackCaller caller(telnet_port);
    ASSERT_GT(call_in(caller), 0) << why();
    EXPECT_TRUE(wait_until(
        [&] {
            pump();
            return count_of(orva->out().substr(mark), "Disconnected.") == size_t(clients);
        },
        std::chrono::duration_cast<std::chrono::milliseconds>(8s - (std::chrono::steady_clock::now() - start))))
        << why();
}
