// What the server has done since it started, for the metrics and the status
// page (http_side.h): connections and refusals, and per probe its operations,
// their durations, what its transfers did and the operation it is on now.
// Loop thread only: workers' counts arrive with their jobs (probe_request.h).
// A probe's record is kept by serial for the server's life, so its counters
// only grow across unplugging and plugging in again.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tarvex_usb.h"

struct probe_request;
struct tarvex_usb;

// Upper bounds of the duration histogram's buckets, in seconds (+Inf after).
constexpr double STATS_DURATION_BOUNDS[] = {0.0001, 0.0005, 0.001, 0.005, 0.01, 0.05, 0.1, 0.5, 1, 5, 30};
constexpr size_t STATS_DURATION_BUCKETS = sizeof(STATS_DURATION_BOUNDS) / sizeof(STATS_DURATION_BOUNDS[0]);
constexpr size_t STATS_KINDS_MAX = 48;

struct kind_tally {
    const char *kind; // a literal of the command tables
    uint64_t count;
};

struct probe_stats {
    char serial[32];
    uint32_t key;
    kind_tally kinds[STATS_KINDS_MAX]; // in first-seen order; past the table: "other"
    size_t kind_count;
    uint64_t buckets[STATS_DURATION_BUCKETS + 1]; // not cumulative; the last is +Inf
    double duration_sum_s;
    uint64_t duration_count;
    tarvex_usb_counters usb; // usb.last_state: the target's run state when last asked
    uint64_t state_seen_ms;  // when that was (usb.state_reads > 0)
    unsigned outstanding;    // jobs submitted and not yet back
    uint64_t busy_since_ms;  // when the worker began the job it is on (outstanding > 0)
};

// The record of a probe (made on first use). Null only when out of memory.
probe_stats *stats_of(tarvex_usb *usb);
// Every record, in first-seen order: the count, and the record at i.
size_t stats_probe_count();
const probe_stats *stats_probe_at(size_t i);

// probe_request_submit queued a job on usb's worker.
void stats_job_submitted(tarvex_usb *usb);
// A job is back on the loop, before its finish part runs.
void stats_job_done(const probe_request *req);

// Transports: what a connection came over.
enum stats_transport : uint8_t { TRANSPORT_TCP4, TRANSPORT_TCP6, TRANSPORT_UNIX, TRANSPORT_COUNT };
const char *stats_transport_name(stats_transport t);
stats_transport stats_transport_of(int family);
void stats_connection(int family);
uint64_t stats_connections(stats_transport t);

// Why a connection or a request was refused.
enum stats_refusal : uint8_t {
    REFUSED_NETWORK,       // its peer is outside --allow-network
    REFUSED_OWNER,         // its owner is neither a listed user nor in a listed group
    REFUSED_OWNER_UNKNOWN, // its owner could not be found
    REFUSED_HOLD,          // a request that found another client's hold and could not wait longer
    REFUSED_COUNT,
};
const char *stats_refusal_name(stats_refusal r);
// `from`: the peer, or the client, as the log line names it.
void stats_refused(stats_refusal r, const char *from);
uint64_t stats_refusals(stats_refusal r);

struct refusal_record {
    stats_refusal reason;
    char from[64];
    uint64_t at_ms;
};
constexpr size_t STATS_RECENT_REFUSALS = 16;
// The recent refusals, newest first: the count, and the one at i.
size_t stats_recent_refusal_count();
const refusal_record *stats_recent_refusal(size_t i);

// When the server started (monotonic_ms), for its uptime.
uint64_t stats_started_ms();
