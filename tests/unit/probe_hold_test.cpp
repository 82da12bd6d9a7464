// The hold records on their own, as the loop drives them: who goes, who
// waits, in which order waiters come back, and that a waiter presented again
// behind a new holder keeps its place and its first deadline.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "list_tarvex.h"
#include "probe_hold.h"
#include "sock_info.h"

namespace
{

class ProbeHold : public ::testing::Test
{
protected:
    ProbeHold()
    {
        probe_hold_set_limits(30000, 0);
        usb.serial = serial;
        for (_sock_info &c : clients)
            c.sock = static_cast<int>(&c - clients);
    }
    ~ProbeHold() override
    {
        for (_sock_info &c : clients)
            probe_hold_client_gone(&c);
        while (probe_hold_next_ready() != nullptr) {
        }
    }
    // The clients the loop presents again, in order; each parks again
    // (HOLD_QUEUED) or goes, as the loop would find out by dispatching it.
    std::vector<_sock_info *> drain(std::vector<hold_admission> *outcomes = nullptr)
    {
        std::vector<_sock_info *> order;
        for (_sock_info *c = probe_hold_next_ready(); c != nullptr; c = probe_hold_next_ready()) {
            order.push_back(c);
            hold_admission a = probe_hold_admit(&usb, c, probe_hold_wait_ms());
            if (outcomes != nullptr)
                outcomes->push_back(a);
        }
        return order;
    }
    char serial[8] = "SERIAL";
    tarvex_usb usb = {};
    _sock_info clients[4] = {};
    _sock_info *a = &clients[0], *b = &clients[1], *c = &clients[2], *d = &clients[3];
};

TEST_F(ProbeHold, TheHolderGoesOthersWaitInArrivalOrder)
{
    EXPECT_EQ(probe_hold_admit(&usb, a, 1000), HOLD_GO);
    probe_hold_take(&usb, a);
    EXPECT_EQ(probe_hold_admit(&usb, a, 1000), HOLD_GO) << "the holder never waits";
    EXPECT_EQ(probe_hold_admit(&usb, b, 1000), HOLD_QUEUED);
    EXPECT_EQ(probe_hold_admit(&usb, c, 1000), HOLD_QUEUED);
    EXPECT_EQ(probe_hold_admit(&usb, d, 0), HOLD_REFUSED) << "a limit of 0 does not wait";
    probe_hold_info info;
    probe_hold_query(&usb, &info);
    EXPECT_STREQ(info.holder, "socket-0");
    EXPECT_EQ(info.waiters, 2u);
    EXPECT_EQ(probe_hold_release(&usb, b), -1) << "only the holder releases";
    EXPECT_EQ(probe_hold_release(&usb, a), 0);
    std::vector<hold_admission> outcomes;
    EXPECT_EQ(drain(&outcomes), (std::vector<_sock_info *>{b, c}));
    EXPECT_EQ(outcomes, (std::vector<hold_admission>{HOLD_GO, HOLD_GO}));
    probe_hold_query(&usb, &info);
    EXPECT_STREQ(info.holder, "");
}

TEST_F(ProbeHold, AWaiterBehindTheNextHolderKeepsItsPlaceAndDeadline)
{
    probe_hold_take(&usb, a);
    ASSERT_EQ(probe_hold_admit(&usb, b, 60000), HOLD_QUEUED); // will take the next hold
    ASSERT_EQ(probe_hold_admit(&usb, c, 1000), HOLD_QUEUED);
    ASSERT_EQ(probe_hold_admit(&usb, d, 2000), HOLD_QUEUED);
    uint64_t nearest = probe_hold_next_deadline_ms();
    probe_hold_client_gone(a);
    _sock_info *first = probe_hold_next_ready();
    ASSERT_EQ(first, b);
    ASSERT_EQ(probe_hold_admit(&usb, b, 60000), HOLD_GO);
    probe_hold_take(&usb, b);
    std::vector<hold_admission> outcomes;
    EXPECT_EQ(drain(&outcomes), (std::vector<_sock_info *>{c, d}));
    EXPECT_EQ(outcomes, (std::vector<hold_admission>{HOLD_QUEUED, HOLD_QUEUED}));
    EXPECT_EQ(probe_hold_next_deadline_ms(), nearest) << "c's first deadline, not a new one";
    EXPECT_EQ(probe_hold_next_expired(nearest), c) << "c is still first";
    EXPECT_EQ(probe_hold_next_expired(nearest), nullptr) << "d's limit is later";
    probe_hold_client_gone(d);
    probe_hold_info info;
    probe_hold_query(&usb, &info);
    EXPECT_STREQ(info.holder, "socket-1");
    EXPECT_EQ(info.waiters, 0u) << "a waiter that goes is dropped";
}

// The loop may take every ready waiter before presenting any, and present
// them in another order: each keeps its own first deadline.
TEST_F(ProbeHold, ReadyWaitersKeepTheirPlacesWhateverOrderTheyArePresentedIn)
{
    probe_hold_take(&usb, a);
    ASSERT_EQ(probe_hold_admit(&usb, b, 1000), HOLD_QUEUED);
    ASSERT_EQ(probe_hold_admit(&usb, c, 60000), HOLD_QUEUED);
    uint64_t b_deadline = probe_hold_next_deadline_ms();
    probe_hold_client_gone(a);
    ASSERT_EQ(probe_hold_next_ready(), b);
    ASSERT_EQ(probe_hold_next_ready(), c);
    ASSERT_EQ(probe_hold_next_ready(), nullptr);
    probe_hold_take(&usb, d);
    EXPECT_EQ(probe_hold_admit(&usb, c, 60000), HOLD_QUEUED);
    EXPECT_EQ(probe_hold_admit(&usb, b, 60000), HOLD_QUEUED);
    probe_hold_presented(c);
    probe_hold_presented(b);
    EXPECT_EQ(probe_hold_next_deadline_ms(), b_deadline) << "b's first deadline, not one from its second wait";
    EXPECT_EQ(probe_hold_next_expired(b_deadline), b);
}

// A waiter presented again whose request no longer reaches a held probe
// (its association went) gives its place up: its next wait is a new one.
TEST_F(ProbeHold, APresentedWaiterThatReachedNoProbeStartsAFreshWaitNextTime)
{
    probe_hold_take(&usb, a);
    ASSERT_EQ(probe_hold_admit(&usb, b, 1000), HOLD_QUEUED);
    uint64_t first_deadline = probe_hold_next_deadline_ms();
    probe_hold_client_gone(a);
    ASSERT_EQ(probe_hold_next_ready(), b);
    probe_hold_presented(b);
    probe_hold_take(&usb, c);
    ASSERT_EQ(probe_hold_admit(&usb, b, 60000), HOLD_QUEUED);
    EXPECT_GT(probe_hold_next_deadline_ms(), first_deadline);
    EXPECT_EQ(probe_hold_next_expired(first_deadline), nullptr) << "the old deadline no longer applies";
}

TEST_F(ProbeHold, HoldsEndWithTheProbeAndAtTheLimit)
{
    probe_hold_take(&usb, a);
    ASSERT_EQ(probe_hold_admit(&usb, b, 1000), HOLD_QUEUED);
    probe_hold_forget(&usb);
    EXPECT_EQ(drain(), (std::vector<_sock_info *>{b}));

    probe_hold_set_limits(30000, 500);
    probe_hold_take(&usb, a);
    uint64_t ends = probe_hold_next_deadline_ms();
    probe_hold_end_expired(ends - 1);
    probe_hold_info info;
    probe_hold_query(&usb, &info);
    EXPECT_STREQ(info.holder, "socket-0");
    probe_hold_end_expired(ends);
    probe_hold_query(&usb, &info);
    EXPECT_STREQ(info.holder, "");
}

// A hold shared by its token: who may ask for it, who may join with it,
// what the members may do, and that the token and the members' rights end
// with the hold.
TEST_F(ProbeHold, ATokenLetsMembersThroughOnlyWhileTheHoldLasts)
{
    char token[PROBE_HOLD_TOKEN_CHARS + 1] = {};
    EXPECT_EQ(probe_hold_share(&usb, a, token), -1) << "no hold yet";
    probe_hold_take(&usb, a);
    EXPECT_EQ(probe_hold_share(&usb, b, token), -1) << "only the holder's side has it";
    ASSERT_EQ(probe_hold_share(&usb, a, token), 0);
    EXPECT_EQ(strlen(token), PROBE_HOLD_TOKEN_CHARS);
    char again[PROBE_HOLD_TOKEN_CHARS + 1] = {};
    ASSERT_EQ(probe_hold_share(&usb, a, again), 0);
    EXPECT_STREQ(again, token) << "one token per hold";

    std::string forged = token;
    forged[PROBE_HOLD_TOKEN_CHARS - 1] = forged.back() == '0' ? '1' : '0';
    const std::string wrong[] = {forged, "", "0", std::string(token) + "0"};
    for (const std::string &w : wrong)
        EXPECT_EQ(probe_hold_join(&usb, b, w.c_str()), -1) << w;
    EXPECT_EQ(probe_hold_admit(&usb, b, 0), HOLD_REFUSED) << "a refused join gives nothing";
    ASSERT_EQ(probe_hold_join(&usb, b, token), 0);
    EXPECT_EQ(probe_hold_admit(&usb, b, 0), HOLD_GO);
    EXPECT_EQ(probe_hold_share(&usb, b, again), 0) << "a member hands the token on";
    EXPECT_EQ(probe_hold_admit(&usb, c, 1000), HOLD_QUEUED) << "everyone else still waits";
    EXPECT_EQ(probe_hold_release(&usb, b), 0);
    probe_hold_info info;
    probe_hold_query(&usb, &info);
    EXPECT_STREQ(info.holder, "socket-0") << "a member's release leaves the hold to its holder";

    probe_hold_client_gone(a);
    EXPECT_EQ(drain(), (std::vector<_sock_info *>{c})) << "the waiter goes";
    EXPECT_EQ(probe_hold_admit(&usb, b, 1000), HOLD_REFUSED) << "the member of an ended hold";
    EXPECT_EQ(probe_hold_join(&usb, d, token), -1) << "a stale token";
    probe_hold_take(&usb, c);
    char fresh[PROBE_HOLD_TOKEN_CHARS + 1] = {};
    ASSERT_EQ(probe_hold_share(&usb, c, fresh), 0);
    EXPECT_STRNE(fresh, token) << "a new hold, a new token";
    EXPECT_EQ(probe_hold_join(&usb, b, fresh), 0) << "an orphan may join a new hold";
    EXPECT_EQ(probe_hold_admit(&usb, b, 0), HOLD_GO);
}

} // namespace
