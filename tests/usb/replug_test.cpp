// Probe indices and probes plugged in while the server runs: an index names
// the same probe (serial) for the server's life, a gone probe's index is
// given to no other, and a probe plugged in (again) is found without a
// refresh, through libusb's hot-plug events or, where the server looks at the
// bus instead, by its periodic look. On both USB transports.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "usb_fixture.h"

namespace
{

using namespace usb_test;

// The parameter: the USB transport; "polling" is umockdev with the server
// looking at the bus instead of taking hot-plug events.
class Replug : public UsbServer
{
protected:
    void start_watching(const std::vector<std::string> &vprobe_args)
    {
        if (polling())
            server_.timing = "usb_poll_ms=50";
        start(vprobe_args);
        if (polling()) {
            ASSERT_TRUE(server_.wait_stderr("the bus is looked at every 50 ms"));
        }
    }
    bool polling() const { return std::string(GetParam()) == "polling"; }
    // Launcher probe 0 of two, open for this client, pulled out (its
    // requests fail), then the control request `before_plug` (answered
    // `reply`), then plugged in again.
    void replug_after(const std::string &before_plug, const std::string &reply)
    {
        start_watching({"--probes", "2"});
        open_swd();
        ASSERT_EQ(server_.control("unplug 0"), "ok");
        EXPECT_EQ(text("tarvex-usb-idcode 256 0\n"), "1 -4 0\n");
        ASSERT_EQ(server_.control(before_plug), reply);
        ASSERT_EQ(server_.control("plug 0"), "ok");
    }
    // The association of replug_after works again, with no open of its own.
    void expect_working_again()
    {
        EXPECT_EQ(await("tarvex-usb-init-mode 256 0 1\n", "1 0\n"), "1 0\n") << server_.stderr_text();
        EXPECT_EQ(text("tarvex-usb-idcode 256 0\n"), "1 0 2ba01477\n");
    }
    // The reply once it is what is wanted, waiting for the server to see the
    // bus change (at most 10 s); the last reply otherwise.
    std::string await(const std::string &request, const std::string &wanted)
    {
        std::string reply;
        tarvex_test::eventually([&] { return (reply = text(request)) == wanted; }, 10000);
        return reply;
    }
    // The reply of "get-tarvex-by-index" for an attached probe.
    static std::string by_index(const std::string &serial)
    {
        return "1 " + hex_key(key_of(serial)) + " 7e57 7a02 " + serial + "\n";
    }
};

TEST_P(Replug, AnIndexStaysWithItsProbeAndAReplugIsFoundWithoutARefresh)
{
    // The launcher's probe 0 (its --probe comes first) is plugged in only later.
    start_watching({"--probe", "absent=1", "--probes", "2"});
    // The first scan gives indices in bus order, which need not be the
    // launcher's: the probe of index 0 is the one pulled out.
    std::vector<std::string> first = registry_serials();
    ASSERT_EQ(first.size(), 2u);
    for (int i = 0; i < 2; i++)
        EXPECT_EQ(text("get-tarvex-by-index " + std::to_string(i) + "\n"), by_index(first[i]));
    EXPECT_EQ(text("get-tarvex-by-index 2\n"), "0\n") << "never given";
    int pulled = first[0] == default_serial(1) ? 1 : 2;
    ASSERT_EQ(server_.control("unplug " + std::to_string(pulled)), "ok");
    EXPECT_EQ(text("usb-refresh\n"), "1 0\n");
    EXPECT_EQ(registry_serials(), (std::vector<std::string>{first[1]})) << "positions shift as before";
    EXPECT_EQ(text("get-tarvex-by-index 0\n"), "0 " + first[0] + "\n") << "gone, and not given to another";
    EXPECT_EQ(text("get-tarvex-by-index 1\n"), by_index(first[1]));
    // A new probe takes the next index, not the gone one's.
    ASSERT_EQ(server_.control("plug 0"), "ok");
    EXPECT_EQ(await("get-tarvex-by-index 2\n", by_index(default_serial(0))), by_index(default_serial(0)));
    EXPECT_EQ(text("get-tarvex-by-index 0\n"), "0 " + first[0] + "\n");
    // The gone one comes back to its index.
    ASSERT_EQ(server_.control("plug " + std::to_string(pulled)), "ok");
    EXPECT_EQ(await("get-tarvex-by-index 0\n", by_index(first[0])), by_index(first[0]));
    EXPECT_TRUE(server_.wait_stderr("probe 0 (" + first[0] + ") plugged in: registered without a refresh"));
    EXPECT_EQ(text("get-nb-tarvex\n"), "1 3\n");
    EXPECT_EQ(text("tarvex-tcp-who-holds 2\n"), "1 - 0 0\n") << "who-holds takes the index";
    EXPECT_EQ(text("get-tarvex-by-index 3\n"), "0\n");
}

// Pulled out and plugged in again with no refresh between: the entry the
// association reaches is bound to the new device, opened again for it, and
// the session goes on once it sets its mode again.
TEST_P(Replug, AProbeHeldOpenIsBoundAgainWhenItComesBack)
{
    start_watching({"--probes", "2"});
    open_swd(); // launcher probe 0
    EXPECT_EQ(text("tarvex-usb-idcode 256 0\n"), "1 0 2ba01477\n");
    std::vector<std::string> before = registry_serials();
    ASSERT_EQ(server_.control("unplug 0"), "ok");
    EXPECT_EQ(text("tarvex-usb-idcode 256 0\n"), "1 -4 0\n") << "gone: the entry stays until a refresh";
    EXPECT_EQ(text("get-nb-tarvex\n"), "1 2\n");
    ASSERT_EQ(server_.control("plug 0"), "ok");
    EXPECT_TRUE(server_.wait_stderr(" (" + default_serial(0) +
                                    ") plugged in again: found without a refresh, its key and associations kept, "
                                    "opened again for its clients"))
        << server_.stderr_text();
    EXPECT_EQ(text("tarvex-usb-init-mode 256 0 1\n"), "1 0\n");
    EXPECT_EQ(text("tarvex-usb-idcode 256 0\n"), "1 0 2ba01477\n");
    EXPECT_EQ(registry_serials(), before) << "the entry kept its place";
}

// Back, but its first open for the clients fails (the probe swallows the
// version query): the server opens it again at a later look, and the
// clients' association works once more without an open of their own.
TEST_P(Replug, AProbeWhoseOpenFailedOnItsReturnIsOpenedAtALaterLook)
{
    replug_after("fault 0 timeout 1", "ok");
    ASSERT_TRUE(server_.wait_stderr("(" + default_serial(0) + ") not opened again for its clients"))
        << server_.stderr_text();
    EXPECT_TRUE(server_.wait_stderr("(" + default_serial(0) + ") opened again for its clients at a later look"))
        << server_.stderr_text();
    expect_working_again();
}

// Back, but slow to answer: while the open for its clients waits on the
// probe (its version query's reply held by the gate), the server answers
// everyone else; it logs how the open went only once the probe answered.
TEST_P(Replug, AProbeSlowToAnswerOnItsReturnHoldsUpNoOtherClient)
{
    replug_after("gate 0 hold", "ok armed");
    ASSERT_TRUE(tarvex_test::eventually([&] { return server_.control("gate 0") == "ok holding"; }))
        << server_.stderr_text();
    EXPECT_EQ(text("get-nb-tarvex\n"), "1 2\n");
    EXPECT_EQ(text("get-tarvex-by-index 1\n"), by_index(registry_serials()[1]));
    std::string log = server_.stderr_text();
    EXPECT_EQ(log.find("opened again for its clients"), std::string::npos) << "answered while the open waited: " << log;
    EXPECT_EQ(server_.control("gate 0"), "ok holding");
    ASSERT_EQ(server_.control("gate 0 open"), "ok open");
    ASSERT_TRUE(server_.wait_stderr("(" + default_serial(0) +
                                    ") plugged in again: found without a refresh, its key and associations kept, "
                                    "opened again for its clients"))
        << server_.stderr_text();
    expect_working_again();
}

// "polling": on umockdev, the server looking at the bus every 50 ms.
INSTANTIATE_TEST_SUITE_P(Transports, Replug, ::testing::Values("umockdev", "fast", "polling"), transport_name);

} // namespace
