// The registers GDB sees, in the target description's order, which the g
// and G packets carry and p and P number: the core registers that core has
// (r0-r12, sp, lr, pc, xpsr, msp, psp, primask, then basepri and faultmask
// where the architecture has them, control, msplim and psplim on Armv8-M
// Mainline), then, where the core has an
// FPU, d0-d15 and fpscr (GDB's floating-point feature; it shows s0-s31 as
// halves of the d registers).
#pragma once

#include <cstdint>
#include <vector>

#include "core_identity.h"

namespace tarvex_gdb
{

struct gdb_register {
    const char *name;
    uint8_t index; // in CORE_REGISTERS; for an FP register, of its (low) S register or fpscr in FP_REGISTERS
    uint8_t bits;  // 32, or 64 for a d register
    bool fp;
};

std::vector<gdb_register> gdb_registers(const tarvex_target::core_identity &core);

} // namespace tarvex_gdb
