// The real server process and the real libusb against virtual probes: the
// probe registry, probe open, versions, voltage, the pass-through and refresh.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "tarvex_text.h"
#include "usb_fixture.h"

namespace
{

using namespace usb_test;

TEST_P(UsbServer, FirstScanRegistersEveryProbeWithItsRecord)
{
    for (int count : {0, 1, 3}) {
        server_process server;
        ASSERT_EQ(server.start({}, probe_args({"--probes", std::to_string(count)}), true), 0);
        tarvex::connection c = server.connect();
        std::vector<uint8_t> reply;
        ASSERT_EQ(c.binary({0x01}, 4, &reply), 0);
        EXPECT_EQ(get_u32(reply, 0), static_cast<uint32_t>(count));
        std::vector<std::string> seen;
        for (int i = 0; i < count; i++) {
            ASSERT_EQ(c.binary(tarvex::request_get_dev_info(static_cast<int8_t>(i), 41), 45, &reply), 0);
            EXPECT_EQ(get_u32(reply, 0), 1u);
            std::string serial(reinterpret_cast<const char *>(reply.data() + 8));
            EXPECT_EQ(get_u32(reply, 4), key_of(serial));
            EXPECT_EQ(reply[8 + 24], 0) << "24-character serial ends at record offset 28";
            EXPECT_EQ(std::vector<uint8_t>(reply.begin() + 40, reply.end()),
                      (std::vector<uint8_t>{0x57, 0x7E, 0x02, 0x7A, 0x00}));
            seen.push_back(serial);
        }
        for (int i = 0; i < count; i++)
            EXPECT_NE(std::find(seen.begin(), seen.end(), default_serial(i)), seen.end()) << default_serial(i);
        ASSERT_EQ(c.binary(tarvex::request_get_dev_info(static_cast<int8_t>(count), 41), 45, &reply), 0);
        EXPECT_EQ(get_u32(reply, 0), 0x1003u) << "past the last position";
    }
}

TEST_P(UsbServer, SerialTextOfEveryDescriptorForm)
{
    // 26 bytes: hex digits of the low bytes; 50 bytes: the characters; any
    // other length: the hex form of the payload; an empty one: skipped.
    start({"--probe", "serial=0123456789ABCDEF01234567,form=hex", "--probe",
           "serial=TARVEX-TEXT-SERIAL-00042,form=text", "--probe", "serial=SHORT,form=raw", "--probe",
           "serial=,form=raw"});
    std::vector<std::string> serials = registry_serials();
    std::sort(serials.begin(), serials.end());
    EXPECT_EQ(serials, (std::vector<std::string>{"0123456789ABCDEF01234567", "530048004F0052005400",
                                                 "TARVEX-TEXT-SERIAL-00042"}));
    EXPECT_NE(server_.stderr_text().find("serial number of device 7e57:7a02 unreadable (2), device skipped"),
              std::string::npos);
}

TEST_P(UsbServer, VersionsOfBothGenerationsAndTheTargetVoltage)
{
    start({"--probe", "serial=AAAAAAAAAAAAAAAAAAAAAA02", "--probe", "serial=AAAAAAAAAAAAAAAAAAAAAA03,gen=3"});
    struct version_case {
        std::string serial;
        std::string reply;
    };
    const version_case cases[] = {
        {"AAAAAAAAAAAAAAAAAAAAAA02", "1 0 2 2 40 7 7e57 7a02\n"},
        {"AAAAAAAAAAAAAAAAAAAAAA03", "1 0 3 3 40 7 7e57 7a31\n"},
    };
    for (const version_case &c : cases) {
        std::ostringstream key;
        key << std::hex << key_of(c.serial);
        std::string opened = text("open-device " + key.str() + "\n");
        ASSERT_EQ(opened.substr(0, 2), "1 ") << opened;
        std::string assoc = opened.substr(2, opened.size() - 3);
        EXPECT_EQ(text("tarvex-tcp-version " + assoc + "\n"), c.reply);
        EXPECT_EQ(text("close-device " + assoc + "\n"), "1\n");
    }
    std::ostringstream key;
    key << std::hex << key_of(cases[0].serial);
    std::string opened = text("open-device " + key.str() + "\n");
    std::string assoc = opened.substr(2, opened.size() - 3);
    // References 1500 and 1650: 2 x 1650 x 1.2 / 1500 volts.
    EXPECT_EQ(text("tarvex-tcp-check-voltage " + assoc + "\n"), "1 0 2.640000\n");
}

TEST_P(UsbServer, PassThroughStampsTheSocketKeyAndReturnsTheProbeReply)
{
    start({"--probes", "1"});
    uint32_t cookie = open_binary(key_of(default_serial(0)));
    EXPECT_GE(cookie, 256u);
    uint8_t cmd[16] = {0xF1};
    memset(cmd + 12, 0xAB, 4); // whatever the client puts in the key field is replaced
    std::vector<uint8_t> reply = binary(tarvex::request_send_usb_cmd(cookie, cmd, 1, 6), 10);
    EXPECT_EQ(get_u32(reply, 0), 1u);
    // Generation-2 version word: tarvex 2, jtag 40, vemo 7; then VID and PID.
    EXPECT_EQ(std::vector<uint8_t>(reply.begin() + 4, reply.end()),
              (std::vector<uint8_t>{0x2A, 0x07, 0x57, 0x7E, 0x02, 0x7A}));
    std::string last = server_.control("last 0");
    ASSERT_EQ(last.substr(0, 3), "ok ");
    // The first client of this server has socket key 2 (the listening socket has 1).
    EXPECT_EQ(last.substr(3 + 24, 8), "02000000") << last;
    EXPECT_EQ(last.substr(3, 2), "f1");
    // A write answers 4 bytes; direction 3 reads the trace endpoint without a block.
    std::string count_before = server_.control("count 0");
    reply = binary(tarvex::request_send_usb_cmd(cookie, cmd, 0, 0), 4);
    EXPECT_EQ(get_u32(reply, 0), 1u);
    EXPECT_NE(server_.control("count 0"), count_before);
}

TEST_P(UsbServer, TwoClientsShareOneProbeUntilTheLastCloses)
{
    start({"--probes", "1"});
    uint32_t probe = key_of(default_serial(0));
    tarvex::connection second = server_.connect();
    uint32_t a = open_binary(probe);
    std::vector<uint8_t> reply;
    ASSERT_EQ(second.binary(tarvex::request_open_dev(probe, true), 8, &reply), 0);
    uint32_t b = get_u32(reply, 4);
    EXPECT_NE(a, b);
    uint32_t c = open_binary(probe);
    EXPECT_EQ(get_u32(binary(tarvex::request_nb_of_dev_clients(probe), 4), 0), 3u);
    EXPECT_EQ(text("get-nb-usb-client " + std::to_string(probe) + "\n"), "1 3\n");
    EXPECT_EQ(get_u32(binary(tarvex::request_close_dev(a), 4), 0), 1u);
    EXPECT_EQ(get_u32(binary(tarvex::request_close_dev(c), 4), 0), 1u);
    // The other client's probe is still open: its pass-through works.
    uint8_t cmd[16] = {0xF7};
    ASSERT_EQ(second.binary(tarvex::request_send_usb_cmd(b, cmd, 1, 8), 12, &reply), 0);
    EXPECT_EQ(get_u32(reply, 0), 1u);
    EXPECT_EQ(get_u32(reply, 4), 1500u);
    EXPECT_EQ(get_u32(reply, 8), 1650u);
    second.close();
    // The server sees the disconnect in one of its next cycles.
    uint32_t clients = 1;
    for (int i = 0; i < 500 && clients != 0; i++) {
        clients = get_u32(binary(tarvex::request_nb_of_dev_clients(probe), 4), 0);
        usleep(10000);
    }
    EXPECT_EQ(clients, 0u) << "disconnect released the association";
}

TEST_P(UsbServer, RefreshRemovesAGoneProbeAndKeepsAReplugged)
{
    start({"--probes", "3"});
    std::vector<std::string> before = registry_serials();
    ASSERT_EQ(before.size(), 3u);
    pid_t pid = static_cast<pid_t>(atol(server_.control("pid").substr(3).c_str()));
    long fds_before_open = tarvex_test::open_descriptors(pid);
    uint32_t held = key_of(default_serial(1));
    uint32_t cookie = open_binary(held);
    ASSERT_EQ(server_.control("unplug 1"), "ok");
    uint8_t cmd[16] = {0xF1};
    std::vector<uint8_t> reply = binary(tarvex::request_send_usb_cmd(cookie, cmd, 1, 6), 10);
    EXPECT_EQ(get_u32(reply, 0), 4u) << "gone before the refresh";
    EXPECT_EQ(get_u32(binary({0x00}, 4), 0), 1u);
    std::vector<std::string> after = registry_serials();
    EXPECT_EQ(after.size(), 2u);
    EXPECT_EQ(std::find(after.begin(), after.end(), default_serial(1)), after.end());
    // The association stays but no longer reaches a probe: it is not
    // counted for the key, and closing it closes no probe.
    EXPECT_EQ(get_u32(binary(tarvex::request_nb_of_dev_clients(held), 4), 0), 0u);
    reply = binary(tarvex::request_send_usb_cmd(cookie, cmd, 1, 6), 10);
    EXPECT_EQ(get_u32(reply, 0), 4u);
    EXPECT_EQ(get_u32(binary(tarvex::request_close_dev(cookie), 4), 0), 1u);
    EXPECT_EQ(tarvex_test::open_descriptors(pid), fds_before_open)
        << "the gone probe's handle and its own libusb context are released";
    // Plugged in again: the same key comes back.
    ASSERT_EQ(server_.control("plug 1"), "ok");
    EXPECT_EQ(text("usb-refresh\n"), "1 0\n");
    EXPECT_EQ(registry_serials().size(), 3u);
    cookie = open_binary(held);
    reply = binary(tarvex::request_send_usb_cmd(cookie, cmd, 1, 6), 10);
    EXPECT_EQ(get_u32(reply, 0), 1u);
}

TEST_P(UsbServer, OpenProbeIsReopenedByARefresh)
{
    start({"--probes", "2"});
    uint32_t cookie = open_binary(key_of(default_serial(0)));
    std::vector<std::string> before = registry_serials();
    EXPECT_EQ(get_u32(binary({0x00}, 4), 0), 1u);
    EXPECT_EQ(registry_serials(), before) << "positions and keys kept";
    uint8_t cmd[16] = {0xF1};
    std::vector<uint8_t> reply = binary(tarvex::request_send_usb_cmd(cookie, cmd, 1, 6), 10);
    EXPECT_EQ(get_u32(reply, 0), 1u) << "the refresh re-opened the held probe";
}

TEST_P(UsbServer, StatusBytesMapAsTheTableSays)
{
    start({"--probes", "1"});
    std::ostringstream key;
    key << std::hex << key_of(default_serial(0));
    ASSERT_EQ(text("open-device " + key.str() + "\n").substr(0, 2), "1 ");
    struct status_case {
        const char *status;
        const char *kind; // fault channel: "fault" answers once, "wait" answers then succeeds
        const char *reply;
        int sends; // a wait status costs one more send of the same block
        const char *log;
    };
    const status_case cases[] = {
        {"80", "fault", "1 0\n", 1, nullptr},
        {"81", "fault", "1 -4\n", 1, "SWD fault response (0x81)"},
        {"05", "fault", "1 -4\n", 1, "NO_DEVICE_CONNECTED"},
        {"0a", "fault", "1 -4\n", 1, "JTAG_ALIGNMENT_ERROR"},
        {"11", "fault", "1 0\n", 1, "SWD_AP_FAULT"},
        {"1d", "fault", "1 -4\n", 1, "BAD_AP"},
        {"1e", "fault", "1 -4\n", 1, "unknown/unexpected TARVEX status code 0x1e"},
        {"ff", "fault", "1 -4\n", 1, "unknown/unexpected TARVEX status code 0xff"},
        {"07", "wait", "1 0\n", 2, "wait status TARVEX_JTAG_CMD_WAIT (0x7)"},
        {"10", "wait", "1 0\n", 2, "wait status SWD_AP_WAIT (0x10)"},
        {"14", "wait", "1 0\n", 2, "wait status SWD_DP_WAIT (0x14)"},
        {"10", "wait", "1 0\n", 4, nullptr},
        {"10", "wait", "1 0\n", 6, nullptr},
    };
    for (const status_case &c : cases) {
        ASSERT_EQ(server_.control("clear 0"), "ok");
        int times = std::string(c.kind) == "wait" ? c.sends - 1 : 1;
        ASSERT_EQ(server_.control(std::string("fault 0 ") + c.kind + " " + std::to_string(times) + " " + c.status),
                  "ok");
        EXPECT_EQ(text("tarvex-blink-led 0\n"), c.reply) << c.status;
        EXPECT_EQ(server_.control("count 0"), "ok " + std::to_string(c.sends)) << c.status;
        if (c.log != nullptr) {
            EXPECT_NE(server_.stderr_text().find(c.log), std::string::npos) << c.log;
        }
    }
}

// "tarvex-tcp-read-regs" sends the register file after its result, in the
// order of the probe's reply, and only what the probe's status byte vouches
// for: a client that reads only the result sees the reply it always had.
TEST_P(UsbServer, RegisterFileReplyCarriesTheWordsTheProbeVouchesFor)
{
    start({"--probes", "1"});
    std::ostringstream key;
    key << std::hex << key_of(default_serial(0));
    ASSERT_EQ(text("open-device " + key.str() + "\n"), "1 256\n");
    ASSERT_EQ(text("tarvex-usb-init-mode 256 0 1\n"), "1 0\n");
    ASSERT_EQ(text("tarvex-tcp-write-debug-reg 256 e000edf0 a05f0003 0\n"), "1 0\n");
    // Distinct words, so that a word in the wrong place shows; each as the
    // single-register read answers it after all are written (the core keeps
    // only some bits of a few, and SP follows MSP or PSP).
    for (unsigned sel : tarvex::REGISTER_FILE) {
        std::ostringstream request;
        request << std::hex << "tarvex-tcp-write-reg 256 " << sel << " " << 0x01020304u * (sel + 1) << " 0\n";
        ASSERT_EQ(text(request.str()), "1 0\n") << sel;
    }
    std::string words = "1 0";
    for (unsigned sel : tarvex::REGISTER_FILE) {
        std::ostringstream read;
        read << std::hex << "tarvex-tcp-read-reg 256 " << sel << " 0\n";
        std::string one = text(read.str());
        ASSERT_EQ(one.substr(0, 4), "1 0 ") << sel;
        words += " " + one.substr(4, one.size() - 5);
    }
    struct file_case {
        const char *fault; // on the control channel before the request, or null
        const char *reply;
    };
    const file_case cases[] = {
        {nullptr, nullptr}, // the words
        {"fault 0 fault 1 81", "1 0\n"},
        {"fault 0 short 1", "1 -4\n"},
        {nullptr, nullptr}, // the probe answers again
    };
    for (const file_case &c : cases) {
        if (c.fault != nullptr) {
            ASSERT_EQ(server_.control(c.fault), "ok");
        }
        EXPECT_EQ(text("tarvex-tcp-read-regs 256 0\n"), c.reply != nullptr ? c.reply : words + "\n")
            << (c.fault != nullptr ? c.fault : "");
    }
    // The client library's view of the same words.
    int result = -1;
    bool have = false;
    std::array<uint32_t, tarvex::REGISTER_FILE.size()> values{};
    ASSERT_EQ(tarvex::read_register_file(client_, 256, &result, &values, &have), 0);
    EXPECT_EQ(result, 0);
    ASSERT_TRUE(have);
    std::ostringstream seen;
    seen << std::hex << "1 0";
    for (uint32_t v : values)
        seen << " " << v;
    EXPECT_EQ(seen.str(), words);
    // Without an association: the result 0 of the protocol, and no words.
    tarvex::connection other = server_.connect();
    std::string reply;
    ASSERT_EQ(other.text("tarvex-tcp-read-regs 256 0\n", &reply), 0);
    EXPECT_EQ(reply, "1 0\n");
}

TEST_P(UsbServer, ProbeFaultsFailTheRequestAndTheServerGoesOn)
{
    start({"--probes", "1"});
    uint32_t cookie = open_binary(key_of(default_serial(0)));
    uint8_t cmd[16] = {0xF1};
    // A short reply, a probe that vanished, and one that never answers
    // (the 2000 ms transfer time-out, once).
    for (const char *fault : {"short", "gone", "timeout"}) {
        ASSERT_EQ(server_.control(std::string("fault 0 ") + fault + " 1"), "ok");
        std::vector<uint8_t> reply = binary(tarvex::request_send_usb_cmd(cookie, cmd, 1, 6), 10);
        EXPECT_EQ(get_u32(reply, 0), 4u) << fault;
        reply = binary(tarvex::request_send_usb_cmd(cookie, cmd, 1, 6), 10);
        EXPECT_EQ(get_u32(reply, 0), 1u) << "the next command after " << fault;
    }
}

TEST_P(UsbServer, AutoExitWaitsForTheLastHolder)
{
    server_process server;
    ASSERT_EQ(server.start({"-a"}, probe_args({"--probes", "2"}), true), 0);
    ASSERT_EQ(server.wait_listening(), 0);
    tarvex::connection a = server.connect();
    tarvex::connection b = server.connect();
    std::vector<uint8_t> reply;
    ASSERT_EQ(a.binary(tarvex::request_open_dev(key_of(default_serial(0)), false), 8, &reply), 0);
    ASSERT_EQ(get_u32(reply, 0), 1u);
    ASSERT_EQ(b.binary(tarvex::request_open_dev(key_of(default_serial(1)), false), 8, &reply), 0);
    ASSERT_EQ(get_u32(reply, 0), 1u);
    a.close();
    EXPECT_EQ(server.wait_exit(500), -1) << "B still holds its probe";
    ASSERT_EQ(b.binary({0x01}, 4, &reply), 0);
    b.close();
    EXPECT_EQ(server.wait_exit(), 1);
}

TEST_P(UsbServer, TheServerDoesNotOutliveAKilledLauncher)
{
    start({"--probes", "1"});
    std::string pid_reply = server_.control("pid");
    ASSERT_EQ(pid_reply.substr(0, 3), "ok ") << pid_reply;
    pid_t served = static_cast<pid_t>(atoi(pid_reply.c_str() + 3));
    ASSERT_GT(served, 0);
    client_.close();
    server_.send_signal(SIGKILL);
    EXPECT_EQ(server_.wait_exit(), 128 + SIGKILL);
    // Orphans are reaped by init; a survivor would keep answering signal 0.
    bool gone = false;
    for (int i = 0; i < 500 && !gone; i++) {
        gone = kill(served, 0) != 0;
        if (!gone)
            usleep(10000);
    }
    EXPECT_TRUE(gone) << "server " << served << " still runs";
    if (!gone)
        kill(served, SIGKILL);
}

} // namespace

INSTANTIATE_TEST_SUITE_P(Transports, UsbServer, ::testing::Values("umockdev", "fast"), transport_name);
