// The target's side of RTT. The host reads an up channel's bytes up to
// WrOff and then stores RdOff; on a down channel it writes bytes and then
// WrOff. So every published offset is stored after the data it covers,
// and every offset the host stores is loaded before the data it frees or
// covers is touched: a barrier (compiler and DMB) stands between the two
// each time. Offsets are single 32-bit loads and stores.
//
// An offset the host stored out of range is never followed: the channel
// then counts as full (up) or empty (down), so a confused host cannot make
// the firmware write outside a buffer.
#include "rtt.h"

struct rtt_control _SEGGER_RTT;

static struct rtt_storage rtt_own_storage;
// In .bss: images whose .data layout tests check gain no initialised data.
static struct rtt_control *rtt_current;

// "SEGGER RTT" as little-endian words.
static const uint32_t rtt_id_words[4] = {0x47474553u, 0x52205245u, 0x00005454u, 0};

static inline void barrier(void)
{
    __asm volatile("dmb" ::: "memory");
}

void rtt_retire(struct rtt_control *cb)
{
    cb->id[0] = 0;
    barrier();
}

static void lay_out(struct rtt_buffer *b, const char *const *names, unsigned i, uint8_t *storage, uint32_t size)
{
    b->name = names ? names[i] : 0;
    b->buffer = storage;
    b->size = size;
    b->wr_off = 0;
    b->rd_off = 0;
    b->flags = RTT_MODE_SKIP;
}

void rtt_setup(struct rtt_control *cb, struct rtt_storage *storage, const char *const *up_names,
               const char *const *down_names)
{
    if (!storage)
        storage = &rtt_own_storage;
    rtt_retire(cb);
    for (unsigned i = 1; i < 4; i++)
        cb->id[i] = 0;
    cb->max_up = RTT_UP_CHANNELS;
    cb->max_down = RTT_DOWN_CHANNELS;
    for (unsigned i = 0; i < RTT_UP_CHANNELS; i++)
        lay_out(&cb->up[i], up_names, i, storage->up[i], RTT_UP_SIZE);
    for (unsigned i = 0; i < RTT_DOWN_CHANNELS; i++)
        lay_out(&cb->down[i], down_names, i, storage->down[i], RTT_DOWN_SIZE);
    rtt_current = cb;
}

// The first word last: until it lands, what the host sees does not begin
// with "SEGG".
void rtt_publish(void)
{
    barrier();
    for (unsigned i = 1; i < 4; i++)
        rtt_current->id[i] = rtt_id_words[i];
    barrier();
    rtt_current->id[0] = rtt_id_words[0];
    barrier();
}

void rtt_init(const char *const *up_names, const char *const *down_names)
{
    rtt_setup(&_SEGGER_RTT, 0, up_names, down_names);
    rtt_publish();
}

void rtt_set_mode(unsigned channel, uint32_t mode)
{
    if (!rtt_current || channel >= RTT_UP_CHANNELS)
        return;
    struct rtt_buffer *b = &rtt_current->up[channel];
    b->flags = (b->flags & ~RTT_MODE_MASK) | (mode & RTT_MODE_MASK);
}

// Bytes the target may write at wr.
static uint32_t up_space(struct rtt_buffer *b, uint32_t wr)
{
    uint32_t rd = b->rd_off;
    barrier();
    if (rd >= b->size)
        return 0;
    return rd > wr ? rd - wr - 1 : b->size - wr + rd - 1;
}

static void up_put(struct rtt_buffer *b, uint32_t wr, const uint8_t *p, uint32_t n)
{
    for (uint32_t i = 0; i < n; i++) {
        b->buffer[wr] = p[i];
        wr = wr + 1 == b->size ? 0 : wr + 1;
    }
    barrier();
    b->wr_off = wr;
}

static uint32_t min_u32(uint32_t a, uint32_t b)
{
    return a < b ? a : b;
}

// Block mode: in pieces as the host frees space.
static void up_put_waiting(struct rtt_buffer *b, const uint8_t *p, uint32_t n)
{
    while (n > 0) {
        uint32_t wr = b->wr_off;
        uint32_t piece = min_u32(up_space(b, wr), n);
        up_put(b, wr, p, piece);
        p += piece;
        n -= piece;
    }
}

uint32_t rtt_write(unsigned channel, const void *data, uint32_t n)
{
    if (!rtt_current || channel >= RTT_UP_CHANNELS)
        return 0;
    struct rtt_buffer *b = &rtt_current->up[channel];
    const uint8_t *p = data;
    uint32_t wr = b->wr_off;
    switch (b->flags & RTT_MODE_MASK) {
    case RTT_MODE_BLOCK:
        up_put_waiting(b, p, n);
        return n;
    case RTT_MODE_TRIM:
        n = min_u32(up_space(b, wr), n);
        break;
    default:
        if (up_space(b, wr) < n)
            return 0;
        break;
    }
    up_put(b, wr, p, n);
    return n;
}

uint32_t rtt_read(unsigned channel, void *buf, uint32_t n)
{
    if (!rtt_current || channel >= RTT_DOWN_CHANNELS)
        return 0;
    struct rtt_buffer *b = &rtt_current->down[channel];
    uint32_t wr = b->wr_off;
    barrier();
    uint32_t rd = b->rd_off;
    if (wr >= b->size || rd >= b->size)
        return 0;
    uint8_t *out = buf;
    uint32_t got = 0;
    for (; got < n && rd != wr; got++) {
        out[got] = b->buffer[rd];
        rd = rd + 1 == b->size ? 0 : rd + 1;
    }
    barrier();
    b->rd_off = rd;
    return got;
}
