// The search and poll steps against target memory in the test: what they
// read, every write they make, what they refuse, and that the bytes a poll
// hands over are the channel's bytes exactly once, even when an access
// fails midway and the poll is done again.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "rtt_fake_target.h"
#include "rtt_poll.h"

namespace
{

using tarvex_wire::RESULT_FAIL;
using tarvex_wire::RESULT_RTT_REFUSED;

constexpr uint32_t ram_base = 0x20000000;
constexpr uint32_t ram_len = 0x20000;
constexpr uint32_t block_at = 0x20000100;
constexpr uint32_t up0_buf = 0x20001000, up1_buf = 0x20001100, up2_buf = 0x20001200, down0_buf = 0x20002000;
constexpr uint32_t terminal_name = 0x100, input_name = 0x110;

// Three up channels of the three modes, one wrapping, and a down channel
// whose free space wraps; names in flash.
struct rig {
    rtt_fake_target t;
    rtt_fake_block b;

    rig()
    {
        t.regions = {{ram_base, std::vector<uint8_t>(ram_len), true}, {0, std::vector<uint8_t>(0x1000), false}};
        t.put(terminal_name, "Terminal", 9);
        t.put(input_name, "Input", 6);
        b.up_count = 3;
        b.down_count = 1;
        b.descriptors = {{terminal_name, up0_buf, 64, 4, 60, RTT_MODE_SKIP},
                         {0, up1_buf, 16, 7, 2, RTT_MODE_TRIM},
                         {0, up2_buf, 8, 7, 0, RTT_MODE_BLOCK},
                         {input_name, down0_buf, 16, 14, 14, 0}};
        b.place(t, block_at);
        t.put(up0_buf + 60, "ABCD", 4);
        t.put(up0_buf, "EFGH", 4);
        t.put(up1_buf + 2, "hello", 5);
        t.put(up2_buf, "1234567", 7);
    }
    rtt_search search(uint32_t address, const rtt_search *prev = nullptr)
    {
        rtt_search s{};
        s.ram = {ram_base, ram_len};
        s.address = address;
        rtt_search_run(t.target(), &s, prev);
        return s;
    }
    // A poll of the block as the search at block_at found it, with down
    // channel 0's queue.
    std::unique_ptr<rtt_poll> poll_of(const std::string &down0)
    {
        rtt_search s = search(block_at);
        EXPECT_EQ(s.result, 0) << s.why;
        auto p = std::make_unique<rtt_poll>();
        p->block = s.block;
        p->ram = s.ram;
        std::memcpy(p->down_data, down0.data(), down0.size());
        p->down_len[0] = static_cast<uint32_t>(down0.size());
        t.log.clear();
        return p;
    }
    uint32_t up_rd_off(int32_t i) { return t.get_u32(rtt_fake_descriptor(block_at, i) + RTT_DESC_RD_OFF); }
    uint32_t down_wr_off(int32_t i) { return t.get_u32(rtt_fake_descriptor(block_at, 3 + i) + RTT_DESC_WR_OFF); }
};

std::string up_bytes(const rtt_poll &p, int32_t channel)
{
    return std::string(reinterpret_cast<const char *>(p.up_data) + p.up_at[channel], p.up_len[channel]);
}

// The bytes 'a'..'z' over and over from a buffer's first byte on.
std::string pattern(uint32_t from, uint32_t len)
{
    std::string s;
    for (uint32_t k = from; k < from + len; k++)
        s += static_cast<char>('a' + k % 26);
    return s;
}

TEST(RttSearch, AttachesAtAnAddressWithoutWriting)
{
    rig r;
    rtt_search s = r.search(block_at);
    ASSERT_EQ(s.result, 0) << s.why;
    EXPECT_STREQ(s.why, "");
    EXPECT_EQ(s.blocks, 1u);
    EXPECT_EQ(s.block.address, block_at);
    EXPECT_EQ(s.block.up_count, 3);
    EXPECT_EQ(s.block.down[0].buffer, down0_buf);
    EXPECT_STREQ(s.names.up[0], "Terminal");
    EXPECT_STREQ(s.names.up[1], "");
    EXPECT_STREQ(s.names.down[0], "Input");
    EXPECT_TRUE(r.t.writes().empty());
    // The header first, then the block it declares.
    ASSERT_GE(r.t.log.size(), 2u);
    EXPECT_EQ(r.t.log[0].addr, block_at);
    EXPECT_EQ(r.t.log[0].len, RTT_HEADER_SIZE);
    EXPECT_EQ(r.t.log[1].len, rtt_block_size(3, 1));
}

struct refusal_case {
    const char *what;
    void (*damage)(rig &);
    uint32_t address;
    const char *why;
    bool reads; // whether anything may be read at all
};

const refusal_case refusal_cases[] = {
    {"ID wiped", [](rig &r) { r.t.put(block_at, "\0\0\0\0", 4); }, block_at, "ID not found", true},
    {"name without an end", [](rig &r) { r.t.put(terminal_name, "0123456789abcdef0123456789abcdef", 32); }, block_at,
     "up 0 name 0x00000100 has no end", true},
    {"name unreadable", [](rig &r) { r.t.put_u32(rtt_fake_descriptor(block_at, 1), 0x00800000); }, block_at,
     "up 1 name 0x00800000 unreadable", true},
    {"name at the top of the address space", [](rig &r) { r.t.put_u32(rtt_fake_descriptor(block_at, 3), 0xfffffff0); },
     block_at, "down 0 name 0xfffffff0 past the address space", true},
    {"buffer outside RAM", [](rig &r) { r.t.put_u32(rtt_fake_descriptor(block_at, 2) + 4, 0x30000000); }, block_at,
     "up 2 buffer 0x30000000 outside RAM", true},
    {"block outside RAM", [](rig &) {}, 0x30000000, "block 0x30000000 outside RAM", false},
    {"header past RAM's end", [](rig &) {}, ram_base + ram_len - 20, "block 0x2001ffec outside RAM", false},
    {"unaligned", [](rig &) {}, block_at + 2, "block 0x20000102 not 4-byte aligned", false},
};

TEST(RttSearch, RefusedBlocksAreNeitherReadThroughNorWritten)
{
    for (const refusal_case &c : refusal_cases) {
        SCOPED_TRACE(c.what);
        rig r;
        c.damage(r);
        rtt_search s = r.search(c.address);
        EXPECT_EQ(s.result, RESULT_RTT_REFUSED);
        EXPECT_STREQ(s.why, c.why);
        EXPECT_EQ(s.blocks, 0u);
        EXPECT_TRUE(r.t.writes().empty());
        if (!c.reads) {
            EXPECT_TRUE(r.t.log.empty());
        }
        // Nothing of any channel's buffer is read before the block passes.
        for (const rtt_fake_access &a : r.t.log)
            EXPECT_FALSE(a.addr >= up0_buf && a.addr < down0_buf + 16) << std::hex << a.addr;
    }
}

TEST(RttSearch, ReadFailureIsTheResult)
{
    rig r;
    r.t.fail_at = 1;
    r.t.fail_result = tarvex_wire::RESULT_WAIT;
    rtt_search s = r.search(block_at);
    EXPECT_EQ(s.result, tarvex_wire::RESULT_WAIT);
    EXPECT_EQ(r.t.log.size(), 2u);
}

TEST(RttSearch, ScanFindsAnIdSplitAcrossReads)
{
    rig r;
    constexpr uint32_t split = ram_base + 0x4000 - 8; // the ID's halves in two 16 KiB reads
    r.b.place(r.t, split);
    r.t.put(block_at, "\0", 1);
    rtt_search s = r.search(0);
    ASSERT_EQ(s.result, 0) << s.why;
    EXPECT_EQ(s.block.address, split);
    EXPECT_EQ(s.blocks, 1u);
    EXPECT_STREQ(s.names.up[0], "Terminal");
    EXPECT_TRUE(r.t.writes().empty());
    uint64_t scanned = 0;
    for (const rtt_fake_access &a : r.t.log) {
        EXPECT_LE(a.len, 16u * 1024);
        if (a.len > RTT_NAME_LIMIT && a.len != rtt_block_size(3, 1))
            scanned += a.len;
    }
    EXPECT_EQ(scanned, ram_len);
}

TEST(RttSearch, ScanSaysWhyNothingWasFound)
{
    rig r;
    r.t.put(block_at, "\0", 1);
    rtt_search s = r.search(0);
    EXPECT_EQ(s.result, RESULT_RTT_REFUSED);
    EXPECT_STREQ(s.why, "ID not found");
    EXPECT_EQ(s.blocks, 0u);

    r.b.up_count = 2000;
    r.b.place(r.t, block_at);
    s = r.search(0);
    EXPECT_EQ(s.result, RESULT_RTT_REFUSED);
    EXPECT_STREQ(s.why, "2000 up channels (at most 32)");
    EXPECT_TRUE(r.t.writes().empty());
}

// The first chunk unreadable: the failure is the result. A later one: the
// scan ends there (the range ran past the target's RAM), with what it found
// before.
TEST(RttSearch, ScanReadFailureIsTheResultOrTheRangesEnd)
{
    rig r;
    r.t.fail_at = 0;
    rtt_search s = r.search(0);
    EXPECT_EQ(s.result, RESULT_FAIL);
    EXPECT_EQ(r.t.log.size(), 1u);

    rig late;
    late.t.fail_at = 1; // the second 16 KiB chunk, past the block
    s = late.search(0);
    ASSERT_EQ(s.result, 0) << s.why;
    EXPECT_EQ(s.block.address, block_at);
    EXPECT_TRUE(late.t.writes().empty());
}

// A stale block (a previous image's, never polled) beside the live one.
TEST(RttSearch, StaleBlockIsNeverTakenWhileTheLiveOneMoves)
{
    rig r;
    constexpr uint32_t stale_at = ram_base + 0x8000;
    r.b.place(r.t, stale_at);
    rtt_search prev = r.search(0);
    EXPECT_EQ(prev.result, RESULT_RTT_REFUSED);
    EXPECT_STREQ(prev.why, "2 blocks, none seen live yet");
    EXPECT_EQ(prev.blocks, 2u);
    EXPECT_EQ(prev.candidate_count, 2u);

    // Nothing moved: still undecided.
    rtt_search s = r.search(0, &prev);
    EXPECT_EQ(s.result, RESULT_RTT_REFUSED);
    EXPECT_STREQ(s.why, "2 blocks, none seen live yet");
    prev = s;

    for (uint32_t wr = 5; wr < 10; wr++) {
        SCOPED_TRACE(wr);
        r.t.put_u32(rtt_fake_descriptor(block_at, 1) + RTT_DESC_WR_OFF, wr);
        s = r.search(0, &prev);
        ASSERT_EQ(s.result, 0) << s.why;
        EXPECT_EQ(s.block.address, block_at);
        EXPECT_EQ(s.blocks, 2u);
        EXPECT_EQ(s.block.up[1].wr_off, wr);
        EXPECT_STREQ(s.names.down[0], "Input");
        prev = s;
    }
    EXPECT_TRUE(r.t.writes().empty());
}

TEST(RttSearch, SeveralMovingOrNewBlocksAreNotTold)
{
    rig r;
    constexpr uint32_t other_at = ram_base + 0x8000;
    r.b.place(r.t, other_at);
    rtt_search prev = r.search(0);
    // Both move.
    r.t.put_u32(rtt_fake_descriptor(block_at, 0) + RTT_DESC_WR_OFF, 9);
    r.t.put_u32(rtt_fake_descriptor(other_at, 3) + RTT_DESC_RD_OFF, 2);
    rtt_search s = r.search(0, &prev);
    EXPECT_EQ(s.result, RESULT_RTT_REFUSED);
    EXPECT_STREQ(s.why, "2 blocks, none seen live yet");
    // Only the one at other_at moves, its down RdOff; but a third appears,
    // which the last search never saw still.
    prev = s;
    r.t.put_u32(rtt_fake_descriptor(other_at, 3) + RTT_DESC_RD_OFF, 3);
    r.b.place(r.t, ram_base + 0xc000);
    s = r.search(0, &prev);
    EXPECT_EQ(s.result, RESULT_RTT_REFUSED);
    EXPECT_STREQ(s.why, "3 blocks, none seen live yet");
    prev = s;
    r.t.put_u32(rtt_fake_descriptor(other_at, 3) + RTT_DESC_RD_OFF, 4);
    s = r.search(0, &prev);
    ASSERT_EQ(s.result, 0) << s.why;
    EXPECT_EQ(s.block.address, other_at);
    // A search of another range says nothing about these.
    prev.ram.len -= 4;
    r.t.put_u32(rtt_fake_descriptor(other_at, 3) + RTT_DESC_RD_OFF, 5);
    s = r.search(0, &prev);
    EXPECT_EQ(s.result, RESULT_RTT_REFUSED);
}

TEST(RttSearch, TooManyBlocksToTellApart)
{
    rig r;
    for (uint32_t i = 1; i <= RTT_SEARCH_CANDIDATES; i++)
        r.b.place(r.t, ram_base + 0x8000 + i * 0x1000);
    rtt_search s = r.search(0);
    EXPECT_EQ(s.result, RESULT_RTT_REFUSED);
    EXPECT_STREQ(s.why, "5 blocks (at most 4 told apart)");
    EXPECT_EQ(s.blocks, 5u);
    EXPECT_EQ(s.candidate_count, RTT_SEARCH_CANDIDATES);
}

// Blocks refused after some of their names were read leave the names of
// the block attached alone.
TEST(RttSearch, AttachedBlockKeepsItsOwnNames)
{
    rig r;
    for (uint32_t i = 1; i < RTT_SEARCH_CANDIDATES; i++)
        r.b.place(r.t, ram_base + 0x8000 + i * 0x1000);
    r.t.put(0x120, "Other", 6);
    r.t.put(0x200, "0123456789abcdef0123456789abcdef", 32);
    rtt_fake_block refused = r.b;
    refused.descriptors[0].name_addr = 0x120;
    refused.descriptors[1].name_addr = 0x200;
    refused.place(r.t, ram_base + 0xf000);
    rtt_search prev = r.search(0);
    EXPECT_STREQ(prev.why, "4 blocks, none seen live yet");
    r.t.put_u32(rtt_fake_descriptor(block_at, 0) + RTT_DESC_WR_OFF, 9);
    rtt_search s = r.search(0, &prev);
    ASSERT_EQ(s.result, 0) << s.why;
    EXPECT_EQ(s.block.address, block_at);
    EXPECT_STREQ(s.names.up[0], "Terminal");
    EXPECT_STREQ(s.names.down[0], "Input");
}

// Polls until one is not cut short (at most `max`), each channel's bytes
// gathered; the number of polls made.
int polls_until_done(rig &r, rtt_poll *p, std::string got[3], int max = 10)
{
    int polls = 0;
    do {
        rtt_poll_run(r.t.target(), p);
        EXPECT_EQ(p->result, 0) << p->why;
        for (int32_t i = 0; i < 3; i++)
            got[i] += up_bytes(*p, i);
        p->down_len[0] -= p->down_taken[0]; // all of it, in these cases
    } while (++polls < max && p->result == 0 && p->cut);
    return polls;
}

// Each poll reads the block once, before anything else, and drains one
// channel, the terminal first: the others follow in polls of their own.
TEST(RttPoll, EachPollReadsTheBlockThenDrainsOneChannelWithWrapAndFeedsDown)
{
    rig r;
    auto p = r.poll_of("0123456789");
    rtt_poll_run(r.t.target(), p.get());
    ASSERT_EQ(p->result, 0) << p->why;
    ASSERT_FALSE(r.t.log.empty());
    EXPECT_EQ(r.t.log[0].addr, block_at);
    EXPECT_EQ(r.t.log[0].len, rtt_block_size(3, 1));
    EXPECT_EQ(up_bytes(*p, 0), "ABCDEFGH");
    EXPECT_EQ(p->up_len[1] + p->up_len[2], 0u);
    EXPECT_TRUE(p->cut) << "the other channels have bytes: the next poll follows at once";
    EXPECT_EQ(r.up_rd_off(0), 4u);
    EXPECT_EQ(p->block.up[0].rd_off, 4u);
    EXPECT_EQ(p->down_taken[0], 10u);
    EXPECT_EQ(r.down_wr_off(0), 8u);
    EXPECT_EQ(p->block.down[0].wr_off, 8u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(r.t.at(down0_buf + 14, 2)), 2), "01");
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(r.t.at(down0_buf, 8)), 8), "23456789");

    p->down_len[0] = 0; // the loop's queue, emptied by what was taken
    std::string got[3];
    EXPECT_EQ(polls_until_done(r, p.get(), got), 2);
    // Every mode's bytes alike.
    EXPECT_EQ(got[0], "");
    EXPECT_EQ(got[1], "hello");
    EXPECT_EQ(got[2], "1234567");
    EXPECT_EQ(r.up_rd_off(1), 7u);
    EXPECT_EQ(r.up_rd_off(2), 7u);
    size_t block_reads = 0;
    for (const rtt_fake_access &a : r.t.log)
        block_reads += !a.write && a.addr >= block_at && a.addr < block_at + rtt_block_size(3, 1);
    EXPECT_EQ(block_reads, 3u) << "one a poll";

    struct want {
        uint32_t addr, len;
    };
    const want writes[] = {{rtt_fake_descriptor(block_at, 0) + RTT_DESC_RD_OFF, 4},
                           {down0_buf + 14, 2},
                           {down0_buf, 8},
                           {rtt_fake_descriptor(block_at, 3) + RTT_DESC_WR_OFF, 4},
                           {rtt_fake_descriptor(block_at, 1) + RTT_DESC_RD_OFF, 4},
                           {rtt_fake_descriptor(block_at, 2) + RTT_DESC_RD_OFF, 4}};
    std::vector<rtt_fake_access> all = r.t.writes();
    ASSERT_EQ(all.size(), std::size(writes));
    for (size_t i = 0; i < all.size(); i++) {
        EXPECT_EQ(all[i].addr, writes[i].addr) << i;
        EXPECT_EQ(all[i].len, writes[i].len) << i;
    }

    // Again with nothing new: the block read and nothing else.
    r.t.log.clear();
    rtt_poll_run(r.t.target(), p.get());
    EXPECT_EQ(p->result, 0);
    EXPECT_EQ(r.t.log.size(), 1u);
    EXPECT_FALSE(p->cut);
    EXPECT_EQ(p->up_len[0] + p->up_len[1] + p->up_len[2], 0u);
}

TEST(RttPoll, DownTakesOnlyTheFreeSpace)
{
    rig r;
    r.t.put_u32(rtt_fake_descriptor(block_at, 3) + RTT_DESC_RD_OFF, 2); // 1 free: 14, 15, 0
    auto p = r.poll_of("abcdef");
    rtt_poll_run(r.t.target(), p.get());
    ASSERT_EQ(p->result, 0) << p->why;
    EXPECT_EQ(p->down_taken[0], 3u);
    EXPECT_EQ(r.down_wr_off(0), 1u);
    EXPECT_EQ(*r.t.at(down0_buf), 'c');

    // Full now: the poll writes nothing of the down channel.
    r.t.log.clear();
    rtt_poll_run(r.t.target(), p.get());
    EXPECT_EQ(p->down_taken[0], 0u);
    for (const rtt_fake_access &w : r.t.writes())
        EXPECT_LT(w.addr, down0_buf) << std::hex << w.addr;
    EXPECT_EQ(r.down_wr_off(0), 1u);
}

// A channel with more than one poll's cap pending is drained over two
// polls, the terminal's second part out of turn; then the others in turn.
TEST(RttPoll, DrainsNoMoreThanItsCapAPollAndTheTerminalGoesFirstEveryOtherPoll)
{
    rig r;
    constexpr uint32_t big = 100000;
    r.b.descriptors[0] = {0, ram_base + 0x3000, big, big - 1, 0, 0};
    r.b.place(r.t, block_at);
    auto p = r.poll_of("");
    std::vector<std::pair<int32_t, uint32_t>> served;
    for (int polls = 0; polls < 6; polls++) {
        rtt_poll_run(r.t.target(), p.get());
        ASSERT_EQ(p->result, 0) << p->why;
        for (int32_t i = 0; i < 3; i++)
            if (p->up_len[i] > 0)
                served.emplace_back(i, p->up_len[i]);
    }
    const std::vector<std::pair<int32_t, uint32_t>> turns = {
        {0, RTT_POLL_BYTES}, {0, big - 1 - RTT_POLL_BYTES}, {1, 5}, {2, 7}};
    EXPECT_EQ(served, turns);
    EXPECT_EQ(r.up_rd_off(0), big - 1);
    EXPECT_FALSE(p->cut);
}

struct detach_case {
    const char *what;
    void (*change)(rig &);
    const char *why;
};

const detach_case detach_cases[] = {
    {"ID wiped", [](rig &r) { std::memset(r.t.at(block_at, 16), 0, 16); }, "ID not found"},
    {"counts changed", [](rig &r) { r.t.put_u32(block_at + 16, 2); }, "counts changed from 3/1 to 2/1"},
    {"buffer moved", [](rig &r) { r.t.put_u32(rtt_fake_descriptor(block_at, 3) + 4, down0_buf + 16); },
     "down 0 buffer moved to 0x20002010"},
    {"size changed", [](rig &r) { r.t.put_u32(rtt_fake_descriptor(block_at, 0) + 8, 32); }, "up 0 size changed to 32"},
    {"offset out of range", [](rig &r) { r.t.put_u32(rtt_fake_descriptor(block_at, 1) + RTT_DESC_WR_OFF, 16); },
     "up 1 WrOff 16 past size 16"},
};

TEST(RttPoll, ChangedBlockDetachesWithoutAWrite)
{
    for (const detach_case &c : detach_cases) {
        SCOPED_TRACE(c.what);
        rig r;
        auto p = r.poll_of("xyz");
        rtt_block was = p->block;
        c.change(r);
        rtt_poll_run(r.t.target(), p.get());
        EXPECT_EQ(p->result, RESULT_RTT_REFUSED);
        EXPECT_STREQ(p->why, c.why);
        EXPECT_EQ(r.t.log.size(), 1u);
        EXPECT_TRUE(r.t.writes().empty());
        EXPECT_EQ(p->up_len[0] + p->up_len[1] + p->up_len[2] + p->down_taken[0], 0u);
        EXPECT_EQ(p->block.up[0].rd_off, was.up[0].rd_off);
    }
}

TEST(RttPoll, IdWipedBetweenPollsDetaches)
{
    rig r;
    auto p = r.poll_of("");
    rtt_poll_run(r.t.target(), p.get());
    ASSERT_EQ(p->result, 0);
    r.t.put(block_at + 8, "\0\0", 2);
    r.t.log.clear();
    rtt_poll_run(r.t.target(), p.get());
    EXPECT_EQ(p->result, RESULT_RTT_REFUSED);
    EXPECT_STREQ(p->why, "ID not found");
    EXPECT_TRUE(r.t.writes().empty());
}

// Each access of a poll made to fail in turn, and the poll then done again
// (the loop requeues the down bytes not taken): every channel's bytes come
// out exactly once, the down bytes land exactly once, and nothing but the
// allowed words and buffer is ever written.
void fail_at_access(size_t k, bool busy)
{
    SCOPED_TRACE(std::to_string(k) + (busy ? ", busy" : ""));
    const std::string down = "0123456789";
    rig r;
    auto p = r.poll_of(down);
    r.t.busy = busy;
    const rtt_block validated = p->block;
    r.t.fail_at = static_cast<long>(k);
    std::string got[3];
    uint32_t taken = 0;
    bool failed = false;
    for (int polls = 0; polls < 40 && (polls == 0 || p->cut || failed); polls++) {
        rtt_block before = p->block;
        rtt_poll_run(r.t.target(), p.get());
        bool fails = p->result != 0;
        if (fails) {
            EXPECT_EQ(p->result, RESULT_FAIL);
            EXPECT_FALSE(failed) << "one failure";
            EXPECT_EQ(r.t.log.size(), k + 1) << "the poll stops at its failure";
            for (int32_t i = 0; i < 3; i++)
                EXPECT_EQ(p->up_len[i] != 0, r.up_rd_off(i) != before.up[i].rd_off) << i;
            EXPECT_EQ(p->down_taken[0] != 0, r.down_wr_off(0) != before.down[0].wr_off);
            r.t.fail_at = -1;
            p->block = before; // the loop keeps the block it last saw whole
        }
        failed = fails;
        for (int32_t i = 0; i < 3; i++)
            got[i] += up_bytes(*p, i);
        uint32_t now_taken = p->down_taken[0];
        taken += now_taken;
        std::memmove(p->down_data, p->down_data + now_taken, p->down_len[0] - now_taken);
        p->down_len[0] -= now_taken;
    }
    EXPECT_FALSE(p->cut);
    EXPECT_EQ(got[0], "ABCDEFGH");
    EXPECT_EQ(got[1], "hello");
    EXPECT_EQ(got[2], "1234567");
    EXPECT_EQ(taken, down.size());
    EXPECT_EQ(r.down_wr_off(0), 8u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(r.t.at(down0_buf, 8)), 8), "23456789");
    for (const rtt_fake_access &w : r.t.writes())
        EXPECT_TRUE(rtt_fake_write_allowed(validated, w)) << std::hex << w.addr << " " << w.len;
}

// Each access of the polls made to fail in turn, with other work waiting
// throughout (every job makes way after one access) and without.
TEST(RttPoll, FailureAtEveryAccessLosesAndDoublesNothing)
{
    for (bool busy : {false, true})
        for (size_t k = 0; k < 13; k++)
            ASSERT_NO_FATAL_FAILURE(fail_at_access(k, busy));
}

TEST(RttPoll, ThePollsOfTheRigMakeThirteenAccesses)
{
    for (bool busy : {false, true}) {
        rig r;
        auto p = r.poll_of("0123456789");
        r.t.busy = busy;
        std::string got[3];
        EXPECT_EQ(polls_until_done(r, p.get(), got, 40), busy ? 10 : 3);
        EXPECT_EQ(r.t.log.size(), 13u);
    }
}

struct piece_case {
    const char *what;
    uint32_t size, rd, wr;
    uint32_t ram_len; // the range the block was checked in
    uint32_t buffer;
    std::vector<std::pair<uint32_t, uint32_t>> reads; // after the block's: address, length
};

constexpr uint32_t piece_buf = 0x20003000;

const piece_case piece_cases[] = {
    {"unaligned inside RAM: the words around", 64, 2, 7, ram_len, piece_buf, {{piece_buf, 8}}},
    {"aligned: exact", 64, 4, 12, ram_len, piece_buf, {{piece_buf + 4, 8}}},
    {"wrapping", 64, 61, 3, ram_len, piece_buf, {{piece_buf + 60, 4}, {piece_buf, 4}}},
    {"at RAM's unaligned end: exact", 3, 0, 2, 0x10003, ram_base + 0x10000, {{ram_base + 0x10000, 2}}},
    {"across a 1 KiB boundary: one read each side",
     4096,
     1001,
     1101,
     ram_len,
     piece_buf,
     {{piece_buf + 1000, 24}, {piece_buf + 1024, 80}}},
};

TEST(RttPoll, UpBytesAreReadAsWholeWordsInsideRamOnePieceAtATime)
{
    for (const piece_case &c : piece_cases) {
        SCOPED_TRACE(c.what);
        rig r;
        r.b.up_count = 1;
        r.b.down_count = 0;
        r.b.descriptors = {{0, c.buffer, c.size, c.wr, c.rd, RTT_MODE_BLOCK}};
        r.b.place(r.t, block_at);
        std::string all = pattern(0, c.size);
        r.t.put(c.buffer, all.data(), all.size());
        rtt_search s{};
        s.ram = {ram_base, c.ram_len};
        s.address = block_at;
        rtt_search_run(r.t.target(), &s, nullptr);
        ASSERT_EQ(s.result, 0) << s.why;
        auto p = std::make_unique<rtt_poll>();
        p->block = s.block;
        p->ram = s.ram;
        r.t.log.clear();
        rtt_poll_run(r.t.target(), p.get());
        ASSERT_EQ(p->result, 0) << p->why;
        std::string want = c.rd < c.wr ? all.substr(c.rd, c.wr - c.rd) : all.substr(c.rd) + all.substr(0, c.wr);
        EXPECT_EQ(up_bytes(*p, 0), want);
        std::vector<std::pair<uint32_t, uint32_t>> reads;
        for (size_t k = 1; k < r.t.log.size(); k++)
            if (!r.t.log[k].write)
                reads.emplace_back(r.t.log[k].addr, r.t.log[k].len);
        EXPECT_EQ(reads, c.reads);
        std::vector<rtt_fake_access> writes = r.t.writes();
        ASSERT_EQ(writes.size(), 1u);
        EXPECT_EQ(writes[0].addr, rtt_fake_descriptor(block_at, 0) + RTT_DESC_RD_OFF);
        EXPECT_EQ(r.up_rd_off(0), c.wr);
    }
}

// Other work waiting for the probe all the time: each job makes one access
// (the block, a piece, the RdOff that keeps a channel's bytes) and makes
// way, the next going on where the poll stands; the channels take turns,
// and in the end every byte came out once. The down bytes go in with the
// first RdOff all the same: a firmware streaming without pause would
// otherwise never get its input while a client is busy.
TEST(RttPoll, UnderConstantPressureEachJobIsOneAccessAndTheChannelsTakeTurns)
{
    rig r;
    constexpr uint32_t size = 4096, pending = 2500;
    for (int32_t i = 0; i < 3; i++)
        r.b.descriptors[i] = {0, piece_buf + i * size, size, pending, 0, RTT_MODE_BLOCK};
    r.b.place(r.t, block_at);
    for (int32_t i = 0; i < 3; i++) {
        std::string bytes = pattern(static_cast<uint32_t>(i), pending);
        r.t.put(piece_buf + i * size, bytes.data(), bytes.size());
    }
    auto p = r.poll_of("xyz");
    r.t.busy = true;
    std::string got[3];
    std::vector<int32_t> served;
    std::vector<size_t> accesses;
    for (int jobs = 0; jobs < 30 && got[0].size() + got[1].size() + got[2].size() < 3 * pending; jobs++) {
        r.t.log.clear();
        rtt_poll_run(r.t.target(), p.get());
        ASSERT_EQ(p->result, 0) << p->why;
        accesses.push_back(r.t.log.size());
        p->down_len[0] -= p->down_taken[0];
        for (int32_t i = 0; i < 3; i++) {
            got[i] += up_bytes(*p, i);
            if (p->up_len[i] > 0)
                served.push_back(i);
        }
    }
    for (int32_t i = 0; i < 3; i++)
        EXPECT_EQ(got[i], pattern(static_cast<uint32_t>(i), pending)) << i;
    EXPECT_EQ(served, (std::vector<int32_t>{0, 1, 2}));
    // A channel's drain: the block, three pieces (1024, 1024 and 452 bytes),
    // its RdOff; the first RdOff's job also writes the down bytes (two
    // writes where they wrap, and WrOff).
    const std::vector<size_t> each = {1, 1, 1, 1, 4, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    EXPECT_EQ(accesses, each);
    EXPECT_FALSE(p->cut) << "the last RdOff left nothing to make way for";
    EXPECT_EQ(r.down_wr_off(0), 1u) << "the down bytes went in once";
}

TEST(RttPoll, UncheckedCountsAreRefused)
{
    rig r;
    auto p = std::make_unique<rtt_poll>();
    p->block.address = block_at;
    p->block.up_count = 1000;
    rtt_poll_run(r.t.target(), p.get());
    EXPECT_EQ(p->result, RESULT_RTT_REFUSED);
    EXPECT_TRUE(r.t.log.empty());
}

} // namespace
