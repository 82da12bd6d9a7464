#include "libusb1_common.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "list_tarvex.h"
#include "tarvex_log.h"
#include "probe_hold.h"
#include "probe_worker.h"
#include "tarvex_api.h"
#include "tarvex_connection.h"
#include "tarvex_usb.h"

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
        return -19;
    const libusb_version *v = libusb_get_version();
    LOG_DEBUG("libusb version : %d.%d.%d.%d : %s", v->major, v->minor, v->micro, v->nano, v->describe);
    return 0;
}

// Releases an entry and everything it owns; its associations stop reaching it.
static void free_entry(tarvex_usb *entry)
{
    // Entries are released only while no probe work is in flight.
    probe_worker_stop(entry);
    probe_hold_forget(entry);
    invalidate_connections_of(entry);
    if (entry->dev->fd != nullptr)
        libusb_close(entry->dev->fd);
    if (entry->dev->dev != nullptr)
        libusb_unref_device(entry->dev->dev);
    if (entry->own_context != nullptr)
        libusb_exit(entry->own_context);
    free(entry->param);
    free(entry->dev);
    free(entry->serial);
    free(entry);
}

void tarvex_libusb_exit()
{
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
// descriptor could not be read (the device is then skipped).
static bool read_serial(libusb_device_handle *fd, const libusb_device_descriptor *desc, char *serial_code)
{
    uint8_t serial_number[TARVEX_SERIAL_BUFFER_SIZE];
    memset(serial_number, 0, sizeof(serial_number));
    int got = libusb_control_transfer(fd, USB_REQUEST_TYPE_STANDARD_IN, USB_REQUEST_GET_DESCRIPTOR,
                                      static_cast<uint16_t>(USB_DESCRIPTOR_STRING | desc->iSerialNumber),
                                      USB_LANGUAGE_EN_US, serial_number, sizeof(serial_number), USB_STRING_TIMEOUT_MS);
    if (got <= 0 || compute_serial_str(serial_number, got, serial_code) != 0) {
        LOG_ERROR("tarvex_usb : serial number of device %04x:%04x unreadable (%d), device skipped", desc->idVendor,
                  desc->idProduct, got);
        return false;
    }
    return true;
}

// Makes a registry entry for a device whose handle the scan holds open.
static tarvex_usb *create_entry(libusb_device *dev, libusb_device_handle *fd, const libusb_device_descriptor *desc,
                                const char *serial)
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
    handle->fd = fd;
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
    return entry;
}

// Opens a matching device and reads its serial; the handle, or null.
static libusb_device_handle *open_matching(libusb_device *dev, const uint16_t *vids, const uint16_t *pids,
                                           libusb_device_descriptor *desc, char *serial_code, bool refreshing)
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
    if (!read_serial(fd, desc, serial_code)) {
        libusb_close(fd);
        return nullptr;
    }
    LOG_DEBUG("libusb_open success %s", serial_code);
    return fd;
}

// Appends a new entry; false when none could be made (the handle is closed).
static bool add_entry(libusb_device *dev, libusb_device_handle *fd, const libusb_device_descriptor *desc,
                      const char *serial, bool refreshing)
{
    tarvex_usb *entry = create_entry(dev, fd, desc, serial);
    if (entry == nullptr) {
        LOG_ERROR("tarvex_usb : no memory for the entry of %s", serial);
        libusb_close(fd);
        return false;
    }
    entry->refresh = refreshing;
    LOG_DEBUG("add to list vendor_id 0x%x, devs 0x%x, %s", desc->idVendor, desc->idProduct, serial);
    LOG_DEBUG("new_tarvex->dev->dev = %p, new_tarvex->dev->fd = %p", static_cast<void *>(entry->dev->dev),
              static_cast<void *>(entry->dev->fd));
    list_add_tail(&entry->list, &tarvex_usb_list);
    return true;
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
        if (is_item_exist(serial_code)) {
            libusb_close(fd);
            continue;
        }
        created = add_entry(devs[i], fd, &desc, serial_code, false) || created;
    }
    // Entries hold their own device references, so the list can drop its own.
    libusb_free_device_list(devs, 1);
    if (!created)
        return 0;
    list_for_each(pos, &tarvex_usb_list)
    {
        tarvex_usb *entry = list_entry<tarvex_usb>(pos);
        if (!entry->opened && entry->dev->fd != nullptr) {
            LOG_DEBUG("close usb device %p, %p", static_cast<void *>(entry->dev->dev),
                      static_cast<void *>(entry->dev->fd));
            libusb_close(entry->dev->fd);
            entry->dev->fd = nullptr;
        }
    }
    return 1;
}

// The handle probe work uses is opened in a libusb context of the probe's
// own. In one context only one thread at a time handles events, and each
// completion wakes every thread waiting in it: with several probes busy,
// every worker would wake for every other probe's transfers. The shared
// context still enumerates and identifies the probes; the probe's own finds
// the same device by bus and address. Null when that cannot be done (the
// caller then opens the device in the shared context, as before).
static libusb_device_handle *open_in_own_context(tarvex_usb *entry)
{
    if (entry->own_context == nullptr && !new_context(&entry->own_context)) {
        LOG_DEBUG("no libusb context of its own for %s", entry->serial);
        return nullptr;
    }
    libusb_device **devs = nullptr;
    ssize_t count = libusb_get_device_list(entry->own_context, &devs);
    uint8_t bus = libusb_get_bus_number(entry->dev->dev), address = libusb_get_device_address(entry->dev->dev);
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

// Refresh phase 1: every open handle is closed and marked for re-opening.
static void refresh_release()
{
    LOG_DEBUG("tarvex_libusb_refresh");
    list_for_each(pos, &tarvex_usb_list)
    {
        tarvex_usb *entry = list_entry<tarvex_usb>(pos);
        LOG_DEBUG("get_tarvex_by_name usb instance %p, usb_key %x", static_cast<void *>(entry), entry->key);
        entry->refresh = false;
        if (entry->dev->fd != nullptr) {
            LOG_DEBUG("close before refresh %p", static_cast<void *>(entry->dev));
            libusb_close(entry->dev->fd);
            entry->dev->fd = nullptr;
            entry->to_reopen = true;
        }
    }
}

// A registered probe found again: its entry, key, place and associations stay;
// the handle is rebound to the device as it is now on the bus.
static void refresh_keep(libusb_device *dev, libusb_device_handle *fd, const char *serial)
{
    LOG_DEBUG("keep tarvex_usb unchanged in device list %s", serial);
    tarvex_usb *entry = get_tarvex_by_serial_name(serial);
    LOG_DEBUG("Vendor_id 0x%x, devs 0x%x, %s", entry->dev_desc.idVendor, entry->dev_desc.idProduct, entry->serial);
    LOG_DEBUG("dev %p, fd %p", static_cast<void *>(entry->dev->dev), static_cast<void *>(entry->dev->fd));
    if (entry->refresh || entry->dev->fd != nullptr) {
        // The same serial twice on the bus: the first one found keeps the entry.
        libusb_close(fd);
        return;
    }
    entry->refresh = true;
    libusb_device *old = entry->dev->dev;
    entry->dev->dev = libusb_ref_device(dev);
    if (old != nullptr)
        libusb_unref_device(old);
    entry->dev->fd = fd;
    entry->opened = false;
    LOG_DEBUG("new dev %p, new fd %p", static_cast<void *>(entry->dev->dev), static_cast<void *>(entry->dev->fd));
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
        if (!is_item_exist(serial_code))
            add_entry(devs[i], fd, &desc, serial_code, true);
        else
            refresh_keep(devs[i], fd, serial_code);
    }
    if (devs != nullptr)
        libusb_free_device_list(devs, 1);
}

// Refresh phase 3: gone probes move to the delete list, the others are
// re-opened (those that had an open handle) or closed again.
static void refresh_settle(list_head *usb_delete_list)
{
    LOG_DEBUG("count tarvex_usb_list :%ld", static_cast<long>(list_count(&tarvex_usb_list)));
    list_for_each_safe(pos, n, &tarvex_usb_list)
    {
        tarvex_usb *entry = list_entry<tarvex_usb>(pos);
        if (!entry->refresh) {
            LOG_DEBUG("move usb device to usb_delete_list %p, %x", static_cast<void *>(entry), entry->key);
            list_move(&entry->list, usb_delete_list);
        } else if (entry->to_reopen) {
            entry->opened = true;
            LOG_DEBUG("usb already opened. %p", static_cast<void *>(entry->dev));
            libusb_device_handle *own = open_in_own_context(entry);
            if (own != nullptr) {
                libusb_close(entry->dev->fd); // the scan's, in the shared context
                entry->dev->fd = own;
            }
            int res = tarvex_usb_open(entry);
            if (res != 0)
                LOG_ERROR("Unable to open usb %p, err_code %d", static_cast<void *>(entry->dev), res);
        } else if (!entry->opened) {
            LOG_DEBUG("close usb device %p, %p", static_cast<void *>(entry->dev->dev),
                      static_cast<void *>(entry->dev->fd));
            libusb_close(entry->dev->fd);
            entry->dev->fd = nullptr;
        }
    }
}

// Refresh phase 4: release the entries of the probes that are gone.
static void refresh_remove(list_head *usb_delete_list)
{
    LOG_DEBUG("List USB :%ld", static_cast<long>(list_count(&tarvex_usb_list)));
    LOG_DEBUG("Remove process :%ld", static_cast<long>(list_count(usb_delete_list)));
    list_for_each_safe(pos, n, usb_delete_list)
    {
        tarvex_usb *entry = list_entry<tarvex_usb>(pos);
        LOG_DEBUG("remove instance %p, usb_key %x, %s", static_cast<void *>(entry), entry->key, entry->serial);
        list_del(&entry->list);
        free_entry(entry);
    }
    LOG_DEBUG("return %d", 0);
}

int tarvex_libusb_refresh()
{
    refresh_release();
    refresh_scan();
    list_head usb_delete_list = LIST_HEAD_INIT(usb_delete_list);
    refresh_settle(&usb_delete_list);
    refresh_remove(&usb_delete_list);
    return 0;
}

int tarvex_libusb_real_open(tarvex_usb *tarvex)
{
    tarvex->dev->fd = open_in_own_context(tarvex);
    if (tarvex->dev->fd != nullptr)
        return 0;
    int res = libusb_open(tarvex->dev->dev, &tarvex->dev->fd);
    if (res != 0)
        tarvex->dev->fd = nullptr;
    switch (res) {
    case 0:
        LOG_DEBUG("libusb_open OK");
        break;
    case LIBUSB_ERROR_ACCESS:
        LOG_DEBUG("The user has insufficient permissions");
        break;
    case LIBUSB_ERROR_NO_DEVICE:
        LOG_DEBUG("The device has been disconnected");
        break;
    case LIBUSB_ERROR_NO_MEM:
        LOG_DEBUG("On memory allocation failure");
        break;
    default:
        LOG_DEBUG("libusb_open error");
        break;
    }
    LOG_DEBUG("return %d", res);
    return res;
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
        return -4;
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
    return -4;
}

int tarvex_libusb_bulk_write(libusb_device_handle *dev, int ep, const uint8_t *bytes, int size, int timeout)
{
    int transferred = 0;
    int ret = libusb_bulk_transfer(dev, static_cast<uint8_t>(ep), const_cast<uint8_t *>(bytes), size, &transferred,
                                   static_cast<unsigned>(timeout));
    if (ret == USB_BULK_DEVICE_GONE) {
        LOG_DEBUG("device disconnected");
        return -1;
    }
    if (transferred == 0)
        LOG_DEBUG("transferred = %d", 0);
    return transferred;
}

int tarvex_libusb_bulk_read(libusb_device_handle *dev, int ep, uint8_t *bytes, int size, int timeout)
{
    int transferred = 0;
    int ret =
        libusb_bulk_transfer(dev, static_cast<uint8_t>(ep), bytes, size, &transferred, static_cast<unsigned>(timeout));
    if (ret == USB_BULK_DEVICE_GONE) {
        LOG_DEBUG("device disconnected");
        return -1;
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
        return -19;
    *pid = desc.idProduct;
    return 0;
}
