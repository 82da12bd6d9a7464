// Pure logic below the protocol: the probe key, serial decoding, the
// description record and the probe status table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "libusb1_common.h"
#include "tarvex_api.h"
#include "tarvex_usb.h"

namespace
{

struct hash_case {
    std::string text;
    uint32_t key;
};

TEST(ProbeKey, JenkinsOneAtATimeWithSignedBytes)
{
    const hash_case cases[] = {
        {"", 0},
        {"abc", 0xED131F5B},
        // 0x80 is added as -128: the unsigned reading would give 0x277FCEDB.
        {std::string(1, '\x80'), 0xC31D4E27},
    };
    for (const hash_case &c : cases)
        EXPECT_EQ(jenkins_one_at_a_time_hash(c.text.data(), c.text.size()), c.key) << c.text;
    EXPECT_NE(jenkins_one_at_a_time_hash("abd", 3), 0xED131F5Bu);
}

// A string descriptor: length, type 3, then UTF-16LE code units.
std::vector<uint8_t> string_descriptor(const std::vector<uint16_t> &units)
{
    std::vector<uint8_t> d = {static_cast<uint8_t>(2 + 2 * units.size()), 3};
    for (uint16_t u : units) {
        d.push_back(static_cast<uint8_t>(u));
        d.push_back(static_cast<uint8_t>(u >> 8));
    }
    return d;
}

std::string decode(const std::vector<uint8_t> &descriptor, int *rc)
{
    char str[TARVEX_SERIAL_BUFFER_SIZE];
    memset(str, 'Z', sizeof(str)); // a stale earlier serial must never show through
    *rc = compute_serial_str(descriptor.data(), static_cast<int>(descriptor.size()), str);
    return str;
}

TEST(SerialText, BothDescriptorFormsAndBadLengths)
{
    std::vector<uint16_t> twelve = {0x0A, 0x01, 0xFF, 0x30, 0x00, 0x7F, 0x1234, 0x05, 0x60, 0x70, 0x80, 0x90};
    std::vector<uint16_t> text;
    for (char c : std::string("VPROBE-TEXT-SERIAL-00001"))
        text.push_back(static_cast<uint16_t>(0x4100 | static_cast<uint8_t>(c)));
    struct serial_case {
        std::vector<uint8_t> descriptor;
        int rc;
        std::string serial;
    };
    const serial_case cases[] = {
        // 26 bytes: the low byte of each unit as two upper-case hex digits.
        {string_descriptor(twelve), 0, "0A01FF30007F340560708090"},
        // 50 bytes: the low byte of each unit as a character, high bytes dropped.
        {string_descriptor(text), 0, "VPROBE-TEXT-SERIAL-00001"},
        // Any other length: the hex form of at most 12 payload bytes.
        {string_descriptor({0x41, 0x42}), 0, "41004200"},
        {{}, -1, ""},
        {{2, 3}, -1, ""},
        {{60, 3, 1, 0}, -1, ""},
    };
    for (const serial_case &c : cases) {
        int rc = 0;
        std::string serial = decode(c.descriptor, &rc);
        EXPECT_EQ(rc, c.rc) << c.serial;
        EXPECT_EQ(serial, c.serial);
        EXPECT_LE(serial.size(), 24u);
    }
}

TEST(DeviceInfo, EncodesTheFortyOneByteRecordLittleEndian)
{
    tarvex_device_info info;
    memset(&info, 0xEE, sizeof(info));
    info.tarvex_usb_id = 0x11223344;
    memset(info.enum_unique_id, 0, sizeof(info.enum_unique_id));
    memcpy(info.enum_unique_id, "ABCDEFGHIJKLMNOPQRSTUVWX", 24);
    info.vendor_id = 0x7E57;
    info.product_id = 0x7A02;
    info.device_used = 0;
    uint8_t out[TARVEX_DEVICE_INFO_SIZE + 1];
    memset(out, 0xCC, sizeof(out));
    tarvex_device_info_encode(&info, out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0x44, 0x33, 0x22, 0x11}));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out + 4)), "ABCDEFGHIJKLMNOPQRSTUVWX");
    EXPECT_EQ(out[28], 0) << "a 24-character serial ends at offset 28";
    EXPECT_EQ(std::vector<uint8_t>(out + 36, out + 41), (std::vector<uint8_t>{0x57, 0x7E, 0x02, 0x7A, 0x00}));
    EXPECT_EQ(out[41], 0xCC) << "nothing past the 41 bytes";
}

TEST(ProbeStatus, EveryStatusByteMapsToItsResult)
{
    static tarvex_usb_handle_s handle;
    for (int status = 0; status < 256; status++) {
        int expected = ERROR_FAIL;
        if (status == 0x00 || status == 0x80 || status == 0x11)
            expected = ERROR_OK;
        else if (status == 0x07 || status == 0x10 || status == 0x14)
            expected = ERROR_WAIT;
        handle.databuf[0] = static_cast<uint8_t>(status);
        EXPECT_EQ(tarvex_usb_error_check(&handle), expected) << "status 0x" << std::hex << status;
    }
}

TEST(ProbeStatus, WaitBackOffDoublesAndGivesUpAfterSixteenRetries)
{
    uint32_t total = 0;
    for (unsigned retry = 0; retry < 16; retry++) {
        EXPECT_EQ(tarvex_wait_delay_us(retry), 1000u << retry) << retry;
        total += tarvex_wait_delay_us(retry);
    }
    EXPECT_EQ(tarvex_wait_delay_us(16), 0u) << "the 17th send is the last";
    EXPECT_EQ(total, 65535000u);
}

} // namespace
