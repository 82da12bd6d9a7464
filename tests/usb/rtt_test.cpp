// RTT capture through the real server and the virtual probe. The test plays
// the firmware: it lays control blocks into target RAM and advances WrOff
// behind the server's back through the launcher's control socket (poke/mem),
// while the core, with no firmware, leaves RAM alone. Cases check the bytes
// readers get, what the server wrote into the target (only RdOff, and down
// data with its WrOff), and the replies of every keyword; they wait on
// replies and on the server's status, never on a delay.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "usb_fixture.h"

namespace
{

using namespace usb_test;

constexpr uint32_t RAM = 0x20000000;
constexpr uint32_t RAM_SIZE = 0x20000;
constexpr uint32_t BLOCK = 0x20001000;
constexpr uint32_t UP0 = 0x20002000;   // 64 bytes
constexpr uint32_t UP1 = 0x20002100;   // 16 bytes
constexpr uint32_t DOWN0 = 0x20002200; // 16 bytes
constexpr uint32_t NAME0 = 0x20002300;

void put_u32(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

struct channel_desc {
    uint32_t name, buffer, size, wr, rd, flags;
};

// A control block's bytes: ID, counts, descriptors.
std::vector<uint8_t> block_bytes(const std::vector<channel_desc> &up, const std::vector<channel_desc> &down,
                                 const char *id = "SEGGER RTT", int32_t up_count = -1, int32_t down_count = -1)
{
    std::vector<uint8_t> b(24 + 24 * (up.size() + down.size()), 0);
    memcpy(b.data(), id, strlen(id));
    put_u32(b, 16, static_cast<uint32_t>(up_count >= 0 ? up_count : static_cast<int32_t>(up.size())));
    put_u32(b, 20, static_cast<uint32_t>(down_count >= 0 ? down_count : static_cast<int32_t>(down.size())));
    size_t at = 24;
    for (const auto *list : {&up, &down})
        for (const channel_desc &c : *list) {
            for (uint32_t v : {c.name, c.buffer, c.size, c.wr, c.rd, c.flags}) {
                put_u32(b, at, v);
                at += 4;
            }
        }
    return b;
}

const std::vector<channel_desc> UPS = {{NAME0, UP0, 64, 0, 0, 0}, {0, UP1, 16, 0, 0, 0}};
const std::vector<channel_desc> DOWNS = {{0, DOWN0, 16, 0, 0, 0}};

class Rtt : public UsbServer
{
protected:
    void begin(const std::vector<std::string> &server_args = {"-d3"})
    {
        start({"--probes", "1"}, server_args);
        open_swd();
        clear_ram();
        poke(NAME0, std::vector<uint8_t>{'T', 'e', 'r', 'm', 'i', 'n', 'a', 'l', 0});
    }
    // Capture of the block at BLOCK, attached.
    void begin_attached(const std::vector<std::string> &server_args = {"-d3"})
    {
        begin(server_args);
        lay_block();
        ASSERT_EQ(start_at(client_, 256, BLOCK), "1 0\n");
        ASSERT_TRUE(state_becomes("attached")) << status();
    }
    void clear_ram() { poke(BLOCK, std::vector<uint8_t>(0x1400, 0)); }
    void poke(uint32_t addr, const std::vector<uint8_t> &bytes)
    {
        for (size_t at = 0; at < bytes.size(); at += 512) {
            std::vector<uint8_t> part(bytes.begin() + static_cast<long>(at),
                                      bytes.begin() + static_cast<long>(std::min(bytes.size(), at + 512)));
            ASSERT_EQ(server_.control("poke 0 " + hex_key(addr + static_cast<uint32_t>(at)) + " " + hex_of(part)),
                      "ok");
        }
    }
    std::vector<uint8_t> peek(uint32_t addr, uint32_t len)
    {
        std::string reply = server_.control("mem 0 " + hex_key(addr) + " " + std::to_string(len));
        std::vector<uint8_t> out;
        for (size_t i = 3; i + 1 < reply.size(); i += 2)
            out.push_back(static_cast<uint8_t>(strtoul(reply.substr(i, 2).c_str(), nullptr, 16)));
        return out;
    }
    uint32_t peek_u32(uint32_t addr)
    {
        std::vector<uint8_t> b = peek(addr, 4);
        return b.size() == 4 ? b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24 : 0xFFFFFFFF;
    }
    void lay_block(uint32_t at = BLOCK) { poke(at, block_bytes(UPS, DOWNS)); }
    // Offsets of up channel ch's descriptor fields in the block at `at`.
    static uint32_t up_field(uint32_t at, int ch, uint32_t field) { return at + 24 + 24 * ch + field; }
    static uint32_t down_field(uint32_t at, int ch, uint32_t field) { return at + 24 + 24 * (2 + ch) + field; }
    // The firmware writes bytes into up channel ch (they fit its free space).
    void firmware_writes(int ch, const std::string &bytes, uint32_t at = BLOCK)
    {
        uint32_t buffer = UPS[ch].buffer, size = UPS[ch].size;
        uint32_t wr = peek_u32(up_field(at, ch, 12));
        for (char c : bytes) {
            poke(buffer + wr, {static_cast<uint8_t>(c)});
            wr = (wr + 1) % size;
        }
        std::vector<uint8_t> w(4);
        put_u32(w, 0, wr);
        poke(up_field(at, ch, 12), w);
        written_[ch] += bytes.size();
    }
    // The server drained channel ch: its RdOff reached WrOff, and the ring
    // holds everything the firmware wrote (the loop appends once the poll
    // that wrote RdOff is back).
    bool drained(int ch, uint32_t at = BLOCK)
    {
        std::string captured = " " + std::to_string(written_[ch]) + " ";
        return tarvex_test::eventually(
            [&] {
                return peek_u32(up_field(at, ch, 16)) == peek_u32(up_field(at, ch, 12)) &&
                       line_of(status(), "up " + std::to_string(ch)).find(captured) != std::string::npos;
            },
            10000);
    }
    size_t written_[2] = {0, 0};
    std::string status(tarvex::connection &c, uint32_t assoc = 256)
    {
        std::string line;
        std::string request = "tarvex-rtt-status " + std::to_string(assoc) + "\n";
        EXPECT_EQ(c.send_bytes(request.data(), request.size()), 0);
        EXPECT_EQ(c.recv_line(&line), 0);
        std::istringstream in(line);
        int one = 0, result = 0;
        size_t len = 0;
        in >> one >> result >> len;
        EXPECT_EQ(result, 0) << line;
        std::string body(len, '\0');
        EXPECT_EQ(c.recv_exact(&body[0], len), 0);
        return body;
    }
    std::string status() { return status(client_); }
    static std::string line_of(const std::string &text, const std::string &word)
    {
        size_t at = text.find(word + " ");
        if (at == std::string::npos)
            return "";
        return text.substr(at, text.find('\n', at) - at);
    }
    bool state_becomes(const std::string &state, tarvex::connection &c, uint32_t assoc = 256)
    {
        return tarvex_test::eventually([&] { return line_of(status(c, assoc), "state") == "state " + state; }, 10000);
    }
    bool state_becomes(const std::string &state) { return state_becomes(state, client_); }
    std::string start_at(tarvex::connection &c, uint32_t assoc, uint32_t addr, unsigned flags = 0)
    {
        std::string reply;
        EXPECT_EQ(c.text("tarvex-rtt-start " + std::to_string(assoc) + " " + std::to_string(flags) + " " +
                             hex_key(RAM) + " " + hex_key(RAM_SIZE) + (addr != 0 ? " " + hex_key(addr) : "") + "\n",
                         &reply),
                  0);
        return reply;
    }
    struct read_reply {
        int result = 99;
        uint64_t start = 0, lost = 0;
        std::string bytes;
    };
    static int send_read(tarvex::connection &c, uint32_t assoc, int ch, const std::string &pos, unsigned max,
                         unsigned wait_ms)
    {
        std::string request = "tarvex-rtt-read " + std::to_string(assoc) + " " + std::to_string(ch) + " " + pos + " " +
                              std::to_string(max) + " " + std::to_string(wait_ms) + "\n";
        return c.send_bytes(request.data(), request.size());
    }
    static read_reply read_answer(tarvex::connection &c, int timeout_ms = 20000)
    {
        read_reply r;
        std::string line;
        EXPECT_EQ(c.recv_line(&line, timeout_ms), 0);
        std::istringstream in(line);
        int one = 0;
        size_t len = 0;
        in >> one >> r.result >> r.start >> r.lost >> len;
        r.bytes.assign(len, '\0');
        if (len > 0) {
            EXPECT_EQ(c.recv_exact(&r.bytes[0], len), 0);
        }
        return r;
    }
    read_reply read(tarvex::connection &c, uint32_t assoc, int ch, const std::string &pos, unsigned max = 16384,
                    unsigned wait_ms = 0)
    {
        EXPECT_EQ(send_read(c, assoc, ch, pos, max, wait_ms), 0);
        return read_answer(c);
    }
    read_reply read(int ch, const std::string &pos, unsigned wait_ms = 0)
    {
        return read(client_, 256, ch, pos, 16384, wait_ms);
    }
    struct other {
        tarvex::connection c;
        uint32_t assoc = 0;
    };
    other join()
    {
        other k;
        k.c = server_.connect();
        EXPECT_EQ(tarvex::open_device(k.c, key_of(default_serial(0)), &k.assoc), 0);
        return k;
    }
};

// Attach at the address; the firmware's bytes reach two readers at their
// own positions identically; the server wrote RdOff of the drained channel
// and nothing else of the block or its buffers.
TEST_P(Rtt, ReadersSeeTheFirmwaresBytesAndOnlyRdOffIsWritten)
{
    ASSERT_NO_FATAL_FAILURE(begin_attached());
    std::string s = status();
    EXPECT_EQ(line_of(s, "address"), "address 0x20001000");
    EXPECT_EQ(line_of(s, "up 0"), "up 0 64 skip 0 0 Terminal") << s;
    EXPECT_EQ(line_of(s, "up 1"), "up 1 16 skip 0 0 -") << s;
    EXPECT_EQ(line_of(s, "down 0"), "down 0 16 skip 0 0 -") << s;
    std::vector<uint8_t> before = peek(BLOCK, 0x1400);

    firmware_writes(0, "hello, ");
    ASSERT_TRUE(drained(0));
    firmware_writes(0, "world");
    ASSERT_TRUE(drained(0));
    std::vector<uint8_t> after = peek(BLOCK, 0x1400);
    // Only channel 0's RdOff differs; its WrOff and data were the firmware's.
    std::vector<uint8_t> expected = before;
    for (uint32_t a = UP0; a < UP0 + 12; a++)
        expected[a - BLOCK] = after[a - BLOCK];
    for (uint32_t f : {12u, 16u})
        for (uint32_t i = 0; i < 4; i++)
            expected[up_field(BLOCK, 0, f) - BLOCK + i] = after[up_field(BLOCK, 0, f) - BLOCK + i];
    EXPECT_EQ(after, expected);
    EXPECT_EQ(peek_u32(up_field(BLOCK, 0, 16)), 12u);

    read_reply all = read(client_, 256, 0, "0", 16384, 5000);
    EXPECT_EQ(all.result, 0);
    EXPECT_EQ(all.start, 0u);
    EXPECT_EQ(all.lost, 0u);
    EXPECT_EQ(all.bytes, "hello, world");
    other b = join();
    read_reply tail = read(b.c, b.assoc, 0, "7");
    EXPECT_EQ(tail.start, 7u);
    EXPECT_EQ(tail.bytes, "world") << "a second reader at its own position sees the same bytes";
    read_reply part = read(b.c, b.assoc, 0, "0", 5);
    EXPECT_EQ(part.bytes, "hello");
    EXPECT_EQ(read(0, "12").bytes, "") << "nothing past the end";
    EXPECT_EQ(line_of(status(), "up 0"), "up 0 64 skip 12 0 Terminal");
}

// A ring smaller than what flowed: a reader from 0 is told exactly how many
// bytes it lost, and one that never read held nothing up.
TEST_P(Rtt, ASlowReaderIsToldExactlyWhatItLost)
{
    ASSERT_NO_FATAL_FAILURE(begin_attached({"-d3", "--rtt-ring-kib", "1"}));
    std::string sent;
    for (int round = 0; round < 40; round++) {
        std::string chunk;
        for (int i = 0; i < 60; i++)
            chunk.push_back(static_cast<char>('A' + (round * 60 + i) % 26));
        firmware_writes(0, chunk);
        ASSERT_TRUE(drained(0));
        sent += chunk;
    }
    ASSERT_EQ(sent.size(), 2400u);
    read_reply r = read(client_, 256, 0, "2399", 16384, 5000);
    ASSERT_EQ(r.bytes, sent.substr(2399)) << "the last byte is kept";
    r = read(0, "0");
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.start, 2400u - 1024u);
    EXPECT_EQ(r.lost, 2400u - 1024u);
    EXPECT_EQ(r.bytes, sent.substr(2400 - 1024));
    EXPECT_EQ(line_of(status(), "up 0"), "up 0 64 skip 2400 1376 Terminal");
}

// A waiting read is answered when its channel gets bytes, when its wait
// passes (no bytes), when capture stops, and when the probe goes.
TEST_P(Rtt, AWaitingReadIsAnsweredOnBytesTimeoutStopAndUnplug)
{
    ASSERT_NO_FATAL_FAILURE(begin_attached());
    other reader = join();

    ASSERT_EQ(send_read(reader.c, reader.assoc, 1, "end", 100, 30000), 0);
    EXPECT_FALSE(reader.c.readable(0)) << "no bytes yet: the read waits";
    firmware_writes(1, "ping");
    read_reply r = read_answer(reader.c);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.start, 0u) << "\"end\" stood for the position when the read began";
    EXPECT_EQ(r.bytes, "ping");

    r = read(reader.c, reader.assoc, 1, "4", 100, 50);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.start, 4u);
    EXPECT_EQ(r.bytes, "") << "the wait passed";

    ASSERT_EQ(send_read(reader.c, reader.assoc, 1, "4", 100, 30000), 0);
    EXPECT_FALSE(reader.c.readable(0));
    EXPECT_EQ(client_.text("tarvex-rtt-stop 256\n", &r.bytes), 0);
    EXPECT_EQ(r.bytes, "1 0\n");
    r = read_answer(reader.c);
    EXPECT_EQ(r.result, tarvex_wire::RESULT_RTT_STOPPED);
    EXPECT_EQ(read(reader.c, reader.assoc, 1, "0").bytes, "ping") << "what was captured stays readable";

    ASSERT_EQ(start_at(client_, 256, BLOCK), "1 0\n");
    ASSERT_TRUE(state_becomes("attached"));
    ASSERT_EQ(send_read(reader.c, reader.assoc, 1, "4", 100, 30000), 0);
    EXPECT_FALSE(reader.c.readable(0));
    ASSERT_EQ(server_.control("unplug 0"), "ok");
    r = read_answer(reader.c);
    EXPECT_EQ(r.result, tarvex_wire::RESULT_RTT_GONE);
    EXPECT_EQ(line_of(status(), "state"), "state gone");
}

// While another client holds the probe, capture pauses and nothing is
// drained; the hold's end resumes it and nothing was lost.
TEST_P(Rtt, AHoldPausesCaptureAndItsEndResumesWithNothingLost)
{
    ASSERT_NO_FATAL_FAILURE(begin_attached());
    other holder = join();
    int result = 99;
    ASSERT_EQ(tarvex::hold_probe(holder.c, holder.assoc, 0, &result), 0);
    ASSERT_EQ(result, 0);
    ASSERT_TRUE(state_becomes("paused"));
    firmware_writes(0, "held");
    std::string s = status();
    EXPECT_EQ(line_of(s, "up 0"), "up 0 64 skip 0 0 Terminal");
    EXPECT_EQ(peek_u32(up_field(BLOCK, 0, 16)), 0u) << "nothing drained during the hold";
    ASSERT_EQ(tarvex::release_probe(holder.c, holder.assoc, &result), 0);
    ASSERT_EQ(result, 0);
    ASSERT_TRUE(drained(0));
    EXPECT_EQ(read(0, "0", 5000).bytes, "held");
    EXPECT_TRUE(server_.wait_stderr("RTT capture paused while another client holds the probe"));
    EXPECT_TRUE(server_.wait_stderr("RTT capture resumed"));
}

// A holder that wants capture itself keeps it running through its hold.
TEST_P(Rtt, AHolderThatWantsCaptureKeepsItRunning)
{
    begin();
    lay_block();
    int result = 99;
    ASSERT_EQ(tarvex::hold_probe(client_, 256, 0, &result), 0);
    ASSERT_EQ(start_at(client_, 256, BLOCK), "1 0\n");
    ASSERT_TRUE(state_becomes("attached"));
    firmware_writes(0, "mine");
    ASSERT_TRUE(drained(0));
    EXPECT_EQ(read(0, "0", 5000).bytes, "mine");
}

// Blocks that fail a check are refused with the reason in the status and
// nothing is written into them.
TEST_P(Rtt, HostileBlocksAreRefusedAndLeftAlone)
{
    struct hostile {
        const char *what;
        std::vector<uint8_t> bytes;
    };
    const hostile cases[] = {
        {"wrong ID", block_bytes(UPS, DOWNS, "SEGGER RTX")},
        {"too many up channels", block_bytes(UPS, DOWNS, "SEGGER RTT", 33, 1)},
        {"no channel", block_bytes({}, {}, "SEGGER RTT", 0, 0)},
        {"buffer outside RAM", block_bytes({{0, 0x30000000, 64, 0, 0, 0}}, {})},
        {"buffer running past RAM", block_bytes({{0, RAM + RAM_SIZE - 8, 64, 0, 0, 0}}, {})},
        {"size 1", block_bytes({{0, UP0, 1, 0, 0, 0}}, {})},
        {"write offset past size", block_bytes({{0, UP0, 64, 64, 0, 0}}, {})},
        {"read offset past size", block_bytes({{0, UP0, 64, 3, 70, 0}}, {})},
        {"name not ended", block_bytes({{0x20002400, UP0, 64, 3, 0, 0}}, {})},
    };
    begin();
    poke(0x20002400, std::vector<uint8_t>(64, 'x'));
    for (const hostile &h : cases) {
        SCOPED_TRACE(h.what);
        clear_ram();
        poke(0x20002400, std::vector<uint8_t>(64, 'x'));
        poke(BLOCK, h.bytes);
        poke(UP0, std::vector<uint8_t>{'a', 'b', 'c'});
        std::vector<uint8_t> before = peek(BLOCK, 0x1400);
        ASSERT_EQ(start_at(client_, 256, BLOCK), "1 0\n");
        ASSERT_TRUE(tarvex_test::eventually(
            [&] { return line_of(status(), "looks") != "looks 0" && line_of(status(), "refused") != "refused -"; },
            10000))
            << status();
        std::string s = status();
        EXPECT_EQ(line_of(s, "state"), "state searching");
        EXPECT_EQ(line_of(s, "address"), "address 0x0");
        EXPECT_EQ(peek(BLOCK, 0x1400), before) << "nothing written";
        EXPECT_EQ(read(0, "0").bytes, "");
        ASSERT_EQ(client_.text("tarvex-rtt-stop 256\n", &s), 0);
    }
}

// A block wiped between polls detaches; a scan finds the new one at another
// address, and the channel's positions go on from where they were.
TEST_P(Rtt, AWipedBlockDetachesAndANewOneIsFoundByTheScan)
{
    begin();
    lay_block();
    ASSERT_EQ(start_at(client_, 256, 0), "1 0\n");
    ASSERT_TRUE(state_becomes("attached")) << status();
    firmware_writes(0, "first ");
    ASSERT_TRUE(drained(0));
    clear_ram();
    constexpr uint32_t MOVED = 0x20001800;
    poke(NAME0, std::vector<uint8_t>{'T', 'e', 'r', 'm', 'i', 'n', 'a', 'l', 0});
    lay_block(MOVED);
    ASSERT_TRUE(tarvex_test::eventually([&] { return line_of(status(), "address") == "address 0x20001800"; }, 10000))
        << status();
    firmware_writes(0, "second", MOVED);
    ASSERT_TRUE(drained(0, MOVED));
    EXPECT_EQ(read(0, "6", 5000).bytes, "second");
    EXPECT_EQ(read(0, "0").bytes, "first second") << "positions never restart";
    EXPECT_TRUE(server_.wait_stderr("detached"));
    EXPECT_TRUE(server_.wait_stderr("RTT block attached at 0x20001800"));
}

// Down channel bytes are queued and written in order into the target's
// buffer as the firmware frees space, with its WrOff.
TEST_P(Rtt, DownBytesAreWrittenInOrderAsSpaceFrees)
{
    ASSERT_NO_FATAL_FAILURE(begin_attached());
    std::string payload = "0123456789abcdefghij"; // more than the 15 bytes that fit
    std::string request = "tarvex-rtt-write 256 0 " + hex_key(static_cast<uint32_t>(payload.size())) + "\n" + payload;
    ASSERT_EQ(client_.send_bytes(request.data(), request.size()), 0);
    std::string line;
    ASSERT_EQ(client_.recv_line(&line), 0);
    EXPECT_EQ(line, "1 0 20\n");
    ASSERT_TRUE(tarvex_test::eventually([&] { return peek_u32(down_field(BLOCK, 0, 12)) == 15; }, 10000));
    std::vector<uint8_t> got = peek(DOWN0, 15);
    EXPECT_EQ(std::string(got.begin(), got.end()), payload.substr(0, 15));
    EXPECT_EQ(peek_u32(down_field(BLOCK, 0, 16)), 0u) << "RdOff is the firmware's";
    // The firmware reads it all: the rest follows, wrapping.
    std::vector<uint8_t> rd(4);
    put_u32(rd, 0, 15);
    poke(down_field(BLOCK, 0, 16), rd);
    ASSERT_TRUE(tarvex_test::eventually([&] { return peek_u32(down_field(BLOCK, 0, 12)) == 4; }, 10000));
    got = peek(DOWN0, 16);
    EXPECT_EQ(got[15], 'f');
    EXPECT_EQ(std::string(got.begin(), got.begin() + 4), "ghij");
    EXPECT_TRUE(tarvex_test::eventually([&] { return line_of(status(), "down 0") == "down 0 16 skip 0 20 -"; }, 10000))
        << status();
}

// Wants: capture runs while any client wants it; one leaving leaves the
// other's; no want is left behind after disconnects.
TEST_P(Rtt, WantsSurviveOneClientLeavingAndNoneLeaksAfterDisconnects)
{
    begin();
    lay_block();
    other a = join();
    other b = join();
    ASSERT_EQ(start_at(a.c, a.assoc, BLOCK), "1 0\n");
    ASSERT_EQ(start_at(b.c, b.assoc, BLOCK), "1 0\n");
    ASSERT_EQ(start_at(b.c, b.assoc, BLOCK), "1 0\n") << "a second start adds no second want";
    EXPECT_EQ(line_of(status(), "wants"), "wants 2");
    ASSERT_EQ(start_at(client_, 256, BLOCK, tarvex_wire::RTT_START_PLACE_ONLY), "1 0\n");
    EXPECT_EQ(line_of(status(), "wants"), "wants 2") << "placing only adds no want";
    ASSERT_TRUE(state_becomes("attached"));
    a.c.close();
    ASSERT_TRUE(tarvex_test::eventually([&] { return line_of(status(), "wants") == "wants 1"; }, 10000));
    firmware_writes(0, "still");
    ASSERT_TRUE(drained(0)) << "capture goes on for the client that stays";
    b.c.close();
    ASSERT_TRUE(state_becomes("stopped"));
    EXPECT_EQ(line_of(status(), "wants"), "wants 0");
    std::string reply;
    EXPECT_TRUE(tarvex_test::eventually([&] {
        return client_.text("get-nb-usb-client " + std::to_string(key_of(default_serial(0))) + "\n", &reply) == 0 &&
               reply == "1 1\n";
    })) << "the two leavers' associations went: "
        << reply;
    EXPECT_EQ(read(0, "0", 5000).bytes, "still") << "a later reader still reads what was captured";
    EXPECT_EQ(read(0, "0", 5000).result, 0);
    EXPECT_EQ(read(0, "5", 5000).result, tarvex_wire::RESULT_RTT_STOPPED) << "nothing more comes: no wait";
}

// Every keyword's bad arguments get a status reply, never a crash or a hang.
TEST_P(Rtt, BadArgumentsOfEveryKeywordGetAStatus)
{
    begin();
    other stranger = join();
    const struct {
        std::string request, reply;
    } cases[] = {
        {"tarvex-rtt-start\n", "1 -4\n"},
        {"tarvex-rtt-start 256\n", "1 -4\n"},
        {"tarvex-rtt-start 999 0 20000000 20000\n", "1 -4\n"},
        {"tarvex-rtt-start " + std::to_string(stranger.assoc) + " 0 20000000 20000\n", "1 -4\n"},
        {"tarvex-rtt-start 256 2 20000000 20000\n", "1 -4\n"},
        {"tarvex-rtt-start 256 0 20000000 0\n", "1 -4\n"},
        {"tarvex-rtt-start 256 0 ffffff00 1000\n", "1 -4\n"},
        {"tarvex-rtt-start 256 0 20000000 20000 20000002\n", "1 -4\n"},
        {"tarvex-rtt-start 256 0 20000000 20000 30000000\n", "1 -4\n"},
        {"tarvex-rtt-start 256 0 20000000 100001\n", "1 -4\n"}, // a scan past the limit
        {"tarvex-rtt-start 256 x 20000000 20000\n", "1 -4\n"},
        {"tarvex-rtt-start 256 0 2000zz00 20000\n", "1 -4\n"},
        {"tarvex-rtt-start 256 0 -20000000 20000\n", "1 -4\n"},
        {"tarvex-rtt-stop\n", "1 -4\n"},
        {"tarvex-rtt-stop abc\n", "1 -4\n"},
        {"tarvex-rtt-stop 256 1\n", "1 -4\n"},
        {"tarvex-rtt-status\n", "1 -4 0\n"},
        {"tarvex-rtt-status 4294967296\n", "1 -4 0\n"},
        {"tarvex-rtt-read 256 0 0 16\n", "1 -4 0 0 0\n"},
        {"tarvex-rtt-read 256 32 0 16 0\n", "1 -4 0 0 0\n"},
        {"tarvex-rtt-read 256 -1 0 16 0\n", "1 -4 0 0 0\n"},
        {"tarvex-rtt-read 256 0 -5 16 0\n", "1 -4 0 0 0\n"},
        {"tarvex-rtt-read 256 0 18446744073709551616 16 0\n", "1 -4 0 0 0\n"},
        {"tarvex-rtt-read 256 0 ends 16 0\n", "1 -4 0 0 0\n"},
        {"tarvex-rtt-read 256 0 0 16385 0\n", "1 -4 0 0 0\n"},
        {"tarvex-rtt-read 256 0 0 16 60001\n", "1 -4 0 0 0\n"},
        {"tarvex-rtt-read " + std::to_string(stranger.assoc) + " 0 0 16 0\n", "1 -4 0 0 0\n"},
        {"tarvex-rtt-read 256 0 18446744073709551615 16 0\n", "1 -8 18446744073709551615 0 0\n"},
        {"tarvex-rtt-write 256 0\n", "1 -4 0\n"},
        {"tarvex-rtt-write 256 0 1001\nx", "1 -4 0\n"},
        {"tarvex-rtt-write 256 0 zz\n", "1 -4 0\n"},
        {"tarvex-rtt-write 256 0 1\nxy", "1 -4 0\n"},
        {"tarvex-rtt-write 256 33 1\nx", "1 -4 0\n"},
        {"tarvex-rtt-write 256 0 1\nx", "1 -8 0\n"},
        {"tarvex-rtt-write " + std::to_string(stranger.assoc) + " 0 1\nx", "1 -4 0\n"},
    };
    for (const auto &k : cases) {
        std::string reply;
        ASSERT_EQ(client_.send_bytes(k.request.data(), k.request.size()), 0) << k.request;
        ASSERT_EQ(client_.recv_line(&reply), 0) << k.request;
        EXPECT_EQ(reply, k.reply) << k.request;
    }
    std::string reply;
    EXPECT_EQ(client_.text("get-nb-tarvex\n", &reply), 0);
    EXPECT_EQ(reply, "1 1\n") << "the connection still works";
    EXPECT_EQ(line_of(status(), "wants"), "wants 0");
}

// Unplugged and plugged in again while still wanted: capture looks again
// once the probe is back in its mode, and what came before stays.
TEST_P(Rtt, CaptureResumesWhenTheProbeComesBack)
{
    ASSERT_NO_FATAL_FAILURE(begin_attached());
    firmware_writes(0, "before ");
    ASSERT_TRUE(drained(0));
    ASSERT_EQ(server_.control("unplug 0"), "ok");
    ASSERT_TRUE(state_becomes("gone"));
    ASSERT_EQ(server_.control("plug 0"), "ok");
    ASSERT_TRUE(server_.wait_stderr("plugged in again")) << server_.stderr_tail();
    std::string reply;
    ASSERT_EQ(client_.text("tarvex-usb-init-mode 256 0 1\n", &reply), 0);
    ASSERT_TRUE(state_becomes("attached")) << status();
    firmware_writes(0, "after");
    ASSERT_TRUE(drained(0));
    EXPECT_EQ(read(0, "7", 5000).bytes, "after");
    EXPECT_EQ(read(0, "0").bytes, "before after");
}

// A reset the server passes on detaches the block; capture looks again,
// finds it, and the channel's position goes on.
TEST_P(Rtt, AResetDetachesAndTheBlockIsFoundAgain)
{
    ASSERT_NO_FATAL_FAILURE(begin_attached());
    firmware_writes(0, "up ");
    ASSERT_TRUE(drained(0));
    std::string looks = line_of(status(), "looks");
    std::string reply;
    for (const char *reset : {"tarvex-usb-reset 256\n", "tarvex-tcp-assert-srst 256 1\n",
                              "tarvex-tcp-write-debug-reg 256 e000ed0c 5fa0004 0\n"}) {
        SCOPED_TRACE(reset);
        ASSERT_EQ(client_.text(reset, &reply), 0);
        EXPECT_EQ(reply.substr(0, 2), "1 ");
        ASSERT_TRUE(tarvex_test::eventually([&] { return line_of(status(), "looks") != looks; }, 10000))
            << "the block was looked for again";
        looks = line_of(status(), "looks");
        ASSERT_TRUE(state_becomes("attached"));
    }
    EXPECT_TRUE(server_.wait_stderr("detached: the target was reset"));
    firmware_writes(0, "again");
    ASSERT_TRUE(drained(0));
    EXPECT_EQ(read(0, "0").bytes, "up again");
}

// A reset while another client holds the probe, with bytes of the run
// before it still pending: the block that run leaves in RAM is not taken
// (a start-up clears that memory under the poll); capture waits for the
// block set up again and reads the new run from its start.
TEST_P(Rtt, AfterAResetTheOldRunsBlockWaitsForItsSetUp)
{
    ASSERT_NO_FATAL_FAILURE(begin_attached());
    firmware_writes(0, "up ");
    ASSERT_TRUE(drained(0));
    other holder = join();
    int result = 99;
    ASSERT_EQ(tarvex::hold_probe(holder.c, holder.assoc, 0, &result), 0);
    ASSERT_TRUE(state_becomes("paused"));
    firmware_writes(0, "stale");
    std::string reply;
    ASSERT_EQ(holder.c.text("tarvex-usb-reset " + std::to_string(holder.assoc) + "\n", &reply), 0);
    EXPECT_EQ(reply, "1 0\n");
    ASSERT_EQ(tarvex::release_probe(holder.c, holder.assoc, &result), 0);
    ASSERT_TRUE(tarvex_test::eventually(
        [&] { return line_of(status(), "refused") == "refused the block of the run before the reset"; }, 10000))
        << status();
    EXPECT_EQ(line_of(status(), "state"), "state searching");
    EXPECT_EQ(peek_u32(up_field(BLOCK, 0, 16)), 3u) << "nothing of the old run drained";

    // The new run's start-up: the block and its buffer cleared, set up again.
    poke(BLOCK, std::vector<uint8_t>(UP0 + UPS[0].size - BLOCK, 0));
    lay_block();
    written_[0] = 3;
    firmware_writes(0, "new");
    ASSERT_TRUE(state_becomes("attached")) << status();
    ASSERT_TRUE(drained(0)) << status();
    EXPECT_EQ(read(0, "0").bytes, "up new");
    EXPECT_TRUE(server_.wait_stderr("no RTT block taken: the block of the run before the reset"));
}

INSTANTIATE_TEST_SUITE_P(Transports, Rtt, ::testing::Values("fast", "umockdev"), transport_name);

} // namespace
