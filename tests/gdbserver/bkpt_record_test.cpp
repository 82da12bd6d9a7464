// The record of BKPTs in RAM as a file: what a session writes reads back
// the same, and a damaged or foreign file is refused whole rather than
// taken for BKPTs to write back.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "bkpt_record.h"

namespace
{

using namespace tarvex_gdb;

planted_bkpt planted(uint32_t addr, uint32_t base, size_t len)
{
    planted_bkpt p;
    p.addr = addr;
    p.original[0] = 0x12;
    p.original[1] = 0x34;
    p.around_base = base;
    for (size_t i = 0; i < len; i++)
        p.around.push_back(static_cast<uint8_t>(0xf0 + i));
    return p;
}

TEST(BkptRecord, WrittenThenReadBack)
{
    const std::vector<planted_bkpt> list = {planted(0x20000104, 0x20000100, 16), planted(0x2001fffe, 0x2001fff0, 16),
                                            planted(0x20000000, 0x20000000, 2)};
    std::string text = planted_text(list);
    EXPECT_EQ(text.substr(0, text.find('\n', text.find('\n') + 1) + 1),
              "tarvex-gdbserver BKPT record 1\n20000104 1234 20000100 f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff\n");
    std::vector<planted_bkpt> back;
    ASSERT_TRUE(planted_parse(text, &back));
    ASSERT_EQ(back.size(), list.size());
    for (size_t n = 0; n < list.size(); n++) {
        EXPECT_EQ(back[n].addr, list[n].addr);
        EXPECT_EQ(back[n].original[0], 0x12);
        EXPECT_EQ(back[n].original[1], 0x34);
        EXPECT_EQ(back[n].around_base, list[n].around_base);
        EXPECT_EQ(back[n].around, list[n].around);
    }
    EXPECT_TRUE(planted_parse(planted_text({}), &back));
    EXPECT_TRUE(back.empty());
}

struct damaged_case {
    const char *what;
    std::string text;
};

TEST(BkptRecord, DamagedFilesAreRefused)
{
    const std::string head = "tarvex-gdbserver BKPT record 1\n";
    const std::string good = "20000104 1234 20000100 00112233\n";
    const damaged_case cases[] = {
        {"empty", ""},
        {"another version", "tarvex-gdbserver BKPT record 2\n" + good},
        {"a short address", head + "2000104 1234 20000100 00112233\n"},
        {"an odd address", head + "20000103 1234 20000100 00112233\n"},
        {"the BKPT outside what was kept", head + "20000104 1234 20000100 0011\n"},
        {"the BKPT before what was kept", head + "20000104 1234 20000106 00112233\n"},
        {"a halfword of three digits", head + "20000104 123 20000100 00112233\n"},
        {"no hex", head + "20000104 12zz 20000100 00112233\n"},
        {"an odd count of digits", head + "20000104 1234 20000100 0011223\n"},
        {"a field too many", head + "20000104 1234 20000100 00112233 00\n"},
        {"a field missing", head + "20000104 1234 20000100\n"},
        {"more kept than a block", head + "20000104 1234 20000100 " + std::string(66, '0') + "\n"},
        {"past the end of memory", head + "fffffffe 1234 fffffff8 " + std::string(32, '0') + "\n"},
        {"an empty line", head + good + "\n"},
    };
    for (const damaged_case &c : cases) {
        std::vector<planted_bkpt> list;
        EXPECT_FALSE(planted_parse(c.text, &list)) << c.what;
    }
    std::string many = head;
    for (int i = 0; i < 257; i++)
        many += good;
    std::vector<planted_bkpt> list;
    EXPECT_FALSE(planted_parse(many, &list)) << "more than a session can plant";
}

TEST(BkptRecord, KeptInTheStateDirectoryByProbeSerial)
{
    setenv("XDG_STATE_HOME", "/var/lib/x", 1);
    EXPECT_EQ(planted_path("7E57/../x"), "/var/lib/x/tarvex-gdbserver/7E57____x.bkpt");
    setenv("XDG_STATE_HOME", "relative", 1); // not absolute: ignored, as the XDG rules say
    setenv("HOME", "/home/u", 1);
    EXPECT_EQ(planted_path("A1"), "/home/u/.local/state/tarvex-gdbserver/A1.bkpt");
    EXPECT_EQ(planted_path(""), "");
}

} // namespace
