// The Cortex-M cores the virtual target can be: what each one's ID
// registers read, how big its breakpoint and watchpoint units are and which
// encoding they take, and which floating-point unit it has. The values are
// those of each core's Technical Reference Manual for the revision named.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

namespace vprobe
{

// The probe key's values; m4f names the same core as m4 (its FPU is
// always there), so it has no entry of its own. M4 is 0: a zeroed
// configuration is the default core.
enum core_kind : uint8_t { CORE_M4 = 0, CORE_M0 = 1, CORE_M3 = 2, CORE_M7 = 3, CORE_M33 = 4, CORE_KINDS = 5 };

enum core_arch : uint8_t { ARCH_V6M = 6, ARCH_V7M = 7, ARCH_V8M = 8 };

enum core_fpu : uint8_t { FPU_NONE = 0, FPU_SINGLE = 1, FPU_DOUBLE = 2 };

struct core_model {
    const char *name;
    uint32_t cpuid;
    uint8_t arch;     // core_arch
    uint8_t fpb_rev;  // 1 or 2: the comparator encoding (FP_CTRL.REV + 1)
    uint8_t fpb_code; // instruction address comparators
    uint8_t fpb_lit;  // literal comparators (never match)
    uint8_t dwt_comp; // DWT comparators
    uint8_t fpu;      // core_fpu
    uint8_t priority; // implemented bits of a priority byte
    uint32_t mvfr0, mvfr1, mvfr2;
};

constexpr std::array<core_model, CORE_KINDS> CORE_MODELS = {{
    // Cortex-M4 r0p1 with FPv4-SP.
    {"m4", 0x410FC241, ARCH_V7M, 1, 6, 2, 4, FPU_SINGLE, 0xF0, 0x10110021, 0x11000011, 0},
    // Cortex-M0+ r0p1: the breakpoint unit has no literal comparators.
    {"m0", 0x410CC601, ARCH_V6M, 1, 4, 0, 2, FPU_NONE, 0xC0, 0, 0, 0},
    // Cortex-M3 r2p1.
    {"m3", 0x412FC231, ARCH_V7M, 1, 6, 2, 4, FPU_NONE, 0xF0, 0, 0, 0},
    // Cortex-M7 r1p2 with FPv5-D16.
    {"m7", 0x411FC272, ARCH_V7M, 2, 8, 0, 4, FPU_DOUBLE, 0xF0, 0x10110221, 0x12000011, 0x00000040},
    // Cortex-M33 r0p3 with FPv5-SP, without the Security Extension in view.
    {"m33", 0x410FD213, ARCH_V8M, 2, 8, 0, 4, FPU_SINGLE, 0xF0, 0x10110021, 0x11000011, 0x00000040},
}};

// The largest units of any model: the record's arrays are that big.
constexpr uint32_t FPB_MAX_COMPARATORS = 8;
constexpr uint32_t DWT_MAX_COMPARATORS = 4;

inline const core_model &core_model_of(uint8_t kind)
{
    return CORE_MODELS[kind < CORE_KINDS ? kind : uint8_t{CORE_M4}];
}

static_assert(
    [] {
        for (const core_model &m : CORE_MODELS)
            if (m.fpb_code + m.fpb_lit > FPB_MAX_COMPARATORS || m.dwt_comp > DWT_MAX_COMPARATORS)
                return false;
        return true;
    }(),
    "every model's units fit the record");

// The kind a probe key names (m4f is m4), or -1.
inline int core_kind_named(const char *name)
{
    if (std::strcmp(name, "m4f") == 0)
        return CORE_M4;
    for (uint8_t k = 0; k < CORE_KINDS; k++)
        if (std::strcmp(name, CORE_MODELS[k].name) == 0)
            return k;
    return -1;
}

} // namespace vprobe
