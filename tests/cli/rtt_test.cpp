// tarvex-cli rtt and run's RTT through the real server on the virtual
// probe, with the RTT test firmware and the sample: the terminal's lines,
// input echoed back through down channel 0, several channels told apart,
// JSON records whose positions account for every byte, the end of input,
// run's channel 0 beside the sample's ITM text, and --listen's one TCP
// client at a time.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "server_process.h"

namespace
{

using tarvex_test::eventually;
using tarvex_test::piped_child;

class CliRtt : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(server_.start({}, {"--fast", "--probes", "1"}, true), 0);
        ASSERT_EQ(server_.wait_listening(), 0) << server_.stderr_text();
    }
    void load(const char *image) { ASSERT_EQ(server_.control(std::string("load 0 ") + image).rfind("ok", 0), 0u); }
    void spawn(piped_child &c, const std::vector<std::string> &words)
    {
        static int serial = 0;
        std::vector<std::string> argv = {TARVEX_CLI_PATH, "--port", std::to_string(server_.port)};
        argv.insert(argv.end(), words.begin(), words.end());
        ASSERT_EQ(c.start(argv, "rtt-" + std::to_string(getpid()) + "-" + std::to_string(serial++)), 0);
    }
    tarvex_test::server_process server_;
};

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

TEST_F(CliRtt, ShowsTheTerminalAndEchoesInputThroughDownChannelZero)
{
    load(RTT_TEST_ELF);
    piped_child c;
    spawn(c, {"rtt", "--elf", RTT_TEST_ELF, "--from-start"});
    ASSERT_TRUE(c.printed("rtt test ready\n")) << c.stderr_text();
    ASSERT_EQ(write(c.input, "ping 42\n", 8), 8);
    ASSERT_TRUE(c.printed("rtt test ready\nping 42\n")) << c.stdout_text() << c.stderr_text();
    EXPECT_EQ(c.interrupt(), 0) << c.stderr_text();
}

// Without --address, --scan or --elf the scan covers the SRAM region's
// first MiB, which runs past the virtual target's 128 KiB of RAM: the scan
// ends where the RAM does and still finds the block.
TEST_F(CliRtt, WithoutAPlaceTheStartOfSramIsScanned)
{
    load(RTT_TEST_ELF);
    piped_child c;
    spawn(c, {"rtt", "--from-start"});
    ASSERT_TRUE(c.printed("rtt test ready\n")) << c.stderr_text() << server_.stderr_text();
    EXPECT_EQ(c.interrupt(), 0) << c.stderr_text();
}

TEST_F(CliRtt, SeveralChannelsArePrefixedAndTheBlockingOneLosesNothing)
{
    load(RTT_TEST_ELF);
    piped_child c;
    spawn(c, {"rtt", "--elf", RTT_TEST_ELF, "--from-start", "--channel", "0", "--channel", "1"});
    ASSERT_TRUE(c.printed("[1] seq 40\n")) << c.stderr_text();
    ASSERT_TRUE(c.printed("[0] rtt test ready\n"));
    EXPECT_EQ(c.interrupt(), 0);
    // The records count up by one; capture spans a restart of the firmware
    // (the launcher's load), after which they count from the start again.
    int next = 0, in_order = 0;
    for (const std::string &line : lines_of(c.stdout_text())) {
        ASSERT_TRUE(line.rfind("[0] ", 0) == 0 || line.rfind("[1] ", 0) == 0) << line;
        if (line.rfind("[1] seq ", 0) != 0)
            continue;
        int seq = atoi(line.c_str() + 8);
        EXPECT_TRUE(seq == next || seq < next) << line << ": expected seq " << next;
        in_order += seq == next;
        next = seq + 1;
    }
    EXPECT_GT(in_order, 40);
    EXPECT_EQ(c.stderr_text().find("lost"), std::string::npos) << c.stderr_text();
}

TEST_F(CliRtt, JsonRecordsAccountForEveryPosition)
{
    load(RTT_TEST_ELF);
    piped_child c;
    spawn(c, {"--json", "rtt", "--elf", RTT_TEST_ELF, "--from-start", "--channel", "1"});
    ASSERT_TRUE(c.printed("seq 30")) << c.stderr_text();
    EXPECT_EQ(c.interrupt(), 0);
    uint64_t at = 0;
    std::string text;
    for (const std::string &line : lines_of(c.stdout_text())) {
        nlohmann::json record = nlohmann::json::parse(line);
        ASSERT_EQ(record["channel"], 1);
        uint64_t position = record["position"], lost = record["lost"];
        EXPECT_EQ(position, at + lost) << line;
        ASSERT_TRUE(record.contains("text")) << "the records are text: " << line;
        std::string bytes = record["text"];
        at = position + bytes.size();
        text += bytes;
    }
    EXPECT_EQ(text.rfind("seq 0\nseq 1\nseq 2\n", 0), 0u) << text.substr(0, 80);
}

TEST_F(CliRtt, EndsOnceInputEndedAndTheChannelsWentQuiet)
{
    load(RTT_TEST_ELF);
    std::string line =
        "printf 'bye\\n' | " TARVEX_CLI_PATH " --port " + std::to_string(server_.port) + " rtt --elf " RTT_TEST_ELF;
    std::string out, err;
    EXPECT_EQ(tarvex_test::run_to_end({"/bin/sh", "-c", line}, &out, &err, 20000), 0) << err;
}

TEST_F(CliRtt, UsageMistakesAreRefusedBeforeTheStream)
{
    load(RTT_TEST_ELF);
    const std::vector<std::vector<std::string>> cases = {
        {"rtt", "--channel", "32"},
        {"rtt", "--channel", "1", "--channel", "1"},
        {"rtt", "--address", "0x20000000", "--scan", "0x20000000", "0x1000"},
        {"rtt", "--scan", "0x20000000", "4"},
        {"rtt", "--listen", "70000"},
    };
    for (const auto &words : cases) {
        std::vector<std::string> argv = {TARVEX_CLI_PATH, "--port", std::to_string(server_.port)};
        argv.insert(argv.end(), words.begin(), words.end());
        std::string out, err;
        EXPECT_EQ(tarvex_test::run_to_end(argv, &out, &err, 20000), 1) << words[1] << ": " << err;
    }
}

// The sample prints each line through ITM and RTT channel 0: run shows a
// line twice with RTT, once with --no-rtt.
TEST_F(CliRtt, RunShowsChannelZeroBesideTheItmText)
{
    load(SAMPLE_ELF);
    for (bool rtt : {true, false}) {
        std::vector<std::string> argv = {TARVEX_CLI_PATH, "--port", std::to_string(server_.port), "run", SAMPLE_ELF,
                                         "--timeout",     "2"};
        if (!rtt)
            argv.push_back("--no-rtt");
        std::string out, err;
        EXPECT_EQ(tarvex_test::run_to_end(argv, &out, &err, 60000), 124) << err;
        std::map<std::string, int> seen;
        for (const std::string &line : lines_of(out))
            seen[line]++;
        int twice = 0;
        for (const auto &[line, count] : seen) {
            EXPECT_LE(count, rtt ? 2 : 1) << line;
            twice += count == 2;
        }
        if (rtt) {
            EXPECT_GT(twice, 0) << out;
        }
        EXPECT_FALSE(seen.empty()) << err;
    }
}

// A TCP client of `rtt --listen`, on a plain socket: what it received so far.
struct tcp_peer {
    int fd = -1;
    std::string seen;

    ~tcp_peer() { end(); }
    bool open(uint16_t port)
    {
        struct sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        return fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0;
    }
    bool send_text(const std::string &text)
    {
        return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
    }
    // One wait of at most timeout_ms and what one receive gives: the count,
    // 0 at the end of the stream or a reset, -1 when nothing came.
    long receive(int timeout_ms)
    {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, timeout_ms) <= 0)
            return -1;
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n > 0)
            seen.append(buf, static_cast<size_t>(n));
        return n > 0 ? n : (n == 0 || errno == ECONNRESET ? 0 : -1);
    }
    bool wait_for(const std::string &text)
    {
        return eventually([&] {
            receive(5);
            return seen.find(text) != std::string::npos;
        });
    }
    // Whether the stream closed this end (its end or a reset) in time.
    bool closed_by_peer()
    {
        return eventually([&] { return receive(5) == 0; });
    }
    void end()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
};

// The port `rtt --listen 0` names on standard error, 0 when it names none.
uint16_t listening_port(const piped_child &c)
{
    const std::string said = "rtt: listening on 127.0.0.1:";
    if (!eventually([&] { return c.stderr_text().find(said) != std::string::npos; }))
        return 0;
    std::string err = c.stderr_text();
    return static_cast<uint16_t>(atoi(err.c_str() + err.find(said) + said.size()));
}

// Each client's bytes go down channel 0 and come back through the
// firmware's echo on up channel 0. A second client while one is served is
// closed at once and its bytes never reach the target; the first one
// leaving lets the next in at once, as an editor reconnecting does.
TEST_F(CliRtt, ListenServesOneClientAtATimeBothWays)
{
    load(RTT_TEST_ELF);
    piped_child c;
    spawn(c, {"rtt", "--elf", RTT_TEST_ELF, "--listen", "0"});
    uint16_t port = listening_port(c);
    ASSERT_NE(port, 0) << c.stderr_text();
    tcp_peer first;
    ASSERT_TRUE(first.open(port));
    ASSERT_TRUE(first.send_text("hello first\n"));
    ASSERT_TRUE(first.wait_for("hello first\n")) << first.seen << c.stderr_text();

    tcp_peer second;
    ASSERT_TRUE(second.open(port)) << "the backlog takes it";
    second.send_text("from second\n");
    EXPECT_TRUE(second.closed_by_peer()) << second.seen;
    EXPECT_EQ(second.seen, "");
    ASSERT_TRUE(first.send_text("still first\n"));
    ASSERT_TRUE(first.wait_for("still first\n")) << first.seen;
    EXPECT_EQ(first.seen.find("from second"), std::string::npos) << first.seen;

    first.end();
    tcp_peer next;
    ASSERT_TRUE(next.open(port));
    ASSERT_TRUE(next.send_text("hello next\n"));
    EXPECT_TRUE(next.wait_for("hello next\n")) << next.seen << c.stderr_text();
    EXPECT_EQ(c.interrupt(), 0) << c.stderr_text();
}

// With several channels the client gets what standard output would show:
// each line with its channel's prefix.
TEST_F(CliRtt, ListenWithSeveralChannelsPrefixesTheirLines)
{
    load(RTT_TEST_ELF);
    piped_child c;
    spawn(c, {"rtt", "--elf", RTT_TEST_ELF, "--listen", "0", "--channel", "0", "--channel", "1"});
    uint16_t port = listening_port(c);
    ASSERT_NE(port, 0) << c.stderr_text();
    tcp_peer client;
    ASSERT_TRUE(client.open(port));
    ASSERT_TRUE(client.wait_for("\n[1] seq ")) << client.seen.substr(0, 200);
    ASSERT_TRUE(client.send_text("ping\n"));
    ASSERT_TRUE(client.wait_for("[0] ping\n")) << client.seen.substr(0, 200);
    EXPECT_EQ(c.interrupt(), 0);
    std::vector<std::string> lines = lines_of(client.seen.substr(0, client.seen.rfind('\n')));
    // The first line may have begun before the client came. A line of
    // channel 1 that the echo broke into goes on in a line of its own, with
    // its prefix again: every line is one channel's.
    for (size_t i = 1; i < lines.size(); i++) {
        EXPECT_TRUE(lines[i].rfind("[0] ", 0) == 0 || lines[i].rfind("[1] ", 0) == 0) << lines[i];
        EXPECT_EQ(lines[i].find("[", 1), std::string::npos) << lines[i];
    }
}

} // namespace
