// Behaviours on a probe kept because clients rely on them, although they look
// like faults (docs/compatibility.md gives each its reason), through the real
// server, the real libusb and the virtual probe.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "usb_fixture.h"

namespace
{

using namespace usb_test;

constexpr uint32_t STATUS_OK = 0x1;

class UsbCompatibility : public UsbServer
{
protected:
    std::string probe_mode()
    {
        std::string state = server_.control("state 0");
        size_t at = state.find("mode=");
        return at == std::string::npos ? state : state.substr(at + 5, 1);
    }
    // SWD debug mode entered by a raw command block, as a binary client does.
    void enter_swd(tarvex::connection &c, uint32_t cookie)
    {
        const uint8_t enter[16] = {0xF2, 0x30, 0xA3};
        std::vector<uint8_t> reply;
        ASSERT_EQ(c.binary(tarvex::request_send_usb_cmd(cookie, enter, 1, 2), 6, &reply), 0);
        ASSERT_EQ(reply[4], 0x80) << "the probe took the mode";
        ASSERT_EQ(probe_mode(), "2");
    }
    uint32_t clients_of(uint32_t probe) { return get_u32(binary(tarvex::request_nb_of_dev_clients(probe), 4), 0); }
};

// The binary close never takes the probe out of its mode, even for its last
// user: a binary client that closes and opens again between its steps finds
// the target as it left it. The text close, and any client's disconnect,
// take the last user's probe out of it.
TEST_P(UsbCompatibility, ABinaryCloseKeepsTheProbesModeATextCloseLeavesIt)
{
    start({"--probes", "1"});
    uint32_t probe = key_of(default_serial(0));
    uint32_t cookie = open_binary(probe);
    enter_swd(client_, cookie);
    EXPECT_EQ(get_u32(binary(tarvex::request_close_dev(cookie), 4), 0), STATUS_OK);
    EXPECT_EQ(clients_of(probe), 0u) << "that was the probe's last user";
    EXPECT_EQ(probe_mode(), "2") << "the binary close kept debug mode";

    ASSERT_EQ(text("open-device " + hex_key(probe) + "\n"), "1 257\n");
    EXPECT_EQ(text("tarvex-usb-current-mode 257\n"), "1 0 2\n") << "the next client finds the mode kept";
    EXPECT_EQ(text("close-device 257\n"), "1\n");
    EXPECT_NE(probe_mode(), "2") << "the text close of the last user left the mode";
}

// The open's "exclusive" byte is read and ignored: every open shares.
TEST_P(UsbCompatibility, AnExclusiveOpenStillSharesTheProbe)
{
    start({"--probes", "1"});
    uint32_t probe = key_of(default_serial(0));
    std::vector<uint8_t> first = binary(tarvex::request_open_dev(probe, true), 8);
    ASSERT_EQ(get_u32(first, 0), STATUS_OK);
    tarvex::connection other = server_.connect();
    std::vector<uint8_t> second;
    ASSERT_EQ(other.binary(tarvex::request_open_dev(probe, true), 8, &second), 0);
    ASSERT_EQ(get_u32(second, 0), STATUS_OK) << "a second exclusive open is granted";
    EXPECT_EQ(clients_of(probe), 2u);
    const uint8_t version[16] = {0xF1};
    std::vector<uint8_t> reply;
    ASSERT_EQ(other.binary(tarvex::request_send_usb_cmd(get_u32(second, 4), version, 1, 6), 10, &reply), 0);
    EXPECT_EQ(get_u32(reply, 0), STATUS_OK) << "and both reach the probe";
    reply = binary(tarvex::request_send_usb_cmd(get_u32(first, 4), version, 1, 6), 10);
    EXPECT_EQ(get_u32(reply, 0), STATUS_OK);
}

// A description asked for in fewer bytes than the 41 of the record carries
// the record's beginning and the success status: the reply's length follows
// the size asked for, so a client that reads that many bytes stays in step.
TEST_P(UsbCompatibility, AShortDeviceInfoCarriesTheRecordsBeginning)
{
    start({"--probes", "1"});
    const std::string serial = default_serial(0);
    std::vector<uint8_t> reply = binary(tarvex::request_get_dev_info(0, 10), 14);
    EXPECT_EQ(get_u32(reply, 0), STATUS_OK);
    EXPECT_EQ(get_u32(reply, 4), key_of(serial));
    EXPECT_EQ(std::string(reply.begin() + 8, reply.end()), serial.substr(0, 6));
    std::vector<uint8_t> api = binary(tarvex::request_server_api_version(1), 16);
    EXPECT_EQ(get_u32(api, 4), 1u) << "nothing past the 14 bytes";
}

INSTANTIATE_TEST_SUITE_P(Fast, UsbCompatibility, ::testing::Values("fast"), transport_name);

} // namespace
