#include "debug_units.h"

#include "armv7m_debug.h"
#include "target.h"

namespace tarvex_target
{

using namespace armv7m;

static_assert(DWT_MASK_BITS_MAX == DWT_MASK_MAX, "the default block limit is the architecture's field");

// BKPT #0, as it sits in memory (little endian).
constexpr uint8_t BKPT_BYTES[2] = {0x00, 0xBE};

// Register reg0 of comparator 0 (DWT_COMP0, DWT_MASK0 or DWT_FUNCTION0) for
// comparator n.
static uint32_t dwt_reg(uint32_t reg0, size_t n)
{
    return reg0 + DWT_STRIDE * static_cast<uint32_t>(n);
}

// Armv8-M DWT_FUNCTIONn: MATCH in bits 3:0 (0100 a data address on any
// access, 0101 on a write, 0110 on a read, 0111 the inclusive limit of a
// range the comparator below begins), ACTION in bits 5:4 (01 a debug
// event; 00 on a limit, which only qualifies its base), DATAVSIZE in bits
// 11:10 (log2 of the size a single comparator watches; a range's base
// takes 00, bytes).
constexpr uint32_t V8_MATCH_ANY = 0x4;
constexpr uint32_t V8_MATCH_WRITE = 0x5;
constexpr uint32_t V8_MATCH_READ = 0x6;
constexpr uint32_t V8_MATCH_LIMIT = 0x7;
constexpr uint32_t V8_ACTION_DEBUG = 1u << 4;
constexpr uint32_t V8_DATAVSIZE_SHIFT = 10;

static uint32_t dwt_function_code(uint8_t kind)
{
    return kind == WATCH_READ ? DWT_WATCH_READ : kind == WATCH_WRITE ? DWT_WATCH_WRITE : DWT_WATCH_ANY;
}

static uint32_t v8_match(uint8_t kind)
{
    return kind == WATCH_READ ? V8_MATCH_READ : kind == WATCH_WRITE ? V8_MATCH_WRITE : V8_MATCH_ANY;
}

// log2 of a single comparator's size for an aligned 1, 2 or 4 bytes, else -1.
static int v8_single_size(uint32_t addr, uint32_t len)
{
    for (int bits = 0; bits <= 2; bits++)
        if (len == 1u << bits && (addr & (len - 1)) == 0)
            return bits;
    return -1;
}

static std::vector<dwt_setting> v8_settings(uint8_t kind, uint32_t addr, uint32_t len)
{
    int size = v8_single_size(addr, len);
    if (size >= 0)
        return {{addr, 0, v8_match(kind) | V8_ACTION_DEBUG | static_cast<uint32_t>(size) << V8_DATAVSIZE_SHIFT}};
    uint64_t limit = static_cast<uint64_t>(addr) + len - 1;
    if (limit > 0xFFFFFFFFu)
        return {};
    return {{addr, 0, v8_match(kind) | V8_ACTION_DEBUG}, {static_cast<uint32_t>(limit), 0, V8_MATCH_LIMIT}};
}

std::vector<dwt_setting> dwt_settings(const core_identity &core, uint8_t kind, uint32_t addr, uint32_t len)
{
    if (core.dwt == DWT_V8M)
        return v8_settings(kind, addr, len == 0 ? 1 : len);
    std::vector<dwt_setting> settings;
    for (const dwt_range &b : dwt_blocks(addr, len, core.dwt_mask_max))
        settings.push_back({b.base, b.mask_bits, dwt_function_code(kind)});
    return settings;
}

uint32_t fpb_comparator_value(bool rev2, const fpb_slot &slot)
{
    if (rev2)
        return (slot.addr & ~1u) | FP_COMP_ENABLE;
    return (slot.addr & FP_REV1_ADDR_MASK) | static_cast<uint32_t>(slot.halves & 3) << FP_COMP_REPLACE_SHIFT |
           FP_COMP_ENABLE;
}

bool fpb_reaches(bool rev2, uint32_t addr)
{
    return rev2 || addr < FP_REV1_LIMIT;
}

std::vector<dwt_range> dwt_blocks(uint32_t addr, uint32_t len, uint32_t max_bits)
{
    std::vector<dwt_range> blocks;
    uint64_t at = addr, end = static_cast<uint64_t>(addr) + (len == 0 ? 1 : len);
    while (at < end) {
        // The largest block aligned at `at` that stays inside the range.
        uint32_t bits = 0;
        while (bits < max_bits && (at & ((uint64_t{2} << bits) - 1)) == 0 && at + (uint64_t{2} << bits) <= end)
            bits++;
        blocks.push_back({static_cast<uint32_t>(at), bits});
        at += uint64_t{1} << bits;
    }
    return blocks;
}

void units_setup(debug_units &u, const core_identity &core)
{
    u.core = core;
    u.fpb_rev2 = core.fpb_revision >= 2;
    u.fpb.assign(core.fpb_code, fpb_slot());
    u.dwt.assign(core.dwt_count, dwt_slot());
    u.soft.clear();
}

int units_discover(link &l, debug_units &u)
{
    core_identity core;
    int rc = identify(l, &core);
    if (rc == TARGET_OK)
        units_setup(u, core);
    return rc;
}

static int write_fpb(link &l, const debug_units &u, size_t n)
{
    const fpb_slot &slot = u.fpb[n];
    uint32_t value = slot.used ? fpb_comparator_value(u.fpb_rev2, slot) : 0;
    int rc = l.write_debug(FP_COMP0 + 4 * static_cast<uint32_t>(n), value);
    if (rc == TARGET_OK && slot.used)
        rc = l.write_debug(FP_CTRL, FP_CTRL_KEY | FP_CTRL_ENABLE);
    return rc;
}

// The comparator that holds addr, or that would hold it with the other
// halfword of its word (revision 1); fpb.size() when none.
static size_t fpb_find(const debug_units &u, uint32_t addr)
{
    uint32_t key = u.fpb_rev2 ? (addr & ~1u) : (addr & ~3u);
    for (size_t n = 0; n < u.fpb.size(); n++)
        if (u.fpb[n].used && u.fpb[n].addr == key)
            return n;
    return u.fpb.size();
}

static uint8_t fpb_half(const debug_units &u, uint32_t addr)
{
    return u.fpb_rev2 ? 1 : ((addr & 2) != 0 ? 2 : 1);
}

static int fpb_insert(link &l, debug_units &u, uint32_t addr)
{
    if (!fpb_reaches(u.fpb_rev2, addr))
        return TARGET_UNSUITABLE;
    size_t n = fpb_find(u, addr);
    if (n == u.fpb.size()) {
        for (n = 0; n < u.fpb.size() && u.fpb[n].used; n++) {
        }
        if (n == u.fpb.size())
            return TARGET_EXHAUSTED;
        u.fpb[n] = {true, u.fpb_rev2 ? (addr & ~1u) : (addr & ~3u), 0};
    }
    fpb_slot before = u.fpb[n];
    u.fpb[n].halves |= fpb_half(u, addr);
    int rc = write_fpb(l, u, n);
    if (rc != TARGET_OK)
        u.fpb[n] = before.halves != 0 ? before : fpb_slot(); // not set: the slot stays as it was
    return rc;
}

static int fpb_remove(link &l, debug_units &u, uint32_t addr)
{
    size_t n = fpb_find(u, addr);
    if (n == u.fpb.size())
        return TARGET_OK;
    u.fpb[n].halves &= static_cast<uint8_t>(~fpb_half(u, addr));
    if (u.fpb[n].halves == 0)
        u.fpb[n].used = false;
    return write_fpb(l, u, n);
}

static bool in_ram(const debug_units &u, uint32_t addr)
{
    return addr >= u.ram_base && addr - u.ram_base + 2 <= u.ram_size;
}

static std::vector<soft_breakpoint>::iterator soft_find(debug_units &u, uint32_t addr)
{
    auto it = u.soft.begin();
    while (it != u.soft.end() && it->addr != addr)
        ++it;
    return it;
}

static int soft_insert(link &l, debug_units &u, uint32_t addr)
{
    if (soft_find(u, addr) != u.soft.end())
        return TARGET_OK;
    std::vector<uint8_t> saved;
    int rc = memory_read(l, addr, 2, &saved);
    if (rc == TARGET_OK)
        rc = memory_write(l, addr, BKPT_BYTES, 2);
    if (rc == TARGET_OK)
        u.soft.push_back({addr, {saved[0], saved[1]}});
    return rc;
}

int breakpoint_insert(link &l, debug_units &u, uint32_t addr, bool hardware)
{
    if (!hardware && in_ram(u, addr))
        return soft_insert(l, u, addr);
    return fpb_insert(l, u, addr);
}

int breakpoint_remove(link &l, debug_units &u, uint32_t addr, bool hardware)
{
    auto it = soft_find(u, addr);
    if (hardware || it == u.soft.end())
        return fpb_remove(l, u, addr);
    int rc = memory_write(l, addr, it->saved, 2);
    if (rc == TARGET_OK)
        u.soft.erase(it);
    return rc;
}

static int write_dwt(link &l, const debug_units &u, size_t n)
{
    const dwt_slot &slot = u.dwt[n];
    if (!slot.used)
        return l.write_debug(dwt_reg(DWT_FUNCTION0, n), 0);
    int rc = l.write_debug(dwt_reg(DWT_COMP0, n), slot.setting.comp);
    if (rc == TARGET_OK && u.core.dwt == DWT_MASKED)
        rc = l.write_debug(dwt_reg(DWT_MASK0, n), slot.setting.mask);
    if (rc == TARGET_OK)
        rc = l.write_debug(dwt_reg(DWT_FUNCTION0, n), slot.setting.function);
    return rc;
}

static bool serves(const dwt_slot &slot, uint8_t kind, uint32_t addr, uint32_t len)
{
    return slot.used && slot.kind == kind && slot.addr == addr && slot.len == len;
}

static bool pair_free(const debug_units &u, size_t n)
{
    return n % 2 == 0 && n + 1 < u.dwt.size() && !u.dwt[n].used && !u.dwt[n + 1].used;
}

// The comparators count settings go to, in order, into *at; false when too
// few are free. An Armv8-M range takes an even comparator and the next; a
// single one there goes where it breaks up no free pair, if it can.
static bool dwt_place(const debug_units &u, size_t count, std::vector<size_t> *at)
{
    bool v8 = u.core.dwt == DWT_V8M;
    if (v8 && count == 2) {
        for (size_t n = 0; n < u.dwt.size(); n += 2)
            if (pair_free(u, n)) {
                *at = {n, n + 1};
                return true;
            }
        return false;
    }
    for (size_t n = 0; v8 && n < u.dwt.size(); n++)
        if (!u.dwt[n].used && !pair_free(u, n & ~size_t{1})) {
            *at = {n};
            return true;
        }
    for (size_t n = 0; n < u.dwt.size() && at->size() < count; n++)
        if (!u.dwt[n].used)
            at->push_back(n);
    return at->size() == count;
}

int watchpoint_insert(link &l, debug_units &u, uint8_t kind, uint32_t addr, uint32_t len)
{
    for (const dwt_slot &slot : u.dwt)
        if (serves(slot, kind, addr, len))
            return TARGET_OK;
    std::vector<dwt_setting> settings = dwt_settings(u.core, kind, addr, len);
    std::vector<size_t> at;
    if (settings.empty())
        return TARGET_UNSUITABLE; // an Armv8-M range past the top of the address space
    if (!dwt_place(u, settings.size(), &at))
        return TARGET_EXHAUSTED; // a wider block would match accesses GDB did not ask for
    int rc = trace_enable(l);    // another client may have cleared TRCENA
    for (size_t i = 0; i < at.size() && rc == TARGET_OK; i++) {
        u.dwt[at[i]] = {true, addr, len, kind, settings[i]};
        rc = write_dwt(l, u, at[i]);
    }
    if (rc != TARGET_OK)
        watchpoint_remove(l, u, kind, addr, len); // none of it stays half set
    return rc;
}

int watchpoint_remove(link &l, debug_units &u, uint8_t kind, uint32_t addr, uint32_t len)
{
    int rc = TARGET_OK;
    for (size_t n = 0; n < u.dwt.size(); n++) {
        if (serves(u.dwt[n], kind, addr, len)) {
            u.dwt[n].used = false;
            int written = write_dwt(l, u, n);
            rc = rc == TARGET_OK ? written : rc;
        }
    }
    return rc;
}

const dwt_slot *watchpoint_hit(link &l, debug_units &u)
{
    const dwt_slot *hit = nullptr;
    // Every comparator is read, so no MATCHED bit is left over for the next stop.
    for (size_t n = 0; n < u.dwt.size(); n++) {
        uint32_t function = 0;
        if (u.dwt[n].used && l.read_debug(dwt_reg(DWT_FUNCTION0, n), &function) == TARGET_OK &&
            (function & DWT_FUNCTION_MATCHED) != 0 && hit == nullptr)
            hit = &u.dwt[n];
    }
    return hit;
}

int units_clear(link &l, debug_units &u)
{
    int rc = TARGET_OK;
    while (!u.soft.empty() && rc == TARGET_OK)
        rc = breakpoint_remove(l, u, u.soft.back().addr, false);
    for (size_t n = 0; n < u.fpb.size() && rc == TARGET_OK; n++) {
        if (u.fpb[n].used) {
            u.fpb[n].used = false;
            rc = write_fpb(l, u, n);
        }
    }
    for (size_t n = 0; n < u.dwt.size() && rc == TARGET_OK; n++) {
        if (u.dwt[n].used) {
            u.dwt[n].used = false;
            rc = write_dwt(l, u, n);
        }
    }
    return rc;
}

int units_restore(link &l, debug_units &u)
{
    int rc = TARGET_OK;
    for (size_t n = 0; n < u.fpb.size() && rc == TARGET_OK; n++)
        if (u.fpb[n].used)
            rc = write_fpb(l, u, n);
    if (rc == TARGET_OK)
        rc = trace_enable(l);
    for (size_t n = 0; n < u.dwt.size() && rc == TARGET_OK; n++)
        if (u.dwt[n].used)
            rc = write_dwt(l, u, n);
    return rc;
}

void units_unpatch(const debug_units &u, uint32_t addr, std::vector<uint8_t> *data)
{
    for (const soft_breakpoint &b : u.soft)
        for (uint32_t i = 0; i < 2; i++)
            if (b.addr + i - addr < data->size())
                (*data)[b.addr + i - addr] = b.saved[i];
}

int units_repatch(link &l, debug_units &u, uint32_t addr, const uint8_t *data, uint32_t len)
{
    int rc = TARGET_OK;
    for (soft_breakpoint &b : u.soft) {
        bool covered = false;
        for (uint32_t i = 0; i < 2; i++) {
            if (b.addr + i - addr < len) {
                b.saved[i] = data[b.addr + i - addr];
                covered = true;
            }
        }
        if (covered && rc == TARGET_OK)
            rc = memory_write(l, b.addr, BKPT_BYTES, 2);
    }
    return rc;
}

} // namespace tarvex_target

namespace tarvex_target
{

int stop_read(link &l, debug_units &u, const stop_context &ctx, stop_cause *cause, const dwt_slot **hit)
{
    *hit = nullptr;
    if (ctx.locked_up) {
        *cause = STOP_LOCKUP;
        return l.write_debug(armv7m::DFSR, armv7m::DFSR_ALL);
    }
    uint32_t dfsr = 0;
    int rc = l.read_debug(armv7m::DFSR, &dfsr);
    if (rc == TARGET_OK && dfsr != 0)
        rc = l.write_debug(armv7m::DFSR, dfsr); // write one to clear, for the next halt
    if ((dfsr & armv7m::DFSR_DWTTRAP) != 0)
        *hit = watchpoint_hit(l, u);
    *cause = decode_stop(dfsr, ctx, *hit != nullptr);
    return rc;
}

} // namespace tarvex_target
