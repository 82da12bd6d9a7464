// Arm semihosting for a halted Armv7-M target: the firmware executes
// BKPT 0xAB with the operation in R0 and its parameter (a value, or the
// address of a parameter block) in R1; the host performs the operation and
// the caller writes the result into R0 and resumes past the instruction.
//
// The module reaches the target only through the two callbacks of
// semihost_memory, so it can run on any transport and be tested in memory.
// Whatever the firmware asks, the host sees only the console descriptors
// and, when a directory is given, regular files beneath it.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace tarvex_semihost
{

constexpr uint16_t SEMIHOST_BKPT = 0xBEAB; // BKPT 0xAB in Thumb

// Whether the halfword at a halted core's PC is a semihosting call; any
// other halt is the debugger's business.
inline bool semihost_is_call(uint16_t halfword_at_pc)
{
    return halfword_at_pc == SEMIHOST_BKPT;
}

enum semihost_op : uint32_t {
    SYS_OPEN = 0x01,
    SYS_CLOSE = 0x02,
    SYS_WRITEC = 0x03,
    SYS_WRITE0 = 0x04,
    SYS_WRITE = 0x05,
    SYS_READ = 0x06,
    SYS_READC = 0x07,
    SYS_ISERROR = 0x08,
    SYS_ISTTY = 0x09,
    SYS_SEEK = 0x0A,
    SYS_FLEN = 0x0C,
    SYS_REMOVE = 0x0E,
    SYS_RENAME = 0x0F,
    SYS_CLOCK = 0x10,
    SYS_TIME = 0x11,
    SYS_ERRNO = 0x13,
    SYS_GET_CMDLINE = 0x15,
    SYS_HEAPINFO = 0x16,
    SYS_EXIT = 0x18,
    SYS_EXIT_EXTENDED = 0x20,
    SYS_ELAPSED = 0x30,
    SYS_TICKFREQ = 0x31,
};

constexpr uint32_t ADP_STOPPED_APPLICATION_EXIT = 0x20026; // SYS_EXIT's success reason
constexpr uint32_t ADP_STOPPED_RUNTIME_ERROR = 0x20023;
constexpr uint32_t SEMIHOST_FAILED = 0xFFFFFFFF; // -1 in R0

// The most bytes one operation moves between target and host: a block the
// firmware claims is longer is refused, not attempted.
constexpr uint32_t SEMIHOST_MAX_TRANSFER = 1u << 20;
constexpr uint32_t SEMIHOST_MAX_NAME = 1024;
constexpr uint64_t SEMIHOST_TICK_HZ = 1000000; // SYS_ELAPSED counts microseconds
// Open handles, the console's included: newlib keeps three for its standard
// streams and one for the feature file while it looks, and test firmware
// may keep dozens of files open at once.
constexpr int SEMIHOST_HANDLES = 64;

// The special file through which semihosting version 2 libraries learn
// what the host offers; read only, answered by the host whatever the
// sandbox says: the magic "SHFB", then one byte of feature bits.
constexpr char SEMIHOST_FEATURES_NAME[] = ":semihosting-features";
constexpr uint8_t SEMIHOST_FEATURE_EXIT_EXTENDED = 1u << 0; // SYS_EXIT_EXTENDED carries the status
constexpr uint8_t SEMIHOST_FEATURE_STDOUT_STDERR = 1u << 1; // ":tt" opened for append is standard error

// The target's memory as the module sees it: 0 when all len bytes moved,
// SEMIHOST_LINK_FAILED when the link to the target failed (the address may
// be good: the operation is not served and the firmware is not blamed),
// any other negative value when an address is outside the target's memory.
constexpr int SEMIHOST_LINK_FAILED = -2;
struct semihost_memory {
    void *ctx = nullptr;
    int (*read)(void *ctx, uint32_t addr, uint8_t *data, uint32_t len) = nullptr;
    int (*write)(void *ctx, uint32_t addr, const uint8_t *data, uint32_t len) = nullptr;
};

// SYS_HEAPINFO's four words; zeros when the image says nothing.
struct semihost_heap {
    uint32_t heap_base = 0;
    uint32_t heap_limit = 0;
    uint32_t stack_base = 0;
    uint32_t stack_limit = 0;
};

// The console's handles go one way each: a firmware must not read the
// tool's output descriptor (a terminal's is often readable) or write its
// input.
enum semihost_handle_kind : uint8_t {
    HANDLE_FREE,
    HANDLE_CONSOLE_IN,
    HANDLE_CONSOLE_OUT,
    HANDLE_FILE,
    HANDLE_FEATURES, // the host's own feature file: no descriptor
};

struct semihost_handle {
    semihost_handle_kind kind = HANDLE_FREE;
    int fd = -1;     // the console's descriptors belong to the tool and stay open
    uint32_t at = 0; // the feature file's read position
};

struct semihost_session {
    semihost_memory mem;
    int in_fd = 0; // the console: ":tt" opened for reading, SYS_READC
    int out_fd = 1;
    int err_fd = 2;
    std::string cmdline; // SYS_GET_CMDLINE: the program's name and its arguments
    int dir_fd = -1;     // the sandbox directory; -1 refuses every file
    // CLOCK_MONOTONIC microseconds past which a console read stops
    // waiting and the call ends with SEMIHOST_DEADLINE; 0 waits for ever.
    int64_t deadline_us = 0;
    bool deadline_passed = false;
    semihost_heap heap;
    // One line per request the module refused as malformed or hostile.
    void (*log)(void *ctx, const char *line) = nullptr;
    void *log_ctx = nullptr;

    semihost_handle handles[SEMIHOST_HANDLES]; // firmware handle N is entry N - 1
    int error = 0;                             // the host's errno; SYS_ERRNO answers the firmware's number
    // A memory callback answered SEMIHOST_LINK_FAILED: the caller ends the
    // run instead of resuming the firmware.
    bool link_failed = false;
    timespec started{}; // CLOCK_MONOTONIC at the session's start
};

// Sets up a session with the console on the given descriptors; the clock
// starts now. argv is what the firmware's C library should see: the
// program's name first, then its arguments.
void semihost_session_init(semihost_session &s, const semihost_memory &mem, int in_fd, int out_fd, int err_fd,
                           const std::vector<std::string> &argv);
// The command line that gives argv to the target C libraries' parsers,
// which split at spaces and take a word in double or single quotes
// whole: a word with a space, a tab or a quote is quoted. "" when a word
// cannot be written so (it holds both quote characters, or a newline).
std::string semihost_command_line(const std::vector<std::string> &argv);
// The number the firmware's C library uses for the host's errno value:
// the same for the classic numbers, its own for the rest, EIO where it
// has none.
int semihost_target_errno(int host_errno);
// Opens dir as the sandbox: 0, or -errno when it is no directory.
int semihost_session_set_dir(semihost_session &s, const char *dir);
// Closes the files the firmware left open and the sandbox directory.
void semihost_session_close(semihost_session &s);

struct semihost_exit {
    uint32_t reason = 0;
    uint32_t subcode = 0;
    int status = 0; // 0 success, 1 a failure reason, or SYS_EXIT_EXTENDED's subcode
};

enum semihost_outcome : int { SEMIHOST_RESUME = 0, SEMIHOST_EXITED = 1, SEMIHOST_DEADLINE = 2 };

// Performs operation op with parameter param (R0 and R1 at the BKPT).
// SEMIHOST_RESUME: *result is the new R0 and the firmware goes on past the
// BKPT, failed or not. SEMIHOST_EXITED: the firmware ended with *exit; R0
// and the core stay as they are. SEMIHOST_DEADLINE: the session's deadline
// passed while a console read waited for input; nothing was read, and the
// core stays at the call.
int semihost_perform(semihost_session &s, uint32_t op, uint32_t param, uint32_t *result, semihost_exit *exit);

} // namespace tarvex_semihost
