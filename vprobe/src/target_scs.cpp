// System space of the simulated target: run control and the debug units.
#include "target_scs.h"

#include <climits>
#include <ctime>

#include "armv7m_debug.h"
#include "core_exceptions.h"
#include "probe_bus.h"
#include "target_flash.h"

namespace vprobe
{

using namespace armv7m;

namespace
{

constexpr uint32_t AIRCR_PRIGROUP_SHIFT = 8;
constexpr uint32_t AIRCR_VECTCLRACTIVE = 1u << 1;
// DHCSR's control bits the model keeps (C_SNAPSTALL is not modelled).
constexpr uint32_t DHCSR_CONTROL = C_DEBUGEN | C_HALT | C_STEP | C_MASKINTS;
// The Armv8-M DWT_FUNCTIONn fields a write sets: MATCH, ACTION, DATAVSIZE.
constexpr uint32_t DWT_V8_FUNCTION_WRITABLE = 0x0C3F;
// What the special selector keeps: CONTROL's nPRIV, SPSEL and FPCA,
// FAULTMASK, BASEPRI's 4 bits, PRIMASK; Armv6-M has neither BASEPRI nor
// FAULTMASK, a core without an FPU no FPCA.
constexpr uint32_t SPECIAL_V7M = 0x0701F001;
constexpr uint32_t SPECIAL_V6M = 0x03000001;
constexpr uint32_t SPECIAL_FPCA = 1u << 26;

const core_model &model_of(const probe_state &st)
{
    return core_model_of(st.core.exc.model);
}

// FP_CTRL's fixed fields: NUM_CODE split over bits 7:4 and 14:12, NUM_LIT
// in 11:8, REV in 31:28 (0 for the first revision).
uint32_t fp_ctrl_fixed(const core_model &m)
{
    uint32_t code = m.fpb_code;
    return (code & 0xF) << 4 | (code >> 4) << 12 | uint32_t{m.fpb_lit} << 8 |
           uint32_t(m.fpb_rev - 1) << FP_CTRL_REV_SHIFT;
}

// Armv6-M has no configurable fault status: these read as zero there.
bool fault_status_absent(const probe_state &st, uint32_t addr)
{
    return model_of(st).arch == ARCH_V6M && (addr == CFSR || addr == HFSR || addr == MMFAR || addr == BFAR);
}

// ---- ITM: stimulus port writes become software-source packets --------------

void swo_put(probe_state &st, const uint8_t *bytes, uint32_t n)
{
    trace_state &t = st.trace;
    uint64_t cap = t.buffer_size < SWO_CAPTURE ? t.buffer_size : SWO_CAPTURE;
    if (t.produced + n - t.consumed > cap)
        return; // the probe's capture buffer overflows: the packet is lost
    for (uint32_t i = 0; i < n; i++)
        st.swo[(t.produced + i) % SWO_CAPTURE] = bytes[i];
    t.produced += n;
}

// Packet: header (port << 3, bit 2 clear for a software source, size code
// 1/2/3 for 1/2/4 payload bytes), then the payload, least significant byte first.
void itm_stimulus(probe_state &st, uint32_t port, uint32_t value, uint32_t size)
{
    const core_debug &c = st.core;
    bool on = (st.demcr & DEMCR_TRCENA) && (c.itm_tcr & ITM_TCR_ITMENA) && (c.itm_ter & (1u << port));
    if (!on || !c.swo_itm || !st.trace.running)
        return;
    uint8_t packet[5] = {static_cast<uint8_t>(port << 3 | (size == 1 ? 1 : size == 2 ? 2 : 3))};
    for (uint32_t i = 0; i < size; i++)
        packet[1 + i] = static_cast<uint8_t>(value >> (8 * i));
    swo_put(st, packet, 1 + size);
}

// ---- run control ------------------------------------------------------------

void resume(core_debug &c, bool step)
{
    c.run = step ? CORE_STEPPING : CORE_RUNNING;
    c.skip_fpb = 1;
    core_kick(c);
}

void dhcsr_write(probe_state &st, uint32_t value)
{
    if ((value & DBGKEY_MASK) != DBGKEY)
        return; // writes without the key are ignored by the core
    core_debug &c = st.core;
    st.dhcsr_ctrl = value & DHCSR_CONTROL;
    bool in_debug = c.run == CORE_HALTED || c.run == CORE_STEPPING;
    if (!(st.dhcsr_ctrl & C_DEBUGEN)) {
        if (in_debug)
            resume(c, false);
    } else if (st.dhcsr_ctrl & C_HALT) {
        if (c.run != CORE_HALTED)
            c.dfsr |= DFSR_HALTED;
        c.run = CORE_HALTED;
    } else if (c.run == CORE_HALTED) {
        resume(c, (st.dhcsr_ctrl & C_STEP) != 0);
    }
}

void dcrsr_write(probe_state &st, uint32_t value)
{
    uint32_t sel = value & DCRSR_REGSEL;
    if (!core_reg_exists(st, sel)) {
        if (!(value & DCRSR_REGWNR))
            st.dcrdr = 0; // a selector the core lacks transfers nothing
        return;
    }
    if (value & DCRSR_REGWNR)
        core_write_reg(st, sel, st.dcrdr);
    else
        st.dcrdr = st.core_regs[sel];
}

// ---- register map -------------------------------------------------------------

// Index of addr in a bank of n registers stride bytes apart, or -1.
int bank_index(uint32_t addr, uint32_t base, uint32_t n, uint32_t stride)
{
    if (addr < base || (addr - base) % stride != 0 || (addr - base) / stride >= n)
        return -1;
    return static_cast<int>((addr - base) / stride);
}

// The DWT's comparators; those past the model's count, and DWT_MASKn on
// Armv8-M (a range is a pair of comparators there), read as zero.
int dwt_index(const probe_state &st, uint32_t addr)
{
    int i = bank_index(addr & ~0xFu, DWT_COMP0, DWT_COMPARATORS, DWT_STRIDE);
    return i >= 0 && static_cast<uint32_t>(i) < model_of(st).dwt_comp ? i : -1;
}

bool dwt_read(probe_state &st, uint32_t addr, bool side_effects, uint32_t *out)
{
    core_debug &c = st.core;
    if (bank_index(addr & ~0xFu, DWT_COMP0, DWT_COMPARATORS, DWT_STRIDE) < 0 || (addr & 0xF) > 8)
        return false;
    int i = dwt_index(st, addr);
    *out = 0;
    if (i < 0)
        return true;
    switch (addr & 0xF) {
    case 0:
        *out = c.dwt_comp[i];
        return true;
    case 4:
        *out = model_of(st).arch == ARCH_V8M ? 0 : c.dwt_mask[i];
        return true;
    case 8:
        *out = c.dwt_function[i];
        if (side_effects)
            c.dwt_function[i] &= ~DWT_FUNCTION_MATCHED; // MATCHED clears when read
        return true;
    default:
        return false;
    }
}

bool dwt_write(probe_state &st, uint32_t addr, uint32_t value)
{
    core_debug &c = st.core;
    if (bank_index(addr & ~0xFu, DWT_COMP0, DWT_COMPARATORS, DWT_STRIDE) < 0 || (addr & 0xF) > 8)
        return false;
    int i = dwt_index(st, addr);
    bool v8 = model_of(st).arch == ARCH_V8M;
    if (i < 0)
        return true;
    if ((addr & 0xF) == 0)
        c.dwt_comp[i] = value;
    else if ((addr & 0xF) == 4)
        c.dwt_mask[i] = v8 ? 0 : value & DWT_MASK_MAX;
    else
        c.dwt_function[i] = value & (v8 ? DWT_V8_FUNCTION_WRITABLE : DWT_FUNCTION_FIELD);
    c.hooks_seq++;
    return true;
}

// FP_COMPn exists on this model (its code, then its literal comparators).
bool fpb_implemented(const probe_state &st, int n)
{
    const core_model &m = model_of(st);
    return n >= 0 && n < m.fpb_code + m.fpb_lit;
}

// The debug units and the SysTick; false when addr is none of theirs.
bool unit_read(probe_state &st, uint32_t addr, bool side_effects, uint32_t *out)
{
    core_debug &c = st.core;
    int fp = bank_index(addr, FP_COMP0, FPB_COMPARATORS, 4);
    if (bank_index(addr, ITM_STIM0, ITM_PORTS, 4) >= 0)
        *out = ITM_STIM_FIFOREADY; // the stimulus port always takes a write
    else if (fp >= 0)
        *out = fpb_implemented(st, fp) ? c.fp_comp[fp] : 0;
    else if (dwt_read(st, addr, side_effects, out))
        return true;
    else if (addr == DWT_DEVARCH)
        *out = model_of(st).arch == ARCH_V8M ? DEVARCH_DWT_V8M : 0;
    else if (addr >= SYST_CSR && addr <= SYST_CALIB)
        *out = systick_read(c, addr, side_effects, core_cycles(c, scs_now_us()));
    else if (exc_read(st, addr, out))
        return true;
    else
        return false;
    return true;
}

bool unit_write(probe_state &st, uint32_t addr, uint32_t value, uint32_t size)
{
    core_debug &c = st.core;
    int port = bank_index(addr & ~3u, ITM_STIM0, ITM_PORTS, 4);
    int fp = bank_index(addr, FP_COMP0, FPB_COMPARATORS, 4);
    if (port >= 0) {
        itm_stimulus(st, static_cast<uint32_t>(port), value, size);
    } else if (fp >= 0) {
        if (fpb_implemented(st, fp))
            c.fp_comp[fp] = value;
        c.hooks_seq++;
    } else if (addr == FP_CTRL) {
        if (value & FP_CTRL_KEY)
            c.fp_ctrl = value & FP_CTRL_ENABLE;
        c.hooks_seq++;
    } else if (dwt_write(st, addr, value) || addr == DWT_DEVARCH) {
        return true; // DEVARCH is read-only
    } else if (addr >= SYST_CSR && addr <= SYST_CALIB) {
        if (size == 4)
            systick_write(c, addr, value, core_cycles(c, scs_now_us()));
        core_kick(c); // a sleeping core's wake-up time changed
    } else if (exc_write(st, addr, value, size)) {
        core_kick(c); // an interrupt may wake a sleeping core
    } else {
        return false;
    }
    return true;
}

// Plain registers: what was written reads back.
uint32_t *plain_slot(probe_state &st, uint32_t addr, bool create)
{
    for (uint32_t i = 0; i < st.ppb_count; i++)
        if (st.ppb[i].addr == addr)
            return &st.ppb[i].value;
    if (!create || st.ppb_count >= PPB_SLOTS)
        return nullptr;
    st.ppb[st.ppb_count].addr = addr;
    return &st.ppb[st.ppb_count++].value;
}

// Registers read straight from a field; null when addr is none of them.
uint32_t *field_of(probe_state &st, uint32_t addr)
{
    core_debug &c = st.core;
    switch (addr) {
    case ITM_TER:
        return &c.itm_ter;
    case ITM_TPR:
        return &c.itm_tpr;
    case ITM_TCR:
        return &c.itm_tcr;
    case CFSR:
        return &c.cfsr;
    case HFSR:
        return &c.hfsr;
    case DFSR:
        return &c.dfsr;
    case BFAR:
        return &c.bfar;
    case DCRDR:
        return &st.dcrdr;
    case DEMCR:
        return &st.demcr;
    default:
        return nullptr;
    }
}

uint32_t fixed_read(probe_state &st, uint32_t addr, bool side_effects)
{
    switch (addr) {
    case CPUID:
        return model_of(st).cpuid;
    case AIRCR:
        return exc_aircr(st.core);
    case FP_CTRL:
        return fp_ctrl_fixed(model_of(st)) | st.core.fp_ctrl;
    case DWT_CTRL:
        return uint32_t{model_of(st).dwt_comp} << DWT_CTRL_NUMCOMP_SHIFT;
    case DWT_CYCCNT: // Armv6-M has no cycle counter
        return model_of(st).arch == ARCH_V6M ? 0 : static_cast<uint32_t>(st.core.instructions);
    case DHCSR: {
        uint32_t value = scs_dhcsr(st);
        if (side_effects) {
            st.core.retired = 0;
            if (!st.reset_held)
                st.reset_latched = 0; // S_RESET_ST and S_RETIRE_ST clear when read
        }
        return value;
    }
    default: {
        uint32_t *slot = plain_slot(st, addr, false);
        return slot ? *slot : 0;
    }
    }
}

// Writes that clear the bits written as one (fault status registers).
bool write_one_to_clear(probe_state &st, uint32_t addr, uint32_t value)
{
    core_debug &c = st.core;
    uint32_t *reg = addr == CFSR ? &c.cfsr : addr == HFSR ? &c.hfsr : addr == DFSR ? &c.dfsr : nullptr;
    if (reg)
        *reg &= ~value;
    return reg != nullptr;
}

void control_write(probe_view &v, uint32_t addr, uint32_t value)
{
    probe_state &st = v.rec->st;
    switch (addr) {
    case CPUID:
    case FP_REMAP:
    case BFAR:
        return;
    case DHCSR:
        dhcsr_write(st, value);
        return;
    case DCRSR:
        dcrsr_write(st, value);
        return;
    case AIRCR:
        if ((value & AIRCR_KEY_MASK) != AIRCR_VECTKEY)
            return;
        if (model_of(st).arch != ARCH_V6M) // Armv6-M has no priority grouping
            st.core.exc.prigroup = (value >> AIRCR_PRIGROUP_SHIFT) & 7;
        if ((value & AIRCR_VECTCLRACTIVE) && st.core.run == CORE_HALTED)
            st.core.exc.active = 0; // a debugger's fresh start; IPSR is its to set
        st.core.exc.seq++;
        if (value & AIRCR_SYSRESETREQ)
            probe_core_reset(v);
        return;
    default:
        break;
    }
    if (write_one_to_clear(st, addr, value))
        return;
    uint32_t *reg = field_of(st, addr);
    if (!reg)
        reg = plain_slot(st, addr, true);
    if (reg)
        *reg = value;
}

} // namespace

uint64_t scs_now_us()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

uint32_t scs_read(probe_view &v, uint32_t addr, bool side_effects)
{
    probe_state &st = v.rec->st;
    uint32_t value = 0;
    if (flash_ctl_owns(addr))
        return flash_ctl_read(v, addr);
    if (fault_status_absent(st, addr))
        return 0;
    if (unit_read(st, addr, side_effects, &value))
        return value;
    uint32_t *field = field_of(st, addr);
    return field ? *field : fixed_read(st, addr, side_effects);
}

void scs_write(probe_view &v, uint32_t addr, uint32_t value, uint32_t size)
{
    if (flash_ctl_owns(addr & ~3u)) {
        flash_ctl_write(v, addr, value, size);
        return;
    }
    if (fault_status_absent(v.rec->st, addr) || unit_write(v.rec->st, addr, value, size) || size != 4)
        return;
    control_write(v, addr, value);
}

uint32_t scs_dhcsr(const probe_state &st)
{
    const core_debug &c = st.core;
    uint32_t v = (st.dhcsr_ctrl & DHCSR_CONTROL) | S_REGRDY;
    if (c.run == CORE_HALTED)
        v |= S_HALT;
    if (c.run == CORE_LOCKED)
        v |= S_LOCKUP;
    if (c.run == CORE_SLEEPING)
        v |= S_SLEEP;
    if (c.retired)
        v |= S_RETIRE_ST;
    if (st.reset_latched || st.reset_held)
        v |= S_RESET_ST;
    return v;
}

// SP is the stack pointer CONTROL.SPSEL and the mode select; the other
// one keeps its value. A write of CONTROL moves SP to the one it selects.
static uint32_t active_sp_sel(const probe_state &st)
{
    bool thread = (st.core_regs[REGSEL_XPSR] & 0x1FF) == 0;
    return thread && (st.core_regs[REGSEL_SPECIAL] >> 24 & 2) ? REGSEL_PSP : REGSEL_MSP;
}

void core_write_reg(probe_state &st, uint32_t sel, uint32_t value)
{
    auto &r = st.core_regs;
    if (sel == REGSEL_SPECIAL) {
        const core_model &m = model_of(st);
        value &= (m.arch == ARCH_V6M ? SPECIAL_V6M : SPECIAL_V7M) & (m.fpu == FPU_NONE ? ~SPECIAL_FPCA : ~0u);
    }
    if (sel == REGSEL_MSPLIM || sel == REGSEL_PSPLIM)
        value &= ~7u;
    r[sel] = value;
    if (sel == REGSEL_SP)
        r[active_sp_sel(st)] = value;
    else if (sel == REGSEL_MSP || sel == REGSEL_PSP || sel == REGSEL_SPECIAL || sel == REGSEL_XPSR)
        r[REGSEL_SP] = r[active_sp_sel(st)];
    st.core.regs_seq++;
}

bool core_reg_exists(const probe_state &st, uint32_t sel)
{
    if (sel >= CORE_REGS)
        return false;
    if (sel == REGSEL_MSPLIM || sel == REGSEL_PSPLIM)
        return model_of(st).arch == ARCH_V8M;
    bool fp = sel == REGSEL_FPSCR || (sel >= REGSEL_S0 && sel < REGSEL_S0 + 32);
    return !fp || model_of(st).fpu != FPU_NONE;
}

void core_kick(core_debug &c)
{
    __atomic_add_fetch(&c.wake_seq, 1, __ATOMIC_SEQ_CST);
    if (c.parked)
        bus_futex_wake(&c.wake_seq);
}

bool core_debug_enabled(const probe_state &st)
{
    return (st.dhcsr_ctrl & C_DEBUGEN) != 0;
}

} // namespace vprobe
