#include "tarvex_tcp_cmd.h"

#include <poll.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "access.h"
#include "binarybuffer.h"
#include "client_cycle.h"
#include "common.h"
#include "tarvex_log.h"
#include "options.h"
#include "probe_hold.h"
#include "probe_request.h"
#include "rtt_capture.h"
#include "server_stats.h"
#include "sock_info.h"
#include "tarvex_api.h"
#include "tarvex_connection.h"
#include "tarvex_driver.h"
#include "tarvex_usb.h"
#include "tarvex_wire.h"
#include "time_support_common.h"

// Every line of the protocol layer names this file and the dispatcher.
#define CMD_LOG(level, ...) log_printf_lf(level, "tarvex_tcp_cmd", __LINE__, "process_tarvex_tcp_cmd", __VA_ARGS__)
#define CMD_DEBUG(...)                           \
    do {                                         \
        if (log_debug_enabled())                 \
            CMD_LOG(LOG_LVL_DEBUG, __VA_ARGS__); \
    } while (0)
#define CMD_ERROR(...) CMD_LOG(LOG_LVL_ERROR, __VA_ARGS__)

// Binary command codes (byte 0 of a binary request), under the dispatcher's
// names.
enum tarvex_tcp_cmd_code : uint8_t {
    TARVEX_TCP_CMD_REFRESH = tarvex_wire::CMD_REFRESH,
    TARVEX_TCP_CMD_GET_NB_DEV = tarvex_wire::CMD_GET_NB_DEV,
    TARVEX_TCP_CMD_GET_DEV_INFO = tarvex_wire::CMD_GET_DEV_INFO,
    TARVEX_TCP_CMD_OPEN_DEV = tarvex_wire::CMD_OPEN_DEV,
    TARVEX_TCP_CMD_CLOSE_DEV = tarvex_wire::CMD_CLOSE_DEV,
    TARVEX_TCP_CMD_SEND_USB_CMD = tarvex_wire::CMD_SEND_USB_CMD,
    TARVEX_TCP_GET_SERVER_API_VERSION = tarvex_wire::CMD_GET_SERVER_API_VERSION,
    TARVEX_TCP_CMD_GET_NB_OF_DEV_CLIENTS = tarvex_wire::CMD_GET_NB_OF_DEV_CLIENTS,
};

constexpr size_t TARVEX_TCP_MES_SIZE = 64;

using tarvex_wire::CMD_BLOCK_SIZE;
using tarvex_wire::PASSTHROUGH_CMD_OFFSET;
using tarvex_wire::PASSTHROUGH_DIRECTION_OFFSET;
using tarvex_wire::PASSTHROUGH_KEY_OFFSET;
using tarvex_wire::PASSTHROUGH_SIZE_OFFSET;
// Compared with the signed count of bytes received.
constexpr int PASSTHROUGH_DATA_OFFSET = static_cast<int>(tarvex_wire::PASSTHROUGH_DATA_OFFSET);
static_assert(PASSTHROUGH_CMD_OFFSET + tarvex_wire::CMD_BLOCK_SIZE <= PASSTHROUGH_DIRECTION_OFFSET &&
                  PASSTHROUGH_KEY_OFFSET == PASSTHROUGH_CMD_OFFSET + TARVEX_KEY_OFFSET,
              "the key field of the pass-through is the command block's own");

// Arguments shared by the memory read and write: tokens 1 to 5. Size and
// count are as the driver takes them (see parse_mem_request).
struct mem_request {
    uint32_t connect_id;
    uint32_t addr;
    uint16_t size;
    uint32_t count;
    uint32_t dapid;
    uint32_t asked_size;  // the 32-bit item size of the request
    uint32_t asked_count; // the count of the request
    uint64_t len;         // asked_size x asked_count, without the 32-bit overflow
};

// One request of a client, in the client's own slot (_sock_info::request):
// the staging buffer holds the request on entry and the reply on return.
// The loop looks the probe up before the request goes to that probe's
// worker, so a handler never walks the loop's lists.
//
// Two kinds of handler use it. A loop handler (route ROUTE_NONE or
// ROUTE_IDLE) runs on the loop and may use `client`. A probe handler (any
// other route) is the work part of a probe_request: it sees `client` null
// and uses only the copies below, the probe's handle and the staging buffer,
// which is lent to the job until its finish part runs on the loop. Without a
// probe (no association) a probe handler forms its "no association" reply on
// the loop, seeing the same: a null handle and a null client.
struct tcp_request {
    probe_request job;    // must stay first; job.owner is the client while in flight
    _sock_info *client;   // loop handlers only; null in a probe handler
    uint8_t *buf;         // the client's staging buffer
    int32_t *answer_size; // loop only: where the reply's length goes (the client's record)
    int size;
    int32_t reply_size; // the reply's length, set by the handler
    uint8_t *extra;     // owned until handed to the client: a large read's data
    uint32_t extra_size;
    uint32_t key; // the client's, copied for the worker
    int sock;     // the client's socket, for log lines
    char name[TARVEX_CLIENT_NAME_SIZE];
    char string[TARVEX_TCP_TOKEN_SLOTS][TARVEX_TCP_TOKEN_SIZE];
    const tarvex_assoc *assoc;       // the association found (only shown in debug lines)
    mem_request mem;                 // memory write: arguments parsed on admission
    size_t payload_at;               // memory write: offset of the payload in buf
    bool in_flight;                  // handed to a probe worker; the reply comes later
    bool binary;                     // open and close: the binary reply form
    bool waits_rtt;                  // an RTT read waits for bytes (client_cycle's RTT_WAIT)
    bool resets_target;              // the probe work resets the target: capture looks again after it
    void (*handler)(tcp_request *r); // the probe handler of a command job
    uint32_t assoc_key;              // open: the association made for it
    bool opened;                     // open: the probe's part succeeded
    assoc_close close;               // close and release
};

static_assert(offsetof(tcp_request, job) == 0, "the request is its job: the worker hands back its address");

typedef void (*tcp_cmd_handler)(tcp_request *r);

// ---------------------------------------------------------------------------
// Status codes

// Client statuses a lower layer may report and that pass unchanged.
static constexpr uint32_t passthrough_status_ranges[][2] = {
    {0x1, 0x1},       {0x4, 0x4},       {0x81, 0x82},     {0xE0, 0xE0},     {0xE4, 0xE4},       {0xF1, 0xF1},
    {0x1000, 0x1004}, {0x1051, 0x1055}, {0x2000, 0x2002}, {0x5000, 0x5000}, {0x10000, 0x10000},
};

uint32_t error_convert(int32_t internal_error)
{
    if (internal_error == 0)
        return TARVEX_TCP_OK;
    uint32_t value = static_cast<uint32_t>(internal_error);
    for (const auto &range : passthrough_status_ranges)
        if (internal_error > 0 && value >= range[0] && value <= range[1])
            return value;
    return TARVEX_TCP_FAIL;
}

// ---------------------------------------------------------------------------
// Tokens and numbers

int tcp_cmd_tokenize_n(const char *text, size_t length, char string[TARVEX_TCP_TOKEN_SLOTS][TARVEX_TCP_TOKEN_SIZE])
{
    int count = 0;
    size_t at = 0;
    auto ends = [&](size_t i) { return i >= length || text[i] == '\0'; };
    for (;;) {
        while (!ends(at) && text[at] == ' ')
            at++;
        if (ends(at))
            return count;
        size_t len = 0;
        while (!ends(at + len) && text[at + len] != ' ')
            len++;
        if (count == TARVEX_TCP_TOKEN_SLOTS || len >= static_cast<size_t>(TARVEX_TCP_TOKEN_SIZE))
            return -1;
        memcpy(string[count], text + at, len);
        string[count][len] = '\0';
        count++;
        at += len;
    }
}

int tcp_cmd_tokenize(const char *text, char string[TARVEX_TCP_TOKEN_SLOTS][TARVEX_TCP_TOKEN_SIZE])
{
    return tcp_cmd_tokenize_n(text, SIZE_MAX, string);
}

bool tcp_cmd_parse_dec(const char *token, int32_t *value)
{
    char *end;
    long parsed = strtol(token, &end, 10);
    if (end == token)
        return false;
    *value = static_cast<int32_t>(parsed);
    return true;
}

bool tcp_cmd_parse_hex(const char *token, uint32_t *value)
{
    char *end;
    unsigned long parsed = strtoul(token, &end, 16);
    if (end == token)
        return false;
    *value = static_cast<uint32_t>(parsed);
    return true;
}

static int32_t arg_dec(const tcp_request *r, int index, int32_t initial = 0)
{
    int32_t value = initial;
    tcp_cmd_parse_dec(r->string[index], &value);
    return value;
}

static uint32_t arg_udec(const tcp_request *r, int index)
{
    return static_cast<uint32_t>(arg_dec(r, index));
}

static uint32_t arg_hex(const tcp_request *r, int index, uint32_t initial = 0)
{
    uint32_t value = initial;
    tcp_cmd_parse_hex(r->string[index], &value);
    return value;
}

// A request's number as one of the driver's enumerations, `last` its
// greatest value: a number outside it becomes `refused`, a value the driver
// refuses as it refuses every number it does not know, rather than a value
// the enumeration cannot hold.
template <typename E> static E enum_arg(int32_t number, E last, E refused)
{
    return number >= 0 && number <= static_cast<int32_t>(last) ? static_cast<E>(number) : refused;
}

// ---------------------------------------------------------------------------
// Replies

static void reply_bytes(tcp_request *r, int32_t size)
{
    r->reply_size = size;
}

// Formats a text reply (at most TARVEX_TCP_MES_SIZE - 1 characters) over the
// request and returns it for the debug line.
static const char *reply_text(tcp_request *r, const char *format, ...) __attribute__((format(printf, 2, 3)));
static const char *reply_text(tcp_request *r, const char *format, ...)
{
    char mes[TARVEX_TCP_MES_SIZE];
    va_list ap;
    va_start(ap, format);
    vsnprintf(mes, sizeof(mes), format, ap);
    va_end(ap);
    size_t len = strlen(mes);
    memcpy(r->buf, mes, len + 1);
    reply_bytes(r, static_cast<int32_t>(len));
    return reinterpret_cast<const char *>(r->buf);
}

static void reply_unknown(tcp_request *r)
{
    CMD_DEBUG("process_tarvex_tcp_cmd : unknown command received %s", reinterpret_cast<const char *>(r->buf));
    const char *mes = reply_text(r, "0 unknown_command\n");
    CMD_DEBUG("process_tarvex_tcp_cmd : returned value %s", mes);
}

static void reply_status(tcp_request *r, uint32_t status)
{
    h_u32_to_le(r->buf, status);
    reply_bytes(r, 4);
}

// Tokenises the first `length` characters of the request (up to a zero
// byte); a request that does not fit the token slots is answered as unknown
// and false is returned.
static bool tokenize_line(tcp_request *r, size_t length)
{
    if (tcp_cmd_tokenize_n(reinterpret_cast<const char *>(r->buf), length, r->string) >= 0)
        return true;
    CMD_LOG(LOG_LVL_WARNING,
            "process_tarvex_tcp_cmd : request refused, more than %d tokens or a token of %d "
            "characters or more",
            TARVEX_TCP_TOKEN_SLOTS, TARVEX_TCP_TOKEN_SIZE);
    reply_unknown(r);
    return false;
}

static bool tokenize_request(tcp_request *r)
{
    return tokenize_line(r, SIZE_MAX);
}

static const char *client_name(const tcp_request *r)
{
    return r->name;
}

// The probe of an association, or null when the association is missing or
// its probe was removed.
static tarvex_usb *assoc_probe(const tarvex_assoc *assoc)
{
    if (assoc == nullptr || !assoc->valid || assoc->tarvex_usb == nullptr)
        return nullptr;
    return assoc->tarvex_usb;
}

// ---------------------------------------------------------------------------
// Binary commands

static void bin_refresh(tcp_request *r)
{
    reply_status(r, error_convert(static_cast<int32_t>(tarvex_refresh())));
}

static void bin_get_nb_dev(tcp_request *r)
{
    uint32_t count = tarvex_get_nb_devices();
    CMD_DEBUG("TARVEX_TCP_CMD_GET_NB_DEV : return => %d ", count);
    reply_status(r, count);
}

static void bin_get_dev_info(tcp_request *r)
{
    int32_t index = static_cast<int8_t>(r->buf[1]);
    uint32_t dev_info_size = le_to_h_u32(r->buf + 4);
    CMD_DEBUG("TARVEX_TCP_CMD_GET_DEV_INFO : index received : %d", index);
    if (dev_info_size > static_cast<uint32_t>(TARVEX_DATA_BUFFER_SIZE - 4)) {
        CMD_ERROR("TARVEX_TCP_CMD_GET_DEV_INFO : size %u does not fit the reply buffer", dev_info_size);
        reply_status(r, TARVEX_TCP_FAIL);
        return;
    }
    tarvex_device_info info;
    memset(&info, 0, sizeof(info));
    uint32_t status = static_cast<uint32_t>(tarvex_get_device_info(static_cast<uint32_t>(index), &info));
    CMD_DEBUG("TARVEX_TCP_CMD_GET_DEV_INFO (index: %d, size: %d) return tarvex_usb_id : 0x%x", index, dev_info_size,
              info.tarvex_usb_id);
    uint8_t record[TARVEX_DEVICE_INFO_SIZE];
    tarvex_device_info_encode(&info, record);
    memset(r->buf + 4, 0, dev_info_size);
    if (dev_info_size > TARVEX_DEVICE_INFO_SIZE)
        status = TARVEX_TCP_INFO_SIZE_ERROR;
    memcpy(r->buf + 4, record, dev_info_size < TARVEX_DEVICE_INFO_SIZE ? dev_info_size : TARVEX_DEVICE_INFO_SIZE);
    h_u32_to_le(r->buf, status);
    reply_bytes(r, static_cast<int32_t>(dev_info_size + 4));
}

// ---------------------------------------------------------------------------
// Probe operations: the client's request slot is the job (probe_request.h)

static tcp_request *as_request(probe_request *job)
{
    return reinterpret_cast<tcp_request *>(job);
}

// The finish part's first step: the loop has the request back.
static tcp_request *back_on_loop(probe_request *job)
{
    tcp_request *r = as_request(job);
    r->client = job->owner;
    return r;
}

// The reply's length, and a large read's data, go to the client.
static void hand_reply(tcp_request *r)
{
    *r->answer_size = r->reply_size;
    if (r->extra == nullptr)
        return;
    data_buffer *recd = &r->client->recd_data;
    recd->extra = r->extra;
    recd->extra_size = r->extra_size;
    recd->extra_offset = 0;
    r->extra = nullptr;
}

// Hands the request to its probe's worker (bound with probe_request_bind);
// false when it could not go, and the caller answers its failure.
static bool submit(tcp_request *r, void (*work)(probe_request *), void (*finish)(probe_request *))
{
    r->job.work = work;
    r->job.finish = finish;
    r->job.owner = r->client;
    r->client = nullptr;
    if (probe_request_submit(&r->job)) {
        r->in_flight = true;
        return true;
    }
    r->client = r->job.owner;
    return false;
}

static void command_work(probe_request *job)
{
    tcp_request *r = as_request(job);
    r->handler(r);
}

static void command_finish(probe_request *job)
{
    tcp_request *r = back_on_loop(job);
    if (r->resets_target)
        rtt_capture_reset_seen(job->usb);
    hand_reply(r);
}

static void reply_open(tcp_request *r, const tarvex_assoc *assoc, bool binary)
{
    if (!binary) {
        const char *mes;
        if (assoc != nullptr) {
            CMD_DEBUG("process open-device (%s): assoc_id = %x", client_name(r), assoc->key);
            mes = reply_text(r, "1 %d\n", assoc->key);
        } else {
            CMD_DEBUG("process open-device (%s): error", client_name(r));
            mes = reply_text(r, "0\n");
        }
        CMD_DEBUG("open-device : (%s): returned value \"%s\"", client_name(r), mes);
        return;
    }
    if (assoc == nullptr) {
        CMD_ERROR("TARVEX_TCP_CMD_OPEN_DEV FAIL, internal assoc not key created");
        h_u32_to_le(r->buf, TARVEX_TCP_DEVICE_ERROR);
        h_u32_to_le(r->buf + 4, 0);
    } else {
        CMD_DEBUG("internal assoc key created cookie_id: 0x%x", assoc->key);
        h_u32_to_le(r->buf, TARVEX_TCP_OK);
        h_u32_to_le(r->buf + 4, assoc->key);
    }
    reply_bytes(r, 8);
}

static void open_work(probe_request *job)
{
    as_request(job)->opened = tarvex_open_probe_part(job->usb);
}

static void open_finish(probe_request *job)
{
    tcp_request *r = back_on_loop(job);
    reply_open(r, tarvex_open_end(r->assoc_key, r->opened), r->binary);
    hand_reply(r);
}

// The association is made here; the probe is opened on its worker unless
// another association holds it open.
static void start_open(tcp_request *r, uint32_t device_id, bool binary)
{
    tarvex_usb *usb = nullptr;
    uint32_t key = tarvex_open_begin(device_id, r->client, &usb);
    r->binary = binary;
    r->assoc_key = key;
    probe_request_bind(&r->job, usb);
    r->job.kind = "open-device";
    if (key != 0 && submit(r, open_work, open_finish))
        return;
    if (key != 0)
        tarvex_open_end(key, false);
    reply_open(r, nullptr, binary);
}

static void reply_close(tcp_request *r, bool binary)
{
    if (binary) {
        reply_status(r, TARVEX_TCP_OK);
        return;
    }
    const char *mes = reply_text(r, "1\n");
    CMD_DEBUG("close-device (%s): returned value %s", client_name(r), mes);
}

static bool has_association_on(const _sock_info *client, const tarvex_usb *usb)
{
    list_for_each(pos, &assoc_list)
    {
        const auto *assoc = list_entry<tarvex_assoc>(pos);
        if (assoc->sock_info == client && assoc->tarvex_usb == usb)
            return true;
    }
    return false;
}

// The loop's last step of a close: a hold ends with its holder's last
// association on the probe, and so does the client's want of RTT capture.
static void end_close(const assoc_close *c, const _sock_info *client)
{
    close_connection_end(c);
    if (c->usb != nullptr && client != nullptr && !has_association_on(client, c->usb))
        rtt_capture_client_gone(client, c->usb);
    if (c->usb != nullptr)
        probe_hold_association_ended(c->usb);
}

static void close_work(probe_request *job)
{
    close_connection_probe_part(&as_request(job)->close);
}

static void close_finish(probe_request *job)
{
    tcp_request *r = back_on_loop(job);
    end_close(&r->close, r->client);
    reply_close(r, r->binary);
    hand_reply(r);
}

static void release_finish(probe_request *job)
{
    tcp_request *r = back_on_loop(job);
    end_close(&r->close, r->client);
}

// Binary close keeps the probe's mode; text close and a client's end take
// the probe out of it when they are its last user.
static bool begin_close(uint32_t key, bool leave_mode, assoc_close *c)
{
    return leave_mode ? tarvex_close_begin(key, c) : close_connection_begin(key, false, c);
}

// Queues the probe part of the close begun in r->close. False when there is
// none, or it cannot run: the association is then released without it.
static bool submit_close(tcp_request *r, void (*finish)(probe_request *))
{
    probe_request_bind(&r->job, r->close.usb);
    r->job.kind = finish == release_finish ? "release" : "close-device";
    if (r->close.usb == nullptr)
        return false;
    if (submit(r, close_work, finish))
        return true;
    CMD_ERROR("close of association %u: the probe's part is skipped", r->close.key);
    return false;
}

// A close with a probe part waits behind the probe's operations in flight.
static void start_close(tcp_request *r, uint32_t key, bool leave_mode, bool binary)
{
    r->binary = binary;
    if (begin_close(key, leave_mode, &r->close) && submit_close(r, close_finish))
        return;
    end_close(&r->close, r->client);
    reply_close(r, binary);
}

_sock_info *tcp_cmd_complete(probe_job *job)
{
    return probe_request_complete(job);
}

bool tcp_cmd_release_next(_sock_info *client)
{
    tcp_request *r = client->request;
    r->client = client;
    for (tarvex_assoc *assoc = get_connection_by_sock(client); assoc != nullptr;
         assoc = get_connection_by_sock(client)) {
        if (assoc->closing) {
            // Another client's close owns it and releases it when its probe
            // part is done; it must not refer to this record after it is freed.
            assoc->sock_info = nullptr;
            continue;
        }
        if (tarvex_close_begin(assoc->key, &r->close) && submit_close(r, release_finish))
            return true;
        end_close(&r->close, r->client);
    }
    return false;
}

tcp_request *tcp_cmd_new_request()
{
    return static_cast<tcp_request *>(calloc(1, sizeof(tcp_request)));
}

// ---------------------------------------------------------------------------
// Binary commands (continued)

static void bin_open_dev(tcp_request *r)
{
    uint32_t usd_dev_id = le_to_h_u32(r->buf + 4);
    int exclusive_access = r->buf[8] != 0 ? 1 : 0;
    CMD_DEBUG("TARVEX_TCP_CMD_OPEN_DEV for tarvex_usb_id : 0x%x, access: %d ", usd_dev_id, exclusive_access);
    start_open(r, usd_dev_id, true);
}

static void bin_close_dev(tcp_request *r)
{
    uint32_t cookie_id = le_to_h_u32(r->buf + 4);
    CMD_DEBUG("TARVEX_TCP_CMD_CLOSE_DEV for cookie_id: 0x%x", cookie_id);
    start_close(r, cookie_id, false, true);
}

// True when the pass-through's data phase fits the staging buffer: a write's
// data must have arrived in this request, a read's reply must fit.
static bool passthrough_size_fits(const tcp_request *r, const device_request_2 *request)
{
    if (request->input_request == REQUEST_READ || request->input_request == REQUEST_READ_EP3)
        return request->buffer_size <= static_cast<uint32_t>(TARVEX_DATA_BUFFER_SIZE - 4);
    // Fields past the bytes received read as zero, so a short request is a
    // write without data phase.
    uint32_t arrived = r->size > PASSTHROUGH_DATA_OFFSET ? static_cast<uint32_t>(r->size - PASSTHROUGH_DATA_OFFSET) : 0;
    return request->buffer_size <= arrived;
}

static void log_passthrough_request(const tcp_request *r, uint32_t cookie_id, const device_request_2 *request)
{
    if (!log_debug_enabled())
        return;
    const uint8_t *b = r->buf;
    CMD_DEBUG("TARVEX_TCP_CMD_SEND_USB_CMD : command received : cookie_id %x", cookie_id);
    for (int i = 0; i < 12; i += 4)
        CMD_DEBUG("cmd : %x, %x, %x, %x", b[i], b[i + 1], b[i + 2], b[i + 3]);
    if (request->input_request == REQUEST_READ || request->input_request == REQUEST_READ_EP3)
        CMD_DEBUG("REQUEST_READ : %x", request->buffer_size + 4);
    else
        CMD_DEBUG("REQUEST_WRITE : %x", 4);
    CMD_DEBUG("request.buffer_size = %ud", request->buffer_size);
}

static void bin_send_usb_cmd(tcp_request *r)
{
    uint32_t cookie_id = le_to_h_u32(r->buf + 4);
    // The probe sees the client socket's key, whatever the client put there.
    h_u32_to_le(r->buf + PASSTHROUGH_KEY_OFFSET, r->key);
    device_request_2 request;
    request.input_request =
        static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(r->buf[PASSTHROUGH_DIRECTION_OFFSET])));
    request.buffer_size = le_to_h_u32(r->buf + PASSTHROUGH_SIZE_OFFSET);
    log_passthrough_request(r, cookie_id, &request);
    if (!passthrough_size_fits(r, &request)) {
        CMD_ERROR("TARVEX_TCP_CMD_SEND_USB_CMD : buffer_size %u does not fit the request or reply (%d bytes "
                  "received)",
                  request.buffer_size, r->size);
        reply_status(r, TARVEX_TCP_FAIL);
        return;
    }
    uint8_t cmd[CMD_BLOCK_SIZE];
    memcpy(cmd, r->buf + PASSTHROUGH_CMD_OFFSET, sizeof(cmd));
    bool is_read = request.input_request == REQUEST_READ || request.input_request == REQUEST_READ_EP3;
    uint8_t *data = is_read ? r->buf + 4 : r->buf + PASSTHROUGH_DATA_OFFSET;
    if (is_read)
        memset(data, 0, request.buffer_size);
    // The loop looked the association up (and logged a missing one).
    long result =
        r->job.usb != nullptr ? tarvex_send_command_to(r->job.usb, cookie_id, &request, cmd, data) : ERROR_FAIL;
    if (result != 0 && is_read)
        memset(data, 0, request.buffer_size);
    h_u32_to_le(r->buf, error_convert(static_cast<int32_t>(result)));
    CMD_DEBUG("command return : \"%ud\"", static_cast<uint32_t>(result));
    CMD_DEBUG("return data : %x, %x, %x, %x, %x, %x, %x, %x", r->buf[4], r->buf[5], r->buf[6], r->buf[7], r->buf[8],
              r->buf[9], r->buf[10], r->buf[11]);
    if (is_read)
        reply_bytes(r, static_cast<int32_t>(request.buffer_size + 4));
    else if (request.input_request == REQUEST_WRITE)
        reply_bytes(r, 4);
    else
        reply_bytes(r, 0);
}

static void bin_get_server_api_version(tcp_request *r)
{
    uint8_t client_version = r->buf[1];
    CMD_DEBUG("TARVEX_TCP_GET_SERVER_API_VERSION cmd, client API v=%x server API v=%x", client_version,
              TARVEX_TCP_SERVER_API_VERSION);
    // Bytes 5..7, 9..11 and 13..15 keep what the request carried there.
    h_u32_to_le(r->buf, TARVEX_TCP_OK);
    r->buf[4] = TARVEX_TCP_SERVER_API_VERSION;
    r->buf[8] = 0;
    r->buf[12] = 0;
    reply_bytes(r, 16);
}

static void bin_get_nb_of_dev_clients(tcp_request *r)
{
    uint32_t count = get_nb_client_for_usb(le_to_h_u32(r->buf + 4));
    CMD_DEBUG("TARVEX_TCP_CMD_GET_NB_OF_DEV_CLIENTS : return => %d ", count);
    reply_status(r, count);
}

// ---------------------------------------------------------------------------
// Text commands: probes and sessions

static void txt_get_nb_tarvex(tcp_request *r)
{
    CMD_DEBUG("get-nb-tarvex : command received from (%s)", client_name(r));
    const char *mes = reply_text(r, "1 %d\n", tarvex_get_nb_devices());
    CMD_DEBUG("get-nb-tarvex: (%s) : returned value '%s'", client_name(r), mes);
}

// A client name after the probe key counts only the associations of clients
// registered under it: how a front end finds another instance of itself on
// a probe, however that one named the server.
static void txt_get_nb_usb_client(tcp_request *r)
{
    if (!tokenize_request(r))
        return;
    char *name = r->string[2];
    size_t len = strlen(name);
    if (len > 0 && name[len - 1] == '\n')
        name[--len] = '\0';
    const char *mes = reply_text(r, "1 %d\n", get_nb_client_for_usb(arg_udec(r, 1), len > 0 ? name : nullptr));
    CMD_DEBUG("get-nb-usb-client : (%s) : returned value '%s'", client_name(r), mes);
}

static void txt_get_nb_tcp_client(tcp_request *r)
{
    if (!tokenize_request(r))
        return;
    const char *mes = reply_text(r, "1 %d\n", get_nb_tcp_client() - listening_records);
    CMD_DEBUG("get-nb-tcp-client: (%s) : returned value '%s'", client_name(r), mes);
}

static void txt_get_tarvex_descriptor(tcp_request *r)
{
    if (!tokenize_request(r))
        return;
    CMD_DEBUG("get-tarvex-descriptor : command received from (%s)", client_name(r));
    int32_t index = arg_dec(r, 1);
    tarvex_device_info info;
    memset(&info, 0, sizeof(info));
    uint32_t key = tarvex_get_device_info2(static_cast<uint32_t>(index), &info);
    if (key == 0) {
        reply_text(r, "0\n");
        CMD_DEBUG("usb not found %d", index);
        return;
    }
    const char *serial = info.enum_unique_id;
    const char *mes = reply_text(r, "1 %x %x %x %s\n", key, info.vendor_id, info.product_id, serial);
    CMD_DEBUG("get-tarvex-descriptor : (%s): returned value : %s", client_name(r), mes);
    CMD_DEBUG("serial code %s", serial);
}

// "1 KEY VID PID SERIAL\n" as get-tarvex-descriptor answers, for the probe
// with this index (stable for the server's life, unlike a position); "0
// SERIAL\n" when the index was given to a probe that is not attached now;
// "0\n" when it was given to none (indices run from 0 without a gap).
static void txt_get_tarvex_by_index(tcp_request *r)
{
    if (!tokenize_request(r))
        return;
    int32_t index = arg_dec(r, 1);
    tarvex_usb *usb = index >= 0 ? get_tarvex_by_index(static_cast<unsigned>(index)) : nullptr;
    const char *gone = index >= 0 ? probe_index_serial(static_cast<unsigned>(index)) : nullptr;
    const char *mes;
    if (usb != nullptr)
        mes = reply_text(r, "1 %x %x %x %s\n", usb->key, usb->dev_desc.idVendor, usb->dev_desc.idProduct, usb->serial);
    else if (gone != nullptr)
        mes = reply_text(r, "0 %s\n", gone);
    else
        mes = reply_text(r, "0\n");
    CMD_DEBUG("get-tarvex-by-index : (%s): returned value : %s", client_name(r), mes);
}

static void txt_open_device(tcp_request *r)
{
    if (!tokenize_request(r))
        return;
    uint32_t device_id = arg_hex(r, 1);
    CMD_DEBUG("open-device : commmand received from (%s) : %x, %x", client_name(r), device_id, r->key);
    start_open(r, device_id, false);
}

static void txt_close_device(tcp_request *r)
{
    if (!tokenize_request(r))
        return;
    uint32_t assoc_id = arg_udec(r, 1);
    CMD_DEBUG("close-device : commmand received from (%s) : assoc_id = %d", client_name(r), assoc_id);
    start_close(r, assoc_id, true, false);
}

static void txt_usb_refresh(tcp_request *r)
{
    if (!tokenize_request(r))
        return;
    CMD_DEBUG("usb-refresh : command received from (%s)", client_name(r));
    const char *mes = reply_text(r, "1 %d\n", static_cast<int>(tarvex_refresh()));
    CMD_DEBUG("usb-refresh : (%s) returned value '%s'", client_name(r), mes);
}

static void txt_blink_led(tcp_request *r)
{
    if (!tokenize_request(r))
        return;
    CMD_DEBUG("tarvex-blink-led : command received from (%s)", client_name(r));
    int32_t index = arg_dec(r, 1);
    tarvex_usb_handle_s *handle = r->job.handle;
    const char *mes;
    if (r->job.usb != nullptr)
        CMD_DEBUG("usb(%d)->dev= %p", index, static_cast<void *>(handle));
    if (handle != nullptr && handle->fd != nullptr)
        mes = reply_text(r, "1 %d\n", tarvex_usb_blink_led(handle));
    else
        mes = reply_text(r, "0\n");
    CMD_DEBUG("tarvex-blink-led : (%s) returned value '%s'", client_name(r), mes);
}

static void txt_check(tcp_request *r)
{
    if (!tokenize_request(r))
        return;
    int32_t device = arg_dec(r, 1);
    uint32_t usb_key = arg_hex(r, 2);
    CMD_DEBUG("tarvex-check : command received from (%s): %d %x", client_name(r), device, usb_key);
    tarvex_usb *usb = nth(static_cast<unsigned>(device));
    const char *mes = reply_text(r, usb != nullptr && tarvex_check(usb, usb_key) ? "1\n" : "0\n");
    CMD_DEBUG("tarvex-check : (%s) returned value '%s'", client_name(r), mes);
}

// The probe key last chosen with "choose-tarvex"; only stored and reported.
static uint32_t tarvex_current;

static void txt_choose_tarvex(tcp_request *r)
{
    if (!tokenize_request(r))
        return;
    uint32_t usb_key = arg_hex(r, 1);
    CMD_DEBUG("choose-tarvex : command received from (%s): %x", client_name(r), usb_key);
    tarvex_current = usb_key;
    const char *mes = usb_key != 0 ? reply_text(r, "1 2\n") : reply_text(r, "1 0 %x\n", 0);
    CMD_DEBUG("choose-tarvex : (%s) returned value %s", client_name(r), mes);
}

static void txt_get_tarvex_chosen(tcp_request *r)
{
    if (!tokenize_request(r))
        return;
    CMD_DEBUG("get-tarvex-chosen : command received from (%s), current tarvex 0x%x", client_name(r), tarvex_current);
    const char *mes = reply_text(r, "1 %x\n", tarvex_current);
    CMD_DEBUG("get-tarvex-chosen : (%s) returned value %s", client_name(r), mes);
}

static void txt_tcp_version(tcp_request *r)
{
    if (!tokenize_request(r))
        return;
    uint32_t connect_id = arg_udec(r, 1);
    CMD_DEBUG("tarvex_tcp_version assoc %p", static_cast<const void *>(r->assoc));
    CMD_DEBUG("tarvex-tcp-version : command received from (%s)", client_name(r));
    tarvex_usb_handle_s *handle = r->job.handle;
    const char *mes;
    if (handle == nullptr) {
        mes = reply_text(r, "0\n");
    } else {
        struct tarvex_usb_version v;
        memset(&v, 0, sizeof(v));
        int result = tarvex_usb_version(handle, connect_id, &v);
        mes = reply_text(r, "1 %d %s %d %d %d %x %x\n", result, handle->version.name, v.tarvex, v.jtag, v.vemo, v.vid,
                         v.pid);
    }
    CMD_DEBUG("tarvex-tcp-version : (%s) returned value '%s'", client_name(r), mes);
}

static void txt_check_voltage(tcp_request *r)
{
    if (!tokenize_request(r))
        return;
    uint32_t connect_id = arg_udec(r, 1);
    CMD_DEBUG("tarvex-tcp-check-voltage : command received from (%s)", client_name(r));
    float voltage = 0.0f;
    int result = 0;
    tarvex_usb_handle_s *handle = r->job.handle;
    if (handle != nullptr)
        result = tarvex_usb_check_voltage(handle, &voltage, connect_id);
    const char *mes = reply_text(r, "1 %d %f\n", result, static_cast<double>(voltage));
    CMD_DEBUG("tarvex-tcp-check-voltage : (%s) returned value '%s'", client_name(r), mes);
}

static void txt_register_client(tcp_request *r)
{
    if (!tokenize_request(r))
        return;
    char *name = r->string[1];
    size_t len = strlen(name);
    if (len > 0 && name[len - 1] == '\n')
        name[--len] = '\0';
    // A name token may hold 79 characters; the record keeps 49 of them.
    if (len > 0) {
        size_t keep = len < sizeof(r->client->client_name) ? len : sizeof(r->client->client_name) - 1;
        memcpy(r->client->client_name, name, keep);
        r->client->client_name[keep] = '\0';
        memcpy(r->name, r->client->client_name, sizeof(r->name));
    }
    const char *mes = reply_text(r, "1\n");
    CMD_DEBUG("register-client : (%s) returned value '%s'", client_name(r), mes);
}

static void txt_get_version(tcp_request *r)
{
    if (!tokenize_request(r))
        return;
    reply_text(r, "%s\n", print_version());
}

static void txt_exit(tcp_request *r)
{
    CMD_DEBUG("tarvex-exit : command received from (%s)", client_name(r));
    if (!access_may_end_server(r->client)) {
        reply_text(r, "0\n");
        return;
    }
    exit(0);
}

// "tarvex-tcp-init-core" and "tarvex-tcp-close-core": the access point of the
// socket's association, always with key 0. `failure` formats a non-zero
// result: init sends it in hexadecimal (fffffffc), close in decimal.
struct core_command {
    const char *keyword;
    const char *failure;
    int (*run)(tarvex_usb_handle_s *h, uint8_t access_point_id, uint32_t key);
};

static void run_core_command(tcp_request *r, const core_command &command)
{
    if (!tokenize_request(r))
        return;
    int32_t connect_id = arg_dec(r, 1), coreid = arg_dec(r, 2);
    CMD_DEBUG("%s : command received from (%s): device %d, coreid %d", command.keyword, client_name(r), connect_id,
              coreid);
    tarvex_usb_handle_s *handle = r->job.handle;
    int result = handle != nullptr ? command.run(handle, static_cast<uint8_t>(coreid), 0) : 0;
    const char *mes = result != 0 ? reply_text(r, command.failure, result) : reply_text(r, "1 0\n");
    CMD_DEBUG("%s : (%s) returned value %s", command.keyword, client_name(r), mes);
}

static void txt_init_core(tcp_request *r)
{
    run_core_command(r, {"tarvex-tcp-init-core", "1 %x\n", tarvex_usb_init_access_point});
}

static void txt_close_core(tcp_request *r)
{
    run_core_command(r, {"tarvex-tcp-close-core", "1 %d\n", tarvex_usb_close_access_point});
}

// ---------------------------------------------------------------------------
// Text commands: debug operations
//
// Each is one driver operation on the probe of the socket's association (or,
// where marked, of the association with key connect_id), with connect_id as
// the key. Without an association the driver is not called and the result
// field is 0.

struct debug_call {
    const tcp_request *r;
    tarvex_usb_handle_s *handle;
    uint32_t key;   // connect_id
    uint32_t value; // the second number of "1 %d %x\n"-style replies
};

struct debug_command {
    const char *reply;    // "1 %d\n", or with a second number taken from value
    const char *received; // debug line: the client name, then arguments 2 and 3 (decimal); null: none
    const char *returned; // debug line: the client name, then the reply; null: none
    int (*run)(debug_call &c);
};

static void run_debug_command(tcp_request *r, const debug_command &command, tarvex_usb_handle_s *handle)
{
    debug_call c{r, handle, arg_udec(r, 1), 0};
    if (command.received != nullptr)
        CMD_DEBUG(command.received, client_name(r), arg_dec(r, 2), arg_dec(r, 3));
    int result = c.handle != nullptr ? command.run(c) : 0;
    const char *mes = reply_text(r, command.reply, result, c.value);
    if (command.returned != nullptr)
        CMD_DEBUG(command.returned, client_name(r), mes);
}

// The probe was found by the loop: the socket's association, or for some
// commands the association named by connect_id (see the keyword table).
static void run_on_probe(tcp_request *r, const debug_command &command)
{
    if (tokenize_request(r))
        run_debug_command(r, command, r->job.handle);
}

static constexpr debug_command assert_srst_command = {
    "1 %d\n", "tarvex-tcp-assert-srst : commmand received from (%s) : %d",
    "tarvex-tcp-assert-srst (%s): returned value %s",
    [](debug_call &c) { return tarvex_usb_assert_srst(c.handle, static_cast<uint8_t>(arg_dec(c.r, 2)), c.key); }};

static constexpr debug_command init_mode_command = {
    "1 %d\n", "tarvex-usb-init-mode : command received from (%s) : %d , %d",
    "tarvex-usb-init-mode :(%s) returned value %s", [](debug_call &c) {
        CMD_DEBUG("first param : %p", static_cast<void *>(c.handle));
        return tarvex_usb_init_mode(c.handle, arg_dec(c.r, 2) != 0,
                                    enum_arg(arg_dec(c.r, 3), HL_TRANSPORT_VEMO, HL_TRANSPORT_UNKNOWN), c.key);
    }};

static constexpr debug_command current_mode_command = {
    "1 %d %d\n", "tarvex-usb-current-mode : command received from (%s)",
    "tarvex-usb-current-mode :(%s) : returned value '%s'", [](debug_call &c) {
        uint8_t mode = 0;
        int result = tarvex_usb_current_mode(c.handle, &mode, c.key);
        c.value = mode;
        return result;
    }};

static constexpr debug_command exit_mode_command = {"1 %d %d\n", "tarvex-exit-mode : command received from (%s)",
                                                    "tarvex-exit-mode :(%s) : returned value '%s'",
                                                    [](debug_call &c) { return tarvex_exit_mode(c.handle, c.key); }};

static constexpr debug_command idcode_command = {
    "1 %d %x\n", "tarvex-usb-idcode : command received from (%s)", "tarvex-usb-idcode : (%s) : returned value '%s'",
    [](debug_call &c) { return tarvex_usb_idcode(c.handle, &c.value, c.key); }};

static constexpr debug_command read_debug_reg_command = {
    "1 %d %x\n", nullptr, nullptr, [](debug_call &c) {
        uint32_t addr = arg_hex(c.r, 2);
        uint8_t dapid = static_cast<uint8_t>(arg_dec(c.r, 3));
        int result = tarvex_usb_read_debug_reg(c.handle, addr, &c.value, dapid, c.key);
        CMD_DEBUG("tarvex-tcp-read-debug-reg : (%d) 0x%x => 0x%x", dapid, addr, c.value);
        return result;
    }};

static constexpr debug_command write_debug_reg_command = {
    "1 %d\n", nullptr, nullptr, [](debug_call &c) {
        uint32_t addr = arg_hex(c.r, 2), val = arg_hex(c.r, 3);
        uint8_t dapid = static_cast<uint8_t>(arg_dec(c.r, 4));
        CMD_DEBUG("tarvex-tcp-write-debug-reg : (%d) 0x%x <= 0x%x", dapid, addr, val);
        return tarvex_usb_write_debug_reg(c.handle, addr, val, dapid, c.key);
    }};

static constexpr debug_command get_status_command = {
    "1 %d\n", "tarvex-usb-get-status : command received from (%s)", "tarvex-usb-get-status : (%s) returned value '%s'",
    [](debug_call &c) { return static_cast<int>(tarvex_usb_get_status(c.handle, c.key)); }};

static constexpr debug_command set_swdclk_command = {
    "1 %d\n", "tarvex-usb-set-swdclk : command received from (%s) : %d",
    "tarvex-usb-set-swdclk : (%s) returned value '%s'",
    [](debug_call &c) { return tarvex_usb_set_swdclk(c.handle, static_cast<uint16_t>(arg_dec(c.r, 2)), c.key); }};

static constexpr debug_command state_command = {
    "1 %d\n", nullptr, nullptr, [](debug_call &c) { return static_cast<int>(tarvex_usb_state(c.handle, c.key)); }};

static constexpr debug_command reset_command = {"1 %d\n", "tarvex-usb-reset : command received from (%s)",
                                                "tarvex-usb-reset-tap : (%s) returned value '%s'",
                                                [](debug_call &c) { return tarvex_usb_reset_tap(c.handle, c.key); }};

static constexpr debug_command mode_enter_command = {
    "1 %d\n", nullptr, "tarvex-usb-mode-enter : (%s) returned value '%s'", [](debug_call &c) {
        return tarvex_usb_mode_enter(c.handle, enum_arg(arg_dec(c.r, 2), TARVEX_MODE_DEBUG_VEMO, TARVEX_MODE_UNKNOWN),
                                     c.key);
    }};

static constexpr debug_command mode_leave_command = {
    "1 %d\n", "tarvex-usb-mode-leave : command received from (%s) : %d",
    "tarvex-usb-mode-leave : (%s) returned value '%s'", [](debug_call &c) {
        return tarvex_usb_mode_leave(c.handle, enum_arg(arg_dec(c.r, 2), TARVEX_MODE_DEBUG_VEMO, TARVEX_MODE_UNKNOWN),
                                     c.key);
    }};

static constexpr debug_command read_reg_command = {
    "1 %d %x\n", nullptr, nullptr, [](debug_call &c) {
        uint32_t num = arg_hex(c.r, 2), dapid = arg_udec(c.r, 3);
        CMD_DEBUG("tarvex-tcp-read-reg : command received from (%s): R%d, %d", client_name(c.r), num, dapid);
        int result = tarvex_usb_read_reg(c.handle, num, &c.value, dapid, c.key);
        CMD_DEBUG("tarvex-tcp-read-reg : (%d) R%d => '%d'", dapid, num, c.value);
        return result;
    }};

static constexpr debug_command write_reg_command = {
    "1 %d\n", nullptr, nullptr, [](debug_call &c) {
        uint32_t num = arg_hex(c.r, 2), val = arg_hex(c.r, 3), dapid = arg_udec(c.r, 4);
        CMD_DEBUG("tarvex-tcp-write-reg : (%d) R%d <= '%d'", dapid, num, val);
        return tarvex_usb_write_reg(c.handle, num, val, dapid, c.key);
    }};

static constexpr debug_command get_rw_status_command = {
    "1 %d\n", "tarvex-usb-get-rw-status : command received from (%s)",
    "tarvex-usb-get-rw-status : (%s) returned value %s",
    [](debug_call &c) { return tarvex_usb_get_rw_status(c.handle, c.key); }};

static void txt_assert_srst(tcp_request *r)
{
    run_on_probe(r, assert_srst_command);
}
static void txt_init_mode(tcp_request *r)
{
    run_on_probe(r, init_mode_command);
}
static void txt_current_mode(tcp_request *r)
{
    run_on_probe(r, current_mode_command);
}
static void txt_exit_mode(tcp_request *r)
{
    run_on_probe(r, exit_mode_command);
}
static void txt_idcode(tcp_request *r)
{
    run_on_probe(r, idcode_command);
}
static void txt_read_debug_reg(tcp_request *r)
{
    run_on_probe(r, read_debug_reg_command);
}
static void txt_write_debug_reg(tcp_request *r)
{
    run_on_probe(r, write_debug_reg_command);
}
static void txt_get_status(tcp_request *r)
{
    run_on_probe(r, get_status_command);
}
static void txt_set_swdclk(tcp_request *r)
{
    run_on_probe(r, set_swdclk_command);
}
static void txt_state(tcp_request *r)
{
    run_on_probe(r, state_command);
}
static void txt_reset(tcp_request *r)
{
    run_on_probe(r, reset_command);
}
static void txt_mode_enter(tcp_request *r)
{
    run_on_probe(r, mode_enter_command);
}
static void txt_mode_leave(tcp_request *r)
{
    run_on_probe(r, mode_leave_command);
}
// The register file's words after the result: r0-r15, xPSR, MSP, PSP and the
// CONTROL/FAULTMASK/BASEPRI/PRIMASK word, in hex. A client that reads only
// "1 %d" sees the reply it always had; one that wants the values finds them
// there only when the probe's status byte said they are valid.
static void txt_read_regs(tcp_request *r)
{
    if (!tokenize_request(r))
        return;
    CMD_DEBUG("tarvex-tcp-read-regs : command received from (%s): %d", client_name(r), arg_dec(r, 2));
    tarvex_usb_handle_s *h = r->job.handle;
    int result = h != nullptr ? tarvex_usb_read_regs(h, arg_udec(r, 2), arg_udec(r, 1)) : 0;
    char *out = reinterpret_cast<char *>(r->buf);
    int len = snprintf(out, TARVEX_TCP_MES_SIZE, "1 %d", result);
    if (h != nullptr && result == ERROR_OK && tarvex_usb_error_check(h) == ERROR_OK) {
        for (uint32_t at = 4; at < TARVEX_REGFILE_REPLY_SIZE; at += 4)
            len += snprintf(out + len, 10, " %x", le_to_h_u32(h->databuf + at));
    }
    out[len++] = '\n';
    out[len] = '\0';
    reply_bytes(r, len);
    CMD_DEBUG("tarvex-tcp-read-regs : (%s) returned value '%s'", client_name(r), out);
}
static void txt_read_reg(tcp_request *r)
{
    run_on_probe(r, read_reg_command);
}
static void txt_write_reg(tcp_request *r)
{
    run_on_probe(r, write_reg_command);
}
static void txt_get_rw_status(tcp_request *r)
{
    run_on_probe(r, get_rw_status_command);
}

static void txt_speed(tcp_request *r)
{
    if (!tokenize_request(r))
        return;
    uint32_t connect_id = arg_udec(r, 1);
    int32_t khz = static_cast<int32_t>(arg_hex(r, 2));
    bool query = arg_hex(r, 3) != 0;
    CMD_DEBUG("tarvex-tcp-speed : (%s) command received \"tarvex-tcp-speed:\" %d, %d", client_name(r), khz, query);
    long speed = r->job.handle != nullptr ? tarvex_speed_of(r->job.handle, khz, query, connect_id) : 0;
    // A clock the probe refused is not the clock in force: answer as for no association.
    const char *mes = reply_text(r, "1 %ld\n", speed > 0 ? speed : 0);
    CMD_DEBUG("tarvex-tcp-speed (%s): returned value %s", client_name(r), mes);
}

static void txt_config_trace(tcp_request *r)
{
    if (!tokenize_request(r))
        return;
    uint32_t connect_id = arg_udec(r, 1);
    int32_t enabled = arg_dec(r, 2), protocol = arg_dec(r, 3), port_size = arg_dec(r, 4);
    uint32_t trace_freq = arg_udec(r, 5);
    CMD_DEBUG("tarvex-config-trace : command received from (%s): %d, %d, %d, %d", client_name(r), enabled, protocol,
              port_size, trace_freq);
    tarvex_usb_handle_s *handle = r->job.handle;
    int result = 0;
    if (handle != nullptr)
        result = tarvex_config_trace(handle, enabled != 0,
                                     enum_arg(protocol, TPIU_PIN_PROTOCOL_ASYNC_UART, TPIU_PIN_PROTOCOL_SYNC),
                                     static_cast<uint32_t>(port_size), &trace_freq, connect_id);
    const char *mes = reply_text(r, "1 %d %d\n", result, trace_freq);
    CMD_DEBUG("tarvex-config-trace (%s): returned value %s", client_name(r), mes);
}

// ---------------------------------------------------------------------------
// Text commands: memory and trace transfer

// Reads below this size are sent through the staging buffer; larger ones go
// out as header and data in one gathered write.
constexpr uint32_t TARVEX_TCP_SMALL_READ_LIMIT = tarvex_wire::SMALL_READ_LIMIT;
// A memory read asks for at most this many bytes; more is refused before
// anything is allocated.
constexpr uint64_t TARVEX_TCP_READ_MEM_LIMIT = tarvex_wire::READ_MEM_LIMIT;
// The probe captures trace into a buffer of this size (the start command asks
// for it), so a trace read never needs more.
constexpr int32_t TARVEX_TCP_TRACE_READ_LIMIT = tarvex_wire::TRACE_READ_LIMIT;

static mem_request parse_mem_request(const tcp_request *r)
{
    mem_request m;
    m.connect_id = arg_udec(r, 1);
    m.addr = arg_hex(r, 2);
    uint32_t size = arg_hex(r, 3);
    m.count = arg_hex(r, 4);
    m.dapid = static_cast<uint8_t>(arg_dec(r, 5));
    m.asked_size = size;
    m.asked_count = m.count;
    m.len = static_cast<uint64_t>(size) * m.count;
    // The driver takes a 16-bit item size and only tells 4 (words) from any
    // other size (bytes), so a wider item moves as len single bytes; a len
    // past 32 bits is over the limits and refused before the count is used.
    if (size > UINT16_MAX) {
        size = 1;
        m.count = static_cast<uint32_t>(m.len);
    }
    m.size = static_cast<uint16_t>(size);
    return m;
}

// Zeroes `data` (bytes a failed read did not reach go out as zeros), reads
// the memory into it and writes the debug lines; returns the driver's result.
static int read_mem_into(tcp_request *r, const mem_request &m, uint8_t *data, uint32_t len)
{
    memset(data, 0, len);
    CMD_DEBUG("tarvex-tcp-read-mem : command received from (%s): 0x%x, %d, %d, %p", client_name(r), m.addr, m.size,
              m.count, static_cast<void *>(data));
    CMD_DEBUG("len = 0x%x <=> %d", len, len);
    tarvex_usb_handle_s *handle = r->job.handle;
    int result = 0;
    if (handle != nullptr)
        result = tarvex_usb_read_mem(handle, m.addr, m.size, m.count, data, m.dapid, m.connect_id);
    CMD_DEBUG("work(%d) with the socket %x", m.dapid, r->sock);
    if (m.count == 4 && len >= 4) // size 0 has no word to show
        CMD_DEBUG("tarvex-tcp-read-mem : (%d) 0x%x <= 0x%x", m.dapid, m.addr, le_to_h_u32(data));
    return result;
}

static int format_read_header(char (&header)[TARVEX_TCP_MES_SIZE], int result, uint32_t len)
{
    return snprintf(header, sizeof(header), "1 %d %d\n", result, static_cast<int>(len));
}

// A small read lands in the staging buffer where the reply wants it after a
// success header: no buffer of its own and, on success, no copy. A failure's
// longer header moves the data along.
static void read_mem_staged(tcp_request *r, const mem_request &m, uint32_t len)
{
    char header[TARVEX_TCP_MES_SIZE];
    int at = format_read_header(header, ERROR_OK, len);
    int result = read_mem_into(r, m, r->buf + at, len);
    int header_len = format_read_header(header, result, len);
    if (header_len != at)
        memmove(r->buf + header_len, r->buf + at, len);
    memcpy(r->buf, header, static_cast<size_t>(header_len));
    reply_bytes(r, header_len + static_cast<int32_t>(len));
    CMD_DEBUG("tarvex-tcp-read-mem : (%s) : data returned : %d bytes", client_name(r), header_len + len);
}

// A large read goes out as the header in the staging buffer followed by the
// data in a buffer of its own, which the loop sends in one gathered write
// and frees.
static void read_mem_direct(tcp_request *r, const mem_request &m, uint32_t len)
{
    auto *data = static_cast<uint8_t *>(malloc(len + 1));
    if (data == nullptr) {
        CMD_ERROR("tarvex-tcp-read-mem : no memory for %u bytes", len);
        reply_text(r, "1 %d 0\n", ERROR_FAIL);
        return;
    }
    char header[TARVEX_TCP_MES_SIZE];
    int header_len = format_read_header(header, read_mem_into(r, m, data, len), len);
    memcpy(r->buf, header, static_cast<size_t>(header_len));
    reply_bytes(r, header_len);
    r->extra = data;
    r->extra_size = len;
}

static void txt_read_mem(tcp_request *r)
{
    if (!tokenize_request(r))
        return;
    mem_request m = parse_mem_request(r);
    if (m.len > TARVEX_TCP_READ_MEM_LIMIT) {
        CMD_ERROR("tarvex-tcp-read-mem : (%s) %u x %u bytes refused, more than %u", client_name(r), m.asked_count,
                  m.asked_size, static_cast<unsigned>(TARVEX_TCP_READ_MEM_LIMIT));
        reply_text(r, "1 %d 0\n", ERROR_FAIL);
        return;
    }
    uint32_t len = static_cast<uint32_t>(m.len);
    if (len < TARVEX_TCP_SMALL_READ_LIMIT)
        read_mem_staged(r, m, len);
    else
        read_mem_direct(r, m, len);
}

// A request whose line is followed by a payload: tarvex-tcp-write-mem and
// tarvex-rtt-write. length_of parses the line's tokens and gives the
// payload's length; false when the line is refused (its reply then formed).
struct payload_command {
    const char *keyword;
    const char *refused; // the failure form, formatted with ERROR_FAIL
    bool (*length_of)(tcp_request *r, uint64_t *len);
};

// The command line and its payload must fit the staging buffer, and the
// payload may not be longer than announced. A refusal answers its failure form.
static bool payload_fits(tcp_request *r, const payload_command &command, size_t size_cmd, uint64_t len)
{
    const char *why = nullptr;
    if (size_cmd + len > static_cast<uint64_t>(TARVEX_DATA_BUFFER_SIZE))
        why = "does not fit the staging buffer";
    else if (r->size - size_cmd > len)
        why = "carries more data than announced";
    if (why == nullptr)
        return true;
    CMD_ERROR("%s : (%s) %llu bytes refused: the request %s", command.keyword, client_name(r),
              static_cast<unsigned long long>(len), why);
    reply_text(r, command.refused, ERROR_FAIL);
    return false;
}

// On the loop, before the request acts: the command line is parsed and
// checked, and a payload that is not all there yet makes the loop gather it
// (recd_data.wanted) and present the whole request again. True when the
// request is complete and may go on.
static bool admit_payload(tcp_request *r, const payload_command &command)
{
    const auto *newline = static_cast<const uint8_t *>(memchr(r->buf, '\n', static_cast<size_t>(r->size)));
    if (newline == nullptr) {
        CMD_ERROR("%s : (%s) refused: no end of line after the command", command.keyword, client_name(r));
        reply_text(r, command.refused, ERROR_FAIL);
        return false;
    }
    size_t size_cmd = static_cast<size_t>(newline - r->buf) + 1;
    if (!tokenize_line(r, size_cmd - 1))
        return false;
    uint64_t len = 0;
    if (!command.length_of(r, &len) || !payload_fits(r, command, size_cmd, len))
        return false;
    r->payload_at = size_cmd;
    if (static_cast<uint64_t>(r->size) == size_cmd + len) {
        CMD_DEBUG("%s cmd complete", command.keyword);
        return true;
    }
    r->client->recd_data.wanted = static_cast<uint32_t>(size_cmd + len);
    CMD_DEBUG("%s read the next byte %d (wanted %d) cmd_size %d", command.keyword, r->size - static_cast<int>(size_cmd),
              static_cast<int>(len), static_cast<int>(size_cmd));
    return false;
}

static bool write_mem_length(tcp_request *r, uint64_t *len)
{
    r->mem = parse_mem_request(r);
    *len = r->mem.len;
    return true;
}

static constexpr payload_command write_mem_payload = {"tarvex-tcp-write-mem", "1 %d\n", write_mem_length};

static bool admit_write_mem(tcp_request *r)
{
    return admit_payload(r, write_mem_payload);
}

void tcp_cmd_log_payload_expired(const _sock_info *psock_info, int timeout_ms)
{
    CMD_ERROR("tcp-write-mem : no data from socket %d for %d ms", psock_info->sock, timeout_ms);
}

static void txt_write_mem(tcp_request *r)
{
    const mem_request &m = r->mem;
    const uint8_t *data = r->buf + r->payload_at;
    tarvex_usb_handle_s *handle = r->job.handle;
    int result = 0;
    if (handle != nullptr)
        result = tarvex_usb_write_mem(handle, m.addr, m.size, m.count, data, m.dapid, m.connect_id);
    if (m.len == 4)
        CMD_DEBUG("tarvex-tcp-write-mem : (%d) 0x%x <= 0x%x", m.dapid, m.addr, data[0]);
    const char *mes = reply_text(r, "1 %d\n", result);
    CMD_DEBUG("tarvex-write-mem : (%s) returned value '%s'", client_name(r), mes);
}

static void txt_trace_read(tcp_request *r)
{
    if (!tokenize_request(r))
        return;
    uint32_t connect_id = arg_udec(r, 1);
    int32_t wanted = arg_dec(r, 2);
    CMD_DEBUG("tarvex-usb-trace-read : command received from (%s) : %d", client_name(r), wanted);
    uint32_t size = static_cast<uint32_t>(wanted < 0                             ? 0
                                          : wanted > TARVEX_TCP_TRACE_READ_LIMIT ? TARVEX_TCP_TRACE_READ_LIMIT
                                                                                 : wanted);
    uint8_t data[TARVEX_TCP_TRACE_READ_LIMIT] = {};
    tarvex_usb_handle_s *handle = r->job.handle;
    int result = 0;
    if (handle != nullptr)
        result = tarvex_usb_trace_read(handle, data, &size, connect_id);
    // Nothing delivered is "1 1"; a failure keeps its code rather than look
    // like an empty success.
    char header[TARVEX_TCP_MES_SIZE];
    int header_len = snprintf(header, sizeof(header), "1 %d\n", size == 0 && result == 0 ? 1 : result);
    memcpy(r->buf, header, static_cast<size_t>(header_len));
    memcpy(r->buf + header_len, data, size);
    reply_bytes(r, header_len + static_cast<int32_t>(size));
    CMD_DEBUG("tarvex-usb-trace-read : (%s) returned value '%s' , size %d", client_name(r), header, size);
}

// ---------------------------------------------------------------------------
// Text commands: holds (see probe_hold.h)

// "tarvex-tcp-hold ID WAIT_MS": the loop made this client the holder; the
// reply comes once the operations queued on the probe before it are done.
static void txt_hold(tcp_request *r)
{
    const char *mes = reply_text(r, "1 %d\n", r->job.handle != nullptr ? ERROR_OK : ERROR_FAIL);
    CMD_DEBUG("tarvex-tcp-hold : (%s) returned value '%s'", client_name(r), mes);
}

// The probe of the association named by argument 1 when it is the client's
// own, or null.
static tarvex_usb *own_association_probe(tcp_request *r)
{
    const tarvex_assoc *assoc = get_connection_by_name(arg_udec(r, 1));
    if (assoc == nullptr || assoc->sock_info != r->client)
        return nullptr;
    r->assoc = assoc;
    return assoc_probe(assoc);
}

static void txt_release(tcp_request *r)
{
    if (!tokenize_request(r))
        return;
    tarvex_usb *usb = own_association_probe(r);
    int result = usb != nullptr && probe_hold_release(usb, r->client) == 0 ? ERROR_OK : ERROR_FAIL;
    const char *mes = reply_text(r, "1 %d\n", result);
    CMD_DEBUG("tarvex-tcp-release : (%s) returned value '%s'", client_name(r), mes);
}

// "tarvex-tcp-share-hold ID": "1 0 TOKEN\n" for the holder of the probe of
// its association ID (or a client that joined that hold), "1 -4\n" else.
static void txt_share_hold(tcp_request *r)
{
    if (!tokenize_request(r))
        return;
    tarvex_usb *usb = own_association_probe(r);
    char token[PROBE_HOLD_TOKEN_CHARS + 1];
    if (usb == nullptr || probe_hold_share(usb, r->client, token) != 0) {
        reply_text(r, "1 %d\n", ERROR_FAIL);
        return;
    }
    reply_text(r, "1 %d %s\n", ERROR_OK, token);
    CMD_DEBUG("tarvex-tcp-share-hold : (%s) returned a token", client_name(r));
}

// "tarvex-tcp-join-hold ID TOKEN": this client's requests on the probe of
// its association ID go as the holder's while that hold lasts.
static void txt_join_hold(tcp_request *r)
{
    if (!tokenize_request(r))
        return;
    tarvex_usb *usb = own_association_probe(r);
    char *token = r->string[2];
    token[strcspn(token, "\r\n")] = '\0'; // the last token keeps the line's end
    int result = usb != nullptr && probe_hold_join(usb, r->client, token) == 0 ? ERROR_OK : ERROR_FAIL;
    const char *mes = reply_text(r, "1 %d\n", result);
    CMD_DEBUG("tarvex-tcp-join-hold : (%s) returned value '%s'", client_name(r), mes);
}

// Association keys start at 256, so a smaller ID is a probe index: a
// client that opened nothing (a listing) can ask too.
constexpr uint32_t HOLDER_POSITION_LIMIT = 256;

// "1 HOLDER SECONDS WAITERS\n", HOLDER "-" when nobody holds the probe; "0\n"
// when the ID names no probe. At most 63 characters: the label has 39.
static tarvex_usb *probe_of_id(uint32_t id)
{
    return id < HOLDER_POSITION_LIMIT ? get_tarvex_by_index(id) : assoc_probe(get_connection_by_name(id));
}

static void txt_who_holds(tcp_request *r)
{
    if (!tokenize_request(r))
        return;
    tarvex_usb *usb = probe_of_id(arg_udec(r, 1));
    if (usb == nullptr) {
        reply_text(r, "0\n");
        return;
    }
    probe_hold_info info;
    probe_hold_query(usb, &info);
    const char *mes = reply_text(r, "1 %s %llu %u\n", info.holder[0] != '\0' ? info.holder : "-",
                                 static_cast<unsigned long long>(info.age_ms / 1000), info.waiters);
    CMD_DEBUG("tarvex-tcp-who-holds : (%s) returned value '%s'", client_name(r), mes);
}

// "1 0\n" when the hold on the probe ID names (as for who-holds) ended, "1
// -4\n" when nobody held it or there is no such probe, "1 -7\n" when the
// client may not end another's hold. For a holder that is stopped or stuck
// with its connection open: the holder is not told, and its connection goes
// on without the hold.
static void txt_force_release(tcp_request *r)
{
    if (!tokenize_request(r))
        return;
    char who[64], holder[sizeof(probe_hold_info::holder)];
    if (!access_may_release_holds(r->client, who, sizeof(who))) {
        reply_text(r, "1 %d\n", ERROR_NOT_PERMITTED);
        return;
    }
    uint32_t id = arg_udec(r, 1);
    tarvex_usb *usb = probe_of_id(id);
    if (usb == nullptr || probe_hold_force_release(usb, holder, sizeof(holder)) != 0) {
        reply_text(r, "1 %d\n", ERROR_FAIL);
        return;
    }
    CMD_LOG(LOG_LVL_WARNING, "hold on probe %u (%s) released by %s (held by %s)", usb->index, usb->serial, who, holder);
    reply_text(r, "1 %d\n", ERROR_OK);
}

// ---------------------------------------------------------------------------
// Text commands: RTT capture (rtt_capture.h), on the loop

// A whole token as a number of the base, at most max ("0x" allowed before a
// hexadecimal one; the line's end after the last token is no part of it).
// False for anything else: no digits, a sign, other characters, too large.
static bool strict_number(const char *token, int base, uint64_t max, uint64_t *value)
{
    size_t len = strcspn(token, "\r\n");
    if (base == 16 && len > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
        token += 2;
        len -= 2;
    }
    if (len == 0 || len > 20)
        return false;
    uint64_t v = 0;
    for (size_t i = 0; i < len; i++) {
        int c = static_cast<unsigned char>(token[i]);
        int digit = isdigit(c) ? c - '0' : base == 16 && isxdigit(c) ? tolower(c) - 'a' + 10 : -1;
        if (digit < 0 || v > (UINT64_MAX - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base))
            return false;
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    }
    if (v > max)
        return false;
    *value = v;
    return true;
}

static bool arg_number(const tcp_request *r, int index, int base, uint64_t max, uint64_t *value)
{
    return strict_number(r->string[index], base, max, value);
}

// Tokens after the keyword.
static int argument_count(const tcp_request *r)
{
    int n = 0;
    while (n + 1 < TARVEX_TCP_TOKEN_SLOTS && strcspn(r->string[n + 1], "\r\n") > 0)
        n++;
    return n;
}

// The probe of the client's own association named by argument 1, and what
// the capture says when that association's probe has gone from the registry.
static tarvex_usb *rtt_probe(tcp_request *r, int *failure)
{
    uint64_t id = 0;
    const tarvex_assoc *assoc =
        arg_number(r, 1, 10, UINT32_MAX, &id) ? get_connection_by_name(static_cast<uint32_t>(id)) : nullptr;
    *failure = ERROR_FAIL;
    if (assoc == nullptr || assoc->sock_info != r->client)
        return nullptr;
    r->assoc = assoc;
    if (assoc_probe(assoc) == nullptr)
        *failure = tarvex_wire::RESULT_RTT_GONE;
    return assoc_probe(assoc);
}

// "tarvex-rtt-start ID FLAGS BASE LEN [ADDR]": "1 RESULT\n".
static void txt_rtt_start(tcp_request *r)
{
    if (!tokenize_request(r))
        return;
    int failure = ERROR_FAIL;
    tarvex_usb *usb = rtt_probe(r, &failure);
    uint64_t flags = 0, base = 0, len = 0, addr = 0;
    int args = argument_count(r);
    bool good = usb != nullptr && (args == 4 || args == 5) &&
                arg_number(r, 2, 10, tarvex_wire::RTT_START_PLACE_ONLY, &flags) &&
                arg_number(r, 3, 16, UINT32_MAX, &base) && arg_number(r, 4, 16, UINT32_MAX, &len) &&
                (args == 4 || arg_number(r, 5, 16, UINT32_MAX, &addr));
    int result = usb == nullptr ? failure : ERROR_FAIL;
    if (good)
        result = rtt_capture_start(usb, r->client, (flags & tarvex_wire::RTT_START_PLACE_ONLY) == 0,
                                   rtt_range{static_cast<uint32_t>(base), static_cast<uint32_t>(len)},
                                   static_cast<uint32_t>(addr));
    const char *mes = reply_text(r, "1 %d\n", result);
    CMD_DEBUG("tarvex-rtt-start : (%s) returned value '%s'", client_name(r), mes);
}

// "tarvex-rtt-stop ID": "1 RESULT\n".
static void txt_rtt_stop(tcp_request *r)
{
    if (!tokenize_request(r))
        return;
    int failure = ERROR_FAIL;
    tarvex_usb *usb = rtt_probe(r, &failure);
    int result = usb == nullptr || argument_count(r) != 1 ? failure : rtt_capture_stop(usb, r->client);
    reply_text(r, "1 %d\n", result);
}

// A header line before `len` bytes built at r->buf + TARVEX_TCP_MES_SIZE:
// the bytes move up to follow it.
static void reply_with_bytes(tcp_request *r, const char *header, uint32_t len)
{
    size_t header_len = strlen(header);
    memmove(r->buf + header_len, r->buf + TARVEX_TCP_MES_SIZE, len);
    memcpy(r->buf, header, header_len);
    reply_bytes(r, static_cast<int32_t>(header_len + len));
}

// "tarvex-rtt-status ID": "1 RESULT LEN\n" and LEN bytes of lines.
static void txt_rtt_status(tcp_request *r)
{
    if (!tokenize_request(r))
        return;
    int failure = ERROR_FAIL;
    tarvex_usb *usb = rtt_probe(r, &failure);
    if (usb == nullptr || argument_count(r) != 1) {
        reply_text(r, "1 %d 0\n", usb == nullptr ? failure : ERROR_FAIL);
        return;
    }
    auto *text = reinterpret_cast<char *>(r->buf + TARVEX_TCP_MES_SIZE);
    size_t len = rtt_capture_status(usb, text, TARVEX_DATA_BUFFER_SIZE - TARVEX_TCP_MES_SIZE);
    char header[TARVEX_TCP_MES_SIZE];
    snprintf(header, sizeof(header), "1 %d %zu\n", ERROR_OK, len);
    reply_with_bytes(r, header, static_cast<uint32_t>(len));
}

static bool parse_rtt_read(const tcp_request *r, rtt_read_ask *ask, uint64_t *wait_ms)
{
    uint64_t channel = 0, max = 0;
    if (argument_count(r) != 5 || !arg_number(r, 2, 10, RTT_MAX_CHANNELS - 1, &channel) ||
        !arg_number(r, 4, 10, tarvex_wire::RTT_READ_LIMIT, &max) ||
        !arg_number(r, 5, 10, tarvex_wire::RTT_WAIT_LIMIT_MS, wait_ms))
        return false;
    ask->channel = static_cast<uint32_t>(channel);
    ask->max = static_cast<uint32_t>(max);
    ask->from_end = strncmp(r->string[3], tarvex_wire::RTT_POSITION_END, strcspn(r->string[3], "\r\n")) == 0 &&
                    strcspn(r->string[3], "\r\n") == strlen(tarvex_wire::RTT_POSITION_END);
    return ask->from_end || arg_number(r, 3, 10, UINT64_MAX, &ask->position);
}

// A reader with no bytes to read yet waits (client_cycle's RTT_WAIT) until
// its deadline, which it keeps when presented again, as it keeps the
// position an "end" stood for when it began to wait.
static bool reader_waits(tcp_request *r, const rtt_read_answer &a, uint64_t wait_ms)
{
    _sock_info *c = r->client;
    bool again = c->phase == CLIENT_RTT_WAIT;
    uint64_t now = monotonic_ms();
    uint64_t until = again ? c->wait_until_ms : now + wait_ms;
    if (a.len > 0 || !a.may_wait || until <= now)
        return false;
    c->wait_until_ms = until;
    c->wait_position = a.start;
    r->waits_rtt = true;
    return true;
}

// "tarvex-rtt-read ID CHANNEL POSITION MAX WAIT_MS": "1 RESULT START LOST
// LEN\n" and LEN bytes, or later when it waits.
static void txt_rtt_read(tcp_request *r)
{
    if (!tokenize_request(r))
        return;
    int failure = ERROR_FAIL;
    tarvex_usb *usb = rtt_probe(r, &failure);
    rtt_read_ask ask = {};
    uint64_t wait_ms = 0;
    if (usb == nullptr || !parse_rtt_read(r, &ask, &wait_ms)) {
        reply_text(r, "1 %d 0 0 0\n", usb == nullptr ? failure : ERROR_FAIL);
        return;
    }
    if (r->client->phase == CLIENT_RTT_WAIT) {
        ask.from_end = false;
        ask.position = r->client->wait_position;
    }
    rtt_read_answer a;
    rtt_capture_read(usb, ask, r->buf + TARVEX_TCP_MES_SIZE, &a);
    if (reader_waits(r, a, wait_ms))
        return;
    char header[TARVEX_TCP_MES_SIZE];
    snprintf(header, sizeof(header), "1 %d %llu %llu %u\n", a.result, static_cast<unsigned long long>(a.start),
             static_cast<unsigned long long>(a.lost), a.len);
    reply_with_bytes(r, header, a.len);
}

static bool rtt_write_length(tcp_request *r, uint64_t *len)
{
    if (argument_count(r) == 3 && arg_number(r, 3, 16, tarvex_wire::RTT_WRITE_LIMIT, len))
        return true;
    CMD_ERROR("tarvex-rtt-write : (%s) refused: its length is not a hexadecimal number up to %x", client_name(r),
              tarvex_wire::RTT_WRITE_LIMIT);
    reply_text(r, "1 %d 0\n", ERROR_FAIL);
    return false;
}

static constexpr payload_command rtt_write_payload = {"tarvex-rtt-write", "1 %d 0\n", rtt_write_length};

// "tarvex-rtt-write ID CHANNEL LEN\n" and LEN bytes: "1 RESULT ACCEPTED\n".
static void txt_rtt_write(tcp_request *r)
{
    if (!admit_payload(r, rtt_write_payload))
        return;
    int failure = ERROR_FAIL;
    tarvex_usb *usb = rtt_probe(r, &failure);
    uint64_t channel = 0;
    uint32_t accepted = 0;
    int result = usb == nullptr ? failure : ERROR_FAIL;
    if (usb != nullptr && arg_number(r, 2, 10, RTT_MAX_CHANNELS - 1, &channel))
        result = rtt_capture_write(usb, static_cast<uint32_t>(channel), r->buf + r->payload_at,
                                   static_cast<uint32_t>(r->size - static_cast<int>(r->payload_at)), &accepted);
    reply_text(r, "1 %d %u\n", result, accepted);
}

// ---------------------------------------------------------------------------
// Dispatch

// How the loop finds the probe a request acts on. A request whose probe is
// found runs on that probe's worker; any other is answered on the loop (a
// probe command without a probe answers its "no association" reply there).
enum probe_route : uint8_t {
    ROUTE_NONE,    // no probe work
    ROUTE_SOCK,    // the probe of the socket's first association
    ROUTE_KEY,     // the probe of the association named by argument 1
    ROUTE_INDEX,   // the probe at registry position argument 1
    ROUTE_PAYLOAD, // as ROUTE_SOCK, once a memory write's payload is all there
    ROUTE_IDLE,    // the whole registry: only while no probe work is in flight
    ROUTE_HOLD,    // as ROUTE_KEY, for a hold: the association must be the client's own
};

struct text_command {
    const char *keyword;
    size_t compared; // characters compared: the keyword's length but for one
    tcp_cmd_handler handler;
    probe_route route;
    // The reply of a request refused because another client holds its probe,
    // formatted with ERROR_PROBE_HELD: the command's own failure form. Null
    // for the commands that never reach a probe.
    const char *refused;
};

// Tried in this order, each a prefix test of `compared` characters: longer
// keywords come before their prefixes ("tarvex-tcp-read-regs" before
// "tarvex-tcp-read-reg"), and the memory write matches on "tarvex-tcp-write"
// only after the two register writes had their chance. Open and close find
// their probe themselves: on a probe another client holds they send it no
// command, as that client's association keeps it open. The hold commands,
// the lookup by index and the RTT commands come after the first 40; none is
// a prefix of another keyword or begins with one. The RTT commands act on the
// loop's capture (they reach no probe, so no hold makes them wait), finding
// the probe from the client's own association named by argument 1.
static constexpr text_command text_commands[] = {
    {tarvex_wire::KW_GET_NB_TARVEX, 13, txt_get_nb_tarvex, ROUTE_NONE, nullptr},
    {tarvex_wire::KW_GET_NB_USB_CLIENT, 17, txt_get_nb_usb_client, ROUTE_NONE, nullptr},
    {tarvex_wire::KW_GET_NB_TCP_CLIENT, 17, txt_get_nb_tcp_client, ROUTE_NONE, nullptr},
    {tarvex_wire::KW_GET_DESCRIPTOR, 21, txt_get_tarvex_descriptor, ROUTE_NONE, nullptr},
    {tarvex_wire::KW_OPEN_DEVICE, 11, txt_open_device, ROUTE_NONE, nullptr},
    {tarvex_wire::KW_CLOSE_DEVICE, 12, txt_close_device, ROUTE_NONE, nullptr},
    {tarvex_wire::KW_ASSERT_SRST, 22, txt_assert_srst, ROUTE_SOCK, "1 %d\n"},
    {tarvex_wire::KW_INIT_MODE, 20, txt_init_mode, ROUTE_SOCK, "1 %d\n"},
    {tarvex_wire::KW_CURRENT_MODE, 23, txt_current_mode, ROUTE_SOCK, "1 %d 0\n"},
    {tarvex_wire::KW_EXIT_MODE, 16, txt_exit_mode, ROUTE_SOCK, "1 %d 0\n"},
    {tarvex_wire::KW_IDCODE, 17, txt_idcode, ROUTE_SOCK, "1 %d 0\n"},
    {tarvex_wire::KW_READ_DEBUG_REG, 25, txt_read_debug_reg, ROUTE_SOCK, "1 %d 0\n"},
    {tarvex_wire::KW_WRITE_DEBUG_REG, 26, txt_write_debug_reg, ROUTE_SOCK, "1 %d\n"},
    {tarvex_wire::KW_TRACE_READ, 21, txt_trace_read, ROUTE_KEY, "1 %d\n"},
    {tarvex_wire::KW_GET_STATUS, 21, txt_get_status, ROUTE_SOCK, "1 %d\n"},
    {tarvex_wire::KW_VERSION, 18, txt_tcp_version, ROUTE_KEY, "0\n"},
    {tarvex_wire::KW_CHECK_VOLTAGE, 24, txt_check_voltage, ROUTE_SOCK, "1 %d 0.000000\n"},
    {tarvex_wire::KW_SET_SWDCLK, 21, txt_set_swdclk, ROUTE_SOCK, "1 %d\n"},
    {tarvex_wire::KW_STATE, 16, txt_state, ROUTE_SOCK, "1 %d\n"},
    {tarvex_wire::KW_RESET, 16, txt_reset, ROUTE_SOCK, "1 %d\n"},
    {tarvex_wire::KW_MODE_ENTER, 21, txt_mode_enter, ROUTE_SOCK, "1 %d\n"},
    {tarvex_wire::KW_MODE_LEAVE, 21, txt_mode_leave, ROUTE_SOCK, "1 %d\n"},
    {tarvex_wire::KW_READ_REGS, 20, txt_read_regs, ROUTE_SOCK, "1 %d\n"},
    {tarvex_wire::KW_READ_REG, 19, txt_read_reg, ROUTE_SOCK, "1 %d 0\n"},
    {tarvex_wire::KW_WRITE_REG, 20, txt_write_reg, ROUTE_SOCK, "1 %d\n"},
    {tarvex_wire::KW_GET_RW_STATUS, 24, txt_get_rw_status, ROUTE_KEY, "1 %d\n"},
    {tarvex_wire::KW_READ_MEM, 19, txt_read_mem, ROUTE_KEY, "1 %d 0\n"},
    {tarvex_wire::KW_WRITE_MEM, 16, txt_write_mem, ROUTE_PAYLOAD, "1 %d\n"},
    {tarvex_wire::KW_SPEED, 16, txt_speed, ROUTE_KEY, "1 0\n"},
    {tarvex_wire::KW_CONFIG_TRACE, 19, txt_config_trace, ROUTE_SOCK, "1 %d 0\n"},
    {tarvex_wire::KW_USB_REFRESH, 11, txt_usb_refresh, ROUTE_IDLE, nullptr},
    {tarvex_wire::KW_BLINK_LED, 16, txt_blink_led, ROUTE_INDEX, "0\n"},
    {tarvex_wire::KW_CHECK, 12, txt_check, ROUTE_NONE, nullptr},
    {tarvex_wire::KW_CHOOSE, 13, txt_choose_tarvex, ROUTE_NONE, nullptr},
    {tarvex_wire::KW_INIT_CORE, 20, txt_init_core, ROUTE_SOCK, "1 %x\n"},
    {tarvex_wire::KW_CLOSE_CORE, 21, txt_close_core, ROUTE_SOCK, "1 %d\n"},
    {tarvex_wire::KW_GET_CHOSEN, 17, txt_get_tarvex_chosen, ROUTE_NONE, nullptr},
    {tarvex_wire::KW_REGISTER_CLIENT, 15, txt_register_client, ROUTE_NONE, nullptr},
    {tarvex_wire::KW_GET_VERSION, 11, txt_get_version, ROUTE_NONE, nullptr},
    {tarvex_wire::KW_EXIT, 11, txt_exit, ROUTE_NONE, nullptr},
    {tarvex_wire::KW_HOLD, 15, txt_hold, ROUTE_HOLD, "1 %d\n"},
    {tarvex_wire::KW_RELEASE, 18, txt_release, ROUTE_NONE, nullptr},
    {tarvex_wire::KW_WHO_HOLDS, 20, txt_who_holds, ROUTE_NONE, nullptr},
    {tarvex_wire::KW_SHARE_HOLD, 21, txt_share_hold, ROUTE_NONE, nullptr},
    {tarvex_wire::KW_JOIN_HOLD, 20, txt_join_hold, ROUTE_NONE, nullptr},
    {tarvex_wire::KW_FORCE_RELEASE, 24, txt_force_release, ROUTE_NONE, nullptr},
    {tarvex_wire::KW_GET_BY_INDEX, 19, txt_get_tarvex_by_index, ROUTE_NONE, nullptr},
    {tarvex_wire::KW_RTT_START, 16, txt_rtt_start, ROUTE_NONE, nullptr},
    {tarvex_wire::KW_RTT_STOP, 15, txt_rtt_stop, ROUTE_NONE, nullptr},
    {tarvex_wire::KW_RTT_STATUS, 17, txt_rtt_status, ROUTE_NONE, nullptr},
    {tarvex_wire::KW_RTT_READ, 15, txt_rtt_read, ROUTE_NONE, nullptr},
    {tarvex_wire::KW_RTT_WRITE, 16, txt_rtt_write, ROUTE_NONE, nullptr},
};
static constexpr int text_command_count = sizeof(text_commands) / sizeof(text_commands[0]);
static_assert(text_command_count == 52, "the keyword table has 40 rows, the five hold commands, the "
                                        "administrator's release, the lookup by index and the five RTT commands");

static constexpr bool keyword_begins_with(const char *text, const char *prefix, size_t length)
{
    for (size_t i = 0; i < length; i++)
        if (text[i] != prefix[i])
            return false;
    return true;
}

static constexpr size_t keyword_length(const char *text)
{
    size_t n = 0;
    while (text[n] != '\0')
        n++;
    return n;
}

// A keyword after the first 40 that shared a prefix with another keyword would be reached
// by its requests, or reach theirs, depending on table order.
static constexpr bool hold_commands_stand_apart()
{
    for (int i = 40; i < text_command_count; i++)
        for (int j = 0; j < text_command_count; j++) {
            if (i == j)
                continue;
            const text_command &a = text_commands[i], &b = text_commands[j];
            if (keyword_begins_with(a.keyword, b.keyword, b.compared) ||
                keyword_begins_with(b.keyword, a.keyword, a.compared))
                return false;
            if (a.compared != keyword_length(a.keyword))
                return false;
        }
    return true;
}
static_assert(hold_commands_stand_apart(),
              "a keyword after the first 40 is a prefix of another keyword or begins with one");

struct binary_command {
    tcp_cmd_handler handler;
    probe_route route; // ROUTE_KEY: the association named by bytes 4..7
};

static constexpr binary_command binary_commands[] = {
    {bin_refresh, ROUTE_IDLE},
    {bin_get_nb_dev, ROUTE_NONE},
    {bin_get_dev_info, ROUTE_NONE},
    {bin_open_dev, ROUTE_NONE},
    {bin_close_dev, ROUTE_NONE},
    {bin_send_usb_cmd, ROUTE_KEY},
    {bin_get_server_api_version, ROUTE_NONE},
    {bin_get_nb_of_dev_clients, ROUTE_NONE},
};
static_assert(sizeof(binary_commands) / sizeof(binary_commands[0]) == 8, "binary codes 0x00..0x07");

int tcp_cmd_find_keyword(const char *request)
{
    for (int i = 0; i < text_command_count; i++)
        if (strncmp(request, text_commands[i].keyword, text_commands[i].compared) == 0)
            return i;
    return -1;
}

const char *tcp_cmd_keyword(int index)
{
    return index >= 0 && index < text_command_count ? text_commands[index].keyword : nullptr;
}

static void use_association(tcp_request *r, const tarvex_assoc *assoc)
{
    r->assoc = assoc;
    r->job.usb = assoc_probe(assoc);
}

// A hold is taken through the client's own association only; another
// client's is answered as no association.
static bool find_own_probe(tcp_request *r)
{
    if (!tokenize_request(r))
        return false;
    r->job.usb = own_association_probe(r);
    return true;
}

// The reply of a request that did not reach its probe, refused for another
// client's hold (ERROR_PROBE_HELD) or for want of a worker (ERROR_FAIL): the
// command's failure form; the pass-through (the one binary request that
// waits) as for a probe it cannot reach.
static void reply_failure(tcp_request *r, const text_command *command, int code)
{
    if (command == nullptr) {
        probe_request_bind(&r->job, nullptr);
        bin_send_usb_cmd(r);
        return;
    }
    reply_text(r, command->refused != nullptr ? command->refused : "1 %d\n", code);
}

// Fills r->job.usb for the route; false when the request was answered instead
// (its arguments could not be tokenised, or a memory write is refused or
// still gathering its payload).
static bool find_probe(tcp_request *r, probe_route route, bool binary)
{
    switch (route) {
    case ROUTE_NONE:
    case ROUTE_IDLE:
        return true;
    case ROUTE_PAYLOAD:
        if (!admit_write_mem(r))
            return false;
        use_association(r, get_connection_by_sock(r->client));
        return true;
    case ROUTE_SOCK:
        use_association(r, get_connection_by_sock(r->client));
        return true;
    case ROUTE_KEY:
        if (binary) {
            r->job.usb = tarvex_assoc_probe(le_to_h_u32(r->buf + 4));
            return true;
        }
        if (!tokenize_request(r))
            return false;
        use_association(r, get_connection_by_name(arg_udec(r, 1)));
        return true;
    case ROUTE_INDEX:
        if (!tokenize_request(r))
            return false;
        r->job.usb = nth(static_cast<unsigned>(arg_dec(r, 1)));
        return true;
    case ROUTE_HOLD:
        return find_own_probe(r);
    }
    return true;
}

// Whether a request of the route may go to its probe now; false when it
// waits behind another client's hold (its request stays in the buffer as it
// arrived) or was refused (its failure is then the reply).
static bool hold_lets_through(tcp_request *r, const text_command *command, probe_route route, tcp_cmd_outcome *waits)
{
    uint64_t wait_ms = probe_hold_wait_ms();
    if (route == ROUTE_HOLD) {
        int32_t asked = arg_dec(r, 2);
        wait_ms = asked > 0 ? static_cast<uint64_t>(asked) : 0;
    }
    switch (probe_hold_admit(r->job.usb, r->client, wait_ms)) {
    case HOLD_GO:
        if (route == ROUTE_HOLD)
            probe_hold_take(r->job.usb, r->client);
        return true;
    case HOLD_QUEUED:
        *waits = TCP_CMD_WAITS_HOLD;
        return false;
    case HOLD_REFUSED:
        break;
    }
    stats_refused(REFUSED_HOLD, r->client->client_name);
    reply_failure(r, command, ERROR_PROBE_HELD);
    *waits = TCP_CMD_REPLIED;
    return false;
}

// A probe handler for a request that names no probe forms its "no
// association" reply here on the loop, with what it would see on a worker: a
// null handle and no client.
static void reply_without_probe(tcp_request *r, tcp_cmd_handler handler)
{
    probe_request_bind(&r->job, nullptr);
    _sock_info *client = r->client;
    r->client = nullptr;
    handler(r);
    r->client = client;
}

// AIRCR: a write of its key with SYSRESETREQ resets the system.
constexpr uint32_t AIRCR_ADDRESS = 0xE000ED0C;
constexpr uint32_t AIRCR_VECTKEY = 0x05FA0000;
constexpr uint32_t AIRCR_SYSRESETREQ = 0x4;

// Requests whose probe work resets the target, as far as they can be told
// apart cheaply: the reset commands, a mode entry (which may hold the target
// in reset), a debug register write of SYSRESETREQ, and their pass-through
// forms.
static bool resets_target(const tcp_request *r, tcp_cmd_handler handler)
{
    if (handler == txt_reset || handler == txt_assert_srst || handler == txt_init_mode || handler == txt_mode_enter)
        return true;
    if (handler == txt_write_debug_reg) {
        // Its arguments are parsed on the worker: a look of our own here.
        char string[TARVEX_TCP_TOKEN_SLOTS][TARVEX_TCP_TOKEN_SIZE] = {};
        uint32_t addr = 0, value = 0;
        return tcp_cmd_tokenize_n(reinterpret_cast<const char *>(r->buf), static_cast<size_t>(r->size), string) >= 4 &&
               tcp_cmd_parse_hex(string[2], &addr) && tcp_cmd_parse_hex(string[3], &value) && addr == AIRCR_ADDRESS &&
               (value & 0xFFFF0000u) == AIRCR_VECTKEY && (value & AIRCR_SYSRESETREQ) != 0;
    }
    if (handler != bin_send_usb_cmd || r->buf[PASSTHROUGH_CMD_OFFSET] != TARVEX_DEBUG_COMMAND)
        return false;
    uint8_t sub = r->buf[PASSTHROUGH_CMD_OFFSET + 1];
    return sub == TARVEX_DEBUG_RESET_TAP || sub == TARVEX_DEBUG_ASSERT_SRST || sub == TARVEX_DEBUG_ENTER;
}

// A request whose route reaches a probe: admitted past the holds, it is a
// job on that probe's worker.
static tcp_cmd_outcome run_on_worker(tcp_request *r, tcp_cmd_handler handler, probe_route route,
                                     const text_command *command)
{
    if (!find_probe(r, route, command == nullptr))
        return r->client->recd_data.wanted != 0 ? TCP_CMD_WANTS_DATA : TCP_CMD_REPLIED;
    if (r->job.usb == nullptr) {
        reply_without_probe(r, handler);
        return TCP_CMD_REPLIED;
    }
    tcp_cmd_outcome held = TCP_CMD_REPLIED;
    if (!hold_lets_through(r, command, route, &held))
        return held;
    probe_request_bind(&r->job, r->job.usb);
    r->job.kind = command != nullptr ? command->keyword : "binary-usb-command";
    r->handler = handler;
    r->resets_target = resets_target(r, handler);
    if (submit(r, command_work, command_finish)) {
        if (r->resets_target)
            rtt_capture_reset_queued(r->job.usb);
        return TCP_CMD_IN_FLIGHT;
    }
    reply_failure(r, command, ERROR_FAIL);
    return TCP_CMD_REPLIED;
}

// `command` is the text command's row, null for a binary request.
static tcp_cmd_outcome run_routed(tcp_request *r, tcp_cmd_handler handler, probe_route route,
                                  const text_command *command)
{
    switch (route) {
    case ROUTE_IDLE:
        if (probe_worker_in_flight() > 0)
            return TCP_CMD_WAITS_IDLE;
        handler(r);
        return TCP_CMD_REPLIED;
    case ROUTE_NONE:
        handler(r); // open and close put their probe's part on its worker
        if (r->in_flight)
            return TCP_CMD_IN_FLIGHT;
        if (r->waits_rtt)
            return TCP_CMD_WAITS_RTT;
        return r->client->recd_data.wanted != 0 ? TCP_CMD_WANTS_DATA : TCP_CMD_REPLIED;
    default:
        return run_on_worker(r, handler, route, command);
    }
}

// The client's slot made ready for a request in its staging buffer.
static tcp_request *begin_request(_sock_info *client, uint8_t *buf, int32_t *answer_size, int size)
{
    tcp_request *r = client->request;
    memset(r, 0, sizeof(*r));
    r->client = client;
    r->buf = buf;
    r->answer_size = answer_size;
    r->size = size;
    r->key = client->key;
    r->sock = client->sock;
    memcpy(r->name, client->client_name, sizeof(r->name));
    *answer_size = 0;
    client->recd_data.wanted = 0;
    return r;
}

// The keyword table's row of a text request, or null (a binary request, or
// no keyword matched).
static const text_command *text_command_of(const uint8_t *buf)
{
    if (buf[0] <= TARVEX_TCP_CMD_GET_NB_OF_DEV_CLIENTS)
        return nullptr;
    int index = tcp_cmd_find_keyword(reinterpret_cast<const char *>(buf));
    return index >= 0 ? &text_commands[index] : nullptr;
}

tcp_cmd_outcome process_tarvex_tcp_cmd(_sock_info *psock_info, uint8_t *input_buf, uint8_t *output_buf,
                                       int32_t *p_answer_size_in_bytes, int size_of_input_cmd)
{
    (void)output_buf;
    tcp_request *r = begin_request(psock_info, input_buf, p_answer_size_in_bytes, size_of_input_cmd);
    uint8_t code = input_buf[0];
    const text_command *command = text_command_of(input_buf);
    tcp_cmd_outcome outcome;
    if (code <= TARVEX_TCP_CMD_GET_NB_OF_DEV_CLIENTS) {
        outcome = run_routed(r, binary_commands[code].handler, binary_commands[code].route, nullptr);
    } else if (command == nullptr) {
        reply_unknown(r);
        outcome = TCP_CMD_REPLIED;
    } else {
        outcome = run_routed(r, command->handler, command->route, command);
    }
    if (outcome == TCP_CMD_REPLIED)
        hand_reply(r);
    return outcome;
}

void tcp_cmd_refuse_held(_sock_info *psock_info)
{
    data_buffer *recd = &psock_info->recd_data;
    tcp_request *r = begin_request(psock_info, recd->buf, &recd->data_size, static_cast<int>(recd->received));
    stats_refused(REFUSED_HOLD, psock_info->client_name);
    reply_failure(r, text_command_of(recd->buf), ERROR_PROBE_HELD);
    hand_reply(r);
}
