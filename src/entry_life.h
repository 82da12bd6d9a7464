// The life of a probe registry entry: its state, the events that move it, and
// the one place that tells the workers, the holds and the associations when
// the USB layer finds an entry again or lets one go. Loop thread only.
#pragma once

#include <cstdint>

struct tarvex_usb;

enum entry_state : uint8_t {
    ENTRY_FOUND,      // registered; no client has it open, no handle is open
    ENTRY_OPEN,       // open for its associations (a failed re-open leaves it so: the next one tries again)
    ENTRY_REFRESHING, // a refresh is looking for it on the bus; it was FOUND
    ENTRY_REOPENING,  // a refresh is looking for it; it was OPEN and is opened again when found
    ENTRY_GONE,       // the refresh did not find it: it is released
};

enum entry_event : uint8_t {
    ENTRY_OPENED,      // a client's open succeeded
    ENTRY_LAST_CLOSED, // its last association closed, and its handle with it
    ENTRY_SOUGHT,      // a refresh begins (its handle has been closed)
    ENTRY_SEEN,        // found on the bus, by a refresh or a look
    ENTRY_MISSED,      // the refresh ended without finding it
};

// Moves the entry by the event; returns its new state.
entry_state entry_step(tarvex_usb *entry, entry_event event);
// A refresh is looking for the entry and has not found it yet.
bool entry_sought(const tarvex_usb *entry);

// Where the open for its clients of an entry found again stands.
enum entry_reopen : uint8_t {
    REOPEN_NONE,      // none asked, or it went through
    REOPEN_IN_FLIGHT, // its job is on the probe's worker
    REOPEN_FAILED,    // a later look tries again
};

// How the USB layer found an entry again: by a refresh, or plugged in again
// without one (which is logged for the operator).
enum entry_return : uint8_t { RETURN_BY_REFRESH, RETURN_PLUGGED_IN };

// The USB layer found the entry on the bus (its device rebound, no handle
// open): the entry is marked seen and, when clients have it open, opened
// again for them. That open is the first job of the probe's worker (the
// loop never waits on a probe); the outcome is logged when it is back, and
// a failure leaves entry_open_failed true for a later look to try again.
// True when an open was submitted. REQUIRES: no probe work in flight.
bool entry_found_again(tarvex_usb *entry, entry_return how);
// An entry found again whose open for its clients is still on its way.
bool entry_reopening(const tarvex_usb *entry);
// An entry found again whose open for its clients failed.
bool entry_open_failed(const tarvex_usb *entry);
// That open tried again, as a job; false when none could be submitted.
// REQUIRES: no probe work in flight.
bool entry_open_again(tarvex_usb *entry);
// The USB layer is about to release the entry: its worker stops, its hold
// ends and its associations stop reaching it. REQUIRES: no probe work in flight.
void entry_leaving(tarvex_usb *entry);
// Probe work is in flight, so no entry's handle or device may change.
bool entry_work_in_flight();
