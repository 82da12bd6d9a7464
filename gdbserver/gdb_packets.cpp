#include "gdb_packets.h"

#include <cstdio>
#include <cstring>

#include "armv7m_debug.h"
#include "gdb_registers.h"
#include "tarvex_wire.h"
#include "tarvex_log.h"

namespace tarvex_gdb
{

using namespace tarvex_target;
using namespace tarvex_flash;

// Error replies: EIO for a failed target access, EFAULT for a write into
// read-only flash, EINVAL for a malformed packet, ENOSPC when the
// comparators ran out.
constexpr const char *E_TARGET = "E05";
constexpr const char *E_READ_ONLY = "E0e";
constexpr const char *E_MALFORMED = "E16";
constexpr const char *E_NO_COMPARATOR = "E1c";

using handler_fn = int (*)(gdb_session &s, const std::string &body, std::string *reply);

struct packet_handler {
    const char *prefix;
    bool exact; // the whole packet, not a prefix of it
    handler_fn run;
};

static int link_error(int rc, std::string *reply)
{
    *reply = rc == TARGET_OK ? "OK" : E_TARGET;
    return PACKET_REPLY;
}

// ---- queries ------------------------------------------------------------------

static int q_supported(gdb_session &, const std::string &, std::string *reply)
{
    char text[160];
    snprintf(text, sizeof(text),
             "PacketSize=%zx;qXfer:features:read+;qXfer:memory-map:read+;QStartNoAckMode+;vContSupported+",
             PACKET_SIZE);
    *reply = text;
    return PACKET_REPLY;
}

static int q_start_no_ack(gdb_session &s, const std::string &, std::string *reply)
{
    s.want_no_ack();
    *reply = "OK";
    return PACKET_REPLY;
}

// "qXfer:OBJECT:read:ANNEX:OFFSET,LENGTH" answered from a document: "m" and
// a part when more follows, "l" and the rest at its end.
static int xfer_document(const std::string &document, const std::string &body, size_t args_at, std::string *reply)
{
    size_t pos = args_at;
    uint32_t offset = 0, length = 0;
    if (!parse_hex_field(body, &pos, &offset) || pos >= body.size() || body[pos++] != ',' ||
        !parse_hex_field(body, &pos, &length)) {
        *reply = E_MALFORMED;
        return PACKET_REPLY;
    }
    if (length > PACKET_SIZE - 2)
        length = PACKET_SIZE - 2;
    std::string part = offset < document.size() ? document.substr(offset, length) : "";
    bool last = offset + part.size() >= document.size();
    *reply = (last ? "l" : "m") + rsp_escape(reinterpret_cast<const uint8_t *>(part.data()), part.size());
    return PACKET_REPLY;
}

static int q_xfer_features(gdb_session &s, const std::string &body, std::string *reply)
{
    static const std::string prefix = "qXfer:features:read:target.xml:";
    if (body.compare(0, prefix.size(), prefix) != 0) {
        *reply = "E00"; // no other annex
        return PACKET_REPLY;
    }
    return xfer_document(target_description(s.units().core), body, prefix.size(), reply);
}

static int q_xfer_memory_map(gdb_session &s, const std::string &body, std::string *reply)
{
    return xfer_document(memory_map(s.config(), flash_regions(s)), body, strlen("qXfer:memory-map:read::"), reply);
}

static int reply_text(std::string *reply, const char *text)
{
    *reply = text;
    return PACKET_REPLY;
}

static int q_attached(gdb_session &, const std::string &, std::string *reply)
{
    return reply_text(reply, "1"); // attached to a running system: GDB detaches on quit
}

// One thread, the core, while the firmware lives; none after its exit.
static int q_first_thread(gdb_session &s, const std::string &, std::string *reply)
{
    return reply_text(reply, s.thread_alive() ? "m1" : "l");
}

static int q_next_thread(gdb_session &, const std::string &, std::string *reply)
{
    return reply_text(reply, "l");
}

static int q_current_thread(gdb_session &, const std::string &, std::string *reply)
{
    return reply_text(reply, "QC1");
}

static int thread_alive(gdb_session &s, const std::string &, std::string *reply)
{
    return reply_text(reply, s.thread_alive() ? "OK" : "E01");
}

static int reply_ok(gdb_session &, const std::string &, std::string *reply)
{
    return reply_text(reply, "OK");
}

static int reply_empty(gdb_session &, const std::string &, std::string *reply)
{
    reply->clear();
    return PACKET_REPLY;
}

static int q_rcmd(gdb_session &s, const std::string &body, std::string *reply)
{
    std::vector<uint8_t> text;
    if (!hex_decode(body.substr(strlen("qRcmd,")), &text))
        return reply_text(reply, E_MALFORMED);
    std::string output = monitor_command(s, std::string(text.begin(), text.end()));
    *reply = output.empty() ? "OK" : hex_encode(output);
    return PACKET_REPLY;
}

// ---- registers ----------------------------------------------------------------

// One register's bytes as GDB reads them, target order: a d register is its
// low S register then its high one; "x" for each byte of an FP register the
// core will not show (its FPU not turned on yet).
static std::string register_text(const gdb_register &r, const uint32_t *core, const uint32_t *fp, bool fp_on)
{
    if (!r.fp)
        return hex_u32_le(core[r.index]);
    if (!fp_on)
        return std::string(r.bits / 4, 'x');
    return r.bits == 64 ? hex_u32_le(fp[r.index]) + hex_u32_le(fp[r.index + 1]) : hex_u32_le(fp[r.index]);
}

// The core's and the FP registers, as far as the session has them.
static int register_values(gdb_session &s, uint32_t *core, uint32_t *fp, bool *fp_on)
{
    int rc = s.registers(core);
    if (rc == TARGET_OK)
        rc = s.fp_registers(fp, fp_on);
    return rc;
}

static int read_registers(gdb_session &s, const std::string &, std::string *reply)
{
    uint32_t core[CORE_REGISTER_COUNT], fp[FP_REGISTER_COUNT];
    bool fp_on = false;
    int rc = register_values(s, core, fp, &fp_on);
    if (rc != TARGET_OK)
        return link_error(rc, reply);
    std::string text;
    for (const gdb_register &r : gdb_registers(s.units().core))
        text += register_text(r, core, fp, fp_on);
    *reply = text;
    return PACKET_REPLY;
}

// A register's new value from GDB's hex, into core[] or fp[].
static bool register_parse(const gdb_register &r, const std::string &hex, uint32_t *core, uint32_t *fp)
{
    if (hex.size() != r.bits / 4u)
        return false;
    if (!r.fp)
        return parse_u32_le(hex, &core[r.index]);
    return parse_u32_le(hex.substr(0, 8), &fp[r.index]) &&
           (r.bits == 32 || parse_u32_le(hex.substr(8), &fp[r.index + 1]));
}

// The FP registers G gave (fp[] where given[]), the others as they are.
static int fp_registers_put(gdb_session &s, uint32_t *fp, const bool *given)
{
    uint32_t now[FP_REGISTER_COUNT];
    bool fp_on = false;
    int rc = s.fp_registers(now, &fp_on);
    if (rc != TARGET_OK || !fp_on)
        return rc != TARGET_OK ? rc : TARGET_UNSUITABLE;
    for (size_t i = 0; i < FP_REGISTER_COUNT; i++)
        fp[i] = given[i] ? fp[i] : now[i];
    s.forget_registers();
    return fp_registers_write(s.link(), s.units().core, fp);
}

// G: the core registers first, each as given; then the FP registers GDB
// gave a value ("x" where it had none).
static int write_registers(gdb_session &s, const std::string &body, std::string *reply)
{
    std::vector<core_register> regs;
    std::vector<uint32_t> values;
    uint32_t core[CORE_REGISTER_COUNT] = {}, fp[FP_REGISTER_COUNT] = {};
    bool given[FP_REGISTER_COUNT] = {}, fp_given = false;
    size_t at = 1;
    for (const gdb_register &r : gdb_registers(s.units().core)) {
        std::string hex = body.substr(std::min(at, body.size()), r.bits / 4u);
        at += r.bits / 4u;
        if (r.fp && hex == std::string(r.bits / 4u, 'x'))
            continue;
        if (!register_parse(r, hex, core, fp))
            return reply_text(reply, E_MALFORMED);
        if (!r.fp) {
            regs.push_back(CORE_REGISTERS[r.index]);
            values.push_back(core[r.index]);
            continue;
        }
        given[r.index] = true;
        given[r.index + (r.bits == 64 ? 1 : 0)] = true;
        fp_given = true;
    }
    if (at != body.size())
        return reply_text(reply, E_MALFORMED);
    s.forget_registers();
    int rc = registers_write(s.link(), regs.data(), regs.size(), values.data());
    if (rc == TARGET_OK && fp_given)
        rc = fp_registers_put(s, fp, given);
    return link_error(rc, reply);
}

// "pN" and "PN=VALUE": N in hex, a register of the target description.
static bool register_number(gdb_session &s, const std::string &body, size_t *pos, gdb_register *r)
{
    *pos = 1;
    uint32_t n = 0;
    std::vector<gdb_register> regs = gdb_registers(s.units().core);
    if (!parse_hex_field(body, pos, &n) || n >= regs.size())
        return false;
    *r = regs[n];
    return true;
}

static int read_register(gdb_session &s, const std::string &body, std::string *reply)
{
    size_t pos = 0;
    gdb_register r{};
    if (!register_number(s, body, &pos, &r) || pos != body.size())
        return reply_text(reply, E_MALFORMED);
    uint32_t core[CORE_REGISTER_COUNT], fp[FP_REGISTER_COUNT];
    bool fp_on = false;
    int rc = register_values(s, core, fp, &fp_on);
    if (rc != TARGET_OK)
        return link_error(rc, reply);
    *reply = register_text(r, core, fp, fp_on);
    return PACKET_REPLY;
}

static int write_register(gdb_session &s, const std::string &body, std::string *reply)
{
    size_t pos = 0;
    gdb_register r{};
    uint32_t core[CORE_REGISTER_COUNT] = {}, fp[FP_REGISTER_COUNT] = {};
    if (!register_number(s, body, &pos, &r) || pos >= body.size() || body[pos] != '=' ||
        !register_parse(r, body.substr(pos + 1), core, fp))
        return reply_text(reply, E_MALFORMED);
    if (r.fp) {
        uint32_t now[FP_REGISTER_COUNT];
        bool fp_on = false;
        int rc = s.fp_registers(now, &fp_on);
        if (rc != TARGET_OK || !fp_on)
            return link_error(rc != TARGET_OK ? rc : TARGET_UNSUITABLE, reply);
    }
    s.forget_registers();
    if (!r.fp)
        return link_error(register_write(s.link(), CORE_REGISTERS[r.index], core[r.index]), reply);
    int rc = register_write(s.link(), FP_REGISTERS[r.index], fp[r.index]);
    if (rc == TARGET_OK && r.bits == 64)
        rc = register_write(s.link(), FP_REGISTERS[r.index + 1], fp[r.index + 1]);
    return link_error(rc, reply);
}

// ---- memory -------------------------------------------------------------------

// "ADDR,LENGTH" from body[1]; *pos is left after LENGTH.
static bool memory_range(const std::string &body, size_t *pos, uint32_t *addr, uint32_t *len)
{
    *pos = 1;
    return parse_hex_field(body, pos, addr) && *pos < body.size() && body[(*pos)++] == ',' &&
           parse_hex_field(body, pos, len) && static_cast<uint64_t>(*addr) + *len <= 0x100000000ull;
}

static int read_memory(gdb_session &s, const std::string &body, std::string *reply)
{
    size_t pos = 0;
    uint32_t addr = 0, len = 0;
    if (!memory_range(body, &pos, &addr, &len) || pos != body.size())
        return reply_text(reply, E_MALFORMED);
    if (len > (PACKET_SIZE - 1) / 2)
        len = (PACKET_SIZE - 1) / 2; // a shorter reply is allowed; GDB asks for the rest
    std::vector<uint8_t> data;
    int rc = s.read_memory(addr, len, &data);
    if (rc != TARGET_OK)
        return link_error(rc, reply);
    units_unpatch(s.units(), addr, &data);
    *reply = hex_encode(data.data(), data.size());
    return PACKET_REPLY;
}

static bool overlaps(const memory_region &r, uint32_t addr, uint32_t len)
{
    return r.size > 0 && len > 0 &&
           addr<static_cast<uint64_t>(r.base) + r.size &&static_cast<uint64_t>(addr) + len> r.base;
}

static int store_memory(gdb_session &s, uint32_t addr, const std::vector<uint8_t> &data, std::string *reply)
{
    uint32_t len = static_cast<uint32_t>(data.size());
    if (overlaps(s.config().flash, addr, len)) {
        LOG_INFO("refused GDB's write of %u bytes at 0x%08x: flash is read-only", len, addr);
        return reply_text(reply, E_READ_ONLY);
    }
    if (len == 0)
        return reply_text(reply, "OK");
    // A store into a flash controller's registers may program flash.
    s.forget_flash();
    int rc = memory_write(s.link(), addr, data.data(), len);
    if (rc == TARGET_OK)
        rc = units_repatch(s.link(), s.units(), addr, data.data(), len);
    if (rc == TARGET_OK)
        s.memory_written(addr, data.data(), len);
    return link_error(rc, reply);
}

static int write_memory_hex(gdb_session &s, const std::string &body, std::string *reply)
{
    size_t pos = 0;
    uint32_t addr = 0, len = 0;
    std::vector<uint8_t> data;
    if (!memory_range(body, &pos, &addr, &len) || pos >= body.size() || body[pos] != ':' ||
        !hex_decode(body.substr(pos + 1), &data) || data.size() != len)
        return reply_text(reply, E_MALFORMED);
    return store_memory(s, addr, data, reply);
}

static int write_memory_binary(gdb_session &s, const std::string &body, std::string *reply)
{
    size_t pos = 0;
    uint32_t addr = 0, len = 0;
    std::vector<uint8_t> data;
    if (!memory_range(body, &pos, &addr, &len) || pos >= body.size() || body[pos] != ':' ||
        !rsp_unescape(body, pos + 1, &data) || data.size() != len)
        return reply_text(reply, E_MALFORMED);
    return store_memory(s, addr, data, reply);
}

// ---- run control --------------------------------------------------------------

// c, s, C and S may name the address to resume at; C and S first carry a
// signal, which a bare-metal target has no use for.
static int resume_at(gdb_session &s, const std::string &args, bool step, std::string *reply)
{
    size_t pos = 0;
    uint32_t addr = 0;
    if (!args.empty() && (!parse_hex_field(args, &pos, &addr) || pos != args.size()))
        return reply_text(reply, E_MALFORMED);
    s.forget_registers();
    int rc = args.empty() ? TARGET_OK : s.link().write_core(armv7m::REGSEL_PC, addr);
    if (rc == TARGET_OK)
        rc = s.resume(step);
    return rc == TARGET_OK ? PACKET_RESUMED : link_error(rc, reply);
}

static std::string after_signal(const std::string &body)
{
    size_t semicolon = body.find(';');
    return semicolon == std::string::npos ? "" : body.substr(semicolon + 1);
}

static int continue_packet(gdb_session &s, const std::string &body, std::string *reply)
{
    return resume_at(s, body.substr(1), false, reply);
}

static int step_packet(gdb_session &s, const std::string &body, std::string *reply)
{
    return resume_at(s, body.substr(1), true, reply);
}

static int continue_signal(gdb_session &s, const std::string &body, std::string *reply)
{
    return resume_at(s, after_signal(body), false, reply);
}

static int step_signal(gdb_session &s, const std::string &body, std::string *reply)
{
    return resume_at(s, after_signal(body), true, reply);
}

static int halt_reason(gdb_session &s, const std::string &, std::string *reply)
{
    *reply = s.last_stop();
    return PACKET_REPLY;
}

static int vcont_actions(gdb_session &, const std::string &, std::string *reply)
{
    return reply_text(reply, "vCont;c;C;s;S;t");
}

// "vCont;ACTION[:THREAD][;ACTION...]": with one thread the first action is
// the one that applies.
static int vcont(gdb_session &s, const std::string &body, std::string *reply)
{
    char action = body.size() > 6 ? body[6] : '\0';
    if (action == 'c' || action == 'C')
        return resume_at(s, "", false, reply);
    if (action == 's' || action == 'S')
        return resume_at(s, "", true, reply);
    if (action == 't') {
        int rc = s.interrupt();
        return rc == TARGET_OK ? PACKET_SILENT : link_error(rc, reply);
    }
    return reply_text(reply, E_MALFORMED);
}

static int detach(gdb_session &s, const std::string &, std::string *reply)
{
    s.release(true);
    s.end("GDB detached");
    return reply_text(reply, "OK");
}

// In extended mode a kill leaves the session open for the next run or
// attach: the core is halted where it is. Otherwise it ends the session.
static int kill_packet(gdb_session &s, const std::string &body, std::string *reply)
{
    if (s.extended() && body != "k")
        return link_error(s.halt_here(), reply);
    s.release(false);
    s.end("GDB killed the session");
    return body == "k" ? PACKET_SILENT : reply_text(reply, "OK");
}

static int extended_mode(gdb_session &s, const std::string &, std::string *reply)
{
    s.set_extended();
    return reply_text(reply, "OK");
}

// "vRun;FILE;ARGS": the program is the one in flash or RAM already, so a run
// is a system reset that stops at the reset vector; GDB then lets it go.
// The comparators are written again, as the reset may have cleared them.
static int run_packet(gdb_session &s, const std::string &, std::string *reply)
{
    s.forget_registers();
    s.forget_flash();
    int rc = reset(s.link(), true);
    if (rc == TARGET_OK)
        rc = units_restore(s.link(), s.units());
    if (rc != TARGET_OK)
        return link_error(rc, reply);
    return reply_text(reply, s.set_last_stop("T05thread:1;"));
}

// "vAttach;PID": the one core, halted where it is.
static int attach_packet(gdb_session &s, const std::string &, std::string *reply)
{
    int rc = s.halt_here();
    if (rc != TARGET_OK)
        return link_error(rc, reply);
    return reply_text(reply, s.set_last_stop("T02thread:1;"));
}

// ---- breakpoints and watchpoints ----------------------------------------------

// "Ztype,addr,kind" and "ztype,addr,kind", conditions after a ";" ignored.

// GDB shows the text of "E.NN.TEXT" for a comparator it could not set, in
// place of its guess that too many were asked for. The server answers a
// failed transfer with one result whether the probe was unplugged or its
// target went quiet, so the text names both.
static int comparator_error(gdb_session &s, std::string *reply)
{
    int result = s.link().last_result();
    *reply = "E.05.probe " + s.serial() + " did not answer" +
             (result == tarvex_wire::RESULT_FAIL ? ": unplugged, or its target off?" : "") + " (result " +
             std::to_string(result) + ")";
    return PACKET_REPLY;
}

static int break_or_watch(gdb_session &s, const std::string &body, std::string *reply)
{
    size_t pos = 3;
    uint32_t addr = 0, kind = 0;
    char type = body.size() > 2 && body[2] == ',' ? body[1] : '?';
    if (type < '0' || type > '4' || !parse_hex_field(body, &pos, &addr) || pos >= body.size() || body[pos++] != ',' ||
        !parse_hex_field(body, &pos, &kind) || (pos != body.size() && body[pos] != ';'))
        return reply_text(reply, E_MALFORMED);
    bool insert = body[0] == 'Z';
    int rc;
    if (type <= '1') {
        rc = insert ? breakpoint_insert(s.link(), s.units(), addr, type == '1')
                    : breakpoint_remove(s.link(), s.units(), addr, type == '1');
        s.breakpoints_changed();
    } else {
        rc = insert ? watchpoint_insert(s.link(), s.units(), static_cast<uint8_t>(type - '0'), addr, kind)
                    : watchpoint_remove(s.link(), s.units(), static_cast<uint8_t>(type - '0'), addr, kind);
    }
    if (rc == TARGET_EXHAUSTED || rc == TARGET_UNSUITABLE) {
        LOG_WARNING("cannot set a %s at 0x%08x: %s", type <= '1' ? "breakpoint" : "watchpoint", addr,
                    rc == TARGET_EXHAUSTED ? "every comparator is taken" : "no comparator reaches that address");
        return reply_text(reply, E_NO_COMPARATOR);
    }
    if (rc != TARGET_OK)
        return comparator_error(s, reply);
    return link_error(rc, reply);
}

// Tried in order; a prefix must come after the longer packets it starts.
constexpr packet_handler HANDLERS[] = {
    {"qSupported", false, q_supported},
    {"QStartNoAckMode", true, q_start_no_ack},
    {"qXfer:features:read:", false, q_xfer_features},
    {"qXfer:memory-map:read::", false, q_xfer_memory_map},
    {"qAttached", false, q_attached},
    {"qfThreadInfo", true, q_first_thread},
    {"qsThreadInfo", true, q_next_thread},
    {"qC", true, q_current_thread},
    {"qRcmd,", false, q_rcmd},
    {"vMustReplyEmpty", true, reply_empty},
    {"vFlashErase:", false, flash_erase_packet},
    {"vFlashWrite:", false, flash_write_packet},
    {"vFlashDone", true, flash_done_packet},
    {"vCont?", true, vcont_actions},
    {"vCont;", false, vcont},
    {"vKill", false, kill_packet},
    {"vRun", false, run_packet},
    {"vAttach;", false, attach_packet},
    {"!", true, extended_mode},
    {"?", true, halt_reason},
    {"g", true, read_registers},
    {"G", false, write_registers},
    {"p", false, read_register},
    {"P", false, write_register},
    {"m", false, read_memory},
    {"M", false, write_memory_hex},
    {"X", false, write_memory_binary},
    {"c", false, continue_packet},
    {"s", false, step_packet},
    {"C", false, continue_signal},
    {"S", false, step_signal},
    {"Z", false, break_or_watch},
    {"z", false, break_or_watch},
    {"D", false, detach},
    {"k", true, kill_packet},
    {"H", false, reply_ok},
    {"T", false, thread_alive},
};

int answer_packet(gdb_session &s, const std::string &body, std::string *reply)
{
    for (const packet_handler &h : HANDLERS) {
        size_t n = strlen(h.prefix);
        if (h.exact ? body == h.prefix : body.compare(0, n, h.prefix) == 0)
            return h.run(s, body, reply);
    }
    reply->clear();
    return PACKET_REPLY;
}

} // namespace tarvex_gdb
