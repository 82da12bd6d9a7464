// The target layer adapting to the core behind the link, against the
// in-memory fake: what each core's ID and feature registers decode to, the
// breakpoint comparators of each revision, the watchpoint comparators of
// each DWT encoding, and when the FP registers are offered.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "armv7m_debug.h"
#include "core_identity.h"
#include "debug_units.h"
#include "fake_link.h"
#include "target.h"

namespace
{

using namespace tarvex_target;
using tarvex_test::fake_link;

constexpr uint32_t CPUID = 0xE000ED00;
constexpr uint32_t CPACR = 0xE000ED88;
constexpr uint32_t MVFR0 = 0xE000EF40;
constexpr uint32_t DWT_DEVARCH = 0xE0001FBC;
constexpr uint32_t CPACR_CP10_CP11_FULL = 0xFu << 20;

// What the ID and feature registers of each core read.
struct core_regs {
    const char *name;
    uint32_t cpuid, fp_ctrl, dwt_ctrl, mvfr0;
};

const core_regs M0PLUS = {"m0+", 0x410CC601, 4 << 4, 2u << 28, 0};
const core_regs M3 = {"m3", 0x412FC231, 2 << 8 | 6 << 4, 4u << 28, 0};
const core_regs M4F = {"m4f", 0x410FC241, 2 << 8 | 6 << 4, 4u << 28, 0x10110021};
const core_regs M7 = {"m7", 0x411FC272, 1u << 28 | 8 << 4, 4u << 28, 0x10110221};
const core_regs M33 = {"m33", 0x410FD213, 1u << 28 | 8 << 4, 4u << 28, 0x10110021};
const core_regs M23 = {"m23", 0x410CD200, 1u << 28 | 4 << 4, 2u << 28, 0};

void load(fake_link &l, const core_regs &c, uint32_t cpacr)
{
    l.debug[CPUID] = c.cpuid;
    l.debug[armv7m::FP_CTRL] = c.fp_ctrl;
    l.debug[armv7m::DWT_CTRL] = c.dwt_ctrl;
    l.debug[MVFR0] = c.mvfr0;
    l.debug[CPACR] = cpacr;
}

bool logged(const fake_link &l, const std::string &entry)
{
    return std::find(l.log.begin(), l.log.end(), entry) != l.log.end();
}

// ---- identity -----------------------------------------------------------------

TEST(CoreIdentity, EachCoresRegistersDecodeToWhatItIs)
{
    struct identity_case {
        core_regs regs;
        uint32_t cpacr;
        core_arch arch;
        fpu_kind fpu;
        bool fp_enabled;
        uint8_t fpb_revision, fpb_code, fpb_literal, dwt_count;
        dwt_encoding dwt;
    };
    const identity_case cases[] = {
        {M0PLUS, 0, ARCH_V6M, FPU_NONE, false, 1, 4, 0, 2, DWT_MASKED},
        {M0PLUS, CPACR_CP10_CP11_FULL, ARCH_V6M, FPU_NONE, false, 1, 4, 0, 2, DWT_MASKED},
        {M3, CPACR_CP10_CP11_FULL, ARCH_V7M, FPU_NONE, false, 1, 6, 2, 4, DWT_MASKED},
        {M4F, 0, ARCH_V7M, FPU_SINGLE, false, 1, 6, 2, 4, DWT_MASKED},
        {M4F, CPACR_CP10_CP11_FULL, ARCH_V7M, FPU_SINGLE, true, 1, 6, 2, 4, DWT_MASKED},
        {M4F, 0x5u << 20, ARCH_V7M, FPU_SINGLE, true, 1, 6, 2, 4, DWT_MASKED},  // privileged access only
        {M4F, 0x3u << 20, ARCH_V7M, FPU_SINGLE, false, 1, 6, 2, 4, DWT_MASKED}, // CP10 without CP11
        {M7, CPACR_CP10_CP11_FULL, ARCH_V7M, FPU_DOUBLE, true, 2, 8, 0, 4, DWT_MASKED},
        {M33, CPACR_CP10_CP11_FULL, ARCH_V8M_MAINLINE, FPU_SINGLE, true, 2, 8, 0, 4, DWT_V8M},
        {M23, 0, ARCH_V8M_BASELINE, FPU_NONE, false, 2, 4, 0, 2, DWT_V8M},
    };
    for (const identity_case &c : cases) {
        fake_link l;
        load(l, c.regs, c.cpacr);
        core_identity id;
        ASSERT_EQ(identify(l, &id), TARGET_OK) << c.regs.name;
        EXPECT_EQ(id.cpuid, c.regs.cpuid) << c.regs.name;
        EXPECT_EQ(id.arch, c.arch) << c.regs.name;
        EXPECT_EQ(id.fpu, c.fpu) << c.regs.name;
        EXPECT_EQ(id.fp_enabled, c.fp_enabled) << c.regs.name << " cpacr " << std::hex << c.cpacr;
        EXPECT_EQ(id.fpb_revision, c.fpb_revision) << c.regs.name;
        EXPECT_EQ(id.fpb_code, c.fpb_code) << c.regs.name;
        EXPECT_EQ(id.fpb_literal, c.fpb_literal) << c.regs.name;
        EXPECT_EQ(id.dwt_count, c.dwt_count) << c.regs.name;
        EXPECT_EQ(id.dwt, c.dwt) << c.regs.name;
        EXPECT_NE(l.debug[armv7m::DEMCR] & armv7m::DEMCR_TRCENA, 0u) << "the DWT answers only with TRCENA";
        bool baseline = c.arch == ARCH_V6M || c.arch == ARCH_V8M_BASELINE;
        EXPECT_EQ(logged(l, "dr@e000ef40"), !baseline) << c.regs.name << ": no FPU registers read without an FPU";
        EXPECT_FALSE(logged(l, "dr@e0001fbc")) << c.regs.name << ": a known part needs no DEVARCH";
    }
}

// A part the table does not name: the CPUID architecture field says
// baseline or mainline, the DWT's DEVARCH whether it is an Armv8-M one.
TEST(CoreIdentity, AnUnknownPartIsToldByItsArchitectureFieldAndItsDwt)
{
    struct unknown_case {
        uint32_t cpuid, devarch;
        core_arch arch;
        dwt_encoding dwt;
    };
    const unknown_case cases[] = {
        {0x00000000, 0, ARCH_V7M, DWT_MASKED},
        {0x510CC200, 0, ARCH_V6M, DWT_MASKED},                // another implementer's baseline core
        {0x410FC290, 0, ARCH_V7M, DWT_MASKED},                // an Arm part not in the table
        {0x410FD990, 0x47701A02, ARCH_V8M_MAINLINE, DWT_V8M}, // DEVARCH: an Armv8-M DWT
        {0x410FD990, 0x47711A02, ARCH_V8M_MAINLINE, DWT_V8M}, // ... of another revision
        {0x510CD000, 0x47701A02, ARCH_V8M_BASELINE, DWT_V8M}, // baseline with an Armv8-M DWT
        {0x410FD990, 0x47701A03, ARCH_V7M, DWT_MASKED},       // another CoreSight unit's ARCHID
        {0x0000C240, 0, ARCH_V7M, DWT_MASKED},                // Arm's part number without Arm as implementer
    };
    for (const unknown_case &c : cases) {
        fake_link l;
        load(l, M4F, 0);
        l.debug[CPUID] = c.cpuid;
        l.debug[DWT_DEVARCH] = c.devarch;
        core_identity id;
        ASSERT_EQ(identify(l, &id), TARGET_OK);
        EXPECT_EQ(id.arch, c.arch) << std::hex << c.cpuid << " " << c.devarch;
        EXPECT_EQ(id.dwt, c.dwt) << std::hex << c.cpuid << " " << c.devarch;
        EXPECT_TRUE(logged(l, "dr@e0001fbc")) << std::hex << c.cpuid;
    }
}

TEST(CoreIdentity, TheWidestMaskIsWhatTheFirstComparatorKeepsAndItsMaskComesBack)
{
    // A comparator that keeps four bits of its mask, as an Armv6-M one may.
    struct narrow_link : fake_link {
        int write_debug(uint32_t addr, uint32_t value) override
        {
            return fake_link::write_debug(addr, addr == armv7m::DWT_MASK0 ? value & 0xF : value);
        }
    } l;
    load(l, M0PLUS, 0);
    l.debug[armv7m::DWT_MASK0] = 3;
    core_identity id;
    ASSERT_EQ(identify(l, &id), TARGET_OK);
    EXPECT_EQ(id.dwt_mask_max, 15u);
    EXPECT_EQ(l.debug[armv7m::DWT_MASK0], 3u);
    std::vector<dwt_setting> s = dwt_settings(id, WATCH_WRITE, 0x20000000, 0x20000);
    ASSERT_EQ(s.size(), 4u) << "128 KiB in 32 KiB blocks";
    EXPECT_EQ(s[3].comp, 0x20018000u);
    EXPECT_EQ(s[3].mask, 15u);
}

TEST(CoreIdentity, AFailedReadIsAFailureNotAnIdentity)
{
    for (uint32_t addr : {CPUID, armv7m::FP_CTRL, armv7m::DWT_CTRL, MVFR0, CPACR}) {
        fake_link l;
        load(l, M4F, CPACR_CP10_CP11_FULL);
        l.failing = true;
        l.fail_addr = addr;
        l.fail_result = TARGET_LOST;
        core_identity id;
        EXPECT_EQ(identify(l, &id), TARGET_LOST) << std::hex << addr;
        debug_units u;
        EXPECT_EQ(units_discover(l, u), TARGET_LOST) << std::hex << addr;
        EXPECT_TRUE(u.fpb.empty() && u.dwt.empty()) << "no units from a core not identified";
    }
}

TEST(CoreIdentity, AFaultWhereTheFpuWouldBeIsNoFpu)
{
    for (uint32_t addr : {MVFR0, CPACR}) {
        fake_link l;
        load(l, M4F, CPACR_CP10_CP11_FULL);
        l.failing = true;
        l.fail_addr = addr;
        core_identity id;
        ASSERT_EQ(identify(l, &id), TARGET_OK) << std::hex << addr;
        EXPECT_EQ(id.fpu, FPU_NONE) << std::hex << addr;
        EXPECT_FALSE(fp_registers_present(id)) << std::hex << addr;
        EXPECT_EQ(id.dwt_count, 4u) << "the rest identified";
    }
}

// ---- breakpoints per revision --------------------------------------------------

TEST(CoreBreakpoints, EachRevisionTakesWhatItReachesUpToTheComparatorsItHas)
{
    struct bkpt_case {
        core_regs regs;
        uint32_t addr;
        int result;
        uint32_t fp_comp0; // what comparator 0 holds after the insertion
    };
    const bkpt_case cases[] = {
        {M0PLUS, 0x000000C0, TARGET_OK, 0x400000C1}, // revision 1: the word and REPLACE 01
        {M0PLUS, 0x000000C2, TARGET_OK, 0x800000C1}, // REPLACE 10: the upper halfword
        {M0PLUS, 0x1FFFFFFE, TARGET_OK, 0x9FFFFFFD}, // the last halfword of the Code region
        {M0PLUS, 0x20000000, TARGET_UNSUITABLE, 0},  // past the Code region
        {M4F, 0x08000104, TARGET_OK, 0x48000105},
        {M7, 0x20000102, TARGET_OK, 0x20000103}, // revision 2: BPADDR and BE, anywhere
        {M7, 0x000000C2, TARGET_OK, 0x000000C3},
        {M33, 0xFFFFFFFE, TARGET_OK, 0xFFFFFFFF},
    };
    for (const bkpt_case &c : cases) {
        fake_link l;
        load(l, c.regs, 0);
        debug_units u;
        ASSERT_EQ(units_discover(l, u), TARGET_OK);
        EXPECT_EQ(breakpoint_insert(l, u, c.addr, true), c.result) << c.regs.name << std::hex << " " << c.addr;
        EXPECT_EQ(l.debug[armv7m::FP_COMP0], c.fp_comp0) << c.regs.name << std::hex << " " << c.addr;
    }
}

TEST(CoreBreakpoints, NoMoreBreakpointsThanTheCoreHasComparators)
{
    for (const core_regs &regs : {M0PLUS, M4F, M7}) {
        fake_link l;
        load(l, regs, 0);
        debug_units u;
        ASSERT_EQ(units_discover(l, u), TARGET_OK);
        uint32_t count = ((regs.fp_ctrl >> 4) & 0xF);
        for (uint32_t n = 0; n < count; n++)
            ASSERT_EQ(breakpoint_insert(l, u, 0x100 + 8 * n, true), TARGET_OK) << regs.name << " " << n;
        EXPECT_EQ(breakpoint_insert(l, u, 0x400, true), TARGET_EXHAUSTED) << regs.name;
        EXPECT_EQ(l.debug[armv7m::FP_COMP0 + 4 * count], 0u) << regs.name << ": no comparator past the last";
    }
}

// ---- watchpoints per DWT encoding ----------------------------------------------

std::string settings_text(const std::vector<dwt_setting> &settings)
{
    std::string text;
    for (const dwt_setting &s : settings) {
        char one[48];
        snprintf(one, sizeof(one), "%s%x/%u/%x", text.empty() ? "" : " ", s.comp, s.mask, s.function);
        text += one;
    }
    return text;
}

core_identity identity_of(const core_regs &regs)
{
    fake_link l;
    load(l, regs, 0);
    core_identity id;
    EXPECT_EQ(identify(l, &id), TARGET_OK);
    return id;
}

TEST(CoreWatchpoints, EachEncodingSetsItsComparators)
{
    struct watch_case {
        core_regs regs;
        uint8_t kind;
        uint32_t addr, len;
        const char *settings; // comp/mask/function of each comparator, in order
    };
    const watch_case cases[] = {
        // Masked blocks (Armv6-M, Armv7-M): FUNCTION 5 read, 6 write, 7 either.
        {M0PLUS, WATCH_WRITE, 0x20000010, 4, "20000010/2/6"},
        {M4F, WATCH_READ, 0x20000010, 4, "20000010/2/5"},
        {M4F, WATCH_ACCESS, 0x20000012, 4, "20000012/1/7 20000014/1/7"},
        {M7, WATCH_WRITE, 0x20000000, 64, "20000000/6/6"},
        // Armv8-M: MATCH 0101 write, 0110 read, 0100 either; ACTION 01;
        // DATAVSIZE the size of an aligned single.
        {M33, WATCH_WRITE, 0x20000011, 1, "20000011/0/15"},
        {M33, WATCH_READ, 0x20000012, 2, "20000012/0/416"},
        {M33, WATCH_ACCESS, 0x20000010, 4, "20000010/0/814"},
        {M33, WATCH_WRITE, 0x20000010, 0, "20000010/0/15"},
        // ... and a pair for anything else: the base in bytes, the
        // inclusive limit (MATCH 0111, ACTION 00) next.
        {M33, WATCH_WRITE, 0x20000012, 4, "20000012/0/15 20000015/0/7"},
        {M33, WATCH_READ, 0x20000000, 64, "20000000/0/16 2000003f/0/7"},
        {M33, WATCH_ACCESS, 0x20000001, 2, "20000001/0/14 20000002/0/7"},
        {M33, WATCH_WRITE, 0xFFFFFFF0, 16, "fffffff0/0/15 ffffffff/0/7"},
        {M33, WATCH_WRITE, 0xFFFFFFF0, 17, ""}, // past the top: nothing can watch it
    };
    for (const watch_case &c : cases)
        EXPECT_EQ(settings_text(dwt_settings(identity_of(c.regs), c.kind, c.addr, c.len)), c.settings)
            << c.regs.name << std::hex << " " << c.addr << " " << c.len;
}

uint32_t dwt_function(fake_link &l, uint32_t n)
{
    return l.debug[armv7m::DWT_FUNCTION0 + armv7m::DWT_STRIDE * n];
}

uint32_t dwt_comp(fake_link &l, uint32_t n)
{
    return l.debug[armv7m::DWT_COMP0 + armv7m::DWT_STRIDE * n];
}

TEST(CoreWatchpoints, Armv8RangesTakeAnEvenPairAndSinglesKeepPairsFree)
{
    fake_link l;
    load(l, M33, 0);
    debug_units u;
    ASSERT_EQ(units_discover(l, u), TARGET_OK);
    ASSERT_EQ(watchpoint_insert(l, u, WATCH_WRITE, 0x20000100, 4), TARGET_OK);
    ASSERT_EQ(watchpoint_insert(l, u, WATCH_READ, 0x20000200, 8), TARGET_OK);
    EXPECT_EQ(dwt_comp(l, 2), 0x20000200u) << "comparators 0 and 1 have a single in them: the range goes to 2 and 3";
    EXPECT_EQ(dwt_comp(l, 3), 0x20000207u);
    EXPECT_EQ(dwt_function(l, 3), 0x7u);
    ASSERT_EQ(watchpoint_insert(l, u, WATCH_ACCESS, 0x20000300, 2), TARGET_OK);
    EXPECT_EQ(dwt_comp(l, 1), 0x20000300u) << "beside the other single";
    EXPECT_EQ(watchpoint_insert(l, u, WATCH_ACCESS, 0x20000400, 1), TARGET_EXHAUSTED);
    EXPECT_EQ(watchpoint_insert(l, u, WATCH_WRITE, 0xFFFFFFFF, 2), TARGET_UNSUITABLE) << "no limit past the top";
    for (const std::string &entry : l.log)
        EXPECT_EQ(entry.rfind("dw@e0001024", 0), std::string::npos) << "no DWT_MASKn write on Armv8-M: " << entry;

    ASSERT_EQ(watchpoint_remove(l, u, WATCH_WRITE, 0x20000100, 4), TARGET_OK);
    EXPECT_EQ(watchpoint_insert(l, u, WATCH_WRITE, 0x20000500, 3), TARGET_EXHAUSTED)
        << "comparator 0 is free but 1 is not: no pair";
    ASSERT_EQ(watchpoint_remove(l, u, WATCH_READ, 0x20000200, 8), TARGET_OK);
    EXPECT_EQ(dwt_function(l, 2), 0u);
    EXPECT_EQ(dwt_function(l, 3), 0u) << "both comparators of the range off";
    EXPECT_FALSE(u.dwt[2].used || u.dwt[3].used);
}

// A range's pair reports its match in either comparator's MATCHED, a single
// in its own: each names its watchpoint, on both encodings.
TEST(CoreWatchpoints, AMatchedComparatorNamesItsWatchpointOnBothEncodings)
{
    struct hit_case {
        core_regs regs;
        uint32_t addr, len;
        uint32_t matched; // the comparator whose MATCHED is set
    };
    const hit_case cases[] = {
        {M33, 0x20000020, 4, 2}, {M33, 0x20000020, 6, 2}, {M33, 0x20000020, 6, 3},
        {M4F, 0x20000020, 4, 2}, {M4F, 0x20000020, 6, 3},
    };
    for (const hit_case &c : cases) {
        fake_link l;
        load(l, c.regs, 0);
        debug_units u;
        ASSERT_EQ(units_discover(l, u), TARGET_OK);
        ASSERT_EQ(watchpoint_insert(l, u, WATCH_WRITE, 0x20000010, 4), TARGET_OK);
        ASSERT_EQ(watchpoint_insert(l, u, WATCH_WRITE, 0x20000014, 4), TARGET_OK);
        ASSERT_EQ(watchpoint_insert(l, u, WATCH_WRITE, c.addr, c.len), TARGET_OK);
        l.debug[armv7m::DWT_FUNCTION0 + armv7m::DWT_STRIDE * c.matched] |= armv7m::DWT_FUNCTION_MATCHED;
        l.debug[armv7m::DFSR] = armv7m::DFSR_DWTTRAP;
        stop_cause cause = STOP_INTERRUPT;
        const dwt_slot *hit = nullptr;
        ASSERT_EQ(stop_read(l, u, stop_context(), &cause, &hit), TARGET_OK);
        EXPECT_EQ(cause, STOP_WATCH) << c.regs.name;
        ASSERT_NE(hit, nullptr) << c.regs.name;
        EXPECT_EQ(hit->addr, c.addr) << c.regs.name << " " << c.len << " " << c.matched;
        EXPECT_EQ(hit->len, c.len) << c.regs.name;
    }
}

// ---- the register set ---------------------------------------------------------

std::string names_of(const std::vector<core_register> &set)
{
    std::string text;
    for (const core_register &reg : set)
        text += (text.empty() ? "" : " ") + std::string(reg.name);
    return text;
}

TEST(CoreRegisters, TheSetFollowsTheArchitectureAndTheFpu)
{
    const std::string integer = "r0 r1 r2 r3 r4 r5 r6 r7 r8 r9 r10 r11 r12 sp lr pc xpsr msp psp";
    std::string fp;
    for (int i = 0; i < 32; i++)
        fp += " s" + std::to_string(i);
    fp += " fpscr";
    struct set_case {
        core_regs regs;
        uint32_t cpacr;
        std::string names;
    };
    const set_case cases[] = {
        {M0PLUS, CPACR_CP10_CP11_FULL, integer + " primask control"},
        {M23, 0, integer + " primask control"},
        {M3, CPACR_CP10_CP11_FULL, integer + " primask basepri faultmask control"},
        {M4F, 0, integer + " primask basepri faultmask control"}, // an FPU not enabled
        {M4F, CPACR_CP10_CP11_FULL, integer + " primask basepri faultmask control" + fp},
        {M7, CPACR_CP10_CP11_FULL, integer + " primask basepri faultmask control" + fp},
        {M33, CPACR_CP10_CP11_FULL, integer + " primask basepri faultmask control msplim psplim" + fp},
    };
    for (const set_case &c : cases) {
        fake_link l;
        load(l, c.regs, c.cpacr);
        core_identity id;
        ASSERT_EQ(identify(l, &id), TARGET_OK);
        EXPECT_EQ(names_of(core_register_set(id)), c.names) << c.regs.name << " cpacr " << std::hex << c.cpacr;
    }
}

// A session's register read asks the core for its own registers only: a
// failing selector 0x1E (MSPLIM) fails the M33's read and not the M4's,
// and the M33's limits land in their slots.
TEST(CoreRegisters, TheStackLimitsAreAskedOfArmv8mMainlineOnly)
{
    for (const core_regs &regs : {M4F, M33}) {
        fake_link l;
        load(l, regs, CPACR_CP10_CP11_FULL);
        core_identity id;
        ASSERT_EQ(identify(l, &id), TARGET_OK);
        l.core[0x1E] = 0x20001000;
        l.core[0x1F] = 0x20000800;
        uint32_t values[CORE_REGISTER_COUNT];
        ASSERT_EQ(core_registers_read(l, id, values), TARGET_OK) << regs.name;
        bool v8 = id.arch == ARCH_V8M_MAINLINE;
        EXPECT_EQ(values[core_register_index("msplim")], v8 ? 0x20001000u : 0u) << regs.name;
        EXPECT_EQ(values[core_register_index("psplim")], v8 ? 0x20000800u : 0u) << regs.name;
        l.failing = true;
        l.fail_addr = 0xC0DE0000 + 0x1E;
        EXPECT_EQ(core_registers_read(l, id, values), v8 ? TARGET_FAILED : TARGET_OK) << regs.name;
    }
}

TEST(CoreRegisters, FpRegistersTravelByTheirSelectorsOnlyWhenPresent)
{
    fake_link l;
    load(l, M7, CPACR_CP10_CP11_FULL);
    core_identity id;
    ASSERT_EQ(identify(l, &id), TARGET_OK);
    uint32_t values[FP_REGISTER_COUNT];
    for (size_t i = 0; i < FP_REGISTER_COUNT; i++)
        values[i] = 0x3F800000u + static_cast<uint32_t>(i);
    ASSERT_EQ(fp_registers_write(l, id, values), TARGET_OK);
    EXPECT_EQ(l.core[0x40], 0x3F800000u) << "s0 at selector 0x40";
    EXPECT_EQ(l.core[0x5F], 0x3F80001Fu) << "s31 at 0x5F";
    EXPECT_EQ(l.core[0x21], 0x3F800020u) << "fpscr at 0x21";
    l.core[0x47] = 0x40490FDB;
    uint32_t back[FP_REGISTER_COUNT] = {};
    ASSERT_EQ(fp_registers_read(l, id, back), TARGET_OK);
    EXPECT_EQ(back[7], 0x40490FDBu);
    EXPECT_EQ(back[32], 0x3F800020u);

    l.failing = true;
    l.fail_addr = 0xC0DE0000 + 0x50; // the fake's address for selector 0x50
    EXPECT_EQ(fp_registers_read(l, id, back), TARGET_FAILED) << "s16 not read: a failure, not data";

    for (const core_regs &regs : {M0PLUS, M3, M4F}) {
        fake_link absent;
        load(absent, regs, regs.mvfr0 != 0 ? 0 : CPACR_CP10_CP11_FULL);
        core_identity none;
        ASSERT_EQ(identify(absent, &none), TARGET_OK);
        absent.log.clear();
        EXPECT_EQ(fp_registers_read(absent, none, back), TARGET_UNSUITABLE) << regs.name;
        EXPECT_EQ(fp_registers_write(absent, none, values), TARGET_UNSUITABLE) << regs.name;
        EXPECT_TRUE(absent.log.empty()) << regs.name << ": nothing asked of the core";
    }
}

} // namespace
