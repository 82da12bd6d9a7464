// The probe's hold around one multi-step operation (a flash load): taken at
// its start, given back at its end, so that no other client's request lands
// between the loader's steps. A dropped connection ends it on the server.
#pragma once

#include <string>

#include "target_link.h"
#include "tarvex_text.h"

namespace tarvex_target
{

// Told now and then while the hold request waits in the probe's queue (the
// first time soon after it was sent, then about once a second), so that a
// front end can say who holds the probe; the request keeps its place
// meanwhile.
struct hold_waiter {
    virtual ~hold_waiter() = default;
    virtual void waiting() = 0;
};

// Takes the hold, waiting up to wait_s seconds behind other clients (one
// request, served in arrival order). TARGET_OK, TARGET_LOST, TARGET_HELD
// with *why naming the holder when the wait passed, or TARGET_FAILED with
// *why when the server refused.
int hold_take(server_link &l, double wait_s, hold_waiter *waiter, std::string *why);
// Gives it back (nothing when the server is gone: that ended it already).
void hold_release(server_link &l);

// The token of the hold this link's client has, for the commands it runs.
int hold_share(server_link &l, std::string *token);
// Joins the hold that token names on the link's probe: its requests then go
// as the holder's. TARGET_FAILED when that hold has ended.
int hold_join(server_link &l, const std::string &token);

} // namespace tarvex_target
