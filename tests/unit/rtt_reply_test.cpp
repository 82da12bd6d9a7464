// The client library's reading of RTT replies: what the server sends is
// taken field by field, and a reply that breaks the protocol (a missing or
// repeated line, a number out of range, a length past what was asked) is
// refused whole rather than read as something it is not.
#include <gtest/gtest.h>

#include <string>

#include "tarvex_rtt.h"

namespace
{

using namespace tarvex;

const std::string GOOD_STATUS = "state attached\n"
                                "address 0x20000400\n"
                                "blocks 1\n"
                                "refused -\n"
                                "polls 12\n"
                                "looks 2\n"
                                "up 0 1024 trim 300 7 Terminal\n"
                                "up 1 64 block 18446744073709551615 0 -\n"
                                "down 0 16 skip 5 4 Terminal input\n";

TEST(RttStatus, ReadsEveryField)
{
    rtt_status_record r;
    ASSERT_EQ(rtt_parse_status(GOOD_STATUS, &r), 0);
    EXPECT_EQ(r.state, RTT_ATTACHED);
    EXPECT_EQ(r.address, 0x20000400u);
    EXPECT_EQ(r.blocks, 1u);
    EXPECT_EQ(r.refused, "");
    EXPECT_EQ(r.polls, 12u);
    EXPECT_EQ(r.looks, 2u);
    ASSERT_EQ(r.up.size(), 2u);
    EXPECT_EQ(r.up[0].index, 0);
    EXPECT_EQ(r.up[0].size, 1024u);
    EXPECT_EQ(r.up[0].mode, RTT_MODE_TRIM);
    EXPECT_EQ(r.up[0].first, 300u);
    EXPECT_EQ(r.up[0].second, 7u);
    EXPECT_EQ(r.up[0].name, "Terminal");
    EXPECT_EQ(r.up[1].mode, RTT_MODE_BLOCK);
    EXPECT_EQ(r.up[1].first, UINT64_MAX);
    EXPECT_EQ(r.up[1].name, "");
    ASSERT_EQ(r.down.size(), 1u);
    EXPECT_EQ(r.down[0].name, "Terminal input"); // the last field runs to the line's end
    EXPECT_EQ(r.down[0].first, 5u);
    EXPECT_EQ(r.down[0].second, 4u);
}

TEST(RttStatus, ReadsEveryStateAndModeWord)
{
    const std::pair<const char *, rtt_state> states[] = {{"searching", RTT_SEARCHING},
                                                         {"attached", RTT_ATTACHED},
                                                         {"paused", RTT_PAUSED},
                                                         {"stopped", RTT_STOPPED},
                                                         {"gone", RTT_GONE}};
    for (const auto &[word, state] : states) {
        std::string text = "state " + std::string(word) +
                           "\naddress 0x0\nblocks 0\nrefused no ID found\npolls 0\nlooks 1\nup 3 8 mode3 0 0 x\n";
        rtt_status_record r;
        ASSERT_EQ(rtt_parse_status(text, &r), 0) << word;
        EXPECT_EQ(r.state, state) << word;
        EXPECT_STREQ(rtt_state_name(r.state), word);
        EXPECT_EQ(r.refused, "no ID found");
        EXPECT_EQ(r.up.at(0).mode, RTT_MODE_3);
    }
}

std::string replace_line(const std::string &word, const std::string &line)
{
    std::string out;
    size_t at = 0;
    while (at < GOOD_STATUS.size()) {
        size_t nl = GOOD_STATUS.find('\n', at);
        std::string l = GOOD_STATUS.substr(at, nl - at);
        at = nl + 1;
        if (l.compare(0, word.size() + 1, word + " ") == 0) {
            if (!line.empty())
                out += line + "\n";
            continue;
        }
        out += l + "\n";
    }
    return out;
}

TEST(RttStatus, RefusesWhatBreaksTheFormat)
{
    struct bad {
        const char *what;
        std::string text;
    };
    const bad cases[] = {
        {"empty", ""},
        {"no state", replace_line("state", "")},
        {"unknown state", replace_line("state", "state running")},
        {"two states", GOOD_STATUS + "state gone\n"},
        {"address without 0x", replace_line("address", "address 20000400")},
        {"address of nine digits", replace_line("address", "address 0x120000400")},
        {"address not hex", replace_line("address", "address 0x2000g400")},
        {"blocks negative", replace_line("blocks", "blocks -1")},
        {"blocks past 32 bits", replace_line("blocks", "blocks 4294967296")},
        {"blocks with a second field", replace_line("blocks", "blocks 1 2")},
        {"refused empty", replace_line("refused", "refused ")},
        {"polls past 64 bits", replace_line("polls", "polls 18446744073709551616")},
        {"polls signed", replace_line("polls", "polls +3")},
        {"looks missing", replace_line("looks", "")},
        {"channel 32", GOOD_STATUS + "up 32 16 skip 0 0 x\n"},
        {"channel twice", GOOD_STATUS + "up 0 16 skip 0 0 x\n"},
        {"channel without a name", GOOD_STATUS + "up 5 16 skip 0 0\n"},
        {"unknown mode", GOOD_STATUS + "up 5 16 wait 0 0 x\n"},
        {"two spaces", GOOD_STATUS + "up 5  16 skip 0 0 x\n"},
        {"size past 32 bits", GOOD_STATUS + "down 5 4294967296 skip 0 0 x\n"},
        {"a line of one word", GOOD_STATUS + "polls\n"},
        {"a line starting with a space", GOOD_STATUS + " polls 3\n"},
        {"a NUL in a number", replace_line("polls", std::string("polls 1\0 2", 10))},
    };
    for (const bad &c : cases) {
        rtt_status_record r;
        r.polls = 99;
        EXPECT_EQ(rtt_parse_status(c.text, &r), -1) << c.what;
        EXPECT_EQ(r.polls, 99u) << c.what << ": a refused status changes nothing";
    }
}

TEST(RttStatus, SkipsLinesOfWordsItDoesNotKnow)
{
    rtt_status_record r;
    ASSERT_EQ(rtt_parse_status(GOOD_STATUS + "interval 50 ms\n", &r), 0);
    EXPECT_EQ(r.up.size(), 2u);
}

TEST(RttReadHeader, ReadsTheFieldsAndBoundsTheLength)
{
    struct header_case {
        const char *line;
        uint32_t max;
        int rc;
        int result;
        uint64_t start, lost;
        uint32_t len;
    };
    const header_case cases[] = {
        {"1 0 100 0 5\n", 16, 0, 0, 100, 0, 5},
        {"1 0 18446744073709551615 3 16\n", 16, 0, 0, UINT64_MAX, 3, 16},
        {"1 -8\n", 16, 0, -8, 0, 0, 0},
        {"1 -9\n", 16, 0, -9, 0, 0, 0},
        {"1 -9 7 0 0\n", 16, 0, -9, 7, 0, 0},
        {"1 0 100 0 17\n", 16, -1, 0, 0, 0, 0},
        {"1 0 100 0 9\n", 8, -1, 0, 0, 0, 0}, // one digit past the limit
        {"1 0\n", 16, -1, 0, 0, 0, 0},        // success needs its fields
        {"1 0 100 0\n", 16, -1, 0, 0, 0, 0},
        {"1 0 100 0 5 9\n", 16, -1, 0, 0, 0, 0},
        {"0 unknown_command\n", 16, 0, -1, 0, 0, 0}, // a server without RTT
        {"1 0 -1 0 5\n", 16, -1, 0, 0, 0, 0},
        {"1 0 100 0 0x5\n", 16, -1, 0, 0, 0, 0},
        {"1 0 18446744073709551616 0 5\n", 16, -1, 0, 0, 0, 0},
        {"1 99999999999 1 0 0\n", 16, -1, 0, 0, 0, 0},
        {"1  0 100 0 5\n", 16, -1, 0, 0, 0, 0},
        {"", 16, -1, 0, 0, 0, 0},
    };
    for (const header_case &c : cases) {
        rtt_read_header h;
        ASSERT_EQ(rtt_parse_read_header(c.line, c.max, &h), c.rc) << c.line;
        if (c.rc != 0)
            continue;
        EXPECT_EQ(h.result, c.result) << c.line;
        EXPECT_EQ(h.start, c.start) << c.line;
        EXPECT_EQ(h.lost, c.lost) << c.line;
        EXPECT_EQ(h.len, c.len) << c.line;
    }
}

TEST(RttResult, ReadsTheResultAndItsNumber)
{
    struct result_case {
        const char *line;
        bool with_number;
        int rc;
        int result;
        uint32_t number;
    };
    const result_case cases[] = {
        {"1 0\n", false, 0, 0, 0},
        {"1 -10\n", false, 0, -10, 0},
        {"1 -2147483648\n", false, 0, INT32_MIN, 0},
        {"1 2147483648\n", false, -1, 0, 0},
        {"1 0 4\n", false, -1, 0, 0},
        {"1 0 4096\n", true, 0, 0, 4096},
        {"1 -8\n", true, 0, -8, 0},
        {"1 0\n", true, -1, 0, 0},
        {"1 0 -4\n", true, -1, 0, 0},
        {"1 0 4294967296\n", true, -1, 0, 0},
        {"1 x\n", false, -1, 0, 0},
        {"0 unknown_command\n", true, 0, -1, 0},
        {"1\n", false, -1, 0, 0},
    };
    for (const result_case &c : cases) {
        int result = 12345;
        uint32_t number = 777;
        ASSERT_EQ(rtt_parse_result(c.line, c.with_number, &result, &number), c.rc) << c.line;
        if (c.rc != 0)
            continue;
        EXPECT_EQ(result, c.result) << c.line;
        if (c.with_number) {
            EXPECT_EQ(number, c.number) << c.line;
        }
    }
}

} // namespace
