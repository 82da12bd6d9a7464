// The probe registry entry: one per attached probe, created and released only
// by the USB scans. Clients refer to an entry by its key, which is the hash of
// the serial text and so survives re-plugging.
#pragma once

#include <cstdint>

#include <libusb.h>

#include "list.h"
#include "tarvex_usb.h"

struct tarvex_usb {
    list_head list;                    // must stay first: node in tarvex_usb_list
    tarvex_usb_handle_s *dev;          // owned
    hl_interface_param_s *param;       // owned; param->serial is `serial`
    char *serial;                      // owned, at most 24 characters
    libusb_device_descriptor dev_desc; // copy taken when the entry was created
    uint32_t key;                      // jenkins_one_at_a_time_hash of serial
    unsigned index;                    // the probe's index for the server's life (probe_index_of)
    bool opened;                       // re-opened at protocol level by a refresh
    bool refresh;                      // found by the refresh in progress
    bool closed_for_refresh;           // not used by any operation
    bool to_reopen;                    // had an open handle when a refresh began; never cleared
    struct probe_worker *worker;       // owned; runs this probe's operations, made on first use
    libusb_context *own_context;       // owned; the context of the handle probe work uses, made on first open
};

extern list_head tarvex_usb_list;
