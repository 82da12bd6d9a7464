#include "readonly_cache.h"

#include <algorithm>

#include "target.h"

namespace tarvex_target
{

void cache_set_range(readonly_cache &c, uint32_t base, uint32_t size)
{
    c.base = base;
    c.size = size;
    cache_forget(c);
}

void cache_forget(readonly_cache &c)
{
    c.lines.clear();
}

static uint64_t line_of(uint64_t addr)
{
    return addr & ~static_cast<uint64_t>(CACHE_LINE - 1);
}

// Whether the lines that hold [addr, addr + len) lie inside the range, and
// are few enough to keep.
static bool cacheable(const readonly_cache &c, uint32_t addr, uint32_t len)
{
    uint64_t first = line_of(addr), end = line_of(uint64_t{addr} + len + CACHE_LINE - 1);
    return len > 0 && c.size > 0 && first >= c.base && end <= uint64_t{c.base} + c.size &&
           (end - first) / CACHE_LINE <= CACHE_LINES_MAX;
}

// Reads the run of missing lines from `at` up to `end` (or the first line
// already kept) and keeps it; *next is where the run ended.
static int fetch_run(link &l, readonly_cache &c, uint64_t at, uint64_t end, uint64_t *next)
{
    uint64_t stop = at;
    while (stop < end && c.lines.count(static_cast<uint32_t>(stop)) == 0)
        stop += CACHE_LINE;
    std::vector<uint8_t> bytes;
    int rc = memory_read(l, static_cast<uint32_t>(at), static_cast<uint32_t>(stop - at), &bytes);
    if (rc != TARGET_OK)
        return rc;
    if (c.lines.size() + (stop - at) / CACHE_LINE > CACHE_LINES_MAX)
        cache_forget(c);
    for (uint64_t line = at; line < stop; line += CACHE_LINE)
        std::copy_n(bytes.begin() + static_cast<long>(line - at), CACHE_LINE,
                    c.lines[static_cast<uint32_t>(line)].begin());
    *next = stop;
    return TARGET_OK;
}

int cached_read(link &l, readonly_cache &c, uint32_t addr, uint32_t len, std::vector<uint8_t> *data)
{
    if (!cacheable(c, addr, len))
        return memory_read(l, addr, len, data);
    uint64_t end = uint64_t{addr} + len, lines_end = line_of(end + CACHE_LINE - 1);
    data->assign(len, 0);
    for (uint64_t at = line_of(addr); at < end;) {
        uint64_t next = at + CACHE_LINE;
        if (c.lines.count(static_cast<uint32_t>(at)) == 0) {
            int rc = fetch_run(l, c, at, lines_end, &next);
            if (rc != TARGET_OK) {
                data->clear();
                return rc;
            }
        }
        // Copied at once: a later run may make the cache start over.
        for (; at < next; at += CACHE_LINE) {
            const std::array<uint8_t, CACHE_LINE> &line = c.lines[static_cast<uint32_t>(at)];
            uint64_t from = std::max<uint64_t>(at, addr), to = std::min<uint64_t>(at + CACHE_LINE, end);
            std::copy(line.begin() + (from - at), line.begin() + (to - at), data->begin() + (from - addr));
        }
    }
    return TARGET_OK;
}

} // namespace tarvex_target
