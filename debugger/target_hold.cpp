#include "target_hold.h"

#include "link_access.h"
#include "tarvex_client.h"

namespace tarvex_target
{

// The waiter hears of the wait first after this, then once a period: soon
// enough that a queued job says so at once, rarely enough to cost nothing.
constexpr int WAIT_FIRST_MS = 200;
constexpr int WAIT_PERIOD_MS = 1000;

static std::string refusal(server_link &l, int result)
{
    tarvex::probe_holder holder;
    bool found = false;
    if (result != tarvex_wire::RESULT_PROBE_HELD)
        return "the server refused the hold on the probe (result " + std::to_string(result) + ")";
    if (tarvex::probe_holder_of(link_access::conn(l), l.assoc(), &holder, &found) != 0 || !found || !holder.held)
        return "the probe was held by another client for longer than the wait";
    return "the probe is held by " + holder.name + " for " + std::to_string(holder.seconds) + " s";
}

int hold_take(server_link &l, double wait_s, hold_waiter *waiter, std::string *why)
{
    int wait_ms = static_cast<int>(wait_s * 1000);
    int64_t deadline = tarvex::monotonic_ms() + tarvex::hold_reply_timeout_ms(wait_ms);
    if (tarvex::hold_probe_send(link_access::conn(l), l.assoc(), wait_ms) != 0) {
        l.mark_lost();
        return TARGET_LOST;
    }
    int step = WAIT_FIRST_MS;
    while (!link_access::conn(l).readable(step)) {
        if (tarvex::monotonic_ms() >= deadline) {
            l.mark_lost();
            return TARGET_LOST;
        }
        if (waiter != nullptr)
            waiter->waiting();
        step = WAIT_PERIOD_MS;
    }
    int result = 0;
    if (tarvex::hold_probe_reply(link_access::conn(l), WAIT_PERIOD_MS, &result) != 0) {
        l.mark_lost();
        return TARGET_LOST;
    }
    if (result == 0)
        return TARGET_OK;
    *why = refusal(l, result);
    return result == tarvex_wire::RESULT_PROBE_HELD ? TARGET_HELD : TARGET_FAILED;
}

void hold_release(server_link &l)
{
    int result = 0;
    if (!l.lost())
        tarvex::release_probe(link_access::conn(l), l.assoc(), &result);
}

int hold_share(server_link &l, std::string *token)
{
    int result = 0;
    if (tarvex::share_hold(link_access::conn(l), l.assoc(), &result, token) != 0) {
        l.mark_lost();
        return TARGET_LOST;
    }
    return result == 0 ? TARGET_OK : TARGET_FAILED;
}

int hold_join(server_link &l, const std::string &token)
{
    int result = 0;
    if (tarvex::join_hold(link_access::conn(l), l.assoc(), token, &result) != 0) {
        l.mark_lost();
        return TARGET_LOST;
    }
    return result == 0 ? TARGET_OK : TARGET_FAILED;
}

} // namespace tarvex_target
