// RTT in a gdb-multiarch session through tarvex-gdbserver, with the sample
// firmware (a line "tarvex sample: turn N" on up channel 0 every 50 turns):
// the monitor commands and their text, channel 0 on GDB's console while the
// core runs, bad arguments answered, and a tarvex-cli reader whose capture
// goes on without a gap across the GDB session and its end.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "elf_lookup.h"
#include "gdb_fixture.h"

namespace
{

using gdb_test::gdb_output;
using gdb_test::mark;
using gdb_test::section;

constexpr long TURNS_PER_LINE = 50; // the sample's sample_turns_per_line

// The turns of the sample's whole lines in text, in order.
std::vector<long> turns_in(const std::string &text)
{
    const std::string head = "tarvex sample: turn ";
    std::vector<long> turns;
    for (size_t at = text.find(head); at != std::string::npos; at = text.find(head, at + 1)) {
        size_t digits = at + head.size();
        size_t end = text.find('\n', digits);
        if (end == std::string::npos)
            break;
        turns.push_back(strtol(text.c_str() + digits, nullptr, 10));
    }
    return turns;
}

// Each line follows the one before it by exactly one line's turns: none
// lost, none shown twice.
void expect_consecutive(const std::vector<long> &turns, const std::string &what)
{
    for (size_t i = 1; i < turns.size(); i++)
        EXPECT_EQ(turns[i], turns[i - 1] + TURNS_PER_LINE) << what << ": line " << i;
}

class GdbRtt : public gdb_test::GdbServer
{
protected:
    GdbRtt()
    {
        vprobe_args_ = {"--fast", "--probe", std::string("firmware=") + SAMPLE_ELF};
        elf_ = SAMPLE_ELF;
    }
    uint32_t block() const { return tarvex_test::elf_symbol_of(SAMPLE_ELF, "_SEGGER_RTT").address; }
    // The block's address as the monitor prints it.
    std::string block_text() const
    {
        char text[16];
        snprintf(text, sizeof(text), "0x%08x", block());
        return text;
    }
};

TEST_F(GdbRtt, ChannelZeroReachesTheConsoleWhileTheCoreRuns)
{
    ASSERT_NE(block(), 0u);
    gdb_output out = gdb_until({mark("start"), "eval \"monitor rtt start 0x%x\", &_SEGGER_RTT", mark("run"), "continue",
                                mark("status"), "monitor rtt status", mark("stop"), "monitor rtt stop", mark("stopped"),
                                "monitor rtt status", mark("again"), "monitor rtt stop", "detach"},
                               [](const std::string &so_far) { return turns_in(so_far).size() >= 3; });
    SCOPED_TRACE(out.text + front_end_log());
    EXPECT_NE(section(out.text, "start")
                  .find("RTT capture started: the block at " + block_text() + "; channel 0 shows while the core runs"),
              std::string::npos);
    std::string run = section(out.text, "run");
    std::vector<long> turns = turns_in(run);
    ASSERT_GE(turns.size(), 3u) << "the lines came while GDB waited on the running core";
    expect_consecutive(turns, "GDB's console");
    EXPECT_NE(run.find("SIGINT"), std::string::npos) << "the core ran until the interrupt";

    std::string status = section(out.text, "status");
    EXPECT_NE(status.find("RTT attached, block at " + block_text() + " (1 found), "), std::string::npos);
    EXPECT_NE(status.find("up 0 \"Terminal\": 1024 bytes, skip; "), std::string::npos);
    EXPECT_NE(status.find(" captured, 0 lost"), std::string::npos);
    EXPECT_NE(status.find("down 0 \"Terminal\": "), std::string::npos);
    EXPECT_NE(section(out.text, "stop").find("RTT capture stopped for this session (other readers' goes on)"),
              std::string::npos);
    EXPECT_NE(section(out.text, "stopped").find("RTT capture is stopped: no client wants it"), std::string::npos);
    EXPECT_NE(section(out.text, "again").find("RTT capture was not started in this session"), std::string::npos);
}

// Every mistake is answered in words, the session goes on, and a start
// after them all works.
TEST_F(GdbRtt, BadArgumentsAreAnsweredAndTheSessionGoesOn)
{
    const std::string usage = "usage: monitor rtt start [ADDR | scan BASE LEN] | stop | status";
    const std::string refused = "error: the server refused RTT capture (result ";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"monitor rtt", usage},
        {"monitor rtt bogus", usage},
        {"monitor rtt start zz", usage},
        {"monitor rtt start 0", usage},
        {"monitor rtt start 0x100000000", usage},
        {"monitor rtt start 0x20000000 16", usage},
        {"monitor rtt start scan 0x20000000", usage},
        {"monitor rtt start scan 0x20000000 16", usage},
        {"monitor rtt start scan 0xffffff00 0x1000", usage},
        {"monitor rtt stop now", usage},
        {"monitor rtt status all", usage},
        {"monitor rtt start 0x20000002", refused},
        {"monitor rtt start 0x08000000", refused},
        {"monitor rtt status", "RTT capture is stopped: no client wants it"},
        {"monitor rtt stop", "RTT capture was not started in this session"},
        {"monitor rtt start", "RTT capture started: scanning 0x20000000-"},
        {"monitor rtt stop", "RTT capture stopped for this session"},
    };
    std::vector<std::string> commands;
    for (size_t i = 0; i < cases.size(); i++) {
        commands.push_back(mark("case" + std::to_string(i)));
        commands.push_back(cases[i].first);
    }
    commands.push_back(mark("end"));
    commands.push_back("print 6 * 7");
    gdb_output out = gdb(commands);
    SCOPED_TRACE(out.text + front_end_log());
    for (size_t i = 0; i < cases.size(); i++)
        EXPECT_NE(section(out.text, "case" + std::to_string(i)).find(cases[i].second), std::string::npos)
            << cases[i].first;
    EXPECT_NE(section(out.text, "end").find("$1 = 42"), std::string::npos);
    EXPECT_EQ(out.text.find("Remote connection closed"), std::string::npos);
    EXPECT_EQ(out.status, 0);
}

struct rtt_record {
    uint64_t position;
    uint64_t lost;
    std::string text;
};

// A tarvex-cli reader's JSON records so far (a line still being written is
// left out).
std::vector<rtt_record> records_of(const std::string &output)
{
    std::vector<rtt_record> records;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        nlohmann::json r = nlohmann::json::parse(line, nullptr, false);
        if (r.is_discarded() || !r.contains("text"))
            continue;
        records.push_back({r["position"], r["lost"], r["text"]});
    }
    return records;
}

std::string text_of(const std::vector<rtt_record> &records)
{
    std::string text;
    for (const rtt_record &r : records)
        text += r.text;
    return text;
}

// GDB's session starts capture (at another place than the reader's: a scan
// of RAM), shows channel 0, and ends with a detach that lets the core run.
// The reader, started before it, reads on: the lines the firmware wrote
// after GDB's want ended reach it, and its positions run on without a gap
// from before the session to after it.
TEST_F(GdbRtt, EndingTheSessionLeavesAnotherReadersCaptureRunning)
{
    tarvex_test::piped_child reader;
    ASSERT_EQ(
        reader.start({TARVEX_CLI_PATH, "--port", std::to_string(server_.port), "--json", "rtt", "--elf", SAMPLE_ELF},
                     "gdb-rtt-" + std::to_string(getpid())),
        0);
    ASSERT_TRUE(reader.printed("tarvex sample: turn ")) << reader.stderr_text();

    gdb_output out =
        gdb_until({"monitor rtt start", mark("run"), "continue", mark("counter"), "print/x sample_counter", "detach"},
                  [](const std::string &so_far) { return turns_in(so_far).size() >= 2; });
    SCOPED_TRACE(out.text + front_end_log());
    std::vector<long> shown = turns_in(section(out.text, "run"));
    ASSERT_GE(shown.size(), 2u);
    long halted_at = gdb_test::value_after(section(out.text, "counter"), "$1 = ");
    ASSERT_GE(halted_at, shown.back());

    // Turns past the halt were counted after the detach, which ended the
    // session's want before it let the core run.
    long after = (halted_at / TURNS_PER_LINE + 2) * TURNS_PER_LINE;
    auto read_turns = [&] { return turns_in(text_of(records_of(reader.stdout_text()))); };
    EXPECT_TRUE(tarvex_test::eventually([&] {
        std::vector<long> turns = read_turns();
        return !turns.empty() && turns.back() >= after;
    })) << reader.stdout_text()
        << reader.stderr_text();
    std::string log = server_.stderr_text();
    EXPECT_EQ(log.find("RTT capture stopped"), std::string::npos) << "capture never stopped meanwhile:\n" << log;
    EXPECT_EQ(log.find("RTT capture started"), log.rfind("RTT capture started")) << "started once:\n" << log;
    EXPECT_EQ(reader.interrupt(), 0) << reader.stderr_text();

    std::vector<rtt_record> records = records_of(reader.stdout_text());
    for (size_t i = 0; i < records.size(); i++) {
        EXPECT_EQ(records[i].lost, 0u) << "record " << i;
        if (i > 0) {
            EXPECT_EQ(records[i].position, records[i - 1].position + records[i - 1].text.size()) << "record " << i;
        }
    }
    std::vector<long> read = turns_in(text_of(records));
    ASSERT_FALSE(read.empty());
    expect_consecutive(read, "the reader");
    EXPECT_LT(read.front(), shown.front()) << "the reader read before the session";
    EXPECT_GE(read.back(), after);
    for (long turn : shown)
        EXPECT_TRUE(turn >= read.front() && turn <= read.back()) << "GDB's line " << turn << " is the reader's too";
    EXPECT_EQ(reader.stderr_text().find("lost"), std::string::npos) << reader.stderr_text();
}

} // namespace
