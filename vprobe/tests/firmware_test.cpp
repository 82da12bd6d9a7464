// The sample firmware as built: the raw image is the ELF's flash contents,
// and its vector table starts the core where the start-up code is.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "elf_lookup.h"

using namespace tarvex_test;

namespace
{

std::vector<uint8_t> file_bytes(const char *path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint32_t word_at(const std::vector<uint8_t> &b, size_t at)
{
    return static_cast<uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24);
}

TEST(SampleFirmware, RawImageIsTheElfFlashContents)
{
    std::vector<uint8_t> bin = file_bytes(SAMPLE_BIN);
    ASSERT_GT(bin.size(), 64u);
    EXPECT_EQ(elf_bytes(SAMPLE_ELF, 0, static_cast<uint32_t>(bin.size() - 4)),
              std::vector<uint8_t>(bin.begin(), bin.end() - 4))
        << "the tail of the image is .data's initial values, which the ELF holds at their RAM address";
    elf_symbol turns = elf_symbol_of(SAMPLE_ELF, "sample_turns_per_line");
    ASSERT_TRUE(turns.found);
    EXPECT_EQ(elf_bytes(SAMPLE_ELF, turns.address, 4), std::vector<uint8_t>(bin.end() - 4, bin.end()));
}

TEST(SampleFirmware, VectorTableStartsTheResetHandlerOnTopOfRam)
{
    std::vector<uint8_t> bin = file_bytes(SAMPLE_BIN);
    ASSERT_GE(bin.size(), 8u);
    elf_symbol reset = elf_symbol_of(SAMPLE_ELF, "reset_handler");
    ASSERT_TRUE(reset.found);
    EXPECT_EQ(word_at(bin, 0), 0x20000000u + 128 * 1024) << "initial main stack pointer";
    EXPECT_EQ(word_at(bin, 4), reset.address | 1) << "Thumb address of the reset handler";
}

TEST(SampleFirmware, LookupsOfWhatTheTestsUse)
{
    struct symbol_case {
        const char *name;
        uint32_t size;
    };
    const symbol_case cases[] = {{"sample_counter", 4}, {"sample_table", 32}, {"sample_banner", 21}};
    for (const symbol_case &c : cases) {
        elf_symbol s = elf_symbol_of(SAMPLE_ELF, c.name);
        EXPECT_TRUE(s.found) << c.name;
        EXPECT_EQ(s.size, c.size) << c.name;
    }
    EXPECT_FALSE(elf_symbol_of(SAMPLE_ELF, "no_such_symbol").found);
    elf_symbol banner = elf_symbol_of(SAMPLE_ELF, "sample_banner");
    std::vector<uint8_t> text = elf_bytes(SAMPLE_ELF, banner.address, banner.size);
    EXPECT_EQ(std::string(text.begin(), text.end()), std::string("tarvex sample: turn ", banner.size));
    elf_symbol tick = elf_symbol_of(SAMPLE_ELF, "sample_tick");
    uint32_t next = elf_next_instruction(SAMPLE_ELF, tick.address);
    EXPECT_TRUE(next == tick.address + 2 || next == tick.address + 4) << std::hex << next;
    EXPECT_TRUE(elf_bytes(SAMPLE_ELF, 0x60000000, 4).empty()) << "no section there";
}

} // namespace
