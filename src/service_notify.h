// What the service manager is told (sd_notify): READY=1 once the first scan
// has filled the registry, and, when it asks for a watchdog (WATCHDOG_USEC),
// WATCHDOG=1 from the loop at half that interval while the server is
// healthy (status_report.h). A loop or a worker that is stuck stops the
// pings, and the service manager restarts the server. Without NOTIFY_SOCKET
// every call does nothing. Loop thread only.
#pragma once

#include <cstdint>

// After the first scan.
void notify_ready(unsigned probes);
// When the next ping is due, or UINT64_MAX without a watchdog.
uint64_t notify_next_deadline_ms();
// Pings when due: WATCHDOG=1 while healthy; the status says when the server
// turns unhealthy (and which probe) and when it is well again.
void notify_run(uint64_t now);
