// Every number here comes from target memory the firmware (or anything else)
// may have left in any state, so all arithmetic on addresses is done in 64
// bits and every range is checked against the end of the 32-bit space as
// well as against the RAM range.
#include "rtt_block.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace
{

// The ID as it lies in memory: the text and its NUL padding, all 16 bytes.
constexpr char rtt_id[RTT_ID_SIZE] = "SEGGER RTT";
static_assert(sizeof rtt_id == RTT_ID_SIZE, "the ID fills its 16 bytes");
static_assert(RTT_DESC_RD_OFF + 4 < RTT_DESCRIPTOR_SIZE, "RdOff lies inside a descriptor");

constexpr uint64_t address_space_end = uint64_t{1} << 32;

__attribute__((format(printf, 3, 4))) void say(char *why, size_t why_size, const char *format, ...)
{
    if (why == nullptr || why_size == 0)
        return;
    va_list args;
    va_start(args, format);
    vsnprintf(why, why_size, format, args);
    va_end(args);
}

uint32_t get_u32(const uint8_t *p)
{
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

int32_t get_i32(const uint8_t *p)
{
    uint32_t u = get_u32(p);
    int32_t i;
    std::memcpy(&i, &u, sizeof i);
    return i;
}

rtt_channel channel_at(const uint8_t *d)
{
    return rtt_channel{
        get_u32(d),     get_u32(d + 4), get_u32(d + 8), get_u32(d + RTT_DESC_WR_OFF), get_u32(d + RTT_DESC_RD_OFF),
        get_u32(d + 20)};
}

const char *direction(bool up)
{
    return up ? "up" : "down";
}

bool offsets_check(const rtt_channel &c, bool up, int index, char *why, size_t why_size)
{
    if (c.wr_off >= c.size) {
        say(why, why_size, "%s %d WrOff %u past size %u", direction(up), index, c.wr_off, c.size);
        return false;
    }
    if (c.rd_off >= c.size) {
        say(why, why_size, "%s %d RdOff %u past size %u", direction(up), index, c.rd_off, c.size);
        return false;
    }
    return true;
}

bool channel_check(const rtt_channel &c, bool up, int index, rtt_range ram, char *why, size_t why_size)
{
    if (c.size < 2) {
        say(why, why_size, "%s %d size %u", direction(up), index, c.size);
        return false;
    }
    if (!rtt_in_range(c.buffer, c.size, ram)) {
        say(why, why_size, "%s %d buffer 0x%08x outside RAM", direction(up), index, c.buffer);
        return false;
    }
    return offsets_check(c, up, index, why, why_size);
}

// The descriptors of a block whose header passed and whose bytes cover them
// all, into out; `check` decides each one.
template <typename Check> bool channels_read(const uint8_t *bytes, rtt_block *out, Check check)
{
    const uint8_t *d = bytes + RTT_HEADER_SIZE;
    for (int32_t i = 0; i < out->up_count; i++, d += RTT_DESCRIPTOR_SIZE) {
        out->up[i] = channel_at(d);
        if (!check(out->up[i], true, i))
            return false;
    }
    for (int32_t i = 0; i < out->down_count; i++, d += RTT_DESCRIPTOR_SIZE) {
        out->down[i] = channel_at(d);
        if (!check(out->down[i], false, i))
            return false;
    }
    return true;
}

// Header and length: the part of rtt_block_check and rtt_block_recheck that
// needs nothing but the bytes.
bool block_bytes_check(const uint8_t *bytes, size_t len, rtt_block *out, char *why, size_t why_size)
{
    *out = rtt_block{};
    if (rtt_header_check(bytes, len, &out->up_count, &out->down_count, why, why_size) != 0)
        return false;
    if (len < rtt_block_size(out->up_count, out->down_count)) {
        say(why, why_size, "block read short");
        return false;
    }
    return true;
}

} // namespace

bool rtt_in_range(uint32_t addr, uint64_t len, rtt_range ram)
{
    uint64_t ram_end = uint64_t{ram.base} + ram.len;
    if (ram_end > address_space_end)
        ram_end = address_space_end;
    return addr >= ram.base && addr + len <= ram_end;
}

uint32_t rtt_block_size(int32_t up_count, int32_t down_count)
{
    return RTT_HEADER_SIZE + static_cast<uint32_t>(up_count + down_count) * RTT_DESCRIPTOR_SIZE;
}

int rtt_header_check(const uint8_t *bytes, size_t len, int32_t *up_count, int32_t *down_count, char *why,
                     size_t why_size)
{
    if (bytes == nullptr || len < RTT_HEADER_SIZE) {
        say(why, why_size, "block read short");
        return -1;
    }
    if (std::memcmp(bytes, rtt_id, RTT_ID_SIZE) != 0) {
        say(why, why_size, "ID not found");
        return -1;
    }
    int32_t up = get_i32(bytes + RTT_ID_SIZE);
    int32_t down = get_i32(bytes + RTT_ID_SIZE + 4);
    if (up < 0 || up > RTT_MAX_CHANNELS) {
        say(why, why_size, "%d up channels (at most %d)", up, RTT_MAX_CHANNELS);
        return -1;
    }
    if (down < 0 || down > RTT_MAX_CHANNELS) {
        say(why, why_size, "%d down channels (at most %d)", down, RTT_MAX_CHANNELS);
        return -1;
    }
    if (up == 0 && down == 0) {
        say(why, why_size, "no channels");
        return -1;
    }
    *up_count = up;
    *down_count = down;
    return 0;
}

int rtt_block_check(const uint8_t *bytes, size_t len, uint32_t address, rtt_range ram, rtt_block *out, char *why,
                    size_t why_size)
{
    rtt_block b;
    if (!block_bytes_check(bytes, len, &b, why, why_size))
        return -1;
    b.address = address;
    if (address % 4 != 0) {
        say(why, why_size, "block 0x%08x not 4-byte aligned", address);
        return -1;
    }
    if (!rtt_in_range(address, rtt_block_size(b.up_count, b.down_count), ram)) {
        say(why, why_size, "block 0x%08x outside RAM", address);
        return -1;
    }
    uint64_t block_end = uint64_t{address} + rtt_block_size(b.up_count, b.down_count);
    auto check = [&](const rtt_channel &c, bool up, int i) {
        if (!channel_check(c, up, i, ram, why, why_size))
            return false;
        // Our writes into a down buffer must not land in the descriptors.
        if (!up && c.buffer < block_end && uint64_t{c.buffer} + c.size > address) {
            say(why, why_size, "down %d buffer 0x%08x overlaps the block", i, c.buffer);
            return false;
        }
        return true;
    };
    if (!channels_read(bytes, &b, check))
        return -1;
    *out = b;
    return 0;
}

int rtt_name_check(const uint8_t *bytes, size_t len)
{
    if (bytes == nullptr)
        return -1;
    if (len > RTT_NAME_LIMIT)
        len = RTT_NAME_LIMIT;
    return std::memchr(bytes, 0, len) != nullptr ? 0 : -1;
}

int rtt_block_recheck(const uint8_t *bytes, size_t len, const rtt_block &was, rtt_block *now, char *why,
                      size_t why_size)
{
    rtt_block b;
    if (!block_bytes_check(bytes, len, &b, why, why_size))
        return -1;
    if (b.up_count != was.up_count || b.down_count != was.down_count) {
        say(why, why_size, "counts changed from %d/%d to %d/%d", was.up_count, was.down_count, b.up_count,
            b.down_count);
        return -1;
    }
    b.address = was.address;
    auto check = [&](const rtt_channel &c, bool up, int i) {
        const rtt_channel &old = up ? was.up[i] : was.down[i];
        if (c.buffer != old.buffer) {
            say(why, why_size, "%s %d buffer moved to 0x%08x", direction(up), i, c.buffer);
            return false;
        }
        if (c.size != old.size) {
            say(why, why_size, "%s %d size changed to %u", direction(up), i, c.size);
            return false;
        }
        return offsets_check(c, up, i, why, why_size);
    };
    if (!channels_read(bytes, &b, check))
        return -1;
    *now = b;
    return 0;
}

size_t rtt_scan(const uint8_t *bytes, size_t len, uint32_t base, uint32_t *found, size_t max_found)
{
    if (bytes == nullptr)
        return 0;
    size_t count = 0;
    for (size_t off = (4 - base % 4) % 4; off + RTT_ID_SIZE <= len; off += 4) {
        if (std::memcmp(bytes + off, rtt_id, RTT_ID_SIZE) != 0)
            continue;
        if (count < max_found && found != nullptr)
            found[count] = base + static_cast<uint32_t>(off);
        count++;
    }
    return count;
}

uint32_t rtt_up_pending(const rtt_channel &c)
{
    if (c.wr_off >= c.size || c.rd_off >= c.size)
        return 0;
    return c.wr_off >= c.rd_off ? c.wr_off - c.rd_off : c.size - c.rd_off + c.wr_off;
}

uint32_t rtt_down_space(const rtt_channel &c)
{
    if (c.wr_off >= c.size || c.rd_off >= c.size)
        return 0;
    // The bytes the target has yet to take are the up rule's pending bytes.
    return c.size - 1 - rtt_up_pending(c);
}
