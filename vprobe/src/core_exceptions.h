// The emulated core's exception model (Armv7-M): the NVIC, the system
// handlers' priorities and state, the SysTick counted in core cycles, and
// exception entry and return on the registers of the probe record. The
// executor (emulated_core.cpp) decides when; this module does what the
// architecture does then. REQUIRES for every call: the bus lock (or one thread).
#pragma once

#include "probe_model.h"

namespace vprobe
{

// The registers of the model.
constexpr uint32_t SYST_CSR = 0xE000E010;
constexpr uint32_t SYST_RVR = 0xE000E014;
constexpr uint32_t SYST_CVR = 0xE000E018;
constexpr uint32_t SYST_CALIB = 0xE000E01C;
constexpr uint32_t ICTR = 0xE000E004;
constexpr uint32_t NVIC_ISER = 0xE000E100;
constexpr uint32_t NVIC_ICER = 0xE000E180;
constexpr uint32_t NVIC_ISPR = 0xE000E200;
constexpr uint32_t NVIC_ICPR = 0xE000E280;
constexpr uint32_t NVIC_IABR = 0xE000E300;
constexpr uint32_t NVIC_IPR = 0xE000E400;
constexpr uint32_t ICSR = 0xE000ED04;
constexpr uint32_t CCR = 0xE000ED14;
constexpr uint32_t SHPR1 = 0xE000ED18;
constexpr uint32_t SHCSR = 0xE000ED24;
constexpr uint32_t STIR = 0xE000EF00;
constexpr uint32_t SHPR2 = SHPR1 + 4;
constexpr uint32_t SHPR3 = SHPR1 + 8;

// DCRSR selectors of the floating-point registers, kept in the record.
constexpr uint32_t REGSEL_FPSCR = 0x21;
constexpr uint32_t REGSEL_S0 = 0x40; // S0-S31 follow
constexpr uint32_t CONTROL_FPCA = 1u << 2;
// The floating-point state of an extended frame is still in S0-S15 and
// FPSCR, not yet in the frame's space at FPCAR.
constexpr uint32_t FPCCR_LSPACT = 1u << 0;
constexpr uint32_t FPCCR_LSPEN = 1u << 30;
constexpr uint32_t FPCCR_ASPEN = 1u << 31;

constexpr int EXC_NMI = 2;
constexpr int EXC_HARDFAULT = 3;
constexpr int EXC_MEMMANAGE = 4;
constexpr int EXC_BUSFAULT = 5;
constexpr int EXC_USAGEFAULT = 6;
constexpr int EXC_SVCALL = 11;
constexpr int EXC_PENDSV = 14;
constexpr int EXC_SYSTICK = 15;
constexpr int EXC_IRQ0 = 16;

// Fault status bits besides those the debug side shares (armv7m_debug.h).
constexpr uint32_t CFSR_IACCVIOL = 1u << 0;
constexpr uint32_t CFSR_UNSTKERR = 1u << 11;
constexpr uint32_t CFSR_STKERR = 1u << 12;
constexpr uint32_t CFSR_INVSTATE = 1u << 17;
constexpr uint32_t CFSR_INVPC = 1u << 18;
constexpr uint32_t CFSR_NOCP = 1u << 19;
constexpr uint32_t CFSR_LSPERR = 1u << 13;
constexpr uint32_t CFSR_UNALIGNED = 1u << 24;
constexpr uint32_t CFSR_DIVBYZERO = 1u << 25;
constexpr uint32_t HFSR_VECTTBL = 1u << 1;

constexpr uint32_t CCR_UNALIGN_TRP = 1u << 3;
constexpr uint32_t CCR_DIV_0_TRP = 1u << 4;
constexpr uint32_t CCR_STKALIGN = 1u << 9;

// What exception entry or return left the core in.
enum exc_outcome : int {
    EXC_DONE = 0,   // registers hold the handler's (or the returned-to code's) state
    EXC_LOCKED = 1, // a fault at priority -1 or below, or one the entry itself met: lockup
};

// Power-up and reset state: nothing pending or active, priorities 0, VTOR 0.
void exc_reset(core_debug &d);

// Core clock cycles counted now: those of the runs so far, of the run
// under way, and of a sleep.
uint64_t core_cycles(const core_debug &d, uint64_t now_us);
// Takes up SysTick wraps up to cycle `now`: COUNTFLAG, and SysTick pending with TICKINT.
void systick_take_up(core_debug &d, uint64_t now);
// Cycles from `now` until the SysTick next reaches 0, or UINT64_MAX when it is off.
uint64_t systick_cycles_left(const core_debug &d, uint64_t now);
// The SysTick registers; restart from RVR.
uint32_t systick_read(core_debug &d, uint32_t addr, bool side_effects, uint64_t now);
bool systick_write(core_debug &d, uint32_t addr, uint32_t value, uint64_t now);

// The NVIC and system control registers of the model (ICSR, VTOR, AIRCR's
// PRIGROUP, CCR, SHPR1-3, SHCSR, MMFAR, ISER...IPR, STIR); false when addr
// is none of them. Writes take 1, 2 or 4 bytes where the architecture does.
bool exc_read(const probe_state &st, uint32_t addr, uint32_t *out);
bool exc_write(probe_state &st, uint32_t addr, uint32_t value, uint32_t size);
// AIRCR as read: key, PRIGROUP.
uint32_t exc_aircr(const core_debug &d);

// CPACR gives code of this privilege access to coprocessor cp (10 or 11
// for the floating-point unit).
bool exc_fp_allowed(const exc_state &e, uint32_t cp, bool privileged);
// CPACR gives every code full access to the floating-point unit.
bool exc_fp_open(const exc_state &e);
// The first floating-point instruction after an entry that deferred the
// floating-point state (FPCCR.LSPACT): fp_words (S0-S15, FPSCR) go to the
// space at FPCAR and LSPACT clears. False when that space is not RAM.
bool exc_fp_preserve(probe_view &v, const uint32_t *fp_words);

// The exception to take before the next instruction, 0 when none beats the
// execution priority (PRIMASK, BASEPRI, FAULTMASK and the active ones;
// C_MASKINTS keeps PendSV, SysTick and interrupts out).
int exc_due(const probe_state &st);
// Something pending would be taken but for PRIMASK, BASEPRI or FAULTMASK:
// an instruction that changes them may make it due.
bool exc_masked(const probe_state &st);
// WFI and WFE wake: something pending beats the execution priority as it
// would be without PRIMASK (BASEPRI and FAULTMASK keep the core asleep).
bool exc_wakes(const probe_state &st);

// Takes exception n with the basic frame on the current stack, returning
// to return_address; with CONTROL.FPCA the extended one, whose
// floating-point part waits for the handler's first floating-point
// instruction with FPCCR.LSPEN (lazy stacking).
int exc_enter(probe_view &v, int n, uint32_t return_address);
// A synchronous exception (a fault, SVC, a debug event without halting
// debug) that cannot wait: exception n when enabled and its priority
// allows, else HardFault with HFSR.FORCED, else lockup. hfsr_bits go to
// HFSR when it escalates (HFSR_FORCED, HFSR_DEBUGEVT).
int exc_raise(probe_view &v, int n, uint32_t hfsr_bits, uint32_t return_address);
// The branch to an EXC_RETURN value: tail-chains into what is due, or
// unstacks the frame and resumes the code it came from (S0-S15 and FPSCR
// only if they went to the frame: with LSPACT they are still in place).
int exc_return(probe_view &v, uint32_t exc_return_value);

} // namespace vprobe
