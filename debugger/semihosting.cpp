// Semihosting operations on a halted target. Every failure, hostile or not,
// becomes -1 (or the operation's own failure value) in R0 with SYS_ERRNO
// set; the firmware's requests never end the tool.
//
// Files: openat2 with RESOLVE_BENEATH keeps every name, symbolic links
// included, beneath the sandbox directory; "/" and ".." are refused before
// the kernel sees them so that the refusal does not depend on where a
// ".." would lead. Only regular files open: a FIFO there could stall the
// tool, a device would reach past the directory.
#include "semihosting.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace tarvex_semihost
{

namespace
{

using handler = uint32_t (*)(semihost_session &s, uint32_t param, semihost_exit *exit);

constexpr uint32_t WRITE0_WINDOW = 256;  // a string is read up to the next such boundary at a time
constexpr uint32_t MODE_LAST = 11;       // "a+b"
constexpr uint32_t MODE_FIRST_WRITE = 2; // "r+": modes 0 and 1 only read

constexpr std::array<uint8_t, 5> FEATURES = {'S', 'H', 'F', 'B',
                                             SEMIHOST_FEATURE_EXIT_EXTENDED | SEMIHOST_FEATURE_STDOUT_STDERR};

void log_refusal(semihost_session &s, const char *op, const char *format, ...) __attribute__((format(printf, 3, 4)));

void log_refusal(semihost_session &s, const char *op, const char *format, ...)
{
    if (!s.log || s.link_failed) // the link failed, not the firmware's request
        return;
    char detail[160];
    va_list args;
    va_start(args, format);
    vsnprintf(detail, sizeof(detail), format, args);
    va_end(args);
    char line[200];
    snprintf(line, sizeof(line), "semihosting %s: %s", op, detail);
    s.log(s.log_ctx, line);
}

uint32_t fail(semihost_session &s, int error)
{
    s.error = error;
    return SEMIHOST_FAILED;
}

uint32_t word_at(const uint8_t *b)
{
    return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
}

void put_word(uint8_t *b, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b[i] = static_cast<uint8_t>(v >> (8 * i));
}

// An access past the top of the address space would wrap to address 0 on
// some transports: refused before it reaches one.
bool wraps(uint32_t addr, uint32_t len)
{
    return addr + static_cast<uint64_t>(len) > 0x100000000ull;
}

bool moved(semihost_session &s, int rc)
{
    if (rc == SEMIHOST_LINK_FAILED)
        s.link_failed = true;
    return rc == 0;
}

bool read_target(semihost_session &s, uint32_t addr, uint8_t *data, uint32_t len)
{
    return len == 0 || (!wraps(addr, len) && s.mem.read && moved(s, s.mem.read(s.mem.ctx, addr, data, len)));
}

bool write_target(semihost_session &s, uint32_t addr, const uint8_t *data, uint32_t len)
{
    return len == 0 || (!wraps(addr, len) && s.mem.write && moved(s, s.mem.write(s.mem.ctx, addr, data, len)));
}

// The parameter block's n words; false (logged, SYS_ERRNO set) when it lies
// outside the target's memory.
bool block_words(semihost_session &s, const char *op, uint32_t param, uint32_t *words, int n)
{
    uint8_t raw[16]; // no block has more than four words
    if (!read_target(s, param, raw, static_cast<uint32_t>(4 * n))) {
        log_refusal(s, op, "parameter block at 0x%08x is outside the target's memory", param);
        s.error = EFAULT;
        return false;
    }
    for (int i = 0; i < n; i++)
        words[i] = word_at(raw + 4 * i);
    return true;
}

bool length_sane(semihost_session &s, const char *op, uint32_t len)
{
    if (len <= SEMIHOST_MAX_TRANSFER)
        return true;
    log_refusal(s, op, "length %u is past the %u-byte bound", len, SEMIHOST_MAX_TRANSFER);
    s.error = EINVAL;
    return false;
}

bool buffer_from_target(semihost_session &s, const char *op, uint32_t addr, uint32_t len, std::vector<uint8_t> *out)
{
    out->resize(len);
    if (read_target(s, addr, out->data(), len))
        return true;
    log_refusal(s, op, "buffer at 0x%08x+%u is outside the target's memory", addr, len);
    s.error = EFAULT;
    return false;
}

// Bytes written before an error; the console is written as it comes,
// without buffering, so its order with other output stays.
uint32_t write_all(semihost_session &s, int fd, const uint8_t *data, uint32_t len)
{
    uint32_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, data + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            s.error = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<uint32_t>(n);
    }
    return done;
}

semihost_handle *handle_of(semihost_session &s, uint32_t h)
{
    if (h == 0 || h > SEMIHOST_HANDLES || s.handles[h - 1].kind == HANDLE_FREE) {
        s.error = EBADF;
        return nullptr;
    }
    return &s.handles[h - 1];
}

// A handle that may move data in that direction: the console's go one way.
semihost_handle *handle_for(semihost_session &s, uint32_t h, semihost_handle_kind not_this)
{
    semihost_handle *e = handle_of(s, h);
    if (e && e->kind == not_this) {
        s.error = EBADF;
        return nullptr;
    }
    return e;
}

// Open modes 0-11 are fopen's "r", "rb", "r+", "r+b", "w", ... "a+b".
int open_flags(uint32_t mode)
{
    static constexpr std::array<int, 3> base = {O_RDONLY, O_WRONLY | O_CREAT | O_TRUNC, O_WRONLY | O_CREAT | O_APPEND};
    int flags = base[mode / 4];
    if (mode & 2)
        flags = (flags & ~(O_RDONLY | O_WRONLY)) | O_RDWR;
    return flags;
}

// A name as the log shows it: the firmware chose its bytes, so nothing
// that a terminal would act on, and not too long.
std::string printable(const std::string &name)
{
    std::string shown = name.substr(0, 64);
    for (char &c : shown)
        if (c < 0x20 || c > 0x7E)
            c = '?';
    return shown;
}

bool has_parent_component(const std::string &name)
{
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos)
            end = name.size();
        if (name.compare(start, end - start, "..") == 0)
            return true;
        start = end + 1;
    }
    return false;
}

// 0 when name may be looked up beneath the sandbox, else -EACCES (logged).
int name_allowed(semihost_session &s, const char *op, const std::string &name)
{
    if (s.dir_fd < 0) {
        log_refusal(s, op, "\"%s\" refused: no directory for files was given", printable(name).c_str());
        return -EACCES;
    }
    if (name.empty() || name[0] == '/' || has_parent_component(name)) {
        log_refusal(s, op, "\"%s\" refused: absolute or with \"..\"", printable(name).c_str());
        return -EACCES;
    }
    return 0;
}

// openat2 beneath the sandbox: a descriptor, or -errno (logged when the
// name leads out of the directory).
int openat_beneath(semihost_session &s, const char *op, const std::string &name, uint64_t flags)
{
    open_how how{};
    how.flags = flags | O_CLOEXEC;
    how.mode = (how.flags & O_CREAT) ? 0666 : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    int fd = static_cast<int>(syscall(SYS_openat2, s.dir_fd, name.c_str(), &how, sizeof(how)));
    if (fd >= 0)
        return fd;
    int error = errno;
    if (error == EXDEV || error == ELOOP)
        log_refusal(s, op, "\"%s\" refused: it leads out of the directory", printable(name).c_str());
    return -error;
}

// A descriptor for name beneath the sandbox, or -errno.
int open_beneath(semihost_session &s, const std::string &name, uint32_t mode)
{
    int fd = name_allowed(s, "SYS_OPEN", name);
    if (fd == 0)
        fd = openat_beneath(s, "SYS_OPEN", name, static_cast<uint64_t>(open_flags(mode) | O_NOCTTY | O_NONBLOCK));
    if (fd < 0)
        return fd;
    struct stat st = {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        log_refusal(s, "SYS_OPEN", "\"%s\" refused: not a regular file", printable(name).c_str());
        return -EACCES;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

int free_handle(semihost_session &s)
{
    for (int i = 0; i < SEMIHOST_HANDLES; i++)
        if (s.handles[i].kind == HANDLE_FREE)
            return i;
    return -1;
}

// A file name of len bytes at addr: false (SYS_ERRNO set) when it is too
// long, outside the target's memory, or holds a NUL.
bool name_from_target(semihost_session &s, const char *op, uint32_t addr, uint32_t len, std::string *name)
{
    if (len > SEMIHOST_MAX_NAME) {
        log_refusal(s, op, "name length %u is past the %u-byte bound", len, SEMIHOST_MAX_NAME);
        s.error = ENAMETOOLONG;
        return false;
    }
    std::vector<uint8_t> raw;
    if (!buffer_from_target(s, op, addr, len, &raw))
        return false;
    name->assign(raw.begin(), raw.end());
    if (name->find('\0') == std::string::npos)
        return true;
    s.error = ENOENT;
    return false;
}

uint32_t op_open(semihost_session &s, uint32_t param, semihost_exit *)
{
    uint32_t w[3];
    if (!block_words(s, "SYS_OPEN", param, w, 3))
        return SEMIHOST_FAILED;
    if (w[1] > MODE_LAST) {
        log_refusal(s, "SYS_OPEN", "mode %u is no open mode", w[1]);
        return fail(s, EINVAL);
    }
    std::string name;
    if (!name_from_target(s, "SYS_OPEN", w[0], w[2], &name))
        return SEMIHOST_FAILED;
    int slot = free_handle(s);
    if (slot < 0)
        return fail(s, EMFILE);
    if (name == SEMIHOST_FEATURES_NAME) {
        if (w[1] >= MODE_FIRST_WRITE) {
            log_refusal(s, "SYS_OPEN", "\"%s\" is read only", SEMIHOST_FEATURES_NAME);
            return fail(s, EACCES);
        }
        s.handles[slot] = {HANDLE_FEATURES, -1, 0};
        return static_cast<uint32_t>(slot + 1);
    }
    if (name == ":tt") {
        bool input = w[1] < 4;
        s.handles[slot] = {input ? HANDLE_CONSOLE_IN : HANDLE_CONSOLE_OUT,
                           input      ? s.in_fd
                           : w[1] < 8 ? s.out_fd
                                      : s.err_fd,
                           0};
        return static_cast<uint32_t>(slot + 1);
    }
    int fd = open_beneath(s, name, w[1]);
    if (fd < 0)
        return fail(s, -fd);
    s.handles[slot] = {HANDLE_FILE, fd, 0};
    return static_cast<uint32_t>(slot + 1);
}

// The handle a one-word parameter block names.
semihost_handle *block_handle(semihost_session &s, const char *op, uint32_t param)
{
    uint32_t h;
    return block_words(s, op, param, &h, 1) ? handle_of(s, h) : nullptr;
}

uint32_t op_close(semihost_session &s, uint32_t param, semihost_exit *)
{
    semihost_handle *e = block_handle(s, "SYS_CLOSE", param);
    if (!e)
        return SEMIHOST_FAILED;
    if (e->kind == HANDLE_FILE)
        close(e->fd);
    *e = {};
    return 0;
}

uint32_t op_writec(semihost_session &s, uint32_t param, semihost_exit *)
{
    uint8_t c;
    if (!read_target(s, param, &c, 1)) {
        log_refusal(s, "SYS_WRITEC", "character at 0x%08x is outside the target's memory", param);
        return fail(s, EFAULT);
    }
    write_all(s, s.out_fd, &c, 1);
    return 0;
}

// The string is read a window at a time, each ending on a WRITE0_WINDOW
// boundary, so that a string near the end of a memory region is not read
// past that end.
uint32_t op_write0(semihost_session &s, uint32_t param, semihost_exit *)
{
    std::vector<uint8_t> text;
    uint32_t addr = param;
    while (text.size() < SEMIHOST_MAX_TRANSFER) {
        uint32_t window = WRITE0_WINDOW - addr % WRITE0_WINDOW;
        uint8_t chunk[WRITE0_WINDOW];
        if (!read_target(s, addr, chunk, window)) {
            log_refusal(s, "SYS_WRITE0", "string at 0x%08x runs outside the target's memory", param);
            return fail(s, EFAULT);
        }
        const uint8_t *end = static_cast<const uint8_t *>(memchr(chunk, 0, window));
        text.insert(text.end(), static_cast<const uint8_t *>(chunk), end ? end : chunk + window);
        if (end) {
            write_all(s, s.out_fd, text.data(), static_cast<uint32_t>(text.size()));
            return 0;
        }
        addr += window;
    }
    log_refusal(s, "SYS_WRITE0", "string at 0x%08x has no end within %u bytes", param, SEMIHOST_MAX_TRANSFER);
    return fail(s, EINVAL);
}

uint32_t op_write(semihost_session &s, uint32_t param, semihost_exit *)
{
    uint32_t w[3];
    if (!block_words(s, "SYS_WRITE", param, w, 3))
        return SEMIHOST_FAILED;
    semihost_handle *e = handle_for(s, w[0], HANDLE_CONSOLE_IN);
    if (e && e->kind == HANDLE_FEATURES)
        e = nullptr, s.error = EBADF;
    std::vector<uint8_t> data;
    if (!e || !length_sane(s, "SYS_WRITE", w[2]) || !buffer_from_target(s, "SYS_WRITE", w[1], w[2], &data))
        return SEMIHOST_FAILED;
    return w[2] - write_all(s, e->fd, data.data(), w[2]);
}

int64_t monotonic_us()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// Whether the console has input (or its end) before the session's
// deadline; false marks the deadline passed.
bool console_ready(semihost_session &s, int fd)
{
    if (s.deadline_us == 0)
        return true;
    for (;;) {
        int64_t left_us = s.deadline_us - monotonic_us();
        pollfd p{fd, POLLIN, 0};
        int n = poll(&p, 1, left_us > 0 ? static_cast<int>((left_us + 999) / 1000) : 0);
        if (n > 0)
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return true; // the read says what is wrong with the descriptor
        s.deadline_passed = true;
        return false;
    }
}

// The feature file's bytes from the handle's position on.
uint32_t read_features(semihost_handle &e, uint8_t *data, uint32_t len)
{
    if (e.at >= FEATURES.size() || len == 0)
        return 0; // a position past the end (SYS_SEEK allows it), or nothing asked
    uint32_t n = std::min<uint32_t>(len, FEATURES.size() - e.at);
    memcpy(data, FEATURES.data() + e.at, n);
    e.at += n;
    return n;
}

// A console read takes what one read(2) gives, as a terminal line would; a
// file read fills the buffer up to the end of the file.
uint32_t read_host(semihost_session &s, semihost_handle &e, uint8_t *data, uint32_t len)
{
    if (e.kind == HANDLE_FEATURES)
        return read_features(e, data, len);
    if (e.kind == HANDLE_CONSOLE_IN && len > 0 && !console_ready(s, e.fd))
        return 0;
    uint32_t done = 0;
    while (done < len) {
        ssize_t n = read(e.fd, data + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            s.error = errno;
        if (n <= 0)
            break;
        done += static_cast<uint32_t>(n);
        if (e.kind == HANDLE_CONSOLE_IN)
            break;
    }
    return done;
}

uint32_t op_read(semihost_session &s, uint32_t param, semihost_exit *)
{
    uint32_t w[3];
    if (!block_words(s, "SYS_READ", param, w, 3))
        return SEMIHOST_FAILED;
    semihost_handle *e = handle_for(s, w[0], HANDLE_CONSOLE_OUT);
    if (!e || !length_sane(s, "SYS_READ", w[2]))
        return SEMIHOST_FAILED;
    std::vector<uint8_t> data(w[2]);
    uint32_t got = read_host(s, *e, data.data(), w[2]);
    if (s.deadline_passed)
        return SEMIHOST_FAILED;
    if (!write_target(s, w[1], data.data(), got)) {
        log_refusal(s, "SYS_READ", "buffer at 0x%08x+%u is outside the target's memory", w[1], got);
        return fail(s, EFAULT);
    }
    return w[2] - got;
}

uint32_t op_readc(semihost_session &s, uint32_t, semihost_exit *)
{
    uint8_t c;
    semihost_handle console{HANDLE_CONSOLE_IN, s.in_fd, 0};
    return read_host(s, console, &c, 1) == 1 ? c : SEMIHOST_FAILED;
}

uint32_t op_iserror(semihost_session &s, uint32_t param, semihost_exit *)
{
    uint32_t status;
    if (!block_words(s, "SYS_ISERROR", param, &status, 1))
        return SEMIHOST_FAILED;
    return static_cast<int32_t>(status) < 0 ? 1 : 0;
}

uint32_t op_istty(semihost_session &s, uint32_t param, semihost_exit *)
{
    semihost_handle *e = block_handle(s, "SYS_ISTTY", param);
    if (!e)
        return SEMIHOST_FAILED;
    return e->kind == HANDLE_CONSOLE_IN || e->kind == HANDLE_CONSOLE_OUT ? 1 : 0;
}

// Seeking and measuring make sense for files only.
semihost_handle *only_file(semihost_session &s, semihost_handle *e)
{
    if (e && e->kind != HANDLE_FILE && e->kind != HANDLE_FEATURES) {
        s.error = ESPIPE;
        return nullptr;
    }
    return e;
}

uint32_t op_seek(semihost_session &s, uint32_t param, semihost_exit *)
{
    uint32_t w[2];
    if (!block_words(s, "SYS_SEEK", param, w, 2))
        return SEMIHOST_FAILED;
    semihost_handle *e = only_file(s, handle_of(s, w[0]));
    if (!e)
        return SEMIHOST_FAILED;
    if (e->kind == HANDLE_FEATURES)
        return e->at = w[1], 0;
    return lseek(e->fd, static_cast<off_t>(w[1]), SEEK_SET) < 0 ? fail(s, errno) : 0;
}

uint32_t op_flen(semihost_session &s, uint32_t param, semihost_exit *)
{
    semihost_handle *e = only_file(s, block_handle(s, "SYS_FLEN", param));
    if (!e)
        return SEMIHOST_FAILED;
    if (e->kind == HANDLE_FEATURES)
        return static_cast<uint32_t>(FEATURES.size());
    struct stat st = {};
    if (fstat(e->fd, &st) != 0)
        return fail(s, errno);
    return st.st_size > INT32_MAX ? fail(s, EOVERFLOW) : static_cast<uint32_t>(st.st_size);
}

uint64_t micros_since_start(const semihost_session &s)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t us = (now.tv_sec - s.started.tv_sec) * 1000000ll + (now.tv_nsec - s.started.tv_nsec) / 1000;
    return us < 0 ? 0 : static_cast<uint64_t>(us);
}

uint32_t op_clock(semihost_session &s, uint32_t, semihost_exit *)
{
    return static_cast<uint32_t>(micros_since_start(s) / 10000);
}

uint32_t op_time(semihost_session &, uint32_t, semihost_exit *)
{
    return static_cast<uint32_t>(time(nullptr));
}

uint32_t op_errno(semihost_session &s, uint32_t, semihost_exit *)
{
    return static_cast<uint32_t>(semihost_target_errno(s.error));
}

// A command line longer than the firmware's buffer is refused whole: a cut
// one would give the program other arguments than it was given.
uint32_t op_get_cmdline(semihost_session &s, uint32_t param, semihost_exit *)
{
    uint32_t w[2];
    if (!block_words(s, "SYS_GET_CMDLINE", param, w, 2))
        return SEMIHOST_FAILED;
    if (s.cmdline.size() >= w[1]) {
        log_refusal(s, "SYS_GET_CMDLINE", "the command line (%zu bytes) does not fit the firmware's %u-byte buffer",
                    s.cmdline.size() + 1, w[1]);
        return fail(s, E2BIG);
    }
    uint32_t size = static_cast<uint32_t>(s.cmdline.size());
    uint8_t len[4];
    put_word(len, size);
    if (!write_target(s, w[0], reinterpret_cast<const uint8_t *>(s.cmdline.c_str()), size + 1) ||
        !write_target(s, param + 4, len, 4)) {
        log_refusal(s, "SYS_GET_CMDLINE", "buffer at 0x%08x+%u is outside the target's memory", w[0], size + 1);
        return fail(s, EFAULT);
    }
    return 0;
}

uint32_t op_heapinfo(semihost_session &s, uint32_t param, semihost_exit *)
{
    uint32_t block;
    if (!block_words(s, "SYS_HEAPINFO", param, &block, 1))
        return SEMIHOST_FAILED;
    uint8_t b[16];
    put_word(b, s.heap.heap_base);
    put_word(b + 4, s.heap.heap_limit);
    put_word(b + 8, s.heap.stack_base);
    put_word(b + 12, s.heap.stack_limit);
    if (!write_target(s, block, b, sizeof(b))) {
        log_refusal(s, "SYS_HEAPINFO", "block at 0x%08x is outside the target's memory", block);
        return fail(s, EFAULT);
    }
    return 0;
}

uint32_t op_elapsed(semihost_session &s, uint32_t param, semihost_exit *)
{
    uint64_t ticks = micros_since_start(s);
    uint8_t b[8];
    put_word(b, static_cast<uint32_t>(ticks));
    put_word(b + 4, static_cast<uint32_t>(ticks >> 32));
    if (!write_target(s, param, b, sizeof(b))) {
        log_refusal(s, "SYS_ELAPSED", "block at 0x%08x is outside the target's memory", param);
        return fail(s, EFAULT);
    }
    return 0;
}

uint32_t op_tickfreq(semihost_session &, uint32_t, semihost_exit *)
{
    return static_cast<uint32_t>(SEMIHOST_TICK_HZ);
}

// The directory holding name, opened beneath the sandbox, and name's last
// component: the pair that unlinkat and renameat act on without following
// a link anywhere but beneath the directory.
struct parent_entry {
    int dir_fd = -1;
    std::string last;
    ~parent_entry()
    {
        if (dir_fd >= 0)
            close(dir_fd);
    }
};

int parent_beneath(semihost_session &s, const char *op, const std::string &name, parent_entry *entry)
{
    int rc = name_allowed(s, op, name);
    if (rc != 0)
        return rc;
    size_t slash = name.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : name.substr(0, slash);
    entry->last = slash == std::string::npos ? name : name.substr(slash + 1);
    if (entry->last.empty() || entry->last == ".") {
        log_refusal(s, op, "\"%s\" refused: it names no file", printable(name).c_str());
        return -EACCES;
    }
    rc = openat_beneath(s, op, dir, O_PATH | O_DIRECTORY);
    if (rc >= 0)
        entry->dir_fd = rc;
    return rc < 0 ? rc : 0;
}

// SYS_REMOVE and SYS_RENAME answer 0, or -1 with SYS_ERRNO set: any
// nonzero value is a failure by the convention, and newlib takes only -1
// for one.
uint32_t op_remove(semihost_session &s, uint32_t param, semihost_exit *)
{
    uint32_t w[2];
    std::string name;
    if (!block_words(s, "SYS_REMOVE", param, w, 2) || !name_from_target(s, "SYS_REMOVE", w[0], w[1], &name))
        return SEMIHOST_FAILED;
    parent_entry entry;
    int rc = parent_beneath(s, "SYS_REMOVE", name, &entry);
    if (rc == 0 && unlinkat(entry.dir_fd, entry.last.c_str(), 0) != 0)
        rc = -errno;
    return rc == 0 ? 0 : fail(s, -rc);
}

uint32_t op_rename(semihost_session &s, uint32_t param, semihost_exit *)
{
    uint32_t w[4];
    std::string from, to;
    if (!block_words(s, "SYS_RENAME", param, w, 4) || !name_from_target(s, "SYS_RENAME", w[0], w[1], &from) ||
        !name_from_target(s, "SYS_RENAME", w[2], w[3], &to))
        return SEMIHOST_FAILED;
    parent_entry old_entry, new_entry;
    int rc = parent_beneath(s, "SYS_RENAME", from, &old_entry);
    if (rc == 0)
        rc = parent_beneath(s, "SYS_RENAME", to, &new_entry);
    if (rc == 0 && renameat(old_entry.dir_fd, old_entry.last.c_str(), new_entry.dir_fd, new_entry.last.c_str()) != 0)
        rc = -errno;
    return rc == 0 ? 0 : fail(s, -rc);
}

uint32_t ended(semihost_exit *exit, uint32_t reason, uint32_t subcode, int status)
{
    *exit = {reason, subcode, status};
    return 0;
}

uint32_t op_exit(semihost_session &, uint32_t param, semihost_exit *exit)
{
    return ended(exit, param, 0, param == ADP_STOPPED_APPLICATION_EXIT ? 0 : 1);
}

// The subcode is the status; a failure reason with subcode 0 still fails.
uint32_t op_exit_extended(semihost_session &s, uint32_t param, semihost_exit *exit)
{
    uint32_t w[2];
    if (!block_words(s, "SYS_EXIT_EXTENDED", param, w, 2))
        return SEMIHOST_FAILED;
    int status = static_cast<int>(w[1]);
    if (w[0] != ADP_STOPPED_APPLICATION_EXIT && status == 0)
        status = 1;
    return ended(exit, w[0], w[1], status);
}

struct operation {
    uint32_t op;
    handler perform;
};

constexpr operation operations[] = {
    {SYS_OPEN, op_open},
    {SYS_CLOSE, op_close},
    {SYS_WRITEC, op_writec},
    {SYS_WRITE0, op_write0},
    {SYS_WRITE, op_write},
    {SYS_READ, op_read},
    {SYS_READC, op_readc},
    {SYS_ISERROR, op_iserror},
    {SYS_ISTTY, op_istty},
    {SYS_SEEK, op_seek},
    {SYS_FLEN, op_flen},
    {SYS_REMOVE, op_remove},
    {SYS_RENAME, op_rename},
    {SYS_CLOCK, op_clock},
    {SYS_TIME, op_time},
    {SYS_ERRNO, op_errno},
    {SYS_GET_CMDLINE, op_get_cmdline},
    {SYS_HEAPINFO, op_heapinfo},
    {SYS_EXIT, op_exit},
    {SYS_EXIT_EXTENDED, op_exit_extended},
    {SYS_ELAPSED, op_elapsed},
    {SYS_TICKFREQ, op_tickfreq},
};

} // namespace

std::string semihost_command_line(const std::vector<std::string> &argv)
{
    std::string line;
    for (const std::string &word : argv) {
        bool plain = !word.empty() && word.find_first_of(" \t\"'") == std::string::npos;
        bool has_double = word.find('"') != std::string::npos;
        if (word.find('\n') != std::string::npos || (has_double && word.find('\'') != std::string::npos))
            return "";
        char quote = has_double ? '\'' : '"';
        line += (line.empty() ? "" : " ") + (plain ? word : quote + word + quote);
    }
    return line;
}

// The classic numbers (EPERM to ERANGE) are the same in the target C
// libraries; the later ones are their own.
int semihost_target_errno(int host_errno)
{
    struct errno_pair {
        int host, target;
    };
    static constexpr errno_pair later[] = {
        {EDEADLK, 45},    {ENOLCK, 46},  {ENOSYS, 88},  {ENOTEMPTY, 90}, {ENAMETOOLONG, 91}, {ELOOP, 92},
        {ETIMEDOUT, 116}, {EDQUOT, 132}, {ESTALE, 133}, {ENOTSUP, 134},  {EILSEQ, 138},      {EOVERFLOW, 139},
    };
    if (host_errno >= 0 && host_errno <= ERANGE)
        return host_errno;
    for (const errno_pair &p : later)
        if (p.host == host_errno)
            return p.target;
    return EIO;
}

void semihost_session_init(semihost_session &s, const semihost_memory &mem, int in_fd, int out_fd, int err_fd,
                           const std::vector<std::string> &argv)
{
    s = semihost_session{};
    s.mem = mem;
    s.in_fd = in_fd;
    s.out_fd = out_fd;
    s.err_fd = err_fd;
    s.cmdline = semihost_command_line(argv);
    clock_gettime(CLOCK_MONOTONIC, &s.started);
}

int semihost_session_set_dir(semihost_session &s, const char *dir)
{
    int fd = open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    if (s.dir_fd >= 0)
        close(s.dir_fd);
    s.dir_fd = fd;
    return 0;
}

void semihost_session_close(semihost_session &s)
{
    for (semihost_handle &e : s.handles) {
        if (e.kind == HANDLE_FILE)
            close(e.fd);
        e = {};
    }
    if (s.dir_fd >= 0)
        close(s.dir_fd);
    s.dir_fd = -1;
}

int semihost_perform(semihost_session &s, uint32_t op, uint32_t param, uint32_t *result, semihost_exit *exit)
{
    for (const operation &o : operations) {
        if (o.op != op)
            continue;
        semihost_exit ignored;
        s.deadline_passed = false;
        uint32_t r = o.perform(s, param, exit ? exit : &ignored);
        if ((o.op == SYS_EXIT || o.op == SYS_EXIT_EXTENDED) && r != SEMIHOST_FAILED)
            return SEMIHOST_EXITED;
        if (s.deadline_passed)
            return SEMIHOST_DEADLINE;
        *result = r;
        return SEMIHOST_RESUME;
    }
    char name[16];
    snprintf(name, sizeof(name), "0x%x", op);
    log_refusal(s, name, "no such operation (R1 0x%08x)", param);
    *result = fail(s, ENOSYS);
    return SEMIHOST_RESUME;
}

} // namespace tarvex_semihost
