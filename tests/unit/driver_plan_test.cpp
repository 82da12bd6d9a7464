// Pure parts of the probe driver: the chunk planner of memory transfers and
// the clock selection.
#include <gtest/gtest.h>

#include <vector>

#include "tarvex_usb.h"

namespace
{

TEST(MemoryChunks, BlockSizeToTheNextAutoIncrementBoundary)
{
    EXPECT_EQ(tarvex_max_block_size(1024, 0x20000000), 1024u);
    EXPECT_EQ(tarvex_max_block_size(1024, 0x200003F0), 16u);
    EXPECT_EQ(tarvex_max_block_size(1024, 0x200003FF), 1u);
    EXPECT_EQ(tarvex_max_block_size(4, 0x20000002), 2u);
}

TEST(MemoryChunks, PlannerTable)
{
    struct chunk_case {
        uint32_t addr;
        uint32_t remaining;
        uint16_t size;
        tarvex_mem_chunk expected;
    };
    const chunk_case cases[] = {
        {0x1000, 8, 4, {0, 8, true}},       {0x1002, 8, 4, {2, 6, false}}, // head to alignment, then bytes
        {0x13F0, 2048, 4, {0, 16, true}},                                  // up to the block boundary
        {0x1400, 2032, 4, {0, 1024, true}}, {0x1001, 1, 4, {1, 0, true}},  // ends before the next word boundary
        {0x13FE, 100, 4, {2, 0, true}},                                    // the head reaches the block boundary
        {0x13FD, 5000, 4, {3, 0, true}},    {0x1000, 130, 1, {0, 64, false}},
        {0x1000, 2, 2, {0, 2, false}},      {0x1003, 1030, 4, {1, 1020, true}},
    };
    for (const chunk_case &c : cases) {
        tarvex_mem_chunk got = tarvex_next_mem_chunk(c.addr, c.remaining, c.size, 1024);
        EXPECT_EQ(got.head, c.expected.head) << std::hex << c.addr << " " << std::dec << c.remaining;
        EXPECT_EQ(got.body, c.expected.body) << std::hex << c.addr << " " << std::dec << c.remaining;
        if (got.body != 0) {
            EXPECT_EQ(got.body_words, c.expected.body_words) << std::hex << c.addr;
        }
    }
}

// Walking the planner over many ranges: contiguous, no piece too large.
TEST(MemoryChunks, EveryRangeIsCoveredExactly)
{
    for (uint32_t addr = 0x3F0; addr < 0x410; addr++) {
        for (uint32_t len : {1u, 3u, 4u, 7u, 64u, 1023u, 1024u, 1025u, 3000u}) {
            uint32_t at = addr, left = len;
            while (left != 0) {
                tarvex_mem_chunk c = tarvex_next_mem_chunk(at, left, 4, 1024);
                ASSERT_LE(c.head, 3u);
                ASSERT_LE(c.head + c.body, left);
                ASSERT_GT(c.head + c.body, 0u) << "no progress at " << at;
                uint32_t word_at = at + c.head;
                if (c.body_words && c.body != 0) {
                    ASSERT_EQ(word_at % 4, 0u);
                    ASSERT_EQ(word_at / 1024, (word_at + c.body - 1) / 1024);
                }
                at += c.head + c.body;
                left -= c.head + c.body;
            }
            EXPECT_EQ(at, addr + len);
        }
    }
}

TEST(ClockSelection, NearestNotAboveElseTheSlowest)
{
    std::vector<int32_t> swd;
    for (const speed_map &row : tarvex_khz_to_speed_map)
        swd.push_back(row.speed);
    struct speed_case {
        int32_t khz;
        int row;
        bool exact;
    };
    const speed_case cases[] = {
        {4000, 0, true}, {1000, 3, false}, {1, 11, false},  {10000, 0, false},
        {5, 11, true},   {949, 4, false},  {-7, 11, false},
    };
    for (const speed_case &c : cases) {
        bool exact = !c.exact;
        EXPECT_EQ(tarvex_select_speed(swd.data(), static_cast<int>(swd.size()), c.khz, &exact), c.row) << c.khz;
        EXPECT_EQ(exact, c.exact) << c.khz;
    }
    std::vector<int32_t> jtag;
    for (const speed_map &row : jtag_tarvex_khz_to_speed_map)
        jtag.push_back(row.speed);
    bool exact = false;
    EXPECT_EQ(jtag_tarvex_khz_to_speed_map[tarvex_select_speed(jtag.data(), 7, 3000, &exact)].speed_divisor, 16);
    EXPECT_EQ(jtag_tarvex_khz_to_speed_map[tarvex_select_speed(jtag.data(), 7, 100, &exact)].speed, 140);
}

} // namespace
