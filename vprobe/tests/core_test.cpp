// The emulated core against small instruction sequences (core_cases.s),
// driven through the probe model as a debugger drives it, one turn of the
// executor at a time. Addresses come from the cases' ELF.
#include <cstring>
#include <string>

#include "core_fixture.h"

using namespace armv7m;
using namespace vprobe;
using tarvex_test::elf_next_instruction;

namespace
{

uint32_t symbol(const char *name)
{
    return vprobe_test::elf_address(CORE_CASES_ELF, name);
}

class Core : public vprobe_test::CoreFixture
{
protected:
    void load_cases() { load_image(CORE_CASES_ELF); }
};

// The erased word at the reset vector faults; the HardFault its vector
// leads to is the same word, so the core locks up there with one frame
// stacked below the initial stack and nothing else written.
TEST_F(Core, BlankChipLocksUpAtOnceAndLeavesMemoryAlone)
{
    std::vector<uint8_t> ram_before(v_.ram, v_.ram + v_.rec->cfg.ram_size);
    std::vector<uint8_t> flash_before(v_.flash, v_.flash + v_.rec->cfg.flash_size);
    turns();
    EXPECT_TRUE(read_word(DHCSR) & S_LOCKUP);
    EXPECT_EQ(reg(REGSEL_PC), 0x100u) << "stopped on the erased word the reset vector points at";
    EXPECT_TRUE(read_word(CFSR) & CFSR_UNDEFINSTR);
    EXPECT_TRUE(read_word(HFSR) & HFSR_FORCED);
    EXPECT_EQ(reg(REGSEL_XPSR) & 0x1FF, 3u) << "in HardFault";
    const uint32_t frame_size = 0x20;
    uint32_t top = v_.rec->cfg.ram_size;
    EXPECT_EQ(read_word(v_.rec->cfg.ram_base + top - frame_size + 24), 0x100u) << "the stacked PC";
    EXPECT_TRUE(std::memcmp(ram_before.data(), v_.ram, top - frame_size) == 0);
    EXPECT_TRUE(std::memcmp(flash_before.data(), v_.flash, flash_before.size()) == 0);
    write_word(DHCSR, DHCSR_HALT);
    EXPECT_TRUE(read_word(DHCSR) & S_HALT) << "a locked-up core still halts";
}

TEST_F(Core, ResetCatchHaltThenStepThenRunThenHalt)
{
    load_cases();
    write_word(DHCSR, DHCSR_RUN);
    write_word(DEMCR, DEMCR_VC_CORERESET);
    write_word(AIRCR, AIRCR_VECTKEY | AIRCR_SYSRESETREQ);
    turns();
    uint32_t reset = symbol("reset_handler");
    ASSERT_TRUE(read_word(DHCSR) & S_HALT);
    EXPECT_EQ(reg(REGSEL_PC), reset);
    EXPECT_EQ(reg(REGSEL_SP), symbol("_stack_top"));

    write_word(DHCSR, DHCSR_STEP);
    EXPECT_FALSE(read_word(DHCSR) & S_HALT) << "the step is the executor's to do";
    turns(1);
    EXPECT_TRUE(read_word(DHCSR) & S_HALT);
    EXPECT_EQ(reg(REGSEL_PC), elf_next_instruction(CORE_CASES_ELF, reset)) << "exactly one instruction";
    EXPECT_TRUE(read_word(DFSR) & DFSR_HALTED);

    run_until_stopped();
    uint32_t counted = reg(0);
    EXPECT_GT(counted, 0u) << "the loop counts in r0 while running";
    write_word(DHCSR, DHCSR_HALT);
    uint32_t at_halt = reg(0);
    turns();
    EXPECT_EQ(reg(0), at_halt) << "a halted core does not move";
    uint32_t pc = reg(REGSEL_PC);
    EXPECT_TRUE(pc == symbol("count_loop") || pc == elf_next_instruction(CORE_CASES_ELF, symbol("count_loop")));
}

TEST_F(Core, FirmwareResetRequestRestartsFromTheVectorTable)
{
    load_cases();
    enter(symbol("case_sysreset"));
    set_reg(5, 0);
    write_word(DEMCR, DEMCR_VC_CORERESET);
    run_until_stopped();
    EXPECT_TRUE(read_word(DHCSR) & S_HALT);
    EXPECT_EQ(reg(REGSEL_PC), symbol("reset_handler"));
    EXPECT_EQ(reg(5), 0u) << "registers are the reset's, no instruction after the store ran";
}

TEST_F(Core, BkptHaltsOnTheInstruction)
{
    load_cases();
    enter(symbol("case_bkpt"));
    run_until_stopped();
    EXPECT_TRUE(read_word(DHCSR) & S_HALT);
    EXPECT_EQ(reg(REGSEL_PC), symbol("bkpt_at"));
    EXPECT_EQ(reg(1), 0x11u) << "the instructions before it ran, none after";
    EXPECT_EQ(read_word(DFSR) & 0xF, DFSR_BKPT);

    enter(symbol("case_bkpt"));
    write_word(DHCSR, DHCSR_DEBUG_OFF); // the core resumes
    turns();
    EXPECT_TRUE(read_word(HFSR) & HFSR_DEBUGEVT) << "without halting debug a breakpoint escalates to HardFault";
    EXPECT_TRUE(read_word(DHCSR) & S_LOCKUP) << "whose handler here locks up";
    EXPECT_EQ(reg(REGSEL_PC), symbol("case_unexpected"));
}

// Semihosting relies on it: BKPT 0xAB is a breakpoint like any other, with
// the PC on the instruction even when the next one is a BKPT too.
TEST_F(Core, SemihostingBkptHaltsOnEachInstructionInTurn)
{
    load_cases();
    enter(symbol("case_semihost"));
    for (const char *at : {"semihost_first", "semihost_second"}) {
        run_until_stopped();
        ASSERT_TRUE(read_word(DHCSR) & S_HALT) << at;
        EXPECT_EQ(reg(REGSEL_PC), symbol(at));
        EXPECT_EQ(read_word(DFSR) & DFSR_ALL, DFSR_BKPT) << at;
        EXPECT_EQ(reg(0), 0x18u) << "R0 as the firmware left it";
        EXPECT_EQ(read_word(reg(REGSEL_PC) & ~3u) >> (reg(REGSEL_PC) & 2 ? 16 : 0) & 0xFFFF, 0xBEABu);
        write_word(DFSR, DFSR_ALL);
        set_reg(REGSEL_PC, reg(REGSEL_PC) + 2); // as a debugger resumes a semihosting call
    }
    run_until_stopped();
    write_word(DHCSR, DHCSR_HALT);
    turns(1);
    EXPECT_EQ(reg(1), 0x55u) << "the code after both calls ran";
}

// Revision 1 comparators, as Cortex-M4 silicon has them: a word of the
// Code region, REPLACE choosing the halfwords that break (01 the lower, 10
// the upper, 11 both: the first one met); a remap (00) or a disabled one
// does not stop the core.
TEST_F(Core, FpbComparatorsHaltBeforeTheInstructionTheyName)
{
    load_cases();
    uint32_t target = symbol("fpb_target"), word = target & ~3u;
    struct fpb_case {
        uint32_t replace, enable;
        bool halts;
        uint32_t at;
    };
    const fpb_case cases[] = {
        {1, 1, true, word}, {2, 1, true, word + 2}, {3, 1, true, word}, {0, 1, false, 0}, {3, 0, false, 0},
    };
    write_word(FP_CTRL, FP_CTRL_KEY | FP_CTRL_ENABLE);
    for (const fpb_case &c : cases) {
        enter(symbol("case_fpb"));
        set_reg(2, 0);
        write_word(FP_COMP0 + 4, word | c.replace << 30 | c.enable);
        run_until_stopped();
        if (c.halts) {
            EXPECT_TRUE(read_word(DHCSR) & S_HALT) << c.replace;
            EXPECT_EQ(reg(REGSEL_PC), c.at) << c.replace;
            EXPECT_EQ(reg(2), 0u) << c.replace << ": fpb_target did not run";
            EXPECT_EQ(read_word(DFSR) & 0xF, DFSR_BKPT) << c.replace;
        } else {
            write_word(DHCSR, DHCSR_HALT);
            EXPECT_EQ(reg(2), 0x33u) << c.replace << ": ran past it";
        }
        write_word(FP_COMP0 + 4, 0);
    }
    EXPECT_EQ(read_word(FP_CTRL) >> 28, 0u) << "revision 1: the Code region only";
    EXPECT_EQ(read_word(FP_CTRL) >> 4 & 0xF, 6u);
}

// A turn runs exactly its budget: the instruction counter, the registers
// and the PC agree on where the core stopped, and the next turn goes on
// from there. The loop is two instructions: adds r0, #1; b count_loop.
TEST_F(Core, ATurnRunsExactlyItsBudget)
{
    load_cases();
    uint32_t loop = symbol("count_loop");
    const core_debug &d = v_.rec->st.core;
    for (uint32_t budget : {1u, 2u, 7u, 4000u}) {
        enter(loop);
        set_reg(0, 0);
        write_word(DHCSR, DHCSR_RUN);
        uint64_t before = d.instructions;
        emu_core_turn(core_, budget, scs_now_us());
        EXPECT_EQ(d.instructions - before, budget) << budget;
        write_word(DHCSR, DHCSR_HALT);
        EXPECT_EQ(reg(0), (budget + 1) / 2) << budget;
        EXPECT_EQ(reg(REGSEL_PC), budget % 2 ? loop + 2 : loop) << budget;
    }
}

TEST_F(Core, DwtWatchpointHaltsAfterTheStore)
{
    load_cases();
    uint32_t watched = symbol("watched");
    enter(symbol("case_store"));
    write_word(DEMCR, DEMCR_TRCENA);
    write_word(DWT_COMP0, watched);
    write_word(DWT_MASK0, 0);                   // MASK: the word itself
    write_word(DWT_FUNCTION0, DWT_WATCH_WRITE); // FUNCTION: halt on a write
    run_until_stopped();
    EXPECT_TRUE(read_word(DHCSR) & S_HALT);
    EXPECT_EQ(read_word(watched), 0x5Au) << "the store happened";
    EXPECT_EQ(reg(REGSEL_PC), symbol("after_store")) << "and retired";
    EXPECT_EQ(read_word(DFSR) & 0xF, DFSR_DWTTRAP);
    EXPECT_TRUE(read_word(DWT_FUNCTION0) & DWT_FUNCTION_MATCHED);
    EXPECT_FALSE(read_word(DWT_FUNCTION0) & DWT_FUNCTION_MATCHED) << "MATCHED clears when read";
}

TEST_F(Core, ItmWritesReachTheTraceOnlyWhenEnabled)
{
    load_cases();
    uint8_t start[CMD_SIZE] = {CMD_DEBUG, 0x40, 0x00, 0x10, 0x40, 0x42, 0x0F, 0x00}; // 4 KiB, 1 MHz
    probe_bulk_out(v_, start, CMD_SIZE, 0);
    probe_reply_discard(v_);
    struct itm_case {
        uint32_t demcr, tcr, ter;
        std::vector<uint8_t> trace;
    };
    const itm_case cases[] = {
        {0, 0, 0, {}},
        {DEMCR_TRCENA, 1, 0, {}},          // port 0 not enabled
        {DEMCR_TRCENA, 0, 1, {}},          // ITM off
        {DEMCR_TRCENA, 1, 1, {0x01, 'A'}}, // port 0, one byte
    };
    for (const itm_case &c : cases) {
        enter(symbol("case_itm"));
        write_word(DEMCR, c.demcr);
        write_word(ITM_TCR, c.tcr);
        write_word(ITM_TER, c.ter);
        run_until_stopped();
        ASSERT_TRUE(read_word(DHCSR) & S_HALT);
        std::vector<uint8_t> got(64);
        got.resize(probe_trace_take(v_, got.data(), 64, 0));
        EXPECT_EQ(got, c.trace) << "TCR " << c.tcr << " TER " << c.ter;
    }
}

// The cases' HardFault handler is an undefined instruction: a fault locks
// the core up there (or, with the vector catch, halts it on the handler's
// first instruction), the faulting instruction's address in the frame.
TEST_F(Core, FaultsStopTheCoreWhereTheDebuggerSeesThem)
{
    load_cases();
    struct fault_case {
        const char *entry, *at;
        uint32_t demcr;
        uint32_t cfsr_bit;
        uint32_t dhcsr_bit;
    };
    const fault_case cases[] = {
        {"case_bus_fault", "load_at", 0, CFSR_PRECISERR, S_LOCKUP},
        {"case_undefined", "undefined_at", 0, CFSR_UNDEFINSTR, S_LOCKUP},
        {"case_undefined", "undefined_at", DEMCR_VC_HARDERR, CFSR_UNDEFINSTR, S_HALT},
    };
    for (const fault_case &c : cases) {
        enter(symbol(c.entry));
        write_word(AIRCR, AIRCR_VECTKEY | 2); // VECTCLRACTIVE: out of the last case's HardFault
        set_reg(REGSEL_XPSR, XPSR_THUMB);
        set_reg(REGSEL_MSP, 0x20008000);
        write_word(CFSR, 0xFFFFFFFF);
        write_word(DEMCR, c.demcr);
        run_until_stopped();
        EXPECT_TRUE(read_word(DHCSR) & c.dhcsr_bit) << c.entry;
        EXPECT_EQ(reg(REGSEL_PC), symbol("case_unexpected")) << c.entry;
        EXPECT_EQ(read_word(0x20008000 - 0x20 + 24), symbol(c.at)) << c.entry;
        EXPECT_TRUE(read_word(CFSR) & c.cfsr_bit) << c.entry;
    }
    EXPECT_EQ(read_word(DFSR) & DFSR_VCATCH, DFSR_VCATCH);
    EXPECT_EQ(read_word(BFAR), 0x60000000u) << "from the bus fault";
}

TEST_F(Core, WfiSleepsUntilSomethingWakesIt)
{
    load_cases();
    enter(symbol("case_wfi"));
    write_word(DHCSR, DHCSR_RUN);
    core_turn t = emu_core_turn(core_, CORE_HZ / 1000, scs_now_us());
    EXPECT_EQ(t.kind, TURN_RAN);
    EXPECT_TRUE(read_word(DHCSR) & S_SLEEP);
    t = emu_core_turn(core_, CORE_HZ / 1000, scs_now_us());
    EXPECT_EQ(t.kind, TURN_SLEEP);
    EXPECT_EQ(t.wake_us, UINT64_MAX) << "no SysTick: only the debugger wakes it";
    write_word(DHCSR, DHCSR_HALT);
    EXPECT_TRUE(read_word(DHCSR) & S_HALT);
    EXPECT_EQ(emu_core_turn(core_, CORE_HZ / 1000, scs_now_us()).kind, TURN_IDLE);
}

} // namespace
