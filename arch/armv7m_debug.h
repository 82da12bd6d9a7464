// The Armv7-M debug architecture as a debugger and a target both see it:
// the system-space addresses of the registers that control and observe the
// core, and the fields inside them. These are the same on every Armv7-M
// core; what a model or a tool chooses for itself (comparator counts, the
// CPUID value, its own limits) stays with that model or tool.
#pragma once

#include <cstdint>

namespace armv7m
{

// ---- memory map: the Private Peripheral Bus -----------------------------------
// 0xE0000000-0xE00FFFFF holds the ITM, DWT, FPB and the System Control Space.

constexpr uint32_t PPB_BASE = 0xE0000000;
constexpr uint32_t PPB_END = 0xE0100000;

// ---- System Control Block: reset and fault status (System Control Space) -------

constexpr uint32_t CPUID = 0xE000ED00;
constexpr uint32_t VTOR = 0xE000ED08;
constexpr uint32_t AIRCR = 0xE000ED0C;
constexpr uint32_t CFSR = 0xE000ED28; // UsageFault, BusFault and MemManage status
constexpr uint32_t HFSR = 0xE000ED2C;
constexpr uint32_t DFSR = 0xE000ED30;
constexpr uint32_t MMFAR = 0xE000ED34;
constexpr uint32_t BFAR = 0xE000ED38;

// ---- the floating-point unit's control and identity (System Control Space) ---
// Where a core has no FPU these read as zero.

constexpr uint32_t CPACR = 0xE000ED88; // CP10 and CP11 access in bits 23:20
constexpr uint32_t FPCCR = 0xE000EF34;
constexpr uint32_t FPCAR = 0xE000EF38;
constexpr uint32_t FPDSCR = 0xE000EF3C;
constexpr uint32_t MVFR0 = 0xE000EF40;
constexpr uint32_t MVFR1 = 0xE000EF44;
constexpr uint32_t MVFR2 = 0xE000EF48;

// AIRCR: a write takes effect only with VECTKEY in the top half; a read shows
// VECTKEYSTAT there instead.
constexpr uint32_t AIRCR_VECTKEY = 0x05FAu << 16;
constexpr uint32_t AIRCR_VECTKEYSTAT = 0xFA05u << 16;
constexpr uint32_t AIRCR_KEY_MASK = 0xFFFFu << 16;
constexpr uint32_t AIRCR_SYSRESETREQ = 1u << 2;

// CFSR and HFSR: write one to clear.
constexpr uint32_t CFSR_IBUSERR = 1u << 8;
constexpr uint32_t CFSR_PRECISERR = 1u << 9;
constexpr uint32_t CFSR_BFARVALID = 1u << 15;
constexpr uint32_t CFSR_UNDEFINSTR = 1u << 16;
constexpr uint32_t HFSR_FORCED = 1u << 30;
constexpr uint32_t HFSR_DEBUGEVT = 1u << 31;

// DFSR (write one to clear): why the core last entered Debug state.
constexpr uint32_t DFSR_HALTED = 1u << 0; // C_HALT or C_STEP
constexpr uint32_t DFSR_BKPT = 1u << 1;   // a BKPT instruction or an FPB match
constexpr uint32_t DFSR_DWTTRAP = 1u << 2;
constexpr uint32_t DFSR_VCATCH = 1u << 3;
constexpr uint32_t DFSR_EXTERNAL = 1u << 4;
constexpr uint32_t DFSR_ALL = DFSR_HALTED | DFSR_BKPT | DFSR_DWTTRAP | DFSR_VCATCH | DFSR_EXTERNAL;

// ---- Debug Control Block: halting debug (System Control Space) -----------------

constexpr uint32_t DHCSR = 0xE000EDF0;
constexpr uint32_t DCRSR = 0xE000EDF4;
constexpr uint32_t DCRDR = 0xE000EDF8;
constexpr uint32_t DEMCR = 0xE000EDFC;

// DHCSR: a write takes effect only with DBGKEY in the top half, where a read
// shows the status bits instead.
constexpr uint32_t DBGKEY = 0xA05Fu << 16;
constexpr uint32_t DBGKEY_MASK = 0xFFFFu << 16;
constexpr uint32_t C_DEBUGEN = 1u << 0;
constexpr uint32_t C_HALT = 1u << 1;
constexpr uint32_t C_STEP = 1u << 2;
constexpr uint32_t C_MASKINTS = 1u << 3; // may change only while the core is halted
constexpr uint32_t S_REGRDY = 1u << 16;
constexpr uint32_t S_HALT = 1u << 17;
constexpr uint32_t S_SLEEP = 1u << 18;
constexpr uint32_t S_LOCKUP = 1u << 19;
constexpr uint32_t S_RETIRE_ST = 1u << 24; // sticky: cleared by the read
constexpr uint32_t S_RESET_ST = 1u << 25;  // sticky: cleared by the read
// The whole writes of plain run control: halting debug off, run, halt, step.
constexpr uint32_t DHCSR_DEBUG_OFF = DBGKEY;
constexpr uint32_t DHCSR_RUN = DBGKEY | C_DEBUGEN;
constexpr uint32_t DHCSR_HALT = DBGKEY | C_DEBUGEN | C_HALT;
constexpr uint32_t DHCSR_STEP = DBGKEY | C_DEBUGEN | C_STEP;

// DCRSR: REGSEL picks a core register, REGWNR set writes DCRDR into it,
// clear reads it into DCRDR. r0 to r12 are selectors 0 to 12.
constexpr uint32_t DCRSR_REGSEL = 0x7F;
constexpr uint32_t DCRSR_REGWNR = 1u << 16;
constexpr uint32_t REGSEL_SP = 13;
constexpr uint32_t REGSEL_LR = 14;
constexpr uint32_t REGSEL_PC = 15;
constexpr uint32_t REGSEL_XPSR = 16;
constexpr uint32_t REGSEL_MSP = 17;
constexpr uint32_t REGSEL_PSP = 18;
constexpr uint32_t REGSEL_SPECIAL = 20; // CONTROL 31..24, FAULTMASK 23..16, BASEPRI 15..8, PRIMASK 7..0
// Armv8-M Mainline's stack limits: the Non-secure ones, which are the only
// ones a core without the Security Extension has (0x1C and 0x1D select the
// Secure pair). Bits 2:0 read as zero.
constexpr uint32_t REGSEL_MSPLIM = 0x1E;
constexpr uint32_t REGSEL_PSPLIM = 0x1F;
constexpr uint32_t XPSR_THUMB = 1u << 24; // the T bit: an Armv7-M core runs Thumb code only

// DEMCR: vector catches halt the core on the event; TRCENA powers the DWT and
// the ITM.
constexpr uint32_t DEMCR_VC_CORERESET = 1u << 0;
constexpr uint32_t DEMCR_VC_HARDERR = 1u << 10;
constexpr uint32_t DEMCR_TRCENA = 1u << 24;

// ---- Flash Patch and Breakpoint unit (0xE0002000) -----------------------------

constexpr uint32_t FP_CTRL = 0xE0002000;
constexpr uint32_t FP_REMAP = 0xE0002004;
constexpr uint32_t FP_COMP0 = 0xE0002008; // FP_COMPn at FP_COMP0 + 4n

// FP_CTRL: a write takes effect only with KEY set. NUM_CODE stands in bits
// 7:4 (low) and 14:12 (high), NUM_LIT in 11:8, REV in 31:28 (0: revision 1,
// 1: revision 2).
constexpr uint32_t FP_CTRL_ENABLE = 1u << 0;
constexpr uint32_t FP_CTRL_KEY = 1u << 1;
constexpr uint32_t FP_CTRL_REV_SHIFT = 28;

// FP_COMPn: ENABLE in bit 0 (BE in revision 2). Revision 1 matches a word
// below FP_REV1_LIMIT (COMP in bits 28:2) and REPLACE (bits 31:30) says which
// halfwords break: 01 the lower, 10 the upper, 11 both. Revision 2 matches
// any halfword: BPADDR in bits 31:1.
constexpr uint32_t FP_COMP_ENABLE = 1u << 0;
constexpr uint32_t FP_COMP_REPLACE_SHIFT = 30;
constexpr uint32_t SRAM_REGION = 0x20000000; // the end of the Code region
constexpr uint32_t FP_REV1_LIMIT = SRAM_REGION;
constexpr uint32_t FP_REV1_ADDR_MASK = 0x1FFFFFFC;

// ---- Data Watchpoint and Trace unit (0xE0001000) -------------------------------

constexpr uint32_t DWT_CTRL = 0xE0001000; // NUMCOMP in bits 31:28
constexpr uint32_t DWT_CYCCNT = 0xE0001004;
constexpr uint32_t DWT_COMP0 = 0xE0001020;
constexpr uint32_t DWT_MASK0 = 0xE0001024;
constexpr uint32_t DWT_FUNCTION0 = 0xE0001028;
constexpr uint32_t DWT_STRIDE = 16; // comparator n at COMP0, MASK0, FUNCTION0 + 16n
constexpr uint32_t DWT_CTRL_NUMCOMP_SHIFT = 28;
// The DWT's CoreSight DEVARCH: an Armv8-M DWT names itself there (Arm as
// architect, present, revision in bits 19:16, ARCHID 0x1A02); an Armv6-M
// or Armv7-M one reads 0.
constexpr uint32_t DWT_DEVARCH = 0xE0001FBC;
constexpr uint32_t DEVARCH_NO_REVISION = 0xFFF0FFFF;
constexpr uint32_t DEVARCH_DWT_V8M = 0x47701A02;

// DWT_MASKn: how many low address bits the match ignores (a five-bit field).
constexpr uint32_t DWT_MASK_MAX = 31;
// DWT_FUNCTIONn: FUNCTION in bits 3:0 (0 off; 5, 6, 7 a watchpoint on a
// read, a write, either), MATCHED in bit 24, cleared by the read.
constexpr uint32_t DWT_FUNCTION_FIELD = 0xF;
constexpr uint32_t DWT_WATCH_READ = 5;
constexpr uint32_t DWT_WATCH_WRITE = 6;
constexpr uint32_t DWT_WATCH_ANY = 7;
constexpr uint32_t DWT_FUNCTION_MATCHED = 1u << 24;

// ---- Instrumentation Trace Macrocell (0xE0000000) -----------------------------

constexpr uint32_t ITM_STIM0 = 0xE0000000; // ITM_STIMn at ITM_STIM0 + 4n
constexpr uint32_t ITM_PORTS = 32;
constexpr uint32_t ITM_TER = 0xE0000E00; // bit n enables stimulus port n
constexpr uint32_t ITM_TPR = 0xE0000E40;
constexpr uint32_t ITM_TCR = 0xE0000E80;
constexpr uint32_t ITM_TCR_ITMENA = 1u << 0;
constexpr uint32_t ITM_STIM_FIFOREADY = 1u << 0; // as a stimulus port reads

} // namespace armv7m
