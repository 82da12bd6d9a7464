// What a debugger does to a Cortex-M core over a link: run control, core
// registers, memory, and why the core stopped. Every function answers a
// target_result (target_link.h); a failure is never turned into data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core_identity.h"
#include "target_link.h"

namespace tarvex_target
{

// ---- memory -------------------------------------------------------------------

// Any length at any address, with one policy: the widest accesses the
// range allows (32 bits between its first and last word boundary), bytes
// only at its ends. *data holds len bytes on success, nothing on failure.
int memory_read(link &l, uint32_t addr, uint32_t len, std::vector<uint8_t> *data);
int memory_write(link &l, uint32_t addr, const uint8_t *data, uint32_t len);

// ---- run control --------------------------------------------------------------

enum run_state : int { STATE_RUNNING, STATE_HALTED, STATE_RESET, STATE_LOCKUP };

// The run state a DHCSR value shows: halted before locked up (a locked-up
// core can be halted) before a reset seen since the last read.
run_state decode_run_state(uint32_t dhcsr);
// Reads DHCSR and decodes it.
int run_state_read(link &l, run_state *state);

// Halts the core and waits (bounded) until it shows halted.
int halt(link &l);
// Lets a halted core run, or step one instruction with interrupts masked;
// returns without waiting.
int resume(link &l, bool step);
// One instruction of a halted core, waiting (bounded) until it halts again.
int step(link &l);
// System reset through AIRCR; with halt the core stops at the reset vector,
// otherwise it runs.
int reset(link &l, bool halt);

// ---- core registers ---------------------------------------------------------

// A core register as a debugger names it: a DCRSR selector, and for the
// registers packed into one selector, the field inside it.
struct core_register {
    const char *name;
    uint8_t regsel;
    uint8_t shift;
    uint8_t bits;
};

// r0-r12, sp, lr, pc, xpsr, msp, psp, then primask, basepri, faultmask and
// control (the fields of selector 20), then msplim and psplim, in that order.
constexpr size_t CORE_REGISTER_COUNT = 25;
extern const core_register CORE_REGISTERS[CORE_REGISTER_COUNT];
// The index in CORE_REGISTERS of a name, or CORE_REGISTER_COUNT.
size_t core_register_index(const char *name);
// Whether that core has CORE_REGISTERS[i]: basepri and faultmask where the
// architecture has them, msplim and psplim on Armv8-M Mainline.
bool core_register_present(const core_identity &core, size_t i);
// The registers that core has into values[i] for CORE_REGISTERS[i], the
// others 0: a selector the core lacks is never asked for.
int core_registers_read(link &l, const core_identity &core, uint32_t *values);

// S0-S31, then FPSCR: DCRSR selectors 0x40-0x5F and 0x21.
constexpr size_t FP_REGISTER_COUNT = 33;
extern const core_register FP_REGISTERS[FP_REGISTER_COUNT];
// The registers that core has, in CORE_REGISTERS' order
// (core_register_present), and FP_REGISTERS after them when they are
// present (fp_registers_present).
std::vector<core_register> core_register_set(const core_identity &core);
// S0-S31 and FPSCR, values[0..FP_REGISTER_COUNT): TARGET_UNSUITABLE, and
// nothing asked of the core, where they are absent.
int fp_registers_read(link &l, const core_identity &core, uint32_t *values);
int fp_registers_write(link &l, const core_identity &core, const uint32_t *values);

// The registers of regs[0..count), each selector read once (a link with a
// register-set transfer reads them all in one request).
int registers_read(link &l, const core_register *regs, size_t count, uint32_t *values);
// A packed field is written by reading its selector and changing the field.
int register_write(link &l, const core_register &reg, uint32_t value);
// The registers of regs[0..count): each selector written once, and read
// first only when the fields given do not cover it whole.
int registers_write(link &l, const core_register *regs, size_t count, const uint32_t *values);

// ---- why the core stopped -----------------------------------------------------

enum stop_cause : int {
    STOP_INTERRUPT, // a halt request: the debugger's, or another client's
    STOP_TRAP,      // a step, a breakpoint, a reset vector catch
    STOP_WATCH,     // a DWT comparator matched
    STOP_LOCKUP,    // the core locked up and was halted by the debugger
};

// What the debugger last asked of the core, for telling its halts apart.
struct stop_context {
    bool stepping = false;
    bool interrupted = false;
    bool locked_up = false;
};

// The cause a DFSR value shows in that context; watch_hit says whether a
// comparator the debugger set reported its match (debug_units.h).
stop_cause decode_stop(uint32_t dfsr, const stop_context &ctx, bool watch_hit);

} // namespace tarvex_target
