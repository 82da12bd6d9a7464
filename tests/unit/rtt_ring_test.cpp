// A capture ring against the plain record of every byte ever appended: what
// a reader at any position gets, and exactly how much it is told it lost.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "rtt_ring.h"

namespace
{

struct ring_holder {
    rtt_ring r{};
    explicit ring_holder(uint32_t capacity) { EXPECT_EQ(rtt_ring_init(&r, capacity), 0); }
    ~ring_holder() { rtt_ring_free(&r); }
    void append(const std::string &s) { rtt_ring_append(&r, reinterpret_cast<const uint8_t *>(s.data()), s.size()); }
};

struct read_result {
    std::string bytes;
    uint64_t start;
    uint64_t lost;
};

read_result read(const rtt_ring &r, uint64_t from, uint32_t max)
{
    std::vector<uint8_t> out(max + 1, 0xee);
    read_result got{};
    uint32_t n = rtt_ring_read(&r, from, out.data(), max, &got.start, &got.lost);
    EXPECT_LE(n, max);
    EXPECT_EQ(out[n], 0xee) << "wrote past what it returned";
    got.bytes.assign(reinterpret_cast<const char *>(out.data()), n);
    return got;
}

TEST(RttRing, ReadsWhatWasAppended)
{
    ring_holder h(16);
    read_result empty = read(h.r, 0, 16);
    EXPECT_EQ(empty.bytes, "");
    EXPECT_EQ(empty.start, 0u);
    EXPECT_EQ(empty.lost, 0u);
    h.append("hello ");
    h.append("world");
    EXPECT_EQ(h.r.end, 11u);
    EXPECT_EQ(rtt_ring_start(&h.r), 0u);
    read_result all = read(h.r, 0, 100);
    EXPECT_EQ(all.bytes, "hello world");
    EXPECT_EQ(all.start, 0u);
    EXPECT_EQ(all.lost, 0u);
    read_result part = read(h.r, 6, 3);
    EXPECT_EQ(part.bytes, "wor");
    EXPECT_EQ(part.start, 6u);
}

struct edge_case {
    const char *what;
    uint32_t capacity;
    std::vector<std::string> appends;
    uint64_t from;
    uint32_t max;
    const char *bytes;
    uint64_t start, lost;
};

const edge_case edge_cases[] = {
    // positions 5..10 appended; 0..2 fall out
    {"wrap, reader behind", 8, {"abcde", "fghijk"}, 0, 100, "defghijk", 3, 3},
    {"across the wrap from inside", 8, {"abcde", "fghijk"}, 6, 4, "ghij", 6, 0},
    {"more than the capacity at once", 8, {"xyz", "0123456789abcdefghij"}, 1, 100, "cdefghij", 15, 14},
    {"exactly full", 8, {"01234567"}, 0, 8, "01234567", 0, 0},
    {"one past full", 8, {"01234567", "8"}, 0, 8, "12345678", 1, 1},
    {"reader at the oldest held", 8, {"01234567", "8"}, 1, 8, "12345678", 1, 0},
    {"position past the end", 8, {"abc"}, 1000, 8, "", 3, 0},
    {"position at the very end of the count", 8, {"abc"}, UINT64_MAX, 8, "", 3, 0},
    {"capacity 1", 1, {"abc", "d"}, 0, 8, "d", 3, 3},
    {"nothing yet", 4, {}, 0, 4, "", 0, 0},
    {"max 0", 4, {"ab"}, 0, 0, "", 0, 0},
};

TEST(RttRing, Edges)
{
    for (const edge_case &c : edge_cases) {
        SCOPED_TRACE(c.what);
        ring_holder h(c.capacity);
        uint64_t appended = 0;
        for (const std::string &s : c.appends) {
            h.append(s);
            appended += s.size();
        }
        EXPECT_EQ(h.r.end, appended);
        read_result got = read(h.r, c.from, c.max);
        EXPECT_EQ(got.bytes, c.bytes);
        EXPECT_EQ(got.start, c.start);
        EXPECT_EQ(got.lost, c.lost);
    }
}

TEST(RttRing, ReaderAtTheEndGetsWhatComesNext)
{
    ring_holder h(8);
    h.append("abc");
    read_result got = read(h.r, UINT64_MAX, 8);
    h.append("d");
    EXPECT_EQ(read(h.r, got.start, 8).bytes, "d");
}

TEST(RttRing, EmptyAppend)
{
    ring_holder h(4);
    rtt_ring_append(&h.r, nullptr, 0);
    EXPECT_EQ(h.r.end, 0u);
    h.append("ab");
    EXPECT_EQ(read(h.r, 0, 2).bytes, "ab");
}

TEST(RttRing, NoCapacityIsRefused)
{
    rtt_ring r{};
    EXPECT_EQ(rtt_ring_init(&r, 0), -1);
    rtt_ring_free(&r);
}

// Many appends and reads of every size against the record of all bytes.
TEST(RttRing, AgreesWithTheWholeRecord)
{
    std::mt19937 rng(7);
    for (uint32_t capacity : {1u, 2u, 7u, 64u}) {
        ring_holder h(capacity);
        std::string all;
        for (int step = 0; step < 2000; step++) {
            std::string chunk(rng() % (2 * capacity + 2), '\0');
            for (char &c : chunk)
                c = static_cast<char>(rng());
            h.append(chunk);
            all += chunk;
            ASSERT_EQ(h.r.end, all.size());
            uint64_t from = rng() % (all.size() + 3);
            uint32_t max = rng() % (capacity + 3);
            read_result got = read(h.r, from, max);
            uint64_t held = all.size() > capacity ? all.size() - capacity : 0;
            uint64_t want_start = from < held ? held : from > all.size() ? all.size() : from;
            ASSERT_EQ(got.start, want_start);
            ASSERT_EQ(got.lost, from < held ? held - from : 0);
            ASSERT_EQ(got.bytes, all.substr(want_start, max)) << "capacity " << capacity << " step " << step;
        }
    }
}

} // namespace
