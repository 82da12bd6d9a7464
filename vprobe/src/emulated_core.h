// The emulated Arm Cortex-M4 core behind a virtual probe: Unicorn executes
// the code in the target's RAM and flash, where the bus file keeps them, so
// the probe's memory commands and the firmware see the same bytes. Debug
// state crosses processes in the probe record (target_scs.h); this module
// applies it to the emulator and publishes what the core did. It runs in
// the launcher only, one executor thread per probe.
#pragma once

#include <cstdint>

#include "probe_bus.h"

namespace vprobe
{

struct emu_core;

enum turn_kind : int {
    TURN_RAN = 0,   // executed instructions; run again when the budget allows
    TURN_IDLE = 1,  // halted, locked up or held in reset: wait for the debugger
    TURN_SLEEP = 2, // in WFI/WFE: wait until wake_us, or for the debugger
};

struct core_turn {
    int kind;
    uint64_t wake_us; // TURN_SLEEP: UINT64_MAX when nothing but the debugger wakes the core
};

// An emulator for probe `index`'s core over the bus mapping's memory, or
// null when Unicorn cannot start.
emu_core *emu_core_open(probe_bus &bus, uint32_t index);
void emu_core_close(emu_core *c);

// One turn: takes up what the debugger changed, executes at most budget
// instructions (one when stepping) and publishes registers, run state and
// debug events. REQUIRES: the bus lock, or a bus no other thread uses.
core_turn emu_core_turn(emu_core *c, uint32_t budget, uint64_t now_us);

// Executor thread body: turns of CORE_HZ / 4000 instructions at most once
// every 250 us, parked while there is nothing to run. Never returns.
void emu_core_serve(emu_core *c);

} // namespace vprobe
