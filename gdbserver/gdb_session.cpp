#include "gdb_session.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "armv7m_debug.h"
#include "gdb_packets.h"
#include "target_attach.h"
#include "tarvex_log.h"
#include "tarvex_client.h"
#include "tarvex_text.h"

namespace tarvex_gdb
{

using namespace tarvex_target;

// How long the session waits for the server to accept its connection.
constexpr int SERVER_CONNECT_MS = 2000;
// A running core whose state cannot be read for this long is taken as
// gone: the probe was unplugged or the target lost power.
constexpr int64_t CORE_LOST_MS = 200;
// While the core runs its state is read after a pause of a quarter of the
// time it has run, within these bounds: a halt soon after the resume (a
// breakpoint in a loop, the end of a "next") shows within a quarter of the
// time it took, and a core that runs for long costs the probe one read per
// POLL_MAX_MS, leaving it to its other clients.
constexpr int64_t POLL_MIN_MS = 1;
constexpr int64_t POLL_MAX_MS = 20;

gdb_session::~gdb_session()
{
    release(false);
}

// The name the session's connection registers: the server counts a probe's
// associations by it, the witness of another GDB session on the probe.
constexpr const char *CLIENT_NAME = "tarvex-gdbserver";

// ATTACH_RETRY when the probe is not listed, cannot be opened or does not
// enter debug mode: what a probe unplugged and plugged back shows until the
// server rescanned the USB bus.
constexpr int ATTACH_RETRY = 1;

// What the session says of a server that stopped answering.
static const char SERVER_SILENT[] = "tarvex-server stopped answering";

int gdb_session::open_probe(std::string *why)
{
    tarvex::probe_entry probe;
    int rc = attach_find(link_, config_.probe, &probe);
    if (rc == TARGET_OK)
        rc = attach_open(link_, probe);
    if (rc == TARGET_LOST) {
        *why = SERVER_SILENT;
        return -1;
    }
    if (rc == TARGET_NO_PROBE) {
        *why = "no probe " + config_.probe + " on the server";
        return ATTACH_RETRY;
    }
    if (rc != TARGET_OK) {
        *why = "probe " + probe.serial + " could not be opened";
        return ATTACH_RETRY;
    }
    return refuse_second_session(probe, why);
}

int gdb_session::enter_debug_mode(std::string *why)
{
    int rc = attach_debug_mode(link_);
    if (rc == TARGET_LOST) {
        *why = SERVER_SILENT;
        return -1;
    }
    if (rc != TARGET_OK) {
        *why = "probe " + serial_ + " could not enter SWD debug mode (result " + std::to_string(link_.last_result()) +
               "): is a target connected?";
        detach(link_);
        return ATTACH_RETRY;
    }
    return 0;
}

// The probe opened and in debug mode. A probe plugged back is listed, and
// works, only after the server rescanned the USB bus: when the first
// attempt fails that way, the session asks for a rescan and tries again.
int gdb_session::attach(std::string *why)
{
    if (attach_register(link_, CLIENT_NAME) != TARGET_OK) {
        *why = SERVER_SILENT;
        return -1;
    }
    for (int attempt = 0;; attempt++) {
        int rc = open_probe(why);
        if (rc == 0)
            rc = enter_debug_mode(why);
        if (rc != ATTACH_RETRY)
            return rc;
        if (attempt == 1) {
            *why += " (also after a rescan of the USB bus)";
            return -1;
        }
        LOG_INFO("%s: asking the server to rescan the USB bus", why->c_str());
        if (attach_rescan(link_) != TARGET_OK) {
            *why = SERVER_SILENT;
            return -1;
        }
    }
}

// Two GDB sessions on one probe would undo each other's breakpoints. The
// server's count of the probe's associations held under this program's
// name is the witness: it holds on any host and however each front end
// names the server, and ends with the connection that made it. Counted
// after this session's own open, so two that start together cannot both
// pass (both may be refused; the next attempt works).
int gdb_session::refuse_second_session(const tarvex::probe_entry &probe, std::string *why)
{
    int sessions = 0;
    if (attach_count(link_, probe, CLIENT_NAME, &sessions) != TARGET_OK) {
        *why = SERVER_SILENT;
        return -1;
    }
    if (sessions > 1) {
        detach(link_);
        *why = "probe " + probe.serial + " already has a GDB connection through another tarvex-gdbserver";
        return -1;
    }
    serial_ = probe.serial;
    return 0;
}

int gdb_session::open(std::string *why)
{
    if (conn_.open(config_.server.host, config_.server.port, SERVER_CONNECT_MS) != 0) {
        *why = "cannot connect to tarvex-server at " + config_.server.host + ":" + std::to_string(config_.server.port);
        return -1;
    }
    if (attach(why) != 0)
        return -1;
    units_.ram_base = config_.ram.base;
    units_.ram_size = config_.ram.size;
    if (halt(link_) != TARGET_OK || units_discover(link_, units_) != TARGET_OK ||
        link_.write_debug(armv7m::DFSR, armv7m::DFSR_ALL) != TARGET_OK) {
        *why = link_.lost() ? SERVER_SILENT : "the core on probe " + serial_ + " does not halt";
        return -1;
    }
    planted_.start(link_, serial_);
    LOG_INFO("GDB session on probe %s: %zu breakpoint and %zu watchpoint comparators", serial_.c_str(),
             units_.fpb.size(), units_.dwt.size());
    return 0;
}

// Output waits in out_ for GDB's socket to take it: a GDB that stops
// reading makes it grow by at most one reply, since nothing more is
// answered (and the core not polled) until it is gone.
void gdb_session::send_raw(const std::string &bytes)
{
    if (gdb_closed_)
        return;
    if (out_.empty())
        out_progress_ms_ = tarvex::monotonic_ms();
    out_ += bytes;
    size_t done = 0;
    while (done < out_.size()) {
        ssize_t n = send(gdb_fd_, out_.data() + done, out_.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n <= 0) {
            out_.clear();
            gdb_gone();
            return;
        }
        done += static_cast<size_t>(n);
        out_progress_ms_ = tarvex::monotonic_ms();
    }
    out_.erase(0, done);
}

void gdb_session::flush_output()
{
    send_raw("");
    take_pending();
}

void gdb_session::gdb_stalled(int seconds)
{
    LOG_WARNING("GDB stopped reading: %zu bytes of replies not taken for %d s", out_.size(), seconds);
    out_.clear();
    gdb_closed_ = true;
    release(false);
    end("GDB stopped reading its replies");
}

void gdb_session::send_packet(const std::string &body)
{
    last_sent_ = rsp_frame(body);
    send_raw(last_sent_);
}

void gdb_session::receive(const uint8_t *data, size_t len)
{
    std::vector<rsp_event> events;
    reader_.feed(data, len, &events);
    pending_.insert(pending_.end(), events.begin(), events.end());
    take_pending();
}

void gdb_session::take_pending()
{
    while (!pending_.empty() && out_.empty() && !ended_ && !gdb_closed_) {
        rsp_event e = std::move(pending_.front());
        pending_.pop_front();
        handle_event(e);
    }
}

void gdb_session::handle_event(const rsp_event &e)
{
    switch (e.kind) {
    case RSP_PACKET:
        if (!no_ack_)
            send_raw("+");
        handle_packet(e.body);
        break;
    case RSP_BAD_CHECKSUM:
        if (!no_ack_)
            send_raw("-");
        break;
    case RSP_TOO_LONG:
        LOG_WARNING("refused a packet from GDB longer than %zu bytes", PACKET_SIZE);
        if (!no_ack_)
            send_raw("+");
        send_packet("E07"); // E2BIG
        break;
    case RSP_INTERRUPT:
        // One that comes while GDB works between its own steps (a false
        // breakpoint condition, a software watchpoint) is GDB's still.
        if (running_)
            interrupt();
        else
            interrupt_kept_ = true;
        break;
    case RSP_NAK:
        send_raw(last_sent_);
        break;
    case RSP_ACK:
        break;
    }
}

void gdb_session::handle_packet(const std::string &body)
{
    std::string reply;
    int outcome = answer_packet(*this, body, &reply);
    check_lost();
    // A detach ends the session after its reply; a lost server ends it with
    // the error reply GDB is waiting for.
    if (gdb_closed_)
        return;
    if (outcome == PACKET_REPLY) {
        send_packet(reply);
        if (no_ack_pending_)
            no_ack_ = true;
        no_ack_pending_ = false;
    } else if (outcome == PACKET_RESUMED && !ended_) {
        poll_core();
    }
}

int gdb_session::resume(bool step)
{
    if (interrupt_kept_) {
        // The core stays halted: the resume ends at once with SIGINT.
        interrupt_kept_ = false;
        last_stop_ = "T02thread:1;";
        stop_ = stop_context();
        send_packet(last_stop_);
        return TARGET_OK;
    }
    forget_registers();
    // One instruction of GDB's stepping does not program flash; code that
    // runs freely may.
    if (!step)
        forget_flash();
    int rc = link_.write_debug(armv7m::DFSR, armv7m::DFSR_ALL);
    if (rc == TARGET_OK)
        rc = tarvex_target::resume(link_, step);
    if (rc == TARGET_OK) {
        running_ = true;
        running_since_ms_ = tarvex::monotonic_ms();
        failing_since_ms_ = 0;
        stop_ = stop_context();
        stop_.stepping = step;
    }
    return rc;
}

int gdb_session::poll_delay_ms() const
{
    int64_t delay = (tarvex::monotonic_ms() - running_since_ms_) / 4;
    return static_cast<int>(std::min(std::max(delay, POLL_MIN_MS), POLL_MAX_MS));
}

int gdb_session::interrupt()
{
    stop_.interrupted = true;
    int rc = halt(link_);
    if (rc == TARGET_OK) {
        report_stop();
    } else if (rc == TARGET_FAILED) {
        // GDB waits for a stop reply whatever happened to the probe.
        LOG_WARNING("the core on probe %s did not halt on GDB's interrupt", serial_.c_str());
        core_unreachable();
        rc = TARGET_OK;
    }
    check_lost();
    return rc;
}

int gdb_session::registers(uint32_t *values)
{
    if (!registers_valid_) {
        int rc = core_registers_read(link_, units().core, registers_);
        if (rc != TARGET_OK)
            return rc;
        registers_valid_ = true;
    }
    std::copy(registers_, registers_ + CORE_REGISTER_COUNT, values);
    return TARGET_OK;
}

int gdb_session::fp_registers(uint32_t *values, bool *on)
{
    tarvex_target::core_identity &core = units_.core;
    if (!fp_valid_) {
        // CPACR once a halt, until the firmware has turned the FPU on.
        int rc = core.fp_enabled ? TARGET_OK : fp_enabled_read(link_, &core);
        if (rc == TARGET_OK && core.fp_enabled)
            rc = fp_registers_read(link_, core, fp_);
        if (rc != TARGET_OK)
            return rc;
        fp_valid_ = true;
    }
    *on = core.fp_enabled;
    if (*on)
        std::copy(fp_, fp_ + tarvex_target::FP_REGISTER_COUNT, values);
    return TARGET_OK;
}

int gdb_session::read_memory(uint32_t addr, uint32_t len, std::vector<uint8_t> *data)
{
    if (!flash_cache_ranged_) {
        memory_region flash = flash_extent(*this);
        cache_set_range(flash_cache_, flash.base, flash.size);
        flash_cache_ranged_ = true;
    }
    return cached_read(link_, flash_cache_, addr, len, data);
}

int gdb_session::halt_here()
{
    forget_registers();
    int rc = halt(link_);
    if (rc == TARGET_OK) {
        running_ = false;
        stop_ = stop_context();
    }
    check_lost();
    return rc;
}

// The running core cannot be reached: GDB is told why, on its console, and
// gets a stop, after which each access answers an error until the probe is
// back or GDB ends the session.
void gdb_session::core_unreachable()
{
    std::string what =
        "the core on probe " + serial_ + " does not answer (probe unplugged or target off?); its state is unknown";
    LOG_ERROR("%s", what.c_str());
    console("tarvex-gdbserver: " + what + "\n");
    report_stop();
}

void gdb_session::poll_core()
{
    run_state state = STATE_RUNNING;
    if (!running_ || ended_)
        return;
    // Before the state: the bytes of a core that has just halted come out
    // ahead of the stop reply, while GDB still takes console output.
    rtt_forward(*this, rtt_);
    int rc = run_state_read(link_, &state);
    int64_t now = tarvex::monotonic_ms();
    if (rc != TARGET_FAILED)
        failing_since_ms_ = 0;
    else if (failing_since_ms_ == 0)
        failing_since_ms_ = now;
    if (failing_since_ms_ != 0 && now - failing_since_ms_ >= CORE_LOST_MS) {
        failing_since_ms_ = 0;
        core_unreachable();
        return;
    }
    if (rc == TARGET_OK && state == STATE_LOCKUP) {
        // A locked-up core never halts by itself: halted by the debugger it
        // shows GDB where it faulted.
        stop_.locked_up = true;
        rc = halt(link_);
        state = STATE_HALTED;
    }
    bool semihosted = rc == TARGET_OK && state == STATE_HALTED && !stop_.stepping && !stop_.locked_up &&
                      semihost_on_halt(*this, semihost_) != SEMIHOST_STOP_REPORT;
    if (rc == TARGET_OK && state == STATE_HALTED && !semihosted)
        report_stop();
    check_lost();
}

void gdb_session::exited(const std::string &reply)
{
    last_stop_ = reply;
    running_ = false;
    stop_ = stop_context();
    send_packet(reply);
}

// The signal of a halt: a watchpoint names its address, a step, a
// breakpoint or a reset catch is SIGTRAP, a lockup SIGSEGV, anything else
// (an interrupt from GDB, a halt by another client) SIGINT.
std::string gdb_session::stop_reply()
{
    // After a step only a watchpoint changes what DFSR would say, and the
    // next resume clears it anyway: without comparators set it is not read.
    bool watching = std::any_of(units_.dwt.begin(), units_.dwt.end(), [](const dwt_slot &d) { return d.used; });
    if (stop_.stepping && !stop_.interrupted && !stop_.locked_up && !watching)
        return "T05thread:1;";
    stop_cause cause = STOP_INTERRUPT;
    const tarvex_target::dwt_slot *hit = nullptr;
    stop_read(link_, units_, stop_, &cause, &hit);
    switch (cause) {
    case STOP_LOCKUP:
        return "T0bthread:1;";
    case STOP_WATCH: {
        const char *name = hit->kind == tarvex_target::WATCH_WRITE  ? "watch"
                           : hit->kind == tarvex_target::WATCH_READ ? "rwatch"
                                                                    : "awatch";
        char text[64];
        snprintf(text, sizeof(text), "T05%s:%x;thread:1;", name, hit->addr);
        return text;
    }
    case STOP_TRAP:
        return "T05thread:1;";
    case STOP_INTERRUPT:
        break;
    }
    return "T02thread:1;";
}

void gdb_session::report_stop()
{
    last_stop_ = stop_reply();
    running_ = false;
    stop_ = stop_context();
    send_packet(last_stop_);
}

void gdb_session::end(const std::string &reason)
{
    if (!ended_)
        end_reason_ = reason;
    ended_ = true;
}

void gdb_session::check_lost()
{
    if (link_.lost())
        end(SERVER_SILENT);
}

void gdb_session::server_closed()
{
    link_.mark_lost();
    end("tarvex-server closed the connection");
}

void gdb_session::gdb_gone()
{
    gdb_closed_ = true;
    release(false);
    end("GDB closed the connection");
}

void gdb_session::release(bool resume)
{
    if (released_)
        return;
    released_ = true;
    if (!link_.lost() && link_.assoc() != 0) {
        rtt_release(rtt_);
        units_clear(link_, units_);
        planted_.breakpoints_changed(link_, units_);
        if (resume)
            tarvex_target::resume(link_, false);
        detach(link_);
    }
    conn_.close();
}

} // namespace tarvex_gdb
