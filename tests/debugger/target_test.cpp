// The target layer's logic against an in-memory core: which accesses a
// memory range becomes, which comparator a breakpoint takes, how packed
// registers are read and written, and why a halted core stopped. A failure
// at the link must come back as a negative result, never as data.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "armv7m_debug.h"
#include "debug_units.h"
#include "fake_link.h"
#include "readonly_cache.h"
#include "target.h"
#include "tarvex_text.h"

namespace
{

using namespace tarvex_target;
using tarvex_test::fake_link;

std::vector<uint8_t> pattern(size_t len)
{
    std::vector<uint8_t> data(len);
    for (size_t i = 0; i < len; i++)
        data[i] = static_cast<uint8_t>(i * 7 + 1);
    return data;
}

struct range_case {
    uint32_t addr;
    uint32_t len;
    const char *reads; // the accesses a read of the range makes
};

TEST(TargetMemory, WidestAccessesTheRangeAllowsWithBytesOnlyAtItsEnds)
{
    const range_case cases[] = {
        {0x20000000, 16, "r4@20000000*4"},
        {0x20000001, 3, "r1@20000001*3"},
        {0x20000001, 2, "r1@20000001*2"},
        {0x20000003, 1, "r1@20000003*1"},
        {0x20000000, 3, "r1@20000000*3"},
        {0x20000002, 8, "r1@20000002*2 r4@20000004*1 r1@20000008*2"},
        {0x20000001, 11, "r1@20000001*3 r4@20000004*2"},
        {0x20000004, 0, ""},
        // More than one request carries: 64 KiB of words per read.
        {0x20000004, 0x20004, "r4@20000004*16384 r4@20010004*16384 r4@20020004*1"},
    };
    for (const range_case &c : cases) {
        fake_link l;
        std::vector<uint8_t> data = pattern(c.len);
        l.ram.assign(l.ram.size(), 0);
        ASSERT_EQ(memory_write(l, c.addr, data.data(), c.len), TARGET_OK) << std::hex << c.addr;
        std::vector<uint8_t> back;
        ASSERT_EQ(memory_read(l, c.addr, c.len, &back), TARGET_OK) << std::hex << c.addr;
        EXPECT_EQ(l.accesses('r'), c.reads) << std::hex << c.addr << " " << c.len;
        EXPECT_EQ(back, data) << std::hex << c.addr;
        std::string writes = c.reads;
        for (size_t at = 0; (at = writes.find('r', at)) != std::string::npos;)
            writes[at] = 'w';
        if (c.len <= tarvex::WRITE_MEM_PIECE) {
            EXPECT_EQ(l.accesses('w'), writes) << "a write splits as a read within one request";
        }
    }
}

TEST(TargetMemory, WritesTakeAtMostOneServerBufferPerRequest)
{
    fake_link l;
    std::vector<uint8_t> data = pattern(31 * 1024 + 8);
    ASSERT_EQ(memory_write(l, 0x20000001, data.data(), static_cast<uint32_t>(data.size())), TARGET_OK);
    EXPECT_EQ(l.accesses('w'), "w1@20000001*3 w4@20000004*7936 w4@20007c04*1 w1@20007c08*1");
}

struct failure_case {
    uint32_t fail_addr;
    int result;
    const char *reads; // up to the one that failed, none after it
};

TEST(TargetMemory, AFailedPieceEndsTheTransferWithItsResultAndNoData)
{
    const failure_case cases[] = {
        {0x20000001, TARGET_FAILED, "r1@20000001*3"},
        {0x20000010, TARGET_LOST, "r1@20000001*3 r4@20000004*4"},
        {0x20000014, TARGET_FAILED, "r1@20000001*3 r4@20000004*4 r1@20000014*2"},
    };
    for (const failure_case &c : cases) {
        fake_link l;
        l.failing = true;
        l.fail_addr = c.fail_addr;
        l.fail_result = c.result;
        std::vector<uint8_t> data = {1, 2, 3};
        EXPECT_EQ(memory_read(l, 0x20000001, 21, &data), c.result) << std::hex << c.fail_addr;
        EXPECT_TRUE(data.empty()) << "no data for a failed read";
        EXPECT_EQ(l.accesses('r'), c.reads);
        std::vector<uint8_t> out = pattern(21);
        EXPECT_EQ(memory_write(l, 0x20000001, out.data(), 21), c.result) << std::hex << c.fail_addr;
    }
    fake_link l;
    std::vector<uint8_t> data;
    EXPECT_EQ(memory_read(l, 0x1FFFFFFE, 4, &data), TARGET_FAILED) << "outside the fake's RAM";
    EXPECT_TRUE(data.empty());
}

// ---- the cache of read-only memory ----------------------------------------------

struct cache_case {
    uint32_t addr;
    uint32_t len;
    const char *reads; // what the read asks of the link, after the ones before it
};

// One cache through a sequence of reads: each asks the link only for the
// lines it does not hold yet, or for everything when it is not inside the
// range; every answer is the memory's bytes.
TEST(ReadonlyCache, WholeLinesOnceAndOnlyInsideTheRange)
{
    const uint32_t base = fake_link::ram_base;
    const cache_case cases[] = {
        {base + 0x104, 4, "r4@20000100*64"},
        {base + 0x104, 4, ""},
        {base + 0x1fe, 2, ""},
        {base + 0x1fe, 4, "r4@20000200*64"},
        {base + 0x0f0, 0x220, "r4@20000000*64 r4@20000300*64"},
        {base + 0x000, 0x400, ""},
        {base + 0x7fc, 8, "r4@200007fc*2"},       // outside the range: straight through, every time
        {base + 0x7fc, 8, "r4@200007fc*2"},       // (the range is [base, base + 0x800))
        {base + 0x700, 0x200, "r4@20000700*128"}, // reaching past it as well
    };
    fake_link l;
    l.ram = pattern(l.ram.size());
    readonly_cache c;
    cache_set_range(c, base, 0x800);
    for (const cache_case &k : cases) {
        l.log.clear();
        std::vector<uint8_t> data;
        ASSERT_EQ(cached_read(l, c, k.addr, k.len, &data), TARGET_OK) << std::hex << k.addr;
        EXPECT_EQ(l.accesses('r'), k.reads) << std::hex << k.addr << " " << k.len;
        std::vector<uint8_t> expected(l.ram.begin() + (k.addr - base), l.ram.begin() + (k.addr - base + k.len));
        EXPECT_EQ(data, expected) << std::hex << k.addr;
    }
    // Once forgotten, contents changed behind it are read again.
    l.ram[0x104] ^= 0xFF;
    cache_forget(c);
    std::vector<uint8_t> data;
    ASSERT_EQ(cached_read(l, c, base + 0x104, 1, &data), TARGET_OK);
    EXPECT_EQ(data, std::vector<uint8_t>{l.ram[0x104]});
}

TEST(ReadonlyCache, AFailedFetchGivesNoDataAndKeepsNothing)
{
    fake_link l;
    readonly_cache c;
    cache_set_range(c, fake_link::ram_base, 0x1000);
    l.failing = true;
    l.fail_addr = fake_link::ram_base + 0x180;
    std::vector<uint8_t> data = {1};
    EXPECT_EQ(cached_read(l, c, fake_link::ram_base + 0x100, 8, &data), TARGET_FAILED);
    EXPECT_TRUE(data.empty());
    l.failing = false;
    l.log.clear();
    ASSERT_EQ(cached_read(l, c, fake_link::ram_base + 0x100, 8, &data), TARGET_OK);
    EXPECT_EQ(l.accesses('r'), "r4@20000100*64") << "the failed line was not kept";
}

// ---- registers ------------------------------------------------------------------

TEST(TargetRegisters, PackedSystemRegistersAreFieldsOfOneSelector)
{
    fake_link l;
    for (unsigned n = 0; n <= armv7m::REGSEL_PSP; n++)
        l.core[n] = 0x1000 + n;
    l.core[armv7m::REGSEL_SPECIAL] = 0x02FF8001; // CONTROL 2, FAULTMASK ff, BASEPRI 80, PRIMASK 1
    // The Armv7-M set: up to control, without the stack limits.
    const size_t count = core_register_index("msplim");
    uint32_t values[CORE_REGISTER_COUNT];
    ASSERT_EQ(registers_read(l, CORE_REGISTERS, count, values), TARGET_OK);
    EXPECT_EQ(l.log, std::vector<std::string>{"set20"}) << "one register-set read, each selector once";
    const struct {
        const char *name;
        uint32_t value;
    } expected[] = {
        {"r0", 0x1000},  {"r12", 0x100c},   {"sp", 0x100d},    {"pc", 0x100f},      {"xpsr", 0x1010},  {"msp", 0x1011},
        {"psp", 0x1012}, {"primask", 0x01}, {"basepri", 0x80}, {"faultmask", 0xff}, {"control", 0x02},
    };
    for (const auto &e : expected) {
        size_t i = core_register_index(e.name);
        ASSERT_LT(i, CORE_REGISTER_COUNT) << e.name;
        EXPECT_EQ(values[i], e.value) << e.name;
    }
    EXPECT_EQ(core_register_index("nosuch"), CORE_REGISTER_COUNT);

    l.log.clear();
    ASSERT_EQ(register_write(l, CORE_REGISTERS[core_register_index("basepri")], 0x20), TARGET_OK);
    EXPECT_EQ(l.core[armv7m::REGSEL_SPECIAL], 0x02FF2001u) << "the other fields kept";
    ASSERT_EQ(register_write(l, CORE_REGISTERS[core_register_index("r7")], 0xdeadbeef), TARGET_OK);
    EXPECT_EQ(l.core[7], 0xdeadbeefu);
    EXPECT_EQ(l.log, (std::vector<std::string>{"cr20", "cw20=2ff2001", "cw7=deadbeef"}));

    // All of them, as a G packet writes them: the four fields of selector
    // 20 cover it whole, so it is written once without a read.
    for (size_t i = 0; i < count; i++)
        values[i] = static_cast<uint32_t>(i);
    l.log.clear();
    ASSERT_EQ(registers_write(l, CORE_REGISTERS, count, values), TARGET_OK);
    EXPECT_EQ(l.log.size(), 20u) << "one write per selector";
    EXPECT_EQ(l.log.back(), "cw20=16151413");
    EXPECT_EQ(l.core[armv7m::REGSEL_PSP], 18u);
}

TEST(TargetRegisters, AFailedReadGivesNoValues)
{
    fake_link l;
    l.failing = true;
    l.fail_addr = 0xC0DE0000 + armv7m::REGSEL_SPECIAL;
    uint32_t values[CORE_REGISTER_COUNT] = {};
    values[0] = 0x5a5a;
    EXPECT_EQ(registers_read(l, CORE_REGISTERS, CORE_REGISTER_COUNT, values), TARGET_FAILED);
    EXPECT_EQ(register_write(l, CORE_REGISTERS[core_register_index("primask")], 1), TARGET_FAILED);
    EXPECT_EQ(l.log.back(), "cr20") << "no write after the failed read of a packed field";
}

// ---- run control and stop reasons ---------------------------------------------------

TEST(TargetRunControl, RunStateAndStopCauseDecoding)
{
    using namespace armv7m;
    const struct {
        uint32_t dhcsr;
        run_state state;
    } states[] = {
        {0, STATE_RUNNING},
        {S_HALT, STATE_HALTED},
        {S_HALT | S_LOCKUP, STATE_HALTED},
        {S_LOCKUP, STATE_LOCKUP},
        {S_RESET_ST, STATE_RESET},
        {S_RESET_ST | S_LOCKUP, STATE_LOCKUP},
        {S_SLEEP, STATE_RUNNING},
        {S_HALT | S_RESET_ST, STATE_HALTED},
    };
    for (const auto &c : states)
        EXPECT_EQ(decode_run_state(c.dhcsr), c.state) << std::hex << c.dhcsr;

    stop_context none, stepping, interrupted, locked;
    stepping.stepping = true;
    interrupted.interrupted = true;
    locked.locked_up = true;
    const struct {
        const char *what;
        uint32_t dfsr;
        const stop_context &ctx;
        bool watch_hit;
        stop_cause cause;
    } stops[] = {
        {"halted by another client", DFSR_HALTED, none, false, STOP_INTERRUPT},
        {"a breakpoint", DFSR_BKPT, none, false, STOP_TRAP},
        {"a reset vector catch", DFSR_VCATCH, none, false, STOP_TRAP},
        {"a DWT trap the comparators do not own", DFSR_DWTTRAP, none, false, STOP_TRAP},
        {"a step", DFSR_HALTED, stepping, false, STOP_TRAP},
        {"a step whose DFSR could not be read", 0, stepping, false, STOP_TRAP},
        {"the debugger's interrupt beats a breakpoint", DFSR_BKPT, interrupted, false, STOP_INTERRUPT},
        {"a watchpoint", DFSR_DWTTRAP, none, true, STOP_WATCH},
        {"a lockup", DFSR_BKPT, locked, true, STOP_LOCKUP},
    };
    for (const auto &c : stops)
        EXPECT_EQ(decode_stop(c.dfsr, c.ctx, c.watch_hit), c.cause) << c.what;
}

TEST(TargetRunControl, HaltStepRunAndResetWithAndWithoutHalt)
{
    using namespace armv7m;
    fake_link l;
    run_state state = STATE_RUNNING;
    ASSERT_EQ(halt(l), TARGET_OK);
    ASSERT_EQ(run_state_read(l, &state), TARGET_OK);
    EXPECT_EQ(state, STATE_HALTED);

    l.log.clear();
    ASSERT_EQ(step(l), TARGET_OK);
    EXPECT_EQ(l.log[0], "dw@e000edf0=a05f000b") << "interrupts masked while halted";
    EXPECT_EQ(l.log[1], "dw@e000edf0=a05f000d") << "then the step";
    EXPECT_TRUE(l.halted);

    ASSERT_EQ(resume(l, false), TARGET_OK);
    EXPECT_FALSE(l.halted);
    EXPECT_EQ(l.log.back(), "dw@e000edf0=a05f0001") << "runs with interrupts unmasked";

    l.debug[DEMCR] = DEMCR_TRCENA;
    ASSERT_EQ(reset(l, true), TARGET_OK);
    EXPECT_TRUE(l.halted) << "caught at the reset vector";
    EXPECT_EQ(l.core[REGSEL_PC], 0x100u);
    EXPECT_EQ(l.debug[DEMCR], DEMCR_TRCENA) << "the catch taken off again, TRCENA kept";
    ASSERT_EQ(reset(l, false), TARGET_OK);
    EXPECT_FALSE(l.halted);
    EXPECT_EQ(l.debug[DEMCR], DEMCR_TRCENA);

    l.failing = true;
    l.fail_addr = AIRCR;
    EXPECT_EQ(reset(l, true), TARGET_FAILED);
    EXPECT_EQ(l.debug[DEMCR], DEMCR_TRCENA) << "the catch taken off after a failed reset too";
    l.fail_addr = DHCSR;
    l.fail_result = TARGET_LOST;
    EXPECT_EQ(halt(l), TARGET_LOST);
    EXPECT_EQ(run_state_read(l, &state), TARGET_LOST);
}

// ---- breakpoints and watchpoints ----------------------------------------------------

TEST(DebugUnits, ComparatorValues)
{
    struct fpb_case {
        bool rev2;
        uint32_t addr;
        uint8_t halves;
        uint32_t value;
    };
    const fpb_case fpb[] = {
        {false, 0x00000200, 1, 0x40000201},                                    // lower halfword: REPLACE 01
        {false, 0x00000200, 2, 0x80000201},                                    // upper halfword: REPLACE 10
        {false, 0x00000200, 3, 0xC0000201},                                    // both
        {false, 0x1FFFFFFC, 1, 0x5FFFFFFD}, {true, 0x20000102, 1, 0x20000103}, // BPADDR and BE
    };
    for (const fpb_case &c : fpb) {
        fpb_slot slot{true, c.addr, c.halves};
        EXPECT_EQ(fpb_comparator_value(c.rev2, slot), c.value) << std::hex << c.addr;
    }
    struct dwt_case {
        uint32_t addr, len;
        const char *blocks; // base/mask bits of each comparator
    };
    const dwt_case dwt[] = {
        {0x20000010, 4, "20000010/2"},
        {0x20000011, 1, "20000011/0"},
        {0x20000010, 0, "20000010/0"},
        {0x20000000, 64, "20000000/6"},
        {0x2000000f, 2, "2000000f/0 20000010/0"}, // a short across a word: two bytes, not 32
        {0x20000012, 4, "20000012/1 20000014/1"},
        {0x20000001, 7, "20000001/0 20000002/1 20000004/2"},
        {0xFFFFFFFE, 2, "fffffffe/1"},
    };
    for (const dwt_case &c : dwt) {
        std::string text;
        for (const dwt_range &r : dwt_blocks(c.addr, c.len)) {
            char one[24];
            snprintf(one, sizeof(one), "%s%x/%u", text.empty() ? "" : " ", r.base, r.mask_bits);
            text += one;
        }
        EXPECT_EQ(text, c.blocks) << std::hex << c.addr << " " << c.len;
    }
}

uint32_t fp_comp(fake_link &l, uint32_t n)
{
    return l.debug[armv7m::FP_COMP0 + 4 * n];
}

TEST(DebugUnits, Revision1SharesAComparatorBetweenTheHalvesOfAWord)
{
    fake_link l;
    debug_units u;
    ASSERT_EQ(units_discover(l, u), TARGET_OK);
    ASSERT_EQ(u.fpb.size(), 6u);
    ASSERT_EQ(u.dwt.size(), 4u);
    EXPECT_FALSE(u.fpb_rev2);
    ASSERT_EQ(breakpoint_insert(l, u, 0x100, true), TARGET_OK);
    ASSERT_EQ(breakpoint_insert(l, u, 0x102, true), TARGET_OK);
    EXPECT_EQ(fp_comp(l, 0), 0xC0000101u) << "both halfwords on comparator 0";
    ASSERT_EQ(breakpoint_insert(l, u, 0x200, true), TARGET_OK);
    EXPECT_EQ(fp_comp(l, 1), 0x40000201u);
    EXPECT_EQ(breakpoint_insert(l, u, 0x20000100, true), TARGET_UNSUITABLE) << "revision 1 reaches code only";
    ASSERT_EQ(breakpoint_remove(l, u, 0x100, true), TARGET_OK);
    EXPECT_EQ(fp_comp(l, 0), 0x80000101u) << "the upper halfword stays";
    ASSERT_EQ(breakpoint_remove(l, u, 0x102, true), TARGET_OK);
    EXPECT_EQ(fp_comp(l, 0), 0u);
    for (uint32_t a = 0x300; a < 0x300 + 5 * 4; a += 4)
        ASSERT_EQ(breakpoint_insert(l, u, a, true), TARGET_OK) << std::hex << a;
    EXPECT_EQ(breakpoint_insert(l, u, 0x400, true), TARGET_EXHAUSTED);
    EXPECT_EQ(breakpoint_insert(l, u, 0x302, true), TARGET_OK) << "the other half of a used word needs no slot";
}

TEST(DebugUnits, Revision2TakesOneComparatorPerHalfwordAnywhere)
{
    fake_link l;
    l.debug[armv7m::FP_CTRL] = 1u << armv7m::FP_CTRL_REV_SHIFT | 2 << 4;
    debug_units u;
    ASSERT_EQ(units_discover(l, u), TARGET_OK);
    EXPECT_TRUE(u.fpb_rev2);
    ASSERT_EQ(breakpoint_insert(l, u, 0x20000100, true), TARGET_OK);
    ASSERT_EQ(breakpoint_insert(l, u, 0x20000102, true), TARGET_OK);
    EXPECT_EQ(fp_comp(l, 0), 0x20000101u);
    EXPECT_EQ(fp_comp(l, 1), 0x20000103u);
    EXPECT_EQ(breakpoint_insert(l, u, 0x104, true), TARGET_EXHAUSTED);
}

TEST(DebugUnits, AFailedComparatorWriteLeavesTheSlotFree)
{
    fake_link l;
    debug_units u;
    ASSERT_EQ(units_discover(l, u), TARGET_OK);
    l.failing = true;
    l.fail_addr = armv7m::FP_COMP0;
    EXPECT_EQ(breakpoint_insert(l, u, 0x100, true), TARGET_FAILED);
    EXPECT_FALSE(u.fpb[0].used);
    l.fail_addr = armv7m::DWT_COMP0;
    EXPECT_EQ(watchpoint_insert(l, u, WATCH_WRITE, 0x20000010, 4), TARGET_FAILED);
    EXPECT_FALSE(u.dwt[0].used);
}

TEST(DebugUnits, SoftBreakpointsInRamAreHiddenFromReadsAndSurviveWrites)
{
    fake_link l;
    debug_units u;
    u.ram_base = fake_link::ram_base;
    u.ram_size = 0x1000;
    ASSERT_EQ(units_discover(l, u), TARGET_OK);
    l.ram[0x100] = 0x11;
    l.ram[0x101] = 0x22;
    ASSERT_EQ(breakpoint_insert(l, u, 0x20000100, false), TARGET_OK);
    EXPECT_EQ(l.ram[0x100], 0x00);
    EXPECT_EQ(l.ram[0x101], 0xBE) << "a BKPT in RAM";
    std::vector<uint8_t> seen;
    ASSERT_EQ(memory_read(l, 0x200000FF, 4, &seen), TARGET_OK);
    units_unpatch(u, 0x200000FF, &seen);
    EXPECT_EQ(seen[1], 0x11);
    EXPECT_EQ(seen[2], 0x22);
    const uint8_t replaced[2] = {0x33, 0x44};
    ASSERT_EQ(memory_write(l, 0x20000100, replaced, 2), TARGET_OK);
    ASSERT_EQ(units_repatch(l, u, 0x20000100, replaced, 2), TARGET_OK);
    EXPECT_EQ(l.ram[0x101], 0xBE) << "the BKPT back after a write over it";
    EXPECT_EQ(breakpoint_insert(l, u, 0x20001000, false), TARGET_UNSUITABLE)
        << "past the RAM a comparator is needed, and revision 1 reaches only code";
    ASSERT_EQ(units_clear(l, u), TARGET_OK);
    EXPECT_EQ(l.ram[0x100], 0x33);
    EXPECT_EQ(l.ram[0x101], 0x44) << "what was written last is what comes back";
}

TEST(DebugUnits, AWatchpointHitNamesItsComparatorAndClearsDfsr)
{
    using namespace armv7m;
    fake_link l;
    debug_units u;
    ASSERT_EQ(units_discover(l, u), TARGET_OK);
    ASSERT_EQ(watchpoint_insert(l, u, WATCH_READ, 0x20000010, 4), TARGET_OK);
    ASSERT_EQ(watchpoint_insert(l, u, WATCH_WRITE, 0x20000020, 2), TARGET_OK);
    EXPECT_EQ(l.debug[DWT_FUNCTION0 + DWT_STRIDE], DWT_WATCH_WRITE);
    EXPECT_EQ(l.debug[DWT_MASK0 + DWT_STRIDE], 1u);
    l.debug[DWT_FUNCTION0 + DWT_STRIDE] |= DWT_FUNCTION_MATCHED;
    l.debug[DFSR] = DFSR_DWTTRAP;
    stop_cause cause = STOP_INTERRUPT;
    const dwt_slot *hit = nullptr;
    ASSERT_EQ(stop_read(l, u, stop_context(), &cause, &hit), TARGET_OK);
    EXPECT_EQ(cause, STOP_WATCH);
    ASSERT_NE(hit, nullptr);
    EXPECT_EQ(hit->addr, 0x20000020u);
    EXPECT_EQ(hit->kind, WATCH_WRITE);
    EXPECT_EQ(watchpoint_insert(l, u, WATCH_ACCESS, 0x20000031, 4), TARGET_EXHAUSTED)
        << "three comparators needed, two left: refused rather than widened";
    EXPECT_FALSE(u.dwt[2].used || u.dwt[3].used) << "nothing half set";
    ASSERT_EQ(watchpoint_insert(l, u, WATCH_ACCESS, 0x2000003f, 2), TARGET_OK);
    EXPECT_EQ(l.debug[DWT_COMP0 + 3 * DWT_STRIDE], 0x20000040u);
    EXPECT_EQ(watchpoint_insert(l, u, WATCH_ACCESS, 0x20000050, 4), TARGET_EXHAUSTED);
    ASSERT_EQ(watchpoint_remove(l, u, WATCH_ACCESS, 0x2000003f, 2), TARGET_OK);
    EXPECT_FALSE(u.dwt[2].used || u.dwt[3].used) << "both comparators of the watchpoint freed";

    l.failing = true;
    l.fail_addr = DFSR;
    EXPECT_EQ(stop_read(l, u, stop_context(), &cause, &hit), TARGET_FAILED);
    EXPECT_EQ(cause, STOP_INTERRUPT) << "a stop is still reported, from nothing read";
}

} // namespace
