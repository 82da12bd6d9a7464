// USB face of a virtual probe: descriptors, endpoint 0 requests and the
// routing of bulk transfers to the probe model. Shared by both transports
// (umockdev's ioctl handler and the in-process preload).
#pragma once

#include "probe_model.h"

#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

namespace vprobe
{

struct usb_endpoints {
    uint8_t cmd_out;
    uint8_t reply_in;
    uint8_t trace_in;
    uint16_t max_packet;
    uint16_t speed_mbps; // sysfs "speed"
};

// Endpoint layout by product: generation 2 uses OUT 0x02 / IN 0x81 / IN 0x83,
// generations 2.1 and 3 use OUT 0x01 / IN 0x81 / IN 0x82.
usb_endpoints endpoints_of(const probe_config &cfg);

constexpr size_t DEVICE_DESC_LEN = 18;
constexpr size_t CONFIG_DESC_LEN = 9 + 9 + 3 * 7;
constexpr size_t DESCRIPTORS_LEN = DEVICE_DESC_LEN + CONFIG_DESC_LEN;

// Device descriptor followed by the full configuration descriptor, as sysfs
// "descriptors" holds them. Returns the length written (DESCRIPTORS_LEN).
size_t usb_descriptors(const probe_config &cfg, uint8_t *out);

// Serial-number string descriptor in the probe's form. Returns its length,
// or 0 when the serial text does not fit the form.
size_t usb_serial_descriptor(const probe_config &cfg, uint8_t *out, size_t cap);

// Checks that cfg.serial fits cfg.form. Returns 0 or -1.
int usb_serial_valid(const probe_config &cfg);

// The serial text a host derives from the descriptor (24 characters at
// most). Writes a NUL-terminated text into out (at least 25 bytes).
void usb_serial_shown(const probe_config &cfg, char *out);

// Endpoint 0 request with its 8-byte setup packet. Returns the length of the
// data stage written to data (at most cap) or a negative errno (-EPIPE = STALL).
int usb_control(probe_view &v, const uint8_t *setup, uint8_t *data, uint32_t cap);

// usbfs capabilities both transports report: what libusb 1.0.26 asks for.
constexpr uint32_t USB_CAPABILITIES = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                      USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

// The usbfs speed code of a sysfs speed in Mbit/s.
int usb_speed_code(uint32_t speed_mbps);

// Whether a bulk URB on ep may be submitted now: 0, or the errno the
// submission fails with.
int usb_bulk_submit_check(const probe_view &v, uint8_t ep);

// Outcome of a bulk URB. submit_errno is non-zero when the submission itself
// fails; otherwise kind tells whether it completed (status, actual) or waits.
struct urb_result {
    int submit_errno;
    int kind;   // io_kind
    int status; // 0 or -errno at completion
    uint32_t actual;
};

// Bulk transfer of len bytes on endpoint ep; IN data is written to buf.
urb_result usb_bulk(probe_view &v, uint8_t ep, uint8_t *buf, uint32_t len, uint64_t now_us);

// An IN URB on ep was cancelled before it completed. A reply nobody waits
// for any more must not answer the next read; the trace endpoint is another
// pipe, whose cancelled reads leave the replies alone.
void usb_bulk_cancelled(probe_view &v, uint8_t ep);

// Retries the IN URBs waiting in `pending` (a deque of URB pointers) in
// order; try_urb(u) completes one and says true, or says false while the
// device NAKs it. Once the first URB of an endpoint waits, the later ones of
// that endpoint wait behind it; the other IN endpoint goes on.
template <typename Queue, typename Endpoint, typename Try>
void usb_pump_pending(Queue &pending, Endpoint endpoint_of, Try try_urb)
{
    uint8_t held[2] = {0, 0};
    for (auto it = pending.begin(); it != pending.end();) {
        uint8_t ep = endpoint_of(*it);
        bool waits = held[0] == ep || held[1] == ep;
        if (!waits && try_urb(*it)) {
            it = pending.erase(it);
            continue;
        }
        if (!waits)
            held[held[0] == 0 ? 0 : 1] = ep;
        ++it;
    }
}

// A command OUT URB held back by the probe's latency: it reaches the model,
// and completes, at due_us. Holding the command itself (not only its
// completion) keeps its reply unreadable until then.
template <typename Urb> struct held_urb {
    uint64_t due_us;
    Urb *urb;
};

// Hands the held URBs whose time has come to release(urb), oldest first.
// Returns the due time of the next one, or 0 when none is left.
template <typename Queue, typename Release> uint64_t usb_release_due(Queue &held, uint64_t now_us, Release release)
{
    while (!held.empty() && held.front().due_us <= now_us) {
        auto *u = held.front().urb;
        held.pop_front();
        release(u);
    }
    return held.empty() ? 0 : held.front().due_us;
}

// Removes the first held URB that matches(urb) says true for. Returns it,
// or null when none matches.
template <typename Queue, typename Match> auto usb_take_held(Queue &held, Match matches) -> decltype(held.front().urb)
{
    for (auto it = held.begin(); it != held.end(); ++it) {
        if (matches(it->urb)) {
            auto *u = it->urb;
            held.erase(it);
            return u;
        }
    }
    return nullptr;
}

// CLOCK_MONOTONIC in microseconds (the model's clock in both transports).
uint64_t monotonic_us();
// The CLOCK_MONOTONIC time of a monotonic_us() value, for timed waits.
timespec monotonic_timespec(uint64_t us);

} // namespace vprobe
