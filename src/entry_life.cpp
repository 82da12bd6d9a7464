#include "entry_life.h"

#include "libusb1_common.h"
#include "list_tarvex.h"
#include "probe_hold.h"
#include "probe_worker.h"
#include "result_codes.h"
#include "tarvex_connection.h"
#include "tarvex_log.h"
#include "tarvex_usb.h"

namespace
{

constexpr int ENTRY_STATES = ENTRY_GONE + 1;
constexpr int ENTRY_EVENTS = ENTRY_MISSED + 1;

// Row: the state; column: the event. Opens and closes never meet a refresh
// (it runs while no probe work is in flight), so those cells keep the state.
constexpr entry_state next_state[ENTRY_STATES][ENTRY_EVENTS] = {
    //  OPENED         LAST_CLOSED       SOUGHT            SEEN         MISSED
    {ENTRY_OPEN, ENTRY_FOUND, ENTRY_REFRESHING, ENTRY_FOUND, ENTRY_FOUND},           // FOUND
    {ENTRY_OPEN, ENTRY_FOUND, ENTRY_REOPENING, ENTRY_OPEN, ENTRY_OPEN},              // OPEN
    {ENTRY_REFRESHING, ENTRY_REFRESHING, ENTRY_REFRESHING, ENTRY_FOUND, ENTRY_GONE}, // REFRESHING
    {ENTRY_REOPENING, ENTRY_REOPENING, ENTRY_REOPENING, ENTRY_OPEN, ENTRY_GONE},     // REOPENING
    {ENTRY_GONE, ENTRY_GONE, ENTRY_GONE, ENTRY_GONE, ENTRY_GONE},                    // GONE
};

// The device handle is opened in the probe's own libusb context, then the
// probe at protocol level (interface claimed, version read).
void reopen_for_clients(tarvex_usb *entry)
{
    int res = tarvex_libusb_real_open(entry);
    if (res == ERROR_OK)
        res = tarvex_usb_open(entry);
    if (res != ERROR_OK)
        LOG_ERROR("probe %u (%s) not opened again for its clients: %s", entry->index, entry->serial, result_name(res));
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

void entry_found_again(tarvex_usb *entry)
{
    if (entry_step(entry, ENTRY_SEEN) == ENTRY_OPEN)
        reopen_for_clients(entry);
}

void entry_leaving(tarvex_usb *entry)
{
    probe_worker_stop(entry);
    probe_hold_forget(entry);
    invalidate_connections_of(entry);
}

bool entry_work_in_flight()
{
    return probe_worker_in_flight() > 0;
}
