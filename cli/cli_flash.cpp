#include "cli_flash.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "cli_format.h"
#include "cli_rtt.h"
#include "cli_transfer.h"
#include "flash_loader.h"
#include "tarvex_client.h"

namespace tarvex_cli
{

using namespace tarvex_target;
using namespace tarvex_flash;

// SIGINT or SIGTERM during a loader operation asks it to stop at the next
// page boundary, rather than ending the process with the core inside the
// algorithm and nothing said; the hold is then given back as after any
// command. A second signal changes nothing: the stop is a call away.
static volatile sig_atomic_t cancel_signal = 0;

static void ask_cancel(int sig)
{
    cancel_signal = sig;
}

struct cancel_on_signals {
    struct sigaction old_int = {}, old_term = {};

    cancel_on_signals()
    {
        struct sigaction sa = {};
        sa.sa_handler = ask_cancel;
        sa.sa_flags = SA_RESTART;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &old_int);
        sigaction(SIGTERM, &sa, &old_term);
    }
    ~cancel_on_signals()
    {
        sigaction(SIGINT, &old_int, nullptr);
        sigaction(SIGTERM, &old_term, nullptr);
    }
    cancel_on_signals(const cancel_on_signals &) = delete;
    cancel_on_signals &operator=(const cancel_on_signals &) = delete;
};

static const char *signal_name(int sig)
{
    return sig == SIGINT ? "SIGINT" : "SIGTERM";
}

// The shell's status for a command a signal ended.
static int signal_status(int sig)
{
    return 128 + sig;
}

// One progress line per phase on a terminal's standard error.
struct phase_progress : flash_observer {
    bool shown = isatty(2) != 0;
    int phase = -1;
    int64_t start = 0;

    void progress(flash_phase p, uint64_t done, uint64_t total) override
    {
        if (!shown)
            return;
        if (p != phase) {
            progress_keep();
            phase = p;
            start = tarvex::monotonic_ms();
        }
        double seconds = static_cast<double>(tarvex::monotonic_ms() - start) / 1e3;
        char name[16];
        snprintf(name, sizeof(name), "%-8s", flash_phase_name(p));
        progress_draw(name + progress_text(done, total, seconds));
    }
    bool cancelled() override { return cancel_signal != 0; }
};

int flash_setup_for(cli_session &s, flash_setup *setup, std::string *why)
{
    flash_source source;
    source.algo_path = s.opt.algo;
    source.pack_path = s.opt.pack;
    source.device = s.opt.device;
    if (!source.pack_path.empty() && source.device.empty()) {
        *why = "--pack needs --device NAME";
        return -1;
    }
    return flash_setup_load(s.link, source, setup, why) == 0 ? 0 : -1;
}

void warn_setup(const flash_setup &setup)
{
    if (!setup.warning.empty())
        fprintf(stderr, "tarvex-cli: warning: %s\n", setup.warning.c_str());
}

static int load_setup(cli_session &s, flash_setup *setup)
{
    std::string why;
    if (flash_setup_for(s, setup, &why) != 0)
        return fail(EXIT_USAGE, "%s", why.c_str());
    warn_setup(*setup);
    return EXIT_DONE;
}

static int load_image(cli_session &s, const std::string &path, std::vector<tarvex_images::image_extent> *image)
{
    uint64_t base = 0;
    if (!s.opt.base.empty() && !tarvex::parse_number(s.opt.base, 0xFFFFFFFFu, &base))
        return fail(EXIT_USAGE, "--base needs an address: %s", s.opt.base.c_str());
    uint32_t at = static_cast<uint32_t>(base);
    std::string why;
    if (flash_image_load(path, s.opt.format, s.opt.base.empty() ? nullptr : &at, image, &why) != 0)
        return fail(EXIT_USAGE, "%s", why.c_str());
    return EXIT_DONE;
}

static int flash_failed(const flash_error &err, const char *what)
{
    if (err.cancelled)
        return fail(signal_status(cancel_signal), "%s cancelled by %s in the %s phase: %s", what,
                    signal_name(cancel_signal), flash_phase_name(err.phase), err.cause.c_str());
    int status = err.lost       ? EXIT_NO_SERVER
                 : err.mismatch ? EXIT_MISMATCH
                 : err.outside  ? EXIT_DOES_NOT_FIT
                                : EXIT_FAILED;
    return fail(status, "%s failed in the %s phase at 0x%08x: %s", what, flash_phase_name(err.phase), err.address,
                err.cause.c_str());
}

// A phase's line: its bytes, seconds and rate. The bytes Verify checked
// during the program phase took no time of the verify phase's own.
static void print_phase(const flash_summary &sum, flash_phase p)
{
    uint64_t during = p == PHASE_VERIFY ? sum.verified_in_program : 0, bytes = sum.bytes[p] - during;
    if (during == 0 && bytes == 0)
        return;
    printf("%-8s ", flash_phase_name(p));
    if (during > 0)
        printf("%s as it was programmed%s", human_bytes(static_cast<double>(during)).c_str(), bytes > 0 ? ", " : "\n");
    if (bytes == 0)
        return;
    double rate = sum.seconds[p] > 0 ? static_cast<double>(bytes) / sum.seconds[p] : 0;
    printf("%s in %.2f s (%s/s)\n", human_bytes(static_cast<double>(bytes)).c_str(), sum.seconds[p],
           human_bytes(rate).c_str());
}

// The summary: JSON, or a line per phase that ran. `total` is the whole
// operation's time: the phases leave out the comparison before the erase and
// the reset after, which are all an unchanged image costs.
static void print_summary(const cli_session &s, const flash_summary &sum, double total)
{
    progress_clear();
    if (s.opt.json) {
        json_object o;
        o.add("sectors_erased", static_cast<long long>(sum.sectors_erased));
        o.add("sectors_skipped", static_cast<long long>(sum.sectors_skipped));
        o.add("bytes_programmed", static_cast<long long>(sum.bytes_programmed));
        o.add("bytes_verified", static_cast<long long>(sum.bytes_verified));
        o.add("bytes_verified_in_program", static_cast<long long>(sum.verified_in_program));
        o.add("seconds", total);
        printf("%s\n", o.text().c_str());
        return;
    }
    for (int p = PHASE_ERASE; p < PHASE_COUNT; p++)
        print_phase(sum, static_cast<flash_phase>(p));
    printf("%u sector%s erased, %u unchanged, %llu bytes programmed, %.2f s\n", sum.sectors_erased,
           sum.sectors_erased == 1 ? "" : "s", sum.sectors_skipped,
           static_cast<unsigned long long>(sum.bytes_programmed), total);
}

// The operation (under the probe's hold: see command_needs), then its
// summary or its failure.
// A signal after the last page: the work is done, and the job still stops.
template <typename operation> static int held(cli_session &s, const char *what, operation run)
{
    cancel_on_signals cancel;
    phase_progress bar;
    flash_summary sum;
    flash_error err;
    int64_t start = tarvex::monotonic_ms();
    if (run(&bar, &sum, &err) != TARGET_OK)
        return flash_failed(err, what);
    print_summary(s, sum, static_cast<double>(tarvex::monotonic_ms() - start) / 1e3);
    if (cancel_signal != 0)
        return fail(signal_status(cancel_signal), "%s was complete when %s came", what, signal_name(cancel_signal));
    return EXIT_DONE;
}

int cmd_flash(cli_session &s, const std::vector<std::string> &args)
{
    flash_setup setup;
    std::vector<tarvex_images::image_extent> image;
    int rc = load_image(s, args[0], &image);
    if (rc != EXIT_DONE || (rc = load_setup(s, &setup)) != EXIT_DONE)
        return rc;
    flash_options opt;
    opt.chip_erase = s.opt.chip_erase;
    opt.verify = !s.opt.no_verify;
    opt.halt_after = s.opt.halt_after;
    rc = held(s, "flash", [&](flash_observer *bar, flash_summary *sum, flash_error *err) {
        return flash_program(s.link, setup, image, opt, bar, sum, err);
    });
    std::vector<uint8_t> bytes;
    if (rc == EXIT_DONE && load_file(args[0], &bytes) == EXIT_DONE)
        rtt_place_image(s, bytes);
    return rc;
}

int check_erase(const std::vector<std::string> &args)
{
    if (args.size() == 1)
        return fail(EXIT_USAGE, "usage: tarvex-cli erase [--chip | ADDR LEN]");
    return args.empty() ? EXIT_DONE : check_range(args);
}

int cmd_erase(cli_session &s, const std::vector<std::string> &args)
{
    uint64_t addr = 0, len = 0;
    if (args.empty() && !s.opt.chip_erase)
        return fail(EXIT_USAGE, "erase needs --chip or ADDR LEN");
    if (!args.empty()) {
        tarvex::parse_number(args[0], 0xFFFFFFFFu, &addr);
        tarvex::parse_number(args[1], 0xFFFFFFFFu, &len);
    }
    flash_setup setup;
    int rc = load_setup(s, &setup);
    if (rc != EXIT_DONE)
        return rc;
    return held(s, "erase", [&](flash_observer *bar, flash_summary *sum, flash_error *err) {
        return flash_erase(s.link, setup, static_cast<uint32_t>(addr), static_cast<uint32_t>(len), bar, sum, err);
    });
}

int cmd_verify(cli_session &s, const std::vector<std::string> &args)
{
    flash_setup setup;
    std::vector<tarvex_images::image_extent> image;
    int rc = load_image(s, args[0], &image);
    if (rc != EXIT_DONE || (rc = load_setup(s, &setup)) != EXIT_DONE)
        return rc;
    return held(s, "verify", [&](flash_observer *bar, flash_summary *sum, flash_error *err) {
        return flash_verify(s.link, setup, image, bar, sum, err);
    });
}

int flash_for_run(cli_session &s, const flash_setup &setup, const std::vector<tarvex_images::image_extent> &image)
{
    flash_options opt;
    opt.halt_after = true;
    cancel_on_signals cancel;
    phase_progress bar;
    flash_summary sum;
    flash_error err;
    if (flash_program(s.link, setup, image, opt, &bar, &sum, &err) != TARGET_OK)
        return flash_failed(err, "loading the image");
    progress_clear();
    if (cancel_signal != 0)
        return fail(signal_status(cancel_signal), "the image was loaded when %s came: it is not run",
                    signal_name(cancel_signal));
    return EXIT_DONE;
}

} // namespace tarvex_cli
