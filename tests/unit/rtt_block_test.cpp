// The checks a control block must pass before the server reads through it:
// good blocks and damaged ones, each refusal with the reason an operator
// reads in the status, and the offset arithmetic of the one-byte-free rule.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>
#include <vector>

#include "rtt_block.h"
#include "rtt_fake_target.h"

namespace
{

constexpr uint32_t ram_base = 0x20000000;
constexpr uint32_t ram_len = 0x20000;
constexpr rtt_range ram{ram_base, ram_len};
constexpr uint32_t block_at = 0x20000100;

// One up and one down channel, both with data in flight.
rtt_fake_block good_block()
{
    rtt_fake_block b;
    b.up_count = 1;
    b.down_count = 1;
    b.descriptors = {{0x00001000, 0x20001000, 1024, 70, 10, RTT_MODE_TRIM}, {0, 0x20002000, 64, 5, 3, 0}};
    return b;
}

struct check_case {
    const char *what;
    std::function<void(rtt_fake_block &, uint32_t &address, rtt_range &ram)> damage;
    const char *why; // nullptr: the block passes
};

const check_case check_cases[] = {
    {"good", [](rtt_fake_block &, uint32_t &, rtt_range &) {}, nullptr},
    {"no down channels",
     [](rtt_fake_block &b, uint32_t &, rtt_range &) {
         b.down_count = 0;
         b.descriptors.pop_back();
     },
     nullptr},
    {"no up channels",
     [](rtt_fake_block &b, uint32_t &, rtt_range &) {
         b.up_count = 0;
         b.descriptors.erase(b.descriptors.begin());
     },
     nullptr},
    {"32 each",
     [](rtt_fake_block &b, uint32_t &, rtt_range &) {
         b.up_count = b.down_count = 32;
         b.descriptors.assign(64, rtt_channel{0, 0x20001000, 2, 1, 0, 0});
     },
     nullptr},
    {"size 2 buffer at RAM's last bytes",
     [](rtt_fake_block &b, uint32_t &, rtt_range &) { b.descriptors[1] = {0, ram_base + ram_len - 2, 2, 1, 1, 0}; },
     nullptr},
    {"block at RAM's end", [](rtt_fake_block &, uint32_t &a, rtt_range &) { a = ram_base + ram_len - 72; }, nullptr},
    {"ID's last NUL not a NUL", [](rtt_fake_block &b, uint32_t &, rtt_range &) { b.id[15] = 'x'; }, "ID not found"},
    {"ID half written", [](rtt_fake_block &b, uint32_t &, rtt_range &) { std::memset(b.id + 8, 0, 8); },
     "ID not found"},
    {"ID wiped", [](rtt_fake_block &b, uint32_t &, rtt_range &) { std::memset(b.id, 0, 16); }, "ID not found"},
    {"2000 up", [](rtt_fake_block &b, uint32_t &, rtt_range &) { b.up_count = 2000; }, "2000 up channels (at most 32)"},
    {"33 down", [](rtt_fake_block &b, uint32_t &, rtt_range &) { b.down_count = 33; }, "33 down channels (at most 32)"},
    {"negative up", [](rtt_fake_block &b, uint32_t &, rtt_range &) { b.up_count = -1; }, "-1 up channels (at most 32)"},
    {"most negative down", [](rtt_fake_block &b, uint32_t &, rtt_range &) { b.down_count = INT32_MIN; },
     "-2147483648 down channels (at most 32)"},
    {"no channels", [](rtt_fake_block &b, uint32_t &, rtt_range &) { b.up_count = b.down_count = 0; }, "no channels"},
    {"block unaligned", [](rtt_fake_block &, uint32_t &a, rtt_range &) { a = 0x20000102; },
     "block 0x20000102 not 4-byte aligned"},
    {"block's last descriptor past RAM's end",
     [](rtt_fake_block &, uint32_t &a, rtt_range &) { a = ram_base + ram_len - 68; }, "block 0x2001ffbc outside RAM"},
    {"block below RAM", [](rtt_fake_block &, uint32_t &a, rtt_range &) { a = ram_base - 24; },
     "block 0x1fffffe8 outside RAM"},
    {"block wrapping past 2^32",
     [](rtt_fake_block &b, uint32_t &a, rtt_range &r) {
         r = {0xfffff000, 0x2000};
         a = 0xffffffd0;
         b.descriptors = {{0, 0xfffff000, 16, 0, 0, 0}, {0, 0xfffff100, 16, 0, 0, 0}};
     },
     "block 0xffffffd0 outside RAM"},
    {"up buffer outside RAM", [](rtt_fake_block &b, uint32_t &, rtt_range &) { b.descriptors[0].buffer = 0x30000000; },
     "up 0 buffer 0x30000000 outside RAM"},
    {"down buffer one byte past RAM's end",
     [](rtt_fake_block &b, uint32_t &, rtt_range &) { b.descriptors[1].buffer = ram_base + ram_len - 63; },
     "down 0 buffer 0x2001ffc1 outside RAM"},
    {"buffer wrapping past 2^32 in a range named past it",
     [](rtt_fake_block &b, uint32_t &a, rtt_range &r) {
         r = {0xfffff000, 0x10000};
         a = 0xfffff000;
         b.descriptors = {{0, 0xffffff00, 0x200, 0, 0, 0}, {0, 0xfffff100, 16, 0, 0, 0}};
     },
     "up 0 buffer 0xffffff00 outside RAM"},
    {"huge size", [](rtt_fake_block &b, uint32_t &, rtt_range &) { b.descriptors[0].size = 0xffffffff; },
     "up 0 buffer 0x20001000 outside RAM"},
    {"up size 1", [](rtt_fake_block &b, uint32_t &, rtt_range &) { b.descriptors[0] = {0, 0x20001000, 1, 0, 0, 0}; },
     "up 0 size 1"},
    {"down size 0", [](rtt_fake_block &b, uint32_t &, rtt_range &) { b.descriptors[1] = {0, 0x20001000, 0, 0, 0, 0}; },
     "down 0 size 0"},
    {"down RdOff past size", [](rtt_fake_block &b, uint32_t &, rtt_range &) { b.descriptors[1].rd_off = 70; },
     "down 0 RdOff 70 past size 64"},
    {"up WrOff at size", [](rtt_fake_block &b, uint32_t &, rtt_range &) { b.descriptors[0].wr_off = 1024; },
     "up 0 WrOff 1024 past size 1024"},
    {"RdOff all ones", [](rtt_fake_block &b, uint32_t &, rtt_range &) { b.descriptors[0].rd_off = 0xffffffff; },
     "up 0 RdOff 4294967295 past size 1024"},
    {"down buffer over the block's last byte",
     [](rtt_fake_block &b, uint32_t &, rtt_range &) { b.descriptors[1].buffer = block_at + 72 - 1; },
     "down 0 buffer 0x20000147 overlaps the block"},
    {"down buffer ending at the block's first byte",
     [](rtt_fake_block &b, uint32_t &, rtt_range &) { b.descriptors[1].buffer = block_at - 63; },
     "down 0 buffer 0x200000c1 overlaps the block"},
    {"down buffer ending just before the block",
     [](rtt_fake_block &b, uint32_t &, rtt_range &) { b.descriptors[1].buffer = block_at - 64; }, nullptr},
    {"up buffer over the block", [](rtt_fake_block &b, uint32_t &, rtt_range &) { b.descriptors[0].buffer = block_at; },
     nullptr},
    {"second up channel bad",
     [](rtt_fake_block &b, uint32_t &, rtt_range &) {
         b.up_count = 2;
         b.descriptors.insert(b.descriptors.begin() + 1, rtt_channel{0, 0x30000000, 16, 0, 0, 0});
     },
     "up 1 buffer 0x30000000 outside RAM"},
};

TEST(RttBlockCheck, GoodAndDamagedBlocks)
{
    for (const check_case &c : check_cases) {
        SCOPED_TRACE(c.what);
        rtt_fake_block b = good_block();
        uint32_t address = block_at;
        rtt_range r = ram;
        c.damage(b, address, r);
        std::vector<uint8_t> bytes = b.bytes();
        rtt_block out{};
        out.up_count = -7; // must stay as it is on a refusal
        char why[64] = "";
        int rc = rtt_block_check(bytes.data(), bytes.size(), address, r, &out, why, sizeof why);
        if (c.why != nullptr) {
            EXPECT_EQ(rc, -1);
            EXPECT_STREQ(why, c.why);
            EXPECT_EQ(out.up_count, -7);
            continue;
        }
        ASSERT_EQ(rc, 0) << why;
        EXPECT_EQ(out.address, address);
        EXPECT_EQ(out.up_count, b.up_count);
        EXPECT_EQ(out.down_count, b.down_count);
        for (int32_t i = 0; i < b.up_count + b.down_count; i++) {
            const rtt_channel &got = i < b.up_count ? out.up[i] : out.down[i - b.up_count];
            const rtt_channel &want = b.descriptors[i];
            EXPECT_EQ(got.name_addr, want.name_addr);
            EXPECT_EQ(got.buffer, want.buffer);
            EXPECT_EQ(got.size, want.size);
            EXPECT_EQ(got.wr_off, want.wr_off);
            EXPECT_EQ(got.rd_off, want.rd_off);
            EXPECT_EQ(got.flags, want.flags);
        }
    }
}

TEST(RttBlockCheck, ShortReadsAreRefusedWithoutReadingPastThem)
{
    rtt_fake_block b = good_block();
    std::vector<uint8_t> bytes = b.bytes();
    for (size_t len = 0; len < bytes.size(); len++) {
        // A copy of exactly len bytes, so that a read past them is caught by
        // the sanitizers.
        std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<long>(len));
        rtt_block out;
        char why[64] = "";
        EXPECT_EQ(rtt_block_check(cut.data(), cut.size(), block_at, ram, &out, why, sizeof why), -1) << len;
        EXPECT_STREQ(why, "block read short") << len;
    }
    rtt_block out;
    EXPECT_EQ(rtt_block_check(nullptr, 0, block_at, ram, &out, nullptr, 0), -1);
}

TEST(RttBlockCheck, ReasonIsCutToItsBuffer)
{
    rtt_fake_block b = good_block();
    b.up_count = 2000;
    std::vector<uint8_t> bytes = b.bytes();
    rtt_block out;
    char why[9];
    std::memset(why, 'x', sizeof why);
    EXPECT_EQ(rtt_block_check(bytes.data(), bytes.size(), block_at, ram, &out, why, 5), -1);
    EXPECT_STREQ(why, "2000");
    EXPECT_EQ(why[5], 'x');
}

TEST(RttHeaderCheck, GivesTheCounts)
{
    rtt_fake_block b = good_block();
    b.up_count = 3;
    b.down_count = 0;
    std::vector<uint8_t> bytes = b.bytes();
    int32_t up = -1, down = -1;
    char why[64];
    ASSERT_EQ(rtt_header_check(bytes.data(), RTT_HEADER_SIZE, &up, &down, why, sizeof why), 0);
    EXPECT_EQ(up, 3);
    EXPECT_EQ(down, 0);
    EXPECT_EQ(rtt_block_size(up, down), 24u + 3 * 24);
    EXPECT_EQ(rtt_block_size(32, 32), 24u + 64 * 24);
}

struct recheck_case {
    const char *what;
    std::function<void(rtt_fake_block &)> change;
    const char *why;
};

const recheck_case recheck_cases[] = {
    {"offsets moved", [](rtt_fake_block &b) { b.descriptors[0].wr_off = 3, b.descriptors[1].rd_off = 5; }, nullptr},
    {"mode and name changed",
     [](rtt_fake_block &b) { b.descriptors[0].flags = RTT_MODE_BLOCK, b.descriptors[0].name_addr = 0; }, nullptr},
    {"ID wiped", [](rtt_fake_block &b) { std::memset(b.id, 0, sizeof b.id); }, "ID not found"},
    {"counts changed",
     [](rtt_fake_block &b) {
         b.up_count = 2;
         b.descriptors.push_back(b.descriptors[0]);
     },
     "counts changed from 1/1 to 2/1"},
    {"counts out of range", [](rtt_fake_block &b) { b.down_count = 1000; }, "1000 down channels (at most 32)"},
    {"up buffer moved", [](rtt_fake_block &b) { b.descriptors[0].buffer += 4; }, "up 0 buffer moved to 0x20001004"},
    {"down size changed", [](rtt_fake_block &b) { b.descriptors[1].size = 128; }, "down 0 size changed to 128"},
    {"WrOff past size", [](rtt_fake_block &b) { b.descriptors[1].wr_off = 64; }, "down 0 WrOff 64 past size 64"},
    {"RdOff past size", [](rtt_fake_block &b) { b.descriptors[0].rd_off = 5000; }, "up 0 RdOff 5000 past size 1024"},
};

TEST(RttBlockRecheck, SameBlockOrDetach)
{
    rtt_fake_block first = good_block();
    std::vector<uint8_t> bytes = first.bytes();
    rtt_block was;
    char why[64] = "";
    ASSERT_EQ(rtt_block_check(bytes.data(), bytes.size(), block_at, ram, &was, why, sizeof why), 0);
    for (const recheck_case &c : recheck_cases) {
        SCOPED_TRACE(c.what);
        rtt_fake_block b = first;
        c.change(b);
        std::vector<uint8_t> fresh = b.bytes();
        rtt_block now = was;
        now.up[0].wr_off = 999; // must stay as it is on a refusal
        why[0] = '\0';
        int rc = rtt_block_recheck(fresh.data(), fresh.size(), was, &now, why, sizeof why);
        if (c.why != nullptr) {
            EXPECT_EQ(rc, -1);
            EXPECT_STREQ(why, c.why);
            EXPECT_EQ(now.up[0].wr_off, 999u);
            continue;
        }
        ASSERT_EQ(rc, 0) << why;
        EXPECT_EQ(now.address, block_at);
        EXPECT_EQ(now.up[0].wr_off, b.descriptors[0].wr_off);
        EXPECT_EQ(now.up[0].flags, b.descriptors[0].flags);
        EXPECT_EQ(now.down[0].rd_off, b.descriptors[1].rd_off);
    }
    // A read shorter than the block it was.
    EXPECT_EQ(rtt_block_recheck(bytes.data(), bytes.size() - 1, was, &was, why, sizeof why), -1);
    EXPECT_STREQ(why, "block read short");
}

TEST(RttNameCheck, EndWithinTheLimit)
{
    uint8_t name[40];
    std::memset(name, 'a', sizeof name);
    EXPECT_EQ(rtt_name_check(name, RTT_NAME_LIMIT), -1);
    EXPECT_EQ(rtt_name_check(name, 0), -1);
    name[RTT_NAME_LIMIT - 1] = 0;
    EXPECT_EQ(rtt_name_check(name, RTT_NAME_LIMIT), 0);
    EXPECT_EQ(rtt_name_check(name, RTT_NAME_LIMIT - 1), -1);
    name[RTT_NAME_LIMIT - 1] = 'a';
    name[RTT_NAME_LIMIT + 2] = 0; // beyond the limit even where more was read
    EXPECT_EQ(rtt_name_check(name, sizeof name), -1);
    name[0] = 0;
    EXPECT_EQ(rtt_name_check(name, 1), 0);
    EXPECT_EQ(rtt_name_check(nullptr, RTT_NAME_LIMIT), -1);
}

TEST(RttScan, IdsOnFourByteBoundariesOnly)
{
    std::vector<uint8_t> ram_bytes(256, 0);
    const char id[RTT_ID_SIZE] = "SEGGER RTT";
    for (size_t at : {0u, 40u, 101u, 240u}) // 101 is off the boundary
        std::memcpy(ram_bytes.data() + at, id, RTT_ID_SIZE);
    uint32_t found[8];
    ASSERT_EQ(rtt_scan(ram_bytes.data(), ram_bytes.size(), 0x20000000, found, 8), 3u);
    EXPECT_EQ(found[0], 0x20000000u);
    EXPECT_EQ(found[1], 0x20000028u);
    EXPECT_EQ(found[2], 0x200000f0u);
    // Fewer slots than IDs: all are counted, the first ones kept.
    uint32_t one[1];
    EXPECT_EQ(rtt_scan(ram_bytes.data(), ram_bytes.size(), 0x20000000, one, 1), 3u);
    EXPECT_EQ(one[0], 0x20000000u);
    EXPECT_EQ(rtt_scan(ram_bytes.data(), ram_bytes.size(), 0x20000000, nullptr, 0), 3u);
    // An ID cut by the end of the bytes is not one.
    EXPECT_EQ(rtt_scan(ram_bytes.data(), 255, 0x20000000, found, 8), 2u);
    // Bytes read from an unaligned base: the boundaries are the addresses'.
    EXPECT_EQ(rtt_scan(ram_bytes.data() + 1, ram_bytes.size() - 1, 0x20000001, found, 8), 2u);
    EXPECT_EQ(found[0], 0x20000028u);
    EXPECT_EQ(found[1], 0x200000f0u);
}

struct offsets_case {
    uint32_t size, wr, rd, pending, space;
};

const offsets_case offsets_cases[] = {
    {64, 0, 0, 0, 63},  {64, 10, 0, 10, 53},
    {64, 0, 10, 54, 9}, {64, 9, 10, 63, 0},
    {64, 63, 0, 63, 0}, {64, 0, 63, 1, 62},
    {2, 1, 0, 1, 0},    {2, 0, 0, 0, 1},
    {2, 0, 1, 1, 0},    {64, 64, 0, 0, 0},
    {64, 0, 64, 0, 0},  {0, 0, 0, 0, 0},
    {1, 0, 0, 0, 0},    {0xffffffff, 0xfffffffe, 0, 0xfffffffe, 0},
};

TEST(RttOffsets, PendingAndSpaceByTheOneByteFreeRule)
{
    for (const offsets_case &c : offsets_cases) {
        rtt_channel ch{0, 0x20000000, c.size, c.wr, c.rd, 0};
        EXPECT_EQ(rtt_up_pending(ch), c.pending) << c.size << " " << c.wr << " " << c.rd;
        EXPECT_EQ(rtt_down_space(ch), c.space) << c.size << " " << c.wr << " " << c.rd;
    }
}

} // namespace
