// Shared probe bus: mapping, lock, slots and change notification.
#include "probe_bus.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vprobe
{

namespace
{

constexpr uint64_t MEM_ALIGN = 4096;
// Hang guard only: an executor finishes a step in microseconds once it runs,
// but a loaded machine may keep it from running for a while.
constexpr int STEP_SETTLE_MS = 5000;

thread_local bool executor_thread = false;

uint64_t align_up(uint64_t v)
{
    return (v + MEM_ALIGN - 1) & ~(MEM_ALIGN - 1);
}

int init_lock(pthread_mutex_t *m)
{
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_setpshared(&a, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&a, PTHREAD_MUTEX_ROBUST);
    int rc = pthread_mutex_init(m, &a);
    pthread_mutexattr_destroy(&a);
    return -rc;
}

int init_header(probe_bus &bus, void *mem, size_t size)
{
    bus.hdr = static_cast<bus_header *>(mem);
    bus.size = size;
    std::memset(bus.hdr, 0, sizeof(bus_header));
    bus.hdr->magic = BUS_MAGIC;
    bus.hdr->layout = BUS_LAYOUT;
    bus.hdr->size = size;
    bus.hdr->next_devnum = 2; // address 1 is the root hub's
    bus.hdr->mem_used = align_up(sizeof(bus_header));
    return init_lock(&bus.hdr->lock);
}

void *map_fd(int fd, size_t size)
{
    void *mem = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return mem == MAP_FAILED ? nullptr : mem;
}

long futex(uint32_t *word, int op, uint32_t val, const timespec *ts)
{
    return syscall(SYS_futex, word, op, val, ts, nullptr, 0);
}

} // namespace

int bus_create(probe_bus &bus, const char *path, size_t size)
{
    if (size < align_up(sizeof(bus_header)))
        return -EINVAL;
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return -errno;
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
        int err = errno;
        close(fd);
        return -err;
    }
    void *mem = map_fd(fd, size);
    int err = errno;
    close(fd);
    if (!mem)
        return -err;
    return init_header(bus, mem, size);
}

int bus_attach(probe_bus &bus, const char *path)
{
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    off_t size = lseek(fd, 0, SEEK_END);
    bool fits = size >= static_cast<off_t>(sizeof(bus_header));
    void *mem = fits ? map_fd(fd, static_cast<size_t>(size)) : nullptr;
    close(fd);
    if (!mem)
        return -EINVAL;
    bus.hdr = static_cast<bus_header *>(mem);
    bus.size = static_cast<size_t>(size);
    if (bus.hdr->magic != BUS_MAGIC || bus.hdr->layout != BUS_LAYOUT) {
        bus_close(bus);
        return -EPROTO;
    }
    return 0;
}

int bus_create_private(probe_bus &bus, size_t size)
{
    if (size < align_up(sizeof(bus_header)))
        return -EINVAL;
    void *mem = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mem == MAP_FAILED)
        return -errno;
    return init_header(bus, mem, size);
}

void bus_close(probe_bus &bus)
{
    if (bus.hdr)
        munmap(bus.hdr, bus.size);
    bus.hdr = nullptr;
    bus.size = 0;
}

void bus_lock(probe_bus &bus)
{
    if (pthread_mutex_lock(&bus.hdr->lock) == EOWNERDEAD)
        pthread_mutex_consistent(&bus.hdr->lock); // a served process died mid-call
}

namespace
{

template <typename T> T load(const T &field)
{
    return __atomic_load_n(&field, __ATOMIC_SEQ_CST);
}

// A core whose step was asked from this side: its executor serves it in
// the launcher. REQUIRES: the lock.
bool stepping_elsewhere(const core_debug &c)
{
    return c.executor != 0 && c.run == CORE_STEPPING;
}

// Waits until no served core is in the middle of a step. The core's fields
// are read under the lock, the wait on done_seq is made without it.
void settle_steps(probe_bus &bus)
{
    bus_lock(bus);
    uint32_t n = bus.hdr->probe_count;
    for (uint32_t i = 0; i < n && i < BUS_MAX_PROBES; i++) {
        core_debug &c = bus.hdr->slots[i].rec.st.core;
        for (int waited = 0; stepping_elsewhere(c) && waited < STEP_SETTLE_MS; waited++) {
            uint32_t seen = c.done_seq;
            pthread_mutex_unlock(&bus.hdr->lock);
            bus_futex_wait(&c.done_seq, seen, 1);
            bus_lock(bus);
        }
    }
    pthread_mutex_unlock(&bus.hdr->lock);
}

} // namespace

void bus_unlock(probe_bus &bus)
{
    pthread_mutex_unlock(&bus.hdr->lock);
    if (!executor_thread)
        settle_steps(bus);
}

void bus_set_executor_thread()
{
    executor_thread = true;
}

void bus_futex_wake(uint32_t *word)
{
    futex(word, FUTEX_WAKE, INT_MAX, nullptr);
}

void bus_futex_wait(uint32_t *word, uint32_t seen, int timeout_ms)
{
    timespec ts{timeout_ms / 1000, static_cast<long>(timeout_ms % 1000) * 1000000L};
    futex(word, FUTEX_WAIT, seen, &ts);
}

int bus_add_probe(probe_bus &bus, const probe_config &cfg)
{
    bus_header *h = bus.hdr;
    if (h->probe_count >= BUS_MAX_PROBES)
        return -1;
    uint64_t ram = h->mem_used, flash = align_up(ram + cfg.ram_size);
    uint64_t end = align_up(flash + cfg.flash_size);
    if (end > bus.size)
        return -1;
    uint32_t index = h->probe_count;
    bus_slot &s = h->slots[index];
    std::memset(&s, 0, sizeof s);
    s.rec.cfg = cfg;
    s.ram_off = ram;
    s.flash_off = flash;
    s.used = 1;
    h->mem_used = end;
    h->probe_count++;
    probe_view v = bus_view(bus, index);
    probe_power_up(v);
    return static_cast<int>(index);
}

probe_view bus_view(probe_bus &bus, uint32_t index)
{
    bus_slot &s = bus.hdr->slots[index];
    uint8_t *base = reinterpret_cast<uint8_t *>(bus.hdr);
    return probe_view{&s.rec, base + s.ram_off, base + s.flash_off};
}

void bus_set_plugged(probe_bus &bus, uint32_t index, bool plugged)
{
    bus_header *h = bus.hdr;
    bus_slot &s = h->slots[index];
    if (plugged && !s.plugged) {
        s.devnum = h->next_devnum;
        h->next_devnum = h->next_devnum >= 127 ? 2 : h->next_devnum + 1;
    }
    s.plugged = plugged ? 1 : 0;
    s.plug_seq++;
}

int bus_find_devnum(probe_bus &bus, uint32_t devnum)
{
    for (uint32_t i = 0; i < bus.hdr->probe_count; i++) {
        const bus_slot &s = bus.hdr->slots[i];
        if (s.plugged && s.devnum == devnum)
            return static_cast<int>(i);
    }
    return -1;
}

void bus_notify(probe_bus &bus)
{
    __atomic_add_fetch(&bus.hdr->event_seq, 1, __ATOMIC_SEQ_CST);
    bus_futex_wake(&bus.hdr->event_seq);
}

uint32_t bus_wait_event(probe_bus &bus, uint32_t seen, int timeout_ms)
{
    uint32_t now = load(bus.hdr->event_seq);
    if (now != seen)
        return now;
    bus_futex_wait(&bus.hdr->event_seq, seen, timeout_ms);
    return load(bus.hdr->event_seq);
}

void bus_syspath(uint32_t index, char *out, size_t cap)
{
    std::snprintf(out, cap, "/sys/devices/pci0000:00/0000:00:14.0/usb%u/%u-%u", BUS_NUMBER, BUS_NUMBER, index + 1);
}

} // namespace vprobe
