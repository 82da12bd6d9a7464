// Sessions of Debian's gdb-multiarch in batch mode against tarvex-gdbserver,
// the real server and the virtual probe running the sample firmware; what
// GDB shows is compared with the ELF and with what the server reports to
// another client at the same time.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "armv7m_debug.h"
#include "elf_lookup.h"
#include "gdb_fixture.h"

namespace
{

using gdb_test::gdb_output;
using gdb_test::mark;
using gdb_test::section;
using gdb_test::value_after;
using tarvex_test::elf_symbol_of;

std::string hex_bytes(const std::vector<uint8_t> &bytes)
{
    std::string text;
    char b[8];
    for (uint8_t v : bytes) {
        snprintf(b, sizeof(b), "0x%02x ", v);
        text += b;
    }
    return text;
}

// GDB's "x/Nxb" lines ("0x20000100 <name>:\t0x01\t0x02 ...") as "0x01 0x02 ".
std::string bytes_shown(const std::string &x_output)
{
    std::string text;
    size_t pos = 0;
    while ((pos = x_output.find('\t', pos)) != std::string::npos) {
        text += x_output.substr(pos + 1, 4) + " ";
        pos++;
    }
    return text;
}

std::string le_bytes(uint32_t v)
{
    return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
}

uint32_t symbol(const std::string &name)
{
    tarvex_test::elf_symbol s = elf_symbol_of(SAMPLE_ELF, name);
    EXPECT_TRUE(s.found) << name;
    return s.address;
}

std::string hex(uint32_t v)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%x", v);
    return text;
}

class Gdb : public gdb_test::GdbServer
{
protected:
    Gdb()
    {
        vprobe_args_ = {"--fast", "--probe", std::string("firmware=") + SAMPLE_ELF};
        elf_ = SAMPLE_ELF;
    }
    void halt() { probe_.set_debug_reg(armv7m::DHCSR, armv7m::DHCSR_HALT); }
    // GDB has attached (the front end halted the core then) and the core
    // runs again: GDB's "continue" is under way.
    bool gdb_running() { return front_end_log().find("GDB connected") != std::string::npos && !probe_.halted(); }
    uint32_t word_at(uint32_t addr)
    {
        std::vector<uint8_t> b = probe_.memory(addr, 4);
        return b.size() == 4 ? (b[0] | b[1] << 8 | b[2] << 16 | uint32_t(b[3]) << 24) : 0;
    }
    // "shell tarvex-cli read ADDR LEN -o FILE": another client, inside the session.
    std::string cli_read(uint32_t addr, uint32_t len, const std::string &file)
    {
        return std::string("shell ") + TARVEX_CLI_PATH + " --port " + std::to_string(server_.port) + " read " +
               hex(addr) + " " + std::to_string(len) + " -o " + file;
    }
};

TEST_F(Gdb, SessionTable)
{
    halt();
    for (unsigned n = 0; n <= 12; n++)
        probe_.set_core_reg(n, 0x01010101u * (n + 1));
    std::vector<uint32_t> server_regs;
    for (unsigned n = 0; n < 17; n++)
        server_regs.push_back(probe_.core_reg(n));
    uint32_t table = symbol("sample_table"), counter = symbol("sample_counter"), tick = symbol("sample_tick");
    uint32_t reset_handler = symbol("reset_handler");
    std::string at_break = scratch("at-break.bin"), after_set = scratch("after-set.bin");
    gdb_output out = gdb({mark("regs"),
                          "info registers",
                          mark("table"),
                          "x/32xb &sample_table",
                          mark("reset"),
                          "monitor reset halt",
                          "flushregs",
                          mark("pc3"),
                          "p/x $pc",
                          "stepi",
                          mark("step"),
                          "p/x $pc",
                          mark("bp"),
                          "break *sample_tick",
                          "continue",
                          "p/x $pc",
                          mark("counter"),
                          "x/4xb &sample_counter",
                          cli_read(counter, 4, at_break),
                          "set var sample_counter = 1000",
                          cli_read(counter, 4, after_set),
                          mark("watch"),
                          "delete",
                          "watch sample_counter",
                          "continue",
                          mark("speed"),
                          "monitor speed 1800",
                          mark("help"),
                          "monitor help",
                          mark("flash"),
                          "set var *(unsigned int *)&sample_table = 1",
                          mark("detach"),
                          "detach",
                          mark("end")});
    SCOPED_TRACE(out.text + front_end_log());
    EXPECT_EQ(out.status, 0);

    std::string regs = "\n" + section(out.text, "regs");
    static const char *const names[] = {"r0", "r1",  "r2",  "r3",  "r4", "r5", "r6", "r7",  "r8",
                                        "r9", "r10", "r11", "r12", "sp", "lr", "pc", "xpsr"};
    for (unsigned n = 0; n < 17; n++)
        EXPECT_EQ(value_after(regs, std::string("\n") + names[n] + " "), server_regs[n]) << names[n];
    EXPECT_EQ(bytes_shown(section(out.text, "table")), hex_bytes(tarvex_test::elf_bytes(SAMPLE_ELF, table, 32)));
    EXPECT_NE(section(out.text, "reset").find("halted at"), std::string::npos);
    EXPECT_EQ(value_after(section(out.text, "pc3"), "$1 = "), reset_handler) << "reset halt stops at the reset handler";
    EXPECT_EQ(value_after(section(out.text, "step"), "$2 = "),
              tarvex_test::elf_next_instruction(SAMPLE_ELF, reset_handler));
    EXPECT_NE(section(out.text, "bp").find("Breakpoint 1"), std::string::npos);
    EXPECT_EQ(value_after(section(out.text, "bp"), "$3 = "), tick);
    // Another client reads what GDB shows, and sees what GDB wrote.
    std::string shown = bytes_shown(section(out.text, "counter"));
    std::string cli_bytes = tarvex_test::read_file(at_break);
    EXPECT_EQ(shown, hex_bytes(std::vector<uint8_t>(cli_bytes.begin(), cli_bytes.end())));
    EXPECT_EQ(tarvex_test::read_file(after_set), le_bytes(1000));
    std::string watch = section(out.text, "watch");
    EXPECT_NE(watch.find("atchpoint 2: sample_counter"), std::string::npos);
    EXPECT_NE(watch.find("Old value = 1000"), std::string::npos);
    EXPECT_NE(watch.find("New value = 1001"), std::string::npos);
    EXPECT_NE(section(out.text, "speed").find("SWD clock 1800 kHz"), std::string::npos);
    EXPECT_NE(section(out.text, "help").find("monitor reset halt"), std::string::npos);
    // Flash is programmed by load only (the memory map marks it flash).
    EXPECT_NE(section(out.text, "flash").find("Writing to flash memory forbidden"), std::string::npos);
    EXPECT_NE(section(out.text, "detach").find("[Inferior 1 (Remote target) detached]"), std::string::npos);

    // Detached, the firmware runs on: its counter moves (hang guard only).
    uint32_t first = word_at(counter), now = first;
    for (int i = 0; i < 500 && now == first; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        now = word_at(counter);
    }
    EXPECT_NE(now, first) << "the core did not run after detach";
    EXPECT_EQ(probe_.debug_reg(armv7m::FP_COMP0) & 1, 0u) << "breakpoint comparator left on";
}

// The system registers GDB unwinds exception frames and RTOS stacks with:
// read as the probe holds them, written back into their packed selector.
TEST_F(Gdb, SystemRegistersReadAndWritten)
{
    halt();
    probe_.set_core_reg(armv7m::REGSEL_PSP, 0x20003000);
    probe_.set_core_reg(armv7m::REGSEL_SPECIAL, 0);
    uint32_t msp = probe_.core_reg(armv7m::REGSEL_MSP);
    gdb_output out = gdb({mark("msp"), "p/x $msp", mark("psp"), "p/x $psp", "set $primask = 1", "set $basepri = 0x40",
                          mark("mask"), "p/x $basepri", mark("end")});
    SCOPED_TRACE(out.text + front_end_log());
    EXPECT_EQ(value_after(section(out.text, "msp"), "$1 = "), msp);
    EXPECT_EQ(value_after(section(out.text, "psp"), "$2 = "), 0x20003000);
    EXPECT_EQ(value_after(section(out.text, "mask"), "$3 = "), 0x40);
    EXPECT_EQ(probe_.core_reg(armv7m::REGSEL_SPECIAL), 0x00004001u) << "PRIMASK and BASEPRI in their bytes";
}

TEST_F(Gdb, InterruptStopsARunningCore)
{
    gdb_output out = gdb({"continue", mark("after"), "p sample_counter", "detach"}, [&] { return gdb_running(); });
    SCOPED_TRACE(out.text + front_end_log());
    EXPECT_NE(out.text.find("Program received signal SIGINT"), std::string::npos);
    EXPECT_NE(section(out.text, "after").find("$1 = "), std::string::npos);
}

// Ctrl-C while the core is halted at a breakpoint whose condition GDB finds
// false: the interrupt is kept and ends GDB's next resume.
TEST_F(Gdb, InterruptBetweenConditionChecksStopsTheContinue)
{
    uint32_t tick = tarvex_test::elf_symbol_of(SAMPLE_ELF, "sample_tick").address & ~1u;
    auto at_breakpoint = [&] {
        return front_end_log().find("GDB connected") != std::string::npos && probe_.halted() &&
               probe_.core_reg(armv7m::REGSEL_PC) == tick;
    };
    gdb_output out =
        gdb({"break sample_tick if turn == 0", "continue", mark("after"), "delete", "detach"}, at_breakpoint);
    SCOPED_TRACE(out.text + front_end_log());
    EXPECT_NE(out.text.find("Program received signal SIGINT"), std::string::npos);
    EXPECT_NE(out.text.find("after"), std::string::npos);
}

// GDB's message for a breakpoint it cannot insert names the unplugged
// probe instead of guessing at too many breakpoints.
TEST_F(Gdb, UnpluggedProbeIsNamedWhenABreakpointCannotBeSet)
{
    gdb_output out = gdb({"break sample_tick", control_command("unplug 0"), "continue", "detach"});
    SCOPED_TRACE(out.text + front_end_log());
    EXPECT_NE(out.text.find("Cannot insert hardware breakpoint 1:Remote failure reply: probe "), std::string::npos);
    EXPECT_NE(out.text.find(" did not answer: unplugged, or its target off? (result -4)"), std::string::npos);
    EXPECT_EQ(out.text.find("too many hardware breakpoints"), std::string::npos);
}

TEST_F(Gdb, LoadAndRunARamProgram)
{
    elf_ = RAM_PROGRAM_ELF;
    tarvex_test::elf_symbol result = elf_symbol_of(RAM_PROGRAM_ELF, "ram_result");
    ASSERT_TRUE(result.found);
    gdb_output out = gdb({"load", "continue", mark("result"), "p ram_result", "detach"});
    SCOPED_TRACE(out.text + front_end_log());
    EXPECT_NE(out.text.find("Transfer rate"), std::string::npos);
    EXPECT_NE(out.text.find("Program received signal SIGTRAP"), std::string::npos) << "stopped at its BKPT";
    EXPECT_NE(section(out.text, "result").find("$1 = 5050"), std::string::npos);
    EXPECT_EQ(word_at(result.address), 5050u);
}

TEST_F(Gdb, SecondGdbIsToldWhyAndTheFirstKeepsWorking)
{
    gdb_output second, third;
    tarvex_test::server_process other_front_end;
    uint16_t other_port = start_front_end(other_front_end);
    ASSERT_NE(other_port, 0);
    gdb_output first = gdb({"continue", mark("after"), "x/4xb &sample_table", "detach"}, [&] {
        if (!gdb_running())
            return false;
        second = gdb({"p/x $pc"});
        third = gdb({"p/x $pc"}, nullptr, other_port);
        return true;
    });
    SCOPED_TRACE(first.text + "\n---\n" + second.text + "\n---\n" + third.text + front_end_log());
    EXPECT_EQ(second.text.find("$1 = "), std::string::npos);
    EXPECT_EQ(third.text.find("$1 = "), std::string::npos);
    // Each refused GDB shows why.
    const std::string shown = "Remote failure reply: E.tarvex-gdbserver: probe 7E5756500000000000000001 already has "
                              "a GDB connection";
    EXPECT_NE(second.text.find(shown + "\n"), std::string::npos);
    EXPECT_NE(third.text.find(shown + " through another tarvex-gdbserver\n"), std::string::npos);
    EXPECT_NE(front_end_log().find("refused GDB from 127.0.0.1"), std::string::npos);
    EXPECT_NE(first.text.find("Program received signal SIGINT"), std::string::npos);
    EXPECT_EQ(bytes_shown(section(first.text, "after")),
              hex_bytes(tarvex_test::elf_bytes(SAMPLE_ELF, symbol("sample_table"), 4)));
    other_front_end.send_signal(SIGTERM);
    EXPECT_EQ(other_front_end.wait_exit(20000), 0);
}

// Under "target extended-remote" each of kill, run, attach after kill, and
// detach then connecting again leaves GDB, the front end and the probe
// ready for the next command: the breakpoint hits again each time, a run
// starts the firmware over, and the end leaves the probe as it was.
TEST_F(Gdb, ExtendedRemoteKillRunAttachAndConnectAgain)
{
    extended_ = true;
    gdb_output out = gdb({"break sample_tick", "run", mark("kill"), "kill", mark("run"), "run", "kill", mark("attach"),
                          "attach 1", "continue", mark("detach"), "detach", mark("again"), target(), "p sample_counter",
                          "continue", mark("end"), "delete", "detach"});
    SCOPED_TRACE(out.text + front_end_log());
    EXPECT_EQ(out.status, 0);
    const std::string first_turn = "Breakpoint 1, sample_tick (turn=turn@entry=1)";
    EXPECT_NE(out.text.find(first_turn), std::string::npos) << "run from the reset vector";
    EXPECT_NE(section(out.text, "kill").find("[Inferior 1 (Remote target) killed]"), std::string::npos);
    EXPECT_NE(section(out.text, "run").find(first_turn), std::string::npos) << "run after kill starts over";
    EXPECT_NE(section(out.text, "attach").find("Breakpoint 1, sample_tick (turn=turn@entry=2)"), std::string::npos)
        << "attached where the kill left it, the breakpoint still in place";
    EXPECT_NE(section(out.text, "detach").find("[Inferior 1 (Remote target) detached]"), std::string::npos);
    std::string again = section(out.text, "again");
    EXPECT_NE(again.find("$1 = "), std::string::npos);
    EXPECT_NE(again.find("Breakpoint 1, sample_tick"), std::string::npos);
    EXPECT_NE(section(out.text, "end").find("[Inferior 1 (Remote target) detached]"), std::string::npos);
    EXPECT_EQ(probe_.clients_on_probe(), 1) << "each session closed its association";
    EXPECT_EQ(probe_.debug_reg(armv7m::FP_COMP0) & 1, 0u) << "breakpoint comparator left on";
}

// The probe pulled out under a halted session: GDB gets errors, not
// invented values, and detaches cleanly; plugged back, the next GDB
// attaches.
TEST_F(Gdb, UnpluggedWhileHaltedThenPluggedBackAndAttached)
{
    gdb_output out =
        gdb({control_command("unplug 0"), mark("stepi"), "stepi", mark("read"), "x/xw 0x20000000", mark("detach"),
             "detach", control_command("plug 0"), mark("again"), target(), "p sample_counter", "detach", mark("end")});
    SCOPED_TRACE(out.text + front_end_log());
    EXPECT_EQ(out.status, 0);
    EXPECT_NE(section(out.text, "stepi").find("Remote failure reply: E05"), std::string::npos);
    std::string read = section(out.text, "read");
    EXPECT_NE(read.find("E05"), std::string::npos) << read;
    EXPECT_EQ(read.find("0x20000000"), std::string::npos) << "no value shown";
    EXPECT_NE(section(out.text, "detach").find("(plug 0) ok"), std::string::npos) << "plugged back";
    EXPECT_NE(section(out.text, "detach").find("[Inferior 1 (Remote target) detached]"), std::string::npos);
    std::string again = section(out.text, "again");
    EXPECT_NE(again.find("$1 = "), std::string::npos);
    EXPECT_NE(again.find("[Inferior 1 (Remote target) detached]"), std::string::npos);
    // The server finds the probe by itself; a front end that comes first asks it to rescan.
    EXPECT_TRUE(server_.stderr_text().find("plugged in again: found without a refresh") != std::string::npos ||
                front_end_log().find("asking the server to rescan the USB bus") != std::string::npos);
    EXPECT_EQ(probe_.clients_on_probe(), 1);
}

std::string control_reply(const std::string &text, const std::string &request)
{
    std::string begin = "(" + request + ") ok";
    size_t at = text.find(begin);
    return at == std::string::npos ? "" : text.substr(at + begin.size(), text.find('\n', at) - at - begin.size());
}

// The probe's command blocks, as the control channel's history lists them
// (newest first): the debug command's sub-command, and the address a
// memory read starts at.
constexpr uint8_t PROBE_READ_REG = 0x33, PROBE_READ_REGS = 0x3A, PROBE_READ_MEM32 = 0x07, PROBE_READ_MEM8 = 0x0C;
struct probe_block {
    uint8_t sub;
    uint32_t addr;
};

std::vector<probe_block> probe_blocks(const std::string &history, size_t newest)
{
    std::vector<probe_block> blocks;
    std::istringstream words(history);
    std::string hex;
    while (blocks.size() < newest && words >> hex) {
        uint32_t addr = 0;
        for (int i = 5; i >= 2; i--)
            addr = addr << 8 | static_cast<uint32_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
        blocks.push_back({static_cast<uint8_t>(std::stoul(hex.substr(2, 2), nullptr, 16)), addr});
    }
    return blocks;
}

// GDB's stepi costs the probe few commands: the step and its halt, one
// register-file read per halt, and each code line of flash read once while
// GDB steps, however often GDB asks for it (RAM is read every time).
TEST_F(Gdb, StepsCostFewProbeCommands)
{
    constexpr int STEPS = 20;
    std::vector<std::string> commands = {"stepi", "stepi", control_command("count 0")};
    for (int i = 0; i < STEPS; i++)
        commands.push_back("stepi");
    commands.push_back(control_command("count 0")); // told from the first by its place in the output
    commands.push_back(control_command("history 0 256"));
    gdb_output out = gdb(commands);
    SCOPED_TRACE(out.text + front_end_log());
    ASSERT_EQ(out.status, 0);
    size_t first = out.text.find("(count 0) ok ");
    ASSERT_NE(first, std::string::npos);
    std::string rest = out.text.substr(first + 1);
    long before = atol(control_reply(out.text, "count 0").c_str());
    long after = atol(control_reply(rest, "count 0").c_str());
    long spent = after - before;
    double per_step = static_cast<double>(spent) / STEPS;
    RecordProperty("probe_commands_per_stepi", std::to_string(per_step));
    printf("probe commands per stepi: %.2f\n", per_step);
    EXPECT_LE(per_step, 10.0);
    ASSERT_GT(spent, 0);
    ASSERT_LE(spent, 256) << "the history holds the whole window";

    int single = 0, files = 0;
    std::map<uint32_t, int> flash_reads;
    for (const probe_block &b : probe_blocks(control_reply(out.text, "history 0 256"), static_cast<size_t>(spent))) {
        single += b.sub == PROBE_READ_REG;
        files += b.sub == PROBE_READ_REGS;
        if ((b.sub == PROBE_READ_MEM32 || b.sub == PROBE_READ_MEM8) && b.addr < 0x40000)
            flash_reads[b.addr]++;
    }
    EXPECT_EQ(single, 0) << "registers come as a set";
    EXPECT_EQ(files, STEPS) << "one register-file read per halt";
    for (const auto &r : flash_reads)
        EXPECT_EQ(r.second, 1) << "flash at 0x" << std::hex << r.first << " read again while GDB stepped";
}

// ITM software packets of port 0, one byte each: header 0x01, then the byte.
std::string itm_text(const std::string &swo)
{
    std::string text;
    for (size_t i = 0; i + 1 < swo.size(); i++)
        if (swo[i] == 0x01)
            text.push_back(swo[++i]);
    return text;
}

TEST_F(Gdb, TraceShowsItmWhileGdbStepsAndContinues)
{
    std::string swo = scratch("swo.bin");
    tarvex_test::server_process trace; // for its process handling
    trace.pid = tarvex_test::spawn_program(
        {TARVEX_CLI_PATH, "--port", std::to_string(server_.port), "trace", "--seconds", "120"}, swo,
        trace.dir + "/err");
    // Every turn prints its line while GDB holds the core between turns.
    gdb_output out = gdb({"set var sample_turns_per_line = 1", "break *sample_tick", "continue", "continue",
                          mark("turn"), "p sample_counter", "stepi", "continue", "stepi", "delete", "detach"});
    SCOPED_TRACE(out.text + front_end_log());
    long long turn = -1;
    std::string shown = section(out.text, "turn");
    if (shown.find("= ") != std::string::npos)
        turn = atoll(shown.c_str() + shown.find("= ") + 2);
    ASSERT_GT(turn, 0);
    // The line of that turn, printed after GDB let sample_tick return.
    std::string line = "tarvex sample: turn " + std::to_string(turn) + "\n";
    std::string text;
    for (int i = 0; i < 500 && text.find(line) == std::string::npos; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        text = itm_text(tarvex_test::read_file(swo));
    }
    trace.send_signal(SIGTERM);
    EXPECT_EQ(trace.wait_exit(20000), 0);
    EXPECT_NE(text.find(line), std::string::npos) << text.substr(0, 400);
}

} // namespace
