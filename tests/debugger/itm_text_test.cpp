// Port-0 text out of ITM trace bytes: every kind of packet the stream may
// carry around it, and a stream cut between reads at every place.
#include <gtest/gtest.h>

#include <string>

#include "itm_text.h"

namespace
{

using tarvex_target::itm_decode;
using tarvex_target::itm_decoder;

std::string decode(const std::string &bytes)
{
    itm_decoder d;
    std::string text;
    itm_decode(d, reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), &text);
    return text;
}

TEST(ItmText, OnlyPortZeroTextSurvivesEveryOtherPacket)
{
    struct itm_case {
        const char *name;
        std::string bytes;
        std::string text;
    };
    const itm_case cases[] = {
        {"one-byte writes", std::string("\x01h\x01i", 4), "hi"},
        {"halfword and word writes",
         std::string("\x02"
                     "ab\x03"
                     "cdef",
                     8),
         "abcdef"},
        {"another port", std::string("\x09x\x0Byyyy\x01z", 9), "z"},
        {"hardware source", std::string("\x05\x01\x01z", 4), "z"},
        {"synchronisation", std::string("\x00\x00\x00\x00\x00\x80\x01z", 8), "z"},
        {"overflow", std::string("\x70\x01z", 3), "z"},
        {"short timestamp", std::string("\x30\x01z", 3), "z"},
        {"long timestamp", std::string("\xC0\x81\x81\x01\x01z", 6), "z"},
        {"extension", std::string("\x8C\x81\x01\x01z", 5), "z"},
    };
    for (const itm_case &c : cases)
        EXPECT_EQ(decode(c.bytes), c.text) << c.name;
}

TEST(ItmText, ACutAnywhereGivesTheSameText)
{
    const std::string bytes("\x01h\x03wxyz\xC0\x81\x01\x09q\x02ok\x00\x80\x01!", 20);
    const std::string whole = decode(bytes);
    ASSERT_EQ(whole, "hwxyzok!");
    for (size_t cut = 0; cut <= bytes.size(); cut++) {
        itm_decoder d;
        std::string text;
        itm_decode(d, reinterpret_cast<const uint8_t *>(bytes.data()), cut, &text);
        itm_decode(d, reinterpret_cast<const uint8_t *>(bytes.data()) + cut, bytes.size() - cut, &text);
        EXPECT_EQ(text, whole) << "cut at " << cut;
    }
}

} // namespace
