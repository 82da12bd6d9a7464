// Arbitrary bytes as the target's RAM: the scan, the block check, a search
// by scan and at an address, and two polls of what a search attached, with
// RAM changed between them. Whatever the bytes, nothing is ever written but
// an attached block's RdOff and WrOff words and its down buffers, a search
// writes nothing, and what a check passes is inside RAM.
//
// Input: 8 control bytes, then RAM.
//   0-1  where the search at an address looks, from RAM's base
//   2-3  a RAM byte changed between the polls, 4 its new value
//   5    bytes queued for each down channel
//   6    bit 0: RAM at the top of the address space (the range named runs past it)
#include <cstdint>
#include <cstring>
#include <memory>

#include "rtt_block.h"
#include "rtt_fake_target.h"
#include "rtt_poll.h"

namespace
{

void require(bool ok)
{
    if (!ok)
        __builtin_trap();
}

uint16_t u16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

bool inside(uint32_t addr, uint64_t len, rtt_range ram)
{
    return addr >= ram.base && uint64_t{addr} + len <= uint64_t{ram.base} + ram.len &&
           uint64_t{addr} + len <= uint64_t{1} << 32;
}

void require_checked(const rtt_block &b, rtt_range ram)
{
    require(b.address % 4 == 0 && inside(b.address, rtt_block_size(b.up_count, b.down_count), ram));
    for (int32_t i = 0; i < b.up_count + b.down_count; i++) {
        const rtt_channel &c = i < b.up_count ? b.up[i] : b.down[i - b.up_count];
        require(c.size >= 2 && inside(c.buffer, c.size, ram) && c.wr_off < c.size && c.rd_off < c.size);
    }
}

void require_no_writes(const rtt_fake_target &t)
{
    for (const rtt_fake_access &a : t.log)
        require(!a.write);
}

void poll_twice(rtt_fake_target &t, const rtt_search &s, const uint8_t *control)
{
    auto p = std::make_unique<rtt_poll>();
    p->block = s.block;
    p->ram = s.ram;
    for (int32_t i = 0; i < RTT_MAX_CHANNELS; i++)
        p->down_len[i] = control[5];
    std::memset(p->down_data, 'd', sizeof p->down_data);
    t.log.clear();
    for (int round = 0; round < 2; round++) {
        rtt_poll_run(t.target(), p.get());
        uint64_t drained = 0;
        for (int32_t i = 0; i < RTT_MAX_CHANNELS; i++) {
            drained += p->up_len[i];
            require(i < s.block.up_count || p->up_len[i] == 0);
            require(i < s.block.down_count || p->down_taken[i] == 0);
        }
        require(drained <= RTT_POLL_BYTES);
        if (p->result == 0)
            require_checked(p->block, s.ram);
        uint32_t patch = s.ram.base + u16(control + 2);
        if (uint8_t *at = t.at(patch))
            *at = control[4];
    }
    uint64_t block_end = uint64_t{s.block.address} + rtt_block_size(s.block.up_count, s.block.down_count);
    for (const rtt_fake_access &w : t.log) {
        if (!w.write)
            continue;
        require(rtt_fake_write_allowed(s.block, w));
        // Down data never lands in the block's own words.
        bool in_block = w.addr < block_end && uint64_t{w.addr} + w.len > s.block.address;
        require(!in_block || w.len == 4);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    constexpr size_t control_size = 8;
    if (size < control_size)
        return 0;
    const uint8_t *control = data;
    rtt_fake_target t;
    uint32_t base = control[6] & 1 ? 0xfffff000 : 0x20000000;
    t.regions.push_back({base, std::vector<uint8_t>(data + control_size, data + size), true});
    const std::vector<uint8_t> &ram_bytes = t.regions[0].bytes;
    rtt_range ram{base, static_cast<uint32_t>(ram_bytes.size())};

    uint32_t found[8];
    size_t ids = rtt_scan(ram_bytes.data(), ram_bytes.size(), base, found, 8);
    require(ids <= ram_bytes.size() / 4);
    for (size_t i = 0; i < ids && i < 8; i++) {
        require(found[i] % 4 == 0 && inside(found[i], RTT_ID_SIZE, ram));
        rtt_block b;
        char why[64];
        const uint8_t *at = ram_bytes.data() + (found[i] - base);
        size_t len = ram_bytes.size() - (found[i] - base);
        if (rtt_block_check(at, len, found[i], ram, &b, why, sizeof why) == 0)
            require_checked(b, ram);
        else
            require(std::memchr(why, 0, sizeof why) != nullptr && why[0] != '\0');
    }

    auto scan = std::make_unique<rtt_search>();
    scan->ram = ram;
    rtt_search_run(t.target(), scan.get(), nullptr);
    require_no_writes(t);
    if (scan->result == 0) {
        require_checked(scan->block, ram);
        poll_twice(t, *scan, control);
        // A second look, told the first.
        auto again = std::make_unique<rtt_search>();
        again->ram = ram;
        t.log.clear();
        rtt_search_run(t.target(), again.get(), scan.get());
        require_no_writes(t);
    }

    auto named = std::make_unique<rtt_search>();
    named->ram = ram;
    named->address = base + u16(control);
    t.log.clear();
    rtt_search_run(t.target(), named.get(), nullptr);
    require_no_writes(t);
    if (named->result == 0) {
        require_checked(named->block, ram);
        poll_twice(t, *named, control);
    }
    return 0;
}
