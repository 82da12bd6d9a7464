// Exception model of the emulated Cortex-M4: priorities with 4 implemented
// bits, 32 external interrupts, the basic and the extended frame,
// EXC_RETURN values 0xFFFFFFF1, F9 and FD (E1, E9 and ED with the extended one).
#include "core_exceptions.h"

#include <algorithm>

#include "armv7m_debug.h"

namespace vprobe
{

using namespace armv7m;

namespace
{

constexpr uint32_t SYST_ENABLE = 1u << 0;
constexpr uint32_t SYST_TICKINT = 1u << 1;
constexpr uint32_t SYST_CLKSOURCE = 1u << 2; // the core clock: with no reference clock, it reads 1, writes ignored
constexpr uint32_t SYST_COUNTFLAG = 1u << 16;
constexpr uint32_t SYST_NOREF = 1u << 31; // no reference clock: the core clock only
constexpr uint32_t ICSR_NMIPENDSET = 1u << 31;
constexpr uint32_t ICSR_PENDSVSET = 1u << 28;
constexpr uint32_t ICSR_PENDSVCLR = 1u << 27;
constexpr uint32_t ICSR_PENDSTSET = 1u << 26;
constexpr uint32_t ICSR_PENDSTCLR = 1u << 25;
constexpr uint32_t ICSR_ISRPENDING = 1u << 22;
constexpr uint32_t ICSR_RETTOBASE = 1u << 11;
constexpr uint32_t CCR_NONBASETHRDENA = 1u << 0;
constexpr uint32_t CCR_WRITABLE = 0x31B;     // NONBASETHRDENA USERSETMPEND UNALIGN_TRP DIV_0_TRP BFHFNMIGN STKALIGN
constexpr uint32_t SHCSR_ENABLES = 7u << 16; // MEMFAULTENA BUSFAULTENA USGFAULTENA
constexpr uint32_t IPSR_MASK = 0x1FF;
constexpr uint32_t XPSR_ALIGNED = 1u << 9; // the frame has a padding word above it
constexpr uint32_t CONTROL_SPSEL = 1u << 1;
constexpr uint32_t FRAME_BYTES = 0x20;
constexpr uint32_t FP_FRAME_BYTES = 0x68; // and S0-S15, FPSCR, a reserved word
constexpr uint32_t FP_FRAME_WORDS = FP_FRAME_BYTES / 4;
constexpr uint32_t EXC_RETURN_BASIC = 1u << 4; // clear: the frame is extended
constexpr int THREAD_PRIORITY = 256;
constexpr uint32_t FPCCR_RESET = FPCCR_ASPEN | FPCCR_LSPEN;
constexpr uint32_t FPCCR_WRITABLE = FPCCR_ASPEN | FPCCR_LSPEN | FPCCR_LSPACT;
// FPCCR's account of the code whose floating-point state an entry
// deferred: its privilege and mode, and the faults its priority allowed
// then (the lazy store's faults belong to that code).
constexpr uint32_t FPCCR_USER = 1u << 1;
constexpr uint32_t FPCCR_THREAD = 1u << 3;
constexpr uint32_t FPCCR_HFRDY = 1u << 4;
constexpr uint32_t FPCCR_MMRDY = 1u << 5;
constexpr uint32_t FPCCR_BFRDY = 1u << 6;
constexpr uint32_t FPCCR_MONRDY = 1u << 8;
constexpr uint32_t DEMCR_MON_EN = 1u << 16;
constexpr int EXC_DEBUGMONITOR = 12;
constexpr uint32_t CPACR_FP_FIELDS = 0xFu << 20; // CP10 and CP11
constexpr uint32_t CPACR_PRIVILEGED = 1;         // a field's value: privileged code only
constexpr uint32_t CONTROL_NPRIV = 1u << 0;
// Armv6-M's CCR is fixed: 8-byte stack alignment, and every unaligned
// access faults.
constexpr uint32_t CCR_V6M = CCR_STKALIGN | CCR_UNALIGN_TRP;
constexpr uint32_t BASEPRI_BITS = 0xF0;

const core_model &model_of(const exc_state &e)
{
    return core_model_of(e.model);
}

bool is_v6m(const exc_state &e)
{
    return model_of(e).arch == ARCH_V6M;
}

bool has_fpu(const exc_state &e)
{
    return model_of(e).fpu != FPU_NONE;
}

// SHCSR's active (and pended) bits, by exception number.
struct shcsr_bit {
    int n;
    uint32_t active, pended;
};
constexpr shcsr_bit SHCSR_BITS[] = {
    {EXC_MEMMANAGE, 1u << 0, 1u << 13},
    {EXC_BUSFAULT, 1u << 1, 1u << 14},
    {EXC_USAGEFAULT, 1u << 3, 1u << 12},
    {EXC_SVCALL, 1u << 7, 1u << 15},
    {12, 1u << 8, 0},
    {EXC_PENDSV, 1u << 10, 0},
    {EXC_SYSTICK, 1u << 11, 0},
};

uint64_t bit(int n)
{
    return uint64_t{1} << n;
}

// ---- priorities ---------------------------------------------------------------

int priority_of(const exc_state &e, int n)
{
    return n <= EXC_HARDFAULT ? n - 4 : e.priority[static_cast<size_t>(n)];
}

// The group priority: the bits above PRIGROUP's subpriority field.
int group_of(const exc_state &e, int p)
{
    if (p < 0)
        return p;
    return p & (0xFF << (e.prigroup + 1)) & 0xFF;
}

uint32_t special_word(const probe_state &st)
{
    return st.core_regs[REGSEL_SPECIAL];
}

int active_priority(const exc_state &e)
{
    int p = THREAD_PRIORITY;
    for (int n = 1; n < static_cast<int>(EXCEPTIONS); n++)
        if ((e.active & bit(n)) && group_of(e, priority_of(e, n)) < p)
            p = group_of(e, priority_of(e, n));
    return p;
}

// The boost of the masks alone: BASEPRI's group, 0 for PRIMASK (where it
// counts), -1 for FAULTMASK.
int mask_priority(const probe_state &st, bool with_primask)
{
    uint32_t special = special_word(st);
    int p = THREAD_PRIORITY;
    uint32_t basepri = (special >> 8) & BASEPRI_BITS;
    if (basepri != 0)
        p = group_of(st.core.exc, static_cast<int>(basepri));
    if (with_primask && (special & 1) && p > 0)
        p = 0;
    if (((special >> 16) & 1) && p > -1)
        p = -1;
    return p;
}

// The execution priority: the active exceptions' and the boost of the masks.
int execution_priority(const probe_state &st)
{
    return std::min(active_priority(st.core.exc), mask_priority(st, true));
}

bool maskable(int n)
{
    return n == EXC_PENDSV || n == EXC_SYSTICK || n >= EXC_IRQ0;
}

// The pending exception that goes first: group priority, then
// subpriority, then the lower number.
int pending_first(const probe_state &st)
{
    const exc_state &e = st.core.exc;
    bool mask_ints = (st.dhcsr_ctrl & (C_DEBUGEN | C_MASKINTS)) == (C_DEBUGEN | C_MASKINTS);
    int best = 0;
    for (int n = EXC_NMI; n < static_cast<int>(EXCEPTIONS); n++) {
        if (!(e.pending & bit(n)) || (mask_ints && maskable(n)))
            continue;
        if (n >= EXC_IRQ0 && !(e.irq_enabled & (1u << (n - EXC_IRQ0))))
            continue;
        int g = group_of(e, priority_of(e, n)), bg = best ? group_of(e, priority_of(e, best)) : 0;
        if (!best || g < bg || (g == bg && priority_of(e, n) < priority_of(e, best)))
            best = n;
    }
    return best;
}

int group_priority(const probe_state &st, int n)
{
    return group_of(st.core.exc, priority_of(st.core.exc, n));
}

// ---- the frame ----------------------------------------------------------------

bool in_ram(const probe_config &c, uint32_t addr, uint32_t len)
{
    return addr >= c.ram_base && uint64_t{addr} + len <= uint64_t{c.ram_base} + c.ram_size;
}

bool push_frame(probe_view &v, uint32_t at, const uint32_t *words, uint32_t n)
{
    if (!in_ram(v.rec->cfg, at, 4 * n))
        return false;
    uint8_t bytes[FP_FRAME_BYTES];
    for (size_t i = 0; i < n; i++)
        for (size_t b = 0; b < 4; b++)
            bytes[4 * i + b] = static_cast<uint8_t>(words[i] >> (8 * b));
    return target_poke(v, at, bytes, 4 * n) == 0;
}

bool read_words(probe_view &v, uint32_t at, uint32_t *words, uint32_t n)
{
    uint8_t bytes[FP_FRAME_BYTES];
    if (n > FP_FRAME_WORDS || at > 0xFFFFFFFFu - n * 4 || target_peek(v, at, bytes, n * 4) != 0)
        return false;
    const probe_config &c = v.rec->cfg;
    bool mapped =
        in_ram(c, at, n * 4) || (at >= c.flash_base && uint64_t{at} + n * 4 <= uint64_t{c.flash_base} + c.flash_size);
    for (uint32_t i = 0; i < n; i++)
        words[i] = bytes[4 * i] | bytes[4 * i + 1] << 8 | bytes[4 * i + 2] << 16 |
                   static_cast<uint32_t>(bytes[4 * i + 3]) << 24;
    return mapped;
}

int lock_up(probe_state &st)
{
    st.core.run = CORE_LOCKED;
    return EXC_LOCKED;
}

// The handler of n starts: vector, LR, IPSR, main stack.
int start_handler(probe_view &v, int n, uint32_t exc_return_value)
{
    probe_state &st = v.rec->st;
    exc_state &e = st.core.exc;
    uint32_t vector = 0;
    if (!read_words(v, e.vtor + 4u * static_cast<uint32_t>(n), &vector, 1)) {
        st.core.hfsr |= HFSR_VECTTBL;
        return lock_up(st);
    }
    auto &r = st.core_regs;
    r[REGSEL_LR] = exc_return_value;
    r[REGSEL_PC] = vector & ~1u;
    r[REGSEL_XPSR] = (vector & 1 ? XPSR_THUMB : 0) | static_cast<uint32_t>(n);
    r[REGSEL_SPECIAL] &= ~((CONTROL_SPSEL | 4u) << 24); // SPSEL and FPCA clear
    r[REGSEL_SP] = r[REGSEL_MSP];
    e.active |= bit(n);
    e.pending &= ~bit(n);
    return EXC_DONE;
}

void deactivate(probe_state &st, int n)
{
    st.core.exc.active &= ~bit(n);
    if (n != EXC_NMI)
        st.core_regs[REGSEL_SPECIAL] &= ~(0xFFu << 16); // FAULTMASK clears on return
}

int invalid_return(probe_view &v, uint32_t exc_return_value)
{
    v.rec->st.core.cfsr |= CFSR_INVPC;
    return exc_raise(v, EXC_USAGEFAULT, HFSR_FORCED, exc_return_value);
}

// Without an FPU there is no extended frame: EXC_RETURN bit 4 is set.
bool return_value_valid(const exc_state &e, uint32_t value)
{
    uint32_t low = value & 0xF;
    bool frame_ok = has_fpu(e) || (value & EXC_RETURN_BASIC);
    return (value >> 5) == 0x07FFFFFF && (low == 1 || low == 9 || low == 0xD) && frame_ok;
}

// S0-S15 and FPSCR come back from the frame, unless its floating-point
// part was never written: then they still hold what it would have.
void unstack_fp(probe_state &st, const uint32_t *frame_words)
{
    exc_state &e = st.core.exc;
    if (e.fpccr & FPCCR_LSPACT) {
        e.fpccr &= ~FPCCR_LSPACT;
        return;
    }
    for (uint32_t i = 0; i < 16; i++)
        st.core_regs[REGSEL_S0 + i] = frame_words[8 + i];
    st.core_regs[REGSEL_FPSCR] = frame_words[24];
}

int unstack(probe_view &v, uint32_t value)
{
    probe_state &st = v.rec->st;
    auto &r = st.core_regs;
    bool psp = (value & 4) != 0, to_thread = (value & 8) != 0, fp = !(value & EXC_RETURN_BASIC);
    uint32_t frame = psp ? r[REGSEL_PSP] : r[REGSEL_MSP];
    uint32_t w[FP_FRAME_WORDS];
    if (!read_words(v, frame, w, fp ? FP_FRAME_WORDS : 8)) {
        st.core.cfsr |= CFSR_UNSTKERR;
        return lock_up(st);
    }
    for (uint32_t i = 0; i < 4; i++)
        r[i] = w[i];
    r[12] = w[4];
    r[REGSEL_LR] = w[5];
    r[REGSEL_PC] = w[6] & ~1u;
    if (fp)
        unstack_fp(st, w);
    bool padded = (w[7] & XPSR_ALIGNED) && (st.core.exc.ccr & CCR_STKALIGN);
    uint32_t sp = (frame + (fp ? FP_FRAME_BYTES : FRAME_BYTES)) | (padded ? 4u : 0u);
    r[psp ? REGSEL_PSP : REGSEL_MSP] = sp;
    r[REGSEL_XPSR] = w[7] & ~XPSR_ALIGNED;
    uint32_t control = (r[REGSEL_SPECIAL] >> 24) & ~(CONTROL_SPSEL | CONTROL_FPCA);
    if (to_thread && psp)
        control |= CONTROL_SPSEL;
    if (fp)
        control |= CONTROL_FPCA;
    r[REGSEL_SPECIAL] = (r[REGSEL_SPECIAL] & 0x00FFFFFF) | control << 24;
    r[REGSEL_SP] = to_thread && psp ? r[REGSEL_PSP] : r[REGSEL_MSP];
    return EXC_DONE;
}

// ---- registers --------------------------------------------------------------------

uint32_t icsr_read(const probe_state &st)
{
    const exc_state &e = st.core.exc;
    uint32_t ipsr = st.core_regs[REGSEL_XPSR] & IPSR_MASK;
    // VECTPENDING leaves out what BASEPRI or FAULTMASK hold back, not what
    // PRIMASK does.
    int n = pending_first(st);
    bool shown = n != 0 && group_priority(st, n) < mask_priority(st, false);
    uint32_t v = ipsr | static_cast<uint32_t>(shown ? n : 0) << 12;
    if (e.pending & bit(EXC_NMI))
        v |= ICSR_NMIPENDSET;
    if (e.pending & bit(EXC_PENDSV))
        v |= ICSR_PENDSVSET;
    if (e.pending & bit(EXC_SYSTICK))
        v |= ICSR_PENDSTSET;
    if (e.pending >> EXC_IRQ0)
        v |= ICSR_ISRPENDING;
    if (ipsr != 0 && (e.active & ~bit(static_cast<int>(ipsr))) == 0)
        v |= ICSR_RETTOBASE;
    return v;
}

void icsr_write(exc_state &e, uint32_t value)
{
    if (value & ICSR_NMIPENDSET)
        e.pending |= bit(EXC_NMI);
    if (value & ICSR_PENDSVSET)
        e.pending |= bit(EXC_PENDSV);
    else if (value & ICSR_PENDSVCLR)
        e.pending &= ~bit(EXC_PENDSV);
    if (value & ICSR_PENDSTSET)
        e.pending |= bit(EXC_SYSTICK);
    else if (value & ICSR_PENDSTCLR)
        e.pending &= ~bit(EXC_SYSTICK);
}

uint32_t shcsr_read(const exc_state &e)
{
    uint32_t v = e.shcsr_ena;
    for (const shcsr_bit &b : SHCSR_BITS) {
        if (e.active & bit(b.n))
            v |= b.active;
        if (e.pending & bit(b.n))
            v |= b.pended;
    }
    return v;
}

// Exception number of the priority byte at addr, or -1.
int priority_slot(uint32_t addr)
{
    if (addr >= NVIC_IPR && addr < NVIC_IPR + EXTERNAL_IRQS)
        return EXC_IRQ0 + static_cast<int>(addr - NVIC_IPR);
    if (addr >= SHPR1 && addr < SHPR1 + 12)
        return 4 + static_cast<int>(addr - SHPR1);
    return -1;
}

// Reserved slots of SHPR read as zero and ignore writes; Armv6-M has only
// SVCall's, PendSV's and SysTick's.
bool priority_implemented(const exc_state &e, int n)
{
    if (is_v6m(e))
        return n == EXC_SVCALL || n == EXC_PENDSV || n >= EXC_SYSTICK;
    return n >= EXC_MEMMANAGE && n != 7 && n != 8 && n != 9 && n != 10 && n != 13;
}

bool priority_read(const exc_state &e, uint32_t addr, uint32_t *out)
{
    if (priority_slot(addr) < 0)
        return false;
    *out = 0;
    for (uint32_t i = 0; i < 4; i++) {
        int n = priority_slot(addr + i);
        if (n > 0 && priority_implemented(e, n))
            *out |= uint32_t{e.priority[static_cast<size_t>(n)]} << (8 * i);
    }
    return true;
}

bool priority_write(exc_state &e, uint32_t addr, uint32_t value, uint32_t size)
{
    if (priority_slot(addr) < 0)
        return false;
    for (uint32_t i = 0; i < size; i++) {
        int n = priority_slot(addr + i);
        if (n > 0 && priority_implemented(e, n))
            e.priority[static_cast<size_t>(n)] = static_cast<uint8_t>(value >> (8 * i)) & model_of(e).priority;
    }
    return true;
}

bool nvic_read(const exc_state &e, uint32_t addr, uint32_t *out)
{
    uint32_t irqs = static_cast<uint32_t>(e.pending >> EXC_IRQ0);
    switch (addr) {
    case NVIC_ISER:
    case NVIC_ICER:
        *out = e.irq_enabled;
        return true;
    case NVIC_ISPR:
    case NVIC_ICPR:
        *out = irqs;
        return true;
    case NVIC_IABR:
        *out = static_cast<uint32_t>(e.active >> EXC_IRQ0);
        return true;
    case ICTR:
        *out = 0; // one group of 32 lines
        return true;
    default:
        return false;
    }
}

bool nvic_write(exc_state &e, uint32_t addr, uint32_t value)
{
    switch (addr) {
    case NVIC_ISER:
        e.irq_enabled |= value;
        return true;
    case NVIC_ICER:
        e.irq_enabled &= ~value;
        return true;
    case NVIC_ISPR:
        e.pending |= uint64_t{value} << EXC_IRQ0;
        return true;
    case NVIC_ICPR:
        e.pending &= ~(uint64_t{value} << EXC_IRQ0);
        return true;
    case STIR:
        if ((value & 0x1FF) < EXTERNAL_IRQS)
            e.pending |= bit(EXC_IRQ0 + static_cast<int>(value & 0x1FF));
        return true;
    case NVIC_IABR:
    case ICTR:
        return true;
    default:
        return false;
    }
}

uint32_t systick_period(const core_debug &d)
{
    return (d.syst_rvr & 0xFFFFFF) + 1;
}

bool systick_counts(const core_debug &d)
{
    return (d.syst_csr & SYST_ENABLE) && (d.syst_rvr & 0xFFFFFF) != 0;
}

void systick_restart(core_debug &d, uint64_t now)
{
    d.syst_start = now;
    d.syst_wraps = 0;
}

// The floating-point unit's registers: what the core model has. Without
// an FPU they read as zero (CPACR's CP10 and CP11 fields too).
bool fp_read(const exc_state &e, uint32_t addr, uint32_t *out)
{
    const core_model &m = model_of(e);
    bool fp_register = addr == CPACR || (addr >= FPCCR && addr <= MVFR2);
    if (fp_register && m.fpu == FPU_NONE) {
        *out = 0;
        return true;
    }
    switch (addr) {
    case CPACR:
        *out = e.cpacr;
        return true;
    case FPCCR:
        *out = e.fpccr;
        return true;
    case FPCAR:
        *out = e.fpcar;
        return true;
    case FPDSCR:
        *out = e.fpdscr;
        return true;
    case MVFR0:
        *out = m.mvfr0;
        return true;
    case MVFR1:
        *out = m.mvfr1;
        return true;
    case MVFR2:
        *out = m.mvfr2;
        return true;
    default:
        return false;
    }
}

// Registers a model lacks or fixes (Armv6-M's CCR and SHCSR enables,
// the FPU's without one) take writes and keep nothing.
bool write_ignored(const exc_state &e, uint32_t addr)
{
    if (is_v6m(e) && (addr == CCR || addr == SHCSR))
        return true;
    return !has_fpu(e) && (addr == CPACR || (addr >= FPCCR && addr <= MVFR2));
}

bool register_write(exc_state &e, uint32_t addr, uint32_t value, uint32_t size)
{
    if (priority_write(e, addr, value, size))
        return true;
    if (size != 4)
        return false;
    if (nvic_write(e, addr, value) || write_ignored(e, addr))
        return true;
    switch (addr) {
    case ICSR:
        icsr_write(e, value);
        return true;
    case VTOR:
        e.vtor = value & 0xFFFFFF80;
        return true;
    case CCR:
        e.ccr = value & CCR_WRITABLE;
        return true;
    case SHCSR:
        e.shcsr_ena = value & SHCSR_ENABLES;
        return true;
    case MMFAR:
        e.mmfar = value;
        return true;
    case CPACR:
        e.cpacr = value & CPACR_FP_FIELDS;
        return true;
    case FPCCR:
        e.fpccr = (e.fpccr & ~FPCCR_WRITABLE) | (value & FPCCR_WRITABLE);
        return true;
    case FPCAR:
        e.fpcar = value & ~7u;
        return true;
    case FPDSCR:
        e.fpdscr = value & 0x07C00000; // AHP, DN, FZ, RMode
        return true;
    case MVFR0:
    case MVFR1:
    case MVFR2:
        return true;
    default:
        return false;
    }
}

} // namespace

void exc_reset(core_debug &d)
{
    uint8_t model = d.exc.model;
    d.exc = exc_state{};
    d.exc.model = model;
    d.exc.ccr = is_v6m(d.exc) ? CCR_V6M : CCR_STKALIGN;
    d.exc.fpccr = has_fpu(d.exc) ? FPCCR_RESET : 0;
    d.syst_countflag = 0;
    d.syst_wraps = 0;
}

uint64_t core_cycles(const core_debug &d, uint64_t now_us)
{
    uint64_t c = d.cycles + d.slice_executed;
    if (d.run == CORE_SLEEPING && now_us > d.sleep_us)
        c += (now_us - d.sleep_us) * (CORE_HZ / 1000000u);
    return c;
}

void systick_take_up(core_debug &d, uint64_t now)
{
    if (!systick_counts(d) || now < d.syst_start)
        return;
    uint64_t wraps = (now - d.syst_start) / systick_period(d);
    if (wraps <= d.syst_wraps)
        return;
    d.syst_wraps = wraps;
    d.syst_countflag = 1;
    if (d.syst_csr & SYST_TICKINT) {
        d.exc.pending |= bit(EXC_SYSTICK);
        d.exc.seq++;
    }
}

uint64_t systick_cycles_left(const core_debug &d, uint64_t now)
{
    if (!systick_counts(d))
        return UINT64_MAX;
    uint64_t period = systick_period(d);
    uint64_t elapsed = now > d.syst_start ? now - d.syst_start : 0;
    return period - elapsed % period;
}

uint32_t systick_read(core_debug &d, uint32_t addr, bool side_effects, uint64_t now)
{
    systick_take_up(d, now);
    switch (addr) {
    case SYST_CSR: {
        uint32_t v =
            (d.syst_csr & (SYST_ENABLE | SYST_TICKINT)) | SYST_CLKSOURCE | (d.syst_countflag ? SYST_COUNTFLAG : 0);
        if (side_effects)
            d.syst_countflag = 0;
        return v;
    }
    case SYST_RVR:
        return d.syst_rvr;
    case SYST_CVR:
        return systick_counts(d) ? static_cast<uint32_t>(systick_cycles_left(d, now) - 1) : 0;
    default:
        return SYST_NOREF | (CORE_HZ / 100 - 1); // CALIB: TENMS, exact
    }
}

bool systick_write(core_debug &d, uint32_t addr, uint32_t value, uint64_t now)
{
    switch (addr) {
    case SYST_CSR: {
        systick_take_up(d, now);
        bool was_on = (d.syst_csr & SYST_ENABLE) != 0;
        d.syst_csr = value & 7;
        if (!was_on && (value & SYST_ENABLE))
            systick_restart(d, now);
        d.exc.seq++;
        return true;
    }
    case SYST_RVR:
        d.syst_rvr = value & 0xFFFFFF;
        return true;
    case SYST_CVR:
        systick_restart(d, now);
        d.syst_countflag = 0;
        d.exc.seq++;
        return true;
    case SYST_CALIB:
        return true;
    default:
        return false;
    }
}

bool exc_read(const probe_state &st, uint32_t addr, uint32_t *out)
{
    const exc_state &e = st.core.exc;
    if (nvic_read(e, addr, out) || priority_read(e, addr, out))
        return true;
    switch (addr) {
    case ICSR:
        *out = icsr_read(st);
        return true;
    case VTOR:
        *out = e.vtor;
        return true;
    case CCR:
        *out = e.ccr;
        return true;
    case SHCSR:
        *out = shcsr_read(e);
        return true;
    case MMFAR:
        *out = e.mmfar;
        return true;
    default:
        return fp_read(e, addr, out);
    }
}

bool exc_write(probe_state &st, uint32_t addr, uint32_t value, uint32_t size)
{
    exc_state &e = st.core.exc;
    if (!register_write(e, addr, value, size))
        return false;
    e.seq++;
    return true;
}

uint32_t exc_aircr(const core_debug &d)
{
    return AIRCR_VECTKEYSTAT | d.exc.prigroup << 8;
}

int exc_due(const probe_state &st)
{
    int n = pending_first(st);
    return n && group_priority(st, n) < execution_priority(st) ? n : 0;
}

bool exc_masked(const probe_state &st)
{
    int n = pending_first(st);
    return n && !exc_due(st) && group_priority(st, n) < active_priority(st.core.exc);
}

bool exc_wakes(const probe_state &st)
{
    int n = pending_first(st);
    return n && group_priority(st, n) < std::min(active_priority(st.core.exc), mask_priority(st, false));
}

// An entry whose frame would not go in (the stack ran out of RAM): STKERR,
// and the BusFault derived from it is taken at once, without stacking
// again and with the EXC_RETURN the entry would have given, on the stack
// pointer moved as if the frame had gone in; as any fault it escalates to
// HardFault when it cannot be taken. The exception that was being entered
// stays pending, but for a fault: its instruction raises it again when it
// runs again. An entry to HardFault or NMI that fails locks the core up.
namespace
{
// SHCSR's enable bit of a configurable fault.
uint32_t shcsr_enable(int n)
{
    return 1u << (16 + n - EXC_MEMMANAGE);
}

// The handler a fault n goes to from execution priority `execution`: its
// own when enabled and more urgent, else HardFault (with hfsr_bits), or -1
// when not even HardFault can be taken (lockup).
int fault_handler_of(probe_state &st, int n, int execution, uint32_t hfsr_bits)
{
    const exc_state &e = st.core.exc;
    if (n != EXC_HARDFAULT && n != EXC_NMI) {
        // Armv6-M has no configurable faults: every fault is a HardFault.
        bool configurable = n >= EXC_MEMMANAGE && n <= EXC_USAGEFAULT && !is_v6m(e);
        bool enabled = n == EXC_SVCALL || (configurable && (e.shcsr_ena & shcsr_enable(n)));
        if (enabled && group_priority(st, n) < execution)
            return n;
        n = EXC_HARDFAULT;
    }
    st.core.hfsr |= hfsr_bits;
    return execution <= group_priority(st, n) ? -1 : n;
}

int stacking_fault(probe_view &v, int n, int execution, uint32_t exc_return_value)
{
    probe_state &st = v.rec->st;
    st.core.cfsr |= CFSR_STKERR;
    if (n == EXC_HARDFAULT || n == EXC_NMI)
        return lock_up(st);
    if (n < EXC_MEMMANAGE || n > EXC_USAGEFAULT)
        st.core.exc.pending |= bit(n);
    int handler = fault_handler_of(st, EXC_BUSFAULT, execution, HFSR_FORCED);
    return handler < 0 ? lock_up(st) : start_handler(v, handler, exc_return_value);
}

// A fault the interrupted code could take at execution priority `execution`.
bool could_take(const probe_state &st, int n, uint32_t enable, int execution)
{
    return enable && execution > group_priority(st, n);
}

// The extended frame's floating-point part is reserved, not written: FPCAR
// names it for the store the handler's first floating-point instruction
// makes, and LSPACT says that store is due.
void defer_fp_state(probe_state &st, uint32_t frame, int execution)
{
    exc_state &e = st.core.exc;
    uint32_t ipsr = st.core_regs[REGSEL_XPSR] & IPSR_MASK;
    uint32_t control = st.core_regs[REGSEL_SPECIAL] >> 24;
    uint32_t f = (e.fpccr & (FPCCR_ASPEN | FPCCR_LSPEN)) | FPCCR_LSPACT;
    if (ipsr == 0)
        f |= FPCCR_THREAD | (control & CONTROL_NPRIV ? FPCCR_USER : 0);
    if (execution > -1)
        f |= FPCCR_HFRDY;
    if (could_take(st, EXC_MEMMANAGE, e.shcsr_ena & shcsr_enable(EXC_MEMMANAGE), execution))
        f |= FPCCR_MMRDY;
    if (could_take(st, EXC_BUSFAULT, e.shcsr_ena & shcsr_enable(EXC_BUSFAULT), execution))
        f |= FPCCR_BFRDY;
    if (could_take(st, EXC_DEBUGMONITOR, st.demcr & DEMCR_MON_EN, execution))
        f |= FPCCR_MONRDY;
    e.fpccr = f;
    e.fpcar = frame + FRAME_BYTES;
}
} // namespace

bool exc_fp_allowed(const exc_state &e, uint32_t cp, bool privileged)
{
    uint32_t field = (e.cpacr >> (20 + 2 * (cp - 10))) & 3;
    return field == 3 || (field == CPACR_PRIVILEGED && privileged);
}

bool exc_fp_open(const exc_state &e)
{
    return (e.cpacr & CPACR_FP_FIELDS) == CPACR_FP_FIELDS;
}

bool exc_fp_preserve(probe_view &v, const uint32_t *fp_words)
{
    exc_state &e = v.rec->st.core.exc;
    if (!push_frame(v, e.fpcar, fp_words, 17))
        return false;
    e.fpccr &= ~FPCCR_LSPACT;
    return true;
}

// The frame: the basic one, and with CONTROL.FPCA (floating-point context
// active) the extended one. With FPCCR.LSPEN its floating-point part is
// only reserved (lazy stacking), and stays unwritten if the handler does
// no floating-point work.
int exc_enter(probe_view &v, int n, uint32_t return_address)
{
    probe_state &st = v.rec->st;
    auto &r = st.core_regs;
    bool thread = (r[REGSEL_XPSR] & IPSR_MASK) == 0;
    bool psp = thread && ((r[REGSEL_SPECIAL] >> 24) & CONTROL_SPSEL);
    bool fp = has_fpu(st.core.exc) && ((r[REGSEL_SPECIAL] >> 24) & CONTROL_FPCA);
    bool lazy = fp && (st.core.exc.fpccr & FPCCR_LSPEN);
    uint32_t sp = psp ? r[REGSEL_PSP] : r[REGSEL_MSP];
    bool pad = (st.core.exc.ccr & CCR_STKALIGN) && (sp & 4);
    uint32_t frame = (sp - (fp ? FP_FRAME_BYTES : FRAME_BYTES)) & ~(pad ? 4u : 0u);
    uint32_t xpsr = (r[REGSEL_XPSR] & ~XPSR_ALIGNED) | (pad ? XPSR_ALIGNED : 0);
    uint32_t words[FP_FRAME_WORDS] = {r[0], r[1], r[2], r[3], r[12], r[REGSEL_LR], return_address, xpsr};
    for (uint32_t i = 0; fp && i < 16; i++)
        words[8 + i] = r[REGSEL_S0 + i];
    words[24] = r[REGSEL_FPSCR];
    uint32_t value = thread ? (psp ? 0xFFFFFFFD : 0xFFFFFFF9) : 0xFFFFFFF1;
    value = fp ? value & ~EXC_RETURN_BASIC : value;
    int execution = execution_priority(st);
    bool pushed = in_ram(v.rec->cfg, frame, fp ? FP_FRAME_BYTES : FRAME_BYTES) &&
                  push_frame(v, frame, words, fp && !lazy ? FP_FRAME_WORDS : 8);
    if (pushed && lazy)
        defer_fp_state(st, frame, execution);
    r[psp ? REGSEL_PSP : REGSEL_MSP] = frame;
    return pushed ? start_handler(v, n, value) : stacking_fault(v, n, execution, value);
}

int exc_raise(probe_view &v, int n, uint32_t hfsr_bits, uint32_t return_address)
{
    probe_state &st = v.rec->st;
    int handler = fault_handler_of(st, n, execution_priority(st), hfsr_bits);
    return handler < 0 ? lock_up(st) : exc_enter(v, handler, return_address);
}

int exc_return(probe_view &v, uint32_t value)
{
    probe_state &st = v.rec->st;
    exc_state &e = st.core.exc;
    int returning = static_cast<int>(st.core_regs[REGSEL_XPSR] & IPSR_MASK);
    bool to_thread = (value & 8) != 0;
    uint64_t others = e.active & ~bit(returning);
    if (!return_value_valid(e, value) || !(e.active & bit(returning)) ||
        (to_thread && others && !(e.ccr & CCR_NONBASETHRDENA)) || (!to_thread && !others))
        return invalid_return(v, value);
    deactivate(st, returning);
    int next = exc_due(st);
    if (next) // tail-chaining: the frame stays for the next handler
        return start_handler(v, next, value);
    return unstack(v, value);
}

} // namespace vprobe
