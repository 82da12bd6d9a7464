#include "entry_life.h"

#include <new>

#include "list_tarvex.h"
#include "probe_hold.h"
#include "probe_request.h"
#include "probe_worker.h"
#include "rtt_capture.h"
#include "tarvex_api.h"
#include "tarvex_connection.h"
#include "tarvex_log.h"

namespace
{

constexpr int ENTRY_STATES = ENTRY_GONE + 1;
constexpr int ENTRY_EVENTS = ENTRY_MISSED + 1;

// Row: the state; columns: OPENED, LAST_CLOSED, SOUGHT, SEEN, MISSED. Opens
// and closes never meet a refresh (it runs while no probe work is in
// flight), so those cells of the refresh's states keep the state.
constexpr entry_state next_state[ENTRY_STATES][ENTRY_EVENTS] = {
    {ENTRY_OPEN, ENTRY_FOUND, ENTRY_REFRESHING, ENTRY_FOUND, ENTRY_FOUND},           // FOUND
    {ENTRY_OPEN, ENTRY_FOUND, ENTRY_REOPENING, ENTRY_OPEN, ENTRY_OPEN},              // OPEN
    {ENTRY_REFRESHING, ENTRY_REFRESHING, ENTRY_REFRESHING, ENTRY_FOUND, ENTRY_GONE}, // REFRESHING
    {ENTRY_REOPENING, ENTRY_REOPENING, ENTRY_REOPENING, ENTRY_OPEN, ENTRY_GONE},     // REOPENING
    {ENTRY_GONE, ENTRY_GONE, ENTRY_GONE, ENTRY_GONE, ENTRY_GONE},                    // GONE
};

enum reopen_kind : uint8_t { AFTER_REFRESH, AFTER_PLUG_IN, AT_A_LATER_LOOK };

// The open for clients of an entry found again: as for a client's open, the
// device handle in the probe's own libusb context, then the probe (interface
// claimed, version read), on the probe's worker. A probe that does not
// answer then costs the other clients nothing while its transfers time out.
struct reopen_job {
    probe_request base; // must stay first
    reopen_kind kind;
    bool opened; // worker
};

void reopen_work(probe_request *job)
{
    auto *r = reinterpret_cast<reopen_job *>(job);
    r->opened = tarvex_open_probe_part(job->usb);
}

void log_plugged_in(const tarvex_usb *entry, bool opened)
{
    LOG_INFO("probe %u (%s) plugged in again: found without a refresh, its key and associations kept%s", entry->index,
             entry->serial, opened ? ", opened again for its clients" : "");
}

void log_reopen(const tarvex_usb *entry, reopen_kind kind, bool opened)
{
    if (opened && kind == AT_A_LATER_LOOK)
        LOG_INFO("probe %u (%s) opened again for its clients at a later look", entry->index, entry->serial);
    if (!opened)
        LOG_ERROR("probe %u (%s) not opened again for its clients: tried again at the next looks", entry->index,
                  entry->serial);
    if (kind == AFTER_PLUG_IN)
        log_plugged_in(entry, opened);
}

// The handle the job opened is the entry's from here on; the registry is
// the loop's again.
void reopen_finish(probe_request *job)
{
    auto *r = reinterpret_cast<reopen_job *>(job);
    job->usb->reopen = r->opened ? REOPEN_NONE : REOPEN_FAILED;
    log_reopen(job->usb, r->kind, r->opened);
    delete r;
}

bool submit_reopen(tarvex_usb *entry, reopen_kind kind)
{
    auto *r = new (std::nothrow) reopen_job{};
    if (r != nullptr) {
        r->kind = kind;
        r->base.work = reopen_work;
        r->base.finish = reopen_finish;
        r->base.kind = "reopen";
        probe_request_bind(&r->base, entry);
        if (probe_request_submit(&r->base)) {
            entry->reopen = REOPEN_IN_FLIGHT;
            return true;
        }
        delete r;
    }
    entry->reopen = REOPEN_FAILED;
    log_reopen(entry, kind, false);
    return false;
}

} // namespace

entry_state entry_step(tarvex_usb *entry, entry_event event)
{
    entry->state = next_state[entry->state][event];
    return entry->state;
}

bool entry_sought(const tarvex_usb *entry)
{
    return entry->state == ENTRY_REFRESHING || entry->state == ENTRY_REOPENING;
}

bool entry_found_again(tarvex_usb *entry, entry_return how)
{
    entry->reopen = REOPEN_NONE;
    bool submitted = false;
    if (entry_step(entry, ENTRY_SEEN) == ENTRY_OPEN)
        submitted = submit_reopen(entry, how == RETURN_PLUGGED_IN ? AFTER_PLUG_IN : AFTER_REFRESH);
    else if (how == RETURN_PLUGGED_IN)
        log_plugged_in(entry, false);
    // The capture's next look is a job behind the open on the same worker.
    rtt_capture_probe_back(entry);
    return submitted;
}

bool entry_reopening(const tarvex_usb *entry)
{
    return entry->reopen == REOPEN_IN_FLIGHT;
}

bool entry_open_failed(const tarvex_usb *entry)
{
    return entry->state == ENTRY_OPEN && entry->reopen == REOPEN_FAILED;
}

bool entry_open_again(tarvex_usb *entry)
{
    return submit_reopen(entry, AT_A_LATER_LOOK);
}

void entry_leaving(tarvex_usb *entry)
{
    probe_worker_stop(entry);
    probe_hold_forget(entry);
    rtt_capture_forget(entry);
    invalidate_connections_of(entry);
}

bool entry_work_in_flight()
{
    return probe_worker_in_flight() > 0;
}
