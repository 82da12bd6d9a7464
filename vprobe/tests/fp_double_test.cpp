// The virtual M7's double-precision operations against the FPU's results,
// on a register file of the test's: each encoding as the cross assembler
// writes it, with d0 and d1 (or s3) as operands and d2 (or s5) the result.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "fp_double.h"

using vprobe::fp_file;

namespace
{

constexpr uint32_t IOC = 1u << 0, DZC = 1u << 1, IXC = 1u << 4, IDC = 1u << 7;
constexpr uint32_t RMODE_RZ = 3u << 22, RMODE_RM = 2u << 22, FZ = 1u << 24, DN = 1u << 25;

uint64_t bits(double v)
{
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

void put(fp_file *f, int d, uint64_t b)
{
    f->s[2 * d] = static_cast<uint32_t>(b);
    f->s[2 * d + 1] = static_cast<uint32_t>(b >> 32);
}

uint64_t get(const fp_file &f, int d)
{
    return uint64_t{f.s[2 * d + 1]} << 32 | f.s[2 * d];
}

struct dp_case {
    const char *text;
    uint16_t first, second;
    double d0, d1;  // operands (d2 holds 10.0 before: the accumulate's)
    uint32_t fpscr; // before
    uint64_t d2;    // expected result bits
    uint32_t flags; // FPSCR bits expected set after (the low byte, and NZCV)
};

const dp_case CASES[] = {
    {"vadd.f64 d2, d0, d1", 0xEE30, 0x2B01, 1.5, 2.25, 0, bits(3.75), 0},
    {"vsub.f64 d2, d0, d1", 0xEE30, 0x2B41, 1.5, 2.25, 0, bits(-0.75), 0},
    {"vmul.f64 d2, d0, d1", 0xEE20, 0x2B01, 1.5, -4, 0, bits(-6.0), 0},
    {"vdiv.f64 d2, d0, d1", 0xEE80, 0x2B01, 1, 3, 0, bits(1.0 / 3), IXC},
    {"vdiv.f64 by zero", 0xEE80, 0x2B01, 1, 0, 0, bits(INFINITY), DZC},
    {"vdiv.f64 towards zero", 0xEE80, 0x2B01, 2, 3, RMODE_RZ, 0x3FE5555555555555, IXC},
    {"vdiv.f64 towards minus", 0xEE80, 0x2B01, -2, 3, RMODE_RM, 0xBFE5555555555556, IXC},
    {"vmla.f64 d2, d0, d1", 0xEE00, 0x2B01, 2, 3, 0, bits(16.0), 0},
    {"vmls.f64 d2, d0, d1", 0xEE00, 0x2B41, 2, 3, 0, bits(4.0), 0},
    {"vnmla.f64 d2, d0, d1", 0xEE10, 0x2B41, 2, 3, 0, bits(-16.0), 0},
    {"vnmls.f64 d2, d0, d1", 0xEE10, 0x2B01, 2, 3, 0, bits(-4.0), 0},
    {"vnmul.f64 d2, d0, d1", 0xEE20, 0x2B41, 2, 3, 0, bits(-6.0), 0},
    {"vfma.f64 d2, d0, d1", 0xEEA0, 0x2B01, 2, 3, 0, bits(16.0), 0},
    {"vfms.f64 d2, d0, d1", 0xEEA0, 0x2B41, 2, 3, 0, bits(4.0), 0},
    {"vfnma.f64 d2, d0, d1", 0xEE90, 0x2B41, 2, 3, 0, bits(-16.0), 0},
    {"vfnms.f64 d2, d0, d1", 0xEE90, 0x2B01, 2, 3, 0, bits(-4.0), 0},
    {"vmov.f64 d2, #-2.5", 0xEEB8, 0x2B04, 0, 0, 0, bits(-2.5), 0},
    {"vmov.f64 d2, d1", 0xEEB0, 0x2B41, 0, -7, 0, bits(-7.0), 0},
    {"vabs.f64 d2, d1", 0xEEB0, 0x2BC1, 0, -7, 0, bits(7.0), 0},
    {"vneg.f64 d2, d1", 0xEEB1, 0x2B41, 0, 7, 0, bits(-7.0), 0},
    {"vsqrt.f64 d2, d1", 0xEEB1, 0x2BC1, 0, 2.25, 0, bits(1.5), 0},
    {"vsqrt.f64 of -1", 0xEEB1, 0x2BC1, 0, -1, DN, 0x7FF8000000000000, IOC},
    {"vadd.f64 denormal, FZ", 0xEE30, 0x2B01, 1e-310, 0, FZ, bits(0.0), IDC},
    {"vrintr.f64 d2, d1", 0xEEB6, 0x2B41, 0, 2.5, 0, bits(2.0), 0},
    {"vrintz.f64 d2, d1", 0xEEB6, 0x2BC1, 0, -2.7, 0, bits(-2.0), 0},
    {"vrintx.f64 d2, d1", 0xEEB7, 0x2B41, 0, 2.7, 0, bits(3.0), IXC},
};

TEST(FpDouble, EachOperationGivesTheFpusResultAndFlags)
{
    for (const dp_case &c : CASES) {
        fp_file f{};
        put(&f, 0, bits(c.d0));
        put(&f, 1, bits(c.d1));
        put(&f, 2, bits(10.0));
        f.fpscr = c.fpscr;
        ASSERT_TRUE(vprobe::fp_double_decodes(c.first, c.second)) << c.text;
        ASSERT_TRUE(vprobe::fp_double_execute(c.first, c.second, &f)) << c.text;
        EXPECT_EQ(get(f, 2), c.d2) << c.text << std::hex << " got " << get(f, 2);
        EXPECT_EQ(f.fpscr & 0xFF, c.flags) << c.text;
        EXPECT_EQ(get(f, 0), bits(c.d0)) << c.text << ": an operand untouched";
    }
}

// VCMP and VCMPE: FPSCR's NZCV, the other bits kept; a NaN is unordered,
// and raises IOC with VCMPE (or when signalling).
TEST(FpDouble, ComparisonsSetTheFlags)
{
    struct cmp_case {
        uint16_t second;
        double d0, d1;
        uint32_t nzcv, low;
    } cases[] = {
        {0x0B41, 1, 1, 0x6, 0},   {0x0B41, 1, 2, 0x8, 0},     {0x0B41, 2, 1, 0x2, 0},
        {0x0B41, NAN, 1, 0x3, 0}, {0x0BC1, NAN, 1, 0x3, IOC}, {0x0BC1, -0.0, 0.0, 0x6, 0},
    };
    for (const cmp_case &c : cases) {
        fp_file f{};
        put(&f, 0, bits(c.d0));
        put(&f, 1, bits(c.d1));
        f.fpscr = 0x00C00000; // RZ: kept
        ASSERT_TRUE(vprobe::fp_double_execute(0xEEB4, c.second, &f));
        EXPECT_EQ(f.fpscr >> 28, c.nzcv) << c.d0 << " vs " << c.d1;
        EXPECT_EQ(f.fpscr & 0x0FFFFFFF, 0x00C00000u | c.low) << c.d0 << " vs " << c.d1;
    }
    fp_file f{};
    put(&f, 0, bits(-3));
    ASSERT_TRUE(vprobe::fp_double_execute(0xEEB5, 0x0B40, &f)); // vcmp.f64 d0, #0.0
    EXPECT_EQ(f.fpscr >> 28, 0x8u);
}

// The conversions: single and integer operands in s3, single and integer
// results in s5 (the halves of d1 and d2); out of range saturates with IOC.
TEST(FpDouble, ConversionsToAndFromSingleAndInteger)
{
    struct cvt_case {
        const char *text;
        uint16_t first, second;
        double d1;
        uint32_t s3, fpscr;
        uint32_t s5; // for the results in s5
        double d2;   // for the results in d2
        bool to_s5;
        uint32_t flags;
    } cases[] = {
        {"vcvt.f32.f64 s5, d1", 0xEEF7, 0x2BC1, 1.5, 0, 0, 0x3FC00000, 0, true, 0},
        {"vcvt.f64.f32 d2, s3", 0xEEB7, 0x2AE1, 0, 0x3FC00000, 0, 0, 1.5, false, 0},
        {"vcvt.f64.s32 d2, s3", 0xEEB8, 0x2BE1, 0, 0xFFFFFFFE, 0, 0, -2, false, 0},
        {"vcvt.f64.u32 d2, s3", 0xEEB8, 0x2B61, 0, 0xFFFFFFFE, 0, 0, 4294967294.0, false, 0},
        {"vcvt.s32.f64 s5, d1", 0xEEFD, 0x2BC1, -2.7, 0, 0, 0xFFFFFFFE, 0, true, IXC},
        {"vcvt.u32.f64 s5, -1", 0xEEFC, 0x2BC1, -1, 0, 0, 0, 0, true, IOC},
        {"vcvt.s32.f64 s5, 1e10", 0xEEFD, 0x2BC1, 1e10, 0, 0, 0x7FFFFFFF, 0, true, IOC},
        {"vcvt.s32.f64 s5, NaN", 0xEEFD, 0x2BC1, NAN, 0, 0, 0, 0, true, IOC},
        {"vcvtr.s32.f64 s5, d1", 0xEEFD, 0x2B41, 2.5, 0, 0, 2, 0, true, IXC},
        {"vcvtr.s32.f64 towards minus", 0xEEFD, 0x2B41, 2.5, 0, RMODE_RM, 2, 0, true, IXC},
    };
    for (const cvt_case &c : cases) {
        fp_file f{};
        put(&f, 1, bits(c.d1));
        if (!c.to_s5)
            f.s[3] = c.s3; // the high half of d1, which these do not read
        f.fpscr = c.fpscr;
        ASSERT_TRUE(vprobe::fp_double_execute(c.first, c.second, &f)) << c.text;
        if (c.to_s5)
            EXPECT_EQ(f.s[5], c.s5) << c.text;
        else
            EXPECT_EQ(get(f, 2), bits(c.d2)) << c.text;
        EXPECT_EQ(f.fpscr & 0xFF, c.flags) << c.text;
    }
}

// What Unicorn runs itself, and what FPv5-D16 does not have, is not taken.
TEST(FpDouble, OtherEncodingsAreLeftAlone)
{
    const struct {
        const char *text;
        uint16_t first, second;
    } cases[] = {
        {"vadd.f32 s2, s0, s1", 0xEE30, 0x1A20}, {"vadd.f64 d18, d0, d1 (no D16-D31)", 0xEE70, 0x2B01},
        {"vmov r0, r1, d2", 0xEC51, 0x0B12},     {"vldr d1, [r0]", 0xED90, 0x1B00},
        {"ldr.w r0, [r1]", 0xF8D1, 0x0000},      {"vcvt.f64.s32 fixed", 0xEEBA, 0x2BC0},
    };
    for (const auto &c : cases) {
        fp_file f{};
        f.s[0] = 0x12345678;
        EXPECT_FALSE(vprobe::fp_double_decodes(c.first, c.second)) << c.text;
        EXPECT_FALSE(vprobe::fp_double_execute(c.first, c.second, &f)) << c.text;
        EXPECT_EQ(f.s[0], 0x12345678u) << c.text;
    }
    fp_file f{};
    put(&f, 13, bits(1));
    put(&f, 14, bits(2));
    ASSERT_TRUE(vprobe::fp_double_execute(0xEE3E, 0xFB0D, &f)); // vadd.f64 d15, d14, d13: the top of D16
    EXPECT_EQ(get(f, 15), bits(3.0));
}

} // namespace
