#include "tarvex_api.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "binarybuffer.h"
#include "libusb1_common.h"
#include "tarvex_log.h"
#include "sock_info.h"
#include "tarvex_usb.h"

list_head tarvex_usb_list = LIST_HEAD_INIT(tarvex_usb_list);

// Client status for "no probe at that position".
constexpr unsigned long TARVEX_DEVICE_INFO_NO_DEVICE = 0x1003;

// ---- Registry ----------------------------------------------------------------

uint32_t jenkins_one_at_a_time_hash(const char *key, size_t len)
{
    uint32_t hash = 0;
    for (size_t i = 0; i < len; i++) {
        // Bytes 0x80..0xFF add 256 less than their unsigned value; keys
        // already handed to clients depend on this.
        hash += static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(key[i])));
        hash += hash << 10;
        hash ^= hash >> 6;
    }
    hash += hash << 3;
    hash ^= hash >> 11;
    hash += hash << 15;
    return hash;
}

static uint32_t serial_key(const char *serial)
{
    return jenkins_one_at_a_time_hash(serial, strlen(serial));
}

tarvex_usb *get_tarvex_by_name(uint32_t key_to_find)
{
    list_for_each(pos, &tarvex_usb_list)
    {
        tarvex_usb *usb = list_entry<tarvex_usb>(pos);
        LOG_DEBUG("get_tarvex_by_name usb instance %p, key %x, usb_key %x", static_cast<void *>(usb), key_to_find,
                  usb->key);
        if (usb->key == key_to_find)
            return usb;
    }
    LOG_DEBUG("usb not found : 0x%x", key_to_find);
    return nullptr;
}

tarvex_usb *get_tarvex_by_serial_name(const char *serial)
{
    uint32_t key = serial_key(serial);
    list_for_each(pos, &tarvex_usb_list)
    {
        tarvex_usb *usb = list_entry<tarvex_usb>(pos);
        LOG_DEBUG("get_tarvex_by_serial_name usb instance %p, key %x", static_cast<void *>(usb), usb->key);
        if (usb->key == key)
            return usb;
    }
    LOG_DEBUG("usb not found : 0x%lx", static_cast<unsigned long>(key));
    return nullptr;
}

bool is_item_exist(const char *key)
{
    return get_tarvex_by_name(serial_key(key)) != nullptr;
}

tarvex_usb *nth(unsigned nth)
{
    unsigned position = 0;
    list_for_each(pos, &tarvex_usb_list)
    {
        if (position == nth)
            return list_entry<tarvex_usb>(pos);
        position++;
    }
    return nullptr;
}

// One record per serial text ever registered; never released.
struct probe_index_record {
    list_head link; // must stay first: in probe_indices
    unsigned index;
    char serial[TARVEX_SERIAL_MAX_CHARS + 1];
};

static list_head probe_indices = LIST_HEAD_INIT(probe_indices);
static unsigned next_probe_index;

static const probe_index_record *find_index_record(const char *serial)
{
    list_for_each(pos, &probe_indices)
    {
        const auto *record = list_entry<probe_index_record>(pos);
        if (strcmp(record->serial, serial) == 0)
            return record;
    }
    return nullptr;
}

unsigned probe_index_of(const char *serial)
{
    const probe_index_record *found = find_index_record(serial);
    if (found != nullptr)
        return found->index;
    auto *record = static_cast<probe_index_record *>(calloc(1, sizeof(probe_index_record)));
    if (record == nullptr) // not remembered: the next probe may take the number too
        return next_probe_index;
    record->index = next_probe_index++;
    snprintf(record->serial, sizeof(record->serial), "%s", serial);
    list_add_tail(&record->link, &probe_indices);
    return record->index;
}

tarvex_usb *get_tarvex_by_index(unsigned index)
{
    list_for_each(pos, &tarvex_usb_list)
    {
        tarvex_usb *usb = list_entry<tarvex_usb>(pos);
        if (usb->index == index)
            return usb;
    }
    return nullptr;
}

const char *probe_index_serial(unsigned index)
{
    list_for_each(pos, &probe_indices)
    {
        const auto *record = list_entry<probe_index_record>(pos);
        if (record->index == index)
            return record->serial;
    }
    return nullptr;
}

bool tarvex_check(const tarvex_usb *device, uint32_t usb_key)
{
    return device != nullptr && device->key == usb_key;
}

uint32_t tarvex_get_nb_devices()
{
    return static_cast<uint32_t>(list_count(&tarvex_usb_list));
}

unsigned long tarvex_get_device_info(unsigned device_id, tarvex_device_info *info)
{
    tarvex_usb *usb = nth(device_id);
    if (usb == nullptr)
        return TARVEX_DEVICE_INFO_NO_DEVICE;
    LOG_DEBUG("tarvex_get_device_info(device_id : %d) return %p", device_id, static_cast<void *>(usb));
    size_t len = strnlen(usb->serial, TARVEX_SERIAL_FIELD_SIZE - 1);
    memcpy(info->enum_unique_id, usb->serial, len);
    info->enum_unique_id[len] = '\0';
    info->vendor_id = usb->dev_desc.idVendor;
    info->product_id = usb->dev_desc.idProduct;
    info->device_used = 0;
    info->tarvex_usb_id = usb->key;
    return 1;
}

uint32_t tarvex_get_device_info2(unsigned device_id, tarvex_device_info *info)
{
    if (tarvex_get_device_info(device_id, info) != 1)
        return 0;
    return info->tarvex_usb_id;
}

constexpr size_t DEVICE_INFO_ID_OFFSET = 0;
constexpr size_t DEVICE_INFO_SERIAL_OFFSET = 4;
constexpr size_t DEVICE_INFO_VID_OFFSET = DEVICE_INFO_SERIAL_OFFSET + TARVEX_SERIAL_FIELD_SIZE;
constexpr size_t DEVICE_INFO_PID_OFFSET = DEVICE_INFO_VID_OFFSET + 2;
constexpr size_t DEVICE_INFO_USED_OFFSET = DEVICE_INFO_PID_OFFSET + 2;
static_assert(DEVICE_INFO_USED_OFFSET + 1 == TARVEX_DEVICE_INFO_SIZE, "device info wire record is 41 bytes");

void tarvex_device_info_encode(const tarvex_device_info *info, uint8_t *out)
{
    h_u32_to_le(out + DEVICE_INFO_ID_OFFSET, info->tarvex_usb_id);
    memcpy(out + DEVICE_INFO_SERIAL_OFFSET, info->enum_unique_id, TARVEX_SERIAL_FIELD_SIZE);
    h_u16_to_le(out + DEVICE_INFO_VID_OFFSET, info->vendor_id);
    h_u16_to_le(out + DEVICE_INFO_PID_OFFSET, info->product_id);
    out[DEVICE_INFO_USED_OFFSET] = info->device_used;
}

// ---- Device API --------------------------------------------------------------

long tarvex_init()
{
    return tarvex_libusb_open(tarvex_probe_vids, tarvex_probe_pids, nullptr);
}

long tarvex_refresh()
{
    return tarvex_libusb_refresh();
}

// Opens the USB device and then the probe. Returns true on success; on
// failure the handle is left closed.
static bool open_probe(tarvex_usb *usb)
{
    int res = tarvex_libusb_real_open(usb);
    if (res == ERROR_OK)
        res = tarvex_usb_open(usb);
    if (res != ERROR_OK) {
        LOG_DEBUG("open of device %x failed: %s", usb->key, result_name(res));
        return false;
    }
    LOG_DEBUG("Opened device %x", usb->key);
    return true;
}

uint32_t tarvex_open_begin(uint32_t device_id, _sock_info *psock_info, tarvex_usb **usb_out)
{
    tarvex_usb *usb = get_tarvex_by_name(device_id);
    *usb_out = usb;
    if (usb == nullptr) {
        LOG_DEBUG("Unkown device %d", device_id);
        return 0;
    }
    LOG_DEBUG("tarvex_open_device  %x (usb) with %x (psock_info)", usb->key,
              psock_info != nullptr ? psock_info->key : 0);
    tarvex_assoc *assoc = add_connection(usb, psock_info);
    if (assoc == nullptr) {
        LOG_ERROR("no memory for an association with device %x", device_id);
        return 0;
    }
    return assoc->key;
}

bool tarvex_open_probe_part(tarvex_usb *usb)
{
    if (usb->dev->fd != nullptr) {
        LOG_DEBUG("real_open : no reopen");
        return true;
    }
    return open_probe(usb);
}

tarvex_assoc *tarvex_open_end(uint32_t assoc_key, bool opened)
{
    tarvex_assoc *assoc = get_connection_by_name(assoc_key);
    if (assoc == nullptr)
        return nullptr;
    if (!opened) {
        free_connection(assoc);
        return nullptr;
    }
    if (assoc->tarvex_usb != nullptr)
        entry_step(assoc->tarvex_usb, ENTRY_OPENED);
    return assoc;
}

bool tarvex_close_begin(uint32_t assoc_id, assoc_close *c)
{
    LOG_DEBUG("exit_mode %d ", assoc_id);
    if (get_connection_by_name(assoc_id) == nullptr)
        LOG_ERROR("assoc null");
    LOG_DEBUG("call close_connection : assoc_id %d", assoc_id);
    return close_connection_begin(assoc_id, true, c);
}

static uint8_t request_endpoint(const tarvex_usb_handle_s *h, uint32_t input_request)
{
    if (input_request == REQUEST_READ)
        return static_cast<uint8_t>(h->rx_ep);
    if (input_request == REQUEST_READ_EP3)
        return h->trace_ep;
    return static_cast<uint8_t>(h->tx_ep);
}

tarvex_usb *tarvex_assoc_probe(uint32_t assoc_id)
{
    tarvex_assoc *assoc = get_connection_by_name(assoc_id);
    if (assoc == nullptr) {
        LOG_ERROR("assoc null");
        return nullptr;
    }
    if (!assoc->valid || assoc->tarvex_usb == nullptr) {
        LOG_ERROR("invalid psock_info->key by a device left : %x", assoc->key);
        return nullptr;
    }
    return assoc->tarvex_usb;
}

long tarvex_send_command_to(tarvex_usb *usb, uint32_t assoc_id, const device_request_2 *request, const uint8_t *cmd,
                            uint8_t *buffer)
{
    tarvex_usb_handle_s *h = usb->dev;
    if (h->fd == nullptr) {
        LOG_ERROR("device %x of assoc %x is not open", usb->key, assoc_id);
        return ERROR_FAIL;
    }
    h->direction = request_endpoint(h, request->input_request);
    if (request->input_request == REQUEST_READ_EP3) {
        LOG_DEBUG("call REQUEST_READ_EP3 : length %ud, endpoint %d", request->buffer_size, h->direction);
        return tarvex_usb_read(h, buffer, request->buffer_size);
    }
    memcpy(h->cmdbuf, cmd, TARVEX_CMD_SIZE);
    // The data area of a short request may hold fewer than four bytes.
    const uint8_t *shown = request->buffer_size >= 4 ? buffer : cmd;
    LOG_DEBUG("cmd : %x, %x, %x, %x", shown[0], shown[1], shown[2], shown[3]);
    return tarvex_usb_xfer(h, buffer, request->buffer_size);
}

long tarvex_speed_of(tarvex_usb_handle_s *h, int khz, bool query, uint32_t key)
{
    if (h->jtag_api != TARVEX_JTAG_API_V3)
        return tarvex_speed_v2(h, khz, query, key);
    uint32_t freq_map[TARVEX_COM_FREQ_SLOTS];
    tarvex_get_com_freq(h, 0, freq_map);
    return tarvex_speed_v3(h, freq_map, khz, query, key);
}
