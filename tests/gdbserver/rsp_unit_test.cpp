// The framing layer alone: byte streams in, events out; packet fields.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gdb_refusal.h"
#include "rsp_framing.h"

namespace
{

using namespace tarvex_gdb;

std::vector<rsp_event> feed_pieces(const std::vector<std::string> &pieces, size_t max_body = 64)
{
    rsp_reader reader(max_body);
    std::vector<rsp_event> events;
    for (const std::string &p : pieces)
        reader.feed(reinterpret_cast<const uint8_t *>(p.data()), p.size(), &events);
    return events;
}

// Events as text: "P:body", "BAD", "LONG", "INT", "+", "-".
std::string describe(const std::vector<rsp_event> &events)
{
    std::string text;
    for (const rsp_event &e : events) {
        static const char *const names[] = {"P:", "BAD", "LONG", "INT", "+", "-"};
        text += std::string(names[e.kind]) + (e.kind == RSP_PACKET ? e.body : "") + " ";
    }
    return text;
}

struct framing_case {
    const char *what;
    std::vector<std::string> pieces;
    const char *events;
};

TEST(RspReader, ByteStreamsToEvents)
{
    const framing_case cases[] = {
        {"one packet", {"$g#67"}, "P:g "},
        {"checksum digits in upper case", {"$qC#B4"}, "P:qC "},
        {"split anywhere", {"$", "m0,", "4#", "f", "d"}, "P:m0,4 "},
        {"two in one receive", {"$g#67$?#3f"}, "P:g P:? "},
        {"acks, naks and the interrupt byte", {"+-\x03"}, "+ - INT "},
        {"garbage before $", {"hello\n\x7f$g#67"}, "P:g "},
        {"bad checksum", {"$g#68"}, "BAD "},
        {"checksum that is no hex", {"$g#zz"}, "BAD "},
        {"0x03 inside a packet is data", {"$a\x03#64"}, "P:a\x03 "},
        {"over-long, intact", {"$" + std::string(65, 'a') + "#a1"}, "LONG "},
        {"over-long, corrupted", {"$" + std::string(65, 'a') + "#00"}, "BAD "},
        {"a packet after an over-long one", {"$" + std::string(70, 'b') + "#cc", "$g#67"}, "LONG P:g "},
        {"the empty packet", {"$#00"}, "P: "},
    };
    for (const framing_case &c : cases)
        EXPECT_EQ(describe(feed_pieces(c.pieces)), c.events) << c.what;
}

TEST(RspFraming, FrameEscapeAndHex)
{
    EXPECT_EQ(rsp_frame("OK"), "$OK#9a");
    EXPECT_EQ(rsp_frame(""), "$#00");
    const uint8_t special[] = {'#', '$', '}', '*', 'a', 0};
    std::string escaped = rsp_escape(special, sizeof(special));
    EXPECT_EQ(escaped, std::string("}\x03}\x04}\x5d}\x0a"
                                   "a",
                                   9) +
                           std::string(1, '\0'));
    std::vector<uint8_t> back;
    ASSERT_TRUE(rsp_unescape("X:" + escaped, 2, &back));
    EXPECT_EQ(back, std::vector<uint8_t>(special, special + sizeof(special)));
    EXPECT_FALSE(rsp_unescape("ab}", 0, &back)) << "ends inside an escape";

    EXPECT_EQ(hex_u32_le(0x12345678), "78563412");
    uint32_t v = 0;
    ASSERT_TRUE(parse_u32_le("efbeadde", &v));
    EXPECT_EQ(v, 0xdeadbeefu);
    EXPECT_FALSE(parse_u32_le("efbead", &v));
    EXPECT_FALSE(hex_decode("0g", &back));
    size_t pos = 1;
    ASSERT_TRUE(parse_hex_field("m2000ABcd,10", &pos, &v));
    EXPECT_EQ(v, 0x2000abcdu);
    EXPECT_EQ(pos, 9u);
    pos = 0;
    EXPECT_FALSE(parse_hex_field("100000000", &pos, &v)) << "more than 32 bits";
}

// A refusal's reason comes partly from outside (the probe's serial, the
// server's host): bytes the framing reserves or GDB cannot print would cut
// the packet short, so they go as "?". Read back through the reader, the
// packet is whole.
TEST(RspFraming, RefusalReasonIsOneWholePacket)
{
    std::string reply = refusal_reply("probe a#b$c}d*e\n\x01\xff");
    EXPECT_EQ(reply, "+" + rsp_frame("E.tarvex-gdbserver: probe a?b?c?d?e???"));
    EXPECT_EQ(describe(feed_pieces({reply})), "+ P:E.tarvex-gdbserver: probe a?b?c?d?e??? ");
}

} // namespace
