#include "entry_life.h"

#include "list_tarvex.h"
#include "probe_hold.h"
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

// As for a client's open: the device handle in the probe's own libusb
// context, then the probe (interface claimed, version read); the handle is
// closed when that fails, and the USB layer tries again at a later look.
bool reopen_for_clients(tarvex_usb *entry)
{
    if (tarvex_open_probe_part(entry))
        return true;
    LOG_ERROR("probe %u (%s) not opened again for its clients: tried again at the next looks", entry->index,
              entry->serial);
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

bool entry_found_again(tarvex_usb *entry)
{
    bool opened = entry_step(entry, ENTRY_SEEN) != ENTRY_OPEN || reopen_for_clients(entry);
    rtt_capture_probe_back(entry);
    return opened;
}

bool entry_open_failed(const tarvex_usb *entry)
{
    return entry->state == ENTRY_OPEN && entry->dev->fd == nullptr;
}

bool entry_open_again(tarvex_usb *entry)
{
    if (!tarvex_open_probe_part(entry))
        return false;
    LOG_INFO("probe %u (%s) opened again for its clients at a later look", entry->index, entry->serial);
    return true;
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
