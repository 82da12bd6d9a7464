// The text protocol through the real server, the real libusb and the virtual
// probe: each keyword with its exact reply, the lookup failures, argument
// parsing, memory and trace transfers with their bounds, and a session as a
// debugger drives it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tarvex_text.h"
#include "usb_fixture.h"

namespace
{

using namespace usb_test;

struct exchange {
    std::string request;
    std::string reply;
};

class TextCommands : public UsbServer
{
protected:
    // Runs the exchanges in order on the fixture's client.
    void expect_replies(const std::vector<exchange> &table)
    {
        for (const exchange &e : table)
            EXPECT_EQ(text(e.request), e.reply) << e.request;
    }
    // Opens probe `index` (default serials) through the text protocol; the
    // association key as the decimal text the client passes back.
    std::string open_text(int index)
    {
        std::string reply = text("open-device " + hex_key(key_of(default_serial(index))) + "\n");
        EXPECT_EQ(reply.substr(0, 2), "1 ") << reply;
        return reply.size() > 3 ? reply.substr(2, reply.size() - 3) : "0";
    }
    // A memory read: the header line, then exactly the bytes it announces.
    std::string read_mem(const std::string &request, std::vector<uint8_t> *data)
    {
        std::string header;
        EXPECT_EQ(client_.send_bytes(request.data(), request.size()), 0);
        EXPECT_EQ(client_.recv_line(&header, 20000), 0) << request;
        std::istringstream fields(header);
        std::string one, result;
        size_t len = 0;
        fields >> one >> result >> len;
        data->assign(len, 0);
        if (len > 0) {
            EXPECT_EQ(client_.recv_exact(data->data(), len, 20000), 0) << request;
        }
        return header;
    }
    std::string write_mem(const std::string &connect_id, uint32_t addr, const std::vector<uint8_t> &data)
    {
        char line[96];
        snprintf(line, sizeof(line), "tarvex-tcp-write-mem %s %x 1 %zx 0\n", connect_id.c_str(), addr, data.size());
        return write_raw(line, data);
    }
    // A memory write's command line and the payload sent after it; the reply.
    std::string write_raw(const std::string &line, const std::vector<uint8_t> &data)
    {
        std::vector<uint8_t> request(line.begin(), line.end());
        request.insert(request.end(), data.begin(), data.end());
        std::string reply;
        EXPECT_EQ(client_.send_bytes(request.data(), request.size()), 0);
        EXPECT_EQ(client_.recv_line(&reply), 0) << line;
        return reply;
    }
    // Bytes that arrive until the connection has been quiet for a while.
    std::vector<uint8_t> drain(int quiet_ms = 300)
    {
        std::vector<uint8_t> got;
        uint8_t byte;
        while (client_.recv_exact(&byte, 1, quiet_ms) == 0)
            got.push_back(byte);
        return got;
    }
};

std::vector<uint8_t> pattern(size_t len, unsigned seed)
{
    std::vector<uint8_t> data(len);
    for (size_t i = 0; i < len; i++)
        data[i] = static_cast<uint8_t>((i * 7 + seed * 13 + (i >> 9)) & 0xFF);
    return data;
}

TEST_P(TextCommands, ProbesAndSessions)
{
    start({"--probes", "2"});
    std::vector<std::string> serials = registry_serials();
    ASSERT_EQ(serials.size(), 2u);
    std::string key0 = hex_key(key_of(serials[0]));
    std::string id = open_text(serials[0] == default_serial(0) ? 0 : 1);
    EXPECT_EQ(id, "256");
    expect_replies({
        {"get-nb-tarvex\n", "1 2\n"},
        {"get-nb-tcp-client\n", "1 1\n"},
        {"get-tarvex-descriptor 0\n", "1 " + key0 + " 7e57 7a02 " + serials[0] + "\n"},
        {"get-tarvex-descriptor 2\n", "0\n"},
        {"get-tarvex-descriptor -1\n", "0\n"},
        {"open-device 1234abcd\n", "0\n"},
        {"tarvex-tcp-version 256\n", "1 0 2 2 40 7 7e57 7a02\n"},
        {"tarvex-tcp-version 999\n", "0\n"},
        {"tarvex-tcp-check-voltage 256\n", "1 0 2.640000\n"},
        {"tarvex-blink-led 0\n", "1 0\n"},
        {"tarvex-blink-led 1\n", "0\n"},
        {"tarvex-blink-led 9\n", "0\n"},
        {"tarvex-check 0 " + key0 + "\n", "1\n"},
        {"tarvex-check 1 " + key0 + "\n", "0\n"},
        {"tarvex-check 5 " + key0 + "\n", "0\n"},
        {"choose-tarvex 0\n", "1 0 0\n"},
        {"get-tarvex-chosen\n", "1 0\n"},
        {"choose-tarvex abc\n", "1 2\n"},
        {"get-tarvex-chosen\n", "1 abc\n"},
        {"tarvex-tcp-init-core 256 1\n", "1 0\n"},
        {"tarvex-tcp-init-core 256 4\n", "1 fffffffc\n"},
        {"tarvex-tcp-close-core 256 4\n", "1 -4\n"},
        {"tarvex-tcp-close-core 256 1\n", "1 0\n"},
        {"usb-refresh\n", "1 0\n"},
        // Arguments: repeated spaces, CR LF, hexadecimal with 0x, a tab after a number.
        {"get-tarvex-descriptor    0\r\n", "1 " + key0 + " 7e57 7a02 " + serials[0] + "\n"},
        {"tarvex-check 0 0x" + key0 + "\n", "1\n"},
        {"tarvex-check 0 " + key0 + "\t\n", "1\n"},
        {"tarvex-tcp-version 256\r\n", "1 0 2 2 40 7 7e57 7a02\n"},
        {"close-device 256\n", "1\n"},
        {"close-device 999\n", "1\n"},
        {"tarvex-tcp-check-voltage 256\n", "1 0 0.000000\n"},
        {"tarvex-tcp-init-core 256 1\n", "1 0\n"},
        {"tarvex-tcp-close-core 256 1\n", "1 0\n"},
    });
    EXPECT_EQ(text("get-version\n").substr(0, 15), "tarvex-server v");
}

TEST_P(TextCommands, RegisterClientNamesTheDebugLines)
{
    start({"--probes", "1"});
    const std::string long_name(60, 'n');
    expect_replies({
        {"register-client ide-one\n", "1\n"},
        {"get-nb-tarvex\n", "1 1\n"},
        {"register-client " + long_name + "\n", "1\n"},
        {"get-nb-tarvex\n", "1 1\n"},
        {"register-client\n", "1\n"},
        {"get-nb-tarvex\n", "1 1\n"},
    });
    std::string log = server_.stderr_text();
    EXPECT_NE(log.find("get-nb-tarvex : command received from (ide-one)"), std::string::npos);
    EXPECT_NE(log.find("get-nb-tarvex : command received from (" + std::string(49, 'n') + ")"), std::string::npos);
    EXPECT_EQ(log.find(std::string(50, 'n')), std::string::npos) << "at most 49 characters kept";
    const std::string prefix = "get-nb-tarvex : command received from (";
    size_t last = log.rfind(prefix);
    ASSERT_NE(last, std::string::npos);
    EXPECT_EQ(log.substr(last, prefix.size() + 50), prefix + std::string(49, 'n') + ")")
        << "a missing name keeps the old one";
}

TEST_P(TextCommands, ExitEndsTheServerWithStatusZero)
{
    start({"--probes", "1"});
    std::string request = "tarvex-exit\n";
    ASSERT_EQ(client_.send_bytes(request.data(), request.size()), 0);
    EXPECT_TRUE(client_.wait_closed());
    EXPECT_EQ(server_.wait_exit(), 0);
}

TEST_P(TextCommands, DebugOperations)
{
    start({"--probes", "1"});
    std::string id = open_text(0);
    ASSERT_EQ(id, "256");
    expect_replies({
        {"tarvex-usb-current-mode 256\n", "1 0 0\n"},
        {"tarvex-usb-init-mode 256 0 1\n", "1 0\n"},
        {"tarvex-usb-current-mode 256\n", "1 0 2\n"},
        {"tarvex-usb-idcode 256 0\n", "1 0 2ba01477\n"},
        {"tarvex-usb-idcode 256 3\n", "1 0 2ba01477\n"},
        {"tarvex-tcp-write-debug-reg 256 e000edf0 a05f0003 0\n", "1 0\n"},
        {"tarvex-usb-get-status 256\n", "1 2\n"},
        {"tarvex-usb-state 256\n", "1 2\n"},
        {"tarvex-tcp-write-reg 256 f 8000101 0\n", "1 0\n"},
        {"tarvex-tcp-read-reg 256 f 0\n", "1 0 8000101\n"},
        {"tarvex-tcp-read-reg 256 f 4\n", "1 -4 0\n"},
        {"tarvex-tcp-read-regs 256 4\n", "1 -4\n"},
        {"tarvex-usb-set-swdclk 256 3\n", "1 0\n"},
        {"tarvex-tcp-speed 256 fa0 0\n", "1 4000\n"},
        {"tarvex-tcp-speed 256 3e8 1\n", "1 950\n"},
        {"tarvex-tcp-speed 999 fa0 0\n", "1 0\n"},
        {"tarvex-usb-get-rw-status 256\n", "1 0\n"},
        {"tarvex-usb-get-rw-status 999\n", "1 0\n"},
        {"tarvex-config-trace 256 1 2 1 0\n", "1 0 2000000\n"},
        {"tarvex-config-trace 256 1 2 1 2000001\n", "1 -4 2000001\n"},
        {"tarvex-config-trace 256 1 0 1 1000\n", "1 -4 1000\n"},
        {"tarvex-config-trace 256 0 0 1 1000\n", "1 0 1000\n"},
        {"tarvex-usb-reset 256\n", "1 0\n"},
        {"tarvex-tcp-assert-srst 256 1\n", "1 0\n"},
        {"tarvex-usb-mode-leave 256 4\n", "1 0\n"},
        {"tarvex-usb-mode-enter 256 4\n", "1 0\n"},
        {"tarvex-usb-mode-enter 256 1\n", "1 -4\n"},
        {"tarvex-usb-mode-leave 256 2\n", "1 -4\n"},
        {"tarvex-exit-mode 256\n", "1 0 0\n"},
        {"tarvex-usb-current-mode 256\n", "1 0 1\n"},
    });
    // DHCSR reads back with S_HALT (bit 17) set.
    std::string dhcsr = text("tarvex-tcp-read-debug-reg 256 e000edf0 0\n");
    ASSERT_EQ(dhcsr.substr(0, 4), "1 0 ");
    EXPECT_NE(std::stoul(dhcsr.substr(4), nullptr, 16) & 0x20000, 0u) << dhcsr;
    // The register number is hexadecimal: 10 is register 16.
    ASSERT_EQ(text("tarvex-tcp-read-reg 256 10 0\n").substr(0, 4), "1 0 ");
    EXPECT_EQ(server_.control("last 0").substr(3, 6), "f23310");
    // The socket lookup takes any connect_id, which reaches the probe as the key.
    EXPECT_EQ(text("tarvex-usb-idcode 77 0\n"), "1 0 2ba01477\n");
    EXPECT_EQ(server_.control("last 0").substr(3 + 24, 8), "00000000") << "the IDCODE command has no key";
    EXPECT_EQ(text("tarvex-usb-get-status 77\n"), "1 2\n");
    EXPECT_EQ(server_.control("last 0").substr(3 + 24, 8), "4d000000");
    // A clock the probe refuses is not reported as set.
    ASSERT_EQ(server_.control("fault 0 fault 1"), "ok");
    EXPECT_EQ(text("tarvex-tcp-speed 256 708 0\n"), "1 0\n");
}

TEST_P(TextCommands, DebugOperationsWithoutAnAssociation)
{
    start({"--probes", "1"});
    open_text(0);
    tarvex::connection other = server_.connect();
    const std::vector<exchange> table = {
        {"tarvex-usb-current-mode 256\n", "1 0 0\n"},
        {"tarvex-exit-mode 256\n", "1 0 0\n"},
        {"tarvex-usb-idcode 256 0\n", "1 0 0\n"},
        {"tarvex-tcp-read-debug-reg 256 e000edf0 0\n", "1 0 0\n"},
        {"tarvex-usb-get-status 256\n", "1 0\n"},
        {"tarvex-usb-init-mode 256 0 1\n", "1 0\n"},
        {"tarvex-config-trace 256 1 2 1 1234\n", "1 0 1234\n"},
        {"tarvex-tcp-read-reg 256 f 0\n", "1 0 0\n"},
        {"tarvex-usb-trace-read 999 4\n", std::string("1 0\n") + std::string(4, '\0')},
    };
    std::string before = server_.control("count 0");
    for (const exchange &e : table) {
        std::string reply;
        if (e.request.rfind("tarvex-usb-trace-read", 0) == 0) {
            ASSERT_EQ(other.send_bytes(e.request.data(), e.request.size()), 0);
            std::vector<uint8_t> got(e.reply.size());
            ASSERT_EQ(other.recv_exact(got.data(), got.size()), 0);
            EXPECT_EQ(std::string(got.begin(), got.end()), e.reply);
            continue;
        }
        ASSERT_EQ(other.text(e.request, &reply), 0);
        EXPECT_EQ(reply, e.reply) << e.request;
    }
    EXPECT_EQ(server_.control("count 0"), before) << "no probe traffic";
}

class TextMemory : public TextCommands
{
};

TEST_P(TextMemory, ReadsAndWritesAtTheBoundaries)
{
    start({"--probe", "ram=0x20000000:0x200000"});
    std::string id = open_text(0);
    struct mem_case {
        uint32_t addr;
        size_t len;
    };
    const mem_case cases[] = {{0x20000000, 4092}, {0x20001000, 4096},  {0x20003001, 1},
                              {0x20003103, 4097}, {0x20005002, 30000}, {0x20010000, 32700}};
    unsigned seed = 0;
    for (const mem_case &c : cases) {
        std::vector<uint8_t> data = pattern(c.len, ++seed);
        EXPECT_EQ(write_mem(id, c.addr, data), "1 0\n") << c.len;
        char request[96];
        // Word reads where the range allows them, bytes otherwise.
        bool words = c.addr % 4 == 0 && c.len % 4 == 0;
        snprintf(request, sizeof(request), "tarvex-tcp-read-mem %s %x %d %zx 0\n", id.c_str(), c.addr, words ? 4 : 1,
                 words ? c.len / 4 : c.len);
        std::vector<uint8_t> back;
        EXPECT_EQ(read_mem(request, &back), "1 0 " + std::to_string(c.len) + "\n");
        EXPECT_EQ(back, data) << c.len;
        char mem[64];
        snprintf(mem, sizeof(mem), "mem 0 %x 1", c.addr);
        char expected[16];
        snprintf(expected, sizeof(expected), "ok %02x", data[0]);
        EXPECT_EQ(server_.control(mem), expected) << "the simulated target holds it";
    }
    // 1 MiB: written in 32 KiB pieces (the staging buffer bound), read at once.
    std::vector<uint8_t> big = pattern(1 << 20, 99);
    for (size_t at = 0; at < big.size(); at += 16384) {
        std::vector<uint8_t> piece(big.begin() + static_cast<long>(at), big.begin() + static_cast<long>(at) + 16384);
        ASSERT_EQ(write_mem(id, static_cast<uint32_t>(0x20100000 + at), piece), "1 0\n") << at;
    }
    std::vector<uint8_t> back;
    EXPECT_EQ(read_mem("tarvex-tcp-read-mem " + id + " 20100000 4 40000 0\n", &back), "1 0 1048576\n");
    EXPECT_TRUE(back == big) << "1 MiB read back";
    // Size 0 moves nothing, whatever the count.
    EXPECT_EQ(read_mem("tarvex-tcp-read-mem " + id + " 20000000 0 4 0\n", &back), "1 0 0\n");
    // A failed read still sends its len bytes (zeros).
    EXPECT_EQ(read_mem("tarvex-tcp-read-mem " + id + " 60000000 4 400 0\n", &back), "1 -4 4096\n");
    EXPECT_EQ(back, std::vector<uint8_t>(4096, 0));
}

TEST_P(TextMemory, SmallReadFailingPartWayAnswersItsResultTheBytesReadAndZeros)
{
    start({"--probe", "ram=0x20000000:0x200000"});
    std::string id = open_text(0);
    // The last KiB of RAM, then a KiB past its end: the second chunk fails.
    std::vector<uint8_t> data = pattern(1024, 7);
    ASSERT_EQ(write_mem(id, 0x201FFC00, data), "1 0\n");
    std::vector<uint8_t> back;
    EXPECT_EQ(read_mem("tarvex-tcp-read-mem " + id + " 201ffc00 4 200 0\n", &back), "1 -4 2048\n");
    data.resize(2048, 0);
    EXPECT_EQ(back, data);
    // The connection goes on with a successful small read.
    EXPECT_EQ(read_mem("tarvex-tcp-read-mem " + id + " 201ffc00 4 4 0\n", &back), "1 0 16\n");
    EXPECT_EQ(back, std::vector<uint8_t>(data.begin(), data.begin() + 16));
}

TEST_P(TextMemory, WritePayloadInManySmallSegments)
{
    start({"--probes", "1"});
    std::string id = open_text(0);
    std::vector<uint8_t> data = pattern(3000, 5);
    data[10] = '\n';
    data[11] = 0;
    std::string line = "tarvex-tcp-write-mem " + id + " 20000100 1 bb8 0\n";
    ASSERT_EQ(client_.send_bytes(line.data(), line.size()), 0);
    usleep(50000);
    for (size_t at = 0; at < data.size(); at += 7) {
        ASSERT_EQ(client_.send_bytes(data.data() + at, std::min<size_t>(7, data.size() - at)), 0);
        if (at % 700 == 0)
            usleep(2000);
    }
    std::string reply;
    ASSERT_EQ(client_.recv_line(&reply), 0);
    EXPECT_EQ(reply, "1 0\n");
    std::vector<uint8_t> back;
    EXPECT_EQ(read_mem("tarvex-tcp-read-mem " + id + " 20000100 1 bb8 0\n", &back), "1 0 3000\n");
    EXPECT_EQ(back, data);
}

TEST_P(TextMemory, OversizeRequestsAreRefusedAndTheConnectionGoesOn)
{
    start({"--probes", "1"});
    std::string id = open_text(0);
    struct refusal {
        std::string request;
        std::string reply;
    };
    const refusal cases[] = {
        {"tarvex-tcp-read-mem " + id + " 20000000 4 200001 0\n", "1 -4 0\n"},   // 8 MiB + 4
        {"tarvex-tcp-read-mem " + id + " 20000000 ffff 10002 0\n", "1 -4 0\n"}, // above 32 bits
        {"tarvex-tcp-write-mem " + id + " 20000000 4 2000 0\n", "1 -4\n"},      // 32 KiB + the line
        {"tarvex-tcp-write-mem " + id + " 20000000 ffff ffffffff 0\n", "1 -4\n"},
        {"tarvex-tcp-write-mem " + id + " 20000000 1 4 0\nABCDEFGH", "1 -4\n"}, // more data than announced
        {"tarvex-tcp-write-mem " + id + " 20000000 1 4 0", "1 -4\n"},           // no end of line
    };
    std::string before = server_.control("count 0");
    for (const refusal &c : cases) {
        std::string reply;
        ASSERT_EQ(client_.send_bytes(c.request.data(), c.request.size()), 0);
        ASSERT_EQ(client_.recv_line(&reply), 0) << c.request;
        EXPECT_EQ(reply, c.reply) << c.request;
        EXPECT_EQ(text("get-nb-tarvex\n"), "1 1\n") << "after " << c.request;
    }
    EXPECT_EQ(server_.control("count 0"), before) << "nothing reached the probe";
    EXPECT_EQ(server_.control("mem 0 20000000 4"), "ok 00000000");
    EXPECT_NE(server_.stderr_text().find("refused"), std::string::npos);
}

// An item size and count as the request sends them (hexadecimal), with the
// replies of the read and of the write they make. The total is the 64-bit
// product of the 32-bit factors, held to the read limit (8 MiB) and to the
// write's 32 KiB request buffer, command line included (43 characters here).
struct size_row {
    const char *size;
    const char *count;
    const char *read_reply;
    const char *write_reply;
};

const size_row size_rows[] = {
    {"10000", "10000", "1 -4 0\n", "1 -4\n"},   // 4 GiB: 0 in 32 bits
    {"80000001", "2", "1 -4 0\n", "1 -4\n"},    // 2 in 32 bits
    {"2", "80000001", "1 -4 0\n", "1 -4\n"},    // the same from the count
    {"ffffffff", "2", "1 -4 0\n", "1 -4\n"},    // the size overflows 32 bits
    {"2", "ffffffff", "1 -4 0\n", "1 -4\n"},    // the count does
    {"4", "200000", "1 0 8388608\n", "1 -4\n"}, // exactly the read limit
    {"4", "200001", "1 -4 0\n", "1 -4\n"},      // one word past it
    {"800001", "1", "1 -4 0\n", "1 -4\n"},      // one byte past it in one item
    {"10000", "81", "1 -4 0\n", "1 -4\n"},      // one 64 KiB item past it
    {"1", "7fd5", "1 0 32725\n", "1 0\n"},      // exactly the write limit
    {"5", "1991", "1 0 32725\n", "1 0\n"},      // the same in 5-byte items
    {"1", "7fd6", "1 0 32726\n", "1 -4\n"},     // one byte past it
    {"10000", "1", "1 0 65536\n", "1 -4\n"},    // items wider than 16 bits move as bytes
    {"10004", "1", "1 0 65540\n", "1 -4\n"},    // not as the words of its low 16 bits
    {"2", "8", "1 0 16\n", "1 0\n"},            // 2-byte items within both limits
    {"ffffffff", "0", "1 0 0\n", "1 0\n"},      // count 0 moves nothing
    {"0", "ffffffff", "1 0 0\n", "1 0\n"},      // nor does size 0
};

class TextMemorySizes : public TextMemory
{
protected:
    const std::vector<uint8_t> marker_ = {0x4d, 0x41, 0x52, 0x4b, 0x5a, 0xa5, 0x0f, 0xf0};

    // Puts the marker at 0x20000000; the probe's command count before the request.
    std::string set_marker()
    {
        EXPECT_EQ(server_.control("poke 0 20000000 " + hex_of(marker_)), "ok");
        return server_.control("count 0");
    }
    // A working request after the row reads `expected` at 0x20000000, and
    // the simulated target holds it.
    void expect_at(const std::vector<uint8_t> &expected, const std::string &after)
    {
        std::vector<uint8_t> data;
        EXPECT_EQ(read_mem("tarvex-tcp-read-mem 256 20000000 4 2 0\n", &data), "1 0 8\n") << "after " << after;
        EXPECT_EQ(data, expected) << "after " << after;
        EXPECT_EQ(server_.control("mem 0 20000000 8"), "ok " + hex_of(expected)) << "after " << after;
    }
    void expect_read(const size_row &row, const std::string &request)
    {
        std::string before = set_marker();
        std::vector<uint8_t> data;
        std::string header = read_mem(request, &data);
        EXPECT_EQ(header, row.read_reply) << request;
        if (header.rfind("1 -4", 0) == 0) {
            EXPECT_EQ(server_.control("count 0"), before) << "refused before the probe: " << request;
        }
        if (data.size() >= marker_.size()) {
            EXPECT_TRUE(std::equal(marker_.begin(), marker_.end(), data.begin())) << request;
        }
        expect_at(marker_, request);
    }
    void expect_write(const size_row &row, const std::string &line)
    {
        std::string before = set_marker();
        bool accepted = std::string(row.write_reply) == "1 0\n";
        uint64_t len = accepted ? strtoull(row.size, nullptr, 16) * strtoull(row.count, nullptr, 16) : 0;
        ASSERT_LE(line.size() + len, 32768u) << line;
        // A refused write is sent without its payload: whatever the server
        // took as payload would be the next request.
        std::vector<uint8_t> payload = pattern(static_cast<size_t>(len), 11);
        EXPECT_EQ(write_raw(line, payload), row.write_reply) << line;
        if (!accepted) {
            EXPECT_EQ(server_.control("count 0"), before) << "refused before the probe: " << line;
        }
        bool overwritten = payload.size() >= marker_.size();
        expect_at(overwritten ? std::vector<uint8_t>(payload.begin(), payload.begin() + marker_.size()) : marker_,
                  line);
    }
};

TEST_P(TextMemorySizes, SizeTimesCountIsHeldToTheLimits)
{
    start({"--probe", "ram=0x20000000:0x800000"});
    ASSERT_EQ(open_text(0), "256") << "the table counts on this line length";
    for (const size_row &row : size_rows) {
        std::string args = std::string(" 20000000 ") + row.size + " " + row.count + " 0\n";
        expect_read(row, "tarvex-tcp-read-mem 256" + args);
        expect_write(row, "tarvex-tcp-write-mem 256" + args);
    }
}

TEST_P(TextMemory, ClientGoneMidWriteEndsTheWrite)
{
    start({"--probes", "1"});
    std::string id = open_text(0);
    {
        tarvex::connection quitter = server_.connect();
        std::string reply;
        ASSERT_EQ(quitter.text("open-device " + hex_key(key_of(default_serial(0))) + "\n", &reply), 0);
        std::string line = "tarvex-tcp-write-mem 257 20000200 1 3e8 0\n0123456789";
        ASSERT_EQ(quitter.send_bytes(line.data(), line.size()), 0);
        usleep(50000);
    } // closed before the payload is complete
    const std::string count_request = "get-nb-usb-client " + std::to_string(key_of(default_serial(0))) + "\n";
    for (int i = 0; i < 200 && text(count_request) != "1 1\n"; i++)
        usleep(10000);
    EXPECT_EQ(text(count_request), "1 1\n") << "its association released";
    EXPECT_EQ(text("get-nb-tcp-client\n"), "1 1\n") << "the writer was closed: only this client is left";
    EXPECT_EQ(server_.control("mem 0 20000200 4"), "ok 00000000") << "nothing written";
    std::vector<uint8_t> data = pattern(16, 3);
    EXPECT_EQ(write_mem(id, 0x20000200, data), "1 0\n");
}

// The payload's deadline is shortened to 1 s (10 s for real).
TEST_P(TextMemory, StalledWriterIsDroppedAfterItsTimeOut)
{
    server_.timing = "payload_ms=1000";
    start({"--probes", "1"});
    std::string id = open_text(0);
    tarvex::connection staller = server_.connect();
    std::string opened;
    ASSERT_EQ(staller.text("open-device " + hex_key(key_of(default_serial(0))) + "\n", &opened), 0);
    ASSERT_EQ(opened, "1 257\n");
    std::string line = "tarvex-tcp-write-mem 257 20000300 1 64 0\n0123";
    ASSERT_EQ(staller.send_bytes(line.data(), line.size()), 0);
    // The server waits a bounded time for the rest, then drops the writer
    // and serves the others again.
    EXPECT_TRUE(staller.wait_closed(30000));
    std::string reply;
    ASSERT_EQ(client_.text("get-nb-tarvex\n", &reply, 30000), 0);
    EXPECT_EQ(reply, "1 1\n");
    EXPECT_EQ(server_.control("mem 0 20000300 4"), "ok 00000000") << "nothing written";
    EXPECT_NE(server_.stderr_text().find("tcp-write-mem : no data from socket"), std::string::npos);
}

TEST_P(TextMemory, TraceReadsReturnTheDeliveredBytes)
{
    start({"--probes", "1"});
    std::string id = open_text(0);
    std::string reply;
    std::string off = "tarvex-usb-trace-read " + id + " 100\n";
    ASSERT_EQ(client_.send_bytes(off.data(), off.size()), 0);
    std::vector<uint8_t> got = drain();
    EXPECT_EQ(std::string(got.begin(), got.end()), "1 1\n") << "capture off: no data";
    ASSERT_EQ(text("tarvex-config-trace " + id + " 1 2 1 2000000\n"), "1 0 2000000\n");
    usleep(20000); // 2 MHz UART fills the probe's 1024-byte buffer in about 5 ms
    // More than the probe can deliver is clamped to its buffer.
    std::string request = "tarvex-usb-trace-read " + id + " 100000\n";
    ASSERT_EQ(client_.send_bytes(request.data(), request.size()), 0);
    got = drain();
    ASSERT_GE(got.size(), 4u);
    EXPECT_EQ(std::string(got.begin(), got.begin() + 4), "1 0\n");
    size_t delivered = got.size() - 4;
    EXPECT_GT(delivered, 0u);
    EXPECT_LE(delivered, 1023u);
    for (size_t i = 5; i < got.size(); i++)
        ASSERT_EQ(static_cast<uint8_t>(got[i - 1] + 1), got[i]) << i;
}

TEST_P(TextCommands, DebuggerSession)
{
    start({"--probes", "1"});
    std::string key = hex_key(key_of(default_serial(0)));
    expect_replies({
        {"register-client gdb\n", "1\n"},
        {"get-nb-tarvex\n", "1 1\n"},
        {"get-tarvex-descriptor 0\n", "1 " + key + " 7e57 7a02 " + default_serial(0) + "\n"},
        {"open-device " + key + "\n", "1 256\n"},
        {"tarvex-usb-init-mode 256 0 1\n", "1 0\n"},
        {"tarvex-tcp-write-debug-reg 256 e000edf0 a05f0003 0\n", "1 0\n"},
        {"tarvex-usb-state 256\n", "1 2\n"},
    });
    std::string regs = text("tarvex-tcp-read-regs 256 0\n");
    EXPECT_EQ(tarvex::reply_fields(regs).size(), 22u) << "the result and the register file's 20 words: " << regs;
    std::vector<uint8_t> block = pattern(256, 42);
    EXPECT_EQ(write_mem("256", 0x20000400, block), "1 0\n");
    std::vector<uint8_t> back;
    EXPECT_EQ(read_mem("tarvex-tcp-read-mem 256 20000400 4 40 0\n", &back), "1 0 256\n");
    EXPECT_EQ(back, block);
    expect_replies({
        {"tarvex-tcp-speed 256 708 0\n", "1 1800\n"},
        {"tarvex-config-trace 256 1 2 1 0\n", "1 0 2000000\n"},
    });
    std::string request = "tarvex-usb-trace-read 256 64\n";
    ASSERT_EQ(client_.send_bytes(request.data(), request.size()), 0);
    std::vector<uint8_t> trace = drain();
    ASSERT_GE(trace.size(), 4u);
    EXPECT_EQ(trace[0], '1');
    expect_replies({{"tarvex-config-trace 256 0 2 1 0\n", "1 0 0\n"}, {"close-device 256\n", "1\n"}});
    EXPECT_EQ(server_.control("state 0").find("mode=2"), std::string::npos) << "the last user left debug mode";
    std::string exit = "tarvex-exit\n";
    ASSERT_EQ(client_.send_bytes(exit.data(), exit.size()), 0);
    EXPECT_EQ(server_.wait_exit(), 0);
}

// The text side is the loop's; the USB side is UsbServer's, on both transports.
INSTANTIATE_TEST_SUITE_P(Fast, TextCommands, ::testing::Values("fast"), transport_name);
// The memory suites move megabytes: the fast transport keeps them quick.
INSTANTIATE_TEST_SUITE_P(Fast, TextMemory, ::testing::Values("fast"), transport_name);
INSTANTIATE_TEST_SUITE_P(Fast, TextMemorySizes, ::testing::Values("fast"), transport_name);

} // namespace
