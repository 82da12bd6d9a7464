#include "tarvex_usb.h"

#include <climits>
#include <cstring>

#include <unistd.h>

#include "binarybuffer.h"
#include "libusb1_common.h"
#include "list_tarvex.h"
#include "log.h"

// ---- Command blocks and transfers --------------------------------------------

void tarvex_usb_init_buffer(tarvex_usb_handle_s *h, uint8_t direction, uint32_t size)
{
    (void)size;
    h->direction = direction;
    h->cmdidx = 0;
    memset(h->cmdbuf, 0, sizeof(h->cmdbuf));
    memset(h->databuf, 0, sizeof(h->databuf));
}

static void cmd_put_u8(tarvex_usb_handle_s *h, uint8_t value)
{
    h->cmdbuf[h->cmdidx++] = value;
}

static void cmd_put_key(tarvex_usb_handle_s *h, uint32_t key)
{
    h_u32_to_le(h->cmdbuf + TARVEX_KEY_OFFSET, key);
}

// Starts a command whose reply (or status) comes back on rx_ep.
static void cmd_start_read(tarvex_usb_handle_s *h, uint8_t command)
{
    tarvex_usb_init_buffer(h, static_cast<uint8_t>(h->rx_ep), 0);
    cmd_put_u8(h, command);
}

// A data phase must fit the buffer it lands in or comes from; a read into
// databuf is bounded by its size.
static bool xfer_size_ok(const tarvex_usb_handle_s *h, const uint8_t *buf, uint32_t size)
{
    if (size > INT_MAX)
        return false;
    return buf != h->databuf || size <= sizeof(h->databuf);
}

int tarvex_usb_xfer_rw(tarvex_usb_handle_s *h, int cmdsize, uint8_t *buf, uint32_t size)
{
    if (h->fd == nullptr || !xfer_size_ok(h, buf, size)) {
        LOG_DEBUG("no transfer: device closed or size %u too large", size);
        return ERROR_FAIL;
    }
    int n = tarvex_libusb_bulk_write(h->fd, static_cast<int>(h->tx_ep), h->cmdbuf, cmdsize, TARVEX_CMD_TIMEOUT_MS);
    if (n != cmdsize) {
        LOG_DEBUG("cmd bulk write failed");
        return ERROR_FAIL;
    }
    if (size == 0)
        return ERROR_OK;
    int want = static_cast<int>(size);
    if (h->direction == static_cast<uint8_t>(h->tx_ep)) {
        if (tarvex_libusb_bulk_write(h->fd, static_cast<int>(h->tx_ep), buf, want, TARVEX_CMD_TIMEOUT_MS) != want) {
            LOG_DEBUG("bulk write failed");
            return ERROR_FAIL;
        }
    } else if (h->direction == static_cast<uint8_t>(h->rx_ep)) {
        if (tarvex_libusb_bulk_read(h->fd, static_cast<int>(h->rx_ep), buf, want, TARVEX_CMD_TIMEOUT_MS) != want) {
            LOG_DEBUG("bulk read failed");
            return ERROR_FAIL;
        }
    }
    return ERROR_OK;
}

int tarvex_usb_xfer(tarvex_usb_handle_s *h, uint8_t *buf, uint32_t size)
{
    return tarvex_usb_xfer_rw(h, TARVEX_CMD_SIZE, buf, size);
}

// One bulk read of exactly `size` bytes from the trace endpoint.
static bool read_trace_ep(tarvex_usb_handle_s *h, uint8_t *buf, uint32_t size)
{
    if (h->fd == nullptr || !xfer_size_ok(h, buf, size))
        return false;
    int want = static_cast<int>(size);
    return tarvex_libusb_bulk_read(h->fd, h->trace_ep, buf, want, TARVEX_CMD_TIMEOUT_MS) == want;
}

int tarvex_usb_read(tarvex_usb_handle_s *h, uint8_t *buf, uint32_t size)
{
    if (!read_trace_ep(h, buf, size)) {
        LOG_DEBUG("bulk read failed");
        return ERROR_FAIL;
    }
    return ERROR_OK;
}

int tarvex_usb_read_trace(tarvex_usb_handle_s *h, uint8_t *buf, uint32_t size)
{
    // Older probes have no trace endpoint worth reading: refuse before any transfer.
    if (h->version.tarvex < 2) {
        LOG_DEBUG("trace read needs probe generation 2, have %d", h->version.tarvex);
        return ERROR_FAIL;
    }
    if (!read_trace_ep(h, buf, size)) {
        LOG_ERROR("bulk trace read failed");
        return ERROR_FAIL;
    }
    return ERROR_OK;
}

// ---- Status bytes and wait retry ---------------------------------------------

struct tarvex_status_row {
    uint8_t status;
    int result;
    const char *message; // null: success without a log line; "%x" takes the status
};

// Probe status byte, the result it means, and its debug line. A status not
// listed is "unknown/unexpected".
static constexpr tarvex_status_row tarvex_status_table[] = {
    {0x00, ERROR_OK, nullptr},
    {TARVEX_STATUS_OK, ERROR_OK, nullptr},
    {TARVEX_STATUS_SWD_FAULT, ERROR_FAIL, "SWD fault response (0x%x)"},
    {0x02, ERROR_FAIL, "JTAG_INTERNAL_ERROR (SPI)"},
    {0x03, ERROR_FAIL, "JTAG_INTERNAL_ERROR (DMA)"},
    {0x04, ERROR_FAIL, "UNKNOWN_JTAG_CHAIN"},
    {0x05, ERROR_FAIL, "NO_DEVICE_CONNECTED"},
    {0x06, ERROR_FAIL, "JTAG_INTERNAL_ERROR"},
    {TARVEX_JTAG_CMD_WAIT, ERROR_WAIT, "wait status TARVEX_JTAG_CMD_WAIT (0x%x)"},
    {0x08, ERROR_FAIL, "JTAG_CMD_ERROR"},
    {0x09, ERROR_FAIL, "JTAG_GET_IDCODE_ERROR"},
    {0x0A, ERROR_FAIL, "JTAG_ALIGNMENT_ERROR"},
    {0x0B, ERROR_FAIL, "JTAG_DBG_POWER_ERROR"},
    {0x0C, ERROR_FAIL, "Jtag write error"},
    {0x0D, ERROR_FAIL, "Jtag verify error"},
    {0x0E, ERROR_FAIL, "JTAG_ALREADY_OPENED_IN_OTHER_MODE"},
    {TARVEX_SWD_AP_WAIT, ERROR_WAIT, "wait status SWD_AP_WAIT (0x%x)"},
    {0x11, ERROR_OK, "SWD_AP_FAULT"},
    {0x12, ERROR_FAIL, "SWD_AP_ERROR"},
    {0x13, ERROR_FAIL, "SWD_AP_PARITY_ERROR"},
    {TARVEX_SWD_DP_WAIT, ERROR_WAIT, "wait status SWD_DP_WAIT (0x%x)"},
    {0x15, ERROR_FAIL, "SWD_DP_FAULT"},
    {0x16, ERROR_FAIL, "SWD_DP_ERROR"},
    {0x17, ERROR_FAIL, "SWD_DP_PARITY_ERROR"},
    {0x18, ERROR_FAIL, "SWD_AP_WDATA_ERROR"},
    {0x19, ERROR_FAIL, "SWD_AP_STICKY_ERROR"},
    {0x1A, ERROR_FAIL, "SWD_AP_STICKYORUN_ERROR"},
    {0x1B, ERROR_FAIL, "AP_ALREADY_USED"},
    {0x1C, ERROR_FAIL, "TRACE_AP_TURNAROUND"},
    {0x1D, ERROR_FAIL, "BAD_AP"},
};

int tarvex_usb_error_check(tarvex_usb_handle_s *h)
{
    uint8_t status = h->databuf[0];
    for (const tarvex_status_row &row : tarvex_status_table) {
        if (row.status != status)
            continue;
        if (row.message != nullptr)
            LOG_DEBUG(row.message, status);
        return row.result;
    }
    LOG_DEBUG("unknown/unexpected TARVEX status code 0x%x", status);
    return ERROR_FAIL;
}

int tarvex_cmd_allow_retry(tarvex_usb_handle_s *h, uint8_t *buf, uint32_t size)
{
    for (unsigned retries = 0;; retries++) {
        int res = tarvex_usb_xfer(h, buf, size);
        if (res != ERROR_OK)
            return res;
        res = tarvex_usb_error_check(h);
        if (res != ERROR_WAIT)
            return res;
        uint32_t delay = tarvex_wait_delay_us(retries);
        if (delay == 0)
            return ERROR_WAIT;
        usleep(delay);
    }
}

// ---- Open, version, voltage, LED -------------------------------------------

static void log_claim_failure(int res)
{
    if (res == LIBUSB_ERROR_NOT_FOUND)
        LOG_DEBUG("libusb_claim_interface retrun LIBUSB_ERROR_NOT_FOUND");
    else if (res == LIBUSB_ERROR_NO_DEVICE)
        LOG_DEBUG("libusb_claim_interface retrun LIBUSB_NO_DEVICE");
    else if (res == LIBUSB_ERROR_BUSY)
        LOG_DEBUG("libusb_claim_interface retrun LIBUSB_ERROR_BUSY");
    else
        LOG_DEBUG("libusb_claim_interface retrun LIBUSB_ERROR_ERROR");
    LOG_ERROR("claim interface failed");
}

// Generation 2.1 and 3 probes move their OUT and trace endpoints down by one.
static void set_default_endpoints(tarvex_usb_handle_s *h)
{
    bool low_endpoints = h->pid == TARVEX_V21_PID || h->pid == TARVEX_V3_PID;
    h->tx_ep = low_endpoints ? 1 : 2;
    h->trace_ep = low_endpoints ? 0x82 : 0x83;
}

int tarvex_usb_open(tarvex_usb *usb)
{
    hl_interface_param_s *param = usb->param;
    tarvex_usb_handle_s *h = usb->dev;
    LOG_DEBUG("transport: %d vid: 0x%04x pid: 0x%04x serial: %s", param->transport, param->vid, param->pid,
              param->serial != nullptr ? param->serial : "");
    h->pid = param->pid;
    h->transport = param->transport;
    LOG_DEBUG("tarvex_usb_open : call set_configuration : h = %p, fd = %p", static_cast<void *>(h),
              static_cast<void *>(h->fd));
    tarvex_libusb_set_configuration(h->fd, 0);
    int res = libusb_claim_interface(h->fd, 0);
    if (res != 0) {
        log_claim_failure(res);
        tarvex_usb_close(h);
        return ERROR_FAIL;
    }
    set_default_endpoints(h);
    tarvex_libusb_choose_interface(h->fd, &h->rx_ep, &h->tx_ep, 0xFF, 0xFF, 0);
    LOG_DEBUG("call tarvex_usb_version");
    if (tarvex_usb_version(h, 0, &h->version) != ERROR_OK) {
        tarvex_usb_close(h);
        return ERROR_FAIL;
    }
    return ERROR_OK;
}

int tarvex_usb_close(tarvex_usb_handle_s *h)
{
    if (h == nullptr || h->fd == nullptr)
        return ERROR_OK;
    LOG_DEBUG("release_interface %p", static_cast<void *>(h->fd));
    libusb_release_interface(h->fd, 0);
    LOG_DEBUG("libusb_close %p", static_cast<void *>(h->fd));
    libusb_close(h->fd);
    h->fd = nullptr;
    return ERROR_OK;
}

// Generation-3 reply, 12 bytes: 0 hardware generation, 1 single-wire version,
// 2 debug version, 3..7 unused, 8..9 vendor ID, 10..11 product ID.
static int version_v3(tarvex_usb_handle_s *h, struct tarvex_usb_version *v)
{
    cmd_start_read(h, TARVEX_GET_VERSION_V3);
    int res = tarvex_usb_xfer(h, h->databuf, 12);
    if (res != ERROR_OK)
        return res;
    v->tarvex = h->databuf[0];
    v->vemo = h->databuf[1];
    v->jtag = h->databuf[2];
    h->vid = le_to_h_u16(h->databuf + 8);
    h->pid = le_to_h_u16(h->databuf + 10);
    LOG_DEBUG("TARVEXV3 : vemo = %d, jtag = %d, tarvex = %d, PID = 0x%x", v->vemo, v->jtag, v->tarvex, h->pid);
    h->jtag_api = TARVEX_JTAG_API_V3;
    h->version.jtag_api_max = TARVEX_JTAG_API_V3;
    return ERROR_OK;
}

// Generation-2 reply, 6 bytes: a big-endian word with the hardware generation
// in bits 15..12, the debug version in 11..6 and the single-wire version in
// 5..0, then the vendor ID and the product ID little-endian.
static int version_v2(tarvex_usb_handle_s *h, uint32_t key, struct tarvex_usb_version *v)
{
    cmd_start_read(h, TARVEX_GET_VERSION);
    cmd_put_key(h, key);
    int res = tarvex_usb_xfer(h, h->databuf, 6);
    if (res != ERROR_OK)
        return res;
    uint16_t vv = be_to_h_u16(h->databuf);
    v->tarvex = (vv >> 12) & 0x0F;
    v->jtag = (vv >> 6) & 0x3F;
    v->vemo = vv & 0x3F;
    h->vid = le_to_h_u16(h->databuf + 2);
    h->pid = le_to_h_u16(h->databuf + 4);
    LOG_DEBUG("TARVEXV2 : vemo  = %d, jtag = %d, tarvex = %d, PID = 0x%x", v->vemo, v->jtag, v->tarvex, h->pid);
    h->jtag_api = TARVEX_JTAG_API_V2;
    return ERROR_OK;
}

static void set_version_name(tarvex_usb_handle_s *h)
{
    const char *name = nullptr;
    if (h->pid == TARVEX_V21_PID)
        name = "2.1";
    else if (h->pid == TARVEX_V3_PID)
        name = "3";
    else if (h->pid == TARVEX_V2_PID)
        name = "2";
    if (name != nullptr)
        snprintf(h->version.name, sizeof(h->version.name), "%s", name);
}

int tarvex_usb_version(tarvex_usb_handle_s *h, uint32_t key, struct tarvex_usb_version *v)
{
    int res = h->pid == TARVEX_V3_PID ? version_v3(h, v) : version_v2(h, key, v);
    if (res != ERROR_OK)
        return res;
    v->vid = h->vid;
    v->pid = h->pid;
    set_version_name(h);
    LOG_INFO("TARVEX v%s JTAG v%d API v%d VEMO v%d VID 0x%04X PID 0x%04X", h->version.name, v->jtag, v->tarvex, v->vemo,
             v->vid, v->pid);
    return ERROR_OK;
}

// Reply, 8 bytes: reference reading, then target reading, each 32-bit
// little-endian. The target sits behind a 1:2 divider against a 1.2 V reference.
int tarvex_usb_check_voltage(tarvex_usb_handle_s *h, float *target_voltage, uint32_t key)
{
    cmd_start_read(h, TARVEX_GET_TARGET_VOLTAGE);
    cmd_put_key(h, key);
    int res = tarvex_usb_xfer(h, h->databuf, 8);
    if (res != ERROR_OK)
        return res;
    uint32_t reference = le_to_h_u32(h->databuf);
    uint32_t target = le_to_h_u32(h->databuf + 4);
    LOG_DEBUG("Raw Target voltage: %d, %d", reference, target);
    float voltage = 0.0f;
    if (reference != 0)
        voltage = 2.0f * static_cast<float>(target) * static_cast<float>(1.2 / reference);
    *target_voltage = voltage;
    LOG_DEBUG("Target voltage: %f", static_cast<double>(voltage));
    return ERROR_OK;
}

constexpr int TARVEX_BLINK_MIN_JTAG = 28;
constexpr int TARVEX_BLINK_TOO_OLD = 6;

int tarvex_usb_blink_led(tarvex_usb_handle_s *h)
{
    LOG_DEBUG("h =  %p", static_cast<void *>(h));
    if (h->version.jtag < TARVEX_BLINK_MIN_JTAG) {
        LOG_DEBUG("no execution because the jtag version is too low %d", h->version.jtag);
        return TARVEX_BLINK_TOO_OLD;
    }
    cmd_start_read(h, TARVEX_DEBUG_COMMAND);
    cmd_put_u8(h, TARVEX_DEBUG_BLINK_LED);
    LOG_DEBUG("handle =  %p", static_cast<void *>(h));
    return tarvex_cmd_allow_retry(h, h->databuf, 2);
}

// ---- Modes -------------------------------------------------------------------

// Mode to leave for each reported mode byte; bytes past the table leave nothing.
static constexpr tarvex_mode tarvex_mode_to_leave_table[] = {
    TARVEX_MODE_DFU,        // TARVEX_PROBE_MODE_DFU
    TARVEX_MODE_UNKNOWN,    // TARVEX_PROBE_MODE_MASS: nothing to leave
    TARVEX_MODE_DEBUG_SWD,  // TARVEX_PROBE_MODE_DEBUG
    TARVEX_MODE_DEBUG_VEMO, // TARVEX_PROBE_MODE_VEMO
};

static tarvex_mode tarvex_mode_to_leave(uint8_t probe_mode)
{
    if (probe_mode >= sizeof(tarvex_mode_to_leave_table) / sizeof(tarvex_mode_to_leave_table[0]))
        return TARVEX_MODE_UNKNOWN;
    return tarvex_mode_to_leave_table[probe_mode];
}

int tarvex_usb_current_mode(tarvex_usb_handle_s *h, uint8_t *mode, uint32_t key)
{
    cmd_start_read(h, TARVEX_GET_CURRENT_MODE);
    cmd_put_key(h, key);
    int res = tarvex_usb_xfer(h, h->databuf, 2);
    if (res != ERROR_OK)
        return res;
    *mode = h->databuf[0];
    return ERROR_OK;
}

int tarvex_usb_mode_leave(tarvex_usb_handle_s *h, tarvex_mode type, uint32_t key)
{
    uint8_t command;
    uint8_t sub_command;
    if (type == TARVEX_MODE_DFU) {
        command = TARVEX_DFU_COMMAND;
        sub_command = TARVEX_DFU_EXIT;
    } else if (type == TARVEX_MODE_DEBUG_JTAG || type == TARVEX_MODE_DEBUG_SWD) {
        command = TARVEX_DEBUG_COMMAND;
        sub_command = TARVEX_DEBUG_EXIT;
    } else if (type == TARVEX_MODE_DEBUG_VEMO) {
        command = TARVEX_VEMO_COMMAND;
        sub_command = TARVEX_VEMO_EXIT;
    } else {
        return ERROR_FAIL;
    }
    cmd_start_read(h, command);
    cmd_put_u8(h, sub_command);
    cmd_put_key(h, key);
    return tarvex_usb_xfer(h, h->databuf, 0);
}

int tarvex_exit_mode(tarvex_usb_handle_s *h, uint32_t key)
{
    uint8_t mode = 0;
    int res = tarvex_usb_current_mode(h, &mode, key);
    if (res != ERROR_OK)
        return res;
    LOG_DEBUG("MODE: 0x%02X", mode);
    tarvex_mode leave = tarvex_mode_to_leave(mode);
    LOG_DEBUG("E-MODE: 0x%02X", leave);
    if (leave == TARVEX_MODE_UNKNOWN)
        return ERROR_OK;
    res = tarvex_usb_mode_leave(h, leave, key);
    if (res != ERROR_OK)
        return res;
    res = tarvex_usb_current_mode(h, &mode, key);
    LOG_DEBUG("MODE: 0x%02X", mode);
    return res;
}
