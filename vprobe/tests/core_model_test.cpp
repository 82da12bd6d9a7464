// The core models of the emulated target (core=m0|m3|m4|m4f|m7|m33): each
// one's ID registers, breakpoint and watchpoint units and FPU as the probe
// reads them, and code on each core where their architectures differ.
// Expected values are the cores' own, written out here.
#include <cmath>
#include <cstring>
#include <string>

#include "core_exceptions.h"
#include "core_fixture.h"

using namespace armv7m;
using namespace vprobe;

namespace
{

constexpr uint8_t SEL_FPSCR = REGSEL_FPSCR;
constexpr uint8_t SEL_S0 = REGSEL_S0;

uint32_t symbol(const char *name)
{
    return vprobe_test::elf_address(MODEL_CASES_ELF, name);
}

struct model_row {
    const char *key;
    uint32_t cpuid, fp_ctrl, dwt_ctrl;
    uint32_t mvfr0, mvfr1, mvfr2;
    uint32_t fpb_comparators, dwt_comparators; // FP_COMPn and DWT_COMPn that keep a value
};

const model_row MODELS[] = {
    {"m4", 0x410FC241, 0x00000260, 0x40000000, 0x10110021, 0x11000011, 0x00000000, 8, 4},
    {"m4f", 0x410FC241, 0x00000260, 0x40000000, 0x10110021, 0x11000011, 0x00000000, 8, 4},
    {"m0", 0x410CC601, 0x00000040, 0x20000000, 0, 0, 0, 4, 2},
    {"m3", 0x412FC231, 0x00000260, 0x40000000, 0, 0, 0, 8, 4},
    {"m7", 0x411FC272, 0x10000080, 0x40000000, 0x10110221, 0x12000011, 0x00000040, 8, 4},
    {"m33", 0x410FD213, 0x10000080, 0x40000000, 0x10110021, 0x11000011, 0x00000040, 8, 4},
};

std::string row_name(const ::testing::TestParamInfo<model_row> &info)
{
    return info.param.key;
}

class Model : public vprobe_test::CoreFixture, public ::testing::WithParamInterface<model_row>
{
protected:
    void SetUp() override
    {
        int kind = core_kind_named(GetParam().key);
        ASSERT_GE(kind, 0) << GetParam().key;
        core_kind_ = static_cast<uint8_t>(kind);
        CoreFixture::SetUp();
        load_image(MODEL_CASES_ELF);
    }
    bool has_fpu() const { return GetParam().mvfr0 != 0; }
    bool v8m() { return (read_word(CPUID) & 0xFFF0) == 0xD210; }
    // The probe's register commands: the status byte alone.
    uint8_t reg_status(uint8_t cmd, uint8_t sel)
    {
        uint8_t block[CMD_SIZE] = {CMD_DEBUG, cmd, sel};
        probe_bulk_out(v_, block, CMD_SIZE, 0);
        uint8_t reply[8] = {};
        probe_reply_take(v_, reply, 8);
        return reply[0];
    }
    bool halted() { return (read_word(DHCSR) & S_HALT) != 0; }
};

TEST_P(Model, IdentityAndUnitsReadAsTheCoreHasThem)
{
    const model_row &m = GetParam();
    for (uint32_t id : {CPUID, MVFR0, MVFR1, MVFR2, DWT_DEVARCH})
        write_word(id, 0xFFFFFFFF); // read-only
    EXPECT_EQ(read_word(CPUID), m.cpuid);
    EXPECT_EQ(read_word(DWT_DEVARCH), v8m() ? DEVARCH_DWT_V8M : 0u) << "the Armv8-M DWT names itself";
    EXPECT_EQ(read_word(FP_CTRL), m.fp_ctrl);
    EXPECT_EQ(read_word(DWT_CTRL), m.dwt_ctrl);
    EXPECT_EQ(read_word(MVFR0), m.mvfr0);
    EXPECT_EQ(read_word(MVFR1), m.mvfr1);
    EXPECT_EQ(read_word(MVFR2), m.mvfr2);
    EXPECT_EQ(read_word(FPCCR), has_fpu() ? 0xC0000000u : 0u) << "ASPEN and LSPEN from reset";
    write_word(CPACR, 0x00F00000);
    EXPECT_EQ(read_word(CPACR), has_fpu() ? 0x00F00000u : 0u);
    for (uint32_t i = 0; i < 8; i++) {
        write_word(FP_COMP0 + 4 * i, 0x100 + 8 * i + 1);
        EXPECT_EQ(read_word(FP_COMP0 + 4 * i), i < m.fpb_comparators ? 0x100 + 8 * i + 1 : 0u) << "FP_COMP" << i;
    }
    for (uint32_t i = 0; i < 4; i++) {
        write_word(DWT_COMP0 + DWT_STRIDE * i, 0x20000100 + 4 * i);
        write_word(DWT_MASK0 + DWT_STRIDE * i, 2);
        bool there = i < m.dwt_comparators;
        EXPECT_EQ(read_word(DWT_COMP0 + DWT_STRIDE * i), there ? 0x20000100 + 4 * i : 0u) << "DWT_COMP" << i;
        EXPECT_EQ(read_word(DWT_MASK0 + DWT_STRIDE * i), there && !v8m() ? 2u : 0u) << "DWT_MASK" << i;
    }
}

TEST_P(Model, AComparatorInTheCoresEncodingHaltsBeforeTheInstruction)
{
    enter(symbol("case_break"));
    break_at(symbol("break_target"));
    run_until_stopped();
    ASSERT_TRUE(halted());
    EXPECT_EQ(reg(REGSEL_PC), symbol("break_target"));
    EXPECT_EQ(reg(2), 0u);
    EXPECT_EQ(reg(3), 3u);
    EXPECT_TRUE(read_word(DFSR) & DFSR_BKPT);
}

// On a revision-2 unit the first revision's encoding of the same address
// names another one: the core runs past.
TEST_P(Model, TheOtherRevisionsEncodingDoesNotBreakThere)
{
    enter(symbol("case_break"));
    write_word(FP_CTRL, FP_CTRL_KEY | FP_CTRL_ENABLE);
    uint32_t addr = symbol("break_target");
    // Revision 1 reads the second one's value as REPLACE 00, a remap.
    write_word(FP_COMP0, (revision2() ? rev1_comparator(addr) : addr) | FP_COMP_ENABLE);
    run_until_stopped();
    EXPECT_FALSE(halted() && reg(REGSEL_PC) == addr);
    write_word(DHCSR, DHCSR_HALT);
    turns(1);
    EXPECT_EQ(reg(2), 0x33u) << "the instruction ran";
}

struct watch_row {
    const char *key;
    uint32_t offset, mask, function;       // comparator 0
    uint32_t limit_offset, limit_function; // comparator 1 (0: unused)
    const char *stop;                      // the label after the store that hits; null: none does
};

// The first revision's FUNCTION values (5 read, 6 write, 7 either, with
// DWT_MASKn) on Armv6-M and Armv7-M; on Armv8-M MATCH (0101 write, 0100
// any, 0111 the limit of a range) with ACTION 01 and DATAVSIZE.
const watch_row WATCHES[] = {
    {"m0", 6, 0, 6, 0, 0, "after_second"},
    {"m0", 16, 2, 7, 0, 0, "after_third"},
    {"m4", 6, 0, 6, 0, 0, "after_second"},
    {"m4", 0, 0, 5, 0, 0, nullptr},
    {"m7", 16, 3, 6, 0, 0, "after_third"},
    {"m33", 6, 0, 0x5 | 0x10 | 1u << 10, 0, 0, "after_second"},
    {"m33", 8, 0, 0x4 | 0x10, 31, 0x7 | 0x10, "after_third"},
    {"m33", 6, 0, 6, 0, 0, nullptr},                     // MATCH 0110 is a read, ACTION 00 no debug event
    {"m33", 0, 0, 0x6 | 0x10 | 2u << 10, 0, 0, nullptr}, // reads only
};

class Watch : public vprobe_test::CoreFixture, public ::testing::WithParamInterface<watch_row>
{
protected:
    void SetUp() override
    {
        core_kind_ = static_cast<uint8_t>(core_kind_named(GetParam().key));
        CoreFixture::SetUp();
        load_image(MODEL_CASES_ELF);
    }
};

TEST_P(Watch, AStoreTheComparatorsNameHaltsAfterIt)
{
    const watch_row &w = GetParam();
    uint32_t watched = symbol("watched");
    enter(symbol("case_stores"));
    write_word(DEMCR, DEMCR_TRCENA);
    write_word(DWT_COMP0, watched + w.offset);
    write_word(DWT_MASK0, w.mask);
    if (w.limit_function) {
        write_word(DWT_COMP0 + DWT_STRIDE, watched + w.limit_offset);
        write_word(DWT_FUNCTION0 + DWT_STRIDE, w.limit_function);
    }
    write_word(DWT_FUNCTION0, w.function);
    run_until_stopped();
    if (!w.stop) {
        EXPECT_FALSE(read_word(DHCSR) & S_HALT);
        EXPECT_FALSE(read_word(DWT_FUNCTION0) & DWT_FUNCTION_MATCHED);
        return;
    }
    ASSERT_TRUE(read_word(DHCSR) & S_HALT);
    EXPECT_EQ(reg(REGSEL_PC), symbol(w.stop));
    EXPECT_TRUE(read_word(DFSR) & DFSR_DWTTRAP);
    EXPECT_TRUE(read_word(DWT_FUNCTION0) & DWT_FUNCTION_MATCHED);
}

// Armv6-M faults on an unaligned access, before it loads, and every fault
// is a HardFault, without fault status to read; the others load the word.
TEST_P(Model, AnUnalignedLoadHardFaultsOnArmv6mOnly)
{
    bool v6m = std::string(GetParam().key) == "m0";
    enter(symbol("case_unaligned"));
    write_word(DEMCR, DEMCR_VC_HARDERR);
    run_until_stopped();
    if (!v6m) {
        write_word(DHCSR, DHCSR_HALT);
        turns(1);
        EXPECT_EQ(reg(2), 0x88112233u) << "the bytes at the odd address";
        return;
    }
    ASSERT_TRUE(halted());
    EXPECT_TRUE(read_word(DFSR) & DFSR_VCATCH);
    EXPECT_EQ(reg(REGSEL_XPSR) & 0x1FF, 3u) << "in HardFault";
    uint32_t frame = reg(REGSEL_MSP);
    EXPECT_EQ(read_word(frame + 24), symbol("unaligned_at")) << "the stacked PC";
    EXPECT_EQ(read_word(frame + 8), 0x77u) << "the stacked r2: nothing loaded";
    EXPECT_EQ(read_word(CFSR), 0u);
    EXPECT_EQ(read_word(HFSR), 0u);
}

struct system_row {
    const char *key;
    uint32_t ccr, shpr1, shpr3, ipr0, special;
};

// What each register keeps of an all-ones write (CCR of a zero one):
// Armv6-M's CCR is fixed, it has no SHPR1, no DebugMonitor, BASEPRI or
// FAULTMASK, and two priority bits.
const system_row SYSTEM[] = {
    {"m0", 0x00000208, 0, 0xC0C00000, 0xC0C0C0C0, 0x03000001},
    {"m3", 0, 0x00F0F0F0, 0xF0F000F0, 0xF0F0F0F0, 0x0301F001},
    {"m4", 0, 0x00F0F0F0, 0xF0F000F0, 0xF0F0F0F0, 0x0701F001},
    {"m33", 0, 0x00F0F0F0, 0xF0F000F0, 0xF0F0F0F0, 0x0701F001},
};

class System : public vprobe_test::CoreFixture, public ::testing::WithParamInterface<system_row>
{
protected:
    void SetUp() override
    {
        core_kind_ = static_cast<uint8_t>(core_kind_named(GetParam().key));
        CoreFixture::SetUp();
    }
};

TEST_P(System, RegistersKeepWhatTheArchitectureHas)
{
    const system_row &r = GetParam();
    write_word(DHCSR, DHCSR_HALT);
    turns(1);
    write_word(CCR, 0);
    EXPECT_EQ(read_word(CCR), r.ccr);
    write_word(SHPR1, 0xFFFFFFFF);
    EXPECT_EQ(read_word(SHPR1), r.shpr1);
    write_word(SHPR3, 0xFFFFFFFF);
    EXPECT_EQ(read_word(SHPR3), r.shpr3);
    write_word(NVIC_IPR, 0xFFFFFFFF);
    EXPECT_EQ(read_word(NVIC_IPR), r.ipr0);
    set_reg(REGSEL_SPECIAL, 0xFFFFFFFF);
    EXPECT_EQ(reg(REGSEL_SPECIAL), r.special);
}

class Fp : public Model
{
};

// S1 from the debugger reaches the code, S3 the code computed reaches the
// debugger, through the probe's commands and through DCRSR/DCRDR alike.
TEST_P(Fp, SelectorsReachTheFpuOrAreRefused)
{
    enter(symbol("case_fp_single"));
    if (!has_fpu()) {
        EXPECT_EQ(reg_status(0x34, SEL_S0 + 1), STATUS_CMD_ERROR);
        EXPECT_EQ(reg_status(0x33, SEL_FPSCR), STATUS_CMD_ERROR);
        write_word(DCRDR, 0x1234);
        write_word(DCRSR, SEL_S0 + 1);
        EXPECT_EQ(read_word(DCRDR), 0u);
        // Armv7-M: NOCP, escalated; Armv6-M has no such encoding at all (and
        // no fault status to tell it).
        bool v6m = std::string(GetParam().key) == "m0";
        write_word(DEMCR, DEMCR_VC_HARDERR);
        run_until_stopped();
        ASSERT_TRUE(halted());
        EXPECT_EQ(reg(REGSEL_XPSR) & 0x1FF, 3u) << "in HardFault";
        EXPECT_EQ(read_word(CFSR), v6m ? 0u : CFSR_NOCP);
        // On Armv6-M already the MOV.W before it (Thumb-2) is undefined.
        uint32_t at = v6m ? symbol("case_fp_single") + 2 : symbol("fp_single_first");
        EXPECT_EQ(read_word(reg(REGSEL_MSP) + 24), at) << "the stacked PC";
        return;
    }
    set_reg(SEL_S0 + 1, 0x3FC00000); // 1.5f
    // A context of the debugger's (FPCA set): not a fresh one from FPDSCR.
    set_reg(REGSEL_SPECIAL, 0x04000000);
    write_word(DCRDR, 0x00C00000); // FPSCR: round towards zero
    write_word(DCRSR, DCRSR_REGWNR | SEL_FPSCR);
    run_until_stopped();
    ASSERT_TRUE(halted());
    EXPECT_EQ(reg(REGSEL_PC), symbol("fp_single_done"));
    EXPECT_EQ(reg(6), 0x3FC00000u);
    EXPECT_EQ(reg(7), 0x40400000u);
    EXPECT_EQ(reg(SEL_S0 + 3), 0x40400000u) << "3.0f";
    write_word(DCRSR, SEL_S0 + 3);
    EXPECT_EQ(read_word(DCRDR), 0x40400000u);
    EXPECT_EQ(reg(SEL_FPSCR) & 0x00C00000, 0x00C00000u);
}

INSTANTIATE_TEST_SUITE_P(Cores, Fp, ::testing::ValuesIn(MODELS), row_name);
INSTANTIATE_TEST_SUITE_P(Cores, System, ::testing::ValuesIn(SYSTEM),
                         [](const ::testing::TestParamInfo<system_row> &info) { return std::string(info.param.key); });

// One core model with the cases loaded, for what only that core runs.
template <uint8_t kind> class OnCore : public vprobe_test::CoreFixture
{
protected:
    void SetUp() override
    {
        core_kind_ = kind;
        CoreFixture::SetUp();
        load_image(MODEL_CASES_ELF);
    }
};
using M7 = OnCore<CORE_M7>;
using M33 = OnCore<CORE_M33>;

// Double-precision code runs on the M7 as on its FPU: the values, the
// comparison's flags through VMRS, an IT block's condition, and CONTROL.FPCA
// set by the first floating-point instruction.
TEST_F(M7, DoublePrecisionCodeRunsThere)
{
    enter(symbol("case_fp_dp"));
    set_reg(SEL_S0 + 0, 0);
    set_reg(SEL_S0 + 1, 0x40080000); // d0 = 3.0
    set_reg(REGSEL_SPECIAL, 0);
    run_until_stopped();
    ASSERT_TRUE(read_word(DHCSR) & S_HALT);
    ASSERT_EQ(reg(REGSEL_PC), symbol("fp_dp_done")) << "xPSR " << std::hex << reg(REGSEL_XPSR);
    double sum = std::sqrt(10.0) + 10.0;
    uint64_t want;
    std::memcpy(&want, &sum, sizeof want);
    EXPECT_EQ(reg(SEL_S0 + 6), static_cast<uint32_t>(want)) << "d3: the IT block's first, not its second";
    EXPECT_EQ(reg(SEL_S0 + 7), static_cast<uint32_t>(want >> 32));
    EXPECT_EQ(reg(SEL_S0 + 8), 13u) << "s8: the integer part";
    EXPECT_EQ(reg(REGSEL_XPSR) >> 28, 0x2u) << "NZCV: greater, from VCMP through VMRS";
    EXPECT_EQ(reg(REGSEL_XPSR) & 0x0600FC00u, 0u) << "the IT block ended";
    EXPECT_EQ(reg(SEL_FPSCR) >> 28, 0x2u);
    EXPECT_TRUE(reg(REGSEL_SPECIAL) & (CONTROL_FPCA << 24)) << "FPCA";
}

// D2 is S4 (low word) and S5 (high word); D3 comes back as S6 and S7.
TEST_F(M7, DoublewordRegistersArePairsOfSingles)
{
    enter(symbol("case_fp_double"));
    set_reg(SEL_S0 + 4, 0x11111111);
    set_reg(SEL_S0 + 5, 0x22222222);
    run_until_stopped();
    ASSERT_TRUE(read_word(DHCSR) & S_HALT);
    EXPECT_EQ(reg(REGSEL_PC), symbol("fp_double_done"));
    EXPECT_EQ(reg(0), 0x11111111u);
    EXPECT_EQ(reg(1), 0x22222222u);
    EXPECT_EQ(reg(SEL_S0 + 6), 0x22222222u);
    EXPECT_EQ(reg(SEL_S0 + 7), 0x11111111u);
}

// 64-bit transfers of D registers on each FPU, single precision too:
// VLDR, VSTR, VPUSH and VPOP move the pairs of S registers.
class FpTransfers : public Model
{
};

TEST_P(FpTransfers, DoublewordTransfersMoveBothHalves)
{
    enter(symbol("case_fp_transfers"));
    set_reg(0, 0x20001000);
    set_reg(REGSEL_MSP, 0x20008000);
    write_word(0x20001000, 0x11111111);
    write_word(0x20001004, 0x22222222);
    set_reg(SEL_S0 + 16, 0x33333333);
    set_reg(SEL_S0 + 17, 0x44444444);
    run_until_stopped();
    ASSERT_TRUE(halted());
    EXPECT_EQ(reg(REGSEL_PC), symbol("fp_transfers_done")) << "xpsr " << std::hex << reg(REGSEL_XPSR);
    EXPECT_EQ(read_word(0x20001008), 0x11111111u);
    EXPECT_EQ(read_word(0x2000100C), 0x22222222u);
    EXPECT_EQ(reg(SEL_S0 + 16), 0x33333333u) << "d8 back from the stack";
    EXPECT_EQ(reg(SEL_S0 + 17), 0x44444444u);
    EXPECT_EQ(read_word(0x20008000 - 8), 0x33333333u) << "pushed";
}

// MSPLIM and PSPLIM: Armv8-M Mainline's alone, bits 2:0 zero; the other
// cores refuse the selectors.
TEST_P(Model, StackLimitSelectorsAreArmv8mOnly)
{
    enter(symbol("case_break"));
    for (uint8_t sel : {uint8_t{REGSEL_MSPLIM}, uint8_t{REGSEL_PSPLIM}}) {
        if (!v8m()) {
            EXPECT_EQ(reg_status(0x33, sel), STATUS_CMD_ERROR) << int{sel};
            continue;
        }
        set_reg(sel, 0x20001237);
        EXPECT_EQ(reg(sel), 0x20001230u) << int{sel};
        write_word(DCRDR, 0x20000FFF);
        write_word(DCRSR, DCRSR_REGWNR | sel);
        write_word(DCRSR, sel);
        EXPECT_EQ(read_word(DCRDR), 0x20000FF8u) << int{sel};
    }
}

// The firmware's MSR and MRS of the limits and the debugger's selectors
// see the same registers: what the code set reads from the debugger, what
// the debugger set reads in the code; unprivileged code reads 0 and its
// write does not land; a reset clears them.
TEST_F(M33, StackLimitsAreTheSameForCodeAndDebugger)
{
    enter(symbol("case_stack_limits"));
    set_reg(0, 0x20001007);
    set_reg(1, 0x20000800);
    run_until_stopped();
    ASSERT_TRUE(read_word(DHCSR) & S_HALT);
    EXPECT_EQ(reg(REGSEL_PC), symbol("stack_limits_done"));
    EXPECT_EQ(reg(REGSEL_MSPLIM), 0x20001000u) << "bits 2:0 read as zero";
    EXPECT_EQ(reg(REGSEL_PSPLIM), 0x20000800u);
    EXPECT_EQ(reg(2), 0x20001000u);
    EXPECT_EQ(reg(3), 0x20000800u);
    EXPECT_EQ(reg(5), 0u) << "read unprivileged";

    enter(symbol("case_stack_limits") + 8); // from the first MRS
    set_reg(REGSEL_SPECIAL, 0);
    set_reg(REGSEL_MSPLIM, 0x20003000);
    set_reg(REGSEL_PSPLIM, 0x20002000);
    run_until_stopped();
    EXPECT_EQ(reg(REGSEL_PC), symbol("stack_limits_done"));
    EXPECT_EQ(reg(2), 0x20003000u);
    EXPECT_EQ(reg(3), 0x20002000u);
    EXPECT_EQ(reg(REGSEL_MSPLIM), 0x20003000u) << "the unprivileged write did not land";

    probe_core_reset(v_);
    EXPECT_EQ(reg(REGSEL_MSPLIM), 0u);
    EXPECT_EQ(reg(REGSEL_PSPLIM), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cores, Model, ::testing::ValuesIn(MODELS), row_name);
INSTANTIATE_TEST_SUITE_P(Cores, FpTransfers, ::testing::Values(MODELS[0], MODELS[4], MODELS[5]), row_name);
INSTANTIATE_TEST_SUITE_P(Cores, Watch, ::testing::ValuesIn(WATCHES));

} // namespace
