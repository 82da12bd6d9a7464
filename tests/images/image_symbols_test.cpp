// The symbols and writable memory a tool looks up in an image it loaded,
// against what the cross binutils read in the sample firmware.
#include <gtest/gtest.h>

#include "elf_lookup.h"
#include "image_symbols.h"
#include "read_file.h"

using namespace tarvex_images;
using namespace images_test;

namespace
{

TEST(ImageSymbols, FindsADataSymbolAtTheAddressTheLinkerGaveIt)
{
    std::vector<uint8_t> elf = file_bytes(SAMPLE_ELF);
    ASSERT_FALSE(elf.empty());
    for (const char *name : {"sample_counter", "sample_turns_per_line", "_bss_end", "_SEGGER_RTT"}) {
        tarvex_test::elf_symbol expected = tarvex_test::elf_symbol_of(SAMPLE_ELF, name);
        ASSERT_TRUE(expected.found) << name;
        uint32_t value = 0;
        ASSERT_EQ(image_symbol(elf.data(), elf.size(), name, &value), 0) << name;
        EXPECT_EQ(value, expected.address) << name;
    }
}

TEST(ImageSymbols, ASymbolTheImageLacksIsNotFound)
{
    std::vector<uint8_t> elf = file_bytes(SAMPLE_ELF);
    uint32_t value = 7;
    EXPECT_EQ(image_symbol(elf.data(), elf.size(), "no_such_symbol", &value), -1);
    EXPECT_EQ(image_symbol(elf.data(), elf.size(), "sample_counte", &value), -1) << "a prefix is no match";
    std::vector<uint8_t> junk = bytes_of("not an image at all");
    EXPECT_EQ(image_symbol(junk.data(), junk.size(), "sample_counter", &value), -1);
    EXPECT_EQ(value, 7u);
}

TEST(ImageSymbols, TheWritableSpanRunsFromDataToTheEndOfBss)
{
    std::vector<uint8_t> elf = file_bytes(SAMPLE_ELF);
    uint32_t base = 0, size = 0;
    ASSERT_EQ(image_writable_span(elf.data(), elf.size(), &base, &size), 0);
    uint32_t data_start = tarvex_test::elf_symbol_of(SAMPLE_ELF, "_data_start").address;
    uint32_t bss_end = tarvex_test::elf_symbol_of(SAMPLE_ELF, "_bss_end").address;
    EXPECT_EQ(base, data_start);
    EXPECT_EQ(base + size, bss_end) << "the zeroed part counts: RTT buffers live in .bss";
    std::vector<uint8_t> cut(elf.begin(), elf.begin() + 40);
    EXPECT_EQ(image_writable_span(cut.data(), cut.size(), &base, &size), -1);
}

} // namespace
