// The probe registry (lookups by key, serial text and position, the client
// description record) and the device API through which the command protocol
// opens, closes and drives probes for its clients.
#pragma once

#include <cstddef>
#include <cstdint>

#include "list_tarvex.h"
#include "tarvex_connection.h"
#include "tarvex_driver.h"

struct _sock_info;

// ---- Registry ----------------------------------------------------------------

// Jenkins one-at-a-time hash of `len` bytes; each byte is added as a signed
// 8-bit value. 0 for len 0.
uint32_t jenkins_one_at_a_time_hash(const char *key, size_t len);

// Lookups return the entry or null.
tarvex_usb *get_tarvex_by_name(uint32_t key_to_find);
tarvex_usb *get_tarvex_by_serial_name(const char *serial);
// Some entry has the hash of the serial text `key` as its key.
bool is_item_exist(const char *key);
// The entry at 0-based position `nth` in registry order.
tarvex_usb *nth(unsigned nth);
bool tarvex_check(const tarvex_usb *device, uint32_t usb_key);

// Indices: each serial text the server has seen gets the next number, 0
// first, kept for the server's life: a probe that leaves keeps its index
// (no other probe gets it), and one that comes back gets it again. Clients
// name probes by index (positions in the registry shift as probes leave).
unsigned probe_index_of(const char *serial);
// The registered probe with that index, or null (none yet, or it is gone).
tarvex_usb *get_tarvex_by_index(unsigned index);
// The serial text an index was given to, or null when it was given to none.
const char *probe_index_serial(unsigned index);

uint32_t tarvex_get_nb_devices();
// Fills `info` for the probe at position device_id. Returns 1, or 0x1003 when
// there is no such position (info untouched): client statuses, sent as they
// are. Bytes of enum_unique_id after the terminator are not written.
unsigned long tarvex_get_device_info(unsigned device_id, tarvex_device_info *info);
// As tarvex_get_device_info; returns the probe key, or 0 on failure.
uint32_t tarvex_get_device_info2(unsigned device_id, tarvex_device_info *info);

// ---- Device API --------------------------------------------------------------

// First scan. Returns 1 if a probe was registered, else 0.
long tarvex_init();
// Re-enumeration. Returns 0. REQUIRES: no probe work in flight.
long tarvex_refresh();

// The first step of a client's close (see close_connection_begin), with the
// probe's mode exit for the last user.
bool tarvex_close_begin(uint32_t assoc_id, assoc_close *c);

// The open in three steps, so that the probe's part can run on the probe's
// worker. Begin (loop): a new association with the entry of key device_id
// (stored in *usb, null when unknown); returns the association's key, or 0
// when the probe is unknown or no association could be made. Probe part
// (worker): opens the USB device and the probe unless they are open; true
// when they are; touches only the entry's handle. End (loop): the
// association, its entry now open for clients; or null when the open failed
// (it is then released) or the association was closed meanwhile.
uint32_t tarvex_open_begin(uint32_t device_id, _sock_info *psock_info, tarvex_usb **usb);
bool tarvex_open_probe_part(tarvex_usb *usb);
tarvex_assoc *tarvex_open_end(uint32_t assoc_key, bool opened);

// The entry an association reaches, or null (logged) when the association is
// unknown or its probe was removed.
tarvex_usb *tarvex_assoc_probe(uint32_t assoc_id);
// Passes the 16 bytes of `cmd` and a data phase of request->buffer_size bytes
// in `buffer` to the entry's probe (assoc_id only names it in the log);
// touches only the probe's handle. Returns ERROR_OK or ERROR_FAIL (closed
// probe, short transfer); the driver's fixed time-out applies.
long tarvex_send_command_to(tarvex_usb *usb, uint32_t assoc_id, const device_request_2 *request, const uint8_t *cmd,
                            uint8_t *buffer);
// The interface clock of the probe in kHz as the driver of its generation
// chooses it, or a negative result code when the probe could not be reached
// or refused the clock.
long tarvex_speed_of(tarvex_usb_handle_s *h, int khz, bool query, uint32_t key);
