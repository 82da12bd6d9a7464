#include "tarvex_usb.h"

#include <climits>
#include <cstring>

#include <unistd.h>

#include "binarybuffer.h"
#include "libusb1_common.h"
#include "list_tarvex.h"
#include "tarvex_log.h"

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

static void cmd_put_u16(tarvex_usb_handle_s *h, uint16_t value)
{
    h_u16_to_le(h->cmdbuf + h->cmdidx, value);
    h->cmdidx += 2;
}

static void cmd_put_u32(tarvex_usb_handle_s *h, uint32_t value)
{
    h_u32_to_le(h->cmdbuf + h->cmdidx, value);
    h->cmdidx += 4;
}

// Starts a command whose reply (or status) comes back on rx_ep.
static void cmd_start_read(tarvex_usb_handle_s *h, uint8_t command)
{
    tarvex_usb_init_buffer(h, static_cast<uint8_t>(h->rx_ep), 0);
    cmd_put_u8(h, command);
}

// Starts a debug-family command (0xF2, sub-command in byte 1) whose reply
// comes back on rx_ep.
static void cmd_start_debug(tarvex_usb_handle_s *h, uint8_t sub_command)
{
    cmd_start_read(h, TARVEX_DEBUG_COMMAND);
    cmd_put_u8(h, sub_command);
}

// A data phase must fit the buffer it lands in or comes from; a read into
// databuf is bounded by its size.
static bool xfer_size_ok(const tarvex_usb_handle_s *h, const uint8_t *buf, uint32_t size)
{
    if (size > INT_MAX)
        return false;
    return buf != h->databuf || size <= sizeof(h->databuf);
}

// One counted bulk transfer of `size` bytes, out (tx_ep) or in (any other
// endpoint): the bytes moved, or TARVEX_USB_DEVICE_GONE.
static int counted_bulk(tarvex_usb_handle_s *h, int ep, uint8_t *buf, int size)
{
    int result = 0;
    bool out = ep == static_cast<int>(h->tx_ep);
    int n = out ? tarvex_libusb_bulk_write(h->fd, ep, buf, size, TARVEX_CMD_TIMEOUT_MS, &result)
                : tarvex_libusb_bulk_read(h->fd, ep, buf, size, TARVEX_CMD_TIMEOUT_MS, &result);
    tarvex_usb_counters &k = h->counters;
    if (n > 0)
        (out ? k.bytes_written : k.bytes_read) += static_cast<uint64_t>(n);
    if (n != size)
        k.transfer_failures++;
    if (result == LIBUSB_ERROR_TIMEOUT)
        k.timeouts++;
    return n;
}

int tarvex_usb_xfer_rw(tarvex_usb_handle_s *h, int cmdsize, uint8_t *buf, uint32_t size)
{
    if (h->fd == nullptr || !xfer_size_ok(h, buf, size)) {
        LOG_DEBUG("no transfer: device closed or size %u too large", size);
        return ERROR_FAIL;
    }
    int n = counted_bulk(h, static_cast<int>(h->tx_ep), h->cmdbuf, cmdsize);
    if (n == TARVEX_USB_DEVICE_GONE)
        h->device_gone = true;
    if (n != cmdsize) {
        LOG_DEBUG("cmd bulk write failed");
        return ERROR_FAIL;
    }
    if (size == 0)
        return ERROR_OK;
    int want = static_cast<int>(size);
    if (h->direction == static_cast<uint8_t>(h->tx_ep)) {
        if (counted_bulk(h, static_cast<int>(h->tx_ep), buf, want) != want) {
            LOG_DEBUG("bulk write failed");
            return ERROR_FAIL;
        }
    } else if (h->direction == static_cast<uint8_t>(h->rx_ep)) {
        if (counted_bulk(h, static_cast<int>(h->rx_ep), buf, want) != want) {
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
    return counted_bulk(h, h->trace_ep, buf, want) == want;
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
        h->counters.wait_retries++;
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
    h->device_gone = false;
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

int tarvex_usb_mode_enter(tarvex_usb_handle_s *h, tarvex_mode type, uint32_t key)
{
    uint8_t which;
    if (type == TARVEX_MODE_DEBUG_JTAG)
        which = TARVEX_DEBUG_ENTER_JTAG;
    else if (type == TARVEX_MODE_DEBUG_SWD)
        which = TARVEX_DEBUG_ENTER_SWD;
    else
        return ERROR_FAIL;
    cmd_start_debug(h, TARVEX_DEBUG_ENTER);
    cmd_put_u8(h, which);
    cmd_put_key(h, key);
    return tarvex_cmd_allow_retry(h, h->databuf, 2);
}

int tarvex_usb_assert_srst(tarvex_usb_handle_s *h, uint8_t srst, uint32_t key)
{
    cmd_start_debug(h, TARVEX_DEBUG_ASSERT_SRST);
    cmd_put_u8(h, srst);
    cmd_put_key(h, key);
    return tarvex_cmd_allow_retry(h, h->databuf, 2);
}

tarvex_mode tarvex_get_mode(hl_transports transport)
{
    switch (transport) {
    case HL_TRANSPORT_SWD:
        return TARVEX_MODE_DEBUG_SWD;
    case HL_TRANSPORT_JTAG:
        return TARVEX_MODE_DEBUG_JTAG;
    case HL_TRANSPORT_VEMO:
        return TARVEX_MODE_DEBUG_VEMO;
    default:
        return TARVEX_MODE_UNKNOWN;
    }
}

// Steps 2 and 3 of init mode: leave the reported mode, then read it again.
static int leave_current_mode(tarvex_usb_handle_s *h, uint8_t *mode, uint32_t key)
{
    int res = tarvex_usb_current_mode(h, mode, key);
    if (res != ERROR_OK)
        return res;
    LOG_DEBUG("MODE: 0x%02X", *mode);
    tarvex_mode leave = tarvex_mode_to_leave(*mode);
    LOG_DEBUG("E-MODE: 0x%02X", leave);
    if (leave != TARVEX_MODE_UNKNOWN) {
        res = tarvex_usb_mode_leave(h, leave, key);
        if (res != ERROR_OK)
            return res;
    }
    return tarvex_usb_current_mode(h, mode, key);
}

// Only logs: a low or unreadable target voltage does not stop the connect.
static void warn_low_voltage(tarvex_usb_handle_s *h, uint32_t key)
{
    float voltage = 0.0f;
    int res = tarvex_usb_check_voltage(h, &voltage, key);
    if (res != ERROR_OK)
        LOG_ERROR("voltage check failed: %s", result_name(res));
    else if (voltage < 1.5f)
        LOG_ERROR("target voltage may be too low for reliable debugging");
}

int tarvex_usb_init_mode(tarvex_usb_handle_s *h, bool connect_under_reset, hl_transports transport, uint32_t key)
{
    LOG_DEBUG("transport asked %d", transport);
    h->transport = transport;
    uint8_t mode = 0;
    int res = leave_current_mode(h, &mode, key);
    if (res != ERROR_OK)
        return res;
    if (mode != TARVEX_PROBE_MODE_DFU)
        warn_low_voltage(h, key);
    LOG_DEBUG("MODE: 0x%02X", mode);
    tarvex_mode debug_mode = tarvex_get_mode(h->transport);
    LOG_DEBUG("E-MODE: 0x%02X", debug_mode);
    if (debug_mode == TARVEX_MODE_UNKNOWN) {
        LOG_ERROR("selected mode (transport) not supported");
        return ERROR_FAIL;
    }
    if (connect_under_reset) {
        LOG_DEBUG("connect_under_reset %d", 1);
        res = tarvex_usb_assert_srst(h, 0, key);
        if (res != ERROR_OK)
            return res;
    }
    if (debug_mode == TARVEX_MODE_DEBUG_JTAG)
        LOG_DEBUG("tarvex_usb_mode_enter TARVEX_MODE_DEBUG_JTAG");
    else if (debug_mode == TARVEX_MODE_DEBUG_SWD)
        LOG_DEBUG("tarvex_usb_mode_enter TARVEX_MODE_DEBUG_SWD");
    res = tarvex_usb_mode_enter(h, debug_mode, key);
    if (res != ERROR_OK)
        return res;
    LOG_DEBUG("tarvex_usb_current_mode %d", mode);
    res = tarvex_usb_current_mode(h, &mode, key);
    if (res == ERROR_OK)
        LOG_DEBUG("MODE: 0x%02X", mode);
    return res;
}

int tarvex_usb_reset_tap(tarvex_usb_handle_s *h, uint32_t key)
{
    cmd_start_debug(h, TARVEX_DEBUG_RESET_TAP);
    cmd_put_key(h, key);
    int res = tarvex_cmd_allow_retry(h, h->databuf, 2);
    if (res != ERROR_OK || !h->trace.enabled)
        return res;
    // A target reset stops the probe's capture; start it again at the same rate.
    tarvex_usb_trace_disable(h, key);
    return tarvex_usb_trace_enable(h, key);
}

int tarvex_usb_idcode(tarvex_usb_handle_s *h, uint32_t *idcode, uint32_t key)
{
    (void)key; // the IDCODE command carries no key
    cmd_start_debug(h, TARVEX_DEBUG_IDCODE);
    int res = tarvex_usb_xfer(h, h->databuf, 4);
    if (res != ERROR_OK)
        return res;
    *idcode = le_to_h_u32(h->databuf);
    LOG_DEBUG("IDCODE: 0x%08u", *idcode);
    return ERROR_OK;
}

// ARMv7-M Debug Halting Control and Status Register and its state bits.
constexpr uint32_t DCB_DHCSR = 0xE000EDF0;
constexpr uint32_t S_HALT = 0x00020000;
constexpr uint32_t S_RESET_ST = 0x02000000;

static target_state run_state(tarvex_usb_handle_s *h, uint32_t key)
{
    uint32_t dhcsr = 0;
    if (tarvex_usb_read_debug_reg(h, DCB_DHCSR, &dhcsr, 0, key) != ERROR_OK)
        return TARGET_UNKNOWN;
    if (dhcsr & S_HALT)
        return TARGET_HALTED;
    if (dhcsr & S_RESET_ST)
        return TARGET_RESET;
    return TARGET_RUNNING;
}

target_state tarvex_usb_get_status(tarvex_usb_handle_s *h, uint32_t key)
{
    target_state state = run_state(h, key);
    h->counters.state_reads++;
    h->counters.last_state = static_cast<uint8_t>(state);
    return state;
}

target_state tarvex_usb_state(tarvex_usb_handle_s *h, uint32_t key)
{
    if (h->reconnect_pending) {
        LOG_INFO("Previous state query failed, trying to reconnect");
        if (tarvex_usb_mode_enter(h, tarvex_get_mode(h->transport), key) != ERROR_OK)
            return TARGET_UNKNOWN;
        h->reconnect_pending = false;
    }
    target_state state = tarvex_usb_get_status(h, key);
    h->reconnect_pending = state == TARGET_UNKNOWN;
    return state;
}

// ---- Registers ---------------------------------------------------------------

constexpr uint32_t TARVEX_ACCESS_POINTS = 4;
static_assert(sizeof(tarvex_usb_handle_s::access_point_initialized) == TARVEX_ACCESS_POINTS);

// Only four access point flags exist: a larger number must not index past them.
static bool access_point_ok(uint32_t coreid)
{
    if (coreid < TARVEX_ACCESS_POINTS)
        return true;
    LOG_ERROR("access point %u out of range (0..3)", coreid);
    return false;
}

// Opens the access point before its first 32-bit or register-file access.
static void ensure_access_point(tarvex_usb_handle_s *h, uint32_t coreid, uint32_t key)
{
    if (h->access_point_initialized[coreid])
        return;
    tarvex_usb_init_access_point(h, static_cast<uint8_t>(coreid), key);
    h->access_point_initialized[coreid] = true;
}

// Reads an 8-byte status reply whose bytes 4..7 carry a value.
static int read_value_reply(tarvex_usb_handle_s *h, uint32_t key, uint32_t *val)
{
    cmd_put_key(h, key);
    int res = tarvex_cmd_allow_retry(h, h->databuf, 8);
    if (res == ERROR_OK)
        *val = le_to_h_u32(h->databuf + 4);
    return res;
}

int tarvex_usb_read_debug_reg(tarvex_usb_handle_s *h, uint32_t addr, uint32_t *val, uint32_t coreid, uint32_t key)
{
    if (!access_point_ok(coreid))
        return ERROR_FAIL;
    cmd_start_debug(h, TARVEX_DEBUG_READ_DEBUG_REG);
    cmd_put_u32(h, addr);
    cmd_put_u32(h, coreid);
    return read_value_reply(h, key, val);
}

int tarvex_usb_write_debug_reg(tarvex_usb_handle_s *h, uint32_t addr, uint32_t val, uint32_t coreid, uint32_t key)
{
    if (!access_point_ok(coreid))
        return ERROR_FAIL;
    cmd_start_debug(h, TARVEX_DEBUG_WRITE_DEBUG_REG);
    cmd_put_u32(h, addr);
    cmd_put_u32(h, val);
    cmd_put_u8(h, static_cast<uint8_t>(coreid));
    cmd_put_key(h, key);
    return tarvex_cmd_allow_retry(h, h->databuf, 2);
}

int tarvex_usb_read_reg(tarvex_usb_handle_s *h, unsigned num, uint32_t *val, uint32_t coreid, uint32_t key)
{
    if (!access_point_ok(coreid))
        return ERROR_FAIL;
    cmd_start_debug(h, TARVEX_DEBUG_READ_REG);
    cmd_put_u8(h, static_cast<uint8_t>(num));
    cmd_put_u8(h, static_cast<uint8_t>(coreid));
    return read_value_reply(h, key, val);
}

int tarvex_usb_write_reg(tarvex_usb_handle_s *h, unsigned num, uint32_t val, uint32_t coreid, uint32_t key)
{
    if (!access_point_ok(coreid))
        return ERROR_FAIL;
    // Layout: 2 register number, 3..6 value, 7 zero, 8 access point.
    cmd_start_debug(h, TARVEX_DEBUG_WRITE_REG);
    cmd_put_u8(h, static_cast<uint8_t>(num));
    cmd_put_u32(h, val);
    cmd_put_u8(h, 0);
    cmd_put_u8(h, static_cast<uint8_t>(coreid));
    cmd_put_key(h, key);
    return tarvex_cmd_allow_retry(h, h->databuf, 2);
}

int tarvex_usb_read_regs(tarvex_usb_handle_s *h, uint32_t coreid, uint32_t key)
{
    if (!access_point_ok(coreid))
        return ERROR_FAIL;
    ensure_access_point(h, coreid, key);
    cmd_start_debug(h, TARVEX_DEBUG_READ_REGS);
    cmd_put_u8(h, 0);
    cmd_put_u8(h, static_cast<uint8_t>(coreid));
    cmd_put_key(h, key);
    return tarvex_usb_xfer(h, h->databuf, TARVEX_REGFILE_REPLY_SIZE);
}

// ---- Memory and access points --------------------------------------------------

int tarvex_usb_get_rw_status(tarvex_usb_handle_s *h, uint32_t key)
{
    bool v3 = h->jtag_api == TARVEX_JTAG_API_V3;
    cmd_start_debug(h, v3 ? TARVEX_DEBUG_GET_RW_STATUS_V3 : TARVEX_DEBUG_GET_RW_STATUS);
    cmd_put_key(h, key);
    int res = tarvex_usb_xfer(h, h->databuf, v3 ? 12 : 2);
    if (res != ERROR_OK)
        return res;
    return tarvex_usb_error_check(h);
}

// Memory command layout: 2..5 address, 6..7 length, 8 access point.
static void cmd_mem(tarvex_usb_handle_s *h, uint8_t direction, uint8_t sub_command, uint32_t addr, uint16_t len,
                    uint32_t coreid, uint32_t key)
{
    tarvex_usb_init_buffer(h, direction, len);
    cmd_put_u8(h, TARVEX_DEBUG_COMMAND);
    cmd_put_u8(h, sub_command);
    cmd_put_u32(h, addr);
    cmd_put_u16(h, len);
    cmd_put_u8(h, static_cast<uint8_t>(coreid));
    cmd_put_key(h, key);
}

// The checks both 8-bit primitives make before any transfer.
static bool mem8_ok(uint16_t len, uint32_t coreid)
{
    if (len > TARVEX_MEM8_MAX) {
        LOG_DEBUG("max buffer length exceeded");
        return false;
    }
    return access_point_ok(coreid);
}

int tarvex_usb_read_mem8(tarvex_usb_handle_s *h, uint32_t addr, uint16_t len, uint8_t *buffer, uint32_t coreid,
                         uint32_t key)
{
    if (!mem8_ok(len, coreid))
        return ERROR_FAIL;
    LOG_DEBUG("addr = 0x%x, len = %d, buffer %p, coreid = %d", addr, len, static_cast<void *>(buffer), coreid);
    cmd_mem(h, static_cast<uint8_t>(h->rx_ep), TARVEX_DEBUG_READ_MEM8, addr, len, coreid, key);
    // The probe answers a one-byte read with two bytes.
    int res = tarvex_usb_xfer(h, h->databuf, len == 1 ? 2 : len);
    if (res != ERROR_OK)
        return res;
    memcpy(buffer, h->databuf, len);
    return tarvex_usb_get_rw_status(h, key);
}

// Write primitives: the command, then len bytes of data on tx_ep, then the
// transfer status.
static int write_mem(tarvex_usb_handle_s *h, uint8_t sub_command, uint32_t addr, uint16_t len, const uint8_t *buffer,
                     uint32_t coreid, uint32_t key)
{
    cmd_mem(h, static_cast<uint8_t>(h->tx_ep), sub_command, addr, len, coreid, key);
    int res = tarvex_usb_xfer(h, const_cast<uint8_t *>(buffer), len);
    if (res != ERROR_OK)
        return res;
    return tarvex_usb_get_rw_status(h, key);
}

int tarvex_usb_write_mem8(tarvex_usb_handle_s *h, uint32_t addr, uint16_t len, const uint8_t *buffer, uint32_t coreid,
                          uint32_t key)
{
    if (!mem8_ok(len, coreid))
        return ERROR_FAIL;
    return write_mem(h, TARVEX_DEBUG_WRITE_MEM8, addr, len, buffer, coreid, key);
}

// The checks both 32-bit primitives make before any transfer.
static int mem32_check(tarvex_usb_handle_s *h, uint32_t addr, uint16_t len, uint32_t coreid, uint32_t key)
{
    if ((addr | len) & 3) {
        LOG_DEBUG("Invalid data alignment");
        return ERROR_ALIGNMENT;
    }
    if (len > sizeof(h->databuf)) {
        LOG_DEBUG("max buffer length exceeded");
        return ERROR_FAIL;
    }
    if (!access_point_ok(coreid))
        return ERROR_FAIL;
    ensure_access_point(h, coreid, key);
    return ERROR_OK;
}

int tarvex_usb_read_mem32(tarvex_usb_handle_s *h, uint32_t addr, uint16_t len, uint8_t *buffer, uint32_t coreid,
                          uint32_t key)
{
    LOG_DEBUG("addr = 0x%x, len = %d, buffer %p", addr, len, static_cast<void *>(buffer));
    int res = mem32_check(h, addr, len, coreid, key);
    if (res != ERROR_OK)
        return res;
    cmd_mem(h, static_cast<uint8_t>(h->rx_ep), TARVEX_DEBUG_READ_MEM32, addr, len, coreid, key);
    res = tarvex_usb_xfer(h, h->databuf, len);
    if (res != ERROR_OK)
        return res;
    memcpy(buffer, h->databuf, len);
    return tarvex_usb_get_rw_status(h, key);
}

int tarvex_usb_write_mem32(tarvex_usb_handle_s *h, uint32_t addr, uint16_t len, const uint8_t *buffer, uint32_t coreid,
                           uint32_t key)
{
    int res = mem32_check(h, addr, len, coreid, key);
    if (res != ERROR_OK)
        return res;
    return write_mem(h, TARVEX_DEBUG_WRITE_MEM32, addr, len, buffer, coreid, key);
}

tarvex_mem_chunk tarvex_next_mem_chunk(uint32_t addr, uint32_t remaining, uint16_t size, uint32_t block)
{
    if (size != 4)
        return {0, remaining < TARVEX_MEM8_MAX ? remaining : TARVEX_MEM8_MAX, false};
    uint32_t chunk = tarvex_max_block_size(block, addr);
    if (chunk > remaining)
        chunk = remaining;
    uint32_t head = (addr & 3) ? 4 - (addr & 3) : 0;
    if (head > chunk)
        head = chunk; // a range that ends before the next word boundary
    uint32_t body = chunk - head;
    return {head, body, body % 4 == 0};
}

// The primitive (or nested byte transfer) for one piece of a chunked transfer.
struct mem_ops {
    bool write;
    uint8_t *read_buffer;
    const uint8_t *write_buffer;
};

static int mem_transfer(tarvex_usb_handle_s *h, uint32_t addr, uint16_t size, uint32_t count, const mem_ops &ops,
                        uint32_t core_id, uint32_t key);

static int mem_piece(tarvex_usb_handle_s *h, uint32_t addr, uint32_t len, bool words, const mem_ops &ops,
                     uint32_t offset, uint32_t core_id, uint32_t key)
{
    uint16_t n = static_cast<uint16_t>(len); // at most one auto-increment block
    if (ops.write) {
        const uint8_t *src = ops.write_buffer + offset;
        return words ? tarvex_usb_write_mem32(h, addr, n, src, core_id, key)
                     : tarvex_usb_write_mem8(h, addr, n, src, core_id, key);
    }
    uint8_t *dst = ops.read_buffer + offset;
    return words ? tarvex_usb_read_mem32(h, addr, n, dst, core_id, key)
                 : tarvex_usb_read_mem8(h, addr, n, dst, core_id, key);
}

// The body of a 32-bit chunk: words, or a nested byte transfer when its length
// is not a multiple of 4 (with a retry counter of its own).
static int mem_body(tarvex_usb_handle_s *h, uint32_t addr, const tarvex_mem_chunk &c, const mem_ops &ops,
                    uint32_t offset, uint32_t core_id, uint32_t key)
{
    if (c.body_words)
        return mem_piece(h, addr, c.body, true, ops, offset, core_id, key);
    mem_ops nested = ops;
    nested.read_buffer = ops.read_buffer != nullptr ? ops.read_buffer + offset : nullptr;
    nested.write_buffer = ops.write_buffer != nullptr ? ops.write_buffer + offset : nullptr;
    return mem_transfer(h, addr, 1, c.body, nested, core_id, key);
}

// True when a wait status may be retried: sleeps and counts the retry.
static bool wait_again(tarvex_usb_handle_s *h, int res, unsigned *retries)
{
    if (res != ERROR_WAIT)
        return false;
    uint32_t delay = tarvex_wait_delay_us(*retries);
    if (delay == 0)
        return false;
    usleep(delay);
    (*retries)++;
    h->counters.wait_retries++;
    return true;
}

static int mem_transfer(tarvex_usb_handle_s *h, uint32_t addr, uint16_t size, uint32_t count, const mem_ops &ops,
                        uint32_t core_id, uint32_t key)
{
    uint64_t total = static_cast<uint64_t>(size) * count;
    if (total > UINT32_MAX) {
        LOG_ERROR("memory transfer of %u x %u bytes is too large", count, size);
        return ERROR_FAIL;
    }
    if (!access_point_ok(core_id))
        return ERROR_FAIL;
    uint32_t remaining = static_cast<uint32_t>(total), offset = 0;
    unsigned retries = 0;
    while (remaining != 0) {
        tarvex_mem_chunk c = tarvex_next_mem_chunk(addr, remaining, size, h->max_mem_packet);
        // The aligning head by bytes, then the body; a wait on either starts
        // the chunk again from where the transfer stands.
        const uint32_t lens[2] = {c.head, c.body};
        bool again = false;
        for (int i = 0; i < 2 && !again; i++) {
            if (lens[i] == 0)
                continue;
            int res = i == 0 || size != 4 ? mem_piece(h, addr, lens[i], false, ops, offset, core_id, key)
                                          : mem_body(h, addr, c, ops, offset, core_id, key);
            again = wait_again(h, res, &retries);
            if (again)
                continue;
            if (res != ERROR_OK)
                return res;
            addr += lens[i];
            offset += lens[i];
            remaining -= lens[i];
        }
    }
    return ERROR_OK;
}

int tarvex_usb_read_mem(tarvex_usb_handle_s *h, uint32_t addr, uint16_t size, uint32_t count, uint8_t *buffer,
                        uint32_t core_id, uint32_t key)
{
    return mem_transfer(h, addr, size, count, mem_ops{false, buffer, nullptr}, core_id, key);
}

int tarvex_usb_write_mem(tarvex_usb_handle_s *h, uint32_t addr, uint16_t size, uint32_t count, const uint8_t *buffer,
                         uint32_t core_id, uint32_t key)
{
    return mem_transfer(h, addr, size, count, mem_ops{true, nullptr, buffer}, core_id, key);
}

constexpr int TARVEX_AP_MIN_JTAG = 28;

// Access point commands exist from debug firmware 28 and on generation 3.
static bool has_access_point_commands(const tarvex_usb_handle_s *h)
{
    return h->jtag_api == TARVEX_JTAG_API_V3 || h->version.jtag >= TARVEX_AP_MIN_JTAG;
}

int tarvex_usb_init_access_point(tarvex_usb_handle_s *h, uint8_t access_point_id, uint32_t key)
{
    if (!access_point_ok(access_point_id))
        return ERROR_FAIL;
    LOG_DEBUG("init coreid = %d", access_point_id);
    if (!has_access_point_commands(h))
        return ERROR_OK;
    cmd_start_debug(h, TARVEX_DEBUG_INIT_ACCESS_POINT);
    cmd_put_u8(h, access_point_id);
    cmd_put_u8(h, 0x01);
    cmd_put_key(h, key);
    return tarvex_usb_xfer(h, h->databuf, 2);
}

int tarvex_usb_close_access_point(tarvex_usb_handle_s *h, uint8_t access_point_id, uint32_t key)
{
    if (!access_point_ok(access_point_id))
        return ERROR_FAIL;
    if (!has_access_point_commands(h))
        return ERROR_OK;
    LOG_DEBUG("close coreid = %d", access_point_id);
    cmd_start_debug(h, TARVEX_DEBUG_CLOSE_ACCESS_POINT);
    cmd_put_u8(h, access_point_id);
    cmd_put_key(h, key);
    return tarvex_usb_xfer(h, h->databuf, 2);
}

// ---- Interface clock -----------------------------------------------------------

int tarvex_select_speed(const int32_t *speeds, int n, int32_t khz, bool *exact)
{
    int chosen = -1;
    int64_t best = INT32_MAX;
    *exact = false;
    for (int i = 0; i < n; i++) {
        if (speeds[i] == khz) {
            *exact = true;
            return i;
        }
        int64_t diff = static_cast<int64_t>(khz) - speeds[i];
        if (diff >= 0 && diff < best) {
            best = diff;
            chosen = i;
        }
    }
    return chosen >= 0 ? chosen : n - 1;
}

template <size_t N> static int select_row(const speed_map (&map)[N], int khz, bool *exact)
{
    int32_t speeds[N];
    for (size_t i = 0; i < N; i++)
        speeds[i] = map[i].speed;
    return tarvex_select_speed(speeds, static_cast<int>(N), khz, exact);
}

static int set_clock(tarvex_usb_handle_s *h, uint8_t sub_command, uint16_t divisor, uint32_t key)
{
    cmd_start_debug(h, sub_command);
    cmd_put_u16(h, divisor);
    cmd_put_key(h, key);
    return tarvex_cmd_allow_retry(h, h->databuf, 2);
}

int tarvex_usb_set_swdclk(tarvex_usb_handle_s *h, uint16_t clk_divisor, uint32_t key)
{
    return set_clock(h, TARVEX_DEBUG_SET_SWDCLK, clk_divisor, key);
}

static void log_speed_mismatch(int khz, int chosen)
{
    LOG_INFO("Unable to match requested speed %d kHz, using %d kHz", khz, chosen);
}

// The generation-2 clock of one transport: select in its table, then (unless
// querying) program the divisor.
template <size_t N>
static int speed_from_table(tarvex_usb_handle_s *h, const speed_map (&map)[N], bool jtag, int khz, bool query,
                            uint32_t key)
{
    bool exact = false;
    const speed_map &row = map[select_row(map, khz, &exact)];
    if (!exact)
        log_speed_mismatch(khz, row.speed);
    if (query)
        return row.speed;
    uint16_t divisor = static_cast<uint16_t>(row.speed_divisor);
    // The JTAG clock command carries no key.
    int res = jtag ? set_clock(h, TARVEX_DEBUG_SET_JTAGCLK, divisor, 0) : tarvex_usb_set_swdclk(h, divisor, key);
    if (res != ERROR_OK) {
        LOG_ERROR("Unable to set adapter speed: %s", result_name(res));
        return res;
    }
    LOG_INFO("Tarvex adapter speed set to %d kHz", row.speed);
    return row.speed;
}

constexpr int TARVEX_SWDCLK_MIN_JTAG = 20;
constexpr int TARVEX_JTAGCLK_MIN_JTAG = 24;

int tarvex_speed_v2(tarvex_usb_handle_s *h, int khz, bool query, uint32_t key)
{
    if (h == nullptr)
        return khz;
    if (h->transport == HL_TRANSPORT_JTAG) {
        LOG_INFO("TRANSPORT JTAG");
        if (h->version.tarvex == 1 || h->version.jtag < TARVEX_JTAGCLK_MIN_JTAG)
            return khz;
        return speed_from_table(h, jtag_tarvex_khz_to_speed_map, true, khz, query, key);
    }
    if (h->transport == HL_TRANSPORT_SWD) {
        LOG_INFO("TRANSPORT SWD");
        if (h->version.tarvex == 1 || h->version.jtag < TARVEX_SWDCLK_MIN_JTAG)
            return khz;
        return speed_from_table(h, tarvex_khz_to_speed_map, false, khz, query, key);
    }
    return khz;
}

// Frequency list reply, 52 bytes: 8 entry count, 12 + 4 * i entry i (kHz).
int tarvex_get_com_freq(tarvex_usb_handle_s *h, uint8_t swd_or_jtag, uint32_t *table_freq)
{
    LOG_DEBUG("tarvex_get_com_freq");
    cmd_start_debug(h, TARVEX_DEBUG_GET_COM_FREQ);
    cmd_put_u8(h, swd_or_jtag);
    memset(table_freq, 0, TARVEX_COM_FREQ_SLOTS * sizeof(*table_freq));
    int res = tarvex_usb_xfer(h, h->databuf, 52);
    if (res != ERROR_OK)
        return res;
    int count = h->databuf[8] < TARVEX_COM_FREQ_SLOTS ? h->databuf[8] : TARVEX_COM_FREQ_SLOTS;
    for (int i = 0; i < count; i++)
        table_freq[i] = le_to_h_u32(h->databuf + 12 + 4 * i);
    return ERROR_OK;
}

int tarvex_set_com_freq(tarvex_usb_handle_s *h, uint8_t swd_or_jtag, uint32_t frequency)
{
    LOG_DEBUG("tarvex_set_com_freq :%d", frequency);
    cmd_start_debug(h, TARVEX_DEBUG_SET_COM_FREQ);
    cmd_put_u8(h, swd_or_jtag);
    cmd_put_u8(h, 0);
    cmd_put_u32(h, frequency);
    int res = tarvex_usb_xfer(h, h->databuf, 8);
    // A probe that refuses the frequency says so in the status byte.
    if (res == ERROR_OK)
        res = tarvex_usb_error_check(h);
    LOG_DEBUG("tarvex_set_com_freq returns :%d", res);
    return res;
}

int tarvex_speed_v3(tarvex_usb_handle_s *h, const uint32_t *freq, int khz, bool query, uint32_t key)
{
    (void)key;
    // Slots past the probe's list hold 0: they are not frequencies to choose,
    // and the slowest reported entry is the fallback.
    int32_t speeds[TARVEX_COM_FREQ_SLOTS];
    int n = 0;
    while (n < TARVEX_COM_FREQ_SLOTS && freq[n] != 0) {
        speeds[n] = freq[n] > INT32_MAX ? INT32_MAX : static_cast<int32_t>(freq[n]);
        n++;
    }
    if (n == 0) {
        LOG_ERROR("the probe reported no interface frequencies");
        return ERROR_FAIL;
    }
    bool exact = false;
    int chosen = speeds[tarvex_select_speed(speeds, n, khz, &exact)];
    if (!exact && query)
        log_speed_mismatch(khz, chosen);
    if (h == nullptr || query)
        return chosen;
    LOG_INFO("set adapter speed");
    // The probe takes the frequency itself (kHz), not its position in the list.
    int res = tarvex_set_com_freq(h, 0, static_cast<uint32_t>(chosen));
    if (res != ERROR_OK) {
        LOG_ERROR("Unable to set adapter speed: %s", result_name(res));
        return res;
    }
    return chosen;
}

// ---- Trace capture -------------------------------------------------------------

constexpr uint16_t TARVEX_TRACE_BUFFER_SIZE = 1024; // probe-side capture buffer

// Start and stop answer a status byte; a probe that refuses says so there.
static int trace_command(tarvex_usb_handle_s *h, uint8_t sub_command, uint32_t key)
{
    cmd_start_debug(h, sub_command);
    if (sub_command == TARVEX_DEBUG_TRACE_ENABLE) {
        cmd_put_u16(h, TARVEX_TRACE_BUFFER_SIZE);
        cmd_put_u32(h, h->trace.source_hz);
    }
    cmd_put_key(h, key);
    int res = tarvex_usb_xfer(h, h->databuf, 2);
    return res == ERROR_OK ? tarvex_usb_error_check(h) : res;
}

int tarvex_usb_trace_enable(tarvex_usb_handle_s *h, uint32_t key)
{
    if (h->version.jtag < TARVEX_TRACE_MIN_JTAG) {
        LOG_ERROR("Tracing is not supported by this version.");
        return ERROR_FAIL;
    }
    int res = trace_command(h, TARVEX_DEBUG_TRACE_ENABLE, key);
    if (res == ERROR_OK) {
        h->trace.enabled = true;
        LOG_DEBUG("Tracing: recording at %uHz", h->trace.source_hz);
    }
    return res;
}

int tarvex_usb_trace_disable(tarvex_usb_handle_s *h, uint32_t key)
{
    if (h->version.jtag < TARVEX_TRACE_MIN_JTAG)
        return ERROR_FAIL;
    LOG_DEBUG("Tracing: disable");
    int res = trace_command(h, TARVEX_DEBUG_TRACE_DISABLE, key);
    if (res == ERROR_OK)
        h->trace.enabled = false;
    return res;
}

int tarvex_config_trace(tarvex_usb_handle_s *h, bool enabled, tpio_pin_protocol pin_protocol, uint32_t port_size,
                        uint32_t *trace_freq, uint32_t key)
{
    (void)port_size;
    if (!enabled) {
        tarvex_usb_trace_disable(h, key);
        return ERROR_OK;
    }
    if (pin_protocol != TPIU_PIN_PROTOCOL_ASYNC_UART) {
        LOG_ERROR("The attached TARVEX version doesn't support this trace mode");
        return ERROR_FAIL;
    }
    if (*trace_freq > TARVEX_TRACE_MAX_HZ) {
        LOG_ERROR("TARVEX doesn't support SWO frequency higher than %u", TARVEX_TRACE_MAX_HZ);
        return ERROR_FAIL;
    }
    tarvex_usb_trace_disable(h, key);
    if (*trace_freq == 0)
        *trace_freq = TARVEX_TRACE_MAX_HZ;
    h->trace.source_hz = *trace_freq;
    return tarvex_usb_trace_enable(h, key);
}

int tarvex_usb_trace_read(tarvex_usb_handle_s *h, uint8_t *buf, uint32_t *size, uint32_t key)
{
    // Without trace firmware there is nothing to read: say so, and move nothing.
    if (h->version.jtag < TARVEX_TRACE_MIN_JTAG) {
        LOG_ERROR("Tracing is not supported by this version.");
        *size = 0;
        return ERROR_FAIL;
    }
    if (!h->trace.enabled) {
        *size = 0;
        return ERROR_OK;
    }
    cmd_start_debug(h, TARVEX_DEBUG_TRACE_COUNT);
    cmd_put_key(h, key);
    int res = tarvex_usb_xfer(h, h->databuf, 2);
    if (res != ERROR_OK)
        return res;
    uint32_t available = le_to_h_u16(h->databuf);
    uint32_t amount = 0;
    if (*size != 0)
        amount = available < *size ? available : *size - 1; // stays one byte short of a full buffer
    *size = amount;
    if (amount == 0)
        return ERROR_OK;
    return tarvex_usb_read_trace(h, buf, amount);
}
