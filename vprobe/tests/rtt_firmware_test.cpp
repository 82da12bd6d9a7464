// The RTT firmware on the emulated core, read by a host of the test's own
// that works on the target's RAM between the core's turns as a debugger
// does over the link: it finds a block by its ID, drains an up channel from
// RdOff to WrOff and stores RdOff, and writes a down channel and then its
// WrOff.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>

#include "core_fixture.h"
#include "firmware/rtt_test_config.h"

namespace vprobe_test
{
namespace
{

constexpr char RTT_ID[16] = "SEGGER RTT";
constexpr uint32_t DESCRIPTOR = 24;
constexpr uint32_t UP_SIZE = 1024, DOWN_SIZE = 32; // the test images' shape
enum up_channel : uint32_t { TERMINAL, COUNTED, SKIP, TRIM };
enum mode : uint32_t { SKIPS, TRIMS, BLOCKS };

using test_config = rtt_test_config;

struct descriptor {
    uint32_t name, buffer, size, wr_off, rd_off, flags;
};

// Record N of the counted channels.
std::string record(uint32_t n, uint32_t size = 0)
{
    std::string r = "seq " + std::to_string(n);
    if (r.size() + 1 < size)
        r.append(size - 1 - r.size(), '.');
    return r + "\n";
}

std::string records(uint32_t from, uint32_t to, uint32_t size = 0)
{
    std::string all;
    for (uint32_t n = from; n < to; n++)
        all += record(n, size);
    return all;
}

// "" when got begins with want; else where and how they part (streams run
// to megabytes: a whole-string diff would take minutes).
std::string prefix_mismatch(const std::string &got, const std::string &want)
{
    auto at = std::mismatch(want.begin(), want.end(), got.begin(), got.end()).first - want.begin();
    if (static_cast<size_t>(at) == want.size())
        return "";
    size_t from = at < 20 ? 0 : at - 20;
    return "at byte " + std::to_string(at) + ": got \"" + got.substr(from, 40) + "\", want \"" + want.substr(from, 40) +
           "\"";
}

class RttFirmware : public CoreFixture
{
protected:
    uint32_t symbol(const char *name) { return elf_address(elf_, name); }

    std::vector<uint8_t> mem(uint32_t addr, uint32_t len)
    {
        std::vector<uint8_t> b(len);
        EXPECT_EQ(target_read(v_, addr, b.data(), len), STATUS_OK) << std::hex << addr;
        return b;
    }
    void poke(uint32_t addr, const void *data, uint32_t len)
    {
        ASSERT_EQ(target_write(v_, addr, static_cast<const uint8_t *>(data), len), STATUS_OK) << std::hex << addr;
    }

    // Loads the image and holds the core at its reset vector, where a
    // debugger writes the test firmware's configuration, then runs it.
    void boot(const char *elf, const std::function<void(test_config &)> &edit = nullptr)
    {
        elf_ = elf;
        load_image(elf);
        write_word(DHCSR, DHCSR_RUN);
        write_word(DEMCR, DEMCR_VC_CORERESET);
        write_word(AIRCR, AIRCR_VECTKEY | AIRCR_SYSRESETREQ);
        turns(1);
        ASSERT_TRUE(read_word(DHCSR) & S_HALT);
        ASSERT_EQ(reg(REGSEL_PC), symbol("reset_handler"));
        write_word(DEMCR, 0);
        if (edit) {
            tarvex_test::elf_symbol s = tarvex_test::elf_symbol_of(elf, "rtt_test_config");
            ASSERT_EQ(s.size, sizeof(test_config));
            std::vector<uint8_t> defaults = tarvex_test::elf_bytes(elf, symbol("rtt_test_defaults"), s.size);
            ASSERT_EQ(defaults.size(), sizeof(test_config));
            test_config c;
            std::memcpy(&c, defaults.data(), sizeof c);
            c.armed = RTT_TEST_ARMED;
            edit(c);
            poke(s.address, &c, sizeof c);
        }
        write_word(DHCSR, DHCSR_RUN);
    }

    // Turns until done() holds; false when it has not within 10 s.
    bool run_until(const std::function<bool()> &done)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            turns(1);
        }
        return true;
    }

    // At least n bytes of up channel ch, drained as they come once cb is
    // published; fewer when they have not come within run_until's bound.
    std::string collect(uint32_t cb, uint32_t ch, size_t n)
    {
        std::string got;
        run_until([&] {
            if (published(cb))
                got += drain(cb, ch);
            return got.size() >= n;
        });
        return got;
    }

    bool published(uint32_t cb)
    {
        std::vector<uint8_t> id = mem(cb, 16);
        return std::memcmp(id.data(), RTT_ID, 16) == 0;
    }
    descriptor desc_at(uint32_t addr)
    {
        descriptor d;
        std::vector<uint8_t> b = mem(addr, DESCRIPTOR);
        std::memcpy(&d, b.data(), DESCRIPTOR);
        return d;
    }
    uint32_t up_at(uint32_t cb, uint32_t ch) { return cb + 24 + DESCRIPTOR * ch; }
    uint32_t down_at(uint32_t cb, uint32_t ch) { return cb + 24 + DESCRIPTOR * (read_word(cb + 16) + ch); }

    // What up channel ch holds, consumed.
    std::string drain(uint32_t cb, uint32_t ch)
    {
        uint32_t at = up_at(cb, ch);
        descriptor d = desc_at(at);
        EXPECT_LT(d.wr_off, d.size);
        EXPECT_LT(d.rd_off, d.size);
        std::string out;
        if (d.wr_off >= d.size || d.rd_off >= d.size)
            return out;
        while (d.rd_off != d.wr_off) {
            uint32_t end = d.wr_off > d.rd_off ? d.wr_off : d.size;
            std::vector<uint8_t> b = mem(d.buffer + d.rd_off, end - d.rd_off);
            out.append(b.begin(), b.end());
            d.rd_off = end == d.size ? 0 : end;
        }
        write_word(at + 16, d.rd_off);
        return out;
    }

    // Bytes of text that down channel ch took (as many as fit).
    uint32_t send(uint32_t cb, uint32_t ch, const std::string &text)
    {
        uint32_t at = down_at(cb, ch);
        descriptor d = desc_at(at);
        uint32_t space = (d.rd_off + d.size - d.wr_off - 1) % d.size;
        uint32_t n = std::min<uint32_t>(space, static_cast<uint32_t>(text.size()));
        for (uint32_t i = 0; i < n; i++) {
            poke(d.buffer + d.wr_off, &text[i], 1);
            d.wr_off = (d.wr_off + 1) % d.size;
        }
        write_word(at + 12, d.wr_off);
        return n;
    }

    std::string c_string(uint32_t addr)
    {
        return addr ? std::string(reinterpret_cast<const char *>(mem(addr, 32).data())) : "";
    }

    const char *elf_ = nullptr;
};

// The host finds the ID only on a block it can use: stepping one
// instruction at a time from reset, whenever the first word of the ID is
// there, the rest of the ID and every descriptor are too.
TEST_F(RttFirmware, IdAppearsOnlyOnceTheBlockIsComplete)
{
    boot(RTT_TEST_ELF);
    uint32_t cb = symbol("_SEGGER_RTT");
    const char *up_names[] = {"Terminal", "Counted", "Skip", "Trim"};
    const uint32_t modes[] = {SKIPS, BLOCKS, SKIPS, TRIMS};
    int steps = 0;
    while (read_word(cb) != 0x47474553u) {
        ASSERT_LT(++steps, 400000) << "never published";
        emu_core_turn(core_, 1, scs_now_us());
    }
    EXPECT_GT(steps, 1000) << "the start-up ran first";
    EXPECT_TRUE(published(cb)) << "the first word came last";
    EXPECT_EQ(read_word(cb + 16), 4u);
    EXPECT_EQ(read_word(cb + 20), 1u);
    for (uint32_t ch = 0; ch < 4; ch++) {
        descriptor d = desc_at(up_at(cb, ch));
        EXPECT_EQ(c_string(d.name), up_names[ch]) << ch;
        EXPECT_EQ(d.size, UP_SIZE) << ch;
        EXPECT_GE(d.buffer, 0x20000000u) << ch;
        EXPECT_EQ(d.wr_off, 0u) << ch;
        EXPECT_EQ(d.rd_off, 0u) << ch;
        EXPECT_EQ(d.flags, modes[ch]) << ch;
    }
    descriptor down = desc_at(down_at(cb, 0));
    EXPECT_EQ(c_string(down.name), "Terminal");
    EXPECT_EQ(down.size, DOWN_SIZE);
    EXPECT_GE(down.buffer, 0x20000000u);
}

struct counted_case {
    uint32_t record_size;
    uint32_t records;
};

class CountedChannel : public RttFirmware, public ::testing::WithParamInterface<counted_case>
{
};

// Many times round the ring, at different offsets where a record wraps.
TEST_P(CountedChannel, ArrivesUnbrokenThroughEveryWrap)
{
    const counted_case c = GetParam();
    boot(RTT_TEST_ELF, [&](test_config &cfg) { cfg.record_size = c.record_size; });
    std::string want = records(0, c.records, c.record_size);
    std::string got = collect(symbol("_SEGGER_RTT"), COUNTED, want.size());
    EXPECT_GT(want.size(), 10 * UP_SIZE);
    EXPECT_EQ(prefix_mismatch(got, want), "");
}

INSTANTIATE_TEST_SUITE_P(Sizes, CountedChannel, ::testing::Values(counted_case{0, 3000}, counted_case{100, 200}));

TEST_F(RttFirmware, BlockingChannelStopsTheFirmwareUntilTheHostReads)
{
    boot(RTT_TEST_ELF);
    uint32_t cb = symbol("_SEGGER_RTT"), seq = symbol("rtt_test_sequence");
    uint32_t at = up_at(cb, COUNTED);
    auto full = [&] {
        descriptor d = desc_at(at);
        return (d.wr_off + 1) % UP_SIZE == d.rd_off;
    };
    ASSERT_TRUE(run_until([&] { return published(cb) && full(); }));
    uint32_t stopped_at = read_word(seq);
    turns(200);
    ASSERT_EQ(read_word(seq), stopped_at) << "no record while the channel is full";
    EXPECT_TRUE(full());

    std::string got = drain(cb, COUNTED);
    EXPECT_EQ(got.size(), UP_SIZE - 1);
    std::string want = records(0, stopped_at + 200);
    ASSERT_TRUE(run_until([&] {
        got += drain(cb, COUNTED);
        return got.size() >= want.size();
    }));
    EXPECT_EQ(prefix_mismatch(got, want), "") << "nothing lost or repeated across the stop";
}

struct lossy_case {
    uint32_t channel;
    const char *counter;
    bool whole; // a record arrives whole or not at all
};

class LossyChannel : public RttFirmware, public ::testing::WithParamInterface<lossy_case>
{
};

// The host reads the lossy channel seldom: what it misses is exactly what
// the firmware counted, and what arrives is in order, never twice.
TEST_P(LossyChannel, CounterMatchesTheRecordsThatNeverArrived)
{
    const lossy_case c = GetParam();
    const uint32_t total = 2000;
    boot(RTT_TEST_ELF, [&](test_config &cfg) { cfg.record_limit = total; });
    uint32_t cb = symbol("_SEGGER_RTT"), seq = symbol("rtt_test_sequence");
    ASSERT_TRUE(run_until([&] { return published(cb); }));
    std::string got;
    int turn = 0;
    ASSERT_TRUE(run_until([&] {
        drain(cb, COUNTED);
        if (++turn % 20 == 0)
            got += drain(cb, c.channel);
        return read_word(seq) == total;
    }));
    got += drain(cb, c.channel);

    uint32_t whole = 0;
    int64_t last = -1;
    std::string fragments;
    for (size_t at = 0; at < got.size();) {
        size_t next = got.find("seq ", at + 1);
        std::string piece = got.substr(at, next == std::string::npos ? std::string::npos : next - at);
        at = next == std::string::npos ? got.size() : next;
        size_t end = piece.find('\n');
        if (piece.compare(0, 4, "seq ") != 0 || end == std::string::npos) {
            fragments += piece;
            continue;
        }
        uint32_t n = static_cast<uint32_t>(std::stoul(piece.substr(4, end - 4)));
        EXPECT_EQ(piece.substr(0, end + 1), record(n));
        EXPECT_GT(static_cast<int64_t>(n), last) << "in order, none twice";
        last = n;
        whole++;
        fragments += piece.substr(end + 1);
    }
    EXPECT_LT(last, static_cast<int64_t>(total));
    uint32_t lost = read_word(symbol(c.counter));
    EXPECT_GT(lost, 0u) << "the channel overflowed";
    EXPECT_GT(whole, 0u);
    EXPECT_EQ(whole + lost, total);
    if (c.whole)
        EXPECT_EQ(fragments, "");
    else
        EXPECT_NE(fragments, "") << "some record was cut short";
}

INSTANTIATE_TEST_SUITE_P(Modes, LossyChannel,
                         ::testing::Values(lossy_case{SKIP, "rtt_test_dropped", true},
                                           lossy_case{TRIM, "rtt_test_trimmed", false}),
                         [](const ::testing::TestParamInfo<lossy_case> &i) { return i.param.whole ? "Skip" : "Trim"; });

// Longer than the down buffer: the host writes as the firmware frees space.
TEST_F(RttFirmware, EchoReturnsWhatDownChannelZeroReceived)
{
    boot(RTT_TEST_ELF);
    uint32_t cb = symbol("_SEGGER_RTT");
    ASSERT_TRUE(run_until([&] { return published(cb); }));
    std::string message;
    for (int i = 0; message.size() < 200; i++)
        message += "line " + std::to_string(i) + " of the echo\n";
    std::string terminal, rest = message;
    const std::string want = "rtt test ready\n" + message;
    ASSERT_TRUE(run_until([&] {
        rest.erase(0, send(cb, 0, rest));
        drain(cb, COUNTED);
        terminal += drain(cb, TERMINAL);
        return terminal.size() >= want.size();
    }));
    EXPECT_EQ(terminal, want);
    EXPECT_EQ(read_word(symbol("rtt_test_echoed")), message.size());
}

TEST_F(RttFirmware, MovedVariantPublishesItsBlockElsewhere)
{
    uint32_t usual = elf_address(RTT_TEST_ELF, "_SEGGER_RTT");
    boot(RTT_TEST_MOVED_ELF);
    uint32_t moved = symbol("_SEGGER_RTT");
    ASSERT_NE(moved, usual);
    EXPECT_GE(moved > usual ? moved - usual : usual - moved, 24u + 5 * DESCRIPTOR) << "the blocks do not overlap";
    std::string terminal = collect(moved, TERMINAL, 15);
    EXPECT_EQ(terminal, "rtt test ready\n");
    EXPECT_FALSE(published(usual));
}

class Stages : public RttFirmware, public ::testing::WithParamInterface<bool>
{
};

TEST_P(Stages, SecondStageSetsUpItsOwnBlockAfterTheFirstIsRead)
{
    const bool retire = GetParam();
    boot(RTT_STAGES_ELF, [&](test_config &cfg) {
        cfg.stage1_lines = 3;
        cfg.retire_stage1 = retire;
    });
    uint32_t first = symbol("rtt_stage1_block"), second = symbol("_SEGGER_RTT");
    ASSERT_NE(first, second);
    std::string stage1 = collect(first, TERMINAL, 45);
    EXPECT_EQ(stage1, "stage 1 line 0\nstage 1 line 1\nstage 1 line 2\n");
    EXPECT_EQ(read_word(symbol("rtt_test_phase")), 1u) << "the first stage waits for its lines to be read";
    EXPECT_FALSE(published(second));

    std::string terminal = collect(second, TERMINAL, 15);
    EXPECT_EQ(terminal, "rtt test ready\n");
    EXPECT_EQ(read_word(symbol("rtt_test_phase")), 2u);
    EXPECT_EQ(published(first), !retire);
    std::string counted = collect(second, COUNTED, 100);
    EXPECT_EQ(prefix_mismatch(counted, records(0, 100).substr(0, 100)), "");
}

INSTANTIATE_TEST_SUITE_P(FirstBlock, Stages, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool> &i) { return i.param ? "Retired" : "LeftStale"; });

TEST_F(RttFirmware, StaleBlockStaysStillBesideTheLiveOne)
{
    boot(RTT_TEST_ELF, [](test_config &cfg) { cfg.stale_block = 1; });
    uint32_t stale = symbol("rtt_test_stale"), live = symbol("_SEGGER_RTT");
    ASSERT_LT(stale, live) << "a scan upwards meets the stale one first";
    ASSERT_TRUE(run_until([&] { return published(live); }));
    ASSERT_TRUE(published(stale));
    std::vector<uint8_t> block = mem(stale, 24 + 5 * DESCRIPTOR);
    descriptor before = desc_at(up_at(stale, TERMINAL));
    EXPECT_EQ(before.wr_off, 6u);
    EXPECT_EQ(before.rd_off, 0u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(mem(before.buffer, 6).data()), 6), "stale\n");
    EXPECT_GT(collect(live, COUNTED, 2 * UP_SIZE).size(), 2 * UP_SIZE - 1) << "the live block moved on";
    EXPECT_EQ(mem(stale, 24 + 5 * DESCRIPTOR), block) << "nothing in the stale block moved";
    EXPECT_EQ(read_word(stale + 16), 4u);
}

// The sample's lines reach RTT as they reach ITM; its RTT channel skips, so
// it runs on while no host reads.
TEST_F(RttFirmware, SampleWritesItsLinesToTheTerminalChannel)
{
    boot(SAMPLE_ELF);
    uint32_t cb = symbol("_SEGGER_RTT");
    ASSERT_TRUE(run_until([&] { return published(cb); }));
    EXPECT_EQ(c_string(desc_at(up_at(cb, 0)).name), "Terminal");
    EXPECT_EQ(desc_at(up_at(cb, 0)).flags, SKIPS);
    write_word(symbol("sample_turns_per_line"), 1);
    uint32_t after = read_word(symbol("sample_counter"));
    drain(cb, 0);
    std::string terminal;
    ASSERT_TRUE(run_until([&] {
        terminal += drain(cb, 0);
        return std::count(terminal.begin(), terminal.end(), '\n') >= 3;
    }));
    const std::string banner = "tarvex sample: turn ";
    ASSERT_EQ(terminal.compare(0, banner.size(), banner), 0) << terminal;
    uint32_t first = static_cast<uint32_t>(std::stoul(terminal.substr(banner.size())));
    EXPECT_GE(first, after) << "a line of a turn since";
    std::string want;
    for (uint32_t t = first; t < first + 3; t++)
        want += banner + std::to_string(t) + "\n";
    EXPECT_EQ(terminal.substr(0, want.size()), want) << "one line each turn, none lost";
}

} // namespace
} // namespace vprobe_test
