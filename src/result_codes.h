// The result codes that cross module boundaries inside the server: what the
// driver, the device API, the USB layer, the holds and the dispatcher return
// to each other. The text protocol reports them as they are ("1 -4\n"), the
// binary protocol converts them with error_convert, so their values are wire
// values and never change. Functions that say they return 0 or -1 (set-up,
// socket I/O) are outside this vocabulary.
#pragma once

#include "tarvex_wire.h"

constexpr int ERROR_OK = tarvex_wire::RESULT_OK;
constexpr int ERROR_ALIGNMENT = tarvex_wire::RESULT_ALIGNMENT; // 32-bit access with unaligned address or length
constexpr int ERROR_FAIL = tarvex_wire::RESULT_FAIL; // transfer failure, probe error status, unsupported request
constexpr int ERROR_WAIT = tarvex_wire::RESULT_WAIT; // the probe answered a wait status; it may be repeated
constexpr int ERROR_PROBE_HELD = tarvex_wire::RESULT_PROBE_HELD;       // another client holds the probe
constexpr int ERROR_NOT_PERMITTED = tarvex_wire::RESULT_NOT_PERMITTED; // an administrator's request
constexpr int ERROR_NO_USB = tarvex_wire::RESULT_NO_USB; // libusb could not be set up, or a descriptor read failed

// The process's exit statuses: part of the interface too, service managers
// and scripts act on them.
constexpr int TARVEX_EXIT_DONE = 0;          // tarvex-exit, --version, or the loop ran out of sockets
constexpr int TARVEX_EXIT_UNATTENDED = 1;    // auto-exit after the last client, or the loop's epoll set failed
constexpr int TARVEX_EXIT_INTERRUPTED = 2;   // SIGINT
constexpr int TARVEX_EXIT_BAD_ACCESS = 251;  // a bad access or listening option at start
constexpr int TARVEX_EXIT_NO_LISTENER = 252; // no listening socket could be made
constexpr int TARVEX_EXIT_NO_USB = 253;      // libusb could not be set up
constexpr int TARVEX_EXIT_USAGE = 255;       // the help was asked for, or an option's value could not be read

// The code's name for a log line ("ERROR_FAIL"); "result N" for a value
// outside the vocabulary (in a buffer of the calling thread).
const char *result_name(int code);
