// Target memory for the RTT search and poll steps without a probe: regions of
// bytes, a record of every access in order, and an access that can be made
// to fail. Accesses outside every region fail, as a bus fault would; writes
// go only to regions marked writable.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "rtt_poll.h"
#include "tarvex_wire.h"

struct rtt_fake_region {
    uint32_t base;
    std::vector<uint8_t> bytes;
    bool writable;
};

struct rtt_fake_access {
    bool write;
    uint32_t addr;
    uint32_t len;
    int result;
};

struct rtt_fake_target {
    std::vector<rtt_fake_region> regions;
    std::vector<rtt_fake_access> log;
    long fail_at = -1; // the index in log of the access that fails
    bool busy = false; // other work waits for the probe throughout
    int fail_result = tarvex_wire::RESULT_FAIL;

    rtt_fake_region *region_of(uint32_t addr, uint32_t len)
    {
        for (rtt_fake_region &r : regions)
            if (addr >= r.base && uint64_t{addr} + len <= uint64_t{r.base} + r.bytes.size())
                return &r;
        return nullptr;
    }
    uint8_t *at(uint32_t addr, uint32_t len = 1)
    {
        rtt_fake_region *r = region_of(addr, len);
        return r != nullptr ? r->bytes.data() + (addr - r->base) : nullptr;
    }
    void put(uint32_t addr, const void *bytes, size_t len) { std::memcpy(at(addr, len), bytes, len); }
    void put_u32(uint32_t addr, uint32_t v)
    {
        const uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
        put(addr, b, 4);
    }
    uint32_t get_u32(uint32_t addr)
    {
        const uint8_t *p = at(addr, 4);
        return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
    }
    std::vector<rtt_fake_access> writes() const
    {
        std::vector<rtt_fake_access> w;
        for (const rtt_fake_access &a : log)
            if (a.write)
                w.push_back(a);
        return w;
    }

    int access(bool write, uint32_t addr, uint32_t len, uint8_t *out, const uint8_t *in)
    {
        rtt_fake_region *r = region_of(addr, len);
        int result = 0;
        if (static_cast<long>(log.size()) == fail_at)
            result = fail_result;
        else if (r == nullptr || (write && !r->writable))
            result = tarvex_wire::RESULT_FAIL;
        log.push_back({write, addr, len, result});
        if (result != 0)
            return result;
        uint8_t *p = r->bytes.data() + (addr - r->base);
        if (write)
            std::memcpy(p, in, len);
        else
            std::memcpy(out, p, len);
        return 0;
    }
    static int read_fn(void *ctx, uint32_t addr, uint32_t len, uint8_t *out)
    {
        return static_cast<rtt_fake_target *>(ctx)->access(false, addr, len, out, nullptr);
    }
    static int write_fn(void *ctx, uint32_t addr, uint32_t len, const uint8_t *in)
    {
        return static_cast<rtt_fake_target *>(ctx)->access(true, addr, len, nullptr, in);
    }
    static bool others_wait_fn(void *ctx) { return static_cast<rtt_fake_target *>(ctx)->busy; }
    rtt_target target() { return rtt_target{this, read_fn, write_fn, others_wait_fn}; }
};

// A control block as firmware lays it out: the ID, the counts (any values,
// to make damaged blocks) and the descriptors given, up ones then down ones.
struct rtt_fake_block {
    char id[RTT_ID_SIZE] = "SEGGER RTT";
    int32_t up_count = 0;
    int32_t down_count = 0;
    std::vector<rtt_channel> descriptors;

    std::vector<uint8_t> bytes() const
    {
        std::vector<uint8_t> b(RTT_HEADER_SIZE + descriptors.size() * RTT_DESCRIPTOR_SIZE);
        auto put32 = [&](size_t at, uint32_t v) {
            for (int k = 0; k < 4; k++)
                b[at + k] = static_cast<uint8_t>(v >> (8 * k));
        };
        std::memcpy(b.data(), id, RTT_ID_SIZE);
        put32(16, static_cast<uint32_t>(up_count));
        put32(20, static_cast<uint32_t>(down_count));
        for (size_t i = 0; i < descriptors.size(); i++) {
            const rtt_channel &c = descriptors[i];
            const uint32_t words[6] = {c.name_addr, c.buffer, c.size, c.wr_off, c.rd_off, c.flags};
            for (size_t w = 0; w < 6; w++)
                put32(RTT_HEADER_SIZE + i * RTT_DESCRIPTOR_SIZE + 4 * w, words[w]);
        }
        return b;
    }
    void place(rtt_fake_target &t, uint32_t addr) const
    {
        std::vector<uint8_t> b = bytes();
        t.put(addr, b.data(), b.size());
    }
};

// Where each offset of a placed block lies.
inline uint32_t rtt_fake_descriptor(uint32_t block, int32_t index)
{
    return block + RTT_HEADER_SIZE + static_cast<uint32_t>(index) * RTT_DESCRIPTOR_SIZE;
}

// What a poll may write into a block that passed its checks: one 32-bit
// write of an up channel's RdOff or of a down channel's WrOff, or bytes
// inside a down channel's buffer.
inline bool rtt_fake_write_allowed(const rtt_block &b, const rtt_fake_access &w)
{
    for (int32_t i = 0; i < b.up_count; i++)
        if (w.len == 4 && w.addr == rtt_fake_descriptor(b.address, i) + RTT_DESC_RD_OFF)
            return true;
    for (int32_t i = 0; i < b.down_count; i++) {
        const rtt_channel &c = b.down[i];
        if (w.len == 4 && w.addr == rtt_fake_descriptor(b.address, b.up_count + i) + RTT_DESC_WR_OFF)
            return true;
        if (w.addr >= c.buffer && uint64_t{w.addr} + w.len <= uint64_t{c.buffer} + c.size)
            return true;
    }
    return false;
}
