// umockdev transport of a virtual probe: the sysfs entry, the device node and
// an ioctl handler on umockdev's worker thread that answers libusb's usbfs
// calls with the shared probe model.
//
// Threads: umockdev's worker (one for every probe's ioctls), the control
// channel (plug, unplug) and each probe's timer share a device's queues
// under the bus lock. The worker must never wait: a command held by the
// latency, or an IN URB the device NAKs, is completed later by the timer,
// which sleeps on its own condition, outside the bus lock.
#include "usb_device.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "probe_usb.h"

namespace vprobe
{

namespace
{

// How often IN URBs that wait are retried: the device has nobody to tell it
// that trace data came, as a real probe's endpoint would.
constexpr uint64_t PENDING_POLL_US = 2000;

// A URB submitted by the client process, completed at reap time.
struct urb {
    UMockdevIoctlClient *owner;
    UMockdevIoctlData *data; // the client's struct usbdevfs_urb
    UMockdevIoctlData *buf;  // its buffer (null when empty)
    unsigned long client_addr;
    uint8_t ep;
    uint8_t type;
    int status;
    int actual;
    std::vector<uint8_t> in; // bytes copied into the client buffer at reap
};

void urb_free(urb *u)
{
    if (u->data != nullptr)
        g_object_unref(u->data);
    if (u->buf != nullptr)
        g_object_unref(u->buf);
    delete u;
}

class bus_guard
{
public:
    explicit bus_guard(probe_bus *bus) : bus_(bus) { bus_lock(*bus_); }
    ~bus_guard() { bus_unlock(*bus_); }
    bus_guard(const bus_guard &) = delete;
    bus_guard &operator=(const bus_guard &) = delete;

private:
    probe_bus *bus_;
};

} // namespace

// Everything below the bus pointer is guarded by the bus lock.
struct usb_device {
    UMockdevTestbed *tb;
    probe_bus *bus;
    uint32_t index;
    bool fast;
    UMockdevIoctlBase *handler;
    std::string syspath;
    std::string devnode;
    std::deque<urb *> pending;      // IN URBs the device NAKs for now, in order
    std::deque<held_urb<urb>> held; // command OUT URBs waiting out the latency
    std::deque<urb *> done;
    std::vector<UMockdevIoctlClient *> clients;
    UMockdevIoctlClient *claimer;
    int ctl_fd; // our end of the node's FIFO: POLLOUT for libusb when done is not empty
    bool ready_signalled;
    bool timer_started;
    // The timer's wake-up, apart from the bus lock: it is kicked
    // with the bus lock held, and waits without it.
    std::mutex timer_lock;
    std::condition_variable timer_wake;
    uint64_t timer_kicks; // guarded by timer_lock
};

namespace
{

probe_view view_of(usb_device *d)
{
    return bus_view(*d->bus, d->index);
}

bool plugged_locked(usb_device *d)
{
    return d->bus->hdr->slots[d->index].plugged != 0;
}

// The node is a FIFO kept full, so libusb's poll() sleeps; freeing one page
// makes it writable, which libusb takes as "a URB can be reaped".
void fifo_fill(int fd)
{
    static const char page[4096] = {};
    while (write(fd, page, sizeof(page)) == static_cast<ssize_t>(sizeof(page))) {
    }
}

void update_ready(usb_device *d)
{
    if (d->ctl_fd < 0)
        return;
    bool want = !d->done.empty();
    if (want && !d->ready_signalled) {
        char page[4096];
        if (read(d->ctl_fd, page, sizeof(page)) != static_cast<ssize_t>(sizeof(page)))
            fprintf(stderr, "tarvex-vprobe: fifo drain failed\n");
    } else if (!want && d->ready_signalled) {
        fifo_fill(d->ctl_fd);
    }
    d->ready_signalled = want;
}

void finish(usb_device *d, urb *u, int status, int actual)
{
    u->status = status;
    u->actual = actual;
    d->done.push_back(u);
    update_ready(d);
}

uint32_t buffer_capacity(const urb *u)
{
    return u->buf != nullptr ? static_cast<uint32_t>(u->buf->data_len) : 0;
}

// One bulk URB against the model: false while the device NAKs it.
bool try_bulk(usb_device *d, urb *u)
{
    probe_view v = view_of(d);
    uint8_t *bytes = nullptr;
    if (u->ep & 0x80) {
        u->in.resize(buffer_capacity(u));
        bytes = u->in.data();
    } else if (u->buf != nullptr) {
        bytes = reinterpret_cast<uint8_t *>(u->buf->data);
    }
    urb_result r = usb_bulk(v, u->ep, bytes, buffer_capacity(u), monotonic_us());
    if (r.kind == IO_PENDING)
        return false;
    if (r.kind == IO_NODEV)
        r.status = -ENODEV;
    u->in.resize(u->ep & 0x80 ? r.actual : 0);
    finish(d, u, r.status, static_cast<int>(r.actual));
    return true;
}

void pump(usb_device *d)
{
    usb_pump_pending(
        d->pending, [](const urb *u) { return u->ep; }, [d](urb *u) { return try_bulk(d, u); });
}

// Runs the held commands whose time has come and retries the IN URBs that
// wait. Returns when to look again (monotonic microseconds), or 0 for not
// until kicked.
uint64_t release_due(usb_device *d)
{
    bus_guard guard(d->bus);
    uint64_t now = monotonic_us();
    uint64_t next = usb_release_due(d->held, now, [d](urb *u) { try_bulk(d, u); });
    pump(d); // a reply IN behind a released command, trace data come with time
    if (next == 0 && !d->pending.empty())
        next = now + PENDING_POLL_US;
    return next;
}

// The timer of one probe: sleeps until the next due time, or until kicked
// by a submission that gave it something to wait for. The kick count read
// before the queues are looked at makes a kick in between end the wait.
void run_timer(usb_device *d)
{
    for (;;) {
        uint64_t seen;
        {
            std::lock_guard<std::mutex> lock(d->timer_lock);
            seen = d->timer_kicks;
        }
        uint64_t next = release_due(d);
        std::unique_lock<std::mutex> lock(d->timer_lock);
        auto kicked = [d, seen] { return d->timer_kicks != seen; };
        if (next == 0)
            d->timer_wake.wait(lock, kicked);
        else
            d->timer_wake.wait_until(lock, std::chrono::steady_clock::time_point(std::chrono::microseconds(next)),
                                     kicked);
    }
}

// Starts the probe's timer, or wakes it to look at the queues again.
// REQUIRES: bus lock held.
void kick_timer(usb_device *d)
{
    if (!d->timer_started) {
        std::thread(run_timer, d).detach(); // devices live as long as the launcher
        d->timer_started = true;
        return;
    }
    std::lock_guard<std::mutex> lock(d->timer_lock);
    d->timer_kicks++;
    d->timer_wake.notify_one();
}

gboolean complete(UMockdevIoctlClient *c, int err)
{
    umockdev_ioctl_client_complete(c, err ? -1 : 0, err);
    return TRUE;
}

UMockdevIoctlData *arg_struct(UMockdevIoctlClient *c, gsize len)
{
    GError *e = nullptr;
    UMockdevIoctlData *data = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(c), 0, len, &e);
    if (e != nullptr)
        g_error_free(e);
    return data;
}

int submit_control(usb_device *d, urb *u)
{
    if (u->buf == nullptr || u->buf->data_len < 8)
        return EINVAL;
    u->in.resize(buffer_capacity(u) - 8);
    probe_view v = view_of(d);
    int r = usb_control(v, reinterpret_cast<const uint8_t *>(u->buf->data), u->in.data(),
                        static_cast<uint32_t>(u->in.size()));
    u->in.resize(r < 0 ? 0 : static_cast<size_t>(r));
    finish(d, u, r < 0 ? r : 0, r < 0 ? 0 : r);
    return 0;
}

int submit_bulk(usb_device *d, urb *u, UMockdevIoctlClient *c)
{
    if (d->claimer != c)
        return EPERM;
    probe_view v = view_of(d);
    int err = usb_bulk_submit_check(v, u->ep);
    if (err != 0)
        return err;
    uint32_t latency_us = v.rec->cfg.latency_us;
    if (u->ep & 0x80)
        d->pending.push_back(u);
    else if (latency_us == 0)
        try_bulk(d, u); // the command endpoint never NAKs
    else
        d->held.push_back({monotonic_us() + latency_us, u});
    pump(d);
    if (!d->held.empty() || !d->pending.empty())
        kick_timer(d); // something to release, or to retry
    return 0;
}

gboolean handle_submit(usb_device *d, UMockdevIoctlClient *c)
{
    UMockdevIoctlData *ud = arg_struct(c, sizeof(struct usbdevfs_urb));
    if (ud == nullptr)
        return complete(c, EFAULT);
    auto *raw = reinterpret_cast<struct usbdevfs_urb *>(ud->data);
    GError *e = nullptr;
    UMockdevIoctlData *bd =
        raw->buffer_length > 0
            ? umockdev_ioctl_data_resolve(ud, offsetof(struct usbdevfs_urb, buffer), raw->buffer_length, &e)
            : nullptr;
    if (e != nullptr) {
        g_error_free(e);
        g_object_unref(ud);
        return complete(c, EFAULT);
    }
    urb *u = new urb{c, ud, bd, ud->client_addr, raw->endpoint, raw->type, 0, 0, {}};
    int err = EINVAL;
    bus_guard guard(d->bus);
    if (u->type == USBDEVFS_URB_TYPE_CONTROL)
        err = submit_control(d, u);
    else if (u->type == USBDEVFS_URB_TYPE_BULK)
        err = submit_bulk(d, u, c);
    if (err != 0)
        urb_free(u);
    return complete(c, err);
}

urb *take_done(usb_device *d, UMockdevIoctlClient *c)
{
    for (auto it = d->done.begin(); it != d->done.end(); ++it) {
        if ((*it)->owner == c) {
            urb *u = *it;
            d->done.erase(it);
            return u;
        }
    }
    return nullptr;
}

gboolean handle_reap(usb_device *d, UMockdevIoctlClient *c)
{
    urb *u = nullptr;
    {
        bus_guard guard(d->bus);
        pump(d);
        u = take_done(d, c);
        update_ready(d);
        if (u == nullptr)
            return complete(c, plugged_locked(d) ? EAGAIN : ENODEV);
    }
    auto *raw = reinterpret_cast<struct usbdevfs_urb *>(u->data->data);
    raw->status = u->status;
    raw->actual_length = u->actual;
    if (!u->in.empty() && u->buf != nullptr) {
        size_t offset = u->type == USBDEVFS_URB_TYPE_CONTROL ? 8 : 0;
        memcpy(u->buf->data + offset, u->in.data(), u->in.size());
    }
    UMockdevIoctlData *slot = arg_struct(c, sizeof(gpointer));
    umockdev_ioctl_data_set_ptr(slot, 0, u->data);
    g_object_unref(slot);
    urb_free(u);
    return complete(c, 0);
}

gboolean handle_discard(usb_device *d, UMockdevIoctlClient *c)
{
    unsigned long addr = *reinterpret_cast<unsigned long *>(umockdev_ioctl_client_get_arg(c)->data);
    bus_guard guard(d->bus);
    auto same = [c, addr](const urb *u) { return u->owner == c && u->client_addr == addr; };
    if (urb *u = usb_take_held(d->held, same)) {
        finish(d, u, -ECONNRESET, 0); // never reached the probe
        return complete(c, 0);
    }
    for (auto it = d->pending.begin(); it != d->pending.end(); ++it) {
        urb *u = *it;
        if (same(u)) {
            d->pending.erase(it);
            finish(d, u, -ECONNRESET, 0);
            probe_view v = view_of(d);
            usb_bulk_cancelled(v, u->ep);
            return complete(c, 0);
        }
    }
    return complete(c, EINVAL);
}

void drop_urbs_of(std::deque<urb *> *q, UMockdevIoctlClient *c)
{
    for (auto it = q->begin(); it != q->end();) {
        if ((*it)->owner == c) {
            urb_free(*it);
            it = q->erase(it);
        } else {
            ++it;
        }
    }
}

// Closed usbfs descriptors are noticed late: drop their claim and URBs.
void purge_dead_clients(usb_device *d)
{
    for (size_t i = 0; i < d->clients.size();) {
        UMockdevIoctlClient *c = d->clients[i];
        if (umockdev_ioctl_client_get_connected(c)) {
            i++;
            continue;
        }
        if (d->claimer == c)
            d->claimer = nullptr;
        drop_urbs_of(&d->pending, c);
        drop_urbs_of(&d->done, c);
        while (urb *u = usb_take_held(d->held, [c](const urb *h) { return h->owner == c; }))
            urb_free(u);
        g_object_unref(c);
        d->clients.erase(d->clients.begin() + static_cast<long>(i));
    }
    update_ready(d);
}

void set_config_attribute(usb_device *d, int value)
{
    gchar *text = g_strdup_printf("%d\n", value);
    umockdev_testbed_set_attribute(d->tb, d->syspath.c_str(), "bConfigurationValue", text);
    g_free(text);
}

int simple_request(usb_device *d, UMockdevIoctlClient *c, gulong req, int value)
{
    if (req == USBDEVFS_CLAIMINTERFACE) {
        if (value != 0)
            return ENOENT;
        if (d->claimer != nullptr && d->claimer != c)
            return EBUSY;
        d->claimer = c;
        return 0;
    }
    if (req == USBDEVFS_RELEASEINTERFACE) {
        if (value != 0 || d->claimer != c)
            return EINVAL;
        d->claimer = nullptr;
        return 0;
    }
    if (req == USBDEVFS_SETCONFIGURATION) {
        uint8_t setup[8] = {0x00, 9, static_cast<uint8_t>(value < 0 ? 0 : value), 0, 0, 0, 0, 0};
        uint8_t none[1];
        probe_view v = view_of(d);
        if (usb_control(v, setup, none, 0) < 0)
            return EINVAL;
        set_config_attribute(d, v.rec->st.usb_config);
        return 0;
    }
    probe_view v = view_of(d);
    usb_endpoints e = endpoints_of(v.rec->cfg);
    return value == e.reply_in || value == e.cmd_out || value == e.trace_in ? 0 : ENOENT;
}

gboolean handle_int_request(usb_device *d, UMockdevIoctlClient *c, gulong req)
{
    UMockdevIoctlData *data = arg_struct(c, sizeof(int));
    int value = *reinterpret_cast<int *>(data->data);
    g_object_unref(data);
    bus_guard guard(d->bus);
    return complete(c, simple_request(d, c, req, value));
}

gboolean handle_info_request(usb_device *d, UMockdevIoctlClient *c, gulong req)
{
    uint32_t devnum, speed;
    {
        bus_guard guard(d->bus);
        devnum = d->bus->hdr->slots[d->index].devnum;
        speed = endpoints_of(d->bus->hdr->slots[d->index].rec.cfg).speed_mbps;
    }
    if (req == USBDEVFS_GET_SPEED) {
        umockdev_ioctl_client_complete(c, usb_speed_code(speed), 0);
        return TRUE;
    }
    if (req == USBDEVFS_CONNECTINFO) {
        UMockdevIoctlData *data = arg_struct(c, sizeof(struct usbdevfs_connectinfo));
        auto *info = reinterpret_cast<struct usbdevfs_connectinfo *>(data->data);
        info->devnum = devnum;
        info->slow = 0;
        g_object_unref(data);
        return complete(c, 0);
    }
    UMockdevIoctlData *data = arg_struct(c, sizeof(guint32));
    *reinterpret_cast<guint32 *>(data->data) = USB_CAPABILITIES;
    g_object_unref(data);
    return complete(c, 0);
}

gboolean on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *c, gpointer user)
{
    auto *d = static_cast<usb_device *>(user);
    gulong req = umockdev_ioctl_client_get_request(c);
    bool plugged;
    {
        bus_guard guard(d->bus);
        purge_dead_clients(d);
        plugged = plugged_locked(d);
    }
    if (!plugged && req != USBDEVFS_REAPURB && req != USBDEVFS_REAPURBNDELAY)
        return complete(c, ENODEV);
    switch (req) {
    case USBDEVFS_SUBMITURB:
        return handle_submit(d, c);
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        return handle_reap(d, c);
    case USBDEVFS_DISCARDURB:
        return handle_discard(d, c);
    case USBDEVFS_GET_CAPABILITIES:
    case USBDEVFS_GET_SPEED:
    case USBDEVFS_CONNECTINFO:
        return handle_info_request(d, c, req);
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_CLEAR_HALT:
        return handle_int_request(d, c, req);
    default:
        return complete(c, ENOTTY);
    }
}

void on_client_connected(UMockdevIoctlBase *, UMockdevIoctlClient *c, gpointer user)
{
    auto *d = static_cast<usb_device *>(user);
    bus_guard guard(d->bus);
    purge_dead_clients(d);
    d->clients.push_back(static_cast<UMockdevIoctlClient *>(g_object_ref(c)));
}

std::string device_description(usb_device *d, uint32_t devnum)
{
    const probe_config &cfg = d->bus->hdr->slots[d->index].rec.cfg;
    uint8_t desc[DESCRIPTORS_LEN];
    usb_descriptors(cfg, desc);
    std::string hex;
    char byte[3];
    for (uint8_t b : desc) {
        snprintf(byte, sizeof(byte), "%02X", b);
        hex += byte;
    }
    char text[4096];
    // "A:" values are C-unescaped by umockdev, hence the doubled backslashes.
    snprintf(text, sizeof(text),
             "P: %s\nN: bus/usb/%03u/%03u\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
             "E: DEVNAME=/dev/bus/usb/%03u/%03u\nE: BUSNUM=%03u\nE: DEVNUM=%03u\nE: PRODUCT=%x/%x/100\n"
             "A: busnum=%u\\n\nA: devnum=%u\\n\nA: speed=%u\\n\nA: dev=189:%u\\n\n"
             "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\nA: bConfigurationValue=1\\n\n"
             "A: bNumConfigurations=1\\n\nH: descriptors=%s\n",
             d->syspath.c_str() + strlen("/sys"), BUS_NUMBER, devnum, BUS_NUMBER, devnum, BUS_NUMBER, devnum, cfg.vid,
             cfg.pid, BUS_NUMBER, devnum, endpoints_of(cfg).speed_mbps, devnum, cfg.vid, cfg.pid, hex.c_str());
    return text;
}

void make_node_pollable(usb_device *d)
{
    gchar *root = umockdev_testbed_get_root_dir(d->tb);
    std::string node = std::string(root) + d->devnode;
    g_free(root);
    if (unlink(node.c_str()) != 0 || mkfifo(node.c_str(), 0666) != 0) {
        fprintf(stderr, "tarvex-vprobe: cannot make %s pollable: %s\n", node.c_str(), strerror(errno));
        return;
    }
    int fd = open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    // A client may be connected already (the handler listens before the
    // node is made): what it has to reap shows at once.
    bus_guard guard(d->bus);
    d->ctl_fd = fd;
    if (fd >= 0)
        fifo_fill(fd);
    d->ready_signalled = false;
    update_ready(d);
}

void attach_handler(usb_device *d)
{
    d->handler = umockdev_ioctl_base_new();
    g_signal_connect(d->handler, "handle-ioctl", G_CALLBACK(on_ioctl), d);
    g_signal_connect(d->handler, "client-connected", G_CALLBACK(on_client_connected), d);
    GError *e = nullptr;
    if (!umockdev_testbed_attach_ioctl(d->tb, d->devnode.c_str(), d->handler, &e)) {
        fprintf(stderr, "tarvex-vprobe: cannot attach probe %u: %s\n", d->index, e->message);
        g_error_free(e);
    }
}

void detach_handler(usb_device *d)
{
    umockdev_testbed_detach_ioctl(d->tb, d->devnode.c_str(), nullptr);
    if (d->handler != nullptr)
        g_object_unref(d->handler);
    d->handler = nullptr;
    bus_guard guard(d->bus);
    if (d->ctl_fd >= 0)
        close(d->ctl_fd);
    d->ctl_fd = -1;
    for (urb *u : d->done)
        urb_free(u);
    d->done.clear();
    for (UMockdevIoctlClient *c : d->clients)
        g_object_unref(c);
    d->clients.clear();
}

} // namespace

usb_device *usb_device_new(UMockdevTestbed *tb, probe_bus *bus, uint32_t index, bool fast)
{
    auto *d = new usb_device();
    d->tb = tb;
    d->bus = bus;
    d->index = index;
    d->fast = fast;
    d->handler = nullptr;
    d->claimer = nullptr;
    d->ctl_fd = -1;
    d->ready_signalled = false;
    d->timer_started = false;
    d->timer_kicks = 0;
    char path[128];
    bus_syspath(index, path, sizeof(path));
    d->syspath = path;
    if (!bus->hdr->slots[index].rec.cfg.absent)
        usb_device_plug(d);
    return d;
}

void usb_device_plug(usb_device *d)
{
    if (usb_device_plugged(d))
        return;
    // The previous plug's handler stayed for its clients to reap what the
    // unplug completed; the new plug has a node of its own.
    if (d->handler != nullptr)
        detach_handler(d);
    uint32_t devnum;
    {
        bus_guard guard(d->bus);
        if (plugged_locked(d))
            return;
        bus_set_plugged(*d->bus, d->index, true);
        devnum = d->bus->hdr->slots[d->index].devnum;
    }
    char node[64];
    snprintf(node, sizeof(node), "/dev/bus/usb/%03u/%03u", BUS_NUMBER, devnum);
    d->devnode = node;
    std::string description = device_description(d, devnum);
    // The node's ioctl socket listens before the device is in sysfs: a
    // client that scans the bus meanwhile (its look for the device that went
    // away, say) and opens the new node finds a handler; umockdev's preload
    // ends a process whose open of a node finds none.
    if (!d->fast)
        attach_handler(d);
    GError *e = nullptr;
    if (!umockdev_testbed_add_from_string(d->tb, description.c_str(), &e)) {
        fprintf(stderr, "tarvex-vprobe: cannot add probe %u: %s\n", d->index, e->message);
        g_error_free(e);
        return;
    }
    if (!d->fast)
        make_node_pollable(d);
    bus_notify(*d->bus);
    // libusb follows the bus through udev events; a probe plugged after the
    // command started appears only with its "add" event.
    umockdev_testbed_uevent(d->tb, d->syspath.c_str(), "add");
}

void usb_device_unplug(usb_device *d)
{
    {
        bus_guard guard(d->bus);
        if (!plugged_locked(d))
            return;
        bus_set_plugged(*d->bus, d->index, false);
        while (!d->pending.empty()) {
            urb *u = d->pending.front();
            d->pending.pop_front();
            finish(d, u, -ESHUTDOWN, 0);
        }
        while (!d->held.empty()) {
            finish(d, d->held.front().urb, -ESHUTDOWN, 0);
            d->held.pop_front();
        }
        d->claimer = nullptr;
    }
    bus_notify(*d->bus);
    umockdev_testbed_uevent(d->tb, d->syspath.c_str(), "remove");
    // As usbfs keeps an unplugged device's descriptors: the URBs completed
    // above stay reapable and every other request answers ENODEV until the
    // client closes. Detaching here would lose a completion the client has
    // not reaped yet, and its next ioctl would wait forever for a handler.
    umockdev_testbed_remove_device(d->tb, d->syspath.c_str());
}

bool usb_device_plugged(usb_device *d)
{
    bus_guard guard(d->bus);
    return plugged_locked(d);
}

} // namespace vprobe
