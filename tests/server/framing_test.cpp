// Request framing, dispatch and replies byte for byte, through the real
// server over loopback.
#include <gtest/gtest.h>

#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "server_process.h"

using tarvex::get_u32;
using tarvex_test::server_process;

namespace
{

// One server for the whole suite; each test opens its own clients.
class Framing : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        server_ = new server_process();
        ASSERT_EQ(server_->start({"-d3"}), 0);
        ASSERT_EQ(server_->wait_listening(), 0);
    }
    static void TearDownTestSuite()
    {
        delete server_;
        server_ = nullptr;
    }
    tarvex::connection client() { return server_->connect(); }
    static size_t count_lines(const std::string &text)
    {
        std::string err = server_->stderr_text();
        size_t n = 0;
        for (size_t pos = err.find(text); pos != std::string::npos; pos = err.find(text, pos + 1))
            n++;
        return n;
    }
    // The client name in the newest "get-nb-tarvex" debug line.
    static std::string last_name_logged()
    {
        std::string err = server_->stderr_text();
        const std::string marker = "get-nb-tarvex : command received from (";
        size_t pos = err.rfind(marker);
        if (pos == std::string::npos)
            return "?";
        pos += marker.size();
        return err.substr(pos, err.find(")\n", pos) - pos);
    }
    static server_process *server_;
};

server_process *Framing::server_ = nullptr;

struct text_exchange {
    std::string request;
    std::string reply;
};

TEST_F(Framing, TextRequestsAnswerTheirExactBytes)
{
    const text_exchange exchanges[] = {
        {"get-nb-tarvex\n", "1 0\n"},
        {"get-nb-tarvexes and more\n", "1 0\n"},
        {"get-nb-tcp-client\n", "1 1\n"},
        {"get-nb-tcp-client   \r\n", "1 1\n"},
        {"get-nb-usb-client 1234\n", "1 0\n"},
        {"get-tarvex-descriptor 0\n", "0\n"},
        {"open-device 1a2b\n", "0\n"},
        {"close-device 256\n", "1\n"},
        {"usb-refresh\n", "1 0\n"},
        {"tarvex-blink-led 0\n", "0\n"},
        {"tarvex-check 0 1a2b\n", "0\n"},
        {"tarvex-tcp-version 256\n", "0\n"},
        {"tarvex-tcp-check-voltage 256\n", "1 0 0.000000\n"},
        {"register-client\n", "1\n"},
        {" get-nb-tarvex\n", "0 unknown_command\n"},
        {"hello\n", "0 unknown_command\n"},
        {"GET-NB-TARVEX\n", "0 unknown_command\n"},
        {"get-nb-usb-client 1 2 3 4 5 6\n", "0 unknown_command\n"},
        {"get-nb-usb-client " + std::string(80, '9') + "\n", "0 unknown_command\n"},
        {"choose-tarvex 0\n", "1 0 0\n"},
        {"get-tarvex-chosen\n", "1 0\n"},
        {"choose-tarvex 0x1A2B\n", "1 2\n"},
        {"get-tarvex-chosen\n", "1 1a2b\n"},
        {"choose-tarvex 0\n", "1 0 0\n"},
    };
    tarvex::connection c = client();
    for (const text_exchange &e : exchanges) {
        std::string reply;
        ASSERT_EQ(c.text(e.request, &reply), 0) << e.request;
        EXPECT_EQ(reply, e.reply) << e.request;
    }
}

TEST_F(Framing, GetVersionAnswersTheVersionTextWithoutStatus)
{
    tarvex::connection c = client();
    std::string reply;
    ASSERT_EQ(c.text("get-version\n", &reply), 0);
    EXPECT_TRUE(std::regex_match(reply, std::regex("tarvex-server v[0-9.]+-[^ ]+ \\([0-9-]+:[0-9]{2}\\)\n"))) << reply;
}

TEST_F(Framing, ServerApiVersionIs16BytesKeepingUnwrittenRequestBytes)
{
    tarvex::connection c = client();
    std::vector<uint8_t> reply;
    ASSERT_EQ(c.binary({0x06, 0x07}, 16, &reply), 0);
    EXPECT_EQ(reply, (std::vector<uint8_t>{1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    std::vector<uint8_t> full(16);
    for (int i = 0; i < 16; i++)
        full[static_cast<size_t>(i)] = static_cast<uint8_t>(0xA0 + i);
    full[0] = 0x06;
    ASSERT_EQ(c.binary(full, 16, &reply), 0);
    EXPECT_EQ(reply, (std::vector<uint8_t>{1, 0, 0, 0, 1, 0xA5, 0xA6, 0xA7, 0, 0xA9, 0xAA, 0xAB, 0, 0xAD, 0xAE, 0xAF}));
}

// Each request sees zeros past its own bytes, whatever a longer request or
// reply left in the buffer before it.
TEST_F(Framing, ShortRequestAfterALongOneSeesNoneOfItsBytes)
{
    tarvex::connection c = client();
    std::vector<uint8_t> full(16, 0xA5), reply;
    full[0] = 0x06;
    ASSERT_EQ(c.binary(full, 16, &reply), 0);
    ASSERT_EQ(c.binary({0x06, 0x07}, 16, &reply), 0);
    EXPECT_EQ(reply, (std::vector<uint8_t>{1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    // That reply left 1 at offset 4, where a bare device-info request has
    // its size field: read as 1, it would answer a fifth byte, which would
    // then lead the next reply.
    ASSERT_EQ(c.binary({0x02}, 4, &reply), 0);
    EXPECT_EQ(get_u32(reply, 0), 0x1003u);
    ASSERT_EQ(c.binary({0x06, 0x07}, 16, &reply), 0);
    EXPECT_EQ(reply, (std::vector<uint8_t>{1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    std::string answer;
    ASSERT_EQ(c.text("get-nb-tcp-client " + std::string(90, 'y') + "\n", &answer), 0);
    EXPECT_EQ(answer, "0 unknown_command\n") << "a token of 90 characters is refused";
    ASSERT_EQ(c.text("get-nb-tcp-client\n", &answer), 0);
    EXPECT_EQ(answer, "1 1\n") << "the refused request's tail must not extend this one";
}

// The rest of a memory write's payload is received past the first chunk; the
// next request must not see it either.
TEST_F(Framing, PayloadReceivedAfterTheCommandLineDoesNotLeakIntoTheNextRequest)
{
    tarvex::connection c = client();
    const std::string line = "tarvex-tcp-write-mem 1 20000000 1 c8 0\n";
    size_t before = count_lines("tcp-write-mem read the next byte");
    ASSERT_EQ(c.send_bytes(line.data(), line.size()), 0);
    // The server must hold the line alone before the payload follows.
    for (int i = 0; i < 500 && count_lines("tcp-write-mem read the next byte") == before; i++)
        usleep(10000);
    const std::string payload(200, 'z');
    std::string answer;
    ASSERT_EQ(c.text(payload, &answer), 0);
    EXPECT_EQ(answer, "1 0\n") << "no association: nothing written, result 0";
    // Longer than the command line, so its end lies where the payload was.
    ASSERT_EQ(c.text("get-nb-tcp-client" + std::string(40, ' ') + "\n", &answer), 0);
    EXPECT_EQ(answer, "1 1\n");
}

TEST_F(Framing, BinaryRequestsWithoutProbes)
{
    tarvex::connection c = client();
    std::vector<uint8_t> reply;
    ASSERT_EQ(c.binary({0x01}, 4, &reply), 0);
    EXPECT_EQ(get_u32(reply, 0), 0u) << "no probe: count 0";
    ASSERT_EQ(c.binary({0x00}, 4, &reply), 0);
    EXPECT_EQ(get_u32(reply, 0), 1u) << "refresh status OK";
    ASSERT_EQ(c.binary(tarvex::request_nb_of_dev_clients(0x1234), 4, &reply), 0);
    EXPECT_EQ(get_u32(reply, 0), 0u);
    ASSERT_EQ(c.binary(tarvex::request_close_dev(999), 4, &reply), 0);
    EXPECT_EQ(get_u32(reply, 0), 1u) << "close of an unknown key still answers OK";
    ASSERT_EQ(c.binary(tarvex::request_open_dev(0x1234, true), 8, &reply), 0);
    EXPECT_EQ(get_u32(reply, 0), 0x1003u);
    EXPECT_EQ(get_u32(reply, 4), 0u);
}

struct info_case {
    uint32_t size;
    uint32_t status;
    size_t reply_size;
};

TEST_F(Framing, DeviceInfoOfAMissingProbeKeepsTheReplyLength)
{
    const info_case cases[] = {
        {0, 0x1003, 4},         {41, 0x1003, 45}, {42, 0x1052, 46},
        {32764, 0x1052, 32768}, {32765, 0x4, 4},  {0xFFFFFFFF, 0x4, 4},
    };
    tarvex::connection c = client();
    for (const info_case &ic : cases) {
        std::vector<uint8_t> reply;
        ASSERT_EQ(c.binary(tarvex::request_get_dev_info(0, ic.size), ic.reply_size, &reply), 0) << ic.size;
        EXPECT_EQ(get_u32(reply, 0), ic.status) << ic.size;
        for (size_t i = 4; i < reply.size(); i++)
            ASSERT_EQ(reply[i], 0) << "size " << ic.size << " byte " << i;
        // The connection goes on: a normal request still answers.
        ASSERT_EQ(c.binary({0x01}, 4, &reply), 0);
    }
}

TEST_F(Framing, PassThroughOnAnUnknownAssociationFailsWithItsReplyLength)
{
    const uint8_t cmd[16] = {0xF1};
    struct pass_case {
        int8_t direction;
        uint32_t size;
        std::vector<uint8_t> data;
        size_t reply_size;
        uint32_t status;
    };
    const pass_case cases[] = {
        {1, 64, {}, 68, 0x4},         {1, 0, {}, 4, 0x4},           {3, 16, {}, 20, 0x4},
        {0, 4, {1, 2, 3, 4}, 4, 0x4}, {0, 5, {1, 2, 3, 4}, 4, 0x4}, {1, 32765, {}, 4, 0x4},
    };
    tarvex::connection c = client();
    for (const pass_case &pc : cases) {
        std::vector<uint8_t> reply;
        ASSERT_EQ(
            c.binary(tarvex::request_send_usb_cmd(4242, cmd, pc.direction, pc.size, pc.data), pc.reply_size, &reply),
            0);
        EXPECT_EQ(get_u32(reply, 0), pc.status);
        ASSERT_EQ(c.binary({0x01}, 4, &reply), 0);
        EXPECT_EQ(get_u32(reply, 0), 0u) << "the next request is answered on its own";
    }
}

TEST_F(Framing, PassThroughWithAnOtherDirectionAnswersNothing)
{
    const uint8_t cmd[16] = {0xF1};
    tarvex::connection c = client();
    size_t before = count_lines("request.buffer_size = ");
    ASSERT_EQ(c.send_bytes(tarvex::request_send_usb_cmd(4242, cmd, 2, 0).data(), 32), 0);
    // Wait until the server has taken the request, so the next one is not
    // received in the same chunk.
    for (int i = 0; i < 500 && count_lines("request.buffer_size = ") == before; i++)
        usleep(10000);
    std::vector<uint8_t> reply;
    // The first bytes to arrive are the API version reply, not a pass-through status.
    ASSERT_EQ(c.binary({0x06, 0x01}, 16, &reply), 0);
    EXPECT_EQ(reply[4], 1);
    EXPECT_EQ(get_u32(reply, 0), 1u);
}

TEST_F(Framing, RegisterClientNamesTheClientInDebugLines)
{
    tarvex::connection c = client();
    std::string reply;
    ASSERT_EQ(c.text("register-client my-debugger\n", &reply), 0);
    EXPECT_EQ(reply, "1\n");
    ASSERT_EQ(c.text("get-nb-tarvex\n", &reply), 0);
    EXPECT_EQ(last_name_logged(), "my-debugger");
    // A name of 50 characters or more keeps its first 49.
    std::string long_name(60, 'n');
    ASSERT_EQ(c.text("register-client " + long_name + "\n", &reply), 0);
    EXPECT_EQ(reply, "1\n");
    ASSERT_EQ(c.text("get-nb-tarvex\n", &reply), 0);
    EXPECT_EQ(last_name_logged(), std::string(49, 'n'));
    // A missing name leaves the name as it was.
    ASSERT_EQ(c.text("register-client\n", &reply), 0);
    ASSERT_EQ(c.text("register-client   \n", &reply), 0);
    ASSERT_EQ(c.text("get-nb-tarvex\n", &reply), 0);
    EXPECT_EQ(last_name_logged(), std::string(49, 'n'));
}

TEST_F(Framing, ReplyBiggerThanTheSocketTakesAtOnceArrivesWhole)
{
    tarvex::connection c = client();
    // Several 32 KiB replies requested before any is read: each is sent to
    // its end, none is cut by the next request.
    const int rounds = 8;
    std::vector<uint8_t> request = tarvex::request_get_dev_info(5, 32764);
    for (int i = 0; i < rounds; i++) {
        ASSERT_EQ(c.send_bytes(request.data(), request.size()), 0);
        std::vector<uint8_t> reply(32768);
        ASSERT_EQ(c.recv_exact(reply.data(), reply.size()), 0) << "round " << i;
        EXPECT_EQ(get_u32(reply, 0), 0x1052u);
    }
}

} // namespace
