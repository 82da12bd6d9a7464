#include "usb_device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>

namespace vprobe
{

namespace
{

constexpr uint8_t EP_REPLY = 0x81;
constexpr uint8_t STRING_SERIAL_INDEX = 3;

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

uint64_t now_us()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<uint64_t>(tv.tv_sec) * 1000000 + static_cast<uint64_t>(tv.tv_usec);
}

void urb_free(urb *u)
{
    if (u->data != nullptr)
        g_object_unref(u->data);
    if (u->buf != nullptr)
        g_object_unref(u->buf);
    delete u;
}

} // namespace

struct usb_device {
    UMockdevTestbed *tb;
    UMockdevIoctlBase *handler;
    std::string syspath;
    std::string devnode;
    int index;
    uint8_t tx_ep;
    uint8_t trace_ep;
    std::mutex lock;
    vprobe_record record;
    std::vector<uint8_t> ram;
    std::vector<uint8_t> flash;
    probe_view view;
    std::deque<urb *> pending_reply;
    std::deque<urb *> pending_trace;
    std::deque<urb *> done;
    std::vector<UMockdevIoctlClient *> clients;
    UMockdevIoctlClient *claimer;
    bool plugged;
    int ctl_fd; // our end of the node's FIFO: POLLOUT for libusb when done is not empty
    bool ready_signalled;
};

namespace
{

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

int buffer_capacity(const urb *u)
{
    return u->buf != nullptr ? static_cast<int>(u->buf->data_len) : 0;
}

void pump_reply(usb_device *d)
{
    while (!d->pending_reply.empty() && probe_reply_pending(d->view) > 0) {
        urb *u = d->pending_reply.front();
        d->pending_reply.pop_front();
        u->in.resize(static_cast<size_t>(buffer_capacity(u)));
        uint32_t n = probe_reply_take(d->view, u->in.data(), static_cast<uint32_t>(u->in.size()));
        u->in.resize(n);
        finish(d, u, 0, static_cast<int>(n));
    }
}

void pump_trace(usb_device *d)
{
    while (!d->pending_trace.empty() && probe_trace_available(d->view, now_us()) > 0) {
        urb *u = d->pending_trace.front();
        d->pending_trace.pop_front();
        u->in.resize(static_cast<size_t>(buffer_capacity(u)));
        uint32_t n = probe_trace_take(d->view, u->in.data(), static_cast<uint32_t>(u->in.size()), now_us());
        u->in.resize(n);
        finish(d, u, 0, static_cast<int>(n));
    }
}

// The serial-number string descriptor in the probe's configured form.
std::vector<uint8_t> serial_descriptor(const probe_config &cfg)
{
    std::vector<uint8_t> units;
    const char *text = cfg.serial.data();
    if (cfg.form == SERIAL_HEX) {
        for (size_t i = 0; i + 1 < strlen(text) && units.size() < 12; i += 2) {
            char byte[3] = {text[i], text[i + 1], '\0'};
            units.push_back(static_cast<uint8_t>(strtoul(byte, nullptr, 16)));
        }
    } else {
        for (size_t i = 0; text[i] != '\0' && units.size() < 31; i++)
            units.push_back(static_cast<uint8_t>(text[i]));
    }
    std::vector<uint8_t> d = {static_cast<uint8_t>(2 + 2 * units.size()), 3};
    for (uint8_t u : units) {
        d.push_back(u);
        d.push_back(0);
    }
    return d;
}

// EP0: the data stage of a GET_DESCRIPTOR(STRING), or -EPIPE (stall).
int device_control(usb_device *d, const uint8_t *setup, std::vector<uint8_t> *out)
{
    uint16_t value = static_cast<uint16_t>(setup[2] | setup[3] << 8);
    uint16_t length = static_cast<uint16_t>(setup[6] | setup[7] << 8);
    if (setup[0] != 0x80 || setup[1] != 6 || (value >> 8) != 3)
        return -EPIPE;
    int index = value & 0xFF;
    if (index == 0)
        *out = {4, 3, 0x09, 0x04};
    else if (index == STRING_SERIAL_INDEX)
        *out = serial_descriptor(d->record.cfg);
    else
        return -EPIPE;
    if (out->size() > length)
        out->resize(length);
    return static_cast<int>(out->size());
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

int submit_bulk(usb_device *d, urb *u, UMockdevIoctlClient *c)
{
    if (u->ep != d->tx_ep && u->ep != EP_REPLY && u->ep != d->trace_ep)
        return ENOENT;
    if (d->claimer != c)
        return EPERM;
    if (u->ep == d->tx_ep) {
        const uint8_t *bytes =
            u->buf != nullptr ? static_cast<const uint8_t *>(static_cast<void *>(u->buf->data)) : nullptr;
        io_outcome out = probe_bulk_out(d->view, bytes, static_cast<uint32_t>(buffer_capacity(u)), now_us());
        if (out.kind == IO_NODEV)
            finish(d, u, -ENODEV, 0);
        else
            finish(d, u, 0, static_cast<int>(out.length));
        pump_reply(d);
    } else if (u->ep == EP_REPLY) {
        d->pending_reply.push_back(u);
        pump_reply(d);
    } else {
        d->pending_trace.push_back(u);
        pump_trace(d);
    }
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
    int err = 0;
    std::lock_guard<std::mutex> guard(d->lock);
    if (u->type == USBDEVFS_URB_TYPE_CONTROL) {
        if (bd == nullptr || bd->data_len < 8) {
            err = EINVAL;
        } else {
            int r = device_control(d, reinterpret_cast<const uint8_t *>(bd->data), &u->in);
            finish(d, u, r < 0 ? r : 0, r < 0 ? 0 : r);
        }
    } else if (u->type != USBDEVFS_URB_TYPE_BULK) {
        err = EINVAL;
    } else {
        err = submit_bulk(d, u, c);
    }
    if (err != 0)
        urb_free(u);
    return complete(c, err);
}

gboolean handle_reap(usb_device *d, UMockdevIoctlClient *c)
{
    urb *u = nullptr;
    {
        std::lock_guard<std::mutex> guard(d->lock);
        pump_trace(d);
        for (auto it = d->done.begin(); it != d->done.end(); ++it) {
            if ((*it)->owner == c) {
                u = *it;
                d->done.erase(it);
                break;
            }
        }
        update_ready(d);
        if (u == nullptr)
            return complete(c, d->plugged ? EAGAIN : ENODEV);
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

bool discard_from(usb_device *d, std::deque<urb *> *queue, UMockdevIoctlClient *c, unsigned long addr)
{
    for (auto it = queue->begin(); it != queue->end(); ++it) {
        if ((*it)->owner == c && (*it)->client_addr == addr) {
            urb *u = *it;
            queue->erase(it);
            finish(d, u, -ECONNRESET, 0);
            return true;
        }
    }
    return false;
}

gboolean handle_discard(usb_device *d, UMockdevIoctlClient *c)
{
    unsigned long addr = *reinterpret_cast<unsigned long *>(umockdev_ioctl_client_get_arg(c)->data);
    std::lock_guard<std::mutex> guard(d->lock);
    bool found = discard_from(d, &d->pending_reply, c, addr) || discard_from(d, &d->pending_trace, c, addr);
    // A reply nobody waits for any more must not answer the next read.
    if (found)
        probe_reply_discard(d->view);
    return complete(c, found ? 0 : EINVAL);
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
        for (std::deque<urb *> *q : {&d->pending_reply, &d->pending_trace, &d->done}) {
            for (auto it = q->begin(); it != q->end();) {
                if ((*it)->owner == c) {
                    urb_free(*it);
                    it = q->erase(it);
                } else {
                    ++it;
                }
            }
        }
        g_object_unref(c);
        d->clients.erase(d->clients.begin() + static_cast<long>(i));
    }
    update_ready(d);
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
        if (value != 1 && value != 0 && value != -1)
            return EINVAL;
        d->record.st.usb_config = static_cast<uint8_t>(value < 0 ? 0 : value);
        gchar *text = g_strdup_printf("%d\n", d->record.st.usb_config);
        umockdev_testbed_set_attribute(d->tb, d->syspath.c_str(), "bConfigurationValue", text);
        g_free(text);
        return 0;
    }
    return value == EP_REPLY || value == d->tx_ep || value == d->trace_ep ? 0 : ENOENT;
}

gboolean handle_int_request(usb_device *d, UMockdevIoctlClient *c, gulong req)
{
    UMockdevIoctlData *data = arg_struct(c, sizeof(int));
    int value = *reinterpret_cast<int *>(data->data);
    g_object_unref(data);
    std::lock_guard<std::mutex> guard(d->lock);
    return complete(c, simple_request(d, c, req, value));
}

gboolean handle_info_request(UMockdevIoctlClient *c, gulong req, int devnum)
{
    if (req == USBDEVFS_GET_SPEED) {
        umockdev_ioctl_client_complete(c, 3, 0); // high speed
        return TRUE;
    }
    if (req == USBDEVFS_CONNECTINFO) {
        UMockdevIoctlData *data = arg_struct(c, sizeof(struct usbdevfs_connectinfo));
        reinterpret_cast<struct usbdevfs_connectinfo *>(data->data)->devnum = static_cast<unsigned>(devnum);
        reinterpret_cast<struct usbdevfs_connectinfo *>(data->data)->slow = 0;
        g_object_unref(data);
        return complete(c, 0);
    }
    UMockdevIoctlData *data = arg_struct(c, sizeof(guint32));
    *reinterpret_cast<guint32 *>(data->data) = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                               USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
    g_object_unref(data);
    return complete(c, 0);
}

gboolean on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *c, gpointer user)
{
    auto *d = static_cast<usb_device *>(user);
    gulong req = umockdev_ioctl_client_get_request(c);
    bool plugged;
    {
        std::lock_guard<std::mutex> guard(d->lock);
        purge_dead_clients(d);
        plugged = d->plugged;
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
        return handle_info_request(c, req, 2 + d->index);
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
    std::lock_guard<std::mutex> guard(d->lock);
    purge_dead_clients(d);
    d->clients.push_back(static_cast<UMockdevIoctlClient *>(g_object_ref(c)));
}

// Device and configuration descriptors in wire order. The reply IN endpoint
// comes first and the command OUT endpoint second, so a host taking the first
// IN and the first OUT of the vendor interface gets exactly these two.
std::vector<uint8_t> descriptors(const usb_device *d)
{
    const probe_config &cfg = d->record.cfg;
    return {18, 1, 0x00, 0x02, 0, 0, 0, 64, static_cast<uint8_t>(cfg.vid), static_cast<uint8_t>(cfg.vid >> 8),
            static_cast<uint8_t>(cfg.pid), static_cast<uint8_t>(cfg.pid >> 8), 0x00, 0x01, 1, 2, STRING_SERIAL_INDEX, 1,
            // configuration 1: one interface, 39 bytes in all
            9, 2, 39, 0, 1, 1, 0, 0x80, 50,
            // interface 0: vendor class and subclass, three bulk endpoints
            9, 4, 0, 0, 3, 0xFF, 0xFF, 0, 0,
            // 512-byte high-speed bulk endpoints
            7, 5, EP_REPLY, 0x02, 0x00, 0x02, 0, 7, 5, d->tx_ep, 0x02, 0x00, 0x02, 0, 7, 5, d->trace_ep, 0x02, 0x00,
            0x02, 0};
}

std::string device_description(const usb_device *d)
{
    std::string hex;
    char byte[3];
    for (uint8_t b : descriptors(d)) {
        snprintf(byte, sizeof(byte), "%02X", b);
        hex += byte;
    }
    const probe_config &cfg = d->record.cfg;
    char text[4096];
    int devnum = 2 + d->index;
    snprintf(text, sizeof(text),
             "P: %s\nN: bus/usb/001/%03d\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
             "E: DEVNAME=/dev/bus/usb/001/%03d\nE: BUSNUM=001\nE: DEVNUM=%03d\nE: PRODUCT=%x/%x/100\n"
             "A: busnum=1\\n\nA: devnum=%d\\n\nA: speed=480\\n\nA: dev=189:%d\\n\n"
             "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\nA: bConfigurationValue=1\\n\n"
             "A: bNumConfigurations=1\\n\nH: descriptors=%s\n",
             d->syspath.c_str() + strlen("/sys"), devnum, devnum, devnum, cfg.vid, cfg.pid, devnum, devnum, cfg.vid,
             cfg.pid, hex.c_str());
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
    d->ctl_fd = open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (d->ctl_fd >= 0)
        fifo_fill(d->ctl_fd);
    d->ready_signalled = false;
}

} // namespace

usb_device *usb_device_new(UMockdevTestbed *tb, const probe_config &cfg, int index)
{
    auto *d = new usb_device();
    d->tb = tb;
    d->index = index;
    d->record.cfg = cfg;
    bool second_layout = cfg.pid == TARVEX_V21_PID || cfg.pid == TARVEX_V3_PID;
    d->tx_ep = second_layout ? 0x01 : 0x02;
    d->trace_ep = second_layout ? 0x82 : 0x83;
    d->ram.assign(cfg.ram_size, 0);
    d->flash.assign(cfg.flash_size, 0xFF);
    d->view = probe_view{&d->record, d->ram.data(), d->flash.data()};
    probe_power_up(d->view);
    char path[128];
    snprintf(path, sizeof(path), "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-%d", index + 1);
    d->syspath = path;
    snprintf(path, sizeof(path), "/dev/bus/usb/001/%03d", 2 + index);
    d->devnode = path;
    d->claimer = nullptr;
    d->plugged = false;
    d->ctl_fd = -1;
    d->handler = nullptr;
    if (!cfg.absent)
        usb_device_plug(d);
    return d;
}

void usb_device_plug(usb_device *d)
{
    std::string description = device_description(d);
    GError *e = nullptr;
    if (!umockdev_testbed_add_from_string(d->tb, description.c_str(), &e)) {
        fprintf(stderr, "tarvex-vprobe: cannot add probe %d: %s\n", d->index, e->message);
        g_error_free(e);
        return;
    }
    make_node_pollable(d);
    d->handler = umockdev_ioctl_base_new();
    g_signal_connect(d->handler, "handle-ioctl", G_CALLBACK(on_ioctl), d);
    g_signal_connect(d->handler, "client-connected", G_CALLBACK(on_client_connected), d);
    if (!umockdev_testbed_attach_ioctl(d->tb, d->devnode.c_str(), d->handler, &e)) {
        fprintf(stderr, "tarvex-vprobe: cannot attach probe %d: %s\n", d->index, e->message);
        g_error_free(e);
    }
    {
        std::lock_guard<std::mutex> guard(d->lock);
        d->plugged = true;
    }
    // libusb follows the bus through udev events; a probe plugged after the
    // command started appears only with its "add" event.
    umockdev_testbed_uevent(d->tb, d->syspath.c_str(), "add");
}

// In-flight URBs fail with -ESHUTDOWN, later ioctls with ENODEV, and udev
// sees a remove event so libusb drops the device from its list.
void usb_device_unplug(usb_device *d)
{
    {
        std::lock_guard<std::mutex> guard(d->lock);
        if (!d->plugged)
            return;
        d->plugged = false;
        for (std::deque<urb *> *q : {&d->pending_reply, &d->pending_trace}) {
            while (!q->empty()) {
                urb *u = q->front();
                q->pop_front();
                finish(d, u, -ESHUTDOWN, 0);
            }
        }
        d->claimer = nullptr;
    }
    umockdev_testbed_uevent(d->tb, d->syspath.c_str(), "remove");
    umockdev_testbed_detach_ioctl(d->tb, d->devnode.c_str(), nullptr);
    umockdev_testbed_remove_device(d->tb, d->syspath.c_str());
    if (d->handler != nullptr)
        g_object_unref(d->handler);
    d->handler = nullptr;
    std::lock_guard<std::mutex> guard(d->lock);
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

probe_view *usb_device_view(usb_device *d)
{
    return &d->view;
}

void usb_device_lock(usb_device *d)
{
    d->lock.lock();
}

void usb_device_unlock(usb_device *d)
{
    d->lock.unlock();
}

bool usb_device_plugged(usb_device *d)
{
    std::lock_guard<std::mutex> guard(d->lock);
    return d->plugged;
}

} // namespace vprobe
