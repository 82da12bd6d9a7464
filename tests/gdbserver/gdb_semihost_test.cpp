// gdb-multiarch continuing the semihosting test firmware through
// tarvex-gdbserver: console output reaches GDB while it waits, SYS_EXIT
// ends the inferior with the firmware's status, and with semihosting off
// GDB stops at the firmware's BKPT 0xAB instead.
#include <gtest/gtest.h>

#include <string>

#include "gdb_fixture.h"

namespace
{

using gdb_test::gdb_output;

class GdbSemihost : public gdb_test::GdbServer
{
protected:
    GdbSemihost()
    {
        vprobe_args_ = {"--fast", "--probe", std::string("firmware=") + SEMIHOST_ELF};
        elf_ = SEMIHOST_ELF;
    }
};

TEST_F(GdbSemihost, ConsoleOutputThenTheExitStatus)
{
    gdb_output out = gdb({"monitor semihosting args args write0=3 exit=7", "monitor reset halt", "continue"});
    SCOPED_TRACE(out.text + front_end_log());
    EXPECT_NE(out.text.find("args: args write0=3 exit=7\n..."), std::string::npos);
    EXPECT_NE(out.text.find("exited with code 07"), std::string::npos);
}

// A halt before the firmware's first call (a breakpoint in main) leaves
// its arguments open: the firmware reads the ones set there.
TEST_F(GdbSemihost, ArgumentsStayOpenUntilTheFirstCall)
{
    gdb_output out = gdb(
        {"monitor reset halt", "break main", "continue", "monitor semihosting args args exit=5", "delete", "continue"});
    SCOPED_TRACE(out.text + front_end_log());
    EXPECT_NE(out.text.find("the firmware's arguments are set"), std::string::npos);
    EXPECT_NE(out.text.find("args: args exit=5"), std::string::npos) << "the arguments set at main";
    EXPECT_NE(out.text.find("exited with code 05"), std::string::npos);
}

// In extended mode the session outlives the exit: GDB then sees no live
// thread until the next run.
TEST_F(GdbSemihost, AfterTheExitNoThreadIsLive)
{
    extended_ = true;
    gdb_output out = gdb({"monitor semihosting args exit=3", "monitor reset halt", "continue", "info threads",
                          "maint packet qfThreadInfo", "maint packet T1"});
    SCOPED_TRACE(out.text + front_end_log());
    size_t exited = out.text.find("exited with code 03");
    ASSERT_NE(exited, std::string::npos);
    std::string after = out.text.substr(exited);
    EXPECT_NE(after.find("No threads."), std::string::npos);
    EXPECT_EQ(after.find("New Thread"), std::string::npos);
    EXPECT_NE(after.find("received: \"l\""), std::string::npos) << "qfThreadInfo: none";
    EXPECT_NE(after.find("received: \"E01\""), std::string::npos) << "T1: not alive";
}

TEST_F(GdbSemihost, DisabledGdbStopsAtTheBkpt)
{
    gdb_output out =
        gdb({"monitor help", "monitor semihosting disable", "monitor reset halt", "continue", "x/i $pc", "detach"});
    SCOPED_TRACE(out.text + front_end_log());
    EXPECT_NE(out.text.find("monitor semihosting enable|disable"), std::string::npos) << "in monitor help";
    EXPECT_NE(out.text.find("SIGTRAP"), std::string::npos);
    EXPECT_NE(out.text.find("bkpt\t0x00ab"), std::string::npos);
}

// A fault in thread code running on the process stack, with and without
// the FP context: GDB stops at the HardFault handler's BKPT, and its
// backtrace unwinds through the frame the core stacked on PSP, basic or
// extended as EXC_RETURN says, to the faulting function and main.
TEST_F(GdbSemihost, BacktraceFromAFaultOnTheProcessStackReachesThreadCode)
{
    struct {
        const char *args;
        const char *exc_return;
    } const cases[] = {{"psp fault", "= 0xfffffffd"}, {"psp fp fault", "= 0xffffffed"}};
    for (const auto &c : cases) {
        gdb_output out = gdb({std::string("monitor semihosting args ") + c.args, "monitor reset halt", "continue", "bt",
                              "print/x $lr", "detach"});
        SCOPED_TRACE(std::string(c.args) + "\n" + out.text + front_end_log());
        size_t frame = out.text.find("<signal handler called>");
        ASSERT_NE(frame, std::string::npos) << "the exception frame";
        size_t faulting = out.text.find("semihost_fault_store", frame);
        ASSERT_NE(faulting, std::string::npos) << "the function that faulted, under the frame";
        EXPECT_NE(out.text.find(" main (", faulting), std::string::npos) << "and its callers";
        EXPECT_NE(out.text.find(c.exc_return), std::string::npos) << "EXC_RETURN: Thread mode, process stack";
    }
}

// The target C libraries' own semihosting: their status reaches GDB
// through SYS_EXIT_EXTENDED, which they use once the feature file offers
// it, and their console output arrives while GDB waits.
class GdbLibcSemihost : public gdb_test::GdbServer, public ::testing::WithParamInterface<const char *>
{
protected:
    GdbLibcSemihost()
    {
        vprobe_args_ = {"--fast", "--probe", std::string("firmware=") + GetParam()};
        elf_ = GetParam();
    }
};

TEST_P(GdbLibcSemihost, ExitStatusAndOutputOfTheLibrary)
{
    gdb_output out = gdb({"monitor semihosting args lines=2 exit=3", "monitor reset halt", "continue"});
    SCOPED_TRACE(out.text + front_end_log());
    EXPECT_NE(out.text.find("line 0\nline 1\n"), std::string::npos);
    EXPECT_NE(out.text.find("exited with code 03"), std::string::npos);
    EXPECT_EQ(front_end_log().find("semihosting-features"), std::string::npos) << "answered, not refused";
}

std::string library_name(const ::testing::TestParamInfo<const char *> &info)
{
    return std::string(info.param).find("newlib") != std::string::npos ? "newlib" : "picolibc";
}

INSTANTIATE_TEST_SUITE_P(Libraries, GdbLibcSemihost, ::testing::Values(NEWLIB_ELF, PICOLIBC_ELF), library_name);

} // namespace
