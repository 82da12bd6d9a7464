// Descriptors, endpoint 0 and bulk routing of a virtual probe.
#include "probe_usb.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace vprobe
{

namespace
{

constexpr uint8_t DESC_DEVICE = 1;
constexpr uint8_t DESC_CONFIG = 2;
constexpr uint8_t DESC_STRING = 3;
constexpr uint8_t REQ_GET_STATUS = 0;
constexpr uint8_t REQ_GET_DESCRIPTOR = 6;
constexpr uint8_t REQ_GET_CONFIGURATION = 8;
constexpr uint8_t REQ_SET_CONFIGURATION = 9;
constexpr uint8_t REQ_GET_INTERFACE = 10;
constexpr uint8_t STR_MANUFACTURER = 1;
constexpr uint8_t STR_PRODUCT = 2;
constexpr uint8_t STR_SERIAL = 3;
constexpr uint8_t CONFIG_VALUE = 1;

constexpr const char *MANUFACTURER = "TARVEX";
constexpr const char *PRODUCT = "TARVEX virtual probe";

void put_u16(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

uint16_t get_u16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
}

// Bulk endpoint descriptor (7 bytes).
uint8_t *put_endpoint(uint8_t *p, uint8_t addr, uint16_t max_packet)
{
    p[0] = 7;
    p[1] = 5;
    p[2] = addr;
    p[3] = 0x02; // bulk
    put_u16(p + 4, max_packet);
    p[6] = 0;
    return p + 7;
}

// String descriptor of an ASCII text, UTF-16LE.
size_t ascii_string(const char *text, uint8_t *out, size_t cap)
{
    size_t n = std::strlen(text);
    if (2 + 2 * n > cap || 2 + 2 * n > 255)
        n = (cap < 255 ? cap - 2 : 253) / 2;
    out[0] = static_cast<uint8_t>(2 + 2 * n);
    out[1] = DESC_STRING;
    for (size_t i = 0; i < n; i++) {
        out[2 + 2 * i] = static_cast<uint8_t>(text[i]);
        out[3 + 2 * i] = 0;
    }
    return 2 + 2 * n;
}

int string_descriptor(const probe_config &cfg, uint8_t index, uint8_t *out, size_t cap)
{
    switch (index) {
    case 0: // language list: en-US
        out[0] = 4;
        out[1] = DESC_STRING;
        put_u16(out + 2, 0x0409);
        return 4;
    case STR_MANUFACTURER:
        return static_cast<int>(ascii_string(MANUFACTURER, out, cap));
    case STR_PRODUCT:
        return static_cast<int>(ascii_string(PRODUCT, out, cap));
    case STR_SERIAL:
        return static_cast<int>(usb_serial_descriptor(cfg, out, cap));
    default:
        return -EPIPE;
    }
}

int get_descriptor(const probe_config &cfg, uint16_t value, uint8_t *out)
{
    uint8_t all[DESCRIPTORS_LEN];
    usb_descriptors(cfg, all);
    uint8_t type = static_cast<uint8_t>(value >> 8), index = static_cast<uint8_t>(value);
    if (type == DESC_DEVICE) {
        std::memcpy(out, all, DEVICE_DESC_LEN);
        return static_cast<int>(DEVICE_DESC_LEN);
    }
    if (type == DESC_CONFIG && index == 0) {
        std::memcpy(out, all + DEVICE_DESC_LEN, CONFIG_DESC_LEN);
        return static_cast<int>(CONFIG_DESC_LEN);
    }
    if (type == DESC_STRING)
        return string_descriptor(cfg, index, out, 255);
    return -EPIPE;
}

int standard_request(probe_view &v, const uint8_t *setup, uint8_t *out)
{
    uint16_t value = get_u16(setup + 2);
    switch (setup[1]) {
    case REQ_GET_DESCRIPTOR:
        return setup[0] == 0x80 ? get_descriptor(v.rec->cfg, value, out) : -EPIPE;
    case REQ_GET_STATUS:
        out[0] = out[1] = 0;
        return 2;
    case REQ_GET_CONFIGURATION:
        out[0] = v.rec->st.usb_config;
        return 1;
    case REQ_GET_INTERFACE:
        out[0] = 0;
        return 1;
    case REQ_SET_CONFIGURATION:
        if (value != 0 && value != CONFIG_VALUE)
            return -EPIPE;
        v.rec->st.usb_config = static_cast<uint8_t>(value);
        return 0;
    default:
        return -EPIPE;
    }
}

urb_result reply_in(probe_view &v, uint8_t *buf, uint32_t len, uint16_t max_packet)
{
    uint32_t pending = probe_reply_pending(v);
    if (pending == 0)
        return {0, IO_PENDING, 0, 0}; // the device NAKs until a command answers
    uint32_t n = probe_reply_take(v, buf, len);
    if (n < pending && len % max_packet != 0) {
        // The device's next packet does not fit: babble, the rest is lost.
        probe_reply_discard(v);
        return {0, IO_DONE, -EOVERFLOW, n};
    }
    return {0, IO_DONE, 0, n};
}

} // namespace

usb_endpoints endpoints_of(const probe_config &cfg)
{
    if (cfg.pid == TARVEX_V21_PID || cfg.pid == TARVEX_V3_PID)
        return {0x01, 0x81, 0x82, 512, 480};
    return {0x02, 0x81, 0x83, 64, 12};
}

size_t usb_descriptors(const probe_config &cfg, uint8_t *out)
{
    usb_endpoints ep = endpoints_of(cfg);
    static const uint8_t device_head[8] = {18, DESC_DEVICE, 0x00, 0x02, 0, 0, 0, 64};
    std::memcpy(out, device_head, sizeof device_head);
    put_u16(out + 8, cfg.vid);
    put_u16(out + 10, cfg.pid);
    put_u16(out + 12, 0x0100); // bcdDevice
    out[14] = STR_MANUFACTURER;
    out[15] = STR_PRODUCT;
    out[16] = STR_SERIAL;
    out[17] = 1; // one configuration
    uint8_t *c = out + DEVICE_DESC_LEN;
    static const uint8_t config_head[9] = {9, DESC_CONFIG, CONFIG_DESC_LEN, 0, 1, CONFIG_VALUE, 0, 0x80, 50};
    std::memcpy(c, config_head, sizeof config_head);
    // Interface 0, three endpoints, vendor class 0xFF/0xFF, protocol 0.
    static const uint8_t iface[9] = {9, 4, 0, 0, 3, 0xFF, 0xFF, 0, 0};
    std::memcpy(c + 9, iface, sizeof iface);
    // Reply IN first, then command OUT: a host taking the first IN and the
    // first OUT of the interface gets the pair it needs and never the trace IN.
    uint8_t *p = put_endpoint(c + 18, ep.reply_in, ep.max_packet);
    p = put_endpoint(p, ep.cmd_out, ep.max_packet);
    put_endpoint(p, ep.trace_in, ep.max_packet);
    return DESCRIPTORS_LEN;
}

int usb_serial_valid(const probe_config &cfg)
{
    const char *s = cfg.serial.data();
    size_t n = std::strlen(s);
    switch (cfg.form) {
    case SERIAL_HEX:
        if (n != 2 * 12)
            return -1;
        for (size_t i = 0; i < n; i++)
            if (hex_value(s[i]) < 0)
                return -1;
        return 0;
    case SERIAL_TEXT:
        return n <= SERIAL_CHARS ? 0 : -1;
    case SERIAL_RAW:
        return n <= 60 ? 0 : -1;
    default:
        return -1;
    }
}

size_t usb_serial_descriptor(const probe_config &cfg, uint8_t *out, size_t cap)
{
    if (usb_serial_valid(cfg) != 0)
        return 0;
    const char *s = cfg.serial.data();
    size_t units = cfg.form == SERIAL_HEX ? 12 : cfg.form == SERIAL_TEXT ? SERIAL_CHARS : std::strlen(s);
    size_t len = 2 + 2 * units;
    if (len > cap)
        return 0;
    std::memset(out, 0, len);
    out[0] = static_cast<uint8_t>(len);
    out[1] = DESC_STRING;
    for (size_t i = 0; i < units; i++) {
        if (cfg.form == SERIAL_HEX)
            out[2 + 2 * i] = static_cast<uint8_t>(hex_value(s[2 * i]) << 4 | hex_value(s[2 * i + 1]));
        else if (i < std::strlen(s))
            out[2 + 2 * i] = static_cast<uint8_t>(s[i]); // text form pads with NUL units
    }
    return len;
}

void usb_serial_shown(const probe_config &cfg, char *out)
{
    size_t n = std::strlen(cfg.serial.data());
    if (n > SERIAL_CHARS)
        n = SERIAL_CHARS;
    for (size_t i = 0; i < n; i++) {
        char c = cfg.serial[i];
        out[i] = cfg.form == SERIAL_HEX ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
    }
    out[n] = '\0';
}

int usb_control(probe_view &v, const uint8_t *setup, uint8_t *data, uint32_t cap)
{
    if ((setup[0] & 0x60) != 0)
        return -EPIPE; // no class or vendor requests on endpoint 0
    uint8_t out[256];
    int n = standard_request(v, setup, out);
    if (n < 0)
        return n;
    uint32_t want = get_u16(setup + 6);
    uint32_t len = static_cast<uint32_t>(n);
    if (len > want)
        len = want;
    if (len > cap)
        len = cap;
    std::memcpy(data, out, len);
    return static_cast<int>(len);
}

int usb_speed_code(uint32_t speed_mbps)
{
    // enum usb_device_speed: 2 full, 3 high, 5 super.
    return speed_mbps >= 5000 ? 5 : speed_mbps >= 480 ? 3 : 2;
}

int usb_bulk_submit_check(const probe_view &v, uint8_t ep)
{
    usb_endpoints e = endpoints_of(v.rec->cfg);
    if (v.rec->st.usb_config == 0)
        return ENOENT; // unconfigured: no bulk endpoints exist
    return ep == e.cmd_out || ep == e.reply_in || ep == e.trace_in ? 0 : ENOENT;
}

urb_result usb_bulk(probe_view &v, uint8_t ep, uint8_t *buf, uint32_t len, uint64_t now_us)
{
    usb_endpoints e = endpoints_of(v.rec->cfg);
    if (v.rec->st.usb_config == 0)
        return {ENOENT, IO_DONE, 0, 0}; // unconfigured: no bulk endpoints exist
    if (ep == e.cmd_out) {
        io_outcome o = probe_bulk_out(v, buf, len, now_us);
        if (o.kind == IO_NODEV)
            return {ENODEV, IO_NODEV, 0, 0};
        return {0, IO_DONE, 0, o.length};
    }
    if (ep == e.reply_in)
        return reply_in(v, buf, len, e.max_packet);
    if (ep == e.trace_in) {
        uint32_t n = probe_trace_take(v, buf, len, now_us);
        return n ? urb_result{0, IO_DONE, 0, n} : urb_result{0, IO_PENDING, 0, 0};
    }
    return {ENOENT, IO_DONE, 0, 0};
}

void usb_bulk_cancelled(probe_view &v, uint8_t ep)
{
    if (ep == endpoints_of(v.rec->cfg).reply_in)
        probe_reply_discard(v);
}

uint64_t monotonic_us()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

timespec monotonic_timespec(uint64_t us)
{
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(us / 1000000u);
    ts.tv_nsec = static_cast<long>(us % 1000000u) * 1000L;
    return ts;
}

} // namespace vprobe
