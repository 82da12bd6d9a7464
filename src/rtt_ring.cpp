#include "rtt_ring.h"

#include <cstdlib>
#include <cstring>

int rtt_ring_init(rtt_ring *r, uint32_t capacity)
{
    r->data = capacity != 0 ? static_cast<uint8_t *>(std::malloc(capacity)) : nullptr;
    r->capacity = r->data != nullptr ? capacity : 0;
    r->end = 0;
    return r->data != nullptr ? 0 : -1;
}

void rtt_ring_free(rtt_ring *r)
{
    std::free(r->data);
    r->data = nullptr;
    r->capacity = 0;
}

void rtt_ring_append(rtt_ring *r, const uint8_t *bytes, uint32_t n)
{
    if (r->capacity == 0 || n == 0) {
        r->end += n;
        return;
    }
    // Of more than the ring holds only the newest bytes can stay.
    uint32_t skip = n > r->capacity ? n - r->capacity : 0;
    uint32_t at = static_cast<uint32_t>((r->end + skip) % r->capacity);
    uint32_t keep = n - skip;
    uint32_t first = keep < r->capacity - at ? keep : r->capacity - at;
    std::memcpy(r->data + at, bytes + skip, first);
    std::memcpy(r->data, bytes + skip + first, keep - first);
    r->end += n;
}

uint64_t rtt_ring_start(const rtt_ring *r)
{
    return r->end > r->capacity ? r->end - r->capacity : 0;
}

uint32_t rtt_ring_read(const rtt_ring *r, uint64_t from, uint8_t *out, uint32_t max, uint64_t *start, uint64_t *lost)
{
    uint64_t held = rtt_ring_start(r);
    *lost = from < held ? held - from : 0;
    from = from < held ? held : from > r->end ? r->end : from;
    *start = from;
    uint64_t available = r->end - from;
    uint32_t n = available < max ? static_cast<uint32_t>(available) : max;
    if (n == 0)
        return 0;
    uint32_t at = static_cast<uint32_t>(from % r->capacity);
    uint32_t first = n < r->capacity - at ? n : r->capacity - at;
    std::memcpy(out, r->data + at, first);
    std::memcpy(out + first, r->data, n - first);
    return n;
}
