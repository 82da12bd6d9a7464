#include "core_identity.h"

#include <array>

#include "armv7m_debug.h"

namespace tarvex_target
{

using namespace armv7m;

constexpr uint32_t ARM_IMPLEMENTER = 0x41;
// CPUID.Architecture: 0xC on Armv6-M and Armv8-M Baseline, 0xF on Armv7-M
// and Armv8-M Mainline.
constexpr uint32_t CPUID_ARCH_BASELINE = 0xC;

struct known_part {
    uint16_t partno;
    core_arch arch;
};
constexpr std::array<known_part, 11> ARM_PARTS = {{
    {0xC20, ARCH_V6M},          // Cortex-M0
    {0xC60, ARCH_V6M},          // Cortex-M0+
    {0xC21, ARCH_V6M},          // Cortex-M1
    {0xC23, ARCH_V7M},          // Cortex-M3
    {0xC24, ARCH_V7M},          // Cortex-M4
    {0xC27, ARCH_V7M},          // Cortex-M7
    {0xD20, ARCH_V8M_BASELINE}, // Cortex-M23
    {0xD21, ARCH_V8M_MAINLINE}, // Cortex-M33
    {0xD22, ARCH_V8M_MAINLINE}, // Cortex-M55
    {0xD23, ARCH_V8M_MAINLINE}, // Cortex-M85
    {0xD31, ARCH_V8M_MAINLINE}, // Cortex-M35P
}};

static const known_part *part_of(uint32_t cpuid)
{
    if (cpuid >> 24 != ARM_IMPLEMENTER)
        return nullptr;
    for (const known_part &p : ARM_PARTS)
        if (p.partno == ((cpuid >> 4) & 0xFFF))
            return &p;
    return nullptr;
}

static bool arch_known(uint32_t cpuid)
{
    return part_of(cpuid) != nullptr;
}

static core_arch arch_of(uint32_t cpuid, bool dwt_v8)
{
    if (const known_part *p = part_of(cpuid))
        return p->arch;
    bool baseline = ((cpuid >> 16) & 0xF) == CPUID_ARCH_BASELINE;
    if (dwt_v8)
        return baseline ? ARCH_V8M_BASELINE : ARCH_V8M_MAINLINE;
    return baseline ? ARCH_V6M : ARCH_V7M;
}

// MVFR0: single precision in bits 7:4, double precision in 11:8, 2 where
// supported.
static fpu_kind fpu_of(uint32_t mvfr0)
{
    if (((mvfr0 >> 8) & 0xF) == 2)
        return FPU_DOUBLE;
    return ((mvfr0 >> 4) & 0xF) == 2 ? FPU_SINGLE : FPU_NONE;
}

// CPACR: CP10 in bits 21:20, CP11 in 23:22; 0 denies access.
static bool cp10_cp11_enabled(uint32_t cpacr)
{
    return ((cpacr >> 20) & 3) != 0 && ((cpacr >> 22) & 3) != 0;
}

bool has_priority_masks(core_arch arch)
{
    return arch == ARCH_V7M || arch == ARCH_V8M_MAINLINE;
}

bool fp_registers_present(const core_identity &id)
{
    return id.fpu != FPU_NONE && id.fp_enabled;
}

static bool baseline(core_arch arch)
{
    return arch == ARCH_V6M || arch == ARCH_V8M_BASELINE;
}

static void identity_decode(core_identity *id)
{
    // NUM_CODE stands in bits 7:4 and 14:12, NUM_LIT in 11:8.
    id->fpb_code = static_cast<uint8_t>(((id->fp_ctrl >> 8) & 0x70) | ((id->fp_ctrl >> 4) & 0xF));
    id->fpb_literal = static_cast<uint8_t>((id->fp_ctrl >> 8) & 0xF);
    id->fpb_revision = static_cast<uint8_t>((id->fp_ctrl >> FP_CTRL_REV_SHIFT) + 1);
    id->dwt_count = static_cast<uint8_t>(id->dwt_ctrl >> DWT_CTRL_NUMCOMP_SHIFT);
    bool v8 = id->arch == ARCH_V8M_BASELINE || id->arch == ARCH_V8M_MAINLINE;
    id->dwt = v8 ? DWT_V8M : DWT_MASKED;
    id->fpu = baseline(id->arch) ? FPU_NONE : fpu_of(id->mvfr0);
    id->fp_enabled = id->fpu != FPU_NONE && cp10_cp11_enabled(id->cpacr);
}

int fp_enabled_read(link &l, core_identity *id)
{
    if (id->fpu == FPU_NONE)
        return TARGET_OK;
    int rc = l.read_debug(CPACR, &id->cpacr);
    if (rc == TARGET_OK)
        id->fp_enabled = cp10_cp11_enabled(id->cpacr);
    return rc;
}

int trace_enable(link &l)
{
    uint32_t demcr = 0;
    int rc = l.read_debug(DEMCR, &demcr);
    if (rc == TARGET_OK && (demcr & DEMCR_TRCENA) == 0)
        rc = l.write_debug(DEMCR, demcr | DEMCR_TRCENA);
    return rc;
}

// Only a part Arm's table does not name needs DEVARCH to tell the DWT apart.
static int read_arch(link &l, core_identity *id)
{
    int rc = l.read_debug(CPUID, &id->cpuid);
    uint32_t devarch = 0;
    if (rc == TARGET_OK && !arch_known(id->cpuid))
        rc = l.read_debug(DWT_DEVARCH, &devarch);
    id->arch = arch_of(id->cpuid, (devarch & DEVARCH_NO_REVISION) == DEVARCH_DWT_V8M);
    return rc;
}

// The widest mask a comparator takes is what DWT_MASK0 keeps of all ones;
// the comparator's own mask is put back.
static int read_mask_max(link &l, core_identity *id)
{
    if (id->dwt != DWT_MASKED || id->dwt_count == 0)
        return TARGET_OK;
    uint32_t saved = 0, widest = 0;
    int rc = l.read_debug(DWT_MASK0, &saved);
    if (rc == TARGET_OK)
        rc = l.write_debug(DWT_MASK0, DWT_MASK_MAX);
    if (rc == TARGET_OK)
        rc = l.read_debug(DWT_MASK0, &widest);
    if (rc == TARGET_OK)
        rc = l.write_debug(DWT_MASK0, saved);
    id->dwt_mask_max = static_cast<uint8_t>(widest & DWT_MASK_MAX);
    return rc;
}

// A core without an FPU may fault a read where its registers would be:
// that is no FPU, not a failure to identify the core.
static int read_fpu(link &l, core_identity *id)
{
    if (baseline(id->arch))
        return TARGET_OK;
    int rc = l.read_debug(MVFR0, &id->mvfr0);
    if (rc == TARGET_OK)
        rc = l.read_debug(CPACR, &id->cpacr);
    if (rc != TARGET_FAILED)
        return rc;
    id->mvfr0 = id->cpacr = 0;
    return TARGET_OK;
}

int identify(link &l, core_identity *id)
{
    *id = core_identity();
    int rc = trace_enable(l);
    if (rc == TARGET_OK)
        rc = read_arch(l, id);
    if (rc == TARGET_OK)
        rc = l.read_debug(FP_CTRL, &id->fp_ctrl);
    if (rc == TARGET_OK)
        rc = l.read_debug(DWT_CTRL, &id->dwt_ctrl);
    if (rc == TARGET_OK)
        rc = read_fpu(l, id);
    identity_decode(id);
    if (rc == TARGET_OK)
        rc = read_mask_max(l, id);
    return rc;
}

} // namespace tarvex_target
