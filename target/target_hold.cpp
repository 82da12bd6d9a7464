#include "target_hold.h"

#include "tarvex_client.h"

namespace tarvex_target
{

// Each wait asks the server for at most this long, so the waiter hears
// who holds the probe between them.
constexpr int WAIT_STEP_MS = 1000;

int hold_take(server_link &l, double wait_s, hold_waiter *waiter, std::string *why)
{
    int64_t deadline = tarvex::monotonic_ms() + static_cast<int64_t>(wait_s * 1000);
    tarvex::probe_holder holder;
    for (;;) {
        int64_t left = deadline - tarvex::monotonic_ms();
        int result = 0;
        if (tarvex::hold_probe(l.conn(), l.assoc(), left <= 0 ? 0 : (left < WAIT_STEP_MS ? left : WAIT_STEP_MS),
                               &result) != 0) {
            l.mark_lost();
            return TARGET_LOST;
        }
        if (result == 0)
            return TARGET_OK;
        bool found = false;
        if (result != tarvex::PROBE_HELD || tarvex::probe_holder_of(l.conn(), l.assoc(), &holder, &found) != 0 ||
            !found) {
            *why = "the server refused the hold on the probe (result " + std::to_string(result) + ")";
            return TARGET_FAILED;
        }
        if (left <= 0) {
            *why = "the probe is held by " + holder.name + " for " + std::to_string(holder.seconds) + " s";
            return TARGET_HELD;
        }
        if (waiter != nullptr && holder.held)
            waiter->waiting(holder);
    }
}

void hold_release(server_link &l)
{
    int result = 0;
    if (!l.lost())
        tarvex::release_probe(l.conn(), l.assoc(), &result);
}

} // namespace tarvex_target
