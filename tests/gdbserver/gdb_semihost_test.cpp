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

TEST_F(GdbSemihost, DisabledGdbStopsAtTheBkpt)
{
    gdb_output out =
        gdb({"monitor help", "monitor semihosting disable", "monitor reset halt", "continue", "x/i $pc", "detach"});
    SCOPED_TRACE(out.text + front_end_log());
    EXPECT_NE(out.text.find("monitor semihosting enable|disable"), std::string::npos) << "in monitor help";
    EXPECT_NE(out.text.find("SIGTRAP"), std::string::npos);
    EXPECT_NE(out.text.find("bkpt\t0x00ab"), std::string::npos);
}

} // namespace
