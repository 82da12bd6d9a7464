#include "tarvex_text.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace tarvex
{

using namespace tarvex_wire;

std::vector<std::string> reply_fields(const std::string &reply)
{
    std::vector<std::string> fields;
    std::istringstream in(reply);
    std::string field;
    while (in >> field)
        fields.push_back(field);
    return fields;
}

long long reply_number(const std::vector<std::string> &fields, size_t i, int base, long long fallback)
{
    if (i >= fields.size())
        return fallback;
    const char *text = fields[i].c_str();
    char *end = nullptr;
    long long value = strtoll(text, &end, base);
    return end == text || *end != '\0' ? fallback : value;
}

// Sends one request line and splits its one-line reply.
static int ask(connection &c, const std::string &request, std::vector<std::string> *fields, int timeout_ms = 5000)
{
    std::string reply;
    if (c.text(request, &reply, timeout_ms) != 0)
        return -1;
    *fields = reply_fields(reply);
    return 0;
}

static std::string hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof(text), "%x", value);
    return text;
}

// A request line: the keyword, then its arguments when there are any.
static std::string line(const char *keyword, const std::string &args = "")
{
    return std::string(keyword) + (args.empty() ? "" : " ") + args + "\n";
}

// RESULT of a reply "1 RESULT ...", -1 for any other reply.
static int done_result(const std::vector<std::string> &f)
{
    return f.empty() || f[0] != REPLY_DONE ? -1 : static_cast<int>(reply_number(f, 1, 10, -1));
}

int probe_count(connection &c, int *count)
{
    std::vector<std::string> f;
    if (ask(c, line(KW_GET_NB_TARVEX), &f) != 0)
        return -1;
    *count = static_cast<int>(reply_number(f, 1, 10, 0));
    return 0;
}

// "1 KEY VID PID SERIAL" in hexadecimal: *found and the entry.
static void take_description(const std::vector<std::string> &f, int index, probe_entry *entry, bool *found)
{
    *found = f.size() >= 5 && f[0] == REPLY_DONE;
    if (!*found)
        return;
    entry->index = index;
    entry->key = static_cast<uint32_t>(reply_number(f, 1, 16, 0));
    entry->vendor_id = static_cast<uint32_t>(reply_number(f, 2, 16, 0));
    entry->product_id = static_cast<uint32_t>(reply_number(f, 3, 16, 0));
    entry->serial = f[4];
}

int describe_probe(connection &c, int position, probe_entry *entry, bool *found)
{
    std::vector<std::string> f;
    if (ask(c, line(KW_GET_DESCRIPTOR, std::to_string(position)), &f) != 0)
        return -1;
    take_description(f, position, entry, found); // or "0" for no such position
    return 0;
}

// "get-tarvex-by-index": the probe with that index, which the server keeps
// for it (serial) for its whole life. *found is false when no attached probe
// has it; *gone_serial then holds the serial it was given to, "" when it was
// given to none (the index is past the last). From a server without indices,
// the probe at that position.
static int probe_by_index(connection &c, int index, probe_entry *entry, bool *found, std::string *gone_serial)
{
    std::vector<std::string> f;
    if (ask(c, line(KW_GET_BY_INDEX, std::to_string(index)), &f) != 0)
        return -1;
    gone_serial->clear();
    if (f.size() >= 2 && f[0] == REPLY_NOT_DONE && f[1] == REPLY_UNKNOWN_COMMAND)
        return describe_probe(c, index, entry, found);
    take_description(f, index, entry, found); // or "0 SERIAL", "0"
    if (!*found && f.size() >= 2 && f[0] == REPLY_NOT_DONE)
        *gone_serial = f[1];
    return 0;
}

// Indices run from 0 without a gap; this many is far past any bus.
constexpr int PROBE_INDEX_LIMIT = 4096;

int list_probes(connection &c, std::vector<probe_entry> *probes)
{
    probes->clear();
    for (int i = 0; i < PROBE_INDEX_LIMIT; i++) {
        probe_entry entry;
        bool found = false;
        std::string gone;
        if (probe_by_index(c, i, &entry, &found, &gone) != 0)
            return -1;
        if (found)
            probes->push_back(entry);
        else if (gone.empty())
            break;
    }
    return 0;
}

// A short all-digit selector is an index; anything else is a serial.
static bool selects_by_index(const std::string &selector, int *index)
{
    if (selector.empty() || selector.size() > 3 || selector.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *index = atoi(selector.c_str());
    return true;
}

int find_probe(connection &c, const std::string &selector, probe_entry *entry, bool *found)
{
    int index = 0;
    std::string gone;
    if (selects_by_index(selector, &index))
        return probe_by_index(c, index, entry, found, &gone);
    std::vector<probe_entry> probes;
    if (list_probes(c, &probes) != 0)
        return -1;
    *found = false;
    for (const probe_entry &p : probes) {
        if (p.serial != selector)
            continue;
        *entry = p;
        *found = true;
        break;
    }
    return 0;
}

int usb_client_count(connection &c, uint32_t key, int *count, const std::string &client_name)
{
    std::vector<std::string> f;
    std::string named = client_name.empty() ? "" : " " + client_name;
    if (ask(c, line(KW_GET_NB_USB_CLIENT, std::to_string(key) + named), &f) != 0)
        return -1;
    *count = static_cast<int>(reply_number(f, 1, 10, 0));
    return 0;
}

int open_device(connection &c, uint32_t key, uint32_t *assoc)
{
    std::vector<std::string> f;
    if (ask(c, line(KW_OPEN_DEVICE, hex(key)), &f) != 0)
        return -1;
    *assoc = f.size() >= 2 && f[0] == REPLY_DONE ? static_cast<uint32_t>(reply_number(f, 1, 10, 0)) : 0;
    return 0;
}

int close_device(connection &c, uint32_t assoc)
{
    std::vector<std::string> f;
    return ask(c, line(KW_CLOSE_DEVICE, std::to_string(assoc)), &f);
}

int assoc_request(connection &c, const char *keyword, uint32_t assoc, const std::string &rest, int *result,
                  std::vector<std::string> *fields)
{
    std::vector<std::string> f;
    if (ask(c, std::string(keyword) + " " + std::to_string(assoc) + rest + "\n", &f) != 0)
        return -1;
    *result = done_result(f);
    if (fields != nullptr)
        *fields = f;
    return 0;
}

// Requests whose reply carries a hexadecimal VALUE after RESULT.
static int value_request(connection &c, const char *keyword, uint32_t assoc, const std::string &rest, int *result,
                         uint32_t *value)
{
    std::vector<std::string> f;
    int rc = assoc_request(c, keyword, assoc, rest, result, &f);
    *value = static_cast<uint32_t>(reply_number(f, 2, 16, 0));
    return rc;
}

int register_client(connection &c, const std::string &name)
{
    std::vector<std::string> f;
    return ask(c, line(KW_REGISTER_CLIENT, name), &f);
}

int usb_refresh(connection &c)
{
    std::vector<std::string> f;
    return ask(c, line(KW_USB_REFRESH), &f);
}

int server_version(connection &c, std::string *text)
{
    if (c.text(line(KW_GET_VERSION), text) != 0)
        return -1;
    while (!text->empty() && (text->back() == '\n' || text->back() == '\r'))
        text->pop_back();
    return 0;
}

int read_idcode(connection &c, uint32_t assoc, int *result, uint32_t *idcode)
{
    return value_request(c, KW_IDCODE, assoc, " 0", result, idcode);
}

int read_voltage(connection &c, uint32_t assoc, int *result, double *volts)
{
    std::vector<std::string> f;
    if (assoc_request(c, KW_CHECK_VOLTAGE, assoc, "", result, &f) != 0)
        return -1;
    *volts = f.size() > 2 ? atof(f[2].c_str()) : 0;
    return 0;
}

int read_probe_firmware(connection &c, uint32_t assoc, int *result, probe_firmware *fw)
{
    std::vector<std::string> f;
    if (assoc_request(c, KW_VERSION, assoc, "", result, &f) != 0)
        return -1;
    // "1 RESULT GENERATION HW JTAG VEMO VID PID"
    fw->generation = f.size() > 2 ? f[2] : "";
    fw->hw = reply_number(f, 3, 10, 0);
    fw->jtag = reply_number(f, 4, 10, 0);
    fw->vemo = reply_number(f, 5, 10, 0);
    return 0;
}

int set_swd_clock(connection &c, uint32_t assoc, uint32_t khz, int *result)
{
    return assoc_request(c, KW_SPEED, assoc, " " + hex(khz) + " 0", result);
}

int config_trace(connection &c, uint32_t assoc, bool enabled, uint32_t hz, int *result)
{
    std::string rest = std::string(enabled ? " 1 " : " 0 ") + std::to_string(TRACE_PROTOCOL_UART) + " " +
                       std::to_string(TRACE_PORT_SIZE) + " " + std::to_string(hz);
    return assoc_request(c, KW_CONFIG_TRACE, assoc, rest, result);
}

int read_debug_reg(connection &c, uint32_t assoc, uint32_t addr, int *result, uint32_t *value)
{
    return value_request(c, KW_READ_DEBUG_REG, assoc, " " + hex(addr) + " 0", result, value);
}

int write_debug_reg(connection &c, uint32_t assoc, uint32_t addr, uint32_t value, int *result)
{
    return assoc_request(c, KW_WRITE_DEBUG_REG, assoc, " " + hex(addr) + " " + hex(value) + " 0", result);
}

int read_core_reg(connection &c, uint32_t assoc, unsigned num, int *result, uint32_t *value)
{
    return value_request(c, KW_READ_REG, assoc, " " + hex(num) + " 0", result, value);
}

int write_core_reg(connection &c, uint32_t assoc, unsigned num, uint32_t value, int *result)
{
    return assoc_request(c, KW_WRITE_REG, assoc, " " + hex(num) + " " + hex(value) + " 0", result);
}

int read_register_file(connection &c, uint32_t assoc, int *result, std::array<uint32_t, REGISTER_FILE.size()> *values,
                       bool *have_values)
{
    std::vector<std::string> f;
    *have_values = false;
    if (assoc_request(c, KW_READ_REGS, assoc, " 0", result, &f) != 0)
        return -1;
    if (*result != 0 || f.size() != 2 + values->size())
        return 0;
    for (size_t i = 0; i < values->size(); i++) {
        long long v = reply_number(f, 2 + i, 16, -1);
        if (v < 0 || v > 0xFFFFFFFFll)
            return 0;
        (*values)[i] = static_cast<uint32_t>(v);
    }
    *have_values = true;
    return 0;
}

int ensure_debug_mode(connection &c, uint32_t assoc, int *result)
{
    std::vector<std::string> f;
    if (assoc_request(c, KW_CURRENT_MODE, assoc, "", result, &f) != 0)
        return -1;
    if (*result < 0 || reply_number(f, 2, 10, -1) == PROBE_MODE_DEBUG)
        return 0;
    return assoc_request(c, KW_INIT_MODE, assoc, " 0 " + std::to_string(TRANSPORT_SWD), result);
}

// Tokens 1..5 of both memory commands: connect_id, addr, size, count, dapid.
static std::string mem_line(const char *keyword, const mem_request &r)
{
    char text[WRITE_MEM_LINE_MAX];
    snprintf(text, sizeof(text), "%s %u %x %x %x %u\n", keyword, r.assoc, r.addr, r.size, r.count, r.dapid);
    return text;
}

int read_mem(connection &c, const mem_request &r, int *result, std::vector<uint8_t> *data, int timeout_ms)
{
    std::string line = mem_line(KW_READ_MEM, r);
    std::string header;
    if (c.send_bytes(line.data(), line.size()) != 0 || c.recv_line(&header, timeout_ms) != 0)
        return -1;
    // "1 RESULT LEN\n" then LEN bytes; a refused request ("1 -4") has no LEN.
    std::vector<std::string> f = reply_fields(header);
    *result = static_cast<int>(reply_number(f, 1, 10, -1));
    long long len = reply_number(f, 2, 10, 0);
    // More than was asked for is not a reply to this request; trusting it
    // would let a confused peer size the allocation.
    if (len > static_cast<long long>(r.size) * r.count)
        return -1;
    data->assign(len > 0 ? static_cast<size_t>(len) : 0, 0);
    return data->empty() ? 0 : c.recv_exact(data->data(), data->size(), timeout_ms);
}

int write_mem(connection &c, const mem_request &r, const uint8_t *data, int *result, int timeout_ms)
{
    std::string line = mem_line(KW_WRITE_MEM, r);
    size_t len = static_cast<size_t>(r.size) * r.count;
    std::vector<uint8_t> request(line.begin(), line.end());
    request.insert(request.end(), data, data + len);
    std::string reply;
    if (c.send_bytes(request.data(), request.size()) != 0 || c.recv_line(&reply, timeout_ms) != 0)
        return -1;
    *result = static_cast<int>(reply_number(reply_fields(reply), 1, 10, -1));
    return 0;
}

int trace_read(connection &c, uint32_t assoc, size_t max, int *result, std::vector<uint8_t> *data, int quiet_ms)
{
    std::string header;
    if (c.text(line(KW_TRACE_READ, std::to_string(assoc) + " " + std::to_string(max)), &header) != 0)
        return -1;
    *result = static_cast<int>(reply_number(reply_fields(header), 1, 10, -1));
    data->assign(max, 0);
    size_t got = 0;
    // "1 1" says nothing was pending: no data follows.
    while (*result != 1 && got < max) {
        long n = c.recv_some(data->data() + got, max - got, quiet_ms);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    data->resize(got);
    return 0;
}

// The server answers a hold within its wait; the reply may also wait for the
// operations queued on the probe before it, hence the margin.
constexpr int HOLD_REPLY_MARGIN_MS = 30000;

int hold_reply_timeout_ms(int wait_ms)
{
    return (wait_ms > 0 ? wait_ms : 0) + HOLD_REPLY_MARGIN_MS;
}

int hold_probe_send(connection &c, uint32_t assoc, int wait_ms)
{
    std::string request = line(KW_HOLD, std::to_string(assoc) + " " + std::to_string(wait_ms > 0 ? wait_ms : 0));
    return c.send_bytes(request.data(), request.size());
}

int hold_probe_reply(connection &c, int timeout_ms, int *result)
{
    std::string reply;
    if (c.recv_line(&reply, timeout_ms) != 0)
        return -1;
    *result = done_result(reply_fields(reply));
    return 0;
}

int hold_probe(connection &c, uint32_t assoc, int wait_ms, int *result)
{
    if (hold_probe_send(c, assoc, wait_ms) != 0)
        return -1;
    return hold_probe_reply(c, hold_reply_timeout_ms(wait_ms), result);
}

int share_hold(connection &c, uint32_t assoc, int *result, std::string *token)
{
    std::vector<std::string> f;
    if (assoc_request(c, KW_SHARE_HOLD, assoc, "", result, &f) != 0)
        return -1;
    *token = *result == 0 && f.size() >= 3 ? f[2] : "";
    if (*result == 0 && token->empty())
        *result = -1;
    return 0;
}

int join_hold(connection &c, uint32_t assoc, const std::string &token, int *result)
{
    return assoc_request(c, KW_JOIN_HOLD, assoc, " " + token, result);
}

int release_probe(connection &c, uint32_t assoc, int *result)
{
    return assoc_request(c, KW_RELEASE, assoc, "", result);
}

int force_release_probe(connection &c, uint32_t id, int *result)
{
    std::vector<std::string> f;
    if (ask(c, line(KW_FORCE_RELEASE, std::to_string(id)), &f) != 0)
        return -1;
    *result = static_cast<int>(reply_number(f, 1, 10, -1));
    return 0;
}

int probe_holder_of(connection &c, uint32_t id, probe_holder *holder, bool *found)
{
    std::vector<std::string> f;
    if (ask(c, line(KW_WHO_HOLDS, std::to_string(id)), &f) != 0)
        return -1;
    // "1 HOLDER SECONDS WAITERS", HOLDER "-" when not held; "0" for no such probe.
    *found = f.size() >= 4 && f[0] == REPLY_DONE;
    *holder = probe_holder{};
    if (*found && f[1] != REPLY_NOBODY) {
        holder->held = true;
        holder->name = f[1];
        holder->seconds = reply_number(f, 2, 10, 0);
        holder->waiters = static_cast<int>(reply_number(f, 3, 10, 0));
    }
    return 0;
}

} // namespace tarvex
