// The arithmetic runs on the host's double precision, which is IEEE 754
// binary64 as the FPU's is, under FPSCR's rounding mode (fesetround, the
// file built with -frounding-math), and the host's exception flags become
// FPSCR's cumulative bits. The integer conversions saturate and set IOC as
// the FPU does, which a C conversion would not.
#include "fp_double.h"

#include <cfenv>
#include <cmath>
#include <cstring>

namespace vprobe
{

namespace
{

constexpr uint32_t FPSCR_IOC = 1u << 0;
constexpr uint32_t FPSCR_DZC = 1u << 1;
constexpr uint32_t FPSCR_OFC = 1u << 2;
constexpr uint32_t FPSCR_UFC = 1u << 3;
constexpr uint32_t FPSCR_IXC = 1u << 4;
constexpr uint32_t FPSCR_IDC = 1u << 7;
constexpr uint32_t FPSCR_RMODE_SHIFT = 22;
constexpr uint32_t FPSCR_FZ = 1u << 24;
constexpr uint32_t FPSCR_DN = 1u << 25;
constexpr uint32_t FPSCR_NZCV_SHIFT = 28;
constexpr uint64_t DEFAULT_NAN = 0x7FF8000000000000ull;
constexpr uint32_t DEFAULT_NAN_SINGLE = 0x7FC00000u;
constexpr uint64_t SIGN = 1ull << 63;

enum dp_op {
    OP_NONE,
    OP_MLA,
    OP_MLS,
    OP_NMLA,
    OP_NMLS,
    OP_MUL,
    OP_NMUL,
    OP_ADD,
    OP_SUB,
    OP_DIV,
    OP_FMA,
    OP_FMS,
    OP_FNMA,
    OP_FNMS,
    OP_MOV_IMM,
    OP_MOV,
    OP_ABS,
    OP_NEG,
    OP_SQRT,
    OP_CMP,
    OP_CMP_ZERO,
    OP_RINTR,
    OP_RINTZ,
    OP_RINTX,
    OP_TO_SINGLE,
    OP_FROM_SINGLE,
    OP_FROM_INT,
    OP_TO_INT,
};

// The data-processing encoding: first halfword 1110 1110 x D yy Vn, second
// Vd 101 sz N op M 0 Vm (x:yy is opc1; for opc1 111, Vn is opc2 and N:op
// opc3).
struct fields {
    uint32_t opc1, opc2;
    uint32_t d, n, m;  // D:Vd, N:Vn, M:Vm, the double registers
    uint32_t sd, sm;   // Vd:D and Vm:M, the single ones
    bool sz, op, bit7; // bit 7 is N, or E for VCMPE, signed or towards zero for VCVT
    uint32_t imm8;
};

fields fields_of(uint32_t first, uint32_t second)
{
    fields f{};
    uint32_t vd = (second >> 12) & 0xF, vn = first & 0xF, vm = second & 0xF;
    uint32_t bit_d = (first >> 6) & 1, bit_n = (second >> 7) & 1, bit_m = (second >> 5) & 1;
    f.opc1 = ((first >> 5) & 4) | ((first >> 4) & 3);
    f.opc2 = vn;
    f.d = bit_d << 4 | vd;
    f.n = bit_n << 4 | vn;
    f.m = bit_m << 4 | vm;
    f.sd = vd << 1 | bit_d;
    f.sm = vm << 1 | bit_m;
    f.sz = (second >> 8) & 1;
    f.op = (second >> 6) & 1;
    f.bit7 = bit_n != 0;
    f.imm8 = vn << 4 | vm;
    return f;
}

// opc1 111: the operations of one register (opc2 names them).
dp_op other_op(const fields &f)
{
    if (!f.op)
        return f.sz ? OP_MOV_IMM : OP_NONE;
    if (f.opc2 == 0x7 && f.bit7)
        return f.sz ? OP_TO_SINGLE : OP_FROM_SINGLE;
    if (!f.sz)
        return OP_NONE;
    switch (f.opc2) {
    case 0x0:
        return f.bit7 ? OP_ABS : OP_MOV;
    case 0x1:
        return f.bit7 ? OP_SQRT : OP_NEG;
    case 0x4:
        return OP_CMP;
    case 0x5:
        return OP_CMP_ZERO;
    case 0x6:
        return f.bit7 ? OP_RINTZ : OP_RINTR;
    case 0x7:
        return OP_RINTX;
    case 0x8:
        return OP_FROM_INT;
    case 0xC:
    case 0xD:
        return OP_TO_INT;
    default:
        return OP_NONE;
    }
}

dp_op op_of(const fields &f)
{
    if (f.opc1 == 7)
        return other_op(f);
    if (!f.sz)
        return OP_NONE;
    static constexpr dp_op PAIRS[7][2] = {
        {OP_MLA, OP_MLS},  {OP_NMLS, OP_NMLA}, {OP_MUL, OP_NMUL}, {OP_ADD, OP_SUB},
        {OP_DIV, OP_NONE}, {OP_FNMS, OP_FNMA}, {OP_FMA, OP_FMS},
    };
    return PAIRS[f.opc1][f.op ? 1 : 0];
}

// The double registers an operation names, each below 16 (FPv5-D16).
bool registers_exist(dp_op op, const fields &f)
{
    bool dest_double = op != OP_TO_SINGLE && op != OP_TO_INT;
    bool source_double = op != OP_FROM_SINGLE && op != OP_FROM_INT && op != OP_MOV_IMM && op != OP_CMP_ZERO;
    bool two_sources = op >= OP_MLA && op <= OP_FNMS;
    return (!dest_double || f.d < 16) && (!source_double || f.m < 16) && (!two_sources || f.n < 16);
}

dp_op decoded(uint32_t first, uint32_t second, fields *f)
{
    if ((first & 0xFF00) != 0xEE00 || (second & 0x0E10) != 0x0A00)
        return OP_NONE;
    *f = fields_of(first, second);
    dp_op op = op_of(*f);
    return op != OP_NONE && registers_exist(op, *f) ? op : OP_NONE;
}

// ---- operands and results ----------------------------------------------------

uint64_t bits_of(const fp_file &r, uint32_t d)
{
    return uint64_t{r.s[2 * d + 1]} << 32 | r.s[2 * d];
}

void bits_put(fp_file *r, uint32_t d, uint64_t bits)
{
    r->s[2 * d] = static_cast<uint32_t>(bits);
    r->s[2 * d + 1] = static_cast<uint32_t>(bits >> 32);
}

double double_of(uint64_t bits)
{
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

uint64_t bits_of(double v)
{
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

float float_of(uint32_t bits)
{
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// An operand; with FZ a denormal one counts as a zero of its sign (IDC).
double operand(fp_file *r, uint32_t d)
{
    double v = double_of(bits_of(*r, d));
    if ((r->fpscr & FPSCR_FZ) && std::fpclassify(v) == FP_SUBNORMAL) {
        r->fpscr |= FPSCR_IDC;
        return std::copysign(0.0, v);
    }
    return v;
}

// A result: the default NaN for any NaN with DN, a zero of its sign for a
// denormal with FZ (UFC, and no IXC).
void result(fp_file *r, uint32_t d, double v)
{
    uint64_t bits = bits_of(v);
    if (std::isnan(v) && (r->fpscr & FPSCR_DN))
        bits = DEFAULT_NAN;
    else if (std::fpclassify(v) == FP_SUBNORMAL && (r->fpscr & FPSCR_FZ)) {
        bits &= SIGN;
        r->fpscr = (r->fpscr | FPSCR_UFC) & ~FPSCR_IXC;
    }
    bits_put(r, d, bits);
}

void single_result(fp_file *r, uint32_t s, float v)
{
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    if (std::isnan(v) && (r->fpscr & FPSCR_DN))
        bits = DEFAULT_NAN_SINGLE;
    else if (std::fpclassify(v) == FP_SUBNORMAL && (r->fpscr & FPSCR_FZ)) {
        bits &= 0x80000000u;
        r->fpscr = (r->fpscr | FPSCR_UFC) & ~FPSCR_IXC;
    }
    r->s[s] = bits;
}

// VFPExpandImm for a double: sign, then NOT(b6), b6 eight times, b5:b4,
// then b3:b0 at the top of the fraction.
uint64_t expanded_immediate(uint32_t imm8)
{
    uint64_t b6 = (imm8 >> 6) & 1;
    uint64_t exponent = (b6 ^ 1) << 10 | (b6 ? 0xFFull : 0) << 2 | ((imm8 >> 4) & 3);
    return uint64_t{(imm8 >> 7) & 1} << 63 | exponent << 52 | uint64_t{imm8 & 0xF} << 48;
}

// FPSCR's NZCV for a comparison: equal 0110, less 1000, greater 0010,
// unordered 0011 (IOC for a signalling NaN, or any NaN with VCMPE).
uint32_t compare_flags(double a, double b, bool quiet_raises, uint32_t *fpscr)
{
    if (std::isnan(a) || std::isnan(b)) {
        bool signalling =
            (std::isnan(a) && !(bits_of(a) & (1ull << 51))) || (std::isnan(b) && !(bits_of(b) & (1ull << 51)));
        if (signalling || quiet_raises)
            *fpscr |= FPSCR_IOC;
        return 0x3;
    }
    return a == b ? 0x6 : a < b ? 0x8 : 0x2;
}

// VCVT to a 32-bit integer, towards zero or in FPSCR's mode: NaN gives 0,
// a value out of range the nearest end, both with IOC; an inexact one IXC.
uint32_t to_integer(double v, bool is_signed, bool towards_zero, uint32_t *fpscr)
{
    if (std::isnan(v)) {
        *fpscr |= FPSCR_IOC;
        return 0;
    }
    double rounded = towards_zero ? std::trunc(v) : std::nearbyint(v);
    double lo = is_signed ? -2147483648.0 : 0.0, hi = is_signed ? 2147483647.0 : 4294967295.0;
    if (rounded < lo || rounded > hi) {
        *fpscr |= FPSCR_IOC;
        rounded = rounded < lo ? lo : hi;
    } else if (rounded != v) {
        *fpscr |= FPSCR_IXC;
    }
    return is_signed ? static_cast<uint32_t>(static_cast<int32_t>(rounded)) : static_cast<uint32_t>(rounded);
}

// ---- the operations ----------------------------------------------------------

// The multiply-accumulates that are not fused round the product first.
double arithmetic(dp_op op, double dv, double n, double m)
{
    volatile double product = 0;
    if (op >= OP_MLA && op <= OP_NMUL)
        product = n * m;
    switch (op) {
    case OP_MLA:
        return dv + product;
    case OP_MLS:
        return dv - product;
    case OP_NMLA:
        return -dv - product;
    case OP_NMLS:
        return -dv + product;
    case OP_MUL:
        return product;
    case OP_NMUL:
        return -product;
    case OP_ADD:
        return n + m;
    case OP_SUB:
        return n - m;
    case OP_DIV:
        return n / m;
    case OP_FMA:
        return std::fma(n, m, dv);
    case OP_FMS:
        return std::fma(-n, m, dv);
    case OP_FNMA:
        return std::fma(-n, m, -dv);
    case OP_FNMS:
        return std::fma(n, m, -dv);
    default:
        return 0;
    }
}

// The bit operations: no exceptions, no flushing, NaNs as they are.
bool bit_operation(dp_op op, const fields &f, fp_file *r)
{
    switch (op) {
    case OP_MOV_IMM:
        bits_put(r, f.d, expanded_immediate(f.imm8));
        return true;
    case OP_MOV:
        bits_put(r, f.d, bits_of(*r, f.m));
        return true;
    case OP_ABS:
        bits_put(r, f.d, bits_of(*r, f.m) & ~SIGN);
        return true;
    case OP_NEG:
        bits_put(r, f.d, bits_of(*r, f.m) ^ SIGN);
        return true;
    default:
        return false;
    }
}

// The operations with a rounded result, under the host's floating-point
// environment set up as FPSCR says; the flags it raised go to FPSCR.
void rounded_operation(dp_op op, const fields &f, fp_file *r)
{
    switch (op) {
    case OP_SQRT:
        result(r, f.d, std::sqrt(operand(r, f.m)));
        break;
    case OP_CMP:
    case OP_CMP_ZERO: {
        double b = op == OP_CMP_ZERO ? 0.0 : operand(r, f.m);
        uint32_t nzcv = compare_flags(operand(r, f.d), b, f.bit7, &r->fpscr);
        r->fpscr = (r->fpscr & 0x0FFFFFFFu) | nzcv << FPSCR_NZCV_SHIFT;
        break;
    }
    case OP_RINTR:
        result(r, f.d, std::nearbyint(operand(r, f.m)));
        break;
    case OP_RINTZ:
        result(r, f.d, std::trunc(operand(r, f.m)));
        break;
    case OP_RINTX:
        result(r, f.d, std::rint(operand(r, f.m)));
        break;
    case OP_TO_SINGLE:
        single_result(r, f.sd, static_cast<float>(operand(r, f.m)));
        break;
    case OP_FROM_SINGLE:
        result(r, f.d, static_cast<double>(float_of(r->s[f.sm])));
        break;
    case OP_FROM_INT:
        result(r, f.d, f.bit7 ? static_cast<double>(static_cast<int32_t>(r->s[f.sm])) : r->s[f.sm]);
        break;
    case OP_TO_INT:
        r->s[f.sd] = to_integer(operand(r, f.m), (f.opc2 & 1) != 0, f.bit7, &r->fpscr);
        break;
    default:
        result(r, f.d, arithmetic(op, operand(r, f.d), operand(r, f.n), operand(r, f.m)));
        break;
    }
}

uint32_t fpscr_flags(int raised)
{
    return (raised & FE_INVALID ? FPSCR_IOC : 0) | (raised & FE_DIVBYZERO ? FPSCR_DZC : 0) |
           (raised & FE_OVERFLOW ? FPSCR_OFC : 0) | (raised & FE_UNDERFLOW ? FPSCR_UFC : 0) |
           (raised & FE_INEXACT ? FPSCR_IXC : 0);
}

} // namespace

bool fp_double_decodes(uint32_t first, uint32_t second)
{
    fields f;
    return decoded(first, second, &f) != OP_NONE;
}

bool fp_double_execute(uint32_t first, uint32_t second, fp_file *r)
{
    fields f;
    dp_op op = decoded(first, second, &f);
    if (op == OP_NONE)
        return false;
    if (bit_operation(op, f, r))
        return true;
    static constexpr int MODES[4] = {FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO};
    int saved = std::fegetround();
    std::fesetround(MODES[(r->fpscr >> FPSCR_RMODE_SHIFT) & 3]);
    std::feclearexcept(FE_ALL_EXCEPT);
    uint32_t before = r->fpscr;
    rounded_operation(op, f, r);
    // The conversions to integer set what they raise themselves, and VRINTR
    // and VRINTZ raise no inexact: the host's flags from them would be wrong.
    int raised = std::fetestexcept(FE_ALL_EXCEPT);
    if (op == OP_TO_INT)
        raised = 0;
    else if (op == OP_RINTR || op == OP_RINTZ)
        raised &= FE_INVALID;
    bool flushed = (r->fpscr & FPSCR_UFC) && !(before & FPSCR_UFC) && (r->fpscr & FPSCR_FZ);
    uint32_t flags = fpscr_flags(raised) & (flushed ? ~FPSCR_IXC : ~0u);
    r->fpscr |= flags;
    std::feclearexcept(FE_ALL_EXCEPT);
    std::fesetround(saved);
    return true;
}

} // namespace vprobe
