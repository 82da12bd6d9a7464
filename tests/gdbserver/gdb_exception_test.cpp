// gdb-multiarch on the exception test firmware through tarvex-gdbserver, on
// each core model with the firmware built for it: a breakpoint in a
// handler stops the core there, and GDB's backtrace unwinds through the
// exception frame the core stacked (basic, or extended on the cores with
// an FPU) back to the thread code it interrupted.
#include <gtest/gtest.h>

#include <iterator>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "gdb_fixture.h"

namespace
{

using gdb_test::gdb_output;

struct exceptions_core {
    const char *key;
    const char *elf;
};

void PrintTo(const exceptions_core &c, std::ostream *os)
{
    *os << c.key;
}

class GdbExceptions : public gdb_test::GdbServer, public ::testing::WithParamInterface<exceptions_core>
{
protected:
    GdbExceptions()
    {
        vprobe_args_ = {"--fast", "--probe", std::string("core=") + GetParam().key + ",firmware=" + GetParam().elf};
        elf_ = GetParam().elf;
    }
};

// The cores with an FPU, and those with six code comparators or more.
class GdbFpExceptions : public GdbExceptions
{
};
class GdbHandlerBreaks : public GdbExceptions
{
};

TEST_P(GdbExceptions, BacktraceFromTheSysTickHandlerReachesThreadCode)
{
    gdb_output out = gdb({"monitor reset halt", "break SysTick_Handler", "continue", "bt", "print/x $lr",
                          "print (unsigned)$xpsr & 0x1ff", "delete", "detach"});
    SCOPED_TRACE(out.text + front_end_log());
    size_t handler = out.text.find("#0  SysTick_Handler");
    size_t frame = out.text.find("<signal handler called>");
    size_t thread = out.text.find(" main () at ");
    ASSERT_NE(handler, std::string::npos);
    ASSERT_NE(frame, std::string::npos) << "the exception frame";
    ASSERT_NE(thread, std::string::npos) << "the thread code under it";
    EXPECT_LT(handler, frame);
    EXPECT_LT(frame, thread);
    EXPECT_NE(out.text.find("= 0xfffffff9"), std::string::npos) << "EXC_RETURN: Thread mode, main stack";
    EXPECT_NE(out.text.find("= 15"), std::string::npos) << "IPSR: the SysTick";
}

// Thread code on the process stack: $sp is the one CONTROL.SPSEL selects,
// and $sp, $msp and $psp agree after any of them is written.
TEST_P(GdbExceptions, StackPointerWritesFollowSpsel)
{
    gdb_output out =
        gdb({"monitor reset halt", "set $msp = 0x20008000", "set $psp = 0x20004000", "set $control = 2", "p/x $sp",
             "set $sp = 0x20003000", "p/x $psp", "p/x $msp", "set $control = 0", "p/x $sp", "set $msp = 0x20007000",
             "p/x $sp", "maint flush register-cache", "p/x $sp", "p/x $psp", "detach"});
    SCOPED_TRACE(out.text + front_end_log());
    std::vector<std::string> values;
    std::istringstream lines(out.text);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("$", 0) == 0)
            values.push_back(line.substr(line.find(" = ") + 3));
    const std::vector<std::string> want = {
        "0x20004000", // $sp: the PSP once SPSEL is set
        "0x20003000", // $psp after $sp was written
        "0x20008000", // $msp kept
        "0x20008000", // $sp: the MSP once SPSEL is clear
        "0x20007000", // $sp after $msp was written
        "0x20007000", // the same read from the core again
        "0x20003000", // $psp kept
    };
    EXPECT_EQ(values, want);
}

// Once the firmware has done floating-point work (exc_fp_wait), the SysTick
// finds the extended frame: GDB unwinds through it all the same.
TEST_P(GdbFpExceptions, BacktraceThroughTheExtendedFrame)
{
    gdb_output out = gdb({"monitor reset halt", "break exc_fp_wait", "continue", "delete", "break SysTick_Handler",
                          "continue", "bt", "print/x $lr", "delete", "detach"});
    SCOPED_TRACE(out.text + front_end_log());
    size_t handler = out.text.find("#0  SysTick_Handler");
    ASSERT_NE(handler, std::string::npos);
    std::string bt = out.text.substr(handler);
    size_t frame = bt.find("<signal handler called>");
    ASSERT_NE(frame, std::string::npos);
    EXPECT_NE(bt.find("exc_fp_wait", frame), std::string::npos) << "the thread code under the frame";
    EXPECT_NE(bt.find(" main () at ", frame), std::string::npos);
    EXPECT_NE(out.text.find("= 0xffffffe9"), std::string::npos) << "EXC_RETURN: the extended frame";
}

// "finish" in the handler runs to the thread code the exception returns to.
TEST_P(GdbExceptions, FinishReturnsFromTheHandler)
{
    gdb_output out = gdb({"monitor reset halt", "break SysTick_Handler", "continue", "finish", "bt",
                          "print (unsigned)$xpsr & 0x1ff", "delete", "detach"});
    SCOPED_TRACE(out.text + front_end_log());
    size_t hit = out.text.find("Breakpoint 1, SysTick_Handler ()");
    ASSERT_NE(hit, std::string::npos);
    std::string after = out.text.substr(hit);
    EXPECT_NE(after.find("#0  main () at "), std::string::npos) << "back in thread code";
    EXPECT_NE(after.find("$1 = 0"), std::string::npos) << "IPSR 0: Thread mode";
}

// Each handler the firmware's start-up takes, in the order the priorities
// give: SVC, PendSV, IRQ 0 with IRQ 1 nested in it, IRQ 2 before the PendSV
// it pended under PRIMASK (tail-chained), and the bus fault escalated to
// HardFault: six breakpoints, all the M4's comparators (IRQ 3 goes unseen;
// an M0+ has four).
struct handler_stop {
    const char *handler;
    unsigned exception; // IPSR
};

constexpr handler_stop HANDLER_STOPS[] = {
    {"SVC_Handler", 11},  {"PendSV_Handler", 14}, {"IRQ0_Handler", 16},     {"IRQ1_Handler", 17},
    {"IRQ2_Handler", 18}, {"PendSV_Handler", 14}, {"HardFault_Handler", 3},
};

TEST_P(GdbHandlerBreaks, ABreakInEachHandlerStopsThereInItsTurn)
{
    std::vector<std::string> commands = {"monitor reset halt"};
    for (const char *h :
         {"SVC_Handler", "PendSV_Handler", "IRQ0_Handler", "IRQ1_Handler", "IRQ2_Handler", "HardFault_Handler"})
        commands.push_back(std::string("break ") + h);
    size_t n = 0;
    for (const handler_stop &stop : HANDLER_STOPS) {
        commands.insert(commands.end(),
                        {gdb_test::mark("stop" + std::to_string(n)), "continue", "print (unsigned)$xpsr & 0x1ff"});
        if (std::string(stop.handler) == "IRQ1_Handler")
            commands.push_back("bt");
        n++;
    }
    commands.insert(commands.end(), {gdb_test::mark("end"), "delete", "detach"});
    gdb_output out = gdb(commands);
    SCOPED_TRACE(out.text + front_end_log());
    for (n = 0; n < std::size(HANDLER_STOPS); n++) {
        const handler_stop &stop = HANDLER_STOPS[n];
        std::string section = gdb_test::section(out.text, "stop" + std::to_string(n)) + "\n";
        EXPECT_NE(section.find(std::string(", ") + stop.handler + " ("), std::string::npos) << "stop " << n;
        EXPECT_NE(section.find(" = " + std::to_string(stop.exception) + "\n"), std::string::npos) << "stop " << n;
    }
    // IRQ 1 preempted IRQ 0, which interrupted main: two frames to unwind.
    std::string nested = gdb_test::section(out.text, "stop3");
    size_t irq1 = nested.find("#0  IRQ1_Handler"), irq0 = nested.find(" IRQ0_Handler ("),
           thread = nested.find(" main () at ");
    ASSERT_NE(irq1, std::string::npos);
    ASSERT_NE(irq0, std::string::npos) << "unwound through IRQ 1's frame";
    ASSERT_NE(thread, std::string::npos) << "and through IRQ 0's";
    EXPECT_LT(irq1, irq0);
    EXPECT_LT(irq0, thread);
}

// An unknown monitor command shows its text and the help in GDB, not a
// protocol error, and the session goes on.
class GdbMonitorHelp : public gdb_test::GdbServer
{
protected:
    GdbMonitorHelp()
    {
        vprobe_args_ = {"--fast", "--probe", std::string("firmware=") + EXCEPTIONS_ELF};
        elf_ = EXCEPTIONS_ELF;
    }
};

TEST_F(GdbMonitorHelp, UnknownMonitorCommandAnswersItsHelp)
{
    gdb_output out = gdb({"monitor bogus", "monitor halt", "detach"});
    SCOPED_TRACE(out.text + front_end_log());
    EXPECT_NE(out.text.find("unknown monitor command \"bogus\""), std::string::npos);
    EXPECT_NE(out.text.find("monitor semihosting enable|disable"), std::string::npos) << "the help";
    EXPECT_EQ(out.text.find("Protocol error"), std::string::npos);
    EXPECT_NE(out.text.find("halted at 0x"), std::string::npos) << "the next command runs";
}

const exceptions_core M0 = {"m0", EXCEPTIONS_M0_ELF}, M3 = {"m3", EXCEPTIONS_M3_ELF}, M4 = {"m4", EXCEPTIONS_ELF},
                      M7 = {"m7", EXCEPTIONS_ELF}, M33 = {"m33", EXCEPTIONS_ELF};

std::string core_name(const ::testing::TestParamInfo<exceptions_core> &info)
{
    return info.param.key;
}

INSTANTIATE_TEST_SUITE_P(Cores, GdbExceptions, ::testing::Values(M0, M3, M4, M7, M33), core_name);
INSTANTIATE_TEST_SUITE_P(Cores, GdbFpExceptions, ::testing::Values(M4, M7, M33), core_name);
INSTANTIATE_TEST_SUITE_P(Cores, GdbHandlerBreaks, ::testing::Values(M3, M4, M7, M33), core_name);

} // namespace
