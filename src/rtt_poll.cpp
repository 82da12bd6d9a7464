// Nothing is read through a block before its checks pass, with one
// exception: the header itself, which is read only where it lies inside
// ram. Names are read where the block says (they are often in flash), each
// 32 bytes that must not run past the end of the address space.
#include "rtt_poll.h"

#include <cstdio>
#include <cstring>

#include "tarvex_wire.h"

namespace
{

constexpr uint32_t scan_chunk = 16 * 1024;
// IDs a scan looks at: a firmware places one block, maybe two across a
// reflash; RAM full of IDs is no firmware's, and looking at each costs reads.
constexpr size_t scan_ids = 64;
constexpr uint32_t block_size_max = RTT_HEADER_SIZE + 2 * RTT_MAX_CHANNELS * RTT_DESCRIPTOR_SIZE;
constexpr uint64_t address_space_end = uint64_t{1} << 32;

uint32_t smaller(uint64_t a, uint64_t b)
{
    return static_cast<uint32_t>(a < b ? a : b);
}

int offset_write(const rtt_target &t, uint32_t addr, uint32_t value)
{
    const uint8_t word[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                             static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return t.write(t.ctx, addr, 4, word);
}

uint32_t descriptor_address(const rtt_block &b, bool up, int32_t i)
{
    uint32_t index = static_cast<uint32_t>(up ? i : b.up_count + i);
    return b.address + RTT_HEADER_SIZE + index * RTT_DESCRIPTOR_SIZE;
}

// Channel i's offset (an up channel's RdOff, a down channel's WrOff) moved
// n bytes on: the one 32-bit write, and only when it went through, the
// offset in b. 0 or the failure.
int offset_move(const rtt_target &t, rtt_block *b, bool up, int32_t i, uint32_t n)
{
    rtt_channel &c = up ? b->up[i] : b->down[i];
    uint32_t &off = up ? c.rd_off : c.wr_off;
    uint32_t moved = static_cast<uint32_t>((uint64_t{off} + n) % c.size);
    int r = offset_write(t, descriptor_address(*b, up, i) + (up ? RTT_DESC_RD_OFF : RTT_DESC_WR_OFF), moved);
    if (r == 0)
        off = moved;
    return r;
}

// n bytes of data into down channel i's buffer at WrOff, in two writes where
// they wrap, then WrOff past them. 0 or the failure.
int down_move(const rtt_target &t, rtt_block *b, int32_t i, uint32_t n, const uint8_t *data)
{
    const rtt_channel &c = b->down[i];
    uint32_t first = smaller(n, c.size - c.wr_off);
    int r = t.write(t.ctx, c.buffer + c.wr_off, first, data);
    if (r == 0 && n > first)
        r = t.write(t.ctx, c.buffer, n - first, data + first);
    return r == 0 ? offset_move(t, b, false, i, n) : r;
}

bool others_wait(const rtt_target &t)
{
    return t.others_wait != nullptr && t.others_wait(t.ctx);
}

// [addr, addr + len), inside one RTT_POLL_PIECE block, read as the aligned
// words around it where those lie inside ram: one word access where the
// exact range would take three (bytes up to a word, words, bytes after), and
// the probe moves bytes many times slower than words. Those words all
// overlap the channel's buffer, so they exist wherever the buffer does (no
// memory ends inside a word); reading RAM has no effect on the target, and
// what is written stays exact.
int piece_read(const rtt_target &t, rtt_range ram, uint32_t addr, uint32_t len, uint8_t *out)
{
    uint32_t lo = addr & ~uint32_t{3};
    uint32_t span = static_cast<uint32_t>(((uint64_t{addr} + len + 3) & ~uint64_t{3}) - lo);
    if (span == len || span > RTT_POLL_PIECE || !rtt_in_range(lo, span, ram))
        return t.read(t.ctx, addr, len, out);
    uint8_t words[RTT_POLL_PIECE];
    int r = t.read(t.ctx, lo, span, words);
    if (r == 0)
        std::memcpy(out, words + (addr - lo), len);
    return r;
}

// The next piece of the bytes p drains from its channel, at up_data + got.
// 0 or the failure.
int piece_next(const rtt_target &t, rtt_poll *p)
{
    const rtt_channel &c = p->block.up[p->channel];
    uint32_t off = static_cast<uint32_t>((uint64_t{c.rd_off} + p->got) % c.size);
    uint32_t addr = c.buffer + off;
    uint32_t len = smaller(smaller(p->want - p->got, c.size - off), RTT_POLL_PIECE - addr % RTT_POLL_PIECE);
    int r = piece_read(t, p->ram, addr, len, p->up_data + p->got);
    if (r == 0)
        p->got += len;
    return r;
}

// 0 with the name copied (out may be null), RESULT_RTT_REFUSED with why.
int name_read(const rtt_target &t, uint32_t addr, bool up, int32_t i, char *out, char *why, size_t why_size)
{
    const char *dir = up ? "up" : "down";
    if (addr == 0) {
        if (out != nullptr)
            out[0] = '\0';
        return 0;
    }
    uint8_t bytes[RTT_NAME_LIMIT];
    if (uint64_t{addr} + RTT_NAME_LIMIT > address_space_end) {
        snprintf(why, why_size, "%s %d name 0x%08x past the address space", dir, i, addr);
        return tarvex_wire::RESULT_RTT_REFUSED;
    }
    if (t.read(t.ctx, addr, RTT_NAME_LIMIT, bytes) != 0) {
        snprintf(why, why_size, "%s %d name 0x%08x unreadable", dir, i, addr);
        return tarvex_wire::RESULT_RTT_REFUSED;
    }
    if (rtt_name_check(bytes, RTT_NAME_LIMIT) != 0) {
        snprintf(why, why_size, "%s %d name 0x%08x has no end", dir, i, addr);
        return tarvex_wire::RESULT_RTT_REFUSED;
    }
    if (out != nullptr)
        std::memcpy(out, bytes, RTT_NAME_LIMIT);
    return 0;
}

int names_read(const rtt_target &t, const rtt_block &b, rtt_channel_names *names, char *why, size_t why_size)
{
    int r = 0;
    for (int32_t i = 0; r == 0 && i < b.up_count; i++)
        r = name_read(t, b.up[i].name_addr, true, i, names->up[i], why, why_size);
    for (int32_t i = 0; r == 0 && i < b.down_count; i++)
        r = name_read(t, b.down[i].name_addr, false, i, names->down[i], why, why_size);
    return r;
}

int read_failed(int r, uint32_t addr, char *why, size_t why_size)
{
    snprintf(why, why_size, "read at 0x%08x failed (%d)", addr, r);
    return r;
}

// One block at addr, checked in full: 0 with out and names filled;
// RESULT_RTT_REFUSED with why; or the failure of a read inside ram.
int block_look(const rtt_target &t, uint32_t addr, rtt_range ram, rtt_block *out, rtt_channel_names *names, char *why,
               size_t why_size)
{
    if (addr % 4 != 0) {
        snprintf(why, why_size, "block 0x%08x not 4-byte aligned", addr);
        return tarvex_wire::RESULT_RTT_REFUSED;
    }
    uint8_t bytes[block_size_max];
    int32_t up = 0, down = 0;
    if (!rtt_in_range(addr, RTT_HEADER_SIZE, ram)) {
        snprintf(why, why_size, "block 0x%08x outside RAM", addr);
        return tarvex_wire::RESULT_RTT_REFUSED;
    }
    int r = t.read(t.ctx, addr, RTT_HEADER_SIZE, bytes);
    if (r != 0)
        return read_failed(r, addr, why, why_size);
    if (rtt_header_check(bytes, RTT_HEADER_SIZE, &up, &down, why, why_size) != 0)
        return tarvex_wire::RESULT_RTT_REFUSED;
    uint32_t size = rtt_block_size(up, down);
    if (!rtt_in_range(addr, size, ram)) {
        snprintf(why, why_size, "block 0x%08x outside RAM", addr);
        return tarvex_wire::RESULT_RTT_REFUSED;
    }
    r = t.read(t.ctx, addr, size, bytes);
    if (r != 0)
        return read_failed(r, addr, why, why_size);
    // The counts may have changed since the header read: the check reads
    // them again from these bytes, and finds them short if they grew.
    if (rtt_block_check(bytes, size, addr, ram, out, why, why_size) != 0)
        return tarvex_wire::RESULT_RTT_REFUSED;
    return names_read(t, *out, names, why, why_size);
}

bool same_layout(const rtt_block &a, const rtt_block &b)
{
    if (a.address != b.address || a.up_count != b.up_count || a.down_count != b.down_count)
        return false;
    for (int32_t i = 0; i < a.up_count; i++)
        if (a.up[i].buffer != b.up[i].buffer || a.up[i].size != b.up[i].size)
            return false;
    for (int32_t i = 0; i < a.down_count; i++)
        if (a.down[i].buffer != b.down[i].buffer || a.down[i].size != b.down[i].size)
            return false;
    return true;
}

// Only what the firmware moves: the host's side of each offset may have
// moved by our own polls of a block we no longer watch.
bool moved(const rtt_block &was, const rtt_block &now)
{
    for (int32_t i = 0; i < now.up_count; i++)
        if (was.up[i].wr_off != now.up[i].wr_off)
            return true;
    for (int32_t i = 0; i < now.down_count; i++)
        if (was.down[i].rd_off != now.down[i].rd_off)
            return true;
    return false;
}

// The one candidate that moved since prev while every other stayed still,
// or -1. A candidate prev did not see, or saw with another layout, can be
// told neither live nor still, so it makes the answer -1 too.
int live_candidate(const rtt_search &s, const rtt_search *prev)
{
    if (prev == nullptr || prev->address != 0 || prev->ram.base != s.ram.base || prev->ram.len != s.ram.len)
        return -1;
    int live = -1;
    for (uint32_t i = 0; i < s.candidate_count; i++) {
        const rtt_block *was = nullptr;
        for (uint32_t j = 0; j < prev->candidate_count && j < RTT_SEARCH_CANDIDATES; j++)
            if (same_layout(prev->candidates[j], s.candidates[i]))
                was = &prev->candidates[j];
        if (was == nullptr)
            return -1;
        if (!moved(*was, s.candidates[i]))
            continue;
        if (live >= 0)
            return -1;
        live = static_cast<int>(i);
    }
    return live;
}

// The addresses of IDs in ram, read in chunks; an ID cut by a chunk's end is
// found with the 15 bytes kept from before it. A range may run past the
// target's RAM (a scan of the SRAM region's start on a part with less): the
// scan ends at the first chunk that cannot be read once one could. 0, or the
// failure of the first read.
int ids_find(const rtt_target &t, rtt_search *s, uint32_t *ids, size_t *id_count)
{
    uint8_t buf[RTT_ID_SIZE - 1 + scan_chunk];
    uint64_t end = uint64_t{s->ram.base} + s->ram.len;
    end = end > address_space_end ? address_space_end : end;
    size_t kept = 0;
    *id_count = 0;
    for (uint64_t at = s->ram.base; at < end;) {
        uint32_t n = smaller(scan_chunk, end - at);
        int r = t.read(t.ctx, static_cast<uint32_t>(at), n, buf + kept);
        if (r != 0 && at == s->ram.base)
            return read_failed(r, static_cast<uint32_t>(at), s->why, sizeof s->why);
        if (r != 0)
            return 0;
        size_t len = kept + n;
        size_t found = rtt_scan(buf, len, static_cast<uint32_t>(at - kept), ids + *id_count, scan_ids - *id_count);
        *id_count += found < scan_ids - *id_count ? found : scan_ids - *id_count;
        kept = len < RTT_ID_SIZE - 1 ? len : RTT_ID_SIZE - 1;
        std::memmove(buf, buf + len - kept, kept);
        at += n;
    }
    return 0;
}

void attach(rtt_search *s, const rtt_block &b, const rtt_channel_names &names)
{
    s->result = 0;
    s->block = b;
    s->names = names;
    s->why[0] = '\0';
}

void scan_run(const rtt_target &t, rtt_search *s, const rtt_search *prev)
{
    uint32_t ids[scan_ids];
    size_t id_count = 0;
    s->result = ids_find(t, s, ids, &id_count);
    if (s->result != 0)
        return;
    snprintf(s->why, sizeof s->why, "ID not found");
    // One set of names per candidate kept, and one for the looks beyond them.
    rtt_channel_names names[RTT_SEARCH_CANDIDATES + 1];
    rtt_block b;
    for (size_t i = 0; i < id_count; i++) {
        uint32_t slot = s->candidate_count;
        std::memset(&names[slot], 0, sizeof names[slot]);
        int r = block_look(t, ids[i], s->ram, &b, &names[slot], s->why, sizeof s->why);
        if (r == tarvex_wire::RESULT_RTT_REFUSED)
            continue;
        if (r != 0) {
            s->result = r;
            return;
        }
        if (s->candidate_count < RTT_SEARCH_CANDIDATES)
            s->candidates[s->candidate_count++] = b;
        s->blocks++;
    }
    s->result = tarvex_wire::RESULT_RTT_REFUSED;
    if (s->blocks == 1) {
        attach(s, s->candidates[0], names[0]);
        return;
    }
    if (s->blocks > RTT_SEARCH_CANDIDATES) {
        snprintf(s->why, sizeof s->why, "%u blocks (at most %u told apart)", s->blocks, RTT_SEARCH_CANDIDATES);
        return;
    }
    if (s->blocks == 0)
        return;
    int live = live_candidate(*s, prev);
    if (live >= 0)
        attach(s, s->candidates[live], names[live]);
    else
        snprintf(s->why, sizeof s->why, "%u blocks, none seen live yet", s->blocks);
}

bool others_pending(const rtt_block &b, int32_t except)
{
    for (int32_t i = 0; i < b.up_count; i++)
        if (i != except && rtt_up_pending(b.up[i]) > 0)
            return true;
    return false;
}

// The up channel this poll drains, or -1 when none has bytes: channel 0, the
// terminal, whose lines are the ones someone waits for, whenever it has any
// and the poll before did not take it out of turn; otherwise the first one
// with bytes from p->first on.
int32_t channel_to_drain(rtt_poll *p)
{
    const int32_t count = p->block.up_count;
    const int32_t first = p->first >= 0 && p->first < count ? p->first : 0;
    bool out_of_turn = !p->terminal_first && first != 0 && count > 0 && rtt_up_pending(p->block.up[0]) > 0;
    p->terminal_first = out_of_turn;
    if (out_of_turn)
        return 0;
    for (int32_t k = 0; k < count; k++) {
        int32_t i = (first + k) % count;
        if (rtt_up_pending(p->block.up[i]) > 0) {
            p->first = (i + 1) % count;
            return i;
        }
    }
    return -1;
}

// One up channel's pending bytes, up to RTT_POLL_BYTES, a piece at a time,
// and then its new RdOff. Each poll drains one channel, so that its bytes
// reach readers as soon as it is done and a line on the terminal waits
// behind one channel's bytes, not every channel's; while others have bytes
// the poll says so (cut), and the next follows at once. The bytes count as
// captured only once the write went through; on a failure the poll starts
// afresh and finds RdOff where it was, and reads the same bytes again (were
// the write done but reported failed, the firmware would have taken the
// space and those bytes would be lost, never doubled). After each access
// the drain makes way for other work waiting, keeping where it stands.
// 0, or the failure; *made_way when it stopped for other work.
int up_drain(const rtt_target &t, rtt_poll *p, bool *made_way)
{
    if (p->channel < 0) {
        p->channel = channel_to_drain(p);
        if (p->channel < 0)
            return 0;
        p->want = smaller(rtt_up_pending(p->block.up[p->channel]), RTT_POLL_BYTES);
        p->got = 0;
    }
    while (p->got < p->want) {
        if (int r = piece_next(t, p); r != 0)
            return r;
        if (others_wait(t)) {
            *made_way = true;
            return 0;
        }
    }
    int32_t i = p->channel;
    if (int r = offset_move(t, &p->block, true, i, p->got); r != 0)
        return r;
    p->up_at[i] = 0;
    p->up_len[i] = p->got;
    p->cut = rtt_up_pending(p->block.up[i]) > 0 || others_pending(p->block, i);
    p->channel = -1;
    return 0;
}

// Each down channel's queued bytes that fit, and then its new WrOff. Bytes
// count as taken only once WrOff went through; on a failure the poll stops
// there, and a retry writes the same bytes at the same WrOff again (the
// firmware never looked at them, as WrOff had not moved).
int down_feed(const rtt_target &t, rtt_poll *p)
{
    uint32_t from = 0;
    for (int32_t i = 0; i < RTT_MAX_CHANNELS; i++) {
        uint32_t len = smaller(p->down_len[i], RTT_POLL_BYTES - from);
        uint32_t at = from;
        from += len;
        if (i >= p->block.down_count)
            continue;
        uint32_t n = smaller(len, rtt_down_space(p->block.down[i]));
        if (n == 0)
            continue;
        int r = down_move(t, &p->block, i, n, p->down_data + at);
        if (r != 0)
            return r;
        p->down_taken[i] = n;
    }
    return 0;
}

bool counts_sane(const rtt_block &b)
{
    return b.up_count >= 0 && b.up_count <= RTT_MAX_CHANNELS && b.down_count >= 0 && b.down_count <= RTT_MAX_CHANNELS;
}

// The block read again and checked against what was validated: 0, or the
// failure or refusal (p->result's value) with why.
int block_reread(const rtt_target &t, rtt_poll *p)
{
    if (!counts_sane(p->block)) {
        snprintf(p->why, sizeof p->why, "block not checked");
        return tarvex_wire::RESULT_RTT_REFUSED;
    }
    uint8_t bytes[block_size_max];
    uint32_t size = rtt_block_size(p->block.up_count, p->block.down_count);
    int r = t.read(t.ctx, p->block.address, size, bytes);
    if (r != 0)
        return read_failed(r, p->block.address, p->why, sizeof p->why);
    rtt_block now;
    if (rtt_block_recheck(bytes, size, p->block, &now, p->why, sizeof p->why) != 0)
        return tarvex_wire::RESULT_RTT_REFUSED;
    p->block = now;
    return 0;
}

} // namespace

void rtt_search_run(const rtt_target &t, rtt_search *s, const rtt_search *prev)
{
    s->result = 0;
    s->block = rtt_block{};
    s->blocks = 0;
    s->why[0] = '\0';
    std::memset(&s->names, 0, sizeof s->names);
    s->candidate_count = 0;
    if (s->address == 0) {
        scan_run(t, s, prev);
        return;
    }
    rtt_block b;
    rtt_channel_names names;
    s->result = block_look(t, s->address, s->ram, &b, &names, s->why, sizeof s->why);
    if (s->result != 0)
        return;
    s->blocks = 1;
    s->candidates[s->candidate_count++] = b;
    attach(s, b, names);
}

void rtt_poll_run(const rtt_target &t, rtt_poll *p)
{
    p->result = 0;
    p->why[0] = '\0';
    std::memset(p->down_taken, 0, sizeof p->down_taken);
    std::memset(p->up_at, 0, sizeof p->up_at);
    std::memset(p->up_len, 0, sizeof p->up_len);
    p->cut = false;
    bool made_way = false;
    if (!p->resume) {
        p->channel = -1;
        p->result = block_reread(t, p);
        p->resume = p->result == 0;
        made_way = p->resume && others_wait(t);
    }
    if (p->result == 0 && !made_way)
        p->result = up_drain(t, p, &made_way);
    p->resume = p->result == 0 && made_way;
    p->cut = p->cut || made_way;
    // Input goes in once the poll is done, even where other work waits: a
    // firmware streaming without pause would otherwise never get it while a
    // client keeps the probe busy. Input is rare and small; without any,
    // this makes no access.
    if (p->result == 0 && !made_way)
        p->result = down_feed(t, p);
}
