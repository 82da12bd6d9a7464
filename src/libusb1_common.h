// The USB access layer: the process's libusb context, the scans that keep the
// probe registry in step with the bus, and the synchronous transfers of one
// probe's device handle. What an entry's comings and goings mean to clients
// is entry_life's to decide: the scans report to it.
#pragma once

#include <cstdint>

#include <libusb.h>

#include "result_codes.h"

struct tarvex_usb;

// USB identities of the TARVEX family.
constexpr uint16_t TARVEX_VID = 0x7E57;
constexpr uint16_t TARVEX_PID_A = 0x7A01;
constexpr uint16_t TARVEX_V2_PID = 0x7A02;
constexpr uint16_t TARVEX_PID_B = 0x7A03;
constexpr uint16_t TARVEX_V21_PID = 0x7A21;
constexpr uint16_t TARVEX_PID_C = 0x7A04;
constexpr uint16_t TARVEX_V3_PID = 0x7A31;

// Probe ID table: slot i of both arrays is one (vendor, product) pair; the
// first slot with vendor 0 ends the table.
constexpr int TARVEX_PROBE_ID_SLOTS = 8;
inline constexpr uint16_t tarvex_probe_vids[TARVEX_PROBE_ID_SLOTS] = {
    TARVEX_VID, TARVEX_VID, TARVEX_VID, TARVEX_VID, TARVEX_VID, TARVEX_VID, 0, 0,
};
inline constexpr uint16_t tarvex_probe_pids[TARVEX_PROBE_ID_SLOTS] = {
    TARVEX_PID_A, TARVEX_V2_PID, TARVEX_PID_B, TARVEX_V21_PID, TARVEX_PID_C, TARVEX_V3_PID, 0, 0,
};

// Serial text: at most 24 characters and a NUL, built from a raw string
// descriptor of at most 64 bytes.
constexpr int TARVEX_SERIAL_MAX_CHARS = 24;
constexpr int TARVEX_SERIAL_BUFFER_SIZE = 64;

// Creates the libusb context. Returns ERROR_OK, or ERROR_NO_USB when
// libusb_init fails.
int tarvex_libusb_init();
// Releases every registry entry (closing open device handles; entry_leaving
// makes their associations invalid), then the libusb context.
void tarvex_libusb_exit();

// First scan: registers every attached probe of the table. `serial` is not
// applied. Returns 1 if an entry was created, else 0. No handle stays open.
int tarvex_libusb_open(const uint16_t *vids, const uint16_t *pids, const char *serial);
// Re-enumeration: closes every handle, adds new probes, rebinds the known
// ones found (entry_life re-opens those open for clients), removes the gone
// ones. Returns 0. REQUIRES: no probe work in flight.
int tarvex_libusb_refresh();

// True when the device's (idVendor, idProduct) is one pair of the table.
bool tarvex_match(libusb_device *dev, const uint16_t *vids, const uint16_t *pids);

// Decodes `length` bytes of a raw serial-number string descriptor into `str`
// (at least 25 bytes), always NUL-terminated at position 24 or earlier.
// Returns 0 when a serial text was produced, -1 when nothing usable was read.
int compute_serial_str(const uint8_t *descriptor, int length, char *str);

// Watching the bus (loop thread): probes plugged in are registered, and one
// that comes back is bound to its entry again, without a refresh. Starts
// with libusb's hot-plug events where it has them and poll_ms is 0, else
// with a look at the bus every poll_ms (TARVEX_BUS_POLL_MS when 0). Puts the
// descriptors the loop must watch for reading into fds (none when polling);
// returns their count.
constexpr uint64_t TARVEX_BUS_POLL_MS = 2000;
int tarvex_libusb_watch_start(uint64_t poll_ms, int *fds, int max);
// One of those descriptors is ready.
void tarvex_libusb_watch_ready(int fd);
// When the next look at the bus is due; UINT64_MAX when only an event brings one.
uint64_t tarvex_libusb_next_look_ms();
// Looks at the bus when a look is due at `now`.
void tarvex_libusb_look(uint64_t now);

// Opens the USB device of the entry into its handle's `fd`, in the handle's
// own libusb context (made here the first time) where it can. Touches only
// the entry's handle, so it runs on the probe's worker. Returns ERROR_OK, or
// ERROR_FAIL when the device could not be opened.
int tarvex_libusb_real_open(tarvex_usb *tarvex);
// Makes the configuration with descriptor index `configuration` active unless
// it is already. Returns 0 or the libusb error of the step that failed.
int tarvex_libusb_set_configuration(libusb_device_handle *devh, int configuration);
// Finds the first interface matching the filters (a filter <= 0 is ignored)
// with an IN and an OUT endpoint, stores their addresses and claims it.
// Returns ERROR_OK, or ERROR_FAIL when there is none.
int tarvex_libusb_choose_interface(libusb_device_handle *devh, unsigned int *usb_read_ep, unsigned int *usb_write_ep,
                                   int bclass, int subclass, int protocol);

// Bulk transfers: return the number of bytes moved, TARVEX_USB_DEVICE_GONE
// when the device is gone. `timeout` in milliseconds. libusb's own result
// (LIBUSB_ERROR_TIMEOUT for a time-out) goes into *result when given.
constexpr int TARVEX_USB_DEVICE_GONE = -1;
int tarvex_libusb_bulk_write(libusb_device_handle *dev, int ep, const uint8_t *bytes, int size, int timeout,
                             int *result = nullptr);
int tarvex_libusb_bulk_read(libusb_device_handle *dev, int ep, uint8_t *bytes, int size, int timeout,
                            int *result = nullptr);
// Returns the bytes transferred, or 0 when libusb reports an error.
int tarvex_libusb_control_transfer(libusb_device_handle *dev, uint8_t request_type, uint8_t request, uint16_t wValue,
                                   uint16_t wIndex, uint8_t *bytes, uint16_t size, unsigned int timeout);
// Returns ERROR_OK with *pid set, or ERROR_NO_USB when the device descriptor
// cannot be read.
int tarvex_libusb_get_product_id(libusb_device *dev, uint16_t *pid);
