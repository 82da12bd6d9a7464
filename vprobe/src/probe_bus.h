// The set of virtual probes on the simulated USB bus, kept in one memory
// mapped file so that the launcher and every preloaded process that talks to
// the probes see the same probe state (fast mode), with one process-shared
// lock around it. In umockdev mode only the launcher maps it.
//
// Layout: bus_header (slots with the probe records), then target memories
// allocated one after another. The file is sparse: untouched pages cost nothing.
#pragma once

#include "probe_model.h"

#include <cstddef>
#include <cstdint>
#include <pthread.h>

namespace vprobe
{

constexpr uint32_t BUS_MAX_PROBES = 32;
constexpr uint32_t BUS_NUMBER = 1;
constexpr uint32_t BUS_MAGIC = 0x54565842; // "TVXB"
constexpr uint32_t BUS_LAYOUT = 6;
constexpr size_t BUS_DEFAULT_SIZE = size_t{1} << 30;

struct bus_slot {
    vprobe_record rec;
    uint64_t ram_off; // offsets from the start of the mapping
    uint64_t flash_off;
    uint32_t devnum;   // USB address while plugged
    uint32_t plug_seq; // changes on every plug and unplug
    uint8_t plugged;
    uint8_t used;
};

struct bus_header {
    uint32_t magic;
    uint32_t layout;
    pthread_mutex_t lock;
    uint32_t event_seq; // futex word: bumped by bus_notify
    uint32_t probe_count;
    uint32_t next_devnum;
    int32_t child_pid;
    uint64_t size;
    uint64_t mem_used;
    bus_slot slots[BUS_MAX_PROBES];
};

struct probe_bus {
    bus_header *hdr;
    size_t size;
};

// Creates (truncates) the bus file at path and maps it. Returns 0 or -errno.
int bus_create(probe_bus &bus, const char *path, size_t size);
// Maps an existing bus file. Returns 0 or -errno.
int bus_attach(probe_bus &bus, const char *path);
// A bus in private anonymous memory (unit tests). Returns 0 or -errno.
int bus_create_private(probe_bus &bus, size_t size);
void bus_close(probe_bus &bus);

// Takes the lock; recovers it when its last holder died with it.
void bus_lock(probe_bus &bus);
// Releases the lock. A step asked of a core whose executor runs elsewhere
// is finished before this returns (as a real core finishes it before the
// debugger's next access), unless the caller is an executor itself.
void bus_unlock(probe_bus &bus);
// Marks the calling thread as a core executor (see bus_unlock).
void bus_set_executor_thread();

// Futex on a word inside the bus mapping, across processes.
void bus_futex_wake(uint32_t *word);
void bus_futex_wait(uint32_t *word, uint32_t seen, int timeout_ms);

// Adds a probe (powered up, not plugged). REQUIRES: lock held.
// Returns its index, or -1 when slots or memory run out.
int bus_add_probe(probe_bus &bus, const probe_config &cfg);
// View of probe `index`. REQUIRES: index < probe_count.
probe_view bus_view(probe_bus &bus, uint32_t index);
// Marks probe plugged with a fresh USB address, or unplugged. REQUIRES: lock held.
void bus_set_plugged(probe_bus &bus, uint32_t index, bool plugged);
// Index of the plugged probe at devnum, or -1. REQUIRES: lock held.
int bus_find_devnum(probe_bus &bus, uint32_t devnum);

// Wakes every process waiting in bus_wait_event.
void bus_notify(probe_bus &bus);
// Waits until event_seq differs from seen or timeout_ms passes. Returns event_seq.
uint32_t bus_wait_event(probe_bus &bus, uint32_t seen, int timeout_ms);

// sysfs path (below /sys) of probe `index`: one port of the root hub per probe.
void bus_syspath(uint32_t index, char *out, size_t cap);

} // namespace vprobe
