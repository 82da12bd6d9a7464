// The command-line client's own text: the numbers it accepts, its hex dump,
// its JSON, its progress line.
#include <gtest/gtest.h>

#include "cli_format.h"
#include "tarvex_address.h"

namespace
{

using namespace tarvex_cli;

struct number_case {
    const char *text;
    uint64_t max;
    bool ok;
    uint64_t value;
};

TEST(CliNumbers, AcceptsDecimalHexAndUnitsWithinTheLimit)
{
    const number_case cases[] = {
        {"4096", 0xFFFFFFFF, true, 4096},
        {"0x20000000", 0xFFFFFFFF, true, 0x20000000},
        {"64K", 0xFFFFFFFF, true, 65536},
        {"1M", 0xFFFFFFFF, true, 1048576},
        {"0x10k", 0xFFFFFFFF, true, 16384},
        {"0", 10, true, 0},
        {"010", 100, true, 10}, // decimal, not octal
        {"0X1f", 100, true, 31},
        {"0x", 100, false, 0},
        {"4294967296", 0xFFFFFFFF, false, 0}, // one past 32 bits
        {"4096K", 0x3FFFFF, false, 0},        // the unit pushes it past the limit
        {"18446744073709551616", ~0ull, false, 0},
        {"", 100, false, 0},
        {"-1", 100, false, 0},
        {" 5", 100, false, 0},
        {"5x", 100, false, 0},
        {"0xZZ", 100, false, 0},
        {"12KB", 1 << 20, false, 0},
    };
    for (const number_case &c : cases) {
        uint64_t value = 0;
        EXPECT_EQ(tarvex::parse_number(c.text, c.max, &value), c.ok) << "'" << c.text << "'";
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
}

TEST(CliHexDump, SixteenBytesPerLineWithTheirAddressAndText)
{
    uint8_t data[20];
    for (int i = 0; i < 20; i++)
        data[i] = static_cast<uint8_t>(0x3e + i);
    data[1] = 0x00;
    EXPECT_EQ(hex_dump(0x20000ff8, data, 20),
              "20000ff8  3e 00 40 41 42 43 44 45  46 47 48 49 4a 4b 4c 4d  |>.@ABCDEFGHIJKLM|\n"
              "20001008  4e 4f 50 51                                       |NOPQ|\n");
    EXPECT_EQ(hex_dump(0, data, 0), "");
}

TEST(CliJson, EscapesWhatWouldBreakTheDocument)
{
    EXPECT_EQ(json_string("plain"), "\"plain\"");
    EXPECT_EQ(json_string("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(json_string(std::string("\n\x01\x1f", 3)), "\"\\u000a\\u0001\\u001f\"");
    json_object o;
    o.add("serial", "7E57").add("index", 3LL).add("voltage", 3.3);
    EXPECT_EQ(o.text(), "{\"serial\": \"7E57\", \"index\": 3, \"voltage\": 3.300000}");
    EXPECT_EQ(json_array({}), "[]");
    EXPECT_EQ(json_array({"1", "{}"}), "[1, {}]");
}

TEST(CliProgress, BytesRateAndTimeLeft)
{
    EXPECT_EQ(human_bytes(512), "512 B");
    EXPECT_EQ(human_bytes(65536), "64.0 KiB");
    EXPECT_EQ(human_bytes(1.5 * 1024 * 1024), "1.50 MiB");
    // 256 KiB in 2 s: 128 KiB/s, 768 KiB left of 1 MiB is 6 s.
    EXPECT_EQ(progress_text(256 * 1024, 1024 * 1024, 2.0), "  256.0 KiB / 1.00 MiB  128.0 KiB/s  0:06 left");
    EXPECT_EQ(progress_text(0, 1024, 0), "  0 B / 1.0 KiB") << "no rate before any time has passed";
    EXPECT_EQ(progress_text(2048, 1024, 1.0), "  2.0 KiB / 1.0 KiB  2.0 KiB/s  0:00 left") << "never negative";
}

TEST(CliUtf8, TellsTextFromBytesJsonCannotCarry)
{
    const std::pair<std::string, bool> cases[] = {
        {"", true},
        {"plain ascii\n\t", true},
        {"\xc3\xa9t\xc3\xa9", true},    // été
        {"\xe2\x82\xac", true},         // the euro sign
        {"\xf0\x9f\x98\x80", true},     // U+1F600
        {"\xf4\x8f\xbf\xbf", true},     // U+10FFFF, the last
        {"\xc3", false},                // cut short
        {"\xc0\xaf", false},            // overlong
        {"\xe0\x80\xaf", false},        // overlong in three bytes
        {"\xed\xa0\x80", false},        // a surrogate
        {"\xf4\x90\x80\x80", false},    // past U+10FFFF
        {"\xff", false},                // no lead byte
        {"ok\x80", false},              // a lone continuation byte
        {std::string("a\0b", 3), true}, // NUL is text: JSON escapes it
    };
    for (const auto &[bytes, valid] : cases)
        EXPECT_EQ(utf8_valid(bytes), valid) << testing::PrintToString(bytes);
}

TEST(CliBase64, EncodesWithPadding)
{
    const std::pair<std::string, std::string> cases[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
    };
    for (const auto &[bytes, text] : cases)
        EXPECT_EQ(base64(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size()), text);
    const uint8_t three[] = {0xff, 0xfe, 0x00};
    EXPECT_EQ(base64(three, 3), "//4A");
}

TEST(CliChannelLines, PrefixesEveryLineAndEndsOneAnotherChannelBrokeInto)
{
    channel_lines lines;
    std::string out;
    out += lines.feed(0, "boot\nrea");
    out += lines.feed(0, "dy\n");
    out += lines.feed(1, "temp 21");
    out += lines.feed(0, "tick\n");
    out += lines.feed(1, "C\n");
    EXPECT_EQ(out, "[0] boot\n[0] ready\n[1] temp 21\n[0] tick\n[1] C\n");
}

} // namespace
