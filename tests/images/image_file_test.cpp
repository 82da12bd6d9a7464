// The image readers against the sample firmware in its three forms, and
// damaged or hand-made images.
#include <gtest/gtest.h>

#include "image_file.h"
#include "read_file.h"

using namespace tarvex_images;
using namespace images_test;

namespace
{

std::string refusal_of_hex(const std::string &text)
{
    std::vector<image_extent> out;
    std::string why;
    std::vector<uint8_t> b = bytes_of(text);
    EXPECT_EQ(image_read_hex(b.data(), b.size(), out, &why), -1) << text;
    return why;
}

TEST(ImageFile, TheSampleReadsAlikeAsElfHexAndBinary)
{
    std::vector<uint8_t> bin = file_bytes(SAMPLE_BIN), elf = file_bytes(SAMPLE_ELF), hex = file_bytes(SAMPLE_HEX);
    ASSERT_FALSE(bin.empty());
    EXPECT_EQ(image_choose_format(SAMPLE_ELF, elf.data(), elf.size()), IMAGE_ELF);
    EXPECT_EQ(image_choose_format(SAMPLE_HEX, hex.data(), hex.size()), IMAGE_HEX);
    EXPECT_EQ(image_choose_format(SAMPLE_BIN, bin.data(), bin.size()), IMAGE_BINARY);
    std::vector<image_extent> from_elf, from_hex, from_bin;
    std::string why;
    ASSERT_EQ(image_read_elf(elf.data(), elf.size(), from_elf, &why), 0) << why;
    ASSERT_EQ(image_read_hex(hex.data(), hex.size(), from_hex, &why), 0) << why;
    ASSERT_EQ(image_read_binary(bin.data(), bin.size(), 0, from_bin, &why), 0) << why;
    for (const auto *extents : {&from_elf, &from_hex, &from_bin}) {
        ASSERT_EQ(extents->size(), 1u) << "code, constants and .data's initial values in one run from 0";
        EXPECT_EQ((*extents)[0].address, 0u);
        EXPECT_EQ((*extents)[0].bytes, bin);
    }
}

// Only a name ending in .bin, or a forced form, makes a raw binary: an
// error page or a broken ELF is refused whatever it is called, by the
// reader its name names when it names one.
TEST(ImageFile, TheFormIsTheContentsOrTheNameAndRawOnlyByName)
{
    std::vector<uint8_t> elf = file_bytes(SAMPLE_ELF), bin = file_bytes(SAMPLE_BIN);
    std::string html = "<!DOCTYPE html><html><body>404 Not Found</body></html>\n";
    std::string broken(reinterpret_cast<const char *>(elf.data()), elf.size());
    broken[1] = 'X';
    struct form_case {
        const char *name;
        std::string bytes;
        image_format forced;
        image_format chosen;
        const char *refusal; // of image_read, "" when it reads
    };
    const form_case cases[] = {
        {"app.elf", std::string(elf.begin(), elf.end()), IMAGE_UNKNOWN, IMAGE_ELF, ""},
        {"app", std::string(elf.begin(), elf.end()), IMAGE_UNKNOWN, IMAGE_ELF, ""},
        {"app.hex", std::string(elf.begin(), elf.end()), IMAGE_UNKNOWN, IMAGE_ELF, ""},
        {"app.BIN", std::string(bin.begin(), bin.end()), IMAGE_UNKNOWN, IMAGE_BINARY, ""},
        {"app", std::string(bin.begin(), bin.end()), IMAGE_BINARY, IMAGE_BINARY, ""},
        {"app.out", "\n:00000001FF\n", IMAGE_UNKNOWN, IMAGE_HEX, ""},
        {"app.elf", html, IMAGE_UNKNOWN, IMAGE_ELF, "not an ELF file"},
        {"app.elf", broken, IMAGE_UNKNOWN, IMAGE_ELF, "not an ELF file"},
        {"app.axf", broken, IMAGE_UNKNOWN, IMAGE_ELF, "not an ELF file"},
        {"app.ihex", html, IMAGE_UNKNOWN, IMAGE_HEX, "must start with ':'"},
        {"app.img", html, IMAGE_UNKNOWN, IMAGE_UNKNOWN, "a raw binary is read only from a name ending in .bin"},
        {"app", std::string(bin.begin(), bin.end()), IMAGE_UNKNOWN, IMAGE_UNKNOWN, "neither ELF"},
        {"-", html, IMAGE_ELF, IMAGE_ELF, "not an ELF file"},
        {"app.bin", std::string(elf.begin(), elf.end()), IMAGE_UNKNOWN, IMAGE_BINARY, ""},
    };
    for (const form_case &c : cases) {
        std::vector<uint8_t> b = bytes_of(c.bytes);
        image_format chosen = image_choose_format(c.name, b.data(), b.size(), c.forced);
        EXPECT_EQ(chosen, c.chosen) << c.name << " " << c.bytes.substr(0, 20);
        std::vector<image_extent> out;
        std::string why;
        int rc = image_read(chosen, b.data(), b.size(), 0x08000000, out, &why);
        EXPECT_EQ(rc, *c.refusal == '\0' ? 0 : -1) << c.name << ": " << why;
        EXPECT_NE(why.find(c.refusal), std::string::npos) << c.name << ": " << why;
    }
}

TEST(ImageFile, HexRecordsPlaceDataByExtendedAddresses)
{
    const std::string good = ":020000040800F2\r\n"   // linear base 0x08000000
                             ":0400100001020304E2\n" // 4 bytes at 0x08000010
                             ":0400140005060708CE\n"
                             ":020000021000EC\n" // segment base 0x10000
                             ":01000000AA55\n"
                             ":0400000508000000EF\n" // entry point: ignored
                             ":00000001FF\n";
    std::vector<uint8_t> b = bytes_of(good);
    std::vector<image_extent> out;
    std::string why;
    ASSERT_EQ(image_read_hex(b.data(), b.size(), out, &why), 0) << why;
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].address, 0x10000u);
    EXPECT_EQ(out[0].bytes, std::vector<uint8_t>({0xAA}));
    EXPECT_EQ(out[1].address, 0x08000010u);
    EXPECT_EQ(out[1].bytes, std::vector<uint8_t>({1, 2, 3, 4, 5, 6, 7, 8})) << "adjacent records join";
}

TEST(ImageFile, DamagedHexIsRefusedNamingTheLine)
{
    struct row {
        const char *text, *message;
    };
    const row rows[] = {
        {":0400100001020304E3\n:00000001FF\n", "line 1: bad checksum"},
        {":0400100001020304E2\n", "no end-of-file record"},
        {":04001000010203\n:00000001FF\n", "line 1: length field"},
        {":04001000010G0304E2\n:00000001FF\n", "line 1: not a hex digit"},
        {":0400\n", "line 1: truncated record"},
        {"0400100001020304E2\n:00000001FF\n", "line 1: a record must start with ':'"},
        {":00000001FF\n:0400100001020304E2\n", "line 2: data after the end-of-file record"},
        {":0400100001020304E2\n:020012000102E9\n:00000001FF\n", "overlap at 0x00000012"},
        {":020000040800F2\n:0400100001020304E2\n:0100000604F5\n:00000001FF\n", "line 3: unknown record type 6"},
        {":03000004080000F1\n:00000001FF\n", "line 1: wrong length"},
        {":02000004FFFFFC\n:04FFFE0001020304F5\n:00000001FF\n", "passes the end of the 32-bit address space"},
    };
    for (const row &r : rows) {
        std::string why = refusal_of_hex(r.text);
        EXPECT_NE(why.find(r.message), std::string::npos) << r.text << " -> " << why;
    }
}

// Where the file bytes of the ELF's last program header's segment end.
size_t end_of_last_segment(const std::vector<uint8_t> &elf)
{
    auto word = [&](size_t at) {
        return static_cast<size_t>(elf[at] | elf[at + 1] << 8 | elf[at + 2] << 16 | elf[at + 3] << 24);
    };
    size_t phoff = word(28), phentsize = elf[42] | elf[43] << 8, phnum = elf[44] | elf[45] << 8;
    size_t last = phoff + (phnum - 1) * phentsize;
    return word(last + 4) + word(last + 16); // p_offset + p_filesz
}

TEST(ImageFile, DamagedElfIsRefused)
{
    std::vector<uint8_t> elf = file_bytes(SAMPLE_ELF);
    std::vector<image_extent> out;
    std::string why;
    size_t cut = end_of_last_segment(elf) - 1; // the debug sections after it vary with the code
    for (size_t len : {size_t{0}, size_t{10}, size_t{52}, size_t{100}, size_t{0x1000}, cut}) {
        EXPECT_EQ(image_read_elf(elf.data(), len, out, &why), -1) << len;
        EXPECT_FALSE(why.empty()) << len;
    }
    std::vector<uint8_t> arm64 = elf;
    arm64[18] = 183; // e_machine: not Arm
    EXPECT_EQ(image_read_elf(arm64.data(), arm64.size(), out, &why), -1);
    EXPECT_NE(why.find("not a 32-bit little-endian Arm ELF"), std::string::npos) << why;
}

TEST(ImageFile, BinaryNeedsBytesAndRoomAboveItsBase)
{
    std::vector<uint8_t> four = {1, 2, 3, 4};
    std::vector<image_extent> out;
    std::string why;
    ASSERT_EQ(image_read_binary(four.data(), four.size(), 0x20000000, out, &why), 0);
    EXPECT_EQ(out[0].address, 0x20000000u);
    EXPECT_EQ(image_read_binary(four.data(), 0, 0, out, &why), -1);
    EXPECT_NE(why.find("empty"), std::string::npos);
    EXPECT_EQ(image_read_binary(four.data(), four.size(), 0xFFFFFFFE, out, &why), -1);
    EXPECT_NE(why.find("passes the end"), std::string::npos);
}

TEST(ImageFile, NormalizeSortsJoinsAndRefusesOverlap)
{
    std::vector<image_extent> e = {{0x20, {3}}, {0x10, {1, 2}}, {0x12, {9}}, {0x30, {}}};
    ASSERT_EQ(image_normalize(e, nullptr), 0);
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].bytes, std::vector<uint8_t>({1, 2, 9}));
    EXPECT_EQ(e[1].address, 0x20u);
    std::vector<image_extent> overlap = {{0x10, {1, 2, 3}}, {0x12, {9}}};
    std::string why;
    EXPECT_EQ(image_normalize(overlap, &why), -1);
    EXPECT_NE(why.find("overlap at 0x00000012"), std::string::npos) << why;
}

} // namespace
