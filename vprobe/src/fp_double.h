// Double-precision floating-point data processing for the virtual core's
// FPv5-D16 (the M7): Unicorn 2.0.1 runs every core as its single-precision
// M33, which takes these encodings as undefined, so the code hook stops
// before each one and this carries it out on the register file. Covered:
// VMLA, VMLS, VNMLA, VNMLS, VMUL, VNMUL, VADD, VSUB, VDIV, VFMA, VFMS,
// VFNMA, VFNMS, VMOV (immediate and register), VABS, VNEG, VSQRT, VCMP and
// VCMPE, VCVT between double and single and between double and 32-bit
// integers, VRINTR, VRINTZ and VRINTX; FPSCR's rounding mode, DN and FZ
// are followed and its cumulative exception bits set. The fixed-point and
// half-precision conversions, VSEL, VMAXNM, VMINNM and the VRINT forms
// outside the data-processing space are not (they stay undefined).
#pragma once

#include <cstdint>

namespace vprobe
{

// The FPU's registers as the code sees them: S0-S31 (D0-D15 in pairs, low
// word first), and FPSCR.
struct fp_file {
    uint32_t s[32];
    uint32_t fpscr;
};

// Whether the T32 instruction (its two halfwords) is one of the above.
bool fp_double_decodes(uint32_t first, uint32_t second);
// Carries it out on f: false, f untouched, when it is none of them.
bool fp_double_execute(uint32_t first, uint32_t second, fp_file *f);

} // namespace vprobe
