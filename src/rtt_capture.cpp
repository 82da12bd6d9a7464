// Rules:
// - One record per registry entry that a client ever started capture on,
//   made on its first start and freed when the entry leaves the registry, so
//   that what was captured stays readable while capture is stopped, paused,
//   detached or the probe is unplugged. Ring positions never restart.
// - At most one look per probe is on its worker: the record's job, a
//   probe_request without owner. Its work part touches only the job and the
//   probe's handle (memory reads and writes through rtt_target); the loop
//   touches neither the job nor what it copied into it until its finish part
//   has run. Looks are submitted only from rtt_capture_run, never from a
//   finish part, so a refresh waiting for the workers to be idle gets its turn.
// - A poll makes way after any of its accesses when other work waits, and
//   keeps its place in the job: the next poll goes on from there (the block
//   as that poll read it, the bytes it read and has not yet kept), unless
//   the block was to be looked for again meanwhile; bytes count as captured
//   only once their RdOff is written.
// - No look is queued behind a job that resets the target: from its
//   submission to its finish the capture waits, and then looks again; the
//   block it then finds is taken only once it was set up again or kept by
//   the firmware (taken_after_reset), never as the run before left it.
// - A look that comes back after the capture was told to look again (a reset,
//   a hold's end, a new place) still keeps the bytes its poll drained, as
//   their RdOff was written, but changes nothing else.
// - Nothing is kept per reader: a reader's position is its own.
#include "rtt_capture.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "list.h"
#include "list_tarvex.h"
#include "probe_hold.h"
#include "probe_request.h"
#include "rtt_poll.h"
#include "rtt_ring.h"
#include "sock_info.h"
#include "tarvex_log.h"
#include "tarvex_usb.h"
#include "time_support_common.h"

namespace
{

// Bytes queued per down channel, waiting for the firmware to free space.
constexpr uint32_t RTT_DOWN_QUEUE = 2 * tarvex_wire::RTT_WRITE_LIMIT;
// The rings of one probe together hold at most this many of --rtt-ring-kib.
constexpr uint32_t RTT_RINGS_PER_PROBE = 16;
// A block found by a scan that has stayed still this long is looked for
// again beside the polls: a bootloader that hands over to its application
// may leave its own block valid, and the application's then lies elsewhere.
// Two such searches tell the block that moved from the one that did not.
constexpr uint64_t RTT_QUIET_RESCAN_MS = 5000;
// While data flows, a firmware's next bytes come within a record's time, and
// a back-off that starts at the first quiet poll would hold each line for
// it: polls follow at once for this long after the last one that moved
// bytes, and only then does the back-off start.
constexpr uint64_t RTT_LINGER_MS = 10;
// A block still as the run before a reset left it that stays whole this long
// after the reset was kept by the firmware (not cleared by its start-up).
constexpr uint64_t RTT_KEPT_AFTER_RESET_MS = 500;

uint64_t poll_max_ms = RTT_POLL_MAX_DEFAULT_MS;
uint32_t ring_bytes = RTT_RING_KIB_DEFAULT * 1024;
uint64_t wake_count;

struct rtt_want {
    list_head link; // must stay first
    const _sock_info *client;
};

struct down_queue {
    uint8_t *data; // RTT_DOWN_QUEUE bytes, or null until first used
    uint32_t head;
    uint32_t len;
    uint64_t written; // bytes the polls wrote into the target's buffer
};

struct rtt_capture;

struct rtt_job {
    probe_request base; // must stay first
    rtt_capture *capture;
    uint32_t epoch;
    bool search; // else a poll
    bool rescan; // a search beside an attached block (it stays attached)
    bool have_prev;
    bool gone; // out: the probe's device went away
    rtt_search s;
    rtt_search prev;
    rtt_poll p;
};

struct rtt_capture {
    list_head link; // must stay first
    tarvex_usb *usb;
    list_head wants; // rtt_want
    rtt_range ram;
    uint32_t address; // 0: scan ram
    uint32_t follow;  // a scan's next look goes to this block's address (0: none)
    bool attached;
    bool gone;
    bool paused;
    bool in_flight;
    uint32_t epoch;  // bumped whenever the block must be looked for again
    rtt_block block; // as last validated (still shown once detached)
    bool have_block;
    rtt_channel_names names; // as the status shows them
    rtt_ring rings[RTT_MAX_CHANNELS];
    uint32_t ring_total;
    down_queue down[RTT_MAX_CHANNELS];
    uint64_t polls;
    uint64_t looks;
    rtt_search last; // the last search, for telling a live block from stale ones
    bool have_last;
    uint32_t blocks_logged;
    char refused[64];
    uint64_t next_ms;
    uint64_t interval_ms;
    uint64_t still_since_ms; // the attached block's last movement (or its attach)
    uint64_t moved_ms;       // the last look that moved bytes (or attached)
    uint32_t resets_queued;  // jobs that reset the target, on the worker
    bool after_reset;        // no block taken since a reset
    bool have_sighting;      // sighting holds the first block a search found after it
    rtt_block sighting;
    uint64_t sighting_ms;
    int32_t first;       // the up channel whose turn the next poll takes
    bool terminal_first; // the last poll took channel 0 out of turn
    rtt_job *job;        // owned
};

list_head captures = LIST_HEAD_INIT(captures);

const char *probe_name(const tarvex_usb *usb)
{
    return usb->serial != nullptr ? usb->serial : "?";
}

rtt_capture *find(const tarvex_usb *usb)
{
    list_for_each(pos, &captures)
    {
        auto *cap = list_entry<rtt_capture>(pos);
        if (cap->usb == usb)
            return cap;
    }
    return nullptr;
}

rtt_capture *find_or_make(tarvex_usb *usb)
{
    rtt_capture *cap = find(usb);
    if (cap != nullptr)
        return cap;
    cap = static_cast<rtt_capture *>(calloc(1, sizeof(rtt_capture)));
    auto *job = static_cast<rtt_job *>(calloc(1, sizeof(rtt_job)));
    if (cap == nullptr || job == nullptr) {
        free(cap);
        free(job);
        LOG_ERROR("probe %s: no memory for RTT capture", probe_name(usb));
        return nullptr;
    }
    cap->usb = usb;
    cap->job = job;
    init_list_head(&cap->wants);
    snprintf(cap->refused, sizeof(cap->refused), "-");
    list_add_tail(&cap->link, &captures);
    return cap;
}

rtt_want *find_want(rtt_capture *cap, const _sock_info *c)
{
    list_for_each(pos, &cap->wants)
    {
        auto *w = list_entry<rtt_want>(pos);
        if (w->client == c)
            return w;
    }
    return nullptr;
}

bool wanted(const rtt_capture *cap)
{
    return !list_empty(&cap->wants);
}

// The block is looked for again from the first pause of the back-off.
void look_again(rtt_capture *cap)
{
    cap->attached = false;
    cap->follow = 0;
    cap->epoch++;
    cap->interval_ms = 0;
    cap->next_ms = 0;
}

void wake_readers()
{
    wake_count++;
}

void drop_want(rtt_capture *cap, rtt_want *w)
{
    list_del(&w->link);
    free(w);
    if (!wanted(cap)) {
        LOG_INFO("probe %s: RTT capture stopped: no client wants it", probe_name(cap->usb));
        cap->attached = false;
        wake_readers();
    }
}

// ---------------------------------------------------------------------------
// The look, on the probe's worker

// A channel's offsets are byte offsets (one byte always stays free, a
// trimmed record ends anywhere), so the data a poll moves is seldom word
// aligned; the probe moves bytes many times slower than words. An access is
// split into the bytes up to a word boundary, the whole words, and the bytes
// after them; the offsets themselves are aligned words, one access each.
struct mem_piece {
    uint32_t addr;
    uint16_t size; // 1 or 4
    uint32_t count;
    uint32_t offset; // in the caller's buffer
};

int pieces_of(uint32_t addr, uint32_t len, mem_piece out[3])
{
    uint32_t head = (4 - addr % 4) % 4;
    head = head < len ? head : len;
    uint32_t words = (len - head) / 4;
    uint32_t tail = len - head - 4 * words;
    int n = 0;
    if (head > 0)
        out[n++] = {addr, 1, head, 0};
    if (words > 0)
        out[n++] = {addr + head, 4, words, head};
    if (tail > 0)
        out[n++] = {addr + head + 4 * words, 1, tail, head + 4 * words};
    return n;
}

// Each piece of [addr, addr + len) as one driver access of its size.
template <typename Bytes, typename Access>
int by_pieces(void *ctx, uint32_t addr, uint32_t len, Bytes bytes, Access access)
{
    tarvex_usb_handle_s *h = static_cast<probe_request *>(ctx)->handle;
    mem_piece pieces[3];
    int n = pieces_of(addr, len, pieces);
    int r = 0;
    for (int i = 0; i < n && r == 0; i++)
        r = access(h, pieces[i].addr, pieces[i].size, pieces[i].count, bytes + pieces[i].offset, 0, 0);
    return r;
}

int target_read(void *ctx, uint32_t addr, uint32_t len, uint8_t *out)
{
    return by_pieces(ctx, addr, len, out, tarvex_usb_read_mem);
}

int target_write(void *ctx, uint32_t addr, uint32_t len, const uint8_t *in)
{
    return by_pieces(ctx, addr, len, in, tarvex_usb_write_mem);
}

bool target_others_wait(void *ctx)
{
    return probe_worker_others_waiting(&static_cast<probe_request *>(ctx)->base);
}

void look_work(probe_request *req)
{
    auto *job = reinterpret_cast<rtt_job *>(req);
    rtt_target t{req, target_read, target_write, target_others_wait};
    if (job->search) {
        rtt_search_run(t, &job->s, job->have_prev ? &job->prev : nullptr);
    } else {
        rtt_poll_run(t, &job->p);
    }
    job->gone = req->handle != nullptr && req->handle->device_gone;
}

// ---------------------------------------------------------------------------
// Back on the loop

void schedule(rtt_capture *cap, bool moved)
{
    uint64_t now = monotonic_ms();
    if (moved)
        cap->moved_ms = now;
    if (moved || (cap->attached && now - cap->moved_ms < RTT_LINGER_MS))
        cap->interval_ms = 0;
    else
        cap->interval_ms = cap->interval_ms == 0 ? 1 : cap->interval_ms * 2;
    if (cap->interval_ms > poll_max_ms)
        cap->interval_ms = poll_max_ms;
    cap->next_ms = now + cap->interval_ms;
}

// A ring for each up channel of the block that has none yet; the rings of
// one probe share a bound.
void make_rings(rtt_capture *cap)
{
    uint64_t bound = static_cast<uint64_t>(ring_bytes) * RTT_RINGS_PER_PROBE;
    for (int32_t i = 0; i < cap->block.up_count; i++) {
        rtt_ring *r = &cap->rings[i];
        if (r->data != nullptr)
            continue;
        uint64_t left = bound > cap->ring_total ? bound - cap->ring_total : 0;
        uint32_t size = left < ring_bytes ? static_cast<uint32_t>(left) : ring_bytes;
        if (size < 2 || rtt_ring_init(r, size) != 0) {
            LOG_ERROR("probe %s: no ring for RTT up channel %d: its bytes are not kept", probe_name(cap->usb), i);
            continue;
        }
        cap->ring_total += size;
    }
}

void log_blocks(rtt_capture *cap, const rtt_search &s)
{
    if (s.blocks > 1 && s.blocks != cap->blocks_logged)
        LOG_INFO("probe %s: %u valid RTT blocks in 0x%08x..0x%08x: capture settles only on one seen to change",
                 probe_name(cap->usb), s.blocks, s.ram.base, s.ram.base + s.ram.len - 1);
    cap->blocks_logged = s.blocks;
}

// A name as a status line shows it: "-" for none, control characters as '?'.
void shown_name(char *name)
{
    name[RTT_NAME_LIMIT - 1] = '\0';
    if (name[0] == '\0')
        snprintf(name, RTT_NAME_LIMIT, "-");
    for (char *c = name; *c != '\0'; c++)
        if (static_cast<unsigned char>(*c) < 0x20)
            *c = '?';
}

void attach(rtt_capture *cap, const rtt_job *job)
{
    cap->block = job->s.block;
    cap->have_block = true;
    cap->attached = true;
    cap->names = job->s.names;
    for (int32_t i = 0; i < RTT_MAX_CHANNELS; i++) {
        shown_name(cap->names.up[i]);
        shown_name(cap->names.down[i]);
    }
    snprintf(cap->refused, sizeof(cap->refused), "-");
    cap->still_since_ms = monotonic_ms();
    cap->after_reset = false;
    cap->have_sighting = false;
    make_rings(cap);
    LOG_INFO("probe %s: RTT block attached at 0x%08x: %d up and %d down channels", probe_name(cap->usb),
             cap->block.address, cap->block.up_count, cap->block.down_count);
}

void refuse(rtt_capture *cap, const char *why)
{
    if (strcmp(cap->refused, why) != 0)
        LOG_INFO("probe %s: no RTT block taken: %s", probe_name(cap->usb), why);
    snprintf(cap->refused, sizeof(cap->refused), "%s", why);
}

// The one valid block of s that prev did not see, when there is exactly
// one: set up since by code that ran after the block's we are attached to
// (a stale block was there before). -1 otherwise.
int newcomer(const rtt_search &s, const rtt_search &prev)
{
    int found = -1;
    for (uint32_t i = 0; i < s.candidate_count; i++) {
        bool seen = false;
        for (uint32_t k = 0; k < prev.candidate_count; k++)
            seen = seen || prev.candidates[k].address == s.candidates[i].address;
        if (!seen && found >= 0)
            return -1;
        if (!seen)
            found = static_cast<int>(i);
    }
    return found;
}

// A search beside the attached block, which stayed still: capture moves to
// the block the search settled on (the one that changed while the others
// stayed still), or to one that appeared since the previous search (a
// firmware blocked on a full channel changes nothing); otherwise it stays.
void rescan_done(rtt_capture *cap, rtt_job *job, const rtt_search &prev)
{
    const rtt_search &s = job->s;
    cap->still_since_ms = monotonic_ms();
    if (s.result == 0 && s.block.address != cap->block.address) {
        LOG_INFO("probe %s: RTT block at 0x%08x stayed still while the one at 0x%08x changed: following it",
                 probe_name(cap->usb), cap->block.address, s.block.address);
        attach(cap, job);
        schedule(cap, true);
        return;
    }
    int n = s.blocks <= RTT_SEARCH_CANDIDATES ? newcomer(s, prev) : -1;
    if (n >= 0 && s.candidates[n].address != cap->block.address) {
        uint32_t to = s.candidates[n].address;
        LOG_INFO("probe %s: RTT block at 0x%08x stayed still and one appeared at 0x%08x: following it",
                 probe_name(cap->usb), cap->block.address, to);
        look_again(cap);
        cap->follow = to;
        return;
    }
    schedule(cap, false);
}

bool rd_offs_equal(const rtt_block &a, const rtt_block &b)
{
    for (int32_t i = 0; i < a.up_count; i++)
        if (a.up[i].rd_off != b.up[i].rd_off)
            return false;
    return true;
}

bool wr_offs_equal(const rtt_block &a, const rtt_block &b)
{
    for (int32_t i = 0; i < a.up_count; i++)
        if (a.up[i].wr_off != b.up[i].wr_off)
            return false;
    return true;
}

// Right after a reset the block found is most often the one of the run
// before it, still whole in RAM, with the bytes that run wrote last pending,
// while the firmware's start-up clears that memory and sets the block up
// again: a poll then would take what the clearing leaves for those bytes.
// Only the set-up and the capture write a channel's RdOff, so a block whose
// up channels all read from 0 was set up since. A block that still reads
// where the capture left it was kept across the reset by the firmware: it is
// taken once its WrOff moves (the firmware writes on into it) or once it has
// stayed whole for RTT_KEPT_AFTER_RESET_MS (no start-up cleared it).
bool taken_after_reset(rtt_capture *cap, const rtt_block &b)
{
    bool set_up_again = true;
    for (int32_t i = 0; i < b.up_count; i++)
        set_up_again = set_up_again && b.up[i].rd_off == 0;
    if (set_up_again)
        return true;
    const rtt_block &s = cap->sighting;
    bool same = cap->have_sighting && s.address == b.address && s.up_count == b.up_count && rd_offs_equal(s, b);
    if (!same) {
        cap->sighting = b;
        cap->have_sighting = true;
        cap->sighting_ms = monotonic_ms();
        return false;
    }
    return !wr_offs_equal(s, b) || monotonic_ms() - cap->sighting_ms >= RTT_KEPT_AFTER_RESET_MS;
}

void search_done(rtt_capture *cap, rtt_job *job)
{
    cap->looks++;
    rtt_search prev = job->prev; // what this search was compared with
    bool had_prev = job->have_prev;
    cap->last = job->s;
    cap->have_last = true;
    log_blocks(cap, job->s);
    if (job->rescan) {
        if (had_prev)
            rescan_done(cap, job, prev);
        else
            schedule(cap, false);
        return;
    }
    cap->follow = 0;
    if (job->s.result == 0 && cap->after_reset && !taken_after_reset(cap, job->s.block)) {
        refuse(cap, "the block of the run before the reset");
        schedule(cap, false);
        return;
    }
    if (job->s.result == 0)
        attach(cap, job);
    else if (job->s.result == tarvex_wire::RESULT_RTT_REFUSED)
        refuse(cap, job->s.why);
    schedule(cap, job->s.result == 0);
}

// What the poll drained goes into the rings, what it wrote leaves the queues.
bool keep_poll_bytes(rtt_capture *cap, const rtt_poll &p)
{
    bool moved = false;
    for (int32_t i = 0; i < p.block.up_count; i++) {
        if (p.up_len[i] > 0 && cap->rings[i].data != nullptr)
            rtt_ring_append(&cap->rings[i], p.up_data + p.up_at[i], p.up_len[i]);
        moved = moved || p.up_len[i] > 0;
    }
    for (int32_t i = 0; i < p.block.down_count; i++) {
        down_queue *q = &cap->down[i];
        uint32_t taken = p.down_taken[i] < q->len ? p.down_taken[i] : q->len;
        q->head = (q->head + taken) % RTT_DOWN_QUEUE;
        q->len -= taken;
        q->written += taken;
        moved = moved || taken > 0;
    }
    if (moved)
        wake_readers();
    return moved;
}

void poll_done(rtt_capture *cap, rtt_job *job, bool current)
{
    const rtt_poll &p = job->p;
    // A poll that failed part way still drained the channels whose RdOff it
    // wrote: the firmware has already reused that space.
    bool moved = keep_poll_bytes(cap, p);
    if (!current)
        return;
    cap->polls += p.resume ? 0 : 1; // a poll that made way is counted once done
    if (p.result == tarvex_wire::RESULT_RTT_REFUSED) {
        LOG_INFO("probe %s: RTT block at 0x%08x detached: %s; looking for it again", probe_name(cap->usb),
                 cap->block.address, p.why);
        snprintf(cap->refused, sizeof(cap->refused), "%s", p.why);
        look_again(cap);
        return;
    }
    if (p.result == 0)
        cap->block = p.block;
    cap->first = p.first;
    cap->terminal_first = p.terminal_first;
    if (moved)
        cap->still_since_ms = monotonic_ms();
    // A poll that made way for other work goes on right behind it.
    schedule(cap, moved || p.cut);
}

void look_finish(probe_request *req)
{
    auto *job = reinterpret_cast<rtt_job *>(req);
    rtt_capture *cap = job->capture;
    cap->in_flight = false;
    bool current = job->epoch == cap->epoch && wanted(cap);
    // A look that saw the device gone but was overtaken (the probe came back
    // meanwhile and capture looked again) says nothing of the probe now.
    if (job->gone && !cap->gone && job->epoch == cap->epoch) {
        LOG_INFO("probe %s: RTT capture: the probe is gone; it looks again when the probe is back",
                 probe_name(cap->usb));
        cap->gone = true;
        cap->attached = false;
        wake_readers();
    }
    if (job->search) {
        if (current && !cap->gone)
            search_done(cap, job);
        else if (current)
            cap->looks++;
        return;
    }
    poll_done(cap, job, current && !cap->gone);
}

// The bytes of each down channel's queue, one channel's after the other's,
// as far as the poll carries them.
void offer_down_bytes(rtt_capture *cap, rtt_poll *p)
{
    uint32_t at = 0;
    for (int32_t i = 0; i < RTT_MAX_CHANNELS; i++) {
        const down_queue *q = &cap->down[i];
        uint32_t n = i < cap->block.down_count ? q->len : 0;
        if (n > RTT_POLL_BYTES - at)
            n = RTT_POLL_BYTES - at;
        for (uint32_t k = 0; k < n; k++)
            p->down_data[at + k] = q->data[(q->head + k) % RTT_DOWN_QUEUE];
        p->down_len[i] = n;
        at += n;
    }
}

// A block a scan found, still for RTT_QUIET_RESCAN_MS.
bool rescan_due(const rtt_capture *cap)
{
    return cap->attached && cap->address == 0 && monotonic_ms() - cap->still_since_ms >= RTT_QUIET_RESCAN_MS;
}

void submit_look(rtt_capture *cap)
{
    rtt_job *job = cap->job;
    // A poll that made way goes on where it stood, unless the block was to
    // be looked for again since.
    bool resumes = job->p.resume && job->epoch == cap->epoch;
    job->base = {};
    job->base.work = look_work;
    job->base.finish = look_finish;
    job->capture = cap;
    job->epoch = cap->epoch;
    job->rescan = !resumes && rescan_due(cap);
    job->search = !cap->attached || job->rescan;
    job->gone = false;
    job->p.resume = resumes && !job->search;
    if (job->search) {
        job->s = {};
        job->s.ram = cap->ram;
        job->s.address = cap->address != 0 ? cap->address : cap->follow;
        job->have_prev = cap->have_last && cap->last.ram.base == cap->ram.base && cap->last.ram.len == cap->ram.len;
        if (job->have_prev)
            job->prev = cap->last;
    } else {
        if (!job->p.resume) {
            job->p.block = cap->block;
            job->p.ram = cap->ram;
            job->p.first = cap->first;
            job->p.terminal_first = cap->terminal_first;
        }
        offer_down_bytes(cap, &job->p);
    }
    probe_request_bind(&job->base, cap->usb);
    job->base.kind = job->search ? "rtt-search" : "rtt-poll";
    if (probe_request_submit(&job->base)) {
        cap->in_flight = true;
        return;
    }
    schedule(cap, false);
}

// The hold on the probe pauses capture unless its holder wants capture too.
void follow_hold(rtt_capture *cap)
{
    const _sock_info *holder = probe_hold_holder(cap->usb);
    bool pause = holder != nullptr && find_want(cap, holder) == nullptr;
    if (pause == cap->paused)
        return;
    cap->paused = pause;
    if (pause) {
        LOG_INFO("probe %s: RTT capture paused while another client holds the probe", probe_name(cap->usb));
        return;
    }
    LOG_INFO("probe %s: RTT capture resumed: the hold ended; looking for the block again", probe_name(cap->usb));
    look_again(cap);
}

// A look queued behind a reset would run on the block as it was before it,
// while the firmware starts again and clears and sets up that memory: it
// would take what it finds there mid-way for the channels' bytes.
bool looks_now(const rtt_capture *cap)
{
    return wanted(cap) && !cap->gone && !cap->paused && !cap->in_flight && cap->resets_queued == 0;
}

void free_capture(rtt_capture *cap)
{
    while (!list_empty(&cap->wants)) {
        auto *w = list_entry<rtt_want>(cap->wants.next);
        list_del(&w->link);
        free(w);
    }
    for (rtt_ring &r : cap->rings)
        rtt_ring_free(&r);
    for (down_queue &q : cap->down)
        free(q.data);
    list_del(&cap->link);
    free(cap->job);
    free(cap);
}

const char *state_name(const rtt_capture *cap)
{
    if (cap == nullptr || (!wanted(cap) && !cap->gone))
        return "stopped";
    if (cap->gone)
        return "gone";
    if (cap->paused)
        return "paused";
    return cap->attached ? "attached" : "searching";
}

const char *mode_name(uint32_t flags)
{
    static constexpr const char *names[] = {"skip", "trim", "block", "mode3"};
    return names[flags & 3];
}

// Appends a formatted line to out while it fits.
struct text_out {
    char *out;
    size_t size;
    size_t len;
};

void add_line(text_out *t, const char *format, ...) __attribute__((format(printf, 2, 3)));
void add_line(text_out *t, const char *format, ...)
{
    if (t->len + 1 >= t->size)
        return;
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(t->out + t->len, t->size - t->len, format, ap);
    va_end(ap);
    if (n > 0)
        t->len += static_cast<size_t>(n) < t->size - t->len ? static_cast<size_t>(n) : t->size - t->len - 1;
}

void add_channels(text_out *t, const rtt_capture *cap)
{
    const rtt_block &b = cap->block;
    for (int32_t i = 0; i < b.up_count; i++) {
        const rtt_ring *r = &cap->rings[i];
        add_line(t, "up %d %u %s %llu %llu %s\n", i, b.up[i].size, mode_name(b.up[i].flags),
                 static_cast<unsigned long long>(r->end),
                 static_cast<unsigned long long>(r->data != nullptr ? rtt_ring_start(r) : 0), cap->names.up[i]);
    }
    for (int32_t i = 0; i < b.down_count; i++)
        add_line(t, "down %d %u %s %u %llu %s\n", i, b.down[i].size, mode_name(b.down[i].flags), cap->down[i].len,
                 static_cast<unsigned long long>(cap->down[i].written), cap->names.down[i]);
}

} // namespace

void rtt_capture_set_limits(uint64_t poll_max, uint32_t ring_kib)
{
    poll_max_ms = poll_max;
    ring_bytes = ring_kib * 1024;
}

int rtt_capture_start(tarvex_usb *usb, const _sock_info *c, bool want, rtt_range ram, uint32_t address)
{
    uint64_t end = static_cast<uint64_t>(ram.base) + ram.len;
    bool at_address = address != 0;
    if (ram.len == 0 || end > (1ull << 32) ||
        (at_address && (address % 4 != 0 || address < ram.base || address - ram.base >= ram.len)))
        return tarvex_wire::RESULT_FAIL;
    if (!at_address && ram.len > tarvex_wire::RTT_SCAN_LIMIT) {
        LOG_WARNING(
            "probe %s: RTT scan of %u KiB refused (at most %u KiB): name the block's address or a smaller range",
            probe_name(usb), ram.len / 1024, tarvex_wire::RTT_SCAN_LIMIT / 1024);
        return tarvex_wire::RESULT_FAIL;
    }
    rtt_capture *cap = find_or_make(usb);
    if (cap == nullptr)
        return tarvex_wire::RESULT_FAIL;
    bool was_wanted = wanted(cap);
    bool moved = cap->ram.base != ram.base || cap->ram.len != ram.len || cap->address != address;
    cap->ram = ram;
    cap->address = address;
    if (want && find_want(cap, c) == nullptr) {
        auto *w = static_cast<rtt_want *>(calloc(1, sizeof(rtt_want)));
        if (w == nullptr)
            return tarvex_wire::RESULT_FAIL;
        w->client = c;
        list_add_tail(&w->link, &cap->wants);
    }
    if (!was_wanted && wanted(cap)) {
        cap->polls = 0;
        cap->looks = 0;
        LOG_INFO("probe %s: RTT capture started: %s 0x%08x..0x%08x", probe_name(usb),
                 at_address ? "block at an address in" : "scan of", ram.base, static_cast<uint32_t>(end - 1));
    }
    if (moved || !was_wanted)
        look_again(cap);
    return 0;
}

int rtt_capture_stop(tarvex_usb *usb, const _sock_info *c)
{
    rtt_capture *cap = find(usb);
    rtt_want *w = cap != nullptr ? find_want(cap, c) : nullptr;
    if (w != nullptr)
        drop_want(cap, w);
    return 0;
}

size_t rtt_capture_status(const tarvex_usb *usb, char *out, size_t size)
{
    const rtt_capture *cap = find(usb);
    text_out t{out, size, 0};
    out[0] = '\0';
    add_line(&t, "state %s\n", state_name(cap));
    add_line(&t, "address 0x%x\n", cap != nullptr && cap->attached ? cap->block.address : 0);
    add_line(&t, "blocks %u\n", cap != nullptr && cap->have_last ? cap->last.blocks : 0);
    add_line(&t, "refused %s\n", cap != nullptr ? cap->refused : "-");
    add_line(&t, "polls %llu\n", static_cast<unsigned long long>(cap != nullptr ? cap->polls : 0));
    add_line(&t, "looks %llu\n", static_cast<unsigned long long>(cap != nullptr ? cap->looks : 0));
    if (cap != nullptr && cap->have_block)
        add_channels(&t, cap);
    add_line(&t, "wants %u\n", cap != nullptr ? static_cast<unsigned>(list_count(&cap->wants)) : 0u);
    return t.len;
}

size_t rtt_capture_channels(const tarvex_usb *usb, rtt_channel_view *out, size_t max)
{
    const rtt_capture *cap = find(usb);
    size_t count = 0;
    for (uint32_t i = 0; cap != nullptr && i < RTT_MAX_CHANNELS && count < max; i++) {
        const rtt_ring *r = &cap->rings[i];
        if (r->data != nullptr && r->end > 0)
            out[count++] = {i, r->end, rtt_ring_start(r)};
    }
    return count;
}

void rtt_capture_read(const tarvex_usb *usb, const rtt_read_ask &ask, uint8_t *out, rtt_read_answer *answer)
{
    const rtt_capture *cap = find(usb);
    *answer = {};
    const rtt_ring *r = cap != nullptr && ask.channel < RTT_MAX_CHANNELS ? &cap->rings[ask.channel] : nullptr;
    if (r != nullptr && r->data != nullptr) {
        uint64_t from = ask.from_end ? r->end : ask.position;
        answer->len = rtt_ring_read(r, from, out, ask.max, &answer->start, &answer->lost);
    } else if (!ask.from_end) {
        answer->start = ask.position; // no ring: nothing was ever held
    }
    if (answer->len > 0)
        return;
    const char *state = state_name(cap);
    if (strcmp(state, "gone") == 0)
        answer->result = tarvex_wire::RESULT_RTT_GONE;
    else if (strcmp(state, "stopped") == 0)
        answer->result = tarvex_wire::RESULT_RTT_STOPPED;
    else
        answer->may_wait = true;
}

int rtt_capture_write(tarvex_usb *usb, uint32_t channel, const uint8_t *bytes, uint32_t len, uint32_t *accepted)
{
    rtt_capture *cap = find(usb);
    *accepted = 0;
    if (cap == nullptr || !wanted(cap))
        return tarvex_wire::RESULT_RTT_STOPPED;
    if (cap->gone)
        return tarvex_wire::RESULT_RTT_GONE;
    if (channel >= RTT_MAX_CHANNELS)
        return tarvex_wire::RESULT_FAIL;
    down_queue *q = &cap->down[channel];
    if (q->data == nullptr && (q->data = static_cast<uint8_t *>(malloc(RTT_DOWN_QUEUE))) == nullptr)
        return tarvex_wire::RESULT_FAIL;
    uint32_t room = RTT_DOWN_QUEUE - q->len;
    uint32_t n = len < room ? len : room;
    for (uint32_t i = 0; i < n; i++)
        q->data[(q->head + q->len + i) % RTT_DOWN_QUEUE] = bytes[i];
    q->len += n;
    *accepted = n;
    if (cap->next_ms > monotonic_ms())
        cap->next_ms = 0; // bytes to write: poll at once
    return 0;
}

void rtt_capture_client_gone(const _sock_info *c, const tarvex_usb *usb)
{
    list_for_each(pos, &captures)
    {
        auto *cap = list_entry<rtt_capture>(pos);
        rtt_want *w = usb == nullptr || cap->usb == usb ? find_want(cap, c) : nullptr;
        if (w != nullptr)
            drop_want(cap, w);
    }
}

void rtt_capture_reset_queued(const tarvex_usb *usb)
{
    rtt_capture *cap = find(usb);
    if (cap != nullptr)
        cap->resets_queued++;
}

void rtt_capture_reset_seen(const tarvex_usb *usb)
{
    rtt_capture *cap = find(usb);
    if (cap != nullptr && cap->resets_queued > 0)
        cap->resets_queued--;
    if (cap == nullptr || !wanted(cap))
        return;
    if (cap->attached)
        LOG_INFO("probe %s: RTT block at 0x%08x detached: the target was reset; looking for it again", probe_name(usb),
                 cap->block.address);
    look_again(cap);
    cap->after_reset = true;
    cap->have_sighting = false;
}

void rtt_capture_probe_back(const tarvex_usb *usb)
{
    rtt_capture *cap = find(usb);
    if (cap == nullptr || !cap->gone)
        return;
    cap->gone = false;
    look_again(cap);
    if (wanted(cap))
        LOG_INFO("probe %s: RTT capture: the probe is back; looking for the block again", probe_name(usb));
}

void rtt_capture_forget(const tarvex_usb *usb)
{
    rtt_capture *cap = find(usb);
    if (cap == nullptr)
        return;
    free_capture(cap);
    wake_readers();
}

uint64_t rtt_capture_next_deadline_ms()
{
    uint64_t nearest = UINT64_MAX;
    list_for_each(pos, &captures)
    {
        const auto *cap = list_entry<rtt_capture>(pos);
        if (looks_now(cap) && cap->next_ms < nearest)
            nearest = cap->next_ms;
    }
    return nearest;
}

void rtt_capture_run(uint64_t now, bool refresh_waits)
{
    list_for_each(pos, &captures)
    {
        auto *cap = list_entry<rtt_capture>(pos);
        if (!wanted(cap))
            continue;
        follow_hold(cap);
        if (!refresh_waits && looks_now(cap) && cap->next_ms <= now)
            submit_look(cap);
    }
}

uint64_t rtt_capture_wake_count()
{
    return wake_count;
}
