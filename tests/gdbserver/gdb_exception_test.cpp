// gdb-multiarch on the exception test firmware through tarvex-gdbserver: a
// breakpoint in the SysTick handler stops the core there, and GDB's
// backtrace unwinds through the exception frame the core stacked back to
// the thread code it interrupted.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "gdb_fixture.h"

namespace
{

using gdb_test::gdb_output;

class GdbExceptions : public gdb_test::GdbServer
{
protected:
    GdbExceptions()
    {
        vprobe_args_ = {"--fast", "--probe", std::string("firmware=") + EXCEPTIONS_ELF};
        elf_ = EXCEPTIONS_ELF;
    }
};

TEST_F(GdbExceptions, BacktraceFromTheSysTickHandlerReachesThreadCode)
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
TEST_F(GdbExceptions, StackPointerWritesFollowSpsel)
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
TEST_F(GdbExceptions, BacktraceThroughTheExtendedFrame)
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
TEST_F(GdbExceptions, FinishReturnsFromTheHandler)
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

// An unknown monitor command shows its text and the help in GDB, not a
// protocol error, and the session goes on.
TEST_F(GdbExceptions, UnknownMonitorCommandAnswersItsHelp)
{
    gdb_output out = gdb({"monitor bogus", "monitor halt", "detach"});
    SCOPED_TRACE(out.text + front_end_log());
    EXPECT_NE(out.text.find("unknown monitor command \"bogus\""), std::string::npos);
    EXPECT_NE(out.text.find("monitor semihosting enable|disable"), std::string::npos) << "the help";
    EXPECT_EQ(out.text.find("Protocol error"), std::string::npos);
    EXPECT_NE(out.text.find("halted at 0x"), std::string::npos) << "the next command runs";
}

} // namespace
