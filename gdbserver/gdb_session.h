// One GDB connection on one probe: the packets GDB sends, answered through
// an association with tarvex-server, and the stop reply once a running core
// halts. The caller owns the sockets' event loop: it feeds what GDB sent,
// polls the core while it runs, and ends the session when ended() says so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "bkpt_record.h"
#include "debug_units.h"
#include "gdb_rtt.h"
#include "gdb_semihost.h"
#include "gdb_flash.h"
#include "readonly_cache.h"
#include "rsp_framing.h"
#include "tarvex_address.h"
#include "tarvex_text.h"
#include "target_link.h"

namespace tarvex_gdb
{

using tarvex_target::debug_units;
using tarvex_target::server_link;

// The largest packet taken from GDB, as qSupported announces it: an X
// packet's header and one memory write piece of data, so one load packet is
// one memory write request to the server.
constexpr size_t PACKET_SIZE = tarvex::WRITE_MEM_PIECE + 32;

struct memory_region {
    uint32_t base;
    uint32_t size;
};

struct session_config {
    tarvex::server_address server;
    std::string probe = "0";
    memory_region ram = {0x20000000, 128 * 1024};
    memory_region flash = {0x00000000, 256 * 1024};
    tarvex_flash::flash_source flash_source; // --algo, --pack, --device
};

class gdb_session
{
public:
    gdb_session(int gdb_fd, const session_config &config) : gdb_fd_(gdb_fd), config_(config) {}
    ~gdb_session();
    gdb_session(const gdb_session &) = delete;
    gdb_session &operator=(const gdb_session &) = delete;

    // Connects to the server, opens the probe, enters debug mode and halts
    // the core. 0, or -1 with the reason in *why.
    int open(std::string *why);
    // Bytes GDB sent. Their packets are answered one at a time, each only
    // once GDB took every byte sent before it: a GDB that stops reading
    // holds up its own packets, never the caller's loop.
    void receive(const uint8_t *data, size_t len);
    // Whether the caller should read from GDB (nothing waits to be sent or
    // answered) and whether it should wait for GDB's socket to take more.
    bool wants_input() const { return out_.empty() && pending_.empty(); }
    bool has_output() const { return !out_.empty(); }
    // Sends what GDB's socket takes without waiting, then answers the
    // packets that waited for it.
    void flush_output();
    // When GDB last took bytes, or output began to wait (monotonic ms).
    int64_t output_progress_ms() const { return out_progress_ms_; }
    // GDB took none of the waiting output for seconds: the session ends.
    void gdb_stalled(int seconds);
    // While the core runs: looks at DHCSR once, and sends the stop reply
    // when it halted.
    void poll_core();
    // The server closed the association's connection while nothing was asked.
    void server_closed();
    // GDB went away: breakpoints out, association closed, core left as it is.
    void gdb_gone();

    bool running() const { return running_; }
    bool ended() const { return ended_; }
    int server_fd() const { return conn_.fd(); }
    const std::string &end_reason() const { return end_reason_; }
    const std::string &serial() const { return serial_; }

    // The packet handlers' view of the session.
    server_link &link() { return link_; }
    debug_units &units() { return units_; }
    const session_config &config() const { return config_; }
    gdb_flash &flash() { return flash_; }
    // Keep the record of BKPTs in RAM current: after a Z0 or z0, and after
    // GDB wrote memory.
    void breakpoints_changed() { planted_.breakpoints_changed(link_, units_); }
    void memory_written(uint32_t addr, const uint8_t *data, uint32_t len)
    {
        planted_.memory_written(units_, addr, data, len);
    }
    // Resumes the core (one step when step); the stop reply comes later.
    int resume(bool step);
    // Halts a running core and answers with the stop reply.
    int interrupt();
    // The registers in the target description's order, read once per halt:
    // they change only when the core runs or someone writes them, and this
    // session forgets them on each resume, reset and write it makes.
    // (Another client writing registers of a core GDB holds halted is not
    // seen until the next stop.)
    int registers(uint32_t *values);
    // S0-S31 and FPSCR (FP_REGISTER_COUNT values), kept as the core
    // registers are; *on false, and nothing read, where the core has no FPU
    // or its firmware has not turned it on (CPACR) yet, which is looked at
    // again each time until it has.
    int fp_registers(uint32_t *values, bool *on);
    void forget_registers()
    {
        registers_valid_ = false;
        fp_valid_ = false;
    }
    // Memory as GDB reads it: flash contents are kept from one read to the
    // next, as only a flash operation changes them while GDB holds the core;
    // RAM and the peripheral and system spaces are read every time.
    int read_memory(uint32_t addr, uint32_t len, std::vector<uint8_t> *data);
    // After anything that may have programmed flash: GDB's load, a reset
    // (the firmware may program flash when it runs), a continue, a store.
    void forget_flash() { tarvex_target::cache_forget(flash_cache_); }
    // While the core runs: how long until poll_core should look again.
    int poll_delay_ms() const;
    // Text for GDB's console (an O packet).
    void console(const std::string &text) { send_packet("O" + hex_encode(text)); }
    // Halts the core, running or not, without a stop reply (kill, attach).
    int halt_here();
    // The stop reply of the last halt.
    const std::string &last_stop() const { return last_stop_; }
    // The firmware has not exited (a W reply), or a run or attach came since.
    bool thread_alive() const { return last_stop_.empty() || last_stop_[0] != 'W'; }
    void want_no_ack() { no_ack_pending_ = true; }
    // Extended mode ("!"): kill, run and attach keep the session.
    void set_extended() { extended_ = true; }
    bool extended() const { return extended_; }
    const char *set_last_stop(const char *reply)
    {
        last_stop_ = reply;
        return reply;
    }
    // Console output ('O' packets) while the core runs, and the exit reply
    // that ends the inferior.
    void send_output(const std::string &body) { send_packet(body); }
    void exited(const std::string &reply);
    gdb_semihost &semihost() { return semihost_; }
    gdb_rtt &rtt() { return rtt_; }
    void end(const std::string &reason);
    // Breakpoints out, then the association closed (resume: the core runs on).
    void release(bool resume);

private:
    int attach(std::string *why);
    int open_probe(std::string *why);
    int enter_debug_mode(std::string *why);
    int refuse_second_session(const tarvex::probe_entry &probe, std::string *why);
    void handle_event(const rsp_event &e);
    void take_pending();
    void handle_packet(const std::string &body);
    void send_packet(const std::string &body);
    void send_raw(const std::string &bytes);
    void report_stop();
    std::string stop_reply();
    void core_unreachable();
    void check_lost();

    int gdb_fd_;
    session_config config_;
    tarvex::connection conn_;
    server_link link_{&conn_, 0};
    debug_units units_;
    rsp_reader reader_{PACKET_SIZE};
    std::deque<rsp_event> pending_; // received, not answered yet
    std::string out_;               // framed, not taken by GDB's socket yet
    int64_t out_progress_ms_ = 0;
    bool no_ack_ = false;
    bool no_ack_pending_ = false;
    std::string last_sent_;
    bool running_ = false;
    bool interrupt_kept_ = false; // a 0x03 that came while the core was halted: ends the next resume
    bool extended_ = false;
    bool registers_valid_ = false;
    uint32_t registers_[tarvex_target::CORE_REGISTER_COUNT] = {};
    bool fp_valid_ = false;
    uint32_t fp_[tarvex_target::FP_REGISTER_COUNT] = {};
    int64_t running_since_ms_ = 0;
    int64_t failing_since_ms_ = 0; // run-state reads have failed since then while running; 0: they work
    bool flash_cache_ranged_ = false;
    tarvex_target::readonly_cache flash_cache_;
    tarvex_target::stop_context stop_;
    bool ended_ = false;
    bool gdb_closed_ = false;
    bool released_ = false;
    std::string end_reason_;
    std::string last_stop_ = "T05thread:1;";
    std::string serial_;
    gdb_semihost semihost_;
    gdb_rtt rtt_{link_};
    gdb_flash flash_;
    bkpt_record planted_;
};

} // namespace tarvex_gdb
