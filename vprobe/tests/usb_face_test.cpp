// The USB face of a virtual probe: descriptors, serial forms, endpoint 0 and
// the bulk routing both transports share.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "probe_bus.h"
#include "probe_usb.h"

using namespace vprobe;

namespace
{

probe_config config_of(const char *serial, uint8_t form, uint8_t generation = GEN_2)
{
    probe_config cfg;
    config_defaults(cfg);
    config_set_generation(cfg, generation);
    std::snprintf(cfg.serial.data(), cfg.serial.size(), "%s", serial);
    cfg.form = form;
    return cfg;
}

std::vector<uint8_t> serial_descriptor(const probe_config &cfg)
{
    std::vector<uint8_t> out(256);
    out.resize(usb_serial_descriptor(cfg, out.data(), out.size()));
    return out;
}

TEST(UsbFace, SerialDescriptorForms)
{
    std::vector<uint8_t> hex = serial_descriptor(config_of("0123456789ABCDEF01234567", SERIAL_HEX));
    ASSERT_EQ(hex.size(), 26u);
    EXPECT_EQ(hex[0], 26);
    EXPECT_EQ(hex[1], 3);
    EXPECT_EQ(hex[2], 0x01);
    EXPECT_EQ(hex[4], 0x23);
    EXPECT_EQ(hex[24], 0x67);
    EXPECT_EQ(hex[25], 0);

    std::vector<uint8_t> text = serial_descriptor(config_of("ABC", SERIAL_TEXT));
    ASSERT_EQ(text.size(), 50u) << "the text form always has 24 code units";
    EXPECT_EQ(text[2], 'A');
    EXPECT_EQ(text[6], 'C');
    EXPECT_EQ(text[8], 0) << "padded with NUL units";

    EXPECT_EQ(serial_descriptor(config_of("SHORT", SERIAL_RAW)).size(), 12u);
    EXPECT_EQ(serial_descriptor(config_of("", SERIAL_RAW)).size(), 2u);
    EXPECT_TRUE(serial_descriptor(config_of("0123", SERIAL_HEX)).empty()) << "hex form needs 24 digits";
    EXPECT_TRUE(serial_descriptor(config_of("0123456789ABCDEF0123456X", SERIAL_HEX)).empty());
}

TEST(UsbFace, DescriptorsNameTheProductAndItsEndpoints)
{
    struct layout_case {
        uint8_t generation;
        uint16_t pid;
        uint8_t out_ep, trace_ep;
    };
    const layout_case cases[] = {
        {GEN_2, TARVEX_V2_PID, 0x02, 0x83},
        {GEN_21, TARVEX_V21_PID, 0x01, 0x82},
        {GEN_3, TARVEX_V3_PID, 0x01, 0x82},
    };
    for (const layout_case &c : cases) {
        uint8_t d[DESCRIPTORS_LEN];
        ASSERT_EQ(usb_descriptors(config_of("0123456789ABCDEF01234567", SERIAL_HEX, c.generation), d), DESCRIPTORS_LEN);
        EXPECT_EQ(d[8] | d[9] << 8, TARVEX_VID);
        EXPECT_EQ(d[10] | d[11] << 8, c.pid);
        const uint8_t *config = d + DEVICE_DESC_LEN;
        EXPECT_EQ(config[2], CONFIG_DESC_LEN);
        // Endpoints follow the interface: reply IN, command OUT, trace IN.
        EXPECT_EQ(config[18 + 2], 0x81);
        EXPECT_EQ(config[25 + 2], c.out_ep);
        EXPECT_EQ(config[32 + 2], c.trace_ep);
    }
}

class UsbRouting : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(bus_create_private(bus_, 4u << 20), 0);
        probe_config cfg = config_of("TARVEX-ROUTING-PROBE", SERIAL_TEXT);
        ASSERT_EQ(bus_add_probe(bus_, cfg), 0);
        v_ = bus_view(bus_, 0);
    }
    void TearDown() override { bus_close(bus_); }
    probe_bus bus_{};
    probe_view v_{};
};

TEST_F(UsbRouting, ControlRequestsAreCutToTheAskedLength)
{
    // GET_DESCRIPTOR(STRING 3), 8-byte data stage asked.
    const uint8_t setup[8] = {0x80, 6, 3, 3, 0x09, 0x04, 8, 0};
    uint8_t data[255];
    EXPECT_EQ(usb_control(v_, setup, data, sizeof data), 8);
    EXPECT_EQ(data[0], 50);
    EXPECT_EQ(data[2], 'T');
    const uint8_t vendor[8] = {0xC0, 1, 0, 0, 0, 0, 4, 0};
    EXPECT_EQ(usb_control(v_, vendor, data, sizeof data), -EPIPE);
    const uint8_t bad_config[8] = {0x00, 9, 7, 0, 0, 0, 0, 0};
    EXPECT_EQ(usb_control(v_, bad_config, data, 0), -EPIPE);
}

TEST_F(UsbRouting, ReplyInWaitsForACommandAndRejectsTooSmallBuffers)
{
    uint8_t buf[64];
    EXPECT_EQ(usb_bulk(v_, 0x81, buf, sizeof buf, 0).kind, IO_PENDING) << "no command yet: NAK";
    uint8_t block[CMD_SIZE] = {CMD_GET_VERSION};
    urb_result out = usb_bulk(v_, 0x02, block, CMD_SIZE, 0);
    EXPECT_EQ(out.kind, IO_DONE);
    EXPECT_EQ(out.actual, CMD_SIZE);
    // A 4-byte buffer for the 6-byte reply: the device babbles.
    urb_result in = usb_bulk(v_, 0x81, buf, 4, 0);
    EXPECT_EQ(in.status, -EOVERFLOW);
    EXPECT_EQ(usb_bulk(v_, 0x81, buf, sizeof buf, 0).kind, IO_PENDING) << "the rest is lost";
    EXPECT_EQ(usb_bulk_submit_check(v_, 0x05), ENOENT);
    EXPECT_EQ(usb_bulk_submit_check(v_, 0x83), 0);
}

} // namespace
