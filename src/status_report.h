// What the HTTP side shows, made on the loop's thread from the state the
// loop owns (registry, associations, holds, clients, server_stats): the
// metrics in the Prometheus text format, the status page's data as JSON, and
// the health verdict that /healthz and the service manager's watchdog share.
// The exposition is written here, not through a metrics library: each
// scrape is one pass over what the loop owns, and the libraries' registries
// and exposers bring threads and locks of their own that would be a second
// reader of that state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// --busy-limit: how long a probe's worker may be on one operation before
// the server counts as unhealthy.
constexpr uint64_t BUSY_LIMIT_DEFAULT_MS = 10000;
void status_set_busy_limit(uint64_t ms);
uint64_t status_busy_limit_ms();

// True while every probe worker is idle or on an operation younger than the
// bound; otherwise false with the first stuck probe named in `why`.
bool status_healthy(char *why, size_t size);

// The metrics exposition (text format 0.0.4).
void status_metrics(std::string *out);
// The status page's data.
void status_json(std::string *out);
