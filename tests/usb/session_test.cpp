// Client sessions through the real server, the real libusb and the virtual
// probe: a binary session end to end, the reply lengths of the binary
// commands and their size bounds, associations on a shared probe, and the
// auto-exit rule as seen from the process status.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "usb_fixture.h"

namespace
{

using namespace usb_test;

constexpr uint32_t STATUS_OK = 0x1;
constexpr uint32_t STATUS_FAIL = 0x4;
constexpr uint32_t STATUS_DEVICE_ERROR = 0x1003;
constexpr uint32_t STATUS_INFO_SIZE_ERROR = 0x1052;

// Probe command blocks (reply or data phase of `len` bytes).
std::vector<uint8_t> mem_block(uint8_t sub, uint32_t addr, uint16_t len)
{
    std::vector<uint8_t> b(16, 0);
    b[0] = 0xF2;
    b[1] = sub;
    for (int i = 0; i < 4; i++)
        b[2 + i] = static_cast<uint8_t>(addr >> (8 * i));
    b[6] = static_cast<uint8_t>(len);
    b[7] = static_cast<uint8_t>(len >> 8);
    return b;
}

class BinarySession : public UsbServer
{
protected:
    // Sends the request and reads exactly `size` reply bytes; then proves that
    // nothing more came by a server API version round trip on the same
    // connection.
    std::vector<uint8_t> exact(const std::vector<uint8_t> &request, size_t size)
    {
        std::vector<uint8_t> reply = binary(request, size);
        expect_in_step();
        return reply;
    }
    void expect_in_step()
    {
        std::vector<uint8_t> api = binary(tarvex::request_server_api_version(1), 16);
        EXPECT_EQ(get_u32(api, 0), STATUS_OK) << "the connection is still in step";
        EXPECT_EQ(get_u32(api, 4), 1u);
    }
    std::string blocks_seen() { return server_.control("count 0"); }
    // Waits until the probe has seen a block more than `before` said.
    bool wait_blocks_beyond(const std::string &before)
    {
        for (int i = 0; i < 500; i++) {
            if (blocks_seen() != before)
                return true;
            usleep(10000);
        }
        return false;
    }
    std::string probe_mode()
    {
        std::string state = server_.control("state 0");
        size_t at = state.find("mode=");
        return at == std::string::npos ? state : state.substr(at + 5, 1);
    }
};

TEST_P(BinarySession, FromListToClose)
{
    start({"--probes", "1"});
    uint32_t probe = key_of(default_serial(0));
    EXPECT_EQ(get_u32(binary({0x01}, 4), 0), 1u);
    std::vector<uint8_t> info = binary(tarvex::request_get_dev_info(0, 41), 45);
    EXPECT_EQ(get_u32(info, 0), STATUS_OK);
    EXPECT_EQ(get_u32(info, 4), probe);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(info.data() + 8)), default_serial(0));

    std::vector<uint8_t> opened = binary(tarvex::request_open_dev(probe, false), 8);
    ASSERT_EQ(get_u32(opened, 0), STATUS_OK);
    uint32_t cookie = get_u32(opened, 4);
    EXPECT_EQ(cookie, 256u) << "the first association of the process";
    EXPECT_EQ(get_u32(binary(tarvex::request_nb_of_dev_clients(probe), 4), 0), 1u);

    // Write 8 bytes of target RAM, see them land, read them back.
    const std::vector<uint8_t> data = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    std::vector<uint8_t> written =
        binary(tarvex::request_send_usb_cmd(cookie, mem_block(0x08, 0x20000040, 8).data(), 0, 8, data), 4);
    EXPECT_EQ(get_u32(written, 0), STATUS_OK);
    EXPECT_EQ(server_.control("mem 0 20000040 8"), "ok 1122334455667788");
    std::vector<uint8_t> read =
        binary(tarvex::request_send_usb_cmd(cookie, mem_block(0x07, 0x20000040, 8).data(), 1, 8), 12);
    EXPECT_EQ(get_u32(read, 0), STATUS_OK);
    EXPECT_EQ(std::vector<uint8_t>(read.begin() + 4, read.end()), data);

    EXPECT_EQ(get_u32(binary(tarvex::request_close_dev(cookie), 4), 0), STATUS_OK);
    EXPECT_EQ(get_u32(binary(tarvex::request_nb_of_dev_clients(probe), 4), 0), 0u);
    EXPECT_EQ(get_u32(binary(tarvex::request_close_dev(cookie), 4), 0), STATUS_OK) << "already closed";
    opened = binary(tarvex::request_open_dev(probe, true), 8);
    EXPECT_EQ(get_u32(opened, 0), STATUS_OK);
    EXPECT_EQ(get_u32(opened, 4), 257u) << "keys are never reused";
    opened = binary(tarvex::request_open_dev(probe ^ 1, false), 8);
    EXPECT_EQ(get_u32(opened, 0), STATUS_DEVICE_ERROR) << "unknown probe key";
    EXPECT_EQ(get_u32(opened, 4), 0u);
}

TEST_P(BinarySession, ReplyLengthsOfTheDeviceInfo)
{
    start({"--probes", "1"});
    struct info_case {
        int8_t index;
        uint32_t size;
        size_t reply_len;
        uint32_t status;
    };
    const info_case cases[] = {
        {0, 0, 4, STATUS_OK},
        {0, 41, 45, STATUS_OK},
        {0, 42, 46, STATUS_INFO_SIZE_ERROR},
        {0, 32764, 32768, STATUS_INFO_SIZE_ERROR}, // the largest reply the buffer holds
        {1, 41, 45, STATUS_DEVICE_ERROR},
        {-1, 41, 45, STATUS_DEVICE_ERROR},
        {0, 32765, 4, STATUS_FAIL}, // refused: the reply would not fit
        {0, 0xFFFFFFFF, 4, STATUS_FAIL},
    };
    for (const info_case &c : cases) {
        std::vector<uint8_t> reply = exact(tarvex::request_get_dev_info(c.index, c.size), c.reply_len);
        ASSERT_EQ(reply.size(), c.reply_len) << c.size;
        EXPECT_EQ(get_u32(reply, 0), c.status) << c.index << " " << c.size;
        if (c.status == STATUS_INFO_SIZE_ERROR) {
            EXPECT_EQ(get_u32(reply, 4), key_of(default_serial(0)));
            EXPECT_EQ(std::vector<uint8_t>(reply.begin() + 45, reply.end()), std::vector<uint8_t>(c.reply_len - 45, 0));
        }
    }
    EXPECT_NE(server_.stderr_text().find("TARVEX_TCP_CMD_GET_DEV_INFO : size 32765 does not fit the reply buffer"),
              std::string::npos);
}

TEST_P(BinarySession, PassThroughReplyLengthsAndSizeBounds)
{
    start({"--probes", "1"});
    uint32_t cookie = open_binary(key_of(default_serial(0)));
    std::vector<uint8_t> version(16, 0);
    version[0] = 0xF1;
    const std::vector<uint8_t> read64 = mem_block(0x07, 0x20000000, 64);
    const std::vector<uint8_t> write100 = mem_block(0x08, 0x20000000, 100);
    struct pass_case {
        const char *what;
        const std::vector<uint8_t> &block;
        int8_t direction;
        uint32_t buffer_size;
        size_t data_sent;
        size_t reply_len;
        uint32_t status;
        bool reaches_probe;
    };
    const pass_case cases[] = {
        {"read 64", read64, 1, 64, 0, 68, STATUS_OK, true},
        {"read 64 of a 6-byte reply", version, 1, 64, 0, 68, STATUS_FAIL, true},
        {"write 0", version, 0, 0, 0, 4, STATUS_OK, true},
        {"write 100 with its data", write100, 0, 100, 100, 4, STATUS_OK, true},
        {"read whose reply does not fit", version, 1, 32765, 0, 4, STATUS_FAIL, false},
        {"trace read whose reply does not fit", version, 3, 0xFFFFFFFF, 0, 4, STATUS_FAIL, false},
        {"write whose data did not arrive", write100, 0, 100, 10, 4, STATUS_FAIL, false},
        {"write of 4 GiB", write100, 0, 0xFFFFFFFF, 0, 4, STATUS_FAIL, false},
    };
    for (const pass_case &c : cases) {
        std::string before = blocks_seen();
        std::vector<uint8_t> request = tarvex::request_send_usb_cmd(cookie, c.block.data(), c.direction, c.buffer_size,
                                                                    std::vector<uint8_t>(c.data_sent, 0x5A));
        std::vector<uint8_t> reply = exact(request, c.reply_len);
        EXPECT_EQ(get_u32(reply, 0), c.status) << c.what;
        EXPECT_EQ(blocks_seen() != before, c.reaches_probe) << c.what;
    }
    EXPECT_EQ(server_.control("mem 0 20000000 4"), "ok 5a5a5a5a") << "the write's data phase landed";
    EXPECT_NE(server_.stderr_text().find("TARVEX_TCP_CMD_SEND_USB_CMD : buffer_size 32765 does not fit"),
              std::string::npos);
    // Direction 2 is forwarded like a write and answers nothing at all.
    std::string before = blocks_seen();
    std::vector<uint8_t> other_direction = tarvex::request_send_usb_cmd(cookie, version.data(), 2, 0);
    ASSERT_EQ(client_.send_bytes(other_direction.data(), other_direction.size()), 0);
    ASSERT_TRUE(wait_blocks_beyond(before));
    expect_in_step();
}

TEST_P(BinarySession, EveryOpenIsANewAssociation)
{
    start({"--probes", "1"});
    uint32_t probe = key_of(default_serial(0));
    uint32_t first = open_binary(probe);
    uint32_t second = open_binary(probe);
    EXPECT_EQ(second, first + 1);
    EXPECT_EQ(get_u32(binary(tarvex::request_nb_of_dev_clients(probe), 4), 0), 2u);
    EXPECT_EQ(text("get-nb-usb-client " + std::to_string(probe) + "\n"), "1 2\n");
    // An association key that happens to equal the probe key is never reused.
    EXPECT_EQ(get_u32(binary(tarvex::request_close_dev(first), 4), 0), STATUS_OK);
    uint8_t cmd[16] = {0xF7};
    std::vector<uint8_t> reply = binary(tarvex::request_send_usb_cmd(second, cmd, 1, 8), 12);
    EXPECT_EQ(get_u32(reply, 0), STATUS_OK) << "the other association keeps the probe open";
}

TEST_P(BinarySession, DebugModeBelongsToTheLastUser)
{
    start({"--probes", "1"});
    uint32_t probe = key_of(default_serial(0));
    tarvex::connection other = server_.connect();
    std::vector<uint8_t> reply;
    ASSERT_EQ(other.binary(tarvex::request_open_dev(probe, false), 8, &reply), 0);
    uint32_t theirs = get_u32(reply, 4);
    std::string opened = text("open-device " + hex_key(probe) + "\n");
    ASSERT_EQ(opened.substr(0, 2), "1 ");
    const uint8_t enter_swd[16] = {0xF2, 0x30, 0xA3};
    ASSERT_EQ(other.binary(tarvex::request_send_usb_cmd(theirs, enter_swd, 1, 2), 6, &reply), 0);
    EXPECT_EQ(reply[4], 0x80);
    ASSERT_EQ(probe_mode(), "2") << "debug mode";
    // Our close, then our disconnect: the other client still uses the probe.
    EXPECT_EQ(text("close-device " + opened.substr(2, opened.size() - 3) + "\n"), "1\n");
    EXPECT_EQ(probe_mode(), "2") << "not taken out of debug mode under the other client";
    uint8_t version[16] = {0xF1};
    ASSERT_EQ(other.binary(tarvex::request_send_usb_cmd(theirs, version, 1, 6), 10, &reply), 0);
    EXPECT_EQ(get_u32(reply, 0), STATUS_OK);
    // The last user's disconnect leaves debug mode.
    other.close();
    std::string mode;
    for (int i = 0; i < 500 && (mode = probe_mode()) == "2"; i++)
        usleep(10000);
    EXPECT_NE(mode, "2");
}

// The framing is the loop's; the USB side is UsbServer's, on both transports.
INSTANTIATE_TEST_SUITE_P(Fast, BinarySession, ::testing::Values("fast"), transport_name);

// The auto-exit rule, from the process status. One transport is enough here:
// the rule does not depend on it.
class AutoExit : public ::testing::Test
{
protected:
    void start(bool auto_exit, int probes)
    {
        std::vector<std::string> args;
        if (auto_exit)
            args.push_back("-a");
        ASSERT_EQ(server_.start(args, {"--fast", "--probes", std::to_string(probes)}, true), 0);
        ASSERT_EQ(server_.wait_listening(), 0);
    }
    uint32_t open(tarvex::connection &c, int probe)
    {
        std::vector<uint8_t> reply;
        EXPECT_EQ(c.binary(tarvex::request_open_dev(key_of(default_serial(probe)), false), 8, &reply), 0);
        EXPECT_EQ(get_u32(reply, 0), STATUS_OK);
        return get_u32(reply, 4);
    }
    server_process server_;
};

TEST_F(AutoExit, ListOnlyClientEndsTheServer)
{
    start(true, 1);
    tarvex::connection c = server_.connect();
    std::vector<uint8_t> reply;
    ASSERT_EQ(c.binary({0x01}, 4, &reply), 0);
    EXPECT_EQ(get_u32(reply, 0), 1u);
    c.close();
    EXPECT_EQ(server_.wait_exit(), 1);
}

TEST_F(AutoExit, ExplicitCloseWaitsForTheDisconnect)
{
    start(true, 1);
    tarvex::connection c = server_.connect();
    uint32_t cookie = open(c, 0);
    std::vector<uint8_t> reply;
    ASSERT_EQ(c.binary(tarvex::request_close_dev(cookie), 4, &reply), 0);
    EXPECT_EQ(server_.wait_exit(300), -1) << "the client is still connected";
    ASSERT_EQ(c.binary({0x01}, 4, &reply), 0);
    c.close();
    EXPECT_EQ(server_.wait_exit(), 1);
}

TEST_F(AutoExit, OffKeepsServingAfterTheLastClient)
{
    start(false, 1);
    {
        tarvex::connection c = server_.connect();
        open(c, 0);
    }
    EXPECT_EQ(server_.wait_exit(300), -1);
    tarvex::connection c = server_.connect();
    std::vector<uint8_t> reply;
    ASSERT_EQ(c.binary({0x01}, 4, &reply), 0);
    EXPECT_EQ(get_u32(reply, 0), 1u);
}

} // namespace
