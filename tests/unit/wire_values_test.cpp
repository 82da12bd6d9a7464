// The wire header against the server's keyword table: the server takes
// every value from the header, but its table decides which handler a
// request reaches, and that is where the two sides could still part.
#include <gtest/gtest.h>

#include <iterator>
#include <set>
#include <string>

#include "tarvex_tcp_cmd.h"
#include "tarvex_wire.h"

namespace w = tarvex_wire;

namespace
{

// Each keyword of the header reaches the server's handler of that very
// keyword, not one of a longer or shorter name.
TEST(WireKeywords, EachReachesItsOwnHandler)
{
    for (const char *keyword : w::KEYWORDS) {
        std::string request = std::string(keyword) + " 1\n";
        int index = tcp_cmd_find_keyword(request.c_str());
        ASSERT_GE(index, 0) << keyword;
        EXPECT_STREQ(tcp_cmd_keyword(index), keyword);
    }
}

TEST(WireKeywords, TheServerHasNoneTheHeaderLacks)
{
    std::set<std::string> header(std::begin(w::KEYWORDS), std::end(w::KEYWORDS));
    int count = 0;
    for (const char *k = tcp_cmd_keyword(0); k != nullptr; k = tcp_cmd_keyword(++count))
        EXPECT_EQ(header.count(k), 1u) << k;
    EXPECT_EQ(count, static_cast<int>(header.size()));
}

TEST(WireValues, TheDefaultPortIsOneNumberInBothForms)
{
    EXPECT_EQ(std::to_string(w::DEFAULT_PORT), w::DEFAULT_PORT_TEXT);
}

} // namespace
