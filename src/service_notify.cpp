#include "service_notify.h"

#include <systemd/sd-daemon.h>

#include <cstdio>

#include "status_report.h"
#include "tarvex_log.h"
#include "time_support_common.h"

struct watchdog_state {
    uint64_t interval_ms; // 0: no watchdog
    uint64_t next_ms;
    bool unhealthy; // the last ping was withheld
};

static watchdog_state watchdog = {0, UINT64_MAX, false};

void notify_ready(unsigned probes)
{
    uint64_t usec = 0;
    // unset_environment 0: the variables stay for nobody; this process starts no programs.
    if (sd_watchdog_enabled(0, &usec) > 0 && usec >= 2000) {
        watchdog.interval_ms = usec / 2000;
        watchdog.next_ms = monotonic_ms();
        LOG_INFO("service manager: watchdog every %llu ms while healthy",
                 static_cast<unsigned long long>(watchdog.interval_ms));
    }
    sd_notifyf(0, "READY=1\nSTATUS=serving %u probes", probes);
}

uint64_t notify_next_deadline_ms()
{
    return watchdog.next_ms;
}

void notify_run(uint64_t now)
{
    if (watchdog.interval_ms == 0 || now < watchdog.next_ms)
        return;
    watchdog.next_ms = now + watchdog.interval_ms;
    char why[200];
    bool healthy = status_healthy(why, sizeof(why));
    if (!healthy) {
        if (!watchdog.unhealthy)
            sd_notifyf(0, "STATUS=unhealthy: %s", why);
        watchdog.unhealthy = true;
        return;
    }
    sd_notify(0, watchdog.unhealthy ? "STATUS=healthy again\nWATCHDOG=1" : "WATCHDOG=1");
    watchdog.unhealthy = false;
}
