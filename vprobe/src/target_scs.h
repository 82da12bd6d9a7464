// The target's system space as both sides reach it: the debugger through
// the probe's commands (probe_model.cpp) and the emulated core through its
// loads and stores (emulated_core.cpp). Run control, fault status, the
// debug units (FPB, DWT, ITM) live here, the NVIC and SysTick in
// core_exceptions.h, as plain data in
// the probe record. REQUIRES for every call: the bus lock (or one thread).
#pragma once

#include "probe_model.h"

namespace vprobe
{

// A word of system space (addr word aligned). side_effects: a debugger read
// that clears what reading clears.
uint32_t scs_read(probe_view &v, uint32_t addr, bool side_effects);
// A store of size bytes (1, 2 or 4) at addr; stimulus ports take every size,
// other registers whole words.
void scs_write(probe_view &v, uint32_t addr, uint32_t value, uint32_t size);

// DHCSR as the debugger reads it now (without the read side effect).
uint32_t scs_dhcsr(const probe_state &st);
// The core has register selector sel: the floating-point ones only with
// an FPU.
bool core_reg_exists(const probe_state &st, uint32_t sel);
// Register write from outside the executor (debugger, reset).
void core_write_reg(probe_state &st, uint32_t sel, uint32_t value);
// Wakes the executor when it waits for something to do.
void core_kick(core_debug &c);

// Halting debug is on (DHCSR.C_DEBUGEN).
bool core_debug_enabled(const probe_state &st);
// Monotonic microseconds, the time base of the SysTick.
uint64_t scs_now_us();

} // namespace vprobe
