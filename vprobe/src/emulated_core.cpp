// Executor of the emulated core: Unicorn 2 in Thumb M-class mode with the
// Cortex-M4 model, the target's RAM and flash mapped in place from the bus
// file, the system space as callbacks into target_scs.
//
// What Unicorn 2.0.1 does that this relies on: a BKPT reaches the interrupt
// hook as number 7; WFI and WFE end uc_emu_start without an event, right
// after the instruction; code hooks run in the order they were added; an undefined
// instruction or an access outside the mapped memory ends uc_emu_start with
// an error and the PC on that instruction; uc_emu_stop in a code hook stops
// before the hooked instruction; SVC reaches the interrupt hook as number 2
// with the PC past it; a branch to 0xFFFFFFxx reaches it as number 8 (the
// exception return) with the PC on that address, bit 0 clear; a branch to
// an even address ends uc_emu_start as an undefined instruction with the
// T bit clear; a memory hook runs before its access, and uc_emu_stop there
// lets the instruction complete. Its Cortex-M4 starts with a CPACR of its
// own, out of reach of the API, that gives full access to the
// floating-point unit; the firmware's CPACR is the model's (stores to the
// system space never reach Unicorn's), so floating-point instructions
// always run there: the code hook decodes them while the model's CPACR
// denies them or their state waits for lazy stacking. Its stack limits
// (MSPLIM, PSPLIM) are out of reach of the API as well, and writing CONTROL
// or the masks through it takes effect only from privileged code: the
// code hook carries out MRS and MSR of the limits on the record's copies.
// Exceptions are taken between runs (core_exceptions.h does entry and
// return): a run ends where one may have become due (a store to the system
// space, a change of PRIMASK, BASEPRI or FAULTMASK while something pending
// waits for it, the SysTick reaching 0).
#include "emulated_core.h"

#include <unicorn/unicorn.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "armv7m_debug.h"
#include "core_exceptions.h"
#include "fp_double.h"
#include "target_scs.h"

namespace vprobe
{

using namespace armv7m;

namespace
{

constexpr uint32_t NO_ADDRESS = 0xFFFFFFFF;
constexpr uint64_t UNTIL_NEVER = 0xFFFFFFFF; // odd: no Thumb instruction starts there
constexpr uint32_t INTR_BKPT = 7;
constexpr uint16_t OP_WFI = 0xBF30;
constexpr uint16_t OP_WFE = 0xBF20;
constexpr uint32_t PAGE = 4096;
// A turn holds the bus lock, so probe commands wait for it: quarter
// milliseconds keep that wait near 4000 instructions at 16 MHz.
constexpr uint32_t TURN_US = 250;
constexpr uint32_t SLICE = CORE_HZ / (1000000 / TURN_US); // instructions per turn
constexpr uint64_t CATCH_UP_US = 1000;
constexpr int IDLE_WAIT_MS = 1000;

constexpr uint32_t INTR_SVC = 2;
constexpr uint32_t INTR_EXCEPTION_EXIT = 8;
constexpr uint32_t INTR_NOCP = 17;
constexpr uint32_t INTR_INVSTATE = 18;
constexpr uint32_t INTR_UNALIGNED = 22;
constexpr uint32_t XN_REGION = 0xE0000000; // the system space and above never execute
// Runs of one turn at most: an interrupt storm still lets the turn end.
constexpr int RUNS_PER_TURN = 256;

enum core_event : int {
    EV_NONE,
    EV_BKPT,
    EV_FPB,
    EV_WATCH,
    EV_EXCEPTION, // a fault the interrupt hook reported (intno)
    EV_SVC,
    EV_EXC_RETURN,
    EV_DUE,         // stopped before an instruction: an exception may be due
    EV_DIVBYZERO,   // stopped before a division by zero with CCR.DIV_0_TRP
    EV_UNALIGNED,   // an unaligned access with CCR.UNALIGN_TRP
    EV_NOCP,        // stopped before a floating-point instruction CPACR denies
    EV_LSPERR,      // stopped before one whose lazy store found no RAM at FPCAR
    EV_UNDEFINED,   // stopped before a 32-bit instruction Armv6-M does not have
    EV_STACK_LIMIT, // stopped before an MRS or MSR of MSPLIM or PSPLIM
    EV_FP_DOUBLE,   // stopped before a double-precision operation (fp_double.h)
};

// What the code hook decodes for besides CCR's traps (DIV_0_TRP, UNALIGN_TRP).
constexpr uint32_t TRAP_FP_ACCESS = 1u << 0;    // CPACR denies some code the FPU
constexpr uint32_t TRAP_FP_LAZY = 1u << 1;      // FPCCR.LSPACT
constexpr uint32_t TRAP_FPCA_HELD = 1u << 2;    // FPCCR.ASPEN clear: MRS and MSR of CONTROL
constexpr uint32_t TRAP_THUMB1 = 1u << 5;       // Armv6-M: most 32-bit encodings are undefined
constexpr uint32_t TRAP_STACK_LIMITS = 1u << 6; // Armv8-M: MRS and MSR of the stack limits
constexpr uint32_t TRAP_FP_DOUBLE = 1u << 7;    // FPv5-D16: the double-precision operations
constexpr uint32_t FP_TRAPS = TRAP_FP_ACCESS | TRAP_FP_LAZY;
static_assert(((FP_TRAPS | TRAP_FPCA_HELD | TRAP_THUMB1 | TRAP_STACK_LIMITS | TRAP_FP_DOUBLE) &
               (CCR_DIV_0_TRP | CCR_UNALIGN_TRP)) == 0);
constexpr uint32_t SYSM_CONTROL = 0x14;
constexpr uint32_t SYSM_MSPLIM = 0x0A;
constexpr uint32_t SYSM_PSPLIM = 0x0B;
constexpr uint32_t OP_MRS = 0xF3EF; // first halfword of MRS; Rd and SYSm in the second
// Unicorn's M4 runs in the Secure state, where a floating-point context is
// active with CONTROL.SFPA beside FPCA; without it the next floating-point
// instruction starts a fresh one (FPSCR from Unicorn's FPDSCR).
constexpr uint32_t UC_FP_ACTIVE = CONTROL_FPCA | 1u << 3;
constexpr uint32_t FP_STATE_WORDS = 17; // S0-S15, FPSCR

// Core registers in DCRSR order up to PSP; the special word is packed apart.
constexpr std::array<int, 19> UC_REGS = {{
    UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2,   UC_ARM_REG_R3,  UC_ARM_REG_R4,  UC_ARM_REG_R5,  UC_ARM_REG_R6,
    UC_ARM_REG_R7, UC_ARM_REG_R8, UC_ARM_REG_R9,   UC_ARM_REG_R10, UC_ARM_REG_R11, UC_ARM_REG_R12, UC_ARM_REG_SP,
    UC_ARM_REG_LR, UC_ARM_REG_PC, UC_ARM_REG_XPSR, UC_ARM_REG_MSP, UC_ARM_REG_PSP,
}};
constexpr int FP_REGS = 32; // S0-S31
// Unicorn's CPU model of each core_kind.
constexpr std::array<int, CORE_KINDS> UC_CPU_MODELS = {
    {UC_CPU_ARM_CORTEX_M4, UC_CPU_ARM_CORTEX_M0, UC_CPU_ARM_CORTEX_M3, UC_CPU_ARM_CORTEX_M7, UC_CPU_ARM_CORTEX_M33}};
// Fields of the special word, most significant first.
constexpr std::array<int, 4> UC_SPECIAL = {
    {UC_ARM_REG_CONTROL, UC_ARM_REG_FAULTMASK, UC_ARM_REG_BASEPRI, UC_ARM_REG_PRIMASK}};

} // namespace

struct emu_core {
    probe_bus *bus;
    uint32_t index;
    uc_engine *uc;
    uint32_t regs_seq, hooks_seq; // as last taken up
    const core_model *model;
    std::array<uc_hook, 2 * FPB_COMPARATORS> fpb_hooks; // one per halfword a comparator breaks on
    std::array<uint32_t, 2 * FPB_COMPARATORS> fpb_at;   // that halfword's address
    uint32_t fpb_count;
    uc_hook watch_hook;
    bool watching;
    // Per run of the emulator.
    int event;
    uint32_t event_pc;
    uint32_t skip_fpb_at; // the first instruction after leaving Debug state
    uint32_t budget;      // instructions this run may enter
    uint32_t executed;    // instructions entered
    bool spent;           // the run stopped at its budget
    uint32_t last_pc;     // address and size of the last one
    uint32_t last_size;
    uint32_t bad_address; // of the last access outside the memory map
    bool watch_quiet;     // finishing the instruction that hit a watchpoint
    uint32_t intno;       // EV_EXCEPTION: what the interrupt hook reported
    uint32_t exc_seq;     // the exception state's sequence as the run started
    bool check_due;       // the system space changed: stop before the next instruction
    bool watch_masks;     // something pending waits for PRIMASK, BASEPRI or FAULTMASK
    uint32_t masks;       // their values as the run started
    uint32_t traps;       // CCR.DIV_0_TRP, UNALIGN_TRP and TRAP_FP_* as the hooks follow them
    bool load_fp;         // an extended frame was unstacked: its S0-S15 and FPSCR go back
    // Unicorn keeps an FPCCR of its own with ASPEN set: a floating-point
    // instruction with its FPCA clear sets FPCA and loads FPSCR from its
    // FPDSCR. With the model's ASPEN clear, its FPCA is therefore held set,
    // and the firmware's lives in the record, but for a run in which the
    // firmware read or wrote CONTROL (fpca_live): the run ends after that.
    bool fpca_held;
    bool fpca_live;
    bool fp_was_open; // CPACR gave some access to the FPU as the run started
    uc_hook align_hook;
    // With UNALIGN_TRP: what the instruction under way found, so that one
    // that faults leaves no trace, as on a real core (Unicorn completes it).
    std::array<uint32_t, 15> before_regs; // r0-r12, SP, LR
    struct undo_write {
        uint32_t addr;
        uint32_t size;
        uint8_t bytes[8];
    } undo[4];
    uint32_t undo_count;
};

namespace
{

probe_view view_of(emu_core *c)
{
    return bus_view(*c->bus, c->index);
}

// ---- system space and hooks -----------------------------------------------------

// The flash controller's busy time runs on the cycles of the run under way.
probe_view view_in_run(emu_core *c)
{
    probe_view v = view_of(c);
    v.rec->st.core.slice_executed = c->executed;
    return v;
}

uint64_t scs_load(uc_engine *, uint64_t offset, unsigned size, void *user)
{
    probe_view v = view_in_run(static_cast<emu_core *>(user));
    uint32_t addr = PPB_BASE + static_cast<uint32_t>(offset);
    uint32_t word = scs_read(v, addr & ~3u, true) >> (8 * (addr & 3));
    return size >= 4 ? word : word & ((1u << (8 * size)) - 1);
}

// A store that resets or halts the core (AIRCR.SYSRESETREQ, DHCSR) ends
// the run at once.
void scs_store(uc_engine *uc, uint64_t offset, unsigned size, uint64_t value, void *user)
{
    emu_core *c = static_cast<emu_core *>(user);
    probe_view v = view_in_run(c);
    const core_debug &d = v.rec->st.core;
    scs_write(v, PPB_BASE + static_cast<uint32_t>(offset), static_cast<uint32_t>(value), size);
    if (d.regs_seq != c->regs_seq || (d.run != CORE_RUNNING && d.run != CORE_STEPPING))
        uc_emu_stop(uc);
    else if (d.exc.seq != c->exc_seq)
        c->check_due = true;
}

void stop_for(emu_core *c, int event, uint32_t pc)
{
    c->event = event;
    c->event_pc = pc;
    uc_emu_stop(c->uc);
}

void on_interrupt(uc_engine *uc, uint32_t intno, void *user)
{
    emu_core *c = static_cast<emu_core *>(user);
    uint32_t pc = 0;
    uc_reg_read(uc, UC_ARM_REG_PC, &pc);
    c->intno = intno;
    int event = intno == INTR_BKPT             ? EV_BKPT
                : intno == INTR_SVC            ? EV_SVC
                : intno == INTR_EXCEPTION_EXIT ? EV_EXC_RETURN
                                               : EV_EXCEPTION;
    stop_for(c, event, pc);
}

uint32_t current_masks(uc_engine *uc)
{
    uint32_t primask = 0, basepri = 0, faultmask = 0;
    uc_reg_read(uc, UC_ARM_REG_PRIMASK, &primask);
    uc_reg_read(uc, UC_ARM_REG_BASEPRI, &basepri);
    uc_reg_read(uc, UC_ARM_REG_FAULTMASK, &faultmask);
    return (faultmask & 1) << 16 | (basepri & 0xFF) << 8 | (primask & 1);
}

// What an instruction that UNALIGN_TRP may stop changes, kept before it.
constexpr std::array<int, 15> KEPT_REGS = {UC_ARM_REG_R0,  UC_ARM_REG_R1, UC_ARM_REG_R2,  UC_ARM_REG_R3,
                                           UC_ARM_REG_R4,  UC_ARM_REG_R5, UC_ARM_REG_R6,  UC_ARM_REG_R7,
                                           UC_ARM_REG_R8,  UC_ARM_REG_R9, UC_ARM_REG_R10, UC_ARM_REG_R11,
                                           UC_ARM_REG_R12, UC_ARM_REG_SP, UC_ARM_REG_LR};

// The halfwords of a 32-bit instruction (wide false for a 16-bit one, or
// one that cannot be read), read once per instruction from the memory the
// core fetched it from: the bus file's, not through Unicorn, as this runs
// for every instruction while a trap needs it.
struct wide_insn {
    bool wide;
    uint32_t first, second;
};

wide_insn wide_instruction(emu_core *c, uint64_t address, uint32_t size)
{
    uint8_t b[4] = {};
    probe_view v = view_of(c);
    if (size != 4 || target_peek(v, static_cast<uint32_t>(address), b, 4) != 0)
        return {false, 0, 0};
    return {true, uint32_t{b[0]} | uint32_t{b[1]} << 8, uint32_t{b[2]} | uint32_t{b[3]} << 8};
}

// The FPB hook (on_fpb, which runs next) halts before this instruction: a
// breakpoint comes before anything the instruction itself does.
bool breakpoint_at(const emu_core *c, uint64_t address)
{
    if (address == c->skip_fpb_at && c->executed == 0)
        return false;
    for (uint32_t i = 0; i < c->fpb_count; i++)
        if (c->fpb_at[i] == address)
            return true;
    return false;
}

// SDIV or UDIV (T32) whose divisor register holds 0.
bool divides_by_zero(emu_core *c, const wide_insn &in)
{
    if (!in.wide || (in.first & 0xFFD0) != 0xFB90 || (in.second & 0xF0F0) != 0xF0F0)
        return false;
    uint32_t rm = in.second & 0xF, divisor = 1;
    if (rm <= 12) // R0-R12, the first of KEPT_REGS
        uc_reg_read(c->uc, KEPT_REGS[rm], &divisor);
    return divisor == 0;
}

// The coprocessor (10 or 11) of a floating-point instruction, else 0: the
// T32 coprocessor space 1110 11xx with op1 neither 00000x nor 11xxxx (no
// instructions there) and coproc 101x. VMOV, VLDR, VSTR, VPUSH, VPOP,
// VMRS and VMSR are all there.
uint32_t fp_coprocessor(const wide_insn &in)
{
    uint32_t op1 = (in.first >> 4) & 0x3F;
    if (!in.wide || (in.first & 0xFC00) != 0xEC00 || op1 >> 1 == 0 || op1 >> 4 == 3 || (in.second & 0x0E00) != 0x0A00)
        return 0;
    return (in.second >> 8) & 0xF;
}

// Code in Thread mode with CONTROL.nPRIV set runs unprivileged.
bool running_privileged(uc_engine *uc)
{
    uint32_t ipsr = 0, control = 0;
    uc_reg_read(uc, UC_ARM_REG_IPSR, &ipsr);
    uc_reg_read(uc, UC_ARM_REG_CONTROL, &control);
    return (ipsr & 0x1FF) != 0 || !(control & 1);
}

// The state an entry deferred goes to the frame before the instruction
// runs, as the core does before the first floating-point instruction.
bool preserve_fp(emu_core *c)
{
    uint32_t words[FP_STATE_WORDS];
    for (uint32_t i = 0; i < 16; i++)
        uc_reg_read(c->uc, UC_ARM_REG_S0 + static_cast<int>(i), &words[i]);
    uc_reg_read(c->uc, UC_ARM_REG_FPSCR, &words[16]);
    probe_view v = view_of(c);
    if (!exc_fp_preserve(v, words))
        return false;
    c->traps &= ~TRAP_FP_LAZY;
    return true;
}

// A floating-point instruction: NOCP when CPACR denies it, else the lazy
// store first when one is due.
int fp_stop(emu_core *c, uint64_t address, const wide_insn &in)
{
    uint32_t cp = fp_coprocessor(in);
    if (cp == 0 || breakpoint_at(c, address))
        return EV_NONE;
    const exc_state &e = view_of(c).rec->st.core.exc;
    if ((c->traps & TRAP_FP_ACCESS) && !exc_fp_allowed(e, cp, running_privileged(c->uc)))
        return EV_NOCP;
    if ((c->traps & TRAP_FP_LAZY) && !preserve_fp(c))
        return EV_LSPERR;
    return EV_NONE;
}

// Unicorn's CONTROL for the firmware's, FPCA held set or not.
uint32_t emulator_control(uint32_t control, bool fpca_held)
{
    bool active = fpca_held || (control & CONTROL_FPCA);
    return (control & ~UC_FP_ACTIVE) | (active ? UC_FP_ACTIVE : 0);
}

// Unicorn takes CONTROL and the masks from privileged code only: they go in
// with Handler mode's IPSR, and the record's mode comes back after them.
void privileged_writes(emu_core *c, const int *regs, const uint32_t *values, size_t n, uint32_t xpsr)
{
    uint32_t handler = XPSR_THUMB | EXC_HARDFAULT;
    uc_reg_write(c->uc, UC_ARM_REG_XPSR, &handler);
    for (size_t i = 0; i < n; i++)
        uc_reg_write(c->uc, regs[i], &values[i]);
    uc_reg_write(c->uc, UC_ARM_REG_XPSR, &xpsr);
}

void control_write(emu_core *c, uint32_t control)
{
    const int reg = UC_ARM_REG_CONTROL;
    uint32_t xpsr = 0;
    uc_reg_read(c->uc, UC_ARM_REG_XPSR, &xpsr);
    privileged_writes(c, &reg, &control, 1, xpsr);
}

// MRS or MSR (T32) of CONTROL.
bool accesses_control(const wide_insn &in)
{
    if (!in.wide || (in.second & 0xFF) != SYSM_CONTROL)
        return false;
    bool mrs = in.first == OP_MRS && (in.second & 0xF000) == 0x8000;
    bool msr = (in.first & 0xFFF0) == 0xF380 && (in.second & 0xF300) == 0x8000;
    return mrs || msr;
}

// The firmware's FPCA goes to Unicorn for the firmware to read or write,
// and the run ends after the instruction: the next one holds it again.
void release_fpca(emu_core *c)
{
    uint32_t control = 0;
    uc_reg_read(c->uc, UC_ARM_REG_CONTROL, &control);
    uint32_t firmware = view_of(c).rec->st.core_regs[REGSEL_SPECIAL] >> 24;
    control = emulator_control((control & ~CONTROL_FPCA) | (firmware & CONTROL_FPCA), false);
    control_write(c, control);
    c->fpca_live = true;
    c->check_due = true;
}

// MRS or MSR (T32) of MSPLIM or PSPLIM, for stack_limit_access to carry out.
bool accesses_stack_limit(const wide_insn &in)
{
    uint32_t sysm = in.second & 0xFF;
    if (!in.wide || (sysm != SYSM_MSPLIM && sysm != SYSM_PSPLIM))
        return false;
    bool mrs = in.first == OP_MRS && (in.second & 0xF000) == 0x8000;
    bool msr = (in.first & 0xFFF0) == 0xF380 && (in.second & 0xFF00) == 0x8800;
    return mrs || msr;
}

// The 32-bit instructions of Armv6-M: BL, MSR, MRS, DSB, DMB, ISB and UDF.W.
bool armv6m_wide(const wide_insn &in)
{
    if (!in.wide)
        return true;
    uint32_t first = in.first, second = in.second;
    bool bl = (first & 0xF800) == 0xF000 && (second & 0xD000) == 0xD000;
    bool msr = (first & 0xFFF0) == 0xF380 && (second & 0xFF00) == 0x8800;
    bool mrs = first == OP_MRS && (second & 0xF000) == 0x8000;
    bool barrier = first == 0xF3BF && (second & 0xFFC0) == 0x8F40;
    bool udf = (first & 0xFFF0) == 0xF7F0 && (second & 0xF000) == 0xA000;
    return bl || msr || mrs || barrier || udf;
}

// Whether to stop before this instruction for the exception model.
int exception_stop(emu_core *c, uint64_t address, uint32_t size)
{
    if (c->check_due) {
        c->check_due = false;
        return EV_DUE;
    }
    if (c->watch_masks && current_masks(c->uc) != c->masks)
        return EV_DUE;
    if (!(c->traps & ~CCR_UNALIGN_TRP)) // that one needs no decoding: the memory hook has it
        return EV_NONE;
    const wide_insn in = wide_instruction(c, address, size);
    if ((c->traps & CCR_DIV_0_TRP) && divides_by_zero(c, in) && !breakpoint_at(c, address))
        return EV_DIVBYZERO;
    if ((c->traps & TRAP_FPCA_HELD) && !c->fpca_live && accesses_control(in))
        release_fpca(c);
    if ((c->traps & TRAP_THUMB1) && !armv6m_wide(in) && !breakpoint_at(c, address))
        return EV_UNDEFINED;
    if ((c->traps & TRAP_STACK_LIMITS) && accesses_stack_limit(in) && !breakpoint_at(c, address))
        return EV_STACK_LIMIT;
    if (c->traps & FP_TRAPS) {
        int event = fp_stop(c, address, in);
        if (event != EV_NONE)
            return event;
    }
    if ((c->traps & TRAP_FP_DOUBLE) && in.wide && fp_double_decodes(in.first, in.second) && !breakpoint_at(c, address))
        return EV_FP_DOUBLE;
    return EV_NONE;
}

void keep_before(emu_core *c)
{
    for (size_t i = 0; i < KEPT_REGS.size(); i++)
        uc_reg_read(c->uc, KEPT_REGS[i], &c->before_regs[i]);
    c->undo_count = 0;
}

// Added before the FPB hooks, so it runs first for each instruction. It
// also ends the run at its budget: uc_emu_start's own instruction count
// would add a second hook to every instruction, and that one costs as much
// as the rest of a run that does not touch memory.
void on_code(uc_engine *uc, uint64_t address, uint32_t size, void *user)
{
    emu_core *c = static_cast<emu_core *>(user);
    if (c->executed == c->budget) {
        c->spent = true;
        uc_emu_stop(uc);
        return;
    }
    if (c->executed > 0 || c->traps) {
        // What the traps decode (a division, a floating-point instruction)
        // is 32 bits wide: the 16-bit ones cost no decoding.
        bool decode = c->traps && size == 4;
        int event = c->check_due || c->watch_masks || decode ? exception_stop(c, address, size) : EV_NONE;
        if (event != EV_NONE) {
            stop_for(c, event, static_cast<uint32_t>(address));
            return;
        }
    }
    if (c->traps & CCR_UNALIGN_TRP)
        keep_before(c);
    c->executed++;
    c->last_pc = static_cast<uint32_t>(address);
    c->last_size = size;
}

void on_fpb(uc_engine *, uint64_t address, uint32_t, void *user)
{
    emu_core *c = static_cast<emu_core *>(user);
    if (c->spent || c->event != EV_NONE || (address == c->skip_fpb_at && c->executed == 1))
        return;
    stop_for(c, EV_FPB, static_cast<uint32_t>(address));
}

// Armv8-M's DWT_FUNCTIONn: MATCH in bits 3:0 (0100 a data address on any
// access, 0101 on a write, 0110 on a read, 0111 the inclusive limit of the
// range the comparator below starts), ACTION in 5:4 (01 a debug event),
// DATAVSIZE in 11:10 (the watched size of a single address, 1 << it bytes).
constexpr uint32_t V8_MATCH_ANY = 0x4;
constexpr uint32_t V8_MATCH_WRITE = 0x5;
constexpr uint32_t V8_MATCH_READ = 0x6;
constexpr uint32_t V8_MATCH_LIMIT = 0x7;
constexpr uint32_t V8_ACTION_DEBUG = 1;

bool watches(uint32_t fn, bool v8)
{
    if (!v8)
        return (fn & DWT_FUNCTION_FIELD) >= DWT_WATCH_READ && (fn & DWT_FUNCTION_FIELD) <= DWT_WATCH_ANY;
    uint32_t match = fn & 0xF;
    return ((fn >> 4) & 3) == V8_ACTION_DEBUG && match >= V8_MATCH_ANY && match <= V8_MATCH_READ;
}

bool v8_watch_matches(const core_debug &d, size_t i, size_t count, bool write, uint64_t address, int size)
{
    uint32_t fn = d.dwt_function[i], match = fn & 0xF;
    if (!watches(fn, true) || (match == V8_MATCH_WRITE && !write) || (match == V8_MATCH_READ && write))
        return false;
    uint64_t lo = d.dwt_comp[i], hi = lo + (uint64_t{1} << ((fn >> 10) & 3));
    if (i + 1 < count && (d.dwt_function[i + 1] & 0xF) == V8_MATCH_LIMIT)
        hi = uint64_t{d.dwt_comp[i + 1]} + 1;
    return address < hi && address + static_cast<uint64_t>(size) > lo;
}

bool watch_matches(const core_debug &d, size_t i, uc_mem_type type, uint64_t address, int size)
{
    uint32_t fn = d.dwt_function[i] & DWT_FUNCTION_FIELD;
    bool write = type == UC_MEM_WRITE;
    if (!(fn == DWT_WATCH_ANY || (fn == DWT_WATCH_WRITE && write) || (fn == DWT_WATCH_READ && !write)))
        return false;
    uint64_t mask = (uint64_t{1} << d.dwt_mask[i]) - 1;
    uint64_t lo = d.dwt_comp[i] & ~mask, hi = (d.dwt_comp[i] | mask) + 1;
    return address < hi && address + static_cast<uint64_t>(size) > lo;
}

void on_data(uc_engine *uc, uc_mem_type type, uint64_t address, int size, int64_t, void *user)
{
    emu_core *c = static_cast<emu_core *>(user);
    core_debug &d = view_of(c).rec->st.core;
    bool hit = false, v8 = c->model->arch == ARCH_V8M;
    size_t count = c->model->dwt_comp;
    for (size_t i = 0; i < count; i++) {
        bool match = v8 ? v8_watch_matches(d, i, count, type == UC_MEM_WRITE, address, size)
                        : watch_matches(d, i, type, address, size);
        if (!match)
            continue;
        d.dwt_function[i] |= DWT_FUNCTION_MATCHED;
        if (v8 && i + 1 < count && (d.dwt_function[i + 1] & 0xF) == V8_MATCH_LIMIT)
            d.dwt_function[i + 1] |= DWT_FUNCTION_MATCHED;
        hit = true;
    }
    if (hit && !c->watch_quiet) {
        uint32_t pc = 0;
        uc_reg_read(uc, UC_ARM_REG_PC, &pc);
        stop_for(c, EV_WATCH, pc);
    }
}

bool on_unmapped(uc_engine *, uc_mem_type, uint64_t address, int, int64_t, void *user)
{
    static_cast<emu_core *>(user)->bad_address = static_cast<uint32_t>(address);
    return false; // the access faults
}

// Maps [base, base + size) onto host memory; sizes round up to whole pages,
// which the bus file's layout leaves free.
void map_region(emu_core *c, uint32_t base, uint32_t size, uint8_t *host, uint32_t prot)
{
    size_t len = (size + PAGE - 1) / PAGE * PAGE;
    if (size != 0 && uc_mem_map_ptr(c->uc, base, len, prot, host) != UC_ERR_OK)
        fprintf(stderr, "tarvex-vprobe: probe %u: the core cannot reach 0x%08x\n", c->index, base);
}

void drop_translations(emu_core *c)
{
    const probe_config &cfg = view_of(c).rec->cfg;
    uc_ctl_remove_cache(c->uc, cfg.flash_base, uint64_t{cfg.flash_base} + cfg.flash_size);
    uc_ctl_remove_cache(c->uc, cfg.ram_base, uint64_t{cfg.ram_base} + cfg.ram_size);
}

bool any_watchpoint(const core_debug &d, const core_model &m)
{
    for (size_t i = 0; i < m.dwt_comp; i++)
        if (watches(d.dwt_function[i], m.arch == ARCH_V8M))
            return true;
    return false;
}

void add_fpb_hook(emu_core *c, uint32_t addr)
{
    if (uc_hook_add(c->uc, &c->fpb_hooks[c->fpb_count], UC_HOOK_CODE, reinterpret_cast<void *>(on_fpb), c, addr,
                    addr) == UC_ERR_OK)
        c->fpb_at[c->fpb_count++] = addr;
}

// Revision 1 comparators: a word of the Code region, REPLACE naming the
// halfwords that break (00, a remap, is not modelled: no match). Revision
// 2: BPADDR in bits 31:1 names the halfword, anywhere, BE in bit 0.
void add_fpb_hooks(emu_core *c, uint32_t comp)
{
    if (!(comp & FP_COMP_ENABLE))
        return;
    if (c->model->fpb_rev == 2) {
        add_fpb_hook(c, comp & ~1u);
        return;
    }
    for (uint32_t half = 0; half < 2; half++)
        if ((comp >> FP_COMP_REPLACE_SHIFT) & (1u << half))
            add_fpb_hook(c, (comp & FP_REV1_ADDR_MASK) + 2 * half);
}

// Hooks follow the comparators; translated code is dropped so that blocks
// translated before a hook existed take it up.
void arm_hooks(emu_core *c, const core_debug &d)
{
    for (uint32_t i = 0; i < c->fpb_count; i++)
        uc_hook_del(c->uc, c->fpb_hooks[i]);
    c->fpb_count = 0;
    for (size_t i = 0; (d.fp_ctrl & 1) && i < c->model->fpb_code; i++)
        add_fpb_hooks(c, d.fp_comp[i]);
    bool watch = any_watchpoint(d, *c->model);
    if (watch && !c->watching)
        uc_hook_add(c->uc, &c->watch_hook, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, reinterpret_cast<void *>(on_data), c,
                    1, 0);
    else if (!watch && c->watching)
        uc_hook_del(c->uc, c->watch_hook);
    c->watching = watch;
    drop_translations(c);
}

// ---- registers ------------------------------------------------------------------

constexpr uint32_t CPACR_CP10_CP11 = 0xFu << 20;

// S0-S31 and FPSCR between the record and Unicorn, in one batch.
void fp_registers(emu_core *c, probe_state &st, bool to_emulator)
{
    std::array<int, FP_REGS + 1> ids;
    std::array<void *, FP_REGS + 1> values;
    for (int i = 0; i < FP_REGS; i++) {
        ids[static_cast<size_t>(i)] = UC_ARM_REG_S0 + i;
        values[static_cast<size_t>(i)] = &st.core_regs[REGSEL_S0 + static_cast<uint32_t>(i)];
    }
    ids[FP_REGS] = UC_ARM_REG_FPSCR;
    values[FP_REGS] = &st.core_regs[REGSEL_FPSCR];
    if (to_emulator)
        uc_reg_write_batch(c->uc, ids.data(), values.data(), FP_REGS + 1);
    else
        uc_reg_read_batch(c->uc, ids.data(), values.data(), FP_REGS + 1);
}

void load_registers(emu_core *c, probe_state &st)
{
    // CONTROL and the masks first (unprivileged thread code would keep them
    // from the debugger), then the mode (IPSR): each stack pointer then
    // lands in its own bank, and SP is the one they select.
    uint32_t special = st.core_regs[REGSEL_SPECIAL];
    std::array<uint32_t, UC_SPECIAL.size()> fields;
    for (size_t i = 0; i < UC_SPECIAL.size(); i++) {
        fields[i] = (special >> (24 - 8 * i)) & 0xFF;
        if (UC_SPECIAL[i] == UC_ARM_REG_CONTROL)
            fields[i] = emulator_control(fields[i], c->fpca_held);
    }
    privileged_writes(c, UC_SPECIAL.data(), fields.data(), fields.size(), st.core_regs[REGSEL_XPSR]);
    uc_reg_write(c->uc, UC_ARM_REG_MSP, &st.core_regs[REGSEL_MSP]);
    uc_reg_write(c->uc, UC_ARM_REG_PSP, &st.core_regs[REGSEL_PSP]);
    for (size_t i = 0; i <= REGSEL_PC; i++)
        if (i != REGSEL_SP)
            uc_reg_write(c->uc, UC_REGS[i], &st.core_regs[i]);
    if (!c->load_fp)
        return;
    c->load_fp = false;
    fp_registers(c, st, true);
}

void store_registers(emu_core *c, probe_state &st)
{
    for (size_t i = 0; i < UC_REGS.size(); i++)
        uc_reg_read(c->uc, UC_REGS[i], &st.core_regs[i]);
    uint32_t special = 0;
    for (size_t i = 0; i < UC_SPECIAL.size(); i++) {
        uint32_t field = 0;
        uc_reg_read(c->uc, UC_SPECIAL[i], &field);
        special |= (field & 0xFF) << (24 - 8 * i);
    }
    // CONTROL has nPRIV, SPSEL and FPCA on this core; Unicorn also keeps
    // the Security Extension's SFPA there.
    uint32_t fpca = CONTROL_FPCA << 24;
    uint32_t kept = c->fpca_held && !c->fpca_live ? st.core_regs[REGSEL_SPECIAL] & fpca : special & fpca;
    if (c->model->fpu == FPU_NONE)
        kept = 0;
    // Unicorn's core keeps BASEPRI and FAULTMASK that Armv6-M lacks.
    uint32_t present = c->model->arch == ARCH_V6M ? 0x07000001 : 0x07FFFFFF;
    st.core_regs[REGSEL_SPECIAL] = (special & present & ~fpca) | kept;
    // The floating-point registers change only while CPACR lets code at
    // the FPU (or with FPCA set): reading them after every run of a
    // firmware that never enables it would cost its sleeping turns. Kept
    // current, the record's copy is what the debugger's selectors read.
    bool open = c->fp_was_open || (st.core.exc.cpacr & CPACR_CP10_CP11);
    if (c->model->fpu == FPU_NONE || (!(special & fpca) && !open))
        return;
    fp_registers(c, st, false);
}

// What the debugger or a reset changed since the last turn.
void take_up_changes(emu_core *c, probe_state &st)
{
    core_debug &d = st.core;
    if (c->regs_seq != d.regs_seq) {
        c->load_fp = c->model->fpu != FPU_NONE; // the debugger may have written them
        load_registers(c, st);
        c->regs_seq = d.regs_seq;
    }
    if (c->hooks_seq != d.hooks_seq) {
        arm_hooks(c, d);
        c->hooks_seq = d.hooks_seq;
    }
    for (size_t r = 0; r < d.code_lo.size(); r++) {
        if (d.code_hi[r] > d.code_lo[r])
            uc_ctl_remove_cache(c->uc, d.code_lo[r], d.code_hi[r]);
        d.code_lo[r] = d.code_hi[r] = 0;
    }
}

// ---- outcomes -------------------------------------------------------------------

uint16_t halfword_at(probe_view &v, uint32_t addr)
{
    uint8_t b[2] = {0, 0};
    target_peek(v, addr, b, 2);
    return static_cast<uint16_t>(b[0] | b[1] << 8);
}

// The hook runs before the access: a write's old bytes are kept to be put
// back once the run has stopped.
void on_align(uc_engine *uc, uc_mem_type type, uint64_t address, int size, int64_t, void *user)
{
    if (size <= 1 || address % static_cast<uint64_t>(size) == 0)
        return;
    emu_core *c = static_cast<emu_core *>(user);
    if (type == UC_MEM_WRITE && size <= 8 && c->undo_count < std::size(c->undo)) {
        emu_core::undo_write &u = c->undo[c->undo_count];
        if (uc_mem_read(uc, address, u.bytes, static_cast<size_t>(size)) == UC_ERR_OK) {
            u.addr = static_cast<uint32_t>(address);
            u.size = static_cast<uint32_t>(size);
            c->undo_count++;
        }
    }
    uint32_t pc = 0;
    uc_reg_read(uc, UC_ARM_REG_PC, &pc);
    stop_for(c, EV_UNALIGNED, pc);
}

// The unaligned access faults before it is made: its writes and the
// registers the instruction changed go back.
void undo_unaligned(emu_core *c)
{
    for (uint32_t i = c->undo_count; i-- > 0;)
        uc_mem_write(c->uc, c->undo[i].addr, c->undo[i].bytes, c->undo[i].size);
    for (size_t i = 0; i < KEPT_REGS.size(); i++)
        uc_reg_write(c->uc, KEPT_REGS[i], &c->before_regs[i]);
    c->undo_count = 0;
}

// The hooks follow CCR's traps, CPACR and FPCCR.LSPACT: a division and a
// floating-point instruction are decoded in the code hook, an unaligned
// access needs a memory hook, compiled into translated code.
void take_up_traps(emu_core *c, const core_debug &d)
{
    uint32_t traps = d.exc.ccr & (CCR_DIV_0_TRP | CCR_UNALIGN_TRP);
    if (!exc_fp_open(d.exc))
        traps |= TRAP_FP_ACCESS;
    if (d.exc.fpccr & FPCCR_LSPACT)
        traps |= TRAP_FP_LAZY;
    if (!(d.exc.fpccr & FPCCR_ASPEN) && c->model->fpu != FPU_NONE)
        traps |= TRAP_FPCA_HELD;
    if (c->model->arch == ARCH_V6M)
        traps |= TRAP_THUMB1;
    if (c->model->arch == ARCH_V8M)
        traps |= TRAP_STACK_LIMITS;
    if (c->model->fpu == FPU_DOUBLE)
        traps |= TRAP_FP_DOUBLE;
    c->fp_was_open = (d.exc.cpacr & CPACR_CP10_CP11) != 0;
    bool align = traps & CCR_UNALIGN_TRP, had = c->traps & CCR_UNALIGN_TRP;
    c->traps = traps;
    if (align == had)
        return;
    if (align)
        uc_hook_add(c->uc, &c->align_hook, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, reinterpret_cast<void *>(on_align), c,
                    1, 0);
    else
        uc_hook_del(c->uc, c->align_hook);
    drop_translations(c);
}

// Before a run: Unicorn's FPCA held set while the model's ASPEN is clear
// (again after a run that let it go), the firmware's otherwise.
void take_up_fpca(emu_core *c, const probe_state &st)
{
    bool held = !(st.core.exc.fpccr & FPCCR_ASPEN) && c->model->fpu != FPU_NONE;
    if (held == c->fpca_held && !c->fpca_live)
        return;
    c->fpca_held = held;
    c->fpca_live = false;
    control_write(c, emulator_control(st.core_regs[REGSEL_SPECIAL] >> 24, held));
}

// The DEMCR vector catch that halts on entry to the handler of n, for a
// fault with these CFSR and HFSR bits.
uint32_t catch_bit(int n, uint32_t cfsr)
{
    switch (n) {
    case EXC_HARDFAULT:
        return DEMCR_VC_HARDERR;
    case EXC_BUSFAULT:
        return 1u << 8; // VC_BUSERR
    case EXC_MEMMANAGE:
        return 1u << 4; // VC_MMERR
    case EXC_USAGEFAULT:
        return cfsr & (CFSR_UNALIGNED | CFSR_DIVBYZERO) ? 1u << 6 // VC_CHKERR
               : cfsr & CFSR_NOCP                       ? 1u << 5 // VC_NOCPERR
                                                        : 1u << 7;                      // VC_STATERR
    default:
        return 0;
    }
}

// Registers after an exception entry or return go back to the emulator;
// a vector catch halts on the handler's first instruction.
void entered(emu_core *c, probe_state &st, int rc, uint32_t catch_cfsr)
{
    if (rc != EXC_DONE)
        return; // locked up
    load_registers(c, st);
    int n = static_cast<int>(st.core_regs[REGSEL_XPSR] & 0x1FF);
    if (catch_cfsr && core_debug_enabled(st) && (st.demcr & catch_bit(n, catch_cfsr))) {
        st.core.run = CORE_HALTED;
        st.core.dfsr |= DFSR_VCATCH;
    }
}

// A fault of the instruction at pc: the configurable fault n with these
// status bits, escalated as the architecture escalates it.
void take_fault(emu_core *c, probe_view &v, int n, uint32_t cfsr, uint32_t pc)
{
    probe_state &st = v.rec->st;
    st.core.cfsr |= cfsr;
    entered(c, st, exc_raise(v, n, HFSR_FORCED, pc), cfsr);
}

// A debug event halts the core; with halting debug off it escalates to a
// HardFault (HFSR.DEBUGEVT).
void debug_event(emu_core *c, probe_view &v, uint32_t dfsr_bit, uint32_t pc)
{
    probe_state &st = v.rec->st;
    core_debug &d = st.core;
    if (core_debug_enabled(st)) {
        d.run = CORE_HALTED;
        d.dfsr |= dfsr_bit;
    } else {
        entered(c, st, exc_raise(v, EXC_HARDFAULT, HFSR_DEBUGEVT, pc), CFSR_UNDEFINSTR);
    }
}

// uc_emu_start's error: where the fetch, decode or access failed.
void fault(emu_core *c, probe_view &v, uc_err err)
{
    probe_state &st = v.rec->st;
    uint32_t pc = st.core_regs[REGSEL_PC];
    if (err == UC_ERR_FETCH_UNMAPPED || err == UC_ERR_FETCH_PROT) {
        if (pc >= XN_REGION)
            take_fault(c, v, EXC_MEMMANAGE, CFSR_IACCVIOL, pc);
        else
            take_fault(c, v, EXC_BUSFAULT, CFSR_IBUSERR, pc);
    } else if (err == UC_ERR_INSN_INVALID || err == UC_ERR_EXCEPTION) {
        bool thumb = (st.core_regs[REGSEL_XPSR] & XPSR_THUMB) != 0;
        take_fault(c, v, EXC_USAGEFAULT, thumb ? CFSR_UNDEFINSTR : CFSR_INVSTATE, pc);
    } else {
        st.core.bfar = c->bad_address;
        take_fault(c, v, EXC_BUSFAULT, CFSR_PRECISERR | CFSR_BFARVALID, pc);
    }
}

// Runs from pc until the budget is spent, an event or a fault.
uc_err run_from(emu_core *c, uint32_t pc, uint32_t budget)
{
    c->budget = budget;
    c->executed = 0;
    c->spent = false;
    return uc_emu_start(c->uc, pc | 1, UNTIL_NEVER, 0, 0);
}

// The instruction that hit a watchpoint has made its access but not
// retired: it runs once more with the watchpoints quiet, so the core halts
// after it, as the imprecise data watchpoint does.
void finish_watched(emu_core *c)
{
    uint32_t executed = c->executed;
    c->watch_quiet = true;
    run_from(c, c->event_pc, 1);
    c->watch_quiet = false;
    c->executed = executed;
}

uint32_t fault_of_interrupt(uint32_t intno)
{
    switch (intno) {
    case INTR_NOCP:
        return CFSR_NOCP;
    case INTR_INVSTATE:
        return CFSR_INVSTATE;
    case INTR_UNALIGNED:
        return CFSR_UNALIGNED;
    default:
        return CFSR_UNDEFINSTR;
    }
}

// A branch to an EXC_RETURN value: the exception return in Handler mode,
// a branch into the never-executable system region in Thread mode.
void exception_exit(emu_core *c, probe_view &v)
{
    probe_state &st = v.rec->st;
    uint32_t value = c->event_pc | 1;
    if ((st.core_regs[REGSEL_XPSR] & 0x1FF) == 0) {
        st.core_regs[REGSEL_PC] = c->event_pc;
        take_fault(c, v, EXC_MEMMANAGE, CFSR_IACCVIOL, c->event_pc);
        return;
    }
    // EXC_RETURN bit 4 clear: the extended frame, whose S0-S15 and FPSCR go
    // back unless they never left (LSPACT).
    c->load_fp = !(value & 0x10) && !(st.core.exc.fpccr & FPCCR_LSPACT);
    entered(c, st, exc_return(v, value), CFSR_INVPC);
}

// ---- instructions carried out here -------------------------------------------

// ITSTATE, kept in xPSR bits 15:10 (its bits 7:2) and 26:25 (1:0).
uint32_t itstate_of(uint32_t xpsr)
{
    return ((xpsr >> 8) & 0xFC) | ((xpsr >> 25) & 3);
}

// Whether an instruction in an IT block runs: its condition against the
// flags; outside one, always.
bool condition_passed(uint32_t xpsr)
{
    uint32_t it = itstate_of(xpsr);
    if ((it & 0xF) == 0)
        return true;
    uint32_t cond = it >> 4;
    bool n = xpsr >> 31 & 1, z = xpsr >> 30 & 1, c = xpsr >> 29 & 1, v = xpsr >> 28 & 1;
    const bool base[8] = {z, c, n, v, c && !z, n == v, !z && n == v, true};
    bool passed = base[cond >> 1];
    return (cond & 1) && cond != 0xF ? !passed : passed;
}

// xPSR after an instruction: ITSTATE moved on to the next one's.
uint32_t it_advanced(uint32_t xpsr)
{
    uint32_t it = itstate_of(xpsr);
    it = (it & 7) == 0 ? 0 : (it & 0xE0) | ((it << 1) & 0x1F);
    return (xpsr & ~0x0600FC00u) | (it & 0xFC) << 8 | (it & 3) << 25;
}

// The 32-bit instruction at the event's PC, carried out here, retires.
void retire_here(emu_core *c, probe_state &st)
{
    st.core_regs[REGSEL_PC] = c->event_pc + 4;
    uint32_t xpsr = it_advanced(st.core_regs[REGSEL_XPSR]);
    if (xpsr != st.core_regs[REGSEL_XPSR]) {
        st.core_regs[REGSEL_XPSR] = xpsr;
        uc_reg_write(c->uc, UC_ARM_REG_XPSR, &xpsr);
    }
    st.core.instructions++;
    st.core.cycles++;
    st.core.retired = true;
}

// MRS and MSR of MSPLIM and PSPLIM, carried out on the record's copies,
// which the debugger's selectors read and write: Unicorn's own limits stay
// 0, out of reach of its API, so neither it nor the model checks the stack
// against them. Unprivileged code reads 0 and writes nothing; SP and PC as
// the register are unpredictable, and left alone.
void stack_limit_access(emu_core *c, probe_state &st)
{
    const wide_insn in = wide_instruction(c, c->event_pc, 4);
    if (!accesses_stack_limit(in))
        return;
    uint32_t first = in.first, second = in.second;
    if (!condition_passed(st.core_regs[REGSEL_XPSR])) {
        retire_here(c, st);
        return;
    }
    uint32_t sel = (second & 0xFF) == SYSM_MSPLIM ? REGSEL_MSPLIM : REGSEL_PSPLIM;
    bool privileged = running_privileged(c->uc);
    uint32_t r = first == OP_MRS ? (second >> 8) & 0xF : first & 0xF;
    if (r == REGSEL_SP || r == REGSEL_PC)
        r = NO_ADDRESS;
    if (first == OP_MRS && r != NO_ADDRESS) {
        st.core_regs[r] = privileged ? st.core_regs[sel] : 0;
        uc_reg_write(c->uc, UC_REGS[r], &st.core_regs[r]);
    } else if (privileged && r != NO_ADDRESS) {
        st.core_regs[sel] = st.core_regs[r] & ~7u;
    }
    retire_here(c, st);
}

// A double-precision operation on the FPU's registers as the run left
// them; CONTROL.FPCA set as the instruction sets it (with FPCCR.ASPEN).
void fp_double_run(emu_core *c, probe_state &st)
{
    const wide_insn in = wide_instruction(c, c->event_pc, 4);
    if (!in.wide)
        return;
    if (condition_passed(st.core_regs[REGSEL_XPSR])) {
        fp_registers(c, st, false);
        fp_file f;
        std::memcpy(f.s, &st.core_regs[REGSEL_S0], sizeof f.s);
        f.fpscr = st.core_regs[REGSEL_FPSCR];
        fp_double_execute(in.first, in.second, &f);
        std::memcpy(&st.core_regs[REGSEL_S0], f.s, sizeof f.s);
        st.core_regs[REGSEL_FPSCR] = f.fpscr;
        fp_registers(c, st, true);
        uint32_t fpca = CONTROL_FPCA << 24;
        if ((st.core.exc.fpccr & FPCCR_ASPEN) && !(st.core_regs[REGSEL_SPECIAL] & fpca)) {
            st.core_regs[REGSEL_SPECIAL] |= fpca;
            control_write(c, emulator_control(st.core_regs[REGSEL_SPECIAL] >> 24, c->fpca_held));
        }
    }
    retire_here(c, st);
}

void apply_event(emu_core *c, probe_view &v)
{
    probe_state &st = v.rec->st;
    switch (c->event) {
    case EV_BKPT:
        // The PC may stand on the BKPT or just past it.
        if ((halfword_at(v, c->event_pc) & 0xFF00) != 0xBE00)
            c->event_pc -= 2;
        st.core_regs[REGSEL_PC] = c->event_pc;
        debug_event(c, v, DFSR_BKPT, c->event_pc);
        break;
    case EV_FPB:
        st.core_regs[REGSEL_PC] = c->event_pc;
        debug_event(c, v, DFSR_BKPT, c->event_pc);
        break;
    case EV_WATCH:
        debug_event(c, v, DFSR_DWTTRAP, st.core_regs[REGSEL_PC]);
        break;
    case EV_SVC:
        entered(c, st, exc_raise(v, EXC_SVCALL, HFSR_FORCED, st.core_regs[REGSEL_PC]), 0);
        break;
    case EV_EXC_RETURN:
        exception_exit(c, v);
        break;
    case EV_DUE:
        break; // taken before the next run
    case EV_STACK_LIMIT:
        stack_limit_access(c, st);
        break;
    case EV_FP_DOUBLE:
        fp_double_run(c, st);
        break;
    case EV_LSPERR:
        st.core_regs[REGSEL_PC] = c->event_pc;
        take_fault(c, v, EXC_BUSFAULT, CFSR_LSPERR, c->event_pc);
        break;
    case EV_DIVBYZERO:
    case EV_UNALIGNED:
    case EV_NOCP:
    case EV_UNDEFINED:
    case EV_EXCEPTION: {
        uint32_t cfsr = c->event == EV_DIVBYZERO   ? CFSR_DIVBYZERO
                        : c->event == EV_UNALIGNED ? CFSR_UNALIGNED
                        : c->event == EV_NOCP      ? CFSR_NOCP
                        : c->event == EV_UNDEFINED ? CFSR_UNDEFINSTR
                                                   : fault_of_interrupt(c->intno);
        st.core_regs[REGSEL_PC] = c->event_pc;
        take_fault(c, v, EXC_USAGEFAULT, cfsr, c->event_pc);
        break;
    }
    default:
        break;
    }
}

// True when the last instruction was a WFI or WFE, and done.
bool ended_waiting(emu_core *c, probe_view &v, uint32_t pc)
{
    if (c->executed == 0 || c->last_size != 2 || pc != c->last_pc + 2)
        return false;
    uint16_t op = halfword_at(v, c->last_pc);
    return op == OP_WFI || op == OP_WFE;
}

// Instructions of a run that retired: the hook also counted one that
// faulted, stopped at a breakpoint or hit an unaligned access.
uint32_t retired_of(emu_core *c, uc_err err)
{
    bool last_undone = err != UC_ERR_OK || c->event == EV_FPB || c->event == EV_EXCEPTION || c->event == EV_UNALIGNED;
    return last_undone && c->executed ? c->executed - 1 : c->executed;
}

// Takes what is due before the next instruction; true when the core
// entered a handler (or locked up trying).
bool take_due(emu_core *c, probe_view &v)
{
    probe_state &st = v.rec->st;
    int n = exc_due(st);
    if (n == 0)
        return false;
    entered(c, st, exc_enter(v, n, st.core_regs[REGSEL_PC]), 0);
    return true;
}

// What a run stops short of: the budget, the SysTick's next wrap.
uint32_t run_length(const core_debug &d, uint32_t left)
{
    if (!(d.syst_csr & 2)) // TICKINT
        return left;
    uint64_t to_wrap = systick_cycles_left(d, d.cycles);
    return to_wrap < left ? static_cast<uint32_t>(to_wrap) : left;
}

// One run of the emulator from the registers of the record; false when the
// turn ends with it (a reset by the firmware).
bool run_once(emu_core *c, probe_view &v, uint32_t count, uint64_t now_us)
{
    probe_state &st = v.rec->st;
    core_debug &d = st.core;
    uint32_t start = st.core_regs[REGSEL_PC];
    c->event = EV_NONE;
    c->check_due = false;
    c->exc_seq = d.exc.seq;
    c->watch_masks = exc_masked(st);
    c->masks = st.core_regs[REGSEL_SPECIAL] & 0x01FF01;
    take_up_traps(c, d);
    take_up_fpca(c, st);
    uc_err err = run_from(c, start, count);
    // Inside an IT block, an instruction the code hook stopped before (to
    // carry it out here) still ends the run as undefined: the stop stands.
    bool carried_here = c->event == EV_FP_DOUBLE || c->event == EV_STACK_LIMIT;
    if (err == UC_ERR_INSN_INVALID && carried_here)
        err = UC_ERR_OK;
    d.slice_executed = 0;
    if (d.regs_seq != c->regs_seq)
        return false; // the firmware reset the core: the next turn takes up its registers
    if (c->event == EV_WATCH)
        finish_watched(c);
    if (c->event == EV_UNALIGNED)
        undo_unaligned(c);
    store_registers(c, st);
    uint32_t retired = retired_of(c, err);
    d.instructions += retired;
    d.cycles += retired;
    d.retired = d.retired || retired > 0;
    if (err != UC_ERR_OK)
        fault(c, v, err);
    else if (c->event != EV_NONE)
        apply_event(c, v);
    else if (d.run == CORE_RUNNING && ended_waiting(c, v, st.core_regs[REGSEL_PC]) && !exc_wakes(st)) {
        d.run = CORE_SLEEPING;
        d.sleep_us = now_us;
    }
    return true;
}

// A turn: runs of the emulator with the exceptions taken between them. A
// step takes one exception entry or one instruction (with what it raised).
void run_slice(emu_core *c, probe_view &v, uint32_t count, uint64_t now_us)
{
    probe_state &st = v.rec->st;
    core_debug &d = st.core;
    bool stepping = d.run == CORE_STEPPING;
    c->skip_fpb_at = d.skip_fpb ? st.core_regs[REGSEL_PC] : NO_ADDRESS;
    d.skip_fpb = 0;
    uint32_t left = count;
    for (int runs = 0; left > 0 && runs < RUNS_PER_TURN; runs++) {
        systick_take_up(d, d.cycles);
        if (take_due(c, v) && stepping) {
            if (d.run == CORE_STEPPING)
                debug_event(c, v, DFSR_HALTED, 0);
            return;
        }
        if (d.run != CORE_RUNNING && d.run != CORE_STEPPING)
            return;
        if (!(st.core_regs[REGSEL_XPSR] & XPSR_THUMB)) { // a vector without bit 0
            take_fault(c, v, EXC_USAGEFAULT, CFSR_INVSTATE, st.core_regs[REGSEL_PC]);
            continue;
        }
        if (!run_once(c, v, stepping ? 1 : run_length(d, left), now_us))
            return;
        left -= c->executed < left ? c->executed : left;
        if (stepping || (d.run != CORE_RUNNING))
            break;
    }
    if (d.run == CORE_STEPPING)
        debug_event(c, v, DFSR_HALTED, 0);
}

// When the SysTick next pends, or UINT64_MAX when nothing but the
// debugger or an interrupt it pends wakes the core.
uint64_t wake_time(const core_debug &d, uint64_t now_us)
{
    uint64_t left = systick_cycles_left(d, d.cycles);
    if (!(d.syst_csr & 2) || left == UINT64_MAX)
        return UINT64_MAX;
    constexpr uint64_t per_us = CORE_HZ / 1000000u;
    return now_us + (left + per_us - 1) / per_us;
}

void step_done(core_debug &d)
{
    __atomic_add_fetch(&d.done_seq, 1, __ATOMIC_SEQ_CST);
    bus_futex_wake(&d.done_seq);
}

} // namespace

emu_core *emu_core_open(probe_bus &bus, uint32_t index)
{
    emu_core *c = new emu_core{};
    c->bus = &bus;
    c->index = index;
    if (uc_open(UC_ARCH_ARM, static_cast<uc_mode>(UC_MODE_THUMB | UC_MODE_MCLASS), &c->uc) != UC_ERR_OK) {
        delete c;
        return nullptr;
    }
    probe_view v = bus_view(bus, index);
    const probe_config &cfg = v.rec->cfg;
    c->model = &core_model_of(v.rec->st.core.exc.model);
    // Unicorn 2.0.1 runs its Cortex-M33 in M-class mode whatever model it
    // is asked for (Thumb-2, single precision only): what the cores differ
    // in, the code hook and the system space model.
    uc_ctl_set_cpu_model(c->uc, UC_CPU_MODELS[v.rec->st.core.exc.model < CORE_KINDS ? v.rec->st.core.exc.model : 0]);
    // Stores to flash fault: only the flash controller changes it.
    map_region(c, cfg.flash_base, cfg.flash_size, v.flash, UC_PROT_READ | UC_PROT_EXEC);
    map_region(c, cfg.ram_base, cfg.ram_size, v.ram, UC_PROT_ALL);
    uc_mmio_map(c->uc, PPB_BASE, PPB_END - PPB_BASE, scs_load, c, scs_store, c);
    uc_hook h;
    uc_hook_add(c->uc, &h, UC_HOOK_INTR, reinterpret_cast<void *>(on_interrupt), c, 1, 0);
    uc_hook_add(c->uc, &h, UC_HOOK_CODE, reinterpret_cast<void *>(on_code), c, 1, 0);
    uc_hook_add(c->uc, &h, UC_HOOK_MEM_UNMAPPED | UC_HOOK_MEM_PROT, reinterpret_cast<void *>(on_unmapped), c, 1, 0);
    c->regs_seq = v.rec->st.core.regs_seq - 1; // registers and hooks are taken up on the first turn
    c->hooks_seq = v.rec->st.core.hooks_seq - 1;
    return c;
}

void emu_core_close(emu_core *c)
{
    if (c == nullptr)
        return;
    uc_close(c->uc);
    delete c;
}

core_turn emu_core_turn(emu_core *c, uint32_t budget, uint64_t now_us)
{
    probe_view v = view_of(c);
    probe_state &st = v.rec->st;
    core_debug &d = st.core;
    take_up_changes(c, st);
    if (st.reset_held || d.run == CORE_HALTED || d.run == CORE_LOCKED)
        return {TURN_IDLE, 0};
    if (d.run == CORE_SLEEPING) {
        // The clock runs on in sleep: the SysTick counts the time asleep,
        // up to the wrap that wakes the core (one late turn loses no tick).
        uint64_t asleep_to = core_cycles(d, now_us);
        uint64_t to_wrap = systick_cycles_left(d, d.cycles);
        if ((d.syst_csr & 2) && to_wrap != UINT64_MAX && d.cycles + to_wrap < asleep_to)
            asleep_to = d.cycles + to_wrap;
        d.cycles = asleep_to;
        d.sleep_us = now_us;
        systick_take_up(d, d.cycles);
        if (!exc_wakes(st))
            return {TURN_SLEEP, wake_time(d, now_us)};
        d.run = CORE_RUNNING;
    }
    bool stepping = d.run == CORE_STEPPING;
    run_slice(c, v, stepping ? 1 : budget, now_us);
    if (stepping)
        step_done(d);
    return {TURN_RAN, 0};
}

void emu_core_serve(emu_core *c)
{
    probe_bus &bus = *c->bus;
    core_debug &d = view_of(c).rec->st.core;
    bus_set_executor_thread();
    uint64_t next_us = scs_now_us();
    for (;;) {
        bus_lock(bus);
        d.executor = 1;
        d.parked = 0;
        uint64_t now = scs_now_us();
        core_turn t = emu_core_turn(c, SLICE, now);
        uint32_t seen = d.wake_seq;
        d.parked = t.kind != TURN_RAN;
        bool paced = t.kind == TURN_RAN && d.run == CORE_RUNNING;
        bus_unlock(bus);
        // A core that stopped in its turn (a breakpoint, a step, a fault, a
        // wait) takes up its next state at once rather than at the next
        // turn: the debugger's resume then starts it as a real core
        // starts, with a fresh budget, instead of after the rest of the tick.
        if (paced) {
            // A budget of SLICE instructions a turn. A core that fell behind
            // (a late wake-up) catches up at most CATCH_UP_US, in turns
            // back to back, each of which lets the bus lock go.
            next_us = next_us + TURN_US + CATCH_UP_US < now ? now - CATCH_UP_US : next_us + TURN_US;
            timespec ts{static_cast<time_t>(next_us / 1000000u), static_cast<long>(next_us % 1000000u) * 1000L};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
            continue;
        }
        uint64_t wait_us = t.kind == TURN_SLEEP && t.wake_us > now ? t.wake_us - now : 0;
        int wait_ms = t.kind == TURN_IDLE || wait_us > IDLE_WAIT_MS * 1000u ? IDLE_WAIT_MS
                                                                            : static_cast<int>((wait_us + 999) / 1000);
        if (wait_ms > 0)
            bus_futex_wait(&d.wake_seq, seen, wait_ms);
        next_us = scs_now_us();
    }
}

} // namespace vprobe
