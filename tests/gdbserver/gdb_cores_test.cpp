// gdb-multiarch on each core model of the virtual probe, through the real
// server: the registers that core has, and on the cores with an FPU (the
// firmware turns it on) the S, D and FPSCR registers GDB sets, read back
// from the core after GDB forgot them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
#include <string>

#include "gdb_fixture.h"

namespace
{

using namespace gdb_test;

class GdbCores : public GdbServer, public ::testing::WithParamInterface<const char *>
{
protected:
    GdbCores()
    {
        vprobe_args_ = {"--fast", "--probe", std::string("core=") + GetParam() + ",firmware=" + CORE_FIRMWARE_ELF};
        elf_ = CORE_FIRMWARE_ELF;
    }
};

TEST_P(GdbCores, TheRegistersThatCoreHas)
{
    const std::string core = GetParam();
    bool masks = core != "m0", fp = masks && core != "m3";
    gdb_output out = gdb({mark("primask"),
                          "p/x $primask",
                          mark("basepri"),
                          "p/x $basepri",
                          "set $s0 = 1.5",
                          "set $d1 = -2.25",
                          "set $fpscr = 0xc00000",
                          "set $psplim = 0x20001007",
                          "flushregs",
                          mark("s0"),
                          "p $s0",
                          mark("d1"),
                          "p $d1",
                          mark("s3"),
                          "p $s3",
                          mark("fpscr"),
                          "p/x $fpscr",
                          mark("psplim"),
                          "p/x $psplim",
                          mark("end"),
                          "detach"});
    SCOPED_TRACE(out.text + front_end_log());
    EXPECT_EQ(out.status, 0);
    EXPECT_NE(section(out.text, "primask").find("= 0x"), std::string::npos);
    // The stack limits are Armv8-M Mainline's: read back from the core
    // with bits 2:0 clear; elsewhere a convenience variable.
    bool v8 = core == "m33";
    EXPECT_NE(section(out.text, "psplim").find(v8 ? "= 0x20001000" : "= 0x20001007"), std::string::npos);
    // Armv6-M has no BASEPRI; m0 and m3 have no FPU: GDB knows no such
    // registers (its "set" made convenience variables of them).
    EXPECT_NE(section(out.text, "basepri").find(masks ? "= 0x" : "void"), std::string::npos);
    if (!fp) {
        EXPECT_NE(section(out.text, "s3").find("void"), std::string::npos);
        return;
    }
    EXPECT_NE(section(out.text, "s0").find("= 1.5"), std::string::npos);
    EXPECT_NE(section(out.text, "d1").find("= -2.25"), std::string::npos);
    // d1's high half: -2.25 is 0xc002000000000000.
    EXPECT_NE(section(out.text, "s3").find("= -2.03125"), std::string::npos);
    EXPECT_NE(section(out.text, "fpscr").find("= 0xc00000"), std::string::npos);
}

// A session as a GDB user has it on each core: load the image into flash
// (the Armv6-M algorithm and helper), reset, break, step, and watch a
// variable for writes, reads and both, in that core's DWT encoding.
TEST_P(GdbCores, LoadBreakStepAndWatch)
{
    gdb_output out = gdb({mark("load"),   "load",     "monitor reset halt", mark("bp"),
                          "break tick",   "continue", mark("step"),         "next",
                          "next",         "p/x $pc",  mark("watch"),        "delete",
                          "watch ticks",  "continue", mark("rwatch"),       "delete",
                          "rwatch ticks", "continue", mark("awatch"),       "delete",
                          "awatch ticks", "continue", mark("end"),          "delete",
                          "detach"});
    SCOPED_TRACE(out.text + front_end_log());
    EXPECT_EQ(out.status, 0);
    EXPECT_NE(section(out.text, "load").find("Transfer rate"), std::string::npos);
    EXPECT_NE(section(out.text, "bp").find("Breakpoint 1, tick ()"), std::string::npos);
    // Out of tick() by two lines: back in main's loop.
    EXPECT_NE(section(out.text, "step").find("main ()"), std::string::npos);
    std::string watch = section(out.text, "watch");
    size_t old_at = watch.find("Old value = "), new_at = watch.find("New value = ");
    ASSERT_NE(old_at, std::string::npos) << watch;
    ASSERT_NE(new_at, std::string::npos) << watch;
    EXPECT_EQ(std::strtoul(watch.c_str() + new_at + 12, nullptr, 0),
              std::strtoul(watch.c_str() + old_at + 12, nullptr, 0) + 1);
    EXPECT_NE(section(out.text, "rwatch").find("Hardware read watchpoint"), std::string::npos);
    EXPECT_NE(section(out.text, "rwatch").find("Value = "), std::string::npos);
    EXPECT_NE(section(out.text, "awatch").find("Hardware access (read/write) watchpoint"), std::string::npos);
}

// The sample firmware's hard-float build on the cores with an FPU (the
// M7's for its double-precision FPU): GDB's finish out of a float function
// shows the value it returned in s0, and info float lists the FP registers.
struct hard_float_core {
    const char *key;
    const char *elf;
};

void PrintTo(const hard_float_core &c, std::ostream *os)
{
    *os << c.key;
}

class GdbHardFloat : public GdbServer, public ::testing::WithParamInterface<hard_float_core>
{
protected:
    GdbHardFloat()
    {
        vprobe_args_ = {"--fast", "--probe", std::string("core=") + GetParam().key + ",firmware=" + GetParam().elf};
        elf_ = GetParam().elf;
    }
};

TEST_P(GdbHardFloat, FinishOfAFloatFunctionShowsItsValue)
{
    gdb_output out = gdb({"break sample_scale", "continue", mark("finish"), "finish", mark("float"), "info float",
                          mark("end"), "delete", "detach"});
    SCOPED_TRACE(out.text + front_end_log());
    EXPECT_EQ(out.status, 0);
    // "Breakpoint 1, sample_scale (x=x@entry=4)": the argument, from s0.
    size_t x_at = out.text.find("sample_scale (x=");
    ASSERT_NE(x_at, std::string::npos);
    std::string arg = out.text.substr(x_at + 16, out.text.find(')', x_at) - x_at - 16);
    double x = std::strtod(arg.c_str() + (arg.rfind('=') == std::string::npos ? 0 : arg.rfind('=') + 1), nullptr);
    std::string finish = section(out.text, "finish");
    size_t value_at = finish.find("Value returned is $");
    ASSERT_NE(value_at, std::string::npos) << finish;
    double value = std::strtod(finish.c_str() + finish.find("= ", value_at) + 2, nullptr);
    EXPECT_DOUBLE_EQ(value, x * 1.25 + 0.5) << finish;
    std::string info = section(out.text, "float");
    EXPECT_NE(info.find("d0 "), std::string::npos) << info;
    EXPECT_NE(info.find("fpscr"), std::string::npos) << info;
}

// A double's way through a D register: the argument GDB shows at the
// breakpoint comes from d0, and so does the value finish shows (on the M7
// computed by its FPU, elsewhere by libgcc).
TEST_P(GdbHardFloat, FinishOfADoubleFunctionShowsItsValue)
{
    gdb_output out = gdb({"break sample_half", "continue", mark("arg"), "p x", "p $d0", mark("finish"), "finish",
                          mark("end"), "delete", "detach"});
    SCOPED_TRACE(out.text + front_end_log());
    EXPECT_EQ(out.status, 0);
    std::string arg = section(out.text, "arg");
    size_t x_at = arg.find("$1 = "), d0_at = arg.find("$2 = ");
    ASSERT_NE(x_at, std::string::npos);
    ASSERT_NE(d0_at, std::string::npos);
    double x = std::strtod(arg.c_str() + x_at + 5, nullptr);
    EXPECT_GE(x, 1.0) << "a turn number";
    EXPECT_DOUBLE_EQ(std::strtod(arg.c_str() + d0_at + 5, nullptr), x) << "x is d0";
    std::string finish = section(out.text, "finish");
    size_t value_at = finish.find("Value returned is $");
    ASSERT_NE(value_at, std::string::npos) << finish;
    EXPECT_DOUBLE_EQ(std::strtod(finish.c_str() + finish.find("= ", value_at) + 2, nullptr), x / 2 + 0.25) << finish;
}

INSTANTIATE_TEST_SUITE_P(Cores, GdbHardFloat,
                         ::testing::Values(hard_float_core{"m4", HARD_FLOAT_ELF}, hard_float_core{"m7", M7_SAMPLE_ELF},
                                           hard_float_core{"m33", HARD_FLOAT_ELF}),
                         [](const ::testing::TestParamInfo<hard_float_core> &info) {
                             return std::string(info.param.key);
                         });

INSTANTIATE_TEST_SUITE_P(Cores, GdbCores, ::testing::Values("m0", "m3", "m4", "m7", "m33"),
                         [](const ::testing::TestParamInfo<const char *> &info) { return std::string(info.param); });

} // namespace
