// The flash loader's pure parts: where the algorithm, its buffers and its
// stack go in the RAM it may use, and the checksum it compares with the
// target's routine.
#include <gtest/gtest.h>

#include <string>

#include "flash_runner.h"

namespace
{

using namespace tarvex_target;

flash_setup setup_with(uint32_t work_size, uint32_t page)
{
    flash_setup s;
    s.algo.code.assign(300, 0);
    s.algo.data.assign(8, 0);
    s.algo.data_offset = 300;
    s.algo.zero_size = 4;
    s.algo.device.page_size = page;
    s.crc_routine.assign(90, 0);
    s.work_base = 0x20000000;
    s.work_size = work_size;
    return s;
}

// Each piece inside the work RAM, none overlapping the next, in order:
// trap, code, checksum routine, buffers, guard, stack.
void expect_ordered(const flash_setup &s, const flash_layout &l)
{
    uint32_t page = s.algo.device.page_size;
    EXPECT_EQ(l.trap, s.work_base);
    EXPECT_GE(l.crc_entry, l.code + flash_algo_span(s.algo));
    EXPECT_GE(l.buffers[0], l.crc_entry + s.crc_routine.size());
    if (l.buffer_count == 2) {
        EXPECT_EQ(l.buffers[1], l.buffers[0] + page);
    }
    EXPECT_GE(l.guard, l.buffers[l.buffer_count - 1] + page);
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
    };
    const row rows[] = {
        {0x8000, 1024, 0, 2}, {0x8000, 4096, 0, 2}, {2600, 512, 0, 2},
        {2600, 1024, 0, 1},   {2400, 1024, -1, 0},  {0x8000, 0, -1, 0},
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
        expect_ordered(s, l);
    }
}

TEST(FlashLayout, ChecksumIsZlibsCrc32AndContinues)
{
    const std::string check = "123456789";
    auto bytes = reinterpret_cast<const uint8_t *>(check.data());
    EXPECT_EQ(flash_crc32(bytes, check.size()), 0xCBF43926u);
    EXPECT_EQ(flash_crc32(bytes + 4, 5, flash_crc32(bytes, 4)), 0xCBF43926u);
    EXPECT_EQ(flash_crc32(bytes, 0), 0u);
}

} // namespace
