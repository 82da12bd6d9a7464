// The pack reader against the pack the build makes for the virtual target
// (vprobe/firmware/Tarvex.VirtualTarget.pdsc), hand-made descriptions and
// damaged packs.
#include <gtest/gtest.h>

#include "pack_file.h"
#include "read_file.h"

using namespace tarvex_images;
using namespace images_test;

namespace
{

std::vector<pack_device> devices_of(const std::string &xml, int expect = 0, std::string *why = nullptr)
{
    std::vector<pack_device> out;
    EXPECT_EQ(pack_read_pdsc(xml.data(), xml.size(), out, why), expect) << xml;
    return out;
}

TEST(PackFile, TheVirtualTargetsPackNamesItsAlgorithm)
{
    std::vector<uint8_t> pack = file_bytes(FLASH_PACK);
    std::vector<pack_device> devices;
    std::string why;
    ASSERT_EQ(pack_read(pack.data(), pack.size(), devices, &why), 0) << why;
    const pack_device *d = pack_find_device(devices, "tarvex-vt256");
    ASSERT_NE(d, nullptr) << "names match without regard to case";
    ASSERT_EQ(d->algorithms.size(), 1u) << "inherited from the family";
    const pack_algorithm &a = d->algorithms[0];
    EXPECT_EQ(a.path, "Flash/tarvex-virtual-target.FLM") << "backslashes become slashes";
    EXPECT_EQ(a.start, 0u);
    EXPECT_EQ(a.size, 0x40000u);
    EXPECT_TRUE(a.has_ram);
    EXPECT_EQ(a.ram_start, 0x20000000u);
    EXPECT_EQ(a.ram_size, 0x8000u);
    EXPECT_TRUE(a.is_default);
    std::vector<uint8_t> flm;
    ASSERT_EQ(pack_member(pack.data(), pack.size(), a.path, flm, &why), 0) << why;
    EXPECT_EQ(flm, file_bytes(FLASH_ALGO_FLM));
    EXPECT_EQ(pack_member(pack.data(), pack.size(), "Flash/other.FLM", flm, &why), -1);
    EXPECT_NE(why.find("no member Flash/other.FLM"), std::string::npos) << why;
}

TEST(PackFile, AlgorithmsApplyToTheDevicesBelowTheirElement)
{
    std::vector<pack_device> devices = devices_of(R"(<package><devices>
        <family Dfamily="F"><algorithm name="fam.FLM" start="0x0" size="0x1000"/>
          <subFamily DsubFamily="S"><algorithm name="sub.FLM" start="4096" size="0x1000" RAMstart="0x20000000" RAMsize="0x400"/>
            <device Dname="D1"><variant Dvariant="D1-V"><algorithm name="var.FLM" start="0x2000" size="0x100"/></variant></device>
          </subFamily>
          <device Dname="D2"/>
        </family></devices></package>)");
    struct row {
        const char *device;
        std::vector<std::string> paths;
    };
    const row rows[] = {
        {"D1", {"fam.FLM", "sub.FLM"}}, {"D1-V", {"fam.FLM", "sub.FLM", "var.FLM"}}, {"D2", {"fam.FLM"}}};
    for (const row &r : rows) {
        const pack_device *d = pack_find_device(devices, r.device);
        ASSERT_NE(d, nullptr) << r.device;
        std::vector<std::string> paths;
        for (const pack_algorithm &a : d->algorithms)
            paths.push_back(a.path);
        EXPECT_EQ(paths, r.paths) << r.device;
    }
    const pack_device *d1 = pack_find_device(devices, "D1");
    EXPECT_FALSE(d1->algorithms[0].has_ram);
    EXPECT_EQ(d1->algorithms[1].start, 4096u);
    EXPECT_EQ(d1->algorithms[1].ram_size, 0x400u);
    EXPECT_EQ(pack_find_device(devices, "D3"), nullptr);
}

TEST(PackFile, BadDescriptionsAreRefusedWithTheirCause)
{
    struct row {
        const char *xml, *message;
    };
    const row rows[] = {
        {"<package><devices>", "not XML"},
        {"<other/>", "no <package> element"},
        {R"(<package><devices><family><algorithm name="a.FLM" start="zero" size="1"/></family></devices></package>)",
         "bad start, size or RAM number"},
        {R"(<package><devices><family><algorithm name="a.FLM" start="0x0" size="0x100000000"/></family></devices></package>)",
         "bad start, size or RAM number"},
        {R"(<package><devices><family><algorithm start="0" size="1"/></family></devices></package>)", "lacks a name"},
        {R"(<package><devices><family><algorithm name="a.FLM" start="0xFFFFFF00" size="0x200"/></family></devices></package>)",
         "passes 4 GiB"},
        {R"(<package><devices><family><device/></family></devices></package>)", "a device without a name"},
    };
    for (const row &r : rows) {
        std::string why;
        devices_of(r.xml, -1, &why);
        EXPECT_NE(why.find(r.message), std::string::npos) << r.xml << " -> " << why;
    }
}

TEST(PackFile, DamagedPacksAreRefused)
{
    std::vector<uint8_t> pack = file_bytes(FLASH_PACK);
    std::vector<pack_device> devices;
    std::string why;
    for (size_t len : {size_t{0}, size_t{22}, pack.size() / 2, pack.size() - 1}) {
        EXPECT_EQ(pack_read(pack.data(), len, devices, &why), -1) << len;
        EXPECT_NE(why.find("pack:"), std::string::npos) << why;
    }
    std::vector<uint8_t> flm = file_bytes(FLASH_ALGO_FLM);
    EXPECT_EQ(pack_read(flm.data(), flm.size(), devices, &why), -1);
    EXPECT_NE(why.find("not a readable zip"), std::string::npos) << why;

    // A byte of the algorithm's compressed bytes changed: its check fails on reading.
    std::vector<uint8_t> damaged = pack;
    size_t name = find_text(damaged, "Flash/tarvex-virtual-target.FLM");
    ASSERT_NE(name, std::string::npos);
    damaged[name + 400] ^= 0x55;
    std::vector<uint8_t> member;
    EXPECT_EQ(pack_member(damaged.data(), damaged.size(), "Flash/tarvex-virtual-target.FLM", member, &why), -1);
    EXPECT_NE(why.find("member"), std::string::npos) << why;
}

} // namespace
