// Virtual TARVEX probe: the firmware side of the probe command protocol with
// a simulated Arm Cortex-M target behind it.
//
// The model is plain data (no pointers inside, no heap) so that one copy can
// live in memory shared by several processes; the target's RAM and flash are
// handed in by the caller through a probe_view. Nothing here is thread-safe:
// callers serialise access (see probe_bus.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core_model.h"

namespace vprobe
{

// USB identity of the family (made-up values).
constexpr uint16_t TARVEX_VID = 0x7E57;
constexpr uint16_t TARVEX_PID_A = 0x7A01;
constexpr uint16_t TARVEX_V2_PID = 0x7A02;
constexpr uint16_t TARVEX_PID_B = 0x7A03;
constexpr uint16_t TARVEX_V21_PID = 0x7A21;
constexpr uint16_t TARVEX_PID_C = 0x7A04;
constexpr uint16_t TARVEX_V3_PID = 0x7A31;

constexpr size_t CMD_SIZE = 16;               // every command block on the OUT endpoint
constexpr size_t SERIAL_CHARS = 24;           // serial text shown by the server
constexpr size_t HISTORY_DEPTH = 256;         // command blocks remembered per probe
constexpr size_t IO_BUFFER_SIZE = 65536 + 64; // largest reply or write data phase
constexpr size_t PPB_SLOTS = 64;              // plain system-space registers kept
constexpr size_t CORE_REGS = 96;              // register selector space of DCRSR
constexpr size_t FREQ_SLOTS = 10;             // generation-3 frequency list capacity
constexpr size_t SCRIPT_SIZE = 256;           // scripted reply capacity
constexpr uint32_t TRACE_MAX_HZ = 2000000;
constexpr size_t FPB_COMPARATORS = FPB_MAX_COMPARATORS; // breakpoint unit of the largest model
constexpr size_t DWT_COMPARATORS = DWT_MAX_COMPARATORS; // data watchpoints of the largest model
constexpr size_t SWO_CAPTURE = 4096;                    // probe-side capture of ITM packets
constexpr uint32_t CORE_HZ = 16000000;                  // nominal core clock: SysTick rate and run budget
constexpr uint32_t EXTERNAL_IRQS = 32;                  // interrupt lines of the NVIC
constexpr uint32_t EXCEPTIONS = 16 + EXTERNAL_IRQS;     // exception numbers 0..47
constexpr size_t FLASH_SECTOR_SLOTS = 64;               // erase counts kept (later sectors share the last)

// Command bytes (block byte 0) and debug sub-commands (byte 1 of 0xF2).
constexpr uint8_t CMD_GET_VERSION = 0xF1;
constexpr uint8_t CMD_DEBUG = 0xF2;
constexpr uint8_t CMD_DFU = 0xF3;
constexpr uint8_t CMD_VEMO = 0xF4;
constexpr uint8_t CMD_GET_CURRENT_MODE = 0xF5;
constexpr uint8_t CMD_GET_TARGET_VOLTAGE = 0xF7;
constexpr uint8_t CMD_GET_VERSION_V3 = 0xFB;

// Status bytes the probe answers with (byte 0 of a status reply).
constexpr uint8_t STATUS_OK = 0x80;
constexpr uint8_t STATUS_SWD_FAULT = 0x81;
constexpr uint8_t STATUS_CMD_ERROR = 0x08;
constexpr uint8_t STATUS_ALIGNMENT = 0x0A;
constexpr uint8_t STATUS_AP_WAIT = 0x10;
constexpr uint8_t STATUS_BAD_AP = 0x1D;

// Mode byte reported by the current-mode command.
enum probe_mode : uint8_t { MODE_DFU = 0, MODE_MASS = 1, MODE_DEBUG = 2, MODE_VEMO = 3 };

enum probe_transport : uint8_t { TRANSPORT_NONE = 0, TRANSPORT_SWD = 1, TRANSPORT_JTAG = 2 };

// Product generation; the numbers are what the command line takes (gen=21).
enum probe_generation : uint8_t { GEN_2 = 2, GEN_3 = 3, GEN_21 = 21 };

// How the serial-number string descriptor is laid out.
enum serial_form : uint8_t {
    SERIAL_HEX = 0,  // 26 bytes: 12 code units, low bytes shown as 24 hex digits
    SERIAL_TEXT = 1, // 50 bytes: 24 code units, low bytes shown as characters
    SERIAL_RAW = 2,  // 2 + 2 * length bytes: exactly the text, any length
};

// Injected faults, each with its own countdown.
enum fault_kind : uint8_t {
    FAULT_GONE = 0,    // command block OUT fails with ENODEV, block not delivered
    FAULT_TIMEOUT = 1, // command with a reply is swallowed: the reply IN never completes
    FAULT_SHORT = 2,   // reply is one byte short
    FAULT_FAIL = 3,    // status-carrying command answers the fault status
    FAULT_WAIT = 4,    // status-carrying command answers the wait status
    FAULT_KINDS = 5,
};

// Where the SWO stream of the trace endpoint comes from.
enum swo_source : uint8_t {
    SWO_AUTO = 0,    // the ITM when the probe has firmware, else the counter
    SWO_COUNTER = 1, // synthetic: consecutive byte values at the capture rate
    SWO_ITM = 2,     // packets of the core's stimulus port writes
};

// The reply gate, for tests that need an operation still in flight: armed,
// the next command that has a reply runs, but its reply is withheld (the
// reply endpoint NAKs) until the gate opens.
enum gate_state : uint8_t { GATE_OPEN = 0, GATE_ARMED = 1, GATE_HOLDING = 2 };

struct probe_config {
    std::array<char, 64> serial; // NUL-terminated text
    uint8_t form;                // serial_form
    uint8_t generation;          // probe_generation
    uint8_t hw_version;          // "tarvex" field of the version reply
    uint8_t jtag_version;
    uint8_t vemo_version;
    uint8_t trace_capable;
    uint8_t initial_mode; // probe_mode after power-up
    uint8_t absent;       // starts unplugged
    uint16_t vid;
    uint16_t pid;
    uint32_t vref;    // reference ADC reading
    uint32_t vtarget; // target ADC reading
    uint32_t ram_base, ram_size;
    uint32_t flash_base, flash_size;
    uint32_t idcode;
    uint32_t latency_us;            // command transfers complete this long after submission (transports)
    uint8_t swo_source;             // swo_source
    std::array<char, 256> firmware; // image loaded at start (launcher), NUL-terminated; empty: none
    uint8_t core;                   // core_kind of the target
};

struct ppb_reg {
    uint32_t addr;
    uint32_t value;
};

// Run state of the emulated core.
enum core_run : uint8_t {
    CORE_RUNNING = 0,
    CORE_HALTED = 1,   // in Debug state
    CORE_STEPPING = 2, // one instruction asked for, then halted again
    CORE_LOCKED = 3,   // lockup after a fault (DHCSR.S_LOCKUP)
    CORE_SLEEPING = 4, // in WFI/WFE (DHCSR.S_SLEEP)
};

// The exception model's state (core_exceptions.h): bit n of pending and
// active is exception number n.
struct exc_state {
    uint64_t pending, active;
    uint32_t irq_enabled;                     // NVIC_ISER
    std::array<uint8_t, EXCEPTIONS> priority; // as SHPR1-3 and NVIC_IPR hold them
    uint32_t vtor, prigroup, ccr, shcsr_ena;  // shcsr_ena: the enable bits of SHCSR
    uint32_t mmfar;
    uint32_t fpccr, fpcar, fpdscr;
    uint32_t cpacr; // CP10 and CP11's fields only
    uint32_t seq;   // bumped when an exception may have become due
    uint8_t model;  // core_kind, as the configuration had it at power-up (kept by resets)
};

// Debug and system state of the core that crosses processes: the debugger
// side (probe_execute, in whichever process serves the probe) writes it, the
// launcher's executor thread applies it to the emulator and publishes what
// the core did. Both sides hold the bus lock.
struct core_debug {
    uint8_t run;        // core_run
    uint8_t executor;   // an executor thread serves this core
    uint8_t parked;     // the executor waits on wake_seq
    uint8_t retired;    // an instruction retired since the last DHCSR read
    uint8_t swo_itm;    // the SWO stream carries ITM packets (else the synthetic counter)
    uint8_t skip_fpb;   // no FPB match on the first instruction after leaving Debug state
    uint32_t wake_seq;  // futex word: bumped when the executor has something to do
    uint32_t done_seq;  // futex word: bumped when the executor finished a step
    uint32_t regs_seq;  // bumped when the registers change outside the executor
    uint32_t hooks_seq; // bumped when FPB or DWT comparators change
    uint32_t dfsr, cfsr, hfsr, bfar;
    uint32_t fp_ctrl;
    std::array<uint32_t, FPB_COMPARATORS> fp_comp;
    uint32_t dwt_ctrl;
    std::array<uint32_t, DWT_COMPARATORS> dwt_comp, dwt_mask, dwt_function;
    uint32_t itm_tcr, itm_ter, itm_tpr;
    uint32_t syst_csr, syst_rvr;
    uint8_t syst_countflag; // COUNTFLAG: the counter reached 0 since CSR was last read
    uint64_t syst_start;    // core cycle when the SysTick counter last started from RVR
    uint64_t syst_wraps;    // times it reached 0 since then, as taken up
    uint64_t cycles;        // core clock cycles counted (not while halted) as of sleep_us
    uint64_t sleep_us;      // CORE_SLEEPING: when cycles was last brought up to date
    exc_state exc;
    // Code that changed since the executor last ran (RAM the debugger wrote,
    // flash the controller programmed), one span per architectural region
    // (Code below 0x20000000, SRAM above): a single span over both would
    // reach across half a gigabyte, and dropping the translations of that
    // costs the executor a page lookup per 4 KiB of it.
    std::array<uint64_t, 2> code_lo, code_hi;
    uint64_t instructions;   // retired since power-up
    uint32_t slice_executed; // entered in the executor's run under way (0 between runs)
};

// The flash controller (target_flash.h): registers, the operation under
// way, and counts for tests since power-up.
struct flash_ctl {
    uint8_t key_step; // 0 locked, 1 first key taken, 2 open
    uint8_t key_fail; // a wrong key: locked until reset
    uint32_t errors;  // FLC_STAT error bits
    uint32_t ctrl, addr, data;
    uint64_t busy_until; // core cycle when the operation under way ends
    uint64_t words_programmed;
    uint32_t erase_alls;
    std::array<uint32_t, FLASH_SECTOR_SLOTS> sector_erases;
};

struct trace_state {
    uint8_t running;
    uint32_t hz;
    uint32_t buffer_size; // probe-side capture buffer, from the start command
    uint64_t produced;    // bytes generated since start (stream position)
    uint64_t consumed;    // bytes read from the trace endpoint
    uint64_t last_us;     // time of the last production update
    uint64_t bit_carry;   // bit-times not yet turned into bytes
};

// A write command waiting for its data phase on the OUT endpoint.
struct pending_write {
    uint8_t active;
    uint8_t width; // 8 or 32
    uint8_t ap;
    uint8_t dropped; // fault injected: data is taken but not written
    uint32_t addr;
    uint32_t length;
    uint32_t received;
};

struct probe_counters {
    uint64_t blocks;      // command blocks received
    uint64_t unknown;     // blocks with an unknown command
    uint64_t data_phases; // completed write data phases
    uint64_t led_blinks;
    uint64_t faults_used;
};

struct probe_state {
    uint8_t mode;
    uint8_t transport;
    uint8_t usb_config; // active USB configuration value (0 = unconfigured)
    uint8_t rw_status;  // outcome of the last memory transfer
    // Core run control (DHCSR and friends).
    uint32_t dhcsr_ctrl;   // C_DEBUGEN, C_HALT, C_STEP, C_MASKINTS as last written
    uint8_t reset_latched; // S_RESET_ST: a reset happened since the last DHCSR read
    uint8_t reset_held;    // reset line asserted
    uint32_t demcr;
    uint32_t dcrdr;
    std::array<uint32_t, CORE_REGS> core_regs;
    std::array<ppb_reg, PPB_SLOTS> ppb;
    uint32_t ppb_count;
    std::array<uint8_t, 4> ap_open;
    uint16_t swd_divisor;
    uint16_t jtag_divisor;
    std::array<uint32_t, 2> com_freq_khz; // generation 3: SWD, JTAG
    trace_state trace;
    pending_write write;
    uint32_t reply_len;
    uint32_t reply_pos;
    std::array<uint8_t, IO_BUFFER_SIZE> io; // reply bytes, or write data staging
    probe_counters counters;
    std::array<std::array<uint8_t, CMD_SIZE>, HISTORY_DEPTH> history;
    uint32_t history_len;  // valid entries, at most HISTORY_DEPTH
    uint32_t history_next; // ring position of the next entry
    std::array<uint32_t, FAULT_KINDS> fault_left;
    // A scripted reply: when script_len is set, the next command that has a
    // reply answers these bytes instead (any length), then the script is spent.
    uint32_t script_len;
    std::array<uint8_t, SCRIPT_SIZE> script;
    uint8_t fault_status; // status byte answered by FAULT_FAIL
    uint8_t wait_status;  // status byte answered by FAULT_WAIT
    uint8_t gate;         // gate_state
    core_debug core;
    std::array<uint8_t, SWO_CAPTURE> swo; // ITM packets, ring indexed by trace stream position
    flash_ctl flash;
};

struct vprobe_record {
    probe_config cfg;
    probe_state st;
};

// A probe plus the target memory it reaches. ram/flash point at cfg.ram_size
// and cfg.flash_size bytes.
struct probe_view {
    vprobe_record *rec;
    uint8_t *ram;
    uint8_t *flash;
};

// What became of a bulk transfer on one of the probe's endpoints.
enum io_kind : int {
    IO_DONE = 0,    // completed with `length` bytes
    IO_PENDING = 1, // device NAKs: the transfer stays in flight
    IO_NODEV = 2,   // device not reachable
};

struct io_outcome {
    int kind;
    uint32_t length;
};

// Fills cfg with the defaults of a generation-2 probe (see README).
void config_defaults(probe_config &cfg);
// Applies the generation's product ID and version defaults.
void config_set_generation(probe_config &cfg, uint8_t generation);
// Power-up state; fills RAM with zeros and flash with an erased image whose
// vector table points into RAM/flash. REQUIRES: view memory sized per cfg.
void probe_power_up(probe_view &v);
// Writes an image into flash (an ELF's loadable segments by physical
// address, or a raw image from the flash base), then resets the core.
// Returns 0, or -1 when the image does not fit the memory map.
int probe_load_image(probe_view &v, const uint8_t *image, size_t len);
// System reset of the core: SP and PC from the vector table, halted when
// DEMCR.VC_CORERESET asks for it.
void probe_core_reset(probe_view &v);
// Target memory changed under the core's feet (debugger writes, flash
// programming): the executor drops what it translated from there.
void probe_mark_code(core_debug &c, uint32_t addr, uint32_t len);
// A debugger loaded code or data (a RAM write, a programmed flash word):
// probe_mark_code, and a probe whose trace source follows its firmware
// leaves the synthetic counter for the core's ITM.
void probe_image_written(probe_view &v, uint32_t addr, uint32_t len);

// Runs one command block. Returns the number of reply bytes left in
// st.io (0 for commands without reply). Does not record history or apply
// injected faults: that is probe_bulk_out's job.
uint32_t probe_execute(probe_view &v, const uint8_t *block, uint64_t now_us);

// Bytes written to the command OUT endpoint: a command block, or the data
// phase of a pending write (a block longer than 16 bytes carries the start
// of its data phase).
io_outcome probe_bulk_out(probe_view &v, const uint8_t *data, uint32_t len, uint64_t now_us);

// Reply bytes still to be read from the reply IN endpoint.
uint32_t probe_reply_pending(const probe_view &v);
// Takes up to cap reply bytes; returns how many were copied.
uint32_t probe_reply_take(probe_view &v, uint8_t *buf, uint32_t cap);
// Drops what is left of the current reply.
void probe_reply_discard(probe_view &v);

// Trace endpoint: captured bytes available now / take up to cap of them.
uint32_t probe_trace_available(probe_view &v, uint64_t now_us);
uint32_t probe_trace_take(probe_view &v, uint8_t *buf, uint32_t cap, uint64_t now_us);

// Target memory seen by the debugger (status byte of the access).
uint8_t target_read(probe_view &v, uint32_t addr, uint8_t *out, uint32_t len);
uint8_t target_write(probe_view &v, uint32_t addr, const uint8_t *in, uint32_t len);
// Back door for tests: writes RAM or flash without bus rules. Returns 0 or -1.
int target_poke(probe_view &v, uint32_t addr, const uint8_t *in, uint32_t len);
// Back door read; unmapped bytes read as zero. Returns 0 or -1 (no byte mapped).
int target_peek(probe_view &v, uint32_t addr, uint8_t *out, uint32_t len);

// DHCSR as the debugger reads it now (without the read side effect).
uint32_t probe_dhcsr_value(const probe_view &v);

// Arms fault `kind` for the next n qualifying commands; status 0 keeps the
// default status byte. Returns 0, or -1 for an unknown kind.
int probe_set_fault(probe_view &v, int kind, uint32_t n, uint8_t status);
// Arms a scripted reply of len bytes (at most SCRIPT_SIZE) for the next
// command that has a reply. Returns 0, or -1 when len does not fit.
int probe_set_script(probe_view &v, const uint8_t *reply, uint32_t len);
// Resets counters, history and faults (target and mode state are kept).
void probe_clear(probe_view &v);
// The k-th most recent block (k = 0 is the last one). Returns 0 or -1.
int probe_history(const probe_view &v, uint32_t k, uint8_t *block);

// Clock tables of generation 2, fastest first: speed in kHz and divisor.
struct clock_row {
    int32_t khz;
    int32_t divisor;
};
constexpr std::array<clock_row, 12> SWD_CLOCKS = {{
    {4000, 0},
    {1800, 1},
    {1200, 2},
    {950, 3},
    {480, 7},
    {240, 15},
    {125, 31},
    {100, 40},
    {50, 79},
    {25, 158},
    {15, 265},
    {5, 798},
}};
constexpr std::array<clock_row, 7> JTAG_CLOCKS = {{
    {9000, 4},
    {4500, 8},
    {2250, 16},
    {1125, 32},
    {562, 64},
    {281, 128},
    {140, 256},
}};
// Generation-3 frequency lists in kHz (SWD, JTAG), fewer than FREQ_SLOTS on purpose.
constexpr std::array<uint32_t, 8> V3_SWD_FREQS = {{24000, 8000, 3300, 1000, 480, 100, 25, 5}};
constexpr std::array<uint32_t, 6> V3_JTAG_FREQS = {{16000, 8000, 4000, 1000, 250, 50}};

// kHz of a generation-2 divisor, or 0 when the divisor is not in the table.
int32_t clock_khz(bool jtag, int32_t divisor);

} // namespace vprobe
