#include "libusb1_common.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "entry_life.h"
#include "list_tarvex.h"
#include "result_codes.h"
#include "tarvex_api.h"
#include "tarvex_log.h"
#include "tarvex_usb.h"
#include "time_support_common.h"

static libusb_context *a_libusb_context;

// GET_DESCRIPTOR for the serial-number string, US English.
static constexpr uint8_t USB_REQUEST_TYPE_STANDARD_IN = 0x80;
static constexpr uint8_t USB_REQUEST_GET_DESCRIPTOR = 6;
static constexpr uint16_t USB_DESCRIPTOR_STRING = 0x0300;
static constexpr uint16_t USB_LANGUAGE_EN_US = 0x0409;
static constexpr unsigned USB_STRING_TIMEOUT_MS = 1000;
// The two descriptor lengths a probe reports: 12 UTF-16 code units (12 bytes
// shown as 24 hexadecimal digits) or 24 code units (24 characters).
static constexpr int SERIAL_DESCRIPTOR_HEX_FORM = 26;
static constexpr int SERIAL_DESCRIPTOR_TEXT_FORM = 50;
static constexpr int USB_BULK_DEVICE_GONE = LIBUSB_ERROR_NO_DEVICE;

static bool new_context(libusb_context **ctx)
{
    if (libusb_init(ctx) < 0) {
        *ctx = nullptr;
        return false;
    }
    libusb_set_option(*ctx, LIBUSB_OPTION_LOG_LEVEL, 3);
    return true;
}

int tarvex_libusb_init()
{
    LOG_DEBUG("tarvex_libusb_init");
    if (!new_context(&a_libusb_context))
        return ERROR_NO_USB;
    const libusb_version *v = libusb_get_version();
    LOG_DEBUG("libusb version : %d.%d.%d.%d : %s", v->major, v->minor, v->micro, v->nano, v->describe);
    return 0;
}

// Releases an entry and everything it owns. Entries are released only while
// no probe work is in flight.
static void free_entry(tarvex_usb *entry)
{
    entry_leaving(entry);
    tarvex_usb_handle_s *h = entry->dev;
    if (h->fd != nullptr)
        libusb_close(h->fd);
    if (h->dev != nullptr)
        libusb_unref_device(h->dev);
    if (h->own_context != nullptr)
        libusb_exit(h->own_context);
    free(entry->param);
    free(entry->dev);
    free(entry->serial);
    free(entry);
}

static void stop_watching();

void tarvex_libusb_exit()
{
    stop_watching();
    list_for_each_safe(pos, n, &tarvex_usb_list)
    {
        tarvex_usb *entry = list_entry<tarvex_usb>(pos);
        list_del(&entry->list);
        free_entry(entry);
    }
    if (a_libusb_context != nullptr)
        libusb_exit(a_libusb_context);
    a_libusb_context = nullptr;
}

bool tarvex_match(libusb_device *dev, const uint16_t *vids, const uint16_t *pids)
{
    for (int i = 0; i < TARVEX_PROBE_ID_SLOTS && vids[i] != 0; i++) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(dev, &desc) != 0)
            continue;
        if (desc.idVendor == vids[i] && desc.idProduct == pids[i])
            return true;
    }
    return false;
}

static void hex_of_bytes(const uint8_t *bytes, int count, char *str)
{
    for (int i = 0; i < count; i++)
        snprintf(str + 2 * i, 3, "%02hX", static_cast<unsigned short>(bytes[i]));
}

// A descriptor of another length is shown as the hexadecimal form of its
// payload, so that it still gets a stable key of its own and never takes the
// serial of a device read before it.
int compute_serial_str(const uint8_t *descriptor, int length, char *str)
{
    memset(str, 0, TARVEX_SERIAL_MAX_CHARS + 1);
    if (length < 2 || descriptor[0] < 2 || descriptor[0] > length)
        return -1;
    if (descriptor[0] == SERIAL_DESCRIPTOR_HEX_FORM) {
        for (int i = 0; i < 12; i++)
            snprintf(str + 2 * i, 3, "%02hX", static_cast<unsigned short>(descriptor[2 + 2 * i]));
    } else if (descriptor[0] == SERIAL_DESCRIPTOR_TEXT_FORM) {
        for (int i = 0; i < TARVEX_SERIAL_MAX_CHARS; i++)
            str[i] = static_cast<char>(descriptor[2 + 2 * i]);
    } else {
        int payload = descriptor[0] - 2;
        hex_of_bytes(descriptor + 2, payload < 12 ? payload : 12, str);
    }
    str[TARVEX_SERIAL_MAX_CHARS] = '\0';
    return str[0] != '\0' ? 0 : -1;
}

// Reads the serial text of an opened device into serial_code; false when the
// descriptor could not be read (the device is then skipped; quiet: it is
// tried again, and only the last try is an error).
static bool read_serial(libusb_device_handle *fd, const libusb_device_descriptor *desc, char *serial_code, bool quiet)
{
    uint8_t serial_number[TARVEX_SERIAL_BUFFER_SIZE];
    memset(serial_number, 0, sizeof(serial_number));
    int got = libusb_control_transfer(fd, USB_REQUEST_TYPE_STANDARD_IN, USB_REQUEST_GET_DESCRIPTOR,
                                      static_cast<uint16_t>(USB_DESCRIPTOR_STRING | desc->iSerialNumber),
                                      USB_LANGUAGE_EN_US, serial_number, sizeof(serial_number), USB_STRING_TIMEOUT_MS);
    if (got <= 0 || compute_serial_str(serial_number, got, serial_code) != 0) {
        log_printf_lf(quiet ? LOG_LVL_DEBUG : LOG_LVL_ERROR, __FILE__, __LINE__, __func__,
                      "tarvex_usb : serial number of device %04x:%04x unreadable (%d), device skipped", desc->idVendor,
                      desc->idProduct, got);
        return false;
    }
    return true;
}

// Makes a registry entry for a device; no handle is open on it.
static tarvex_usb *create_entry(libusb_device *dev, const libusb_device_descriptor *desc, const char *serial)
{
    auto *entry = static_cast<tarvex_usb *>(calloc(1, sizeof(tarvex_usb)));
    auto *handle = static_cast<tarvex_usb_handle_s *>(calloc(1, sizeof(tarvex_usb_handle_s)));
    auto *param = static_cast<hl_interface_param_s *>(calloc(1, sizeof(hl_interface_param_s)));
    char *serial_copy = strdup(serial);
    if (entry == nullptr || handle == nullptr || param == nullptr || serial_copy == nullptr) {
        free(entry);
        free(handle);
        free(param);
        free(serial_copy);
        return nullptr;
    }
    handle->dev = libusb_ref_device(dev);
    handle->max_mem_packet = 1024;
    param->serial = serial_copy;
    param->vid = desc->idVendor;
    param->pid = desc->idProduct;
    param->transport = HL_TRANSPORT_SWD;
    entry->dev = handle;
    entry->param = param;
    entry->serial = serial_copy;
    entry->dev_desc = *desc;
    entry->key = jenkins_one_at_a_time_hash(serial_copy, strlen(serial_copy));
    entry->index = probe_index_of(serial_copy);
    return entry;
}

// Opens a matching device and reads its serial; the handle, or null.
static libusb_device_handle *open_matching(libusb_device *dev, const uint16_t *vids, const uint16_t *pids,
                                           libusb_device_descriptor *desc, char *serial_code, bool refreshing,
                                           bool quiet = false)
{
    if (libusb_get_device_descriptor(dev, desc) != 0)
        return nullptr;
    if (!tarvex_match(dev, vids, pids))
        return nullptr;
    libusb_device_handle *fd = nullptr;
    if (libusb_open(dev, &fd) != 0) {
        if (refreshing)
            LOG_DEBUG("tarvex_usb : unusable device");
        return nullptr;
    }
    if (!read_serial(fd, desc, serial_code, quiet)) {
        libusb_close(fd);
        return nullptr;
    }
    LOG_DEBUG("libusb_open success %s", serial_code);
    return fd;
}

// Appends a new entry (FOUND); null when none could be made.
static tarvex_usb *add_entry(libusb_device *dev, const libusb_device_descriptor *desc, const char *serial)
{
    tarvex_usb *entry = create_entry(dev, desc, serial);
    if (entry == nullptr) {
        LOG_ERROR("tarvex_usb : no memory for the entry of %s", serial);
        return nullptr;
    }
    LOG_DEBUG("add to list vendor_id 0x%x, devs 0x%x, %s", desc->idVendor, desc->idProduct, serial);
    list_add_tail(&entry->list, &tarvex_usb_list);
    return entry;
}

// The entry's device is `dev` from now on.
static void rebind(tarvex_usb *entry, libusb_device *dev)
{
    libusb_device *old = entry->dev->dev;
    entry->dev->dev = libusb_ref_device(dev);
    if (old != nullptr)
        libusb_unref_device(old);
}

static void close_handle(tarvex_usb *entry)
{
    if (entry->dev->fd == nullptr)
        return;
    LOG_DEBUG("close usb device %p, %p", static_cast<void *>(entry->dev->dev), static_cast<void *>(entry->dev->fd));
    libusb_close(entry->dev->fd);
    entry->dev->fd = nullptr;
}

int tarvex_libusb_open(const uint16_t *vids, const uint16_t *pids, const char *serial)
{
    (void)serial; // the only caller passes none; no filter is applied
    LOG_DEBUG("libusb_get_device_list entry");
    libusb_device **devs = nullptr;
    ssize_t count = libusb_get_device_list(a_libusb_context, &devs);
    if (count <= 0) {
        if (devs != nullptr)
            libusb_free_device_list(devs, 1);
        return 0;
    }
    bool created = false;
    for (ssize_t i = 0; i < count; i++) {
        libusb_device_descriptor desc;
        char serial_code[TARVEX_SERIAL_BUFFER_SIZE];
        libusb_device_handle *fd = open_matching(devs[i], vids, pids, &desc, serial_code, false);
        if (fd == nullptr)
            continue;
        libusb_close(fd); // the serial was all the scan needed it for
        if (!is_item_exist(serial_code))
            created = add_entry(devs[i], &desc, serial_code) != nullptr || created;
    }
    // Entries hold their own device references, so the list can drop its own.
    libusb_free_device_list(devs, 1);
    return created ? 1 : 0;
}

// The handle probe work uses is opened in a libusb context of the probe's
// own. In one context only one thread at a time handles events, and each
// completion wakes every thread waiting in it: with several probes busy,
// every worker would wake for every other probe's transfers. The shared
// context still enumerates and identifies the probes; the probe's own finds
// the same device by bus and address. Null when that cannot be done (the
// caller then opens the device in the shared context, as before).
static libusb_device_handle *open_in_own_context(tarvex_usb_handle_s *h, const char *serial)
{
    if (h->own_context == nullptr && !new_context(&h->own_context)) {
        LOG_DEBUG("no libusb context of its own for %s", serial);
        return nullptr;
    }
    libusb_device **devs = nullptr;
    ssize_t count = libusb_get_device_list(h->own_context, &devs);
    uint8_t bus = libusb_get_bus_number(h->dev), address = libusb_get_device_address(h->dev);
    libusb_device_handle *fd = nullptr;
    for (ssize_t i = 0; i < count; i++) {
        if (libusb_get_bus_number(devs[i]) == bus && libusb_get_device_address(devs[i]) == address) {
            if (libusb_open(devs[i], &fd) != 0)
                fd = nullptr;
            break;
        }
    }
    if (devs != nullptr)
        libusb_free_device_list(devs, 1);
    return fd;
}

// Refresh phase 1: every handle is closed and every entry is sought.
static void refresh_begin()
{
    LOG_DEBUG("tarvex_libusb_refresh");
    list_for_each(pos, &tarvex_usb_list)
    {
        tarvex_usb *entry = list_entry<tarvex_usb>(pos);
        close_handle(entry);
        entry_step(entry, ENTRY_SOUGHT);
    }
}

// A registered probe found again: its entry, key, place and associations stay;
// the entry is bound to the device as it is now on the bus.
static void refresh_keep(libusb_device *dev, const char *serial)
{
    tarvex_usb *entry = get_tarvex_by_serial_name(serial);
    if (!entry_sought(entry)) {
        LOG_DEBUG("%s found twice on the bus: the first one found keeps the entry", serial);
        return;
    }
    LOG_DEBUG("keep tarvex_usb unchanged in device list %s", serial);
    rebind(entry, dev);
    entry_found_again(entry, RETURN_BY_REFRESH);
}

// Refresh phase 2: scan the bus, adding new probes and rebinding known ones.
static void refresh_scan()
{
    libusb_device **devs = nullptr;
    ssize_t count = libusb_get_device_list(a_libusb_context, &devs);
    for (ssize_t i = 0; i < count; i++) {
        libusb_device_descriptor desc;
        char serial_code[TARVEX_SERIAL_BUFFER_SIZE];
        libusb_device_handle *fd =
            open_matching(devs[i], tarvex_probe_vids, tarvex_probe_pids, &desc, serial_code, true);
        if (fd == nullptr)
            continue;
        libusb_close(fd);
        if (!is_item_exist(serial_code))
            add_entry(devs[i], &desc, serial_code);
        else
            refresh_keep(devs[i], serial_code);
    }
    if (devs != nullptr)
        libusb_free_device_list(devs, 1);
}

// Refresh phase 3: the entries of the probes not found are released.
static void refresh_remove()
{
    list_for_each_safe(pos, n, &tarvex_usb_list)
    {
        tarvex_usb *entry = list_entry<tarvex_usb>(pos);
        if (!entry_sought(entry))
            continue;
        entry_step(entry, ENTRY_MISSED);
        LOG_DEBUG("remove instance %p, usb_key %x, %s", static_cast<void *>(entry), entry->key, entry->serial);
        list_del(&entry->list);
        free_entry(entry);
    }
}

int tarvex_libusb_refresh()
{
    refresh_begin();
    refresh_scan();
    refresh_remove();
    return 0;
}

// ---- Watching the bus ---------------------------------------------------------
// A probe plugged in while the server runs is registered, and one that comes
// back is bound to its entry again, without a refresh; one that leaves stays
// in the registry (its requests fail) until a refresh or its return, as
// clients have always seen it. The loop looks at the bus when libusb reports
// an arrival (its hot-plug callback only wakes the loop: whichever thread
// handles the context's events runs it), or every poll interval where libusb
// has no hot-plug support. A look costs a copy of libusb's device list and
// its cached descriptors; only a device not seen before is opened, to read
// its serial number.

constexpr size_t BUS_SEEN_MAX = 64;
// A device just plugged in may not answer yet (its firmware starting, or a
// node not ready): it is tried again after 100 ms, then twice as long each
// time, 5 times (3.1 s in all).
constexpr uint64_t BUS_RETRY_FIRST_MS = 100;
constexpr unsigned BUS_RETRIES = 5;

enum look_outcome : uint8_t {
    LOOKED,         // registered, bound again, or unusable for good
    LOOK_WHEN_IDLE, // it came back: bound again once no probe work is in flight
    LOOK_LATER,     // it did not answer: tried again after the retry delay
};

struct bus_watch {
    // Devices of the table looked at already (each holds a reference): those
    // registered, bound or unusable. A device is looked at again only once
    // it has left and come back as a new device.
    std::array<libusb_device *, BUS_SEEN_MAX> seen;
    size_t seen_count;
    uint64_t poll_ms;  // 0: hot-plug events
    uint64_t next_ms;  // when the next look is due; UINT64_MAX: at the next event
    bool rebind_waits; // a probe that came back waits for the probe work in flight
    unsigned retries;  // looks in a row that met a device that did not answer
    int wake_fd;       // written by the hot-plug callback
    bool hotplug;
    libusb_hotplug_callback_handle handle;
};

static bus_watch watch = {{}, 0, 0, UINT64_MAX, false, 0, -1, false, 0};

static int on_arrival(libusb_context *, libusb_device *, libusb_hotplug_event, void *)
{
    eventfd_write(watch.wake_fd, 1);
    return 0; // stay registered
}

static bool was_seen(const libusb_device *dev)
{
    for (size_t i = 0; i < watch.seen_count; i++)
        if (watch.seen[i] == dev)
            return true;
    return false;
}

static tarvex_usb *entry_bound_to(const libusb_device *dev)
{
    list_for_each(pos, &tarvex_usb_list)
    {
        tarvex_usb *entry = list_entry<tarvex_usb>(pos);
        if (entry->dev->dev == dev)
            return entry;
    }
    return nullptr;
}

// The probe of `serial` came back as dev (fd open on it, to be closed) while
// its entry still holds the device it left as. While probe work is in flight
// the entry's handle must not change under its worker: a look tries again
// once none is.
static look_outcome bind_again(tarvex_usb *entry, libusb_device *dev, libusb_device_handle *fd)
{
    libusb_close(fd);
    if (entry_work_in_flight())
        return LOOK_WHEN_IDLE;
    close_handle(entry); // the handle of the device it left as
    rebind(entry, dev);
    // An open for its clients on its way: the device is looked at again
    // once that job is back, to try the open again if it failed.
    if (entry_found_again(entry, RETURN_PLUGGED_IN))
        return LOOK_WHEN_IDLE;
    return entry_open_failed(entry) ? LOOK_LATER : LOOKED;
}

// A device bound to an entry already (by a refresh, or by a look whose open
// for the entry's clients failed: that open is tried again, and the device
// looked at after the retry delay to see how it went).
static look_outcome look_at_bound(tarvex_usb *entry, bool last_try)
{
    if (entry_reopening(entry))
        return LOOK_WHEN_IDLE;
    if (!entry_open_failed(entry))
        return LOOKED;
    if (entry_work_in_flight())
        return LOOK_WHEN_IDLE;
    entry_open_again(entry);
    return last_try ? LOOKED : LOOK_LATER;
}

// A device of the table not looked at before.
static look_outcome look_at_new(libusb_device *dev)
{
    bool last_try = watch.retries >= BUS_RETRIES;
    tarvex_usb *bound = entry_bound_to(dev);
    if (bound != nullptr)
        return look_at_bound(bound, last_try);
    libusb_device_descriptor desc;
    char serial[TARVEX_SERIAL_BUFFER_SIZE];
    libusb_device_handle *fd = open_matching(dev, tarvex_probe_vids, tarvex_probe_pids, &desc, serial, true, !last_try);
    if (fd == nullptr)
        return last_try ? LOOKED : LOOK_LATER; // unusable for good: not tried again until it comes back
    tarvex_usb *entry = get_tarvex_by_serial_name(serial);
    if (entry != nullptr)
        return bind_again(entry, dev, fd);
    libusb_close(fd);
    tarvex_usb *added = add_entry(dev, &desc, serial);
    if (added == nullptr)
        return LOOKED;
    LOG_INFO("probe %u (%s) plugged in: registered without a refresh", added->index, added->serial);
    return LOOKED;
}

// The devices of the table on the bus now become the seen ones; with
// look_at, each one not seen before is looked at first. True when one did
// not answer.
static bool take_bus(bool look_at)
{
    libusb_device **devs = nullptr;
    ssize_t count = libusb_get_device_list(a_libusb_context, &devs);
    std::array<libusb_device *, BUS_SEEN_MAX> now_seen;
    size_t now_count = 0;
    bool later = false;
    watch.rebind_waits = false;
    for (ssize_t i = 0; i < count; i++) {
        if (!tarvex_match(devs[i], tarvex_probe_vids, tarvex_probe_pids))
            continue;
        look_outcome outcome = !look_at || was_seen(devs[i]) ? LOOKED : look_at_new(devs[i]);
        watch.rebind_waits = watch.rebind_waits || outcome == LOOK_WHEN_IDLE;
        later = later || outcome == LOOK_LATER;
        if (outcome == LOOKED && now_count < now_seen.size())
            now_seen[now_count++] = libusb_ref_device(devs[i]);
    }
    if (devs != nullptr)
        libusb_free_device_list(devs, 1);
    for (size_t i = 0; i < watch.seen_count; i++)
        libusb_unref_device(watch.seen[i]);
    watch.seen = now_seen;
    watch.seen_count = now_count;
    return later;
}

int tarvex_libusb_watch_start(uint64_t poll_ms, int *fds, int max)
{
    take_bus(false);
    watch.hotplug = poll_ms == 0 && libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0 &&
                    (watch.wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) >= 0 &&
                    libusb_hotplug_register_callback(a_libusb_context, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED,
                                                     static_cast<libusb_hotplug_flag>(0), TARVEX_VID,
                                                     LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, on_arrival,
                                                     nullptr, &watch.handle) == LIBUSB_SUCCESS;
    if (!watch.hotplug) {
        watch.poll_ms = poll_ms > 0 ? poll_ms : TARVEX_BUS_POLL_MS;
        watch.next_ms = monotonic_ms() + watch.poll_ms;
        LOG_INFO("usb: no hot-plug events; the bus is looked at every %llu ms for probes plugged in",
                 static_cast<unsigned long long>(watch.poll_ms));
        return 0;
    }
    int count = 0;
    fds[count++] = watch.wake_fd;
    const libusb_pollfd **polled = libusb_get_pollfds(a_libusb_context);
    for (int i = 0; polled != nullptr && polled[i] != nullptr && count < max; i++)
        fds[count++] = polled[i]->fd;
    libusb_free_pollfds(polled);
    LOG_DEBUG("usb: probes plugged in are found through hot-plug events");
    return count;
}

void tarvex_libusb_watch_ready(int fd)
{
    if (fd != watch.wake_fd) {
        struct timeval none = {0, 0};
        libusb_handle_events_timeout_completed(a_libusb_context, &none, nullptr);
        return;
    }
    eventfd_t events = 0;
    if (eventfd_read(watch.wake_fd, &events) == 0)
        watch.next_ms = 0;
}

uint64_t tarvex_libusb_next_look_ms()
{
    if (watch.rebind_waits && !entry_work_in_flight())
        return 0;
    return watch.next_ms;
}

void tarvex_libusb_look(uint64_t now)
{
    if (now < tarvex_libusb_next_look_ms())
        return;
    if (take_bus(true)) {
        watch.next_ms = now + (BUS_RETRY_FIRST_MS << watch.retries);
        watch.retries++;
        return;
    }
    watch.retries = 0;
    watch.next_ms = watch.hotplug ? UINT64_MAX : now + watch.poll_ms;
}

static void stop_watching()
{
    if (watch.hotplug)
        libusb_hotplug_deregister_callback(a_libusb_context, watch.handle);
    watch.hotplug = false;
    if (watch.wake_fd >= 0)
        close(watch.wake_fd);
    watch.wake_fd = -1;
    for (size_t i = 0; i < watch.seen_count; i++)
        libusb_unref_device(watch.seen[i]);
    watch.seen_count = 0;
}

int tarvex_libusb_real_open(tarvex_usb *tarvex)
{
    tarvex_usb_handle_s *h = tarvex->dev;
    h->fd = open_in_own_context(h, tarvex->serial);
    if (h->fd != nullptr)
        return ERROR_OK;
    int res = libusb_open(h->dev, &h->fd);
    if (res == 0)
        return ERROR_OK;
    h->fd = nullptr;
    LOG_DEBUG("libusb_open of %s: %s", tarvex->serial, libusb_error_name(res));
    return ERROR_FAIL;
}

int tarvex_libusb_set_configuration(libusb_device_handle *devh, int configuration)
{
    libusb_device *udev = libusb_get_device(devh);
    LOG_DEBUG("tarvex_libusb_set_configuration : dev = %p, configuration = %d", static_cast<void *>(devh),
              configuration);
    int current_config = -1;
    int retcode = libusb_get_configuration(devh, &current_config);
    if (retcode != 0)
        return retcode;
    libusb_config_descriptor *config = nullptr;
    retcode = libusb_get_config_descriptor(udev, static_cast<uint8_t>(configuration), &config);
    if (retcode != 0)
        return retcode;
    if (config == nullptr)
        return 0;
    if (current_config != config->bConfigurationValue) {
        LOG_DEBUG("tarvex_libusb_set_configuration : return %d", config->bConfigurationValue);
        retcode = libusb_set_configuration(devh, config->bConfigurationValue);
    }
    libusb_free_config_descriptor(config);
    LOG_DEBUG("tarvex_libusb_set_configuration : return %d", retcode);
    return retcode;
}

static bool interface_matches(const libusb_interface_descriptor *desc, int bclass, int subclass, int protocol)
{
    return (bclass <= 0 || desc->bInterfaceClass == bclass) &&
           (subclass <= 0 || desc->bInterfaceSubClass == subclass) &&
           (protocol <= 0 || desc->bInterfaceProtocol == protocol);
}

int tarvex_libusb_choose_interface(libusb_device_handle *devh, unsigned int *usb_read_ep, unsigned int *usb_write_ep,
                                   int bclass, int subclass, int protocol)
{
    libusb_device *udev = libusb_get_device(devh);
    LOG_DEBUG("tarvex_libusb_choose_interface : dev = %p", static_cast<void *>(devh));
    *usb_read_ep = 0;
    *usb_write_ep = 0;
    libusb_config_descriptor *config = nullptr;
    if (libusb_get_config_descriptor(udev, 0, &config) != 0 || config == nullptr)
        return ERROR_FAIL;
    LOG_DEBUG("tarvex_libusb_choose_interface : interface count %d", config->bNumInterfaces);
    for (int i = 0; i < config->bNumInterfaces; i++) {
        if (config->interface[i].num_altsetting < 1)
            continue;
        const libusb_interface_descriptor *desc = &config->interface[i].altsetting[0];
        if (!interface_matches(desc, bclass, subclass, protocol))
            continue;
        for (int k = 0; k < desc->bNumEndpoints; k++) {
            LOG_DEBUG("tarvex_libusb_choose_interface : ep[k] = %d", k);
            uint8_t address = desc->endpoint[k].bEndpointAddress;
            bool is_in = (address & LIBUSB_ENDPOINT_IN) != 0;
            LOG_DEBUG("usb ep %s %02x", is_in ? "in" : "out", address);
            *(is_in ? usb_read_ep : usb_write_ep) = address;
            if (*usb_read_ep != 0 && *usb_write_ep != 0) {
                LOG_DEBUG("Claiming interface %d", desc->bInterfaceNumber);
                libusb_claim_interface(devh, desc->bInterfaceNumber);
                libusb_free_config_descriptor(config);
                return 0;
            }
        }
    }
    libusb_free_config_descriptor(config);
    return ERROR_FAIL;
}

int tarvex_libusb_bulk_write(libusb_device_handle *dev, int ep, const uint8_t *bytes, int size, int timeout,
                             int *result)
{
    int transferred = 0;
    int ret = libusb_bulk_transfer(dev, static_cast<uint8_t>(ep), const_cast<uint8_t *>(bytes), size, &transferred,
                                   static_cast<unsigned>(timeout));
    if (result != nullptr)
        *result = ret;
    if (ret == USB_BULK_DEVICE_GONE) {
        LOG_DEBUG("device disconnected");
        return TARVEX_USB_DEVICE_GONE;
    }
    if (transferred == 0)
        LOG_DEBUG("transferred = %d", 0);
    return transferred;
}

int tarvex_libusb_bulk_read(libusb_device_handle *dev, int ep, uint8_t *bytes, int size, int timeout, int *result)
{
    int transferred = 0;
    int ret =
        libusb_bulk_transfer(dev, static_cast<uint8_t>(ep), bytes, size, &transferred, static_cast<unsigned>(timeout));
    if (result != nullptr)
        *result = ret;
    if (ret == USB_BULK_DEVICE_GONE) {
        LOG_DEBUG("device disconnected");
        return TARVEX_USB_DEVICE_GONE;
    }
    if (transferred < size)
        LOG_DEBUG("wrongly transferred = %d, err = %d", transferred, ret);
    return transferred;
}

int tarvex_libusb_control_transfer(libusb_device_handle *dev, uint8_t request_type, uint8_t request, uint16_t wValue,
                                   uint16_t wIndex, uint8_t *bytes, uint16_t size, unsigned int timeout)
{
    int ret = libusb_control_transfer(dev, request_type, request, wValue, wIndex, bytes, size, timeout);
    return ret < 0 ? 0 : ret;
}

int tarvex_libusb_get_product_id(libusb_device *dev, uint16_t *pid)
{
    libusb_device_descriptor desc;
    if (libusb_get_device_descriptor(dev, &desc) != 0)
        return ERROR_NO_USB;
    *pid = desc.idProduct;
    return 0;
}
