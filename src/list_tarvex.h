// The probe registry entry: one per attached probe, created and released only
// by the USB scans. Clients refer to an entry by its key, which is the hash of
// the serial text and so survives re-plugging.
#pragma once

#include <cstdint>

#include <libusb.h>

#include "entry_life.h"
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
    entry_state state;                 // moved only by entry_step
    entry_reopen reopen;               // the open for its clients after its return (loop)
    struct probe_worker *worker;       // owned; runs this probe's operations, made on first use
    struct probe_stats *stats;         // not owned (server_stats.h); found on first use
};

extern list_head tarvex_usb_list;
