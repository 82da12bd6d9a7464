// The flash loader's pure parts: where the algorithm, its buffers and its
// stack go in the RAM it may use, and the checksum it compares with the
// target's routine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_link.h"
#include "flash_runner.h"

namespace
{

using namespace tarvex_target;
using namespace tarvex_flash;

flash_setup setup_with(uint32_t work_size, uint32_t page)
{
    flash_setup s;
    s.algo.code.assign(300, 0);
    s.algo.data.assign(8, 0);
    s.algo.data_offset = 300;
    s.algo.zero_size = 4;
    s.algo.device.page_size = page;
    s.helper.assign(90, 0);
    s.work_base = 0x20000000;
    s.work_size = work_size;
    return s;
}

// Each piece inside the work RAM, none overlapping the next, in order:
// trap, the page loop's words, code, helper, buffers, guard, stack.
void expect_ordered(const flash_setup &s, const flash_layout &l)
{
    uint32_t page = s.algo.device.page_size;
    EXPECT_EQ(l.trap, s.work_base);
    EXPECT_GE(l.code, l.page_call + PAGE_CALL_SIZE);
    EXPECT_GE(l.helper, l.code + flash_algo_span(s.algo));
    EXPECT_GE(l.buffers[0], l.helper + s.helper.size());
    EXPECT_EQ(l.buffer_size % page, 0u) << "whole pages";
    if (l.buffer_count == 2) {
        EXPECT_EQ(l.buffers[1], l.buffers[0] + l.buffer_size);
    }
    EXPECT_GE(l.guard, l.buffers[l.buffer_count - 1] + l.buffer_size);
    EXPECT_GT(l.stack_top, l.guard + 4);
    EXPECT_EQ(l.stack_top % 8, 0u);
    EXPECT_LE(l.stack_top, s.work_base + s.work_size);
    EXPECT_EQ(l.code % 4, 0u);
}

TEST(FlashLayout, TwoBuffersWhenRamAllowsOneWhenItDoesNotNoneRefused)
{
    struct row {
        uint32_t work_size;
        uint32_t page;
        int rc;
        uint32_t buffers;
        uint32_t buffer_size; // as many pages as two buffers leave room for, up to 16 KiB
        uint32_t first;       // the first buffer's offset: a 1 KiB boundary when both still fit from there
    };
    const row rows[] = {
        {0x8000, 1024, 0, 2, 0x3C00, 0x400},
        {0x8000, 4096, 0, 2, 0x3000, 0x400},
        {0x10000, 1024, 0, 2, 0x4000, 0x400},
        {2600, 512, 0, 2, 512, 0x1B0},
        {2600, 1024, 0, 1, 1024, 0x1B0},
        {2400, 1024, -1, 0, 0, 0},
        {0x8000, 0, -1, 0, 0, 0},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(std::to_string(r.work_size) + " bytes, page " + std::to_string(r.page));
        flash_setup s = setup_with(r.work_size, r.page);
        flash_layout l{};
        std::string why;
        ASSERT_EQ(flash_layout_plan(s, &l, &why), r.rc);
        if (r.rc != 0) {
            EXPECT_NE(why.find("need more than"), std::string::npos) << why;
            continue;
        }
        EXPECT_EQ(l.buffer_count, r.buffers);
        EXPECT_EQ(l.buffer_size, r.buffer_size);
        EXPECT_EQ(l.buffers[0] - s.work_base, r.first);
        expect_ordered(s, l);
    }
}

// A helper blob is used only when its version word follows the entries.
TEST(FlashLayout, OnlyTheCurrentHelperIsUsed)
{
    const std::vector<uint8_t> current = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x54, 0x56, 0x48, 0x32, 0};
    std::vector<uint8_t> older = current, shorter(current.begin(), current.begin() + 15);
    older[15] = 0x31;
    EXPECT_TRUE(flash_helper_current(current));
    EXPECT_FALSE(flash_helper_current(older));
    EXPECT_FALSE(flash_helper_current(shorter));
    EXPECT_FALSE(flash_helper_current({}));
}

// The target's side is checked against this function in vprobe's tests;
// here, the differences the comparison must never miss.
TEST(FlashLayout, ChecksumSeesEveryChangedWordAndTheLength)
{
    std::vector<uint8_t> base(4096);
    for (size_t i = 0; i < base.size(); i++)
        base[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
    uint32_t sum = tarvex_images::flash_checksum(base.data(), base.size());
    for (size_t at : {size_t{0}, size_t{1}, size_t{2047}, size_t{4095}})
        for (uint8_t bit = 1; bit != 0; bit = static_cast<uint8_t>(bit << 1)) {
            std::vector<uint8_t> changed = base;
            changed[at] ^= bit;
            EXPECT_NE(tarvex_images::flash_checksum(changed.data(), changed.size()), sum)
                << "byte " << at << " bit " << int(bit);
        }
    std::vector<uint8_t> two = base;
    two[3] ^= 0x80;
    two[7] ^= 0x80; // the top bits of two words, which multiplication alone would cancel
    EXPECT_NE(tarvex_images::flash_checksum(two.data(), two.size()), sum);
    std::vector<uint8_t> zeros(8, 0);
    EXPECT_NE(tarvex_images::flash_checksum(zeros.data(), 8), tarvex_images::flash_checksum(zeros.data(), 7))
        << "a shorter range of equal bytes";
    EXPECT_NE(tarvex_images::flash_checksum(zeros.data(), 0), tarvex_images::flash_checksum(zeros.data(), 1));
}

// A load that fails before anything is programmed (the core will not halt,
// or the algorithm cannot be written into RAM) ends with its error, in the
// prepare phase, and never goes on to plan pages from sectors it did not
// read.
TEST(FlashLoad, AFailureWhilePreparingEndsTheLoad)
{
    struct row {
        const char *what;
        bool never_halts;
        bool fail_ram;
    };
    const row rows[] = {{"the core never halts", true, false}, {"the work RAM cannot be written", false, true}};
    for (const row &r : rows) {
        tarvex_test::fake_link l;
        l.never_halts = r.never_halts;
        l.failing = r.fail_ram;
        l.fail_addr = 0x20000000;
        flash_setup s = setup_with(0x8000, 1024);
        s.helper.clear(); // without the checksum, nothing of the sector is looked at before the erase
        s.algo.device.address = 0;
        s.algo.device.size = 0x10000;
        s.algo.device.empty = 0xFF;
        s.algo.device.sectors = {{0x1000, 0}};
        std::vector<tarvex_images::image_extent> image = {{0x1000, std::vector<uint8_t>(0x1800, 0x5A)}};
        flash_options opt;
        flash_summary sum;
        flash_error err;
        err.phase = PHASE_VERIFY; // set by the failure
        EXPECT_NE(flash_program(l, s, image, opt, nullptr, &sum, &err), TARGET_OK) << r.what;
        EXPECT_EQ(err.phase, PHASE_PREPARE) << r.what;
        EXPECT_EQ(sum.bytes_programmed, 0u) << r.what;
    }
}

} // namespace
