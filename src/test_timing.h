#pragma once

// The loop's waits. Tests shorten them with TARVEX_TEST_TIMING, a
// comma-separated list of heartbeat_s=N, send_s=N, payload_ms=N,
// idle_grace_ms=N and usb_poll_ms=N, so
// that a case which must see a deadline pass need not wait for the real one.
struct tarvex_timing {
    long heartbeat_s;    // longest wait of the loop; an idle loop logs after it
    int send_timeout_s;  // a pending reply that made no progress this long: client dropped
    int payload_wait_ms; // a memory write's payload not all there this long after its line
    int idle_grace_ms;   // a connection silent this long, with nothing open, counts as idle
    int usb_poll_ms;     // look at the bus this often instead of using hot-plug events; 0: events
};

// Written by timing_load only, before the loop starts.
extern tarvex_timing tarvex_waits;

// Applies TARVEX_TEST_TIMING over the defaults; items it cannot read are
// logged and ignored. Call once at start.
void timing_load();
