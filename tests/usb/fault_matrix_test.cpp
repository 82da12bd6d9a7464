// Every probe operation the text protocol reaches, against every fault the
// virtual probe injects: the client gets the right result, the other clients
// are still served, and the probe works again afterwards; then a probe
// unplugged and re-plugged around refreshes is opened and used again.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "usb_fixture.h"

namespace
{

using namespace usb_test;

struct probe_op {
    const char *request; // association 256 is open, the probe in SWD debug mode
    bool checked;        // the driver examines the probe's status byte
    int wait_result = 0; // after one wait status: retried to success, or reported
};

const probe_op ops[] = {
    {"tarvex-usb-current-mode 256\n", false},
    {"tarvex-usb-idcode 256 0\n", false},
    {"tarvex-tcp-check-voltage 256\n", false},
    {"tarvex-tcp-version 256\n", false},
    {"tarvex-tcp-read-regs 256 0\n", false},
    {"tarvex-tcp-read-debug-reg 256 e000edf0 0\n", true},
    {"tarvex-tcp-write-debug-reg 256 e000edf0 a05f0003 0\n", true},
    {"tarvex-tcp-read-reg 256 f 0\n", true},
    {"tarvex-tcp-write-reg 256 f 1 0\n", true},
    {"tarvex-usb-reset 256\n", true},
    {"tarvex-tcp-assert-srst 256 1\n", true},
    {"tarvex-usb-set-swdclk 256 3\n", true},
    {"tarvex-usb-get-rw-status 256\n", true, -5}, // one attempt: the wait is the answer
    {"tarvex-usb-mode-enter 256 4\n", true},
    {"tarvex-tcp-read-mem 256 20000000 4 4 0\n", true},
};

class FaultMatrix : public UsbServer
{
protected:
    // The result field (second number) of the operation's reply; a memory
    // read's data is consumed too.
    int run(const std::string &request)
    {
        std::string line;
        EXPECT_EQ(client_.send_bytes(request.data(), request.size()), 0);
        EXPECT_EQ(client_.recv_line(&line, 10000), 0) << request;
        std::istringstream fields(line);
        std::string one;
        int result = 1;
        size_t len = 0;
        fields >> one >> result >> len;
        if (request.rfind("tarvex-tcp-read-mem", 0) == 0 && len > 0) {
            std::vector<uint8_t> data(len);
            EXPECT_EQ(client_.recv_exact(data.data(), len), 0);
        }
        // "tarvex-tcp-version" puts its result first; the others a "1" first.
        if (request.rfind("tarvex-tcp-version", 0) == 0 && one != "1")
            return -100;
        return result;
    }
    void expect_others_served()
    {
        std::string reply;
        ASSERT_EQ(other_.text("get-nb-tarvex\n", &reply), 0);
        EXPECT_EQ(reply, "1 1\n");
    }
    void set_up_session()
    {
        start({"--probes", "1"});
        other_ = server_.connect();
        ASSERT_EQ(text("open-device " + hex_key(key_of(default_serial(0))) + "\n"), "1 256\n");
        ASSERT_EQ(text("tarvex-usb-init-mode 256 0 1\n"), "1 0\n");
        // The first word access opens access point 0, whose answer is not
        // examined: done here so that the faults meet the operations.
        ASSERT_EQ(run("tarvex-tcp-read-mem 256 20000000 4 4 0\n"), 0);
    }
    tarvex::connection other_;
};

TEST_P(FaultMatrix, EveryOperationAgainstEveryFault)
{
    set_up_session();
    struct fault_case {
        const char *fault;
        int checked_result;   // result when the driver checks the status byte
        int unchecked_result; // result when it does not
    };
    const fault_case faults[] = {
        {"wait", 0, 0},    // retried, then done
        {"fault", -4, 0},  // a fault status only fails the checked operations
        {"short", -4, -4}, // a reply one byte short
        {"gone", -4, -4},  // the command block never reaches the probe
    };
    for (const fault_case &f : faults) {
        for (const probe_op &op : ops) {
            ASSERT_EQ(server_.control("clear 0"), "ok");
            ASSERT_EQ(server_.control(std::string("fault 0 ") + f.fault + " 1"), "ok");
            int expected = op.checked ? f.checked_result : f.unchecked_result;
            if (std::string(f.fault) == "wait")
                expected = op.wait_result;
            EXPECT_EQ(run(op.request), expected) << f.fault << " " << op.request;
            ASSERT_EQ(server_.control("clear 0"), "ok");
            expect_others_served();
            EXPECT_EQ(run(op.request), 0) << "after " << f.fault << ": " << op.request;
        }
    }
}

TEST_P(FaultMatrix, NoAnswerTimesOut)
{
    set_up_session();
    for (const char *request : {"tarvex-usb-current-mode 256\n", "tarvex-tcp-read-debug-reg 256 e000edf0 0\n",
                                "tarvex-tcp-read-mem 256 20000000 4 4 0\n"}) {
        ASSERT_EQ(server_.control("fault 0 timeout 1"), "ok");
        EXPECT_EQ(run(request), -4) << request;
        expect_others_served();
        EXPECT_EQ(run(request), 0) << "after the time-out: " << request;
    }
}

TEST_P(FaultMatrix, UnplugAroundRefreshThenReopen)
{
    set_up_session();
    ASSERT_EQ(server_.control("unplug 0"), "ok");
    EXPECT_EQ(run("tarvex-usb-idcode 256 0\n"), -4) << "gone before the refresh";
    EXPECT_EQ(text("usb-refresh\n"), "1 0\n");
    EXPECT_EQ(text("get-nb-tarvex\n"), "1 0\n");
    EXPECT_EQ(run("tarvex-usb-idcode 256 0\n"), 0) << "no probe behind the association: result 0";
    ASSERT_EQ(server_.control("plug 0"), "ok");
    EXPECT_EQ(text("usb-refresh\n"), "1 0\n");
    EXPECT_EQ(text("close-device 256\n"), "1\n");
    ASSERT_EQ(text("open-device " + hex_key(key_of(default_serial(0))) + "\n"), "1 257\n");
    EXPECT_EQ(text("tarvex-usb-idcode 257 0\n"), "1 0 2ba01477\n");
    expect_others_served();
}

// The matrix is about the server's reactions, not the transport: fast mode.
INSTANTIATE_TEST_SUITE_P(Fast, FaultMatrix, ::testing::Values("fast"), transport_name);

} // namespace
