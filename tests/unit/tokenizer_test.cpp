#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tarvex_tcp_cmd.h"

namespace
{

struct split_case {
    std::string text;
    int count;
    std::vector<std::string> tokens;
};

// Only spaces separate; line ends and tabs stay inside tokens.
const split_case splits[] = {
    {"a b c\n", 3, {"a", "b", "c\n"}},
    {"a    b\n", 2, {"a", "b\n"}},
    {"   a b", 2, {"a", "b"}},
    {"a b \r\n", 3, {"a", "b", "\r\n"}},
    {"a\tb c", 2, {"a\tb", "c"}},
    {"", 0, {}},
    {"     ", 0, {}},
    {"k 1 2 3 4 5", 6, {"k", "1", "2", "3", "4", "5"}},
    {"k 1 2 3 4 5 6", -1, {}},
    {"k 1 2 3 4 5\nk 1", -1, {}},
    {"k " + std::string(79, 'x'), 2, {"k", std::string(79, 'x')}},
    {"k " + std::string(80, 'x'), -1, {}},
    {std::string(32000, 'y'), -1, {}},
};

TEST(Tokenizer, SplitsAtRunsOfSpacesWithinTheSlots)
{
    for (const split_case &c : splits) {
        char string[TARVEX_TCP_TOKEN_SLOTS][TARVEX_TCP_TOKEN_SIZE] = {};
        int count = tcp_cmd_tokenize(c.text.c_str(), string);
        ASSERT_EQ(count, c.count) << "text '" << c.text.substr(0, 40) << "'";
        for (int i = 0; i < count; i++)
            EXPECT_EQ(std::string(string[i]), c.tokens[static_cast<size_t>(i)]);
    }
}

struct bounded_case {
    std::string text; // may hold zero bytes
    size_t length;
    int count;
    std::vector<std::string> tokens;
};

// A memory write's command line is split up to its line end, with the
// payload after it left as it arrived: the length ends the text as a zero
// byte would, mid-token too.
const bounded_case bounded[] = {
    {"tarvex-tcp-write-mem 256 20000000 1 4 0\nDATA",
     39,
     6,
     {"tarvex-tcp-write-mem", "256", "20000000", "1", "4", "0"}},
    {"a b c", 3, 2, {"a", "b"}},
    {"abc def", 2, 1, {"ab"}},
    {"a b", 0, 0, {}},
    {std::string("a\0b c", 5), 5, 1, {"a"}},
    {"k 1 2 3 4 5 6", 11, 6, {"k", "1", "2", "3", "4", "5"}},
    {"k " + std::string(80, 'x'), 81, 2, {"k", std::string(79, 'x')}},
};

TEST(Tokenizer, StopsAtTheLengthGivenAsAtAZeroByte)
{
    for (const bounded_case &c : bounded) {
        char string[TARVEX_TCP_TOKEN_SLOTS][TARVEX_TCP_TOKEN_SIZE] = {};
        int count = tcp_cmd_tokenize_n(c.text.data(), c.length, string);
        ASSERT_EQ(count, c.count) << "text '" << c.text.substr(0, 40) << "' length " << c.length;
        for (int i = 0; i < count; i++)
            EXPECT_EQ(std::string(string[i]), c.tokens[static_cast<size_t>(i)]);
    }
}

struct dec_case {
    const char *token;
    bool parsed;
    int32_t value;
};

const dec_case decimals[] = {
    {"256", true, 256}, {"256\n", true, 256}, {"256\r\n", true, 256}, {"-4", true, -4},         {"+7", true, 7},
    {"  12", true, 12}, {"12\t5", true, 12},  {"0x10", true, 0},      {"10abc", true, 10},      {"abc", false, 99},
    {"", false, 99},    {"\n", false, 99},    {"-", false, 99},       {"4294967295", true, -1},
};

TEST(NumberParsing, DecimalStopsAtTheFirstNonDigit)
{
    for (const dec_case &c : decimals) {
        int32_t value = 99;
        EXPECT_EQ(tcp_cmd_parse_dec(c.token, &value), c.parsed) << c.token;
        EXPECT_EQ(value, c.value) << c.token;
    }
}

struct hex_case {
    const char *token;
    bool parsed;
    uint32_t value;
};

const hex_case hexadecimals[] = {
    {"10", true, 0x10},
    {"0x10", true, 0x10},
    {"0X1f", true, 0x1f},
    {"20000000\n", true, 0x20000000},
    {"ffffffff", true, 0xffffffff},
    {"  ab\t12", true, 0xab},
    {"xyz", false, 7},
    {"", false, 7},
    {"g1", false, 7},
};

TEST(NumberParsing, HexadecimalTakesAnOptionalPrefix)
{
    for (const hex_case &c : hexadecimals) {
        uint32_t value = 7;
        EXPECT_EQ(tcp_cmd_parse_hex(c.token, &value), c.parsed) << c.token;
        EXPECT_EQ(value, c.value) << c.token;
    }
}

} // namespace
