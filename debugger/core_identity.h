// What the core behind a link is, read once when a session attaches: its
// architecture, its breakpoint and watchpoint units, and its floating-point
// unit. Breakpoints, watchpoints and the register set adapt to it, so a
// front end never asks the core again what it is.
#pragma once

#include <cstdint>

#include "target_link.h"

namespace tarvex_target
{

enum core_arch : uint8_t {
    ARCH_V6M,          // Cortex-M0, M0+, M1
    ARCH_V7M,          // Cortex-M3, M4, M7 (Armv7E-M included)
    ARCH_V8M_BASELINE, // Cortex-M23
    ARCH_V8M_MAINLINE, // Cortex-M33 and later
};

enum fpu_kind : uint8_t { FPU_NONE, FPU_SINGLE, FPU_DOUBLE };

// How the DWT's data comparators are set: a masked address block each
// (COMP, MASK, FUNCTION 5/6/7: Armv6-M and Armv7-M), or the Armv8-M
// encoding (MATCH, ACTION, DATAVSIZE; a range is a pair of comparators).
enum dwt_encoding : uint8_t { DWT_MASKED, DWT_V8M };

struct core_identity {
    uint32_t cpuid = 0;
    uint32_t fp_ctrl = 0, dwt_ctrl = 0, mvfr0 = 0, cpacr = 0;
    core_arch arch = ARCH_V7M;
    fpu_kind fpu = FPU_NONE;
    bool fp_enabled = false; // CPACR grants CP10 and CP11: the FP registers are in use
    uint8_t fpb_revision = 1;
    uint8_t fpb_code = 0, fpb_literal = 0;
    uint8_t dwt_count = 0;
    dwt_encoding dwt = DWT_MASKED;
    uint8_t dwt_mask_max = 31; // the widest DWT_MASKn the comparators take (masked encoding)
};

// Fills *id from CPUID, FP_CTRL, DWT_CTRL, MVFR0 and CPACR (with TRCENA set,
// for the DWT answers only then), and finds the widest DWT mask. Call with
// the core halted. Armv6-M and Armv8-M Baseline have no FPU: MVFR0 and
// CPACR are not read there. fp_enabled is CPACR as it stands: a core out of
// reset has its FPU off until its firmware grants it, so a front end that
// attached then identifies again once the firmware has run.
int identify(link &l, core_identity *id);

// Whether that architecture has BASEPRI and FAULTMASK.
bool has_priority_masks(core_arch arch);
// Whether S0-S31 and FPSCR are there to read and write.
bool fp_registers_present(const core_identity &id);

// CPACR read again into id (where the core has an FPU): whether its
// firmware has turned the FPU on since the core was identified.
int fp_enabled_read(link &l, core_identity *id);

// Sets DEMCR.TRCENA when it is clear: the DWT and the ITM answer only with
// it, and another client may have cleared it.
int trace_enable(link &l);

} // namespace tarvex_target
