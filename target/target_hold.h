// The probe's hold around one multi-step operation (a flash load): taken at
// its start, given back at its end, so that no other client's request lands
// between the loader's steps. A dropped connection ends it on the server.
#pragma once

#include <string>

#include "target_link.h"
#include "tarvex_text.h"

namespace tarvex_target
{

// Told about once a second while another client holds the probe.
struct hold_waiter {
    virtual ~hold_waiter() = default;
    virtual void waiting(const tarvex::probe_holder &holder) = 0;
};

// Takes the hold, waiting up to wait_s seconds behind another client's.
// TARGET_OK, TARGET_LOST, TARGET_HELD with *why naming the holder when
// the wait passed, or TARGET_FAILED with *why when the server refused.
int hold_take(server_link &l, double wait_s, hold_waiter *waiter, std::string *why);
// Gives it back (nothing when the server is gone: that ended it already).
void hold_release(server_link &l);

} // namespace tarvex_target
