// The .FLM reader against the algorithm the build makes for the virtual
// target (vprobe/firmware/flash_algo.c), whole and damaged.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "flash_algo.h"
#include "read_file.h"

using namespace tarvex_images;
using namespace images_test;

namespace
{

// FlashDevice's sector list starts 160 bytes in; its name 2 bytes in.
constexpr size_t NAME_AT = 2, SECTORS_AT = 160;

class FlashAlgo : public ::testing::Test
{
protected:
    void SetUp() override
    {
        flm_ = file_bytes(FLASH_ALGO_FLM);
        ASSERT_FALSE(flm_.empty());
        size_t name = find_text(flm_, "TARVEX virtual target");
        ASSERT_NE(name, std::string::npos);
        device_at_ = name - NAME_AT;
    }
    // The reader's verdict on a copy changed by edit().
    std::string refusal(const std::function<void(std::vector<uint8_t> &)> &edit)
    {
        std::vector<uint8_t> copy = flm_;
        edit(copy);
        flash_algo a;
        std::string why;
        EXPECT_EQ(flash_algo_parse(copy.data(), copy.size(), a, &why), -1);
        return why;
    }
    void put32(std::vector<uint8_t> &b, size_t at, uint32_t v)
    {
        for (int i = 0; i < 4; i++)
            b[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
    // Every NUL-terminated occurrence (string tables, debug strings).
    void rename(std::vector<uint8_t> &b, const std::string &from, const std::string &to)
    {
        std::string key = from + std::string(1, '\0');
        size_t found = 0;
        for (size_t at = find_text(b, key); at != std::string::npos; at = find_text(b, key), found++)
            std::memcpy(b.data() + at, to.data(), to.size());
        EXPECT_GT(found, 0u) << from;
    }

    std::vector<uint8_t> flm_;
    size_t device_at_ = 0;
};

TEST_F(FlashAlgo, TheBuiltAlgorithmReadsWhole)
{
    flash_algo a;
    std::string why;
    ASSERT_EQ(flash_algo_parse(flm_.data(), flm_.size(), a, &why), 0) << why;
    EXPECT_EQ(a.device.name, "TARVEX virtual target 256 KiB flash");
    EXPECT_EQ(a.device.version, 0x0101);
    EXPECT_EQ(a.device.type, 1);
    EXPECT_EQ(a.device.address, 0u);
    EXPECT_EQ(a.device.size, 0x40000u);
    EXPECT_EQ(a.device.page_size, 1024u);
    EXPECT_EQ(a.device.empty, 0xFF);
    EXPECT_EQ(a.device.program_timeout_ms, 100u);
    EXPECT_EQ(a.device.erase_timeout_ms, 500u);
    ASSERT_EQ(a.device.sectors.size(), 3u);
    EXPECT_EQ(a.device.sectors[1].size, 0x4000u);
    EXPECT_EQ(a.device.sectors[1].offset, 0x8000u);
    EXPECT_GE(a.data_offset, a.code.size());
    EXPECT_EQ(a.data.size(), 4u) << "PrgData's initialised part";
    EXPECT_EQ(a.zero_size, 4u) << "its zeroed part";
    for (uint32_t entry : {a.init, a.uninit, a.erase_sector, a.program_page, a.erase_chip, a.blank_check, a.verify}) {
        EXPECT_LT(entry, a.code.size());
        EXPECT_EQ(entry & 1, 0u);
    }
    EXPECT_EQ(a.data[0] | a.data[1] << 8 | a.data[2] << 16 | static_cast<uint32_t>(a.data[3]) << 24, 0xFFFFFFFFu);
    std::vector<uint8_t> image = flash_algo_image(a);
    EXPECT_EQ(image.size(), flash_algo_span(a));
    EXPECT_EQ(std::memcmp(image.data(), a.code.data(), a.code.size()), 0);
}

TEST_F(FlashAlgo, SectorsAreFoundInEveryRun)
{
    flash_algo a;
    ASSERT_EQ(flash_algo_parse(flm_.data(), flm_.size(), a, nullptr), 0);
    struct row {
        uint32_t offset, start, size;
    };
    const row rows[] = {
        {0, 0, 0x1000}, {0x7FFF, 0x7000, 0x1000}, {0x8000, 0x8000, 0x4000}, {0x3FFFF, 0x30000, 0x10000}};
    for (const row &r : rows) {
        uint32_t start = 0, size = 0;
        ASSERT_EQ(flash_sector_find(a.device, r.offset, &start, &size), 0);
        EXPECT_EQ(start, r.start) << std::hex << r.offset;
        EXPECT_EQ(size, r.size) << std::hex << r.offset;
    }
    uint32_t start = 0, size = 0;
    EXPECT_EQ(flash_sector_find(a.device, 0x40000, &start, &size), -1);
}

TEST_F(FlashAlgo, EveryTruncationIsRefused)
{
    for (size_t len = 0; len < flm_.size(); len += 97) {
        flash_algo a;
        std::string why;
        EXPECT_EQ(flash_algo_parse(flm_.data(), len, a, &why), -1) << len;
        EXPECT_FALSE(why.empty()) << len;
    }
}

TEST_F(FlashAlgo, DamagedFilesAreRefusedWithTheirCause)
{
    struct row {
        const char *what;
        std::function<void(std::vector<uint8_t> &)> edit;
        const char *message;
    };
    size_t dev = device_at_;
    const row rows[] = {
        {"not ELF", [](std::vector<uint8_t> &b) { b[1] = 'X'; }, "not an ELF file"},
        {"64-bit class", [](std::vector<uint8_t> &b) { b[4] = 2; }, "not a 32-bit little-endian Arm ELF"},
        {"no PrgCode", [&](std::vector<uint8_t> &b) { rename(b, "PrgCode", "PrgCodX"); }, "no PrgCode section"},
        {"no DevDscr", [&](std::vector<uint8_t> &b) { rename(b, "DevDscr", "DevDscX"); }, "no DevDscr section"},
        {"no ProgramPage", [&](std::vector<uint8_t> &b) { rename(b, "ProgramPage", "ProgramPagX"); },
         "no function ProgramPage"},
        {"no FlashDevice", [&](std::vector<uint8_t> &b) { rename(b, "FlashDevice", "FlashDevicX"); },
         "no FlashDevice symbol"},
        {"no size", [&](std::vector<uint8_t> &b) { put32(b, dev + 136, 0); }, "FlashDevice has no size"},
        {"first sector not at 0", [&](std::vector<uint8_t> &b) { put32(b, dev + SECTORS_AT + 4, 0x100); },
         "must start at offset 0"},
        {"sector size 0", [&](std::vector<uint8_t> &b) { put32(b, dev + SECTORS_AT + 8, 0); }, "sector list entry 1"},
        {"offsets out of order", [&](std::vector<uint8_t> &b) { put32(b, dev + SECTORS_AT + 12, 0x20000); },
         "sector list entry 1"},
        {"run not whole sectors", [&](std::vector<uint8_t> &b) { put32(b, dev + SECTORS_AT + 12, 0x8800); },
         "sector list entry 0"},
        {"sectors past szDev", [&](std::vector<uint8_t> &b) { put32(b, dev + 136, 0x18000); }, "sector list entry 2"},
        {"no end marker", [&](std::vector<uint8_t> &b) { put32(b, dev + SECTORS_AT + 24, 0); }, "no end marker"},
    };
    for (const row &r : rows) {
        std::string why = refusal(r.edit);
        EXPECT_NE(why.find(r.message), std::string::npos) << r.what << ": " << why;
    }
}

} // namespace
