// The result codes that cross module boundaries inside the server: what the
// driver, the device API, the USB layer, the holds and the dispatcher return
// to each other. The text protocol reports them as they are ("1 -4\n"), the
// binary protocol converts them with error_convert, so their values are wire
// values and never change. Functions that say they return 0 or -1 (set-up,
// socket I/O) are outside this vocabulary.
#pragma once

constexpr int ERROR_OK = 0;
constexpr int ERROR_ALIGNMENT = -2;     // 32-bit access with unaligned address or length
constexpr int ERROR_FAIL = -4;          // transfer failure, probe error status, unsupported request
constexpr int ERROR_WAIT = -5;          // the probe answered a wait status; the operation may be repeated
constexpr int ERROR_PROBE_HELD = -6;    // another client holds the probe
constexpr int ERROR_NOT_PERMITTED = -7; // the client may not make this request (an administrator's)
constexpr int ERROR_NO_USB = -19;       // libusb could not be set up, or a device descriptor read failed

// The code's name for a log line ("ERROR_FAIL"); "result N" for a value
// outside the vocabulary (in a buffer of the calling thread).
const char *result_name(int code);
