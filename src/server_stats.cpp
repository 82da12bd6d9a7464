#include "server_stats.h"

#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "list_tarvex.h"
#include "probe_request.h"
#include "time_support_common.h"

struct stats_table {
    probe_stats **probes; // owned, each for the server's life
    size_t count;
    size_t size;
    uint64_t connections[TRANSPORT_COUNT];
    uint64_t refusals[REFUSED_COUNT];
    refusal_record recent[STATS_RECENT_REFUSALS]; // a ring; `recent_next` is the oldest once full
    size_t recent_next;
    size_t recent_count;
    uint64_t started_ms;
};

static stats_table table = {nullptr, 0, 0, {}, {}, {}, 0, 0, monotonic_ms()};

static probe_stats *find_by_serial(const char *serial)
{
    for (size_t i = 0; i < table.count; i++)
        if (strcmp(table.probes[i]->serial, serial) == 0)
            return table.probes[i];
    return nullptr;
}

static probe_stats *add_record(const tarvex_usb *usb)
{
    if (table.count == table.size) {
        size_t size = table.size > 0 ? table.size * 2 : 8;
        auto **grown = static_cast<probe_stats **>(realloc(table.probes, size * sizeof(probe_stats *)));
        if (grown == nullptr)
            return nullptr;
        table.probes = grown;
        table.size = size;
    }
    auto *s = static_cast<probe_stats *>(calloc(1, sizeof(probe_stats)));
    if (s == nullptr)
        return nullptr;
    snprintf(s->serial, sizeof(s->serial), "%s", usb->serial);
    s->key = usb->key;
    table.probes[table.count++] = s;
    return s;
}

probe_stats *stats_of(tarvex_usb *usb)
{
    if (usb == nullptr)
        return nullptr;
    if (usb->stats != nullptr)
        return usb->stats;
    const char *serial = usb->serial != nullptr ? usb->serial : "";
    probe_stats *s = find_by_serial(serial);
    if (s == nullptr)
        s = add_record(usb);
    usb->stats = s;
    return s;
}

size_t stats_probe_count()
{
    return table.count;
}

const probe_stats *stats_probe_at(size_t i)
{
    return i < table.count ? table.probes[i] : nullptr;
}

void stats_job_submitted(tarvex_usb *usb)
{
    probe_stats *s = stats_of(usb);
    if (s == nullptr)
        return;
    // The worker runs its jobs in order: one submitted to an idle worker
    // starts now, one behind others when the one before it comes back.
    if (s->outstanding++ == 0)
        s->busy_since_ms = monotonic_ms();
}

static void count_kind(probe_stats *s, const char *kind)
{
    for (size_t i = 0; i < s->kind_count; i++)
        if (s->kinds[i].kind == kind || strcmp(s->kinds[i].kind, kind) == 0) {
            s->kinds[i].count++;
            return;
        }
    if (s->kind_count < STATS_KINDS_MAX - 1 || strcmp(kind, "other") == 0) {
        s->kinds[s->kind_count++] = {kind, 1};
        return;
    }
    count_kind(s, "other");
}

static void observe_duration(probe_stats *s, uint64_t us)
{
    double seconds = static_cast<double>(us) / 1e6;
    size_t b = 0;
    while (b < STATS_DURATION_BUCKETS && seconds > STATS_DURATION_BOUNDS[b])
        b++;
    s->buckets[b]++;
    s->duration_sum_s += seconds;
    s->duration_count++;
}

static void add_counters(tarvex_usb_counters *to, const tarvex_usb_counters &d)
{
    to->transfer_failures += d.transfer_failures;
    to->timeouts += d.timeouts;
    to->wait_retries += d.wait_retries;
    to->bytes_read += d.bytes_read;
    to->bytes_written += d.bytes_written;
    if (d.state_reads > 0)
        to->last_state = d.last_state;
    to->state_reads += d.state_reads;
}

void stats_job_done(const probe_request *req)
{
    probe_stats *s = stats_of(req->usb);
    if (s == nullptr)
        return;
    if (s->outstanding > 0 && --s->outstanding > 0)
        s->busy_since_ms = monotonic_ms();
    count_kind(s, req->kind != nullptr ? req->kind : "other");
    uint64_t now = monotonic_us();
    observe_duration(s, now > req->submitted_us ? now - req->submitted_us : 0);
    add_counters(&s->usb, req->usb_delta);
    if (req->usb_delta.state_reads > 0)
        s->state_seen_ms = monotonic_ms();
}

const char *stats_transport_name(stats_transport t)
{
    static constexpr const char *names[] = {"tcp4", "tcp6", "unix"};
    static_assert(sizeof(names) / sizeof(names[0]) == TRANSPORT_COUNT, "a name for every transport");
    return t < TRANSPORT_COUNT ? names[t] : "?";
}

stats_transport stats_transport_of(int family)
{
    if (family == AF_UNIX)
        return TRANSPORT_UNIX;
    return family == AF_INET6 ? TRANSPORT_TCP6 : TRANSPORT_TCP4;
}

void stats_connection(int family)
{
    table.connections[stats_transport_of(family)]++;
}

uint64_t stats_connections(stats_transport t)
{
    return t < TRANSPORT_COUNT ? table.connections[t] : 0;
}

const char *stats_refusal_name(stats_refusal r)
{
    static constexpr const char *names[] = {"network", "owner", "owner_unknown", "hold"};
    static_assert(sizeof(names) / sizeof(names[0]) == REFUSED_COUNT, "a name for every reason");
    return r < REFUSED_COUNT ? names[r] : "?";
}

void stats_refused(stats_refusal r, const char *from)
{
    if (r >= REFUSED_COUNT)
        return;
    table.refusals[r]++;
    refusal_record *rec = &table.recent[table.recent_next];
    rec->reason = r;
    snprintf(rec->from, sizeof(rec->from), "%s", from != nullptr ? from : "");
    rec->at_ms = monotonic_ms();
    table.recent_next = (table.recent_next + 1) % STATS_RECENT_REFUSALS;
    if (table.recent_count < STATS_RECENT_REFUSALS)
        table.recent_count++;
}

uint64_t stats_refusals(stats_refusal r)
{
    return r < REFUSED_COUNT ? table.refusals[r] : 0;
}

size_t stats_recent_refusal_count()
{
    return table.recent_count;
}

const refusal_record *stats_recent_refusal(size_t i)
{
    if (i >= table.recent_count)
        return nullptr;
    return &table.recent[(table.recent_next + STATS_RECENT_REFUSALS - 1 - i) % STATS_RECENT_REFUSALS];
}

uint64_t stats_started_ms()
{
    return table.started_ms;
}
