// tarvex-cli rtt and run's RTT through the real server on the virtual
// probe, with the RTT test firmware and the sample: the terminal's lines,
// input echoed back through down channel 0, several channels told apart,
// JSON records whose positions account for every byte, the end of input,
// and run's channel 0 beside the sample's ITM text.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <unistd.h>

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

} // namespace
