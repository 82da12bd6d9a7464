// What every command of the command-line client shares: its options, the
// connection, the probe it selected and the association it opened.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli_status.h"
#include "image_file.h"
#include "tarvex_address.h"
#include "tarvex_client.h"
#include "tarvex_text.h"
#include "target_link.h"

namespace tarvex_cli
{

struct cli_options {
    tarvex::server_address server;
    std::string probe = "0"; // an index in the server's list, or a serial
    bool json = false;
    std::string output; // read: -o FILE
    double seconds = 0; // trace: 0 runs until interrupted
    uint32_t trace_hz = 2000000;
    // run IMAGE: a RAM-linked image, the time-out (0 none), the directory
    // the firmware's files live in, and where "--" stood among the words.
    bool ram = false;
    double timeout_s = 0;
    std::string semihost_dir;
    size_t dashes_at = SIZE_MAX;
    // flash, erase, verify
    std::string base;                                                  // where a raw binary goes
    tarvex_images::image_format format = tarvex_images::IMAGE_UNKNOWN; // --format: not decided by the file
    std::string algo;                                                  // --algo FLM
    std::string pack;                                                  // --pack PACK (with --device)
    std::string device;
    bool chip_erase = false; // flash: the whole flash; erase: --chip
    bool no_verify = false;
    bool halt_after = false;
    bool force = false;      // release: another client's hold
    double hold_wait_s = 30; // seconds to wait behind another client's hold (hold: --wait)
    // rtt: the channels (--channel, repeated), where the block lies
    // (--address, --scan BASE LEN, --elf IMAGE), --from-start, --listen PORT;
    // run IMAGE: --no-rtt.
    std::vector<std::string> rtt_channels;
    std::string rtt_address;
    std::vector<std::string> rtt_scan;
    std::string rtt_elf;
    bool rtt_from_start = false;
    std::string rtt_listen;
    bool no_rtt = false;
    // TARVEX_HOLD: the hold of a `tarvex-cli hold` this command runs under
    // (an empty serial when none); its probe is the default one.
    tarvex::hold_ticket ticket;
};

struct cli_session {
    cli_options opt;
    tarvex::connection conn;
    tarvex::probe_entry probe;
    // The association, 0 until a probe is opened, and the target through it.
    tarvex_target::server_link link{&conn, 0};
};

// Prints "tarvex-cli: MESSAGE" on standard error and returns status. A
// progress line on the terminal is cleared first.
int fail(int status, const char *format, ...) __attribute__((format(printf, 2, 3)));

// The progress line of a transfer on standard error (callers draw it only
// on a terminal). Drawing replaces the line's text; clearing erases it
// and leaves the cursor at its start, so what follows starts a fresh line;
// keeping ends it with a newline. Clearing and keeping do nothing unless
// a line is drawn.
void progress_draw(const std::string &text);
void progress_clear();
void progress_keep();

// Connects and names the client; EXIT_DONE or EXIT_NO_SERVER.
int session_connect(cli_session &s);
// The failure status of a request that got no reply.
int lost_server(const char *what);
// Finds the selected probe and opens it; under TARVEX_HOLD, on the held
// probe, joins that hold.
int session_open_probe(cli_session &s);
// Puts the opened probe into SWD debug mode unless it already is in debug
// mode (another client may be using it), then checks that a target answers.
int session_attach_target(cli_session &s);
// Takes the probe's hold for a command of many steps, waiting up to
// --hold-wait behind another client's and showing who holds it.
int session_hold(cli_session &s);
void session_release(cli_session &s);
// Closes the association, if any.
void session_close(cli_session &s);

// EXIT_DONE for TARGET_OK; else the status of a target operation's failure,
// with a message naming what (and the probe's result).
int target_status(cli_session &s, int rc, const char *what);

} // namespace tarvex_cli
