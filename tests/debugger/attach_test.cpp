// The target layer's attach steps and probe requests against the real
// server and a virtual probe: what each step answers, that detaching leaves
// the server no association, and that a server gone is told apart from a
// probe missing.
#include <gtest/gtest.h>

#include <signal.h>

#include <string>

#include "server_process.h"
#include "target_attach.h"
#include "target_probe.h"

namespace
{

using namespace tarvex_target;

constexpr const char *CLIENT = "attach-test";

class attach_test : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(server_.start({}, {"--fast", "--probes", "1"}, true), 0);
        ASSERT_EQ(server_.wait_listening(), 0) << server_.stderr_text();
        conn_ = server_.connect();
        ASSERT_TRUE(conn_.is_open());
    }

    // The associations on the probe, as another client sees them.
    int associations(const tarvex::probe_entry &probe, const std::string &name = "")
    {
        tarvex::connection other = server_.connect();
        int count = -1;
        EXPECT_EQ(tarvex::usb_client_count(other, probe.key, &count, name), 0);
        return count;
    }

    // Registered, found and opened: the state both front ends reach first.
    void open(tarvex::probe_entry *probe)
    {
        ASSERT_EQ(attach_register(link_, CLIENT), TARGET_OK);
        ASSERT_EQ(attach_find(link_, "0", probe), TARGET_OK);
        ASSERT_EQ(attach_open(link_, *probe), TARGET_OK);
        ASSERT_NE(link_.assoc(), 0u);
    }

    tarvex_test::server_process server_;
    tarvex::connection conn_;
    server_link link_{&conn_, 0};
};

TEST_F(attach_test, the_steps_open_an_association_that_detach_gives_back)
{
    tarvex::probe_entry probe;
    open(&probe);
    EXPECT_EQ(associations(probe), 1);
    int named = -1;
    ASSERT_EQ(attach_count(link_, probe, CLIENT, &named), TARGET_OK);
    EXPECT_EQ(named, 1);
    ASSERT_EQ(attach_debug_mode(link_), TARGET_OK);
    uint32_t idcode = 0;
    ASSERT_EQ(probe_idcode(link_, &idcode), TARGET_OK);
    EXPECT_NE(idcode, 0u);

    detach(link_);
    EXPECT_EQ(link_.assoc(), 0u);
    EXPECT_EQ(associations(probe), 0);
    EXPECT_FALSE(link_.lost());
}

// Entering debug mode on a probe that is in it already changes nothing: a
// second client attaching beside the first leaves the first one working.
TEST_F(attach_test, a_second_attach_leaves_the_first_in_debug_mode)
{
    tarvex::probe_entry probe;
    open(&probe);
    ASSERT_EQ(attach_debug_mode(link_), TARGET_OK);
    tarvex::connection other = server_.connect();
    server_link second(&other, 0);
    ASSERT_EQ(attach_open(second, probe), TARGET_OK);
    ASSERT_EQ(attach_debug_mode(second), TARGET_OK);
    EXPECT_EQ(associations(probe), 2);
    uint32_t idcode = 0;
    EXPECT_EQ(probe_idcode(link_, &idcode), TARGET_OK);
    EXPECT_NE(idcode, 0u);
    detach(second);
    EXPECT_EQ(associations(probe), 1);
}

TEST_F(attach_test, a_selector_that_names_nothing_is_no_probe)
{
    for (const char *selector : {"7", "NO-SUCH-SERIAL", ""}) {
        tarvex::probe_entry probe;
        EXPECT_EQ(attach_find(link_, selector, &probe), TARGET_NO_PROBE) << selector;
    }
    EXPECT_FALSE(link_.lost());
}

TEST_F(attach_test, the_probe_requests_answer_through_the_link)
{
    tarvex::probe_entry probe;
    open(&probe);
    ASSERT_EQ(attach_debug_mode(link_), TARGET_OK);
    tarvex::probe_firmware fw;
    ASSERT_EQ(probe_firmware(link_, &fw), TARGET_OK);
    EXPECT_FALSE(fw.generation.empty());
    double volts = 0;
    ASSERT_EQ(probe_voltage(link_, &volts), TARGET_OK);
    EXPECT_GT(volts, 0.5);
    uint32_t khz = 0;
    ASSERT_EQ(probe_clock(link_, 1800, &khz), TARGET_OK);
    EXPECT_EQ(khz, 1800u);
    ASSERT_EQ(trace_start(link_, 2000000), TARGET_OK);
    std::vector<uint8_t> data;
    int result = -1;
    EXPECT_EQ(trace_take(link_, tarvex_wire::TRACE_READ_LIMIT, &data, &result), TARGET_OK);
    EXPECT_GE(result, 0);
    trace_stop(link_);
    EXPECT_FALSE(link_.lost());
}

// A server that has gone answers nothing: every step says so, and
// detaching neither waits for a reply nor keeps the association number.
TEST_F(attach_test, a_server_gone_is_lost_not_a_missing_probe)
{
    tarvex::probe_entry probe;
    open(&probe);
    server_.send_signal(SIGKILL);
    ASSERT_NE(server_.wait_exit(), -1);
    EXPECT_EQ(attach_debug_mode(link_), TARGET_LOST);
    EXPECT_TRUE(link_.lost());
    EXPECT_EQ(attach_find(link_, "0", &probe), TARGET_LOST);
    int64_t start = tarvex::monotonic_ms();
    detach(link_);
    EXPECT_EQ(link_.assoc(), 0u);
    EXPECT_LT(tarvex::monotonic_ms() - start, 1000);
}

} // namespace
