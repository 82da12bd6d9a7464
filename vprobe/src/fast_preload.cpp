#undef _FORTIFY_SOURCE // the fortified open() wrappers would clash with the definitions here
// libtarvex-vprobe-fast.so: answers the usbfs calls on virtual probe nodes
// inside the process that makes them, from the launcher's bus file.
//
// umockdev still provides sysfs and udev (enumeration, hot plug); this
// library takes open/ioctl/close on /dev/bus/usb/BBB/DDD nodes of plugged
// probes. The descriptor handed to libusb is an eventfd held at its maximum
// count, so poll(POLLOUT) is true exactly while a completed URB waits to be
// reaped: libusb 1.0.26 watches usbfs descriptors for POLLOUT only.
//
// Threads: every usbfs call of the served process, the bus watcher and the
// latency timer take the state lock, and only it guards the fd table and
// every fast_fd; the bus lock is taken inside it, around model work only.
// Nobody sleeps while holding either: the latency timer waits on a
// condition of the state lock, the watcher on the bus futex.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/ioctl.h> // _IOW and friends without the ioctl() declaration
#include <linux/usbdevice_fs.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "probe_bus.h"
#include "probe_usb.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

using namespace vprobe;

namespace
{

constexpr size_t MAX_FDS = 4096;
constexpr uint64_t EVENTFD_FULL = 0xfffffffffffffffeULL;
constexpr int IDLE_WAIT_MS = 1000;
constexpr int TRACE_POLL_MS = 2; // while an IN URB waits for trace data

// One open probe node.
struct fast_fd {
    uint32_t slot;
    uint32_t plug_seq; // the plug this descriptor belongs to
    uint32_t latency_us;
    bool claimed;
    bool ready;                              // eventfd drained: POLLOUT
    std::deque<usbdevfs_urb *> pending;      // IN URBs the device NAKs for now
    std::deque<held_urb<usbdevfs_urb>> held; // command OUT URBs waiting out the latency
    std::deque<usbdevfs_urb *> done;
};

struct fast_state {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER; // fd table and every fast_fd
    pthread_cond_t timer_wake;                        // CLOCK_MONOTONIC; set up with the timer thread
    probe_bus bus{};
    bool attach_tried = false;
    bool watcher_started = false;
    bool timer_started = false;
    size_t fd_end = 0; // above every probe descriptor ever handed out
    std::array<std::atomic<fast_fd *>, MAX_FDS> fds{};
};

fast_state the_state;

template <typename F> F next_symbol(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

int real_close(int fd)
{
    static auto fn = next_symbol<int (*)(int)>("close");
    return fn(fd);
}

int real_ioctl(int fd, unsigned long req, void *arg)
{
    static auto fn = next_symbol<int (*)(int, unsigned long, void *)>("ioctl");
    return fn(fd, req, arg);
}

fast_fd *lookup(int fd)
{
    if (fd < 0 || static_cast<size_t>(fd) >= MAX_FDS)
        return nullptr;
    return the_state.fds[static_cast<size_t>(fd)].load(std::memory_order_acquire);
}

class state_guard
{
public:
    state_guard() { pthread_mutex_lock(&the_state.lock); }
    ~state_guard() { pthread_mutex_unlock(&the_state.lock); }
    state_guard(const state_guard &) = delete;
    state_guard &operator=(const state_guard &) = delete;
};

class model_guard
{
public:
    model_guard() { bus_lock(the_state.bus); }
    ~model_guard() { bus_unlock(the_state.bus); }
    model_guard(const model_guard &) = delete;
    model_guard &operator=(const model_guard &) = delete;
};

// The devnum of a probe node path, or -1 for any other path.
int node_devnum(const char *path)
{
    unsigned busnum = 0, devnum = 0;
    char tail = 0;
    if (path == nullptr || std::sscanf(path, "/dev/bus/usb/%3u/%3u%c", &busnum, &devnum, &tail) != 2)
        return -1;
    return busnum == BUS_NUMBER ? static_cast<int>(devnum) : -1;
}

bool attach_bus()
{
    if (!the_state.attach_tried) {
        the_state.attach_tried = true;
        const char *path = std::getenv("TARVEX_VPROBE_BUS");
        if (path == nullptr || bus_attach(the_state.bus, path) != 0)
            std::fprintf(stderr, "libtarvex-vprobe-fast: no probe bus at %s\n", path ? path : "(unset)");
    }
    return the_state.bus.hdr != nullptr;
}

bool slot_gone(const fast_fd *f)
{
    model_guard guard;
    const bus_slot &s = the_state.bus.hdr->slots[f->slot];
    return !s.plugged || s.plug_seq != f->plug_seq;
}

void set_ready(int fd, fast_fd *f)
{
    bool want = !f->done.empty();
    if (want == f->ready)
        return;
    uint64_t v = EVENTFD_FULL;
    ssize_t n = want ? read(fd, &v, sizeof v) : write(fd, &v, sizeof v);
    if (n != static_cast<ssize_t>(sizeof v))
        std::fprintf(stderr, "libtarvex-vprobe-fast: readiness update failed: %s\n", std::strerror(errno));
    f->ready = want;
}

void finish(fast_fd *f, usbdevfs_urb *u, int status, uint32_t actual)
{
    u->status = status;
    u->actual_length = static_cast<int>(actual);
    f->done.push_back(u);
}

// One bulk URB against the model: false while the device NAKs it.
bool try_bulk(fast_fd *f, usbdevfs_urb *u)
{
    probe_view v = bus_view(the_state.bus, f->slot);
    urb_result r = usb_bulk(v, u->endpoint, static_cast<uint8_t *>(u->buffer), static_cast<uint32_t>(u->buffer_length),
                            monotonic_us());
    if (r.kind == IO_PENDING)
        return false;
    finish(f, u, r.kind == IO_NODEV ? -ENODEV : r.status, r.actual);
    return true;
}

void pump(fast_fd *f)
{
    model_guard guard;
    usb_pump_pending(
        f->pending, [](const usbdevfs_urb *u) { return u->endpoint; }, [f](usbdevfs_urb *u) { return try_bulk(f, u); });
}

// The probe went away: what was in flight ends with -ESHUTDOWN.
void shut_down(fast_fd *f)
{
    while (!f->pending.empty()) {
        finish(f, f->pending.front(), -ESHUTDOWN, 0);
        f->pending.pop_front();
    }
    while (!f->held.empty()) {
        finish(f, f->held.front().urb, -ESHUTDOWN, 0);
        f->held.pop_front();
    }
}

// Whether an IN URB waits for data that only time brings (trace): the bus
// watcher then polls. A reply IN waiting behind a held command does not
// count: the latency timer pumps it when it releases the command.
bool wants_poll(const fast_fd *f)
{
    return !f->pending.empty() && f->held.empty();
}

// Runs the held commands of f whose time has come. Returns the due time of
// the next one, or 0. REQUIRES: state lock held.
uint64_t release_due(int fd, fast_fd *f)
{
    if (slot_gone(f)) {
        shut_down(f);
        set_ready(fd, f);
        return 0;
    }
    uint64_t next = usb_release_due(f->held, monotonic_us(), [f](usbdevfs_urb *u) {
        model_guard guard;
        try_bulk(f, u);
    });
    pump(f);
    set_ready(fd, f);
    if (wants_poll(f))
        bus_notify(the_state.bus); // trace IN again with nothing held before it
    return next;
}

// The latency timer: sleeps on timer_wake until the earliest due time of any
// descriptor, so a held command costs no CPU while it waits and holds no lock
// that other probes' traffic needs.
void *release_held(void *)
{
    state_guard guard;
    for (;;) {
        uint64_t next = 0;
        for (size_t fd = 0; fd < the_state.fd_end; fd++) {
            fast_fd *f = the_state.fds[fd].load(std::memory_order_relaxed);
            uint64_t due = f != nullptr && !f->held.empty() ? release_due(static_cast<int>(fd), f) : 0;
            if (due != 0 && (next == 0 || due < next))
                next = due;
        }
        if (next == 0) {
            pthread_cond_wait(&the_state.timer_wake, &the_state.lock);
        } else {
            timespec at = monotonic_timespec(next);
            pthread_cond_timedwait(&the_state.timer_wake, &the_state.lock, &at);
        }
    }
    return nullptr;
}

// REQUIRES: state lock held. Returns 0 or an errno.
int start_timer()
{
    if (the_state.timer_started)
        return 0;
    pthread_condattr_t a;
    pthread_condattr_init(&a);
    pthread_condattr_setclock(&a, CLOCK_MONOTONIC);
    pthread_cond_init(&the_state.timer_wake, &a);
    pthread_condattr_destroy(&a);
    pthread_t t;
    int err = pthread_create(&t, nullptr, release_held, nullptr);
    if (err != 0) {
        pthread_cond_destroy(&the_state.timer_wake);
        return err;
    }
    pthread_detach(t);
    the_state.timer_started = true;
    return 0;
}

// Holds a command OUT URB for the probe's latency. Returns 0 or an errno.
int hold(fast_fd *f, usbdevfs_urb *u)
{
    int err = start_timer();
    if (err != 0)
        return err;
    f->held.push_back({monotonic_us() + f->latency_us, u});
    if (f->held.size() == 1)
        pthread_cond_signal(&the_state.timer_wake); // a new earliest due time
    return 0;
}

int submit_control(fast_fd *f, usbdevfs_urb *u)
{
    if (u->buffer == nullptr || u->buffer_length < 8)
        return EINVAL;
    auto *setup = static_cast<uint8_t *>(u->buffer);
    model_guard guard;
    probe_view v = bus_view(the_state.bus, f->slot);
    int r = usb_control(v, setup, setup + 8, static_cast<uint32_t>(u->buffer_length - 8));
    finish(f, u, r < 0 ? r : 0, r < 0 ? 0 : static_cast<uint32_t>(r));
    return 0;
}

int submit_bulk(fast_fd *f, usbdevfs_urb *u)
{
    {
        model_guard guard;
        probe_view v = bus_view(the_state.bus, f->slot);
        int err = usb_bulk_submit_check(v, u->endpoint);
        if (err != 0)
            return err;
        if (u->endpoint & 0x80)
            f->pending.push_back(u);
        else if (f->latency_us == 0)
            try_bulk(f, u); // the command endpoint never NAKs
        else if ((err = hold(f, u)) != 0)
            return err;
    }
    pump(f);
    if (wants_poll(f))
        bus_notify(the_state.bus); // the watcher polls for trace data
    return 0;
}

int submit(fast_fd *f, usbdevfs_urb *u)
{
    if (u->type == USBDEVFS_URB_TYPE_CONTROL)
        return submit_control(f, u);
    if (u->type == USBDEVFS_URB_TYPE_BULK)
        return submit_bulk(f, u);
    return EINVAL;
}

int reap(fast_fd *f, void **out)
{
    if (slot_gone(f))
        shut_down(f);
    else
        pump(f);
    if (f->done.empty())
        return slot_gone(f) ? ENODEV : EAGAIN;
    *out = f->done.front();
    f->done.pop_front();
    return 0;
}

int discard(fast_fd *f, usbdevfs_urb *u)
{
    if (usb_take_held(f->held, [u](const usbdevfs_urb *h) { return h == u; }) != nullptr) {
        finish(f, u, -ECONNRESET, 0); // never reached the probe
        return 0;
    }
    for (auto it = f->pending.begin(); it != f->pending.end(); ++it) {
        if (*it == u) {
            f->pending.erase(it);
            finish(f, u, -ECONNRESET, 0);
            model_guard guard;
            probe_view v = bus_view(the_state.bus, f->slot);
            usb_bulk_cancelled(v, u->endpoint);
            return 0;
        }
    }
    return EINVAL;
}

int set_configuration(fast_fd *f, int value)
{
    uint8_t setup[8] = {0x00, 9, static_cast<uint8_t>(value < 0 ? 0 : value), 0, 0, 0, 0, 0};
    uint8_t none[1];
    model_guard guard;
    probe_view v = bus_view(the_state.bus, f->slot);
    return usb_control(v, setup, none, 0) < 0 ? EINVAL : 0;
}

int endpoint_request(fast_fd *f, unsigned value)
{
    model_guard guard;
    usb_endpoints e = endpoints_of(the_state.bus.hdr->slots[f->slot].rec.cfg);
    return value == e.reply_in || value == e.cmd_out || value == e.trace_in ? 0 : ENOENT;
}

// The result of one usbfs ioctl: >= 0, or -errno.
int device_ioctl(fast_fd *f, unsigned long req, void *arg)
{
    if (req == USBDEVFS_REAPURB || req == USBDEVFS_REAPURBNDELAY) {
        int err = reap(f, static_cast<void **>(arg));
        return err ? -err : 0;
    }
    if (slot_gone(f))
        return -ENODEV;
    const bus_slot &s = the_state.bus.hdr->slots[f->slot];
    switch (req) {
    case USBDEVFS_SUBMITURB:
        return -submit(f, static_cast<usbdevfs_urb *>(arg));
    case USBDEVFS_DISCARDURB:
        return -discard(f, static_cast<usbdevfs_urb *>(arg));
    case USBDEVFS_GET_CAPABILITIES:
        *static_cast<uint32_t *>(arg) = USB_CAPABILITIES;
        return 0;
    case USBDEVFS_GET_SPEED:
        return usb_speed_code(endpoints_of(s.rec.cfg).speed_mbps);
    case USBDEVFS_CONNECTINFO:
        static_cast<usbdevfs_connectinfo *>(arg)->devnum = s.devnum;
        static_cast<usbdevfs_connectinfo *>(arg)->slow = 0;
        return 0;
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
        if (*static_cast<unsigned *>(arg) != 0)
            return req == USBDEVFS_CLAIMINTERFACE ? -ENOENT : -EINVAL;
        f->claimed = req == USBDEVFS_CLAIMINTERFACE;
        return 0;
    case USBDEVFS_SETCONFIGURATION:
        return -set_configuration(f, *static_cast<int *>(arg));
    case USBDEVFS_CLEAR_HALT:
        return -endpoint_request(f, *static_cast<unsigned *>(arg));
    default:
        return -ENOTTY;
    }
}

// Wakes libusb for URBs the launcher's side ended (unplug) and for trace
// data that arrives while an IN URB waits.
void *watch_bus(void *)
{
    uint32_t seen = 0;
    int wait_ms = IDLE_WAIT_MS;
    for (;;) {
        seen = bus_wait_event(the_state.bus, seen, wait_ms);
        state_guard guard;
        wait_ms = IDLE_WAIT_MS;
        for (size_t fd = 0; fd < the_state.fd_end; fd++) {
            fast_fd *f = the_state.fds[fd].load(std::memory_order_relaxed);
            if (f == nullptr)
                continue;
            if (slot_gone(f))
                shut_down(f);
            else
                pump(f);
            if (wants_poll(f))
                wait_ms = TRACE_POLL_MS;
            set_ready(static_cast<int>(fd), f);
        }
    }
    return nullptr;
}

void start_watcher()
{
    if (the_state.watcher_started)
        return;
    pthread_t t;
    if (pthread_create(&t, nullptr, watch_bus, nullptr) == 0) {
        pthread_detach(t);
        the_state.watcher_started = true;
    }
}

// A probe node descriptor for devnum, or -1 with errno set (ENOENT: no such
// probe plugged now).
int open_node(int devnum, int flags)
{
    state_guard guard;
    if (!attach_bus()) {
        errno = ENOENT;
        return -1;
    }
    int slot;
    uint32_t seq = 0, latency = 0;
    {
        model_guard model;
        slot = bus_find_devnum(the_state.bus, static_cast<uint32_t>(devnum));
        if (slot >= 0) {
            seq = the_state.bus.hdr->slots[slot].plug_seq;
            latency = the_state.bus.hdr->slots[slot].rec.cfg.latency_us;
        }
    }
    if (slot < 0) {
        errno = ENOENT;
        return -1;
    }
    int fd = eventfd(0, EFD_NONBLOCK | ((flags & O_CLOEXEC) ? EFD_CLOEXEC : 0));
    if (fd < 0)
        return -1;
    uint64_t full = EVENTFD_FULL;
    if (static_cast<size_t>(fd) >= MAX_FDS || write(fd, &full, sizeof full) != sizeof full) {
        real_close(fd);
        errno = EMFILE;
        return -1;
    }
    auto *f = new fast_fd{static_cast<uint32_t>(slot), seq, latency, false, false, {}, {}, {}};
    the_state.fds[static_cast<size_t>(fd)].store(f, std::memory_order_release);
    if (static_cast<size_t>(fd) >= the_state.fd_end)
        the_state.fd_end = static_cast<size_t>(fd) + 1;
    start_watcher();
    return fd;
}

template <typename F> int open_path(const char *path, int flags, mode_t mode, F next)
{
    int devnum = node_devnum(path);
    if (devnum < 0)
        return next(path, flags, mode);
    return open_node(devnum, flags);
}

mode_t mode_arg(int flags, va_list ap)
{
    return (flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

using open_fn = int (*)(const char *, int, ...);
using openat_fn = int (*)(int, const char *, int, ...);

int open_with(const char *name, const char *path, int flags, mode_t mode)
{
    auto next = next_symbol<open_fn>(name);
    return open_path(path, flags, mode, [next](const char *p, int fl, mode_t m) { return next(p, fl, m); });
}

int openat_with(const char *name, int dirfd, const char *path, int flags, mode_t mode)
{
    auto next = next_symbol<openat_fn>(name);
    return open_path(path, flags, mode,
                     [next, dirfd](const char *p, int fl, mode_t m) { return next(dirfd, p, fl, m); });
}

} // namespace

EXPORT int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return open_with("open", path, flags, mode);
}

EXPORT int open64(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return open_with("open64", path, flags, mode);
}

// libusb's usbfs open is fortified: it arrives here, not at open().
EXPORT int __open_2(const char *path, int flags)
{
    return open_with("__open_2", path, flags, 0);
}
EXPORT int __open64_2(const char *path, int flags)
{
    return open_with("__open64_2", path, flags, 0);
}

EXPORT int openat(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return openat_with("openat", dirfd, path, flags, mode);
}

EXPORT int openat64(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return openat_with("openat64", dirfd, path, flags, mode);
}

EXPORT int __openat_2(int dirfd, const char *path, int flags)
{
    return openat_with("__openat_2", dirfd, path, flags, 0);
}

EXPORT int __openat64_2(int dirfd, const char *path, int flags)
{
    return openat_with("__openat64_2", dirfd, path, flags, 0);
}

EXPORT int ioctl(int fd, unsigned long req, ...)
{
    va_list ap;
    va_start(ap, req);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (lookup(fd) == nullptr)
        return real_ioctl(fd, req, arg);
    state_guard guard;
    fast_fd *f = lookup(fd);
    if (f == nullptr) {
        errno = EBADF;
        return -1;
    }
    int r = device_ioctl(f, req, arg);
    set_ready(fd, f);
    if (r < 0) {
        errno = -r;
        return -1;
    }
    return r;
}

EXPORT int close(int fd)
{
    if (lookup(fd) != nullptr) {
        state_guard guard;
        fast_fd *f = lookup(fd);
        the_state.fds[static_cast<size_t>(fd)].store(nullptr, std::memory_order_release);
        delete f;
    }
    return real_close(fd);
}
