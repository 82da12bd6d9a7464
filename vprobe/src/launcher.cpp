// tarvex-vprobe: runs a command with virtual TARVEX probes on umockdev's
// simulated USB bus, and serves a control channel for tests.
//
//   tarvex-vprobe [--fast] [--probes N] [--serial TEXT]... [--probe KEY=VAL[,...]]...
//                 [--latency USEC] [--control PATH] -- COMMAND [ARGS...]
//
// The probes live in a bus file (probe_bus.h) in the testbed. Without --fast
// umockdev carries every usbfs ioctl of the command to this process; with
// --fast the command preloads libtarvex-vprobe-fast.so, which answers them in
// the command's own process from the same bus file.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <atomic>
#include <thread>
#include <vector>

#include "emulated_core.h"
#include "flash_regs.h"
#include "probe_model.h"
#include "target_flash.h"
#include "usb_device.h"

using namespace vprobe;

namespace
{

struct launcher {
    UMockdevTestbed *tb = nullptr;
    probe_bus bus{};
    std::string bus_path;
    bool fast = false;
    uint32_t default_latency_us = 0; // --latency: for probes without latency=
    std::mutex devices_lock;
    std::vector<usb_device *> devices;
    std::string control_path;
    std::atomic<pid_t> child{-1}; // read by the control thread and the signal handler
};

// Never destroyed: the control thread and the devices' timers may still run
// while main returns.
launcher &the_launcher = *new launcher;

// A default probe at position index: serial by position, launcher-wide latency.
probe_config default_probe(size_t index)
{
    probe_config cfg;
    config_defaults(cfg);
    snprintf(cfg.serial.data(), cfg.serial.size(), "7E575650000000000000%04X", static_cast<unsigned>(index + 1));
    cfg.latency_us = the_launcher.default_latency_us;
    return cfg;
}

bool parse_range(const std::string &text, uint32_t *base, uint32_t *size)
{
    size_t colon = text.find(':');
    if (colon == std::string::npos)
        return false;
    *base = static_cast<uint32_t>(strtoul(text.substr(0, colon).c_str(), nullptr, 0));
    *size = static_cast<uint32_t>(strtoul(text.substr(colon + 1).c_str(), nullptr, 0));
    return *size > 0 && *size <= (64u << 20);
}

bool apply_swo(probe_config &cfg, const std::string &val)
{
    cfg.swo_source = val == "itm" ? SWO_ITM : val == "counter" ? SWO_COUNTER : SWO_AUTO;
    return val == "itm" || val == "counter";
}

bool apply_core(probe_config &cfg, const std::string &val)
{
    int kind = core_kind_named(val.c_str());
    cfg.core = kind < 0 ? uint8_t{CORE_M4} : static_cast<uint8_t>(kind);
    return kind >= 0;
}

// Applies one KEY=VAL of a probe description; false for an unknown key.
bool apply_option(probe_config &cfg, const std::string &key, const std::string &val)
{
    unsigned long n = strtoul(val.c_str(), nullptr, 0);
    if (key == "serial")
        snprintf(cfg.serial.data(), cfg.serial.size(), "%s", val.c_str());
    else if (key == "form")
        cfg.form = val == "text" ? SERIAL_TEXT : val == "raw" ? SERIAL_RAW : SERIAL_HEX;
    else if (key == "gen")
        config_set_generation(cfg, static_cast<uint8_t>(n));
    else if (key == "jtag")
        cfg.jtag_version = static_cast<uint8_t>(n);
    else if (key == "trace")
        cfg.trace_capable = n != 0;
    else if (key == "vref")
        cfg.vref = static_cast<uint32_t>(n);
    else if (key == "vtarget")
        cfg.vtarget = static_cast<uint32_t>(n);
    else if (key == "idcode")
        cfg.idcode = static_cast<uint32_t>(n);
    else if (key == "absent")
        cfg.absent = n != 0;
    else if (key == "latency")
        cfg.latency_us = static_cast<uint32_t>(n);
    else if (key == "ram")
        return parse_range(val, &cfg.ram_base, &cfg.ram_size);
    else if (key == "flash")
        return parse_range(val, &cfg.flash_base, &cfg.flash_size);
    else if (key == "firmware")
        return snprintf(cfg.firmware.data(), cfg.firmware.size(), "%s", val.c_str()) < int(cfg.firmware.size());
    else if (key == "swo")
        return apply_swo(cfg, val);
    else if (key == "core")
        return apply_core(cfg, val);
    else
        return false;
    return true;
}

bool parse_probe(const std::string &description, probe_config &cfg)
{
    std::stringstream ss(description);
    std::string item;
    while (std::getline(ss, item, ',')) {
        size_t eq = item.find('=');
        if (eq == std::string::npos || !apply_option(cfg, item.substr(0, eq), item.substr(eq + 1))) {
            fprintf(stderr, "tarvex-vprobe: bad probe option '%s'\n", item.c_str());
            return false;
        }
    }
    return true;
}

usb_device *device_at(size_t index)
{
    std::lock_guard<std::mutex> guard(the_launcher.devices_lock);
    return index < the_launcher.devices.size() ? the_launcher.devices[index] : nullptr;
}

bool read_image(const char *path, std::vector<uint8_t> *image)
{
    FILE *f = fopen(path, "rb");
    if (f == nullptr)
        return false;
    uint8_t buf[65536];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;)
        image->insert(image->end(), buf, buf + n);
    fclose(f);
    return true;
}

// Loads an image file into probe index. Returns 0 or -1.
int load_image(uint32_t index, const char *path)
{
    std::vector<uint8_t> image;
    if (!read_image(path, &image))
        return -1;
    bus_lock(the_launcher.bus);
    probe_view v = bus_view(the_launcher.bus, index);
    int rc = probe_load_image(v, image.data(), image.size());
    bus_unlock(the_launcher.bus);
    return rc;
}

// The probe's core runs on a thread of its own for the launcher's life.
void start_core(uint32_t index)
{
    emu_core *core = emu_core_open(the_launcher.bus, index);
    if (core == nullptr) {
        fprintf(stderr, "tarvex-vprobe: probe %u: the emulator does not start; its core stays still\n", index);
        return;
    }
    std::thread(emu_core_serve, core).detach();
}

// Returns the new probe's index, or -1 when the bus is full or its firmware
// cannot be read.
int add_device(const probe_config &cfg)
{
    std::vector<uint8_t> image;
    if (cfg.firmware[0] != '\0' && !read_image(cfg.firmware.data(), &image)) {
        fprintf(stderr, "tarvex-vprobe: cannot read %s\n", cfg.firmware.data());
        return -1;
    }
    std::lock_guard<std::mutex> guard(the_launcher.devices_lock);
    bus_lock(the_launcher.bus);
    int index = bus_add_probe(the_launcher.bus, cfg);
    if (index >= 0 && !image.empty()) {
        probe_view v = bus_view(the_launcher.bus, static_cast<uint32_t>(index));
        if (probe_load_image(v, image.data(), image.size()) != 0)
            fprintf(stderr, "tarvex-vprobe: %s does not fit probe %d's memory map\n", cfg.firmware.data(), index);
    }
    bus_unlock(the_launcher.bus);
    if (index < 0)
        return -1;
    start_core(static_cast<uint32_t>(index));
    the_launcher.devices.push_back(
        usb_device_new(the_launcher.tb, &the_launcher.bus, static_cast<uint32_t>(index), the_launcher.fast));
    return index;
}

std::string hex_of(const uint8_t *bytes, size_t n)
{
    std::string out;
    char b[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof(b), "%02x", bytes[i]);
        out += b;
    }
    return out;
}

std::vector<uint8_t> bytes_of(const std::string &hex)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    return out;
}

int fault_kind_of(const std::string &name)
{
    static const struct {
        const char *name;
        int kind;
    } kinds[] = {{"wait", FAULT_WAIT},
                 {"fault", FAULT_FAIL},
                 {"timeout", FAULT_TIMEOUT},
                 {"short", FAULT_SHORT},
                 {"gone", FAULT_GONE}};
    for (const auto &k : kinds)
        if (name == k.name)
            return k.kind;
    return -1;
}

// "core I": run state, PC, fault and debug status and instructions retired.
std::string core_report(const probe_state &st)
{
    static const char *const runs[] = {"running", "halted", "stepping", "lockup", "sleeping"};
    const core_debug &c = st.core;
    char text[256];
    snprintf(text, sizeof(text), "ok run=%s pc=%08x dfsr=%08x cfsr=%08x hfsr=%08x instructions=%llu swo=%s",
             c.run < 5 ? runs[c.run] : "unknown", st.core_regs[15], c.dfsr, c.cfsr, c.hfsr,
             static_cast<unsigned long long>(c.instructions), c.swo_itm ? "itm" : "counter");
    return text;
}

// "flash I": the flash controller's state and its counts since power-up,
// erases per sector in sector order.
std::string flash_report(size_t index)
{
    bus_lock(the_launcher.bus);
    probe_view v = bus_view(the_launcher.bus, static_cast<uint32_t>(index));
    const flash_ctl &f = v.rec->st.flash;
    char text[160];
    snprintf(text, sizeof(text),
             "ok stat=%08x addr=%08x words=%llu erase_alls=%u erases=", flash_ctl_read(v, FLC_BASE + FLC_STAT), f.addr,
             static_cast<unsigned long long>(f.words_programmed), f.erase_alls);
    std::string reply = text;
    uint32_t sectors = flash_sector_count(v.rec->cfg.flash_size);
    for (uint32_t i = 0; i < sectors && i < FLASH_SECTOR_SLOTS; i++)
        reply += (i ? "," : "") + std::to_string(f.sector_erases[i]);
    bus_unlock(the_launcher.bus);
    return reply;
}

// "gate I hold|open" arms or opens the reply gate; "gate I" says where it is.
std::string gate_request(probe_state &st, std::istringstream &args)
{
    static const char *const states[] = {"open", "armed", "holding"};
    std::string what;
    args >> what;
    if (what == "hold")
        st.gate = GATE_ARMED;
    else if (what == "open")
        st.gate = GATE_OPEN;
    else if (!what.empty())
        return "err gate hold|open";
    return std::string("ok ") + states[st.gate];
}

std::string model_request(size_t index, const std::string &verb, std::istringstream &args)
{
    std::string reply = "err unknown request";
    bus_lock(the_launcher.bus);
    probe_view v = bus_view(the_launcher.bus, static_cast<uint32_t>(index));
    {
        probe_state &st = v.rec->st;
        if (verb == "count") {
            reply = "ok " + std::to_string(st.counters.blocks);
        } else if (verb == "last" || verb == "history") {
            unsigned k = 1;
            if (verb == "history")
                args >> k;
            reply = "ok";
            uint8_t block[CMD_SIZE];
            for (unsigned i = 0; i < k && probe_history(v, i, block) == 0; i++)
                reply += " " + hex_of(block, CMD_SIZE);
        } else if (verb == "mem") {
            std::string addr, len;
            args >> addr >> len;
            std::vector<uint8_t> out(strtoul(len.c_str(), nullptr, 0) & 0xFFFFF);
            if (target_peek(v, static_cast<uint32_t>(strtoul(addr.c_str(), nullptr, 16)), out.data(),
                            static_cast<uint32_t>(out.size())) == 0)
                reply = "ok " + hex_of(out.data(), out.size());
            else
                reply = "err unmapped";
        } else if (verb == "poke") {
            std::string addr, hex;
            args >> addr >> hex;
            std::vector<uint8_t> in = bytes_of(hex);
            reply = target_poke(v, static_cast<uint32_t>(strtoul(addr.c_str(), nullptr, 16)), in.data(),
                                static_cast<uint32_t>(in.size())) == 0
                        ? "ok"
                        : "err unmapped";
        } else if (verb == "fault") {
            std::string kind, status = "0";
            unsigned n = 0;
            args >> kind >> n >> status;
            uint8_t byte = static_cast<uint8_t>(strtoul(status.c_str(), nullptr, 16));
            reply = probe_set_fault(v, fault_kind_of(kind), n, byte) == 0 ? "ok" : "err unknown fault";
        } else if (verb == "reply") {
            std::string hex;
            args >> hex;
            std::vector<uint8_t> bytes = bytes_of(hex);
            reply = probe_set_script(v, bytes.data(), static_cast<uint32_t>(bytes.size())) == 0 ? "ok" : "err too long";
        } else if (verb == "clear") {
            probe_clear(v);
            reply = "ok";
        } else if (verb == "state") {
            char text[256];
            snprintf(text, sizeof(text), "ok mode=%u halted=%u dhcsr=%08x swd_divisor=%u trace=%u trace_hz=%u", st.mode,
                     st.core.run == CORE_HALTED, probe_dhcsr_value(v), st.swd_divisor, st.trace.running, st.trace.hz);
            reply = text;
        } else if (verb == "core") {
            reply = core_report(st);
        } else if (verb == "gate") {
            reply = gate_request(st, args);
        }
    }
    bus_unlock(the_launcher.bus);
    return reply;
}

std::string handle_request(const std::string &line)
{
    std::istringstream args(line);
    std::string verb;
    args >> verb;
    if (verb == "pid")
        return "ok " + std::to_string(the_launcher.child.load());
    if (verb == "add") {
        std::string description;
        args >> description;
        probe_config cfg = default_probe(the_launcher.devices.size());
        if (!parse_probe(description, cfg))
            return "err bad probe options";
        int index = add_device(cfg);
        return index < 0 ? "err bus full" : "ok " + std::to_string(index);
    }
    size_t index = 0;
    if (!(args >> index))
        return "err missing probe index";
    usb_device *d = device_at(index);
    if (d == nullptr)
        return "err no such probe";
    if (verb == "plug") {
        usb_device_plug(d);
        return "ok";
    }
    if (verb == "load") {
        std::string path;
        args >> path;
        return load_image(static_cast<uint32_t>(index), path.c_str()) == 0 ? "ok" : "err cannot load " + path;
    }
    if (verb == "unplug") {
        usb_device_unplug(d);
        return "ok";
    }
    if (verb == "flash")
        return flash_report(index);
    return model_request(index, verb, args);
}

void serve_client(int fd)
{
    std::string line;
    char c;
    while (recv(fd, &c, 1, 0) == 1) {
        if (c != '\n') {
            line.push_back(c);
            continue;
        }
        std::string reply = handle_request(line) + "\n";
        if (send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) < 0)
            break;
        line.clear();
    }
    close(fd);
}

int open_control_socket(const std::string &path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) != 0 || listen(fd, 16) != 0) {
        fprintf(stderr, "tarvex-vprobe: cannot listen on %s: %s\n", path.c_str(), strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

void control_loop(int listen_fd)
{
    for (;;) {
        int fd = accept(listen_fd, nullptr, nullptr);
        if (fd < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        serve_client(fd);
    }
}

void forward_signal(int sig)
{
    if (the_launcher.child > 0)
        kill(the_launcher.child, sig);
}

constexpr const char UMOCKDEV_PRELOAD[] = "libumockdev-preload.so.0";

// The launcher itself must run under umockdev's preload: the udev events that
// tell libusb about plugged and unplugged probes are sent through the
// simulated sysfs. The command inherits the preload.
void ensure_preloaded(char **argv)
{
    const char *old = getenv("LD_PRELOAD");
    if (old != nullptr && strstr(old, UMOCKDEV_PRELOAD) != nullptr)
        return;
    std::string preload = UMOCKDEV_PRELOAD;
    if (old != nullptr && *old != '\0')
        preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    // A sanitizer build must accept umockdev's preload ahead of its runtime.
    const char *asan = getenv("ASAN_OPTIONS");
    std::string asan_options = asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : "";
    setenv("ASAN_OPTIONS", (asan_options + "verify_asan_link_order=0").c_str(), 1);
    execv("/proc/self/exe", argv);
    fprintf(stderr, "tarvex-vprobe: cannot restart under %s: %s\n", UMOCKDEV_PRELOAD, strerror(errno));
}

constexpr const char FAST_PRELOAD[] = "libtarvex-vprobe-fast.so";

// Where an installed launcher keeps the fast preload, relative to its own
// directory, so that a tree installed under DESTDIR or moved finds it too.
#ifndef TARVEX_VPROBE_INSTALLED_PRELOAD_DIR
#define TARVEX_VPROBE_INSTALLED_PRELOAD_DIR "."
#endif

// Beside the launcher in the build tree, else where the install put it.
std::string fast_library_path()
{
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    self[n > 0 ? n : 0] = '\0';
    std::string dir = self;
    dir = dir.substr(0, dir.rfind('/') + 1);
    std::string beside = dir + FAST_PRELOAD;
    if (access(beside.c_str(), R_OK) == 0)
        return beside;
    return dir + TARVEX_VPROBE_INSTALLED_PRELOAD_DIR + "/" + FAST_PRELOAD;
}

// The fast preload goes first, so that its open() sees the probe nodes
// before umockdev's does.
void preload_fast_library()
{
    const char *old = getenv("LD_PRELOAD");
    setenv("LD_PRELOAD", (fast_library_path() + ":" + (old != nullptr ? old : "")).c_str(), 1);
}

pid_t start_child(char **argv)
{
    pid_t launcher = getpid();
    pid_t child = fork();
    if (child != 0)
        return child;
    // The served command must not outlive the launcher that holds its
    // simulated devices (a test that kills the launcher would otherwise
    // leave the server running).
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != launcher)
        _exit(127);
    setenv("TARVEX_VPROBE_CONTROL", the_launcher.control_path.c_str(), 1);
    setenv("TARVEX_VPROBE_BUS", the_launcher.bus_path.c_str(), 1);
    if (the_launcher.fast)
        preload_fast_library();
    execvp(argv[0], argv);
    fprintf(stderr, "tarvex-vprobe: cannot run %s: %s\n", argv[0], strerror(errno));
    _exit(127);
}

int wait_child(pid_t child)
{
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR)
            return 1;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

int open_bus()
{
    gchar *root = umockdev_testbed_get_root_dir(the_launcher.tb);
    the_launcher.bus_path = std::string(root) + "/tarvex-vprobe.bus";
    g_free(root);
    int rc = bus_create(the_launcher.bus, the_launcher.bus_path.c_str(), BUS_DEFAULT_SIZE);
    if (rc != 0)
        fprintf(stderr, "tarvex-vprobe: cannot create %s: %s\n", the_launcher.bus_path.c_str(), strerror(-rc));
    return rc;
}

void usage()
{
    fprintf(stderr, "usage: tarvex-vprobe [--fast] [--probes N] [--serial TEXT]... [--probe KEY=VAL[,KEY=VAL...]]...\n"
                    "                     [--latency USEC] [--control PATH] -- COMMAND [ARGS...]\n");
}

// Reads the options; returns the index of COMMAND in argv, or -1. Probe
// descriptions are read last, so that --latency applies wherever it stands.
int parse_args(int argc, char **argv, std::vector<probe_config> *probes)
{
    std::vector<std::string> serials, descriptions;
    int count = 0;
    int i = 1;
    for (; i < argc && strcmp(argv[i], "--") != 0; i++) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        if (arg == "--fast") {
            the_launcher.fast = true;
        } else if (arg == "--probes" && has_value) {
            count = atoi(argv[++i]);
        } else if (arg == "--serial" && has_value) {
            serials.push_back(argv[++i]);
        } else if (arg == "--control" && has_value) {
            the_launcher.control_path = argv[++i];
        } else if (arg == "--latency" && has_value) {
            the_launcher.default_latency_us = static_cast<uint32_t>(strtoul(argv[++i], nullptr, 0));
        } else if (arg == "--probe" && has_value) {
            descriptions.push_back(argv[++i]);
        } else {
            return -1;
        }
    }
    for (const std::string &description : descriptions) {
        probe_config cfg = default_probe(probes->size());
        if (!parse_probe(description, cfg))
            return -1;
        probes->push_back(cfg);
    }
    for (int k = 0; k < count; k++) {
        probe_config cfg = default_probe(probes->size());
        if (static_cast<size_t>(k) < serials.size())
            snprintf(cfg.serial.data(), cfg.serial.size(), "%s", serials[static_cast<size_t>(k)].c_str());
        probes->push_back(cfg);
    }
    return i + 1 < argc ? i + 1 : -1;
}

} // namespace

// GLib and umockdev keep caches for the life of the process; leak reports
// belong to the command the launcher runs, not to the launcher.
extern "C" const char *__asan_default_options()
{
    return "detect_leaks=0";
}

int main(int argc, char **argv)
{
    ensure_preloaded(argv);
    std::vector<probe_config> probes;
    int command = parse_args(argc, argv, &probes);
    if (command < 0) {
        usage();
        return 2;
    }
    the_launcher.tb = umockdev_testbed_new();
    if (the_launcher.control_path.empty())
        the_launcher.control_path = "/tmp/tarvex-vprobe-" + std::to_string(getpid()) + ".sock";
    if (open_bus() != 0)
        return 2;
    for (const probe_config &cfg : probes)
        if (add_device(cfg) < 0) {
            fprintf(stderr, "tarvex-vprobe: more probes than the bus holds (%u)\n", BUS_MAX_PROBES);
            return 2;
        }
    int control_fd = open_control_socket(the_launcher.control_path);
    if (control_fd < 0)
        return 2;
    std::thread(control_loop, control_fd).detach();
    signal(SIGINT, forward_signal);
    signal(SIGTERM, forward_signal);
    the_launcher.child = start_child(argv + command);
    int status = wait_child(the_launcher.child);
    unlink(the_launcher.control_path.c_str());
    return status;
}
