// Firmware side of the probe command protocol and the simulated target.
#include "probe_model.h"

#include <cstring>
#include <elf.h>

#include "armv7m_debug.h"
#include "core_exceptions.h"
#include "target_flash.h"
#include "target_scs.h"

namespace vprobe
{

using namespace armv7m;

namespace
{

constexpr uint32_t MEM8_MAX = 64;
constexpr uint32_t TRACE_DEFAULT_BUFFER = 1024;
constexpr uint64_t BITS_PER_TRACE_BYTE = 10; // asynchronous UART: start + 8 + stop

uint16_t get_u16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t get_u32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void put_u16(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put_u32(uint8_t *p, uint32_t v)
{
    put_u16(p, v);
    put_u16(p + 2, v >> 16);
}

// True when [addr, addr+len) lies inside [base, base+size).
bool in_region(uint32_t addr, uint32_t len, uint32_t base, uint32_t size)
{
    uint64_t a = addr, end = a + len;
    return size != 0 && a >= base && end <= static_cast<uint64_t>(base) + size;
}

// ---- memory map -----------------------------------------------------------

// Points at the backing bytes of [addr, addr+len) in RAM or flash, or null.
uint8_t *backing(probe_view &v, uint32_t addr, uint32_t len, bool *is_flash)
{
    const probe_config &c = v.rec->cfg;
    *is_flash = false;
    if (in_region(addr, len, c.ram_base, c.ram_size))
        return v.ram + (addr - c.ram_base);
    if (in_region(addr, len, c.flash_base, c.flash_size)) {
        *is_flash = true;
        return v.flash + (addr - c.flash_base);
    }
    return nullptr;
}

bool ppb_words(uint32_t addr, uint32_t len)
{
    return in_region(addr, len, PPB_BASE, PPB_END - PPB_BASE) && (addr & 3) == 0 && (len & 3) == 0;
}

uint8_t ppb_read_bytes(probe_view &v, uint32_t addr, uint8_t *out, uint32_t len, bool side_effects)
{
    if (!in_region(addr, len, PPB_BASE, PPB_END - PPB_BASE))
        return STATUS_SWD_FAULT;
    // Each word is read once: a read that clears bits must not hide them
    // from the word's later bytes.
    for (uint32_t i = 0; i < len;) {
        uint32_t word_addr = (addr + i) & ~3u;
        uint32_t word = scs_read(v, word_addr, side_effects);
        for (; i < len && ((addr + i) & ~3u) == word_addr; i++)
            out[i] = static_cast<uint8_t>(word >> (8 * ((addr + i) & 3)));
    }
    return STATUS_OK;
}

uint32_t vector_word(probe_view &v, uint32_t index)
{
    uint8_t b[4] = {0, 0, 0, 0};
    target_peek(v, v.rec->cfg.flash_base + 4 * index, b, 4);
    return get_u32(b);
}

// ---- images -----------------------------------------------------------------

bool elf_image(const uint8_t *image, size_t len)
{
    return len >= sizeof(Elf32_Ehdr) && std::memcmp(image, ELFMAG, SELFMAG) == 0 && image[EI_CLASS] == ELFCLASS32 &&
           image[EI_DATA] == ELFDATA2LSB;
}

// Loadable segments go to their physical (load) address: initial values of
// .data land in flash, where the start-up code copies them from.
int load_elf(probe_view &v, const uint8_t *image, size_t len)
{
    Elf32_Ehdr eh;
    std::memcpy(&eh, image, sizeof eh);
    for (uint32_t i = 0; i < eh.e_phnum; i++) {
        Elf32_Phdr ph;
        uint64_t at = eh.e_phoff + uint64_t{i} * eh.e_phentsize;
        if (eh.e_phentsize < sizeof ph || at + sizeof ph > len)
            return -1;
        std::memcpy(&ph, image + at, sizeof ph);
        if (ph.p_type != PT_LOAD || ph.p_filesz == 0)
            continue;
        if (uint64_t{ph.p_offset} + ph.p_filesz > len || target_poke(v, ph.p_paddr, image + ph.p_offset, ph.p_filesz))
            return -1;
    }
    return 0;
}

// ---- trace source ---------------------------------------------------------

// Advances the SWO source to now_us. The source stalls while the probe-side
// buffer is full, so a reader always sees an unbroken byte sequence.
void trace_update(probe_state &st, uint64_t now_us)
{
    trace_state &t = st.trace;
    if (st.core.swo_itm)
        return; // the core's ITM writes fill the stream
    if (!t.running || now_us <= t.last_us) {
        if (!t.running)
            t.last_us = now_us;
        return;
    }
    uint64_t bit_us = (now_us - t.last_us) * t.hz + t.bit_carry;
    uint64_t per_byte = BITS_PER_TRACE_BYTE * 1000000u;
    uint64_t bytes = bit_us / per_byte;
    t.bit_carry = bit_us % per_byte;
    t.last_us = now_us;
    uint64_t room = t.consumed + t.buffer_size - t.produced;
    if (bytes >= room) {
        bytes = room;
        t.bit_carry = 0;
    }
    t.produced += bytes;
}

// ---- command handlers -----------------------------------------------------
// Each returns the reply length it left in st.io (already zeroed up to the
// row's reply length).

using handler_fn = uint32_t (*)(probe_view &, const uint8_t *, uint64_t);

uint32_t status_reply(probe_state &st, uint8_t status, uint32_t len)
{
    st.io[0] = status;
    return len;
}

uint32_t h_version2(probe_view &v, const uint8_t *, uint64_t)
{
    const probe_config &c = v.rec->cfg;
    uint8_t *r = v.rec->st.io.data();
    // Bytes 0..1 are one big-endian word: hardware 15..12, jtag 11..6, vemo 5..0.
    uint32_t word = (c.hw_version & 0xFu) << 12 | (c.jtag_version & 0x3Fu) << 6 | (c.vemo_version & 0x3Fu);
    r[0] = static_cast<uint8_t>(word >> 8);
    r[1] = static_cast<uint8_t>(word);
    put_u16(r + 2, c.vid);
    put_u16(r + 4, c.pid);
    return 6;
}

uint32_t h_version3(probe_view &v, const uint8_t *, uint64_t)
{
    const probe_config &c = v.rec->cfg;
    uint8_t *r = v.rec->st.io.data();
    r[0] = c.hw_version;
    r[1] = c.vemo_version;
    r[2] = c.jtag_version;
    put_u16(r + 8, c.vid);
    put_u16(r + 10, c.pid);
    return 12;
}

uint32_t h_current_mode(probe_view &v, const uint8_t *, uint64_t)
{
    v.rec->st.io[0] = v.rec->st.mode;
    return 2;
}

uint32_t h_voltage(probe_view &v, const uint8_t *, uint64_t)
{
    put_u32(v.rec->st.io.data(), v.rec->cfg.vref);
    put_u32(v.rec->st.io.data() + 4, v.rec->cfg.vtarget);
    return 8;
}

uint32_t leave_mode(probe_view &v, uint8_t from)
{
    probe_state &st = v.rec->st;
    if (st.mode == from) {
        st.mode = MODE_MASS;
        st.transport = TRANSPORT_NONE;
    }
    return 0;
}

uint32_t h_dfu_exit(probe_view &v, const uint8_t *, uint64_t)
{
    return leave_mode(v, MODE_DFU);
}
uint32_t h_vemo_exit(probe_view &v, const uint8_t *, uint64_t)
{
    return leave_mode(v, MODE_VEMO);
}
uint32_t h_debug_exit(probe_view &v, const uint8_t *, uint64_t)
{
    return leave_mode(v, MODE_DEBUG);
}

uint32_t h_enter(probe_view &v, const uint8_t *b, uint64_t)
{
    probe_state &st = v.rec->st;
    if (b[2] != 0xA3 && b[2] != 0xA4)
        return status_reply(st, STATUS_CMD_ERROR, 2);
    st.mode = MODE_DEBUG;
    st.transport = b[2] == 0xA3 ? TRANSPORT_SWD : TRANSPORT_JTAG;
    return status_reply(st, STATUS_OK, 2);
}

uint32_t h_srst(probe_view &v, const uint8_t *b, uint64_t)
{
    probe_state &st = v.rec->st;
    if (b[2] == 0) {
        st.reset_held = 1;
        st.reset_latched = 1;
    } else if (st.reset_held) {
        st.reset_held = 0;
        probe_core_reset(v);
    }
    return status_reply(st, STATUS_OK, 2);
}

uint32_t h_reset(probe_view &v, const uint8_t *, uint64_t)
{
    probe_core_reset(v);
    return status_reply(v.rec->st, STATUS_OK, 2);
}

uint32_t h_idcode(probe_view &v, const uint8_t *, uint64_t)
{
    put_u32(v.rec->st.io.data(), v.rec->cfg.idcode);
    return 4;
}

uint32_t h_read_debug(probe_view &v, const uint8_t *b, uint64_t)
{
    probe_state &st = v.rec->st;
    uint32_t addr = get_u32(b + 2);
    if (get_u32(b + 6) > 3)
        return status_reply(st, STATUS_BAD_AP, 8);
    if (addr & 3)
        return status_reply(st, STATUS_ALIGNMENT, 8);
    uint8_t value[4];
    uint8_t status = target_read(v, addr, value, 4);
    if (status == STATUS_OK)
        std::memcpy(st.io.data() + 4, value, 4);
    return status_reply(st, status, 8);
}

uint32_t h_write_debug(probe_view &v, const uint8_t *b, uint64_t)
{
    probe_state &st = v.rec->st;
    uint32_t addr = get_u32(b + 2);
    if (b[10] > 3)
        return status_reply(st, STATUS_BAD_AP, 2);
    if (addr & 3)
        return status_reply(st, STATUS_ALIGNMENT, 2);
    return status_reply(st, target_write(v, addr, b + 6, 4), 2);
}

uint32_t h_read_reg(probe_view &v, const uint8_t *b, uint64_t)
{
    probe_state &st = v.rec->st;
    if (b[3] > 3)
        return status_reply(st, STATUS_BAD_AP, 8);
    if (!core_reg_exists(st, b[2]))
        return status_reply(st, STATUS_CMD_ERROR, 8);
    put_u32(st.io.data() + 4, st.core_regs[b[2]]);
    return status_reply(st, STATUS_OK, 8);
}

uint32_t h_write_reg(probe_view &v, const uint8_t *b, uint64_t)
{
    probe_state &st = v.rec->st;
    if (b[8] > 3)
        return status_reply(st, STATUS_BAD_AP, 2);
    if (!core_reg_exists(st, b[2]))
        return status_reply(st, STATUS_CMD_ERROR, 2);
    core_write_reg(st, b[2], get_u32(b + 3));
    return status_reply(st, STATUS_OK, 2);
}

// Register file reply: status word, then r0..r15, xPSR, MSP, PSP and the
// packed CONTROL/FAULTMASK/BASEPRI/PRIMASK word, 32 bits each.
constexpr std::array<uint8_t, 20> REGFILE_ORDER = {{
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, REGSEL_XPSR, REGSEL_MSP, REGSEL_PSP, REGSEL_SPECIAL,
}};
static_assert(4 + 4 * REGFILE_ORDER.size() == 84, "register file reply is 84 bytes");

uint32_t h_read_regs(probe_view &v, const uint8_t *b, uint64_t)
{
    probe_state &st = v.rec->st;
    if (b[3] > 3)
        return status_reply(st, STATUS_BAD_AP, 84);
    for (size_t i = 0; i < REGFILE_ORDER.size(); i++)
        put_u32(st.io.data() + 4 + 4 * i, st.core_regs[REGFILE_ORDER[i]]);
    return status_reply(st, STATUS_OK, 84);
}

// Memory block layout: 2..5 address, 6..7 length in bytes, 8 access point.
uint32_t mem_read_len(const uint8_t *b)
{
    uint32_t len = get_u16(b + 6);
    return (b[1] == 0x0C && len == 1) ? 2 : len; // a 1-byte read answers 2 bytes
}

uint8_t check_mem(const uint8_t *b, bool wide)
{
    uint32_t addr = get_u32(b + 2), len = get_u16(b + 6);
    if (b[8] > 3)
        return STATUS_BAD_AP;
    if (wide)
        return ((addr | len) & 3) ? STATUS_ALIGNMENT : STATUS_OK;
    return (len == 0 || len > MEM8_MAX) ? STATUS_CMD_ERROR : STATUS_OK;
}

uint32_t mem_read(probe_view &v, const uint8_t *b, bool wide)
{
    probe_state &st = v.rec->st;
    uint32_t len = get_u16(b + 6);
    st.rw_status = check_mem(b, wide);
    if (st.rw_status == STATUS_OK)
        st.rw_status = target_read(v, get_u32(b + 2), st.io.data(), len);
    return mem_read_len(b);
}

uint32_t h_read_mem8(probe_view &v, const uint8_t *b, uint64_t)
{
    return mem_read(v, b, false);
}
uint32_t h_read_mem32(probe_view &v, const uint8_t *b, uint64_t)
{
    return mem_read(v, b, true);
}

uint32_t mem_write(probe_view &v, const uint8_t *b, bool wide)
{
    probe_state &st = v.rec->st;
    pending_write &w = st.write;
    w = pending_write{};
    w.width = wide ? 32 : 8;
    w.addr = get_u32(b + 2);
    w.length = get_u16(b + 6);
    w.ap = b[8];
    w.active = w.length != 0;
    if (!w.active)
        st.rw_status = check_mem(b, wide);
    return 0;
}

uint32_t h_write_mem8(probe_view &v, const uint8_t *b, uint64_t)
{
    return mem_write(v, b, false);
}
uint32_t h_write_mem32(probe_view &v, const uint8_t *b, uint64_t)
{
    return mem_write(v, b, true);
}

uint32_t h_rw_status(probe_view &v, const uint8_t *, uint64_t)
{
    return status_reply(v.rec->st, v.rec->st.rw_status, 2);
}

uint32_t h_rw_status_v3(probe_view &v, const uint8_t *, uint64_t)
{
    return status_reply(v.rec->st, v.rec->st.rw_status, 12);
}

uint32_t set_ap(probe_view &v, uint8_t ap, uint8_t open)
{
    probe_state &st = v.rec->st;
    if (ap > 3)
        return status_reply(st, STATUS_BAD_AP, 2);
    st.ap_open[ap] = open;
    return status_reply(st, STATUS_OK, 2);
}

uint32_t h_init_ap(probe_view &v, const uint8_t *b, uint64_t)
{
    return set_ap(v, b[2], 1);
}
uint32_t h_close_ap(probe_view &v, const uint8_t *b, uint64_t)
{
    return set_ap(v, b[2], 0);
}

uint32_t h_blink(probe_view &v, const uint8_t *, uint64_t)
{
    v.rec->st.counters.led_blinks++;
    return status_reply(v.rec->st, STATUS_OK, 2);
}

uint32_t h_swdclk(probe_view &v, const uint8_t *b, uint64_t)
{
    v.rec->st.swd_divisor = get_u16(b + 2);
    return status_reply(v.rec->st, STATUS_OK, 2);
}

uint32_t h_jtagclk(probe_view &v, const uint8_t *b, uint64_t)
{
    v.rec->st.jtag_divisor = get_u16(b + 2);
    return status_reply(v.rec->st, STATUS_OK, 2);
}

struct freq_list {
    const uint32_t *khz;
    uint32_t count;
};

freq_list freqs_of(uint8_t selector)
{
    if (selector == 0)
        return {V3_SWD_FREQS.data(), static_cast<uint32_t>(V3_SWD_FREQS.size())};
    return {V3_JTAG_FREQS.data(), static_cast<uint32_t>(V3_JTAG_FREQS.size())};
}

// Frequency list reply: 0 status, 8 entry count, 12 + 4*i entry i in kHz.
uint32_t h_get_freq(probe_view &v, const uint8_t *b, uint64_t)
{
    uint8_t *r = v.rec->st.io.data();
    freq_list f = freqs_of(b[2]);
    r[8] = static_cast<uint8_t>(f.count);
    for (uint32_t i = 0; i < f.count; i++)
        put_u32(r + 12 + 4 * i, f.khz[i]);
    return status_reply(v.rec->st, STATUS_OK, 52);
}

// The frequency field is in kHz: the fastest entry not above it, or the
// slowest entry.
uint32_t pick_freq(freq_list f, uint32_t value)
{
    for (uint32_t i = 0; i < f.count; i++)
        if (f.khz[i] <= value)
            return f.khz[i];
    return f.khz[f.count - 1];
}

// Set-frequency reply: 0 status, 4..7 the frequency now in force (kHz).
uint32_t h_set_freq(probe_view &v, const uint8_t *b, uint64_t)
{
    probe_state &st = v.rec->st;
    uint32_t khz = pick_freq(freqs_of(b[2]), get_u32(b + 4));
    st.com_freq_khz[b[2] == 0 ? 0 : 1] = khz;
    put_u32(st.io.data() + 4, khz);
    return status_reply(st, STATUS_OK, 8);
}

// Trace start layout: 2..3 probe-side buffer size, 4..7 SWO rate in Hz.
uint32_t h_trace_on(probe_view &v, const uint8_t *b, uint64_t now_us)
{
    probe_state &st = v.rec->st;
    uint32_t hz = get_u32(b + 4);
    if (!v.rec->cfg.trace_capable || hz == 0 || hz > TRACE_MAX_HZ)
        return status_reply(st, STATUS_CMD_ERROR, 2);
    trace_state &t = st.trace;
    trace_update(st, now_us);
    t.consumed = t.produced; // unread bytes of an earlier capture are dropped
    t.buffer_size = get_u16(b + 2) ? get_u16(b + 2) : TRACE_DEFAULT_BUFFER;
    t.hz = hz;
    t.running = 1;
    t.last_us = now_us;
    t.bit_carry = 0;
    return status_reply(st, STATUS_OK, 2);
}

uint32_t h_trace_off(probe_view &v, const uint8_t *, uint64_t now_us)
{
    trace_update(v.rec->st, now_us);
    v.rec->st.trace.running = 0;
    return status_reply(v.rec->st, STATUS_OK, 2);
}

uint32_t h_trace_count(probe_view &v, const uint8_t *, uint64_t now_us)
{
    uint32_t n = probe_trace_available(v, now_us);
    put_u16(v.rec->st.io.data(), n > 0xFFFF ? 0xFFFF : n);
    return 2;
}

// How a command's reply reacts to injected faults.
enum reply_class : uint8_t {
    REPLY_NONE,     // no reply; wait/fault/timeout/short do not apply
    REPLY_PLAIN,    // data without status byte; only timeout/short apply
    REPLY_STATUS,   // status byte first
    REPLY_MEM_READ, // data; the status is fetched later with the rw-status command
    REPLY_MEM_WRITE // no reply; data phase follows; status fetched later
};

constexpr uint8_t G2 = 1; // generations 2 and 2.1
constexpr uint8_t G3 = 2;
constexpr uint8_t ANY_SUB = 0xFF;

// One row per command: byte 0, byte 1 (or ANY_SUB), generations that know
// it, fault class, reply length (0 = computed by the handler), handler.
struct command_row {
    uint8_t cmd;
    uint8_t sub;
    uint8_t gens;
    uint8_t klass;
    uint16_t reply_len;
    handler_fn fn;
};

constexpr std::array<command_row, 32> COMMANDS = {{
    {CMD_GET_VERSION, ANY_SUB, G2 | G3, REPLY_PLAIN, 6, h_version2},
    {CMD_GET_VERSION_V3, ANY_SUB, G3, REPLY_PLAIN, 12, h_version3},
    {CMD_GET_CURRENT_MODE, ANY_SUB, G2 | G3, REPLY_PLAIN, 2, h_current_mode},
    {CMD_GET_TARGET_VOLTAGE, ANY_SUB, G2 | G3, REPLY_PLAIN, 8, h_voltage},
    {CMD_DFU, 0x07, G2 | G3, REPLY_NONE, 0, h_dfu_exit},
    {CMD_VEMO, 0x01, G2 | G3, REPLY_NONE, 0, h_vemo_exit},
    {CMD_DEBUG, 0x21, G2 | G3, REPLY_NONE, 0, h_debug_exit},
    {CMD_DEBUG, 0x30, G2 | G3, REPLY_STATUS, 2, h_enter},
    {CMD_DEBUG, 0x3C, G2 | G3, REPLY_STATUS, 2, h_srst},
    {CMD_DEBUG, 0x32, G2 | G3, REPLY_STATUS, 2, h_reset},
    {CMD_DEBUG, 0x22, G2 | G3, REPLY_PLAIN, 4, h_idcode},
    {CMD_DEBUG, 0x36, G2 | G3, REPLY_STATUS, 8, h_read_debug},
    {CMD_DEBUG, 0x35, G2 | G3, REPLY_STATUS, 2, h_write_debug},
    {CMD_DEBUG, 0x33, G2 | G3, REPLY_STATUS, 8, h_read_reg},
    {CMD_DEBUG, 0x34, G2 | G3, REPLY_STATUS, 2, h_write_reg},
    {CMD_DEBUG, 0x3A, G2 | G3, REPLY_STATUS, 84, h_read_regs},
    {CMD_DEBUG, 0x0C, G2 | G3, REPLY_MEM_READ, 0, h_read_mem8},
    {CMD_DEBUG, 0x0D, G2 | G3, REPLY_MEM_WRITE, 0, h_write_mem8},
    {CMD_DEBUG, 0x07, G2 | G3, REPLY_MEM_READ, 0, h_read_mem32},
    {CMD_DEBUG, 0x08, G2 | G3, REPLY_MEM_WRITE, 0, h_write_mem32},
    {CMD_DEBUG, 0x3B, G2 | G3, REPLY_STATUS, 2, h_rw_status},
    {CMD_DEBUG, 0x3E, G3, REPLY_STATUS, 12, h_rw_status_v3},
    {CMD_DEBUG, 0x4B, G2 | G3, REPLY_STATUS, 2, h_init_ap},
    {CMD_DEBUG, 0x4C, G2 | G3, REPLY_STATUS, 2, h_close_ap},
    {CMD_DEBUG, 0x49, G2 | G3, REPLY_STATUS, 2, h_blink},
    {CMD_DEBUG, 0x43, G2 | G3, REPLY_STATUS, 2, h_swdclk},
    {CMD_DEBUG, 0x44, G2 | G3, REPLY_STATUS, 2, h_jtagclk},
    {CMD_DEBUG, 0x62, G3, REPLY_STATUS, 52, h_get_freq},
    {CMD_DEBUG, 0x61, G3, REPLY_STATUS, 8, h_set_freq},
    {CMD_DEBUG, 0x40, G2 | G3, REPLY_STATUS, 2, h_trace_on},
    {CMD_DEBUG, 0x41, G2 | G3, REPLY_STATUS, 2, h_trace_off},
    {CMD_DEBUG, 0x42, G2 | G3, REPLY_PLAIN, 2, h_trace_count},
}};

uint8_t gen_bit(const probe_config &c)
{
    return c.generation == GEN_3 ? G3 : G2;
}

const command_row *find_command(const probe_config &c, const uint8_t *b)
{
    for (const command_row &row : COMMANDS) {
        if (row.cmd != b[0] || !(row.gens & gen_bit(c)))
            continue;
        if (row.sub == ANY_SUB || row.sub == b[1])
            return &row;
    }
    return nullptr;
}

uint32_t row_reply_len(const command_row &row, const uint8_t *b)
{
    return row.klass == REPLY_MEM_READ ? mem_read_len(b) : row.reply_len;
}

uint32_t run_row(probe_view &v, const command_row &row, const uint8_t *b, uint64_t now_us)
{
    probe_state &st = v.rec->st;
    uint32_t len = row_reply_len(row, b);
    if (len > st.io.size())
        len = static_cast<uint32_t>(st.io.size());
    std::memset(st.io.data(), 0, len);
    uint32_t got = row.fn(v, b, now_us);
    return got > len ? len : got;
}

// ---- injected faults ------------------------------------------------------

bool fault_applies(int kind, uint8_t klass)
{
    switch (kind) {
    case FAULT_TIMEOUT:
    case FAULT_SHORT:
        return klass != REPLY_NONE && klass != REPLY_MEM_WRITE;
    case FAULT_FAIL:
    case FAULT_WAIT:
        return klass == REPLY_STATUS || klass == REPLY_MEM_READ || klass == REPLY_MEM_WRITE;
    default:
        return false;
    }
}

// Order in which armed faults are tried for one block; one fault per block.
constexpr std::array<uint8_t, 4> FAULT_ORDER = {{FAULT_TIMEOUT, FAULT_SHORT, FAULT_FAIL, FAULT_WAIT}};

int take_fault(probe_state &st, uint8_t klass)
{
    for (uint8_t kind : FAULT_ORDER) {
        if (st.fault_left[kind] == 0 || !fault_applies(kind, klass))
            continue;
        st.fault_left[kind]--;
        st.counters.faults_used++;
        return kind;
    }
    return -1;
}

// A status fault replaces the command's effect by the status byte.
uint32_t status_fault(probe_view &v, const command_row &row, const uint8_t *b, uint8_t status)
{
    probe_state &st = v.rec->st;
    uint32_t len = row_reply_len(row, b);
    std::memset(st.io.data(), 0, len);
    if (row.klass == REPLY_STATUS)
        return status_reply(st, status, len);
    st.rw_status = status;
    if (row.klass == REPLY_MEM_WRITE) {
        mem_write(v, b, row.sub == 0x08);
        st.write.dropped = 1;
        st.rw_status = status;
    }
    return len;
}

uint32_t run_with_faults(probe_view &v, const command_row &row, const uint8_t *b, uint64_t now_us)
{
    probe_state &st = v.rec->st;
    switch (take_fault(st, row.klass)) {
    case FAULT_TIMEOUT:
        return 0;
    case FAULT_SHORT: {
        uint32_t len = run_row(v, row, b, now_us);
        return len ? len - 1 : 0;
    }
    case FAULT_FAIL:
        return status_fault(v, row, b, st.fault_status);
    case FAULT_WAIT:
        return status_fault(v, row, b, st.wait_status);
    default:
        return run_row(v, row, b, now_us);
    }
}

void record_block(probe_state &st, const uint8_t *block)
{
    std::memcpy(st.history[st.history_next].data(), block, CMD_SIZE);
    st.history_next = (st.history_next + 1) % HISTORY_DEPTH;
    if (st.history_len < HISTORY_DEPTH)
        st.history_len++;
    st.counters.blocks++;
}

uint32_t unknown_command(probe_state &st)
{
    st.counters.unknown++;
    std::memset(st.io.data(), 0, 2);
    return status_reply(st, STATUS_CMD_ERROR, 2);
}

uint32_t receive_block(probe_view &v, const uint8_t *block, uint64_t now_us)
{
    probe_state &st = v.rec->st;
    record_block(st, block);
    st.write.active = 0; // a new block abandons an unfinished data phase
    const command_row *row = find_command(v.rec->cfg, block);
    uint32_t len = row ? run_with_faults(v, *row, block, now_us) : unknown_command(st);
    if (len == 0 || st.script_len == 0)
        return len;
    len = st.script_len;
    std::memcpy(st.io.data(), st.script.data(), len);
    st.script_len = 0;
    return len;
}

void commit_write(probe_view &v)
{
    probe_state &st = v.rec->st;
    pending_write &w = st.write;
    w.active = 0;
    st.counters.data_phases++;
    if (w.dropped)
        return;
    uint8_t b[CMD_SIZE] = {};
    b[1] = w.width == 32 ? 0x08 : 0x0D;
    put_u32(b + 2, w.addr);
    put_u16(b + 6, w.length);
    b[8] = w.ap;
    st.rw_status = check_mem(b, w.width == 32);
    if (st.rw_status == STATUS_OK)
        st.rw_status = target_write(v, w.addr, st.io.data(), w.length);
}

uint32_t take_data_phase(probe_view &v, const uint8_t *data, uint32_t len)
{
    pending_write &w = v.rec->st.write;
    uint32_t n = w.length - w.received;
    if (n > len)
        n = len;
    std::memcpy(v.rec->st.io.data() + w.received, data, n);
    w.received += n;
    if (w.received == w.length)
        commit_write(v);
    return n;
}

} // namespace

// ---- public interface -----------------------------------------------------

void config_set_generation(probe_config &cfg, uint8_t generation)
{
    cfg.generation = generation;
    cfg.vid = TARVEX_VID;
    cfg.pid = generation == GEN_3 ? TARVEX_V3_PID : generation == GEN_21 ? TARVEX_V21_PID : TARVEX_V2_PID;
    cfg.hw_version = generation == GEN_3 ? 3 : 2;
    cfg.jtag_version = 40; // above every firmware gate (trace 13, SWD 20, JTAG 24, LED/AP 28)
    cfg.vemo_version = 7;
}

void config_defaults(probe_config &cfg)
{
    cfg = probe_config{};
    std::strcpy(cfg.serial.data(), "7E5756500000000000000001");
    cfg.form = SERIAL_HEX;
    config_set_generation(cfg, GEN_2);
    cfg.trace_capable = 1;
    cfg.initial_mode = MODE_DFU;
    cfg.vref = 1500;
    cfg.vtarget = 1650;
    cfg.ram_base = 0x20000000;
    cfg.ram_size = 128 * 1024;
    cfg.flash_base = 0x00000000;
    cfg.flash_size = 256 * 1024;
    cfg.idcode = 0x2BA01477;
}

void probe_power_up(probe_view &v)
{
    const probe_config &c = v.rec->cfg;
    probe_state &st = v.rec->st;
    st = probe_state{};
    st.mode = c.initial_mode;
    st.usb_config = 1;
    st.rw_status = STATUS_OK;
    st.fault_status = STATUS_SWD_FAULT;
    st.wait_status = STATUS_AP_WAIT;
    st.com_freq_khz = {V3_SWD_FREQS[0], V3_JTAG_FREQS[0]};
    std::memset(v.ram, 0, c.ram_size);
    std::memset(v.flash, 0xFF, c.flash_size); // erased flash
    if (c.flash_size >= 8) {
        // Vector table: initial stack at the top of RAM, the reset handler
        // and the handlers of the system exceptions (Thumb) on the erased
        // word at 0x100, where the first fault in HardFault locks the core up.
        put_u32(v.flash, c.ram_base + c.ram_size);
        for (uint32_t n = 1; n < 16 && 4 * n + 4 <= c.flash_size; n++)
            put_u32(v.flash + 4 * n, (c.flash_base + 0x100) | 1);
    }
    st.core.swo_itm = c.swo_source == SWO_ITM || (c.swo_source == SWO_AUTO && c.firmware[0] != '\0');
    st.core.exc.model = c.core < CORE_KINDS ? c.core : uint8_t{CORE_M4};
    probe_core_reset(v);
    st.reset_latched = 0;
}

int probe_load_image(probe_view &v, const uint8_t *image, size_t len)
{
    const probe_config &c = v.rec->cfg;
    std::memset(v.flash, 0xFF, c.flash_size);
    int rc = elf_image(image, len)
                 ? load_elf(v, image, len)
                 : (len <= c.flash_size ? target_poke(v, c.flash_base, image, static_cast<uint32_t>(len)) : -1);
    probe_mark_code(v.rec->st.core, c.flash_base, c.flash_size);
    probe_mark_code(v.rec->st.core, c.ram_base, c.ram_size);
    if (c.swo_source == SWO_AUTO)
        v.rec->st.core.swo_itm = 1;
    probe_core_reset(v);
    return rc;
}

void probe_mark_code(core_debug &c, uint32_t addr, uint32_t len)
{
    uint64_t lo = addr, hi = uint64_t{addr} + len;
    size_t r = addr < SRAM_REGION ? 0 : 1;
    bool none = c.code_hi[r] <= c.code_lo[r];
    c.code_lo[r] = none || lo < c.code_lo[r] ? lo : c.code_lo[r];
    c.code_hi[r] = none || hi > c.code_hi[r] ? hi : c.code_hi[r];
}

void probe_core_reset(probe_view &v)
{
    probe_state &st = v.rec->st;
    core_debug &c = st.core;
    st.core_regs.fill(0);
    st.core_regs[REGSEL_MSP] = st.core_regs[REGSEL_SP] = vector_word(v, 0);
    st.core_regs[REGSEL_PC] = vector_word(v, 1) & ~1u;
    st.core_regs[REGSEL_LR] = 0xFFFFFFFF;
    st.core_regs[REGSEL_XPSR] = XPSR_THUMB;
    st.reset_latched = 1;
    c.cfsr = c.hfsr = c.bfar = 0;
    c.syst_csr = 0;
    exc_reset(c);
    c.regs_seq++;
    bool catch_reset = (st.demcr & DEMCR_VC_CORERESET) || (st.dhcsr_ctrl & C_HALT);
    c.run = core_debug_enabled(st) && catch_reset ? CORE_HALTED : CORE_RUNNING;
    if (c.run == CORE_HALTED)
        c.dfsr |= DFSR_VCATCH;
    c.skip_fpb = 0;
    flash_ctl_reset(st);
    core_kick(c);
}

uint32_t probe_execute(probe_view &v, const uint8_t *block, uint64_t now_us)
{
    const command_row *row = find_command(v.rec->cfg, block);
    if (!row)
        return unknown_command(v.rec->st);
    return run_row(v, *row, block, now_us);
}

io_outcome probe_bulk_out(probe_view &v, const uint8_t *data, uint32_t len, uint64_t now_us)
{
    probe_state &st = v.rec->st;
    if (st.write.active) {
        uint32_t used = take_data_phase(v, data, len);
        if (used < len && len - used >= CMD_SIZE)
            probe_bulk_out(v, data + used, len - used, now_us);
        return {IO_DONE, len};
    }
    if (st.fault_left[FAULT_GONE] > 0) {
        st.fault_left[FAULT_GONE]--;
        st.counters.faults_used++;
        return {IO_NODEV, 0};
    }
    uint8_t block[CMD_SIZE] = {};
    std::memcpy(block, data, len < CMD_SIZE ? len : CMD_SIZE);
    st.reply_len = receive_block(v, block, now_us);
    st.reply_pos = 0;
    if (st.reply_len > 0 && st.gate == GATE_ARMED)
        st.gate = GATE_HOLDING;
    if (len > CMD_SIZE && st.write.active)
        take_data_phase(v, data + CMD_SIZE, len - static_cast<uint32_t>(CMD_SIZE));
    return {IO_DONE, len};
}

uint32_t probe_reply_pending(const probe_view &v)
{
    const probe_state &st = v.rec->st;
    return st.gate == GATE_HOLDING ? 0 : st.reply_len - st.reply_pos;
}

uint32_t probe_reply_take(probe_view &v, uint8_t *buf, uint32_t cap)
{
    probe_state &st = v.rec->st;
    uint32_t n = probe_reply_pending(v);
    if (n > cap)
        n = cap;
    if (n == 0)
        return 0; // buf may be null for an empty read
    std::memcpy(buf, st.io.data() + st.reply_pos, n);
    st.reply_pos += n;
    return n;
}

void probe_reply_discard(probe_view &v)
{
    v.rec->st.reply_pos = v.rec->st.reply_len;
}

void probe_image_written(probe_view &v, uint32_t addr, uint32_t len)
{
    probe_state &st = v.rec->st;
    probe_mark_code(st.core, addr, len);
    if (v.rec->cfg.swo_source != SWO_AUTO || st.core.swo_itm)
        return;
    st.core.swo_itm = 1;
    // Counter bytes not yet read would be read from the ITM's ring.
    st.trace.consumed = st.trace.produced;
}

uint32_t probe_trace_available(probe_view &v, uint64_t now_us)
{
    probe_state &st = v.rec->st;
    trace_update(st, now_us);
    uint64_t n = st.trace.produced - st.trace.consumed;
    return n > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(n);
}

uint32_t probe_trace_take(probe_view &v, uint8_t *buf, uint32_t cap, uint64_t now_us)
{
    trace_state &t = v.rec->st.trace;
    uint32_t n = probe_trace_available(v, now_us);
    if (n > cap)
        n = cap;
    // The synthetic source counts upwards; the ITM's packets wait in the ring.
    for (uint32_t i = 0; i < n; i++)
        buf[i] = v.rec->st.core.swo_itm ? v.rec->st.swo[(t.consumed + i) % SWO_CAPTURE]
                                        : static_cast<uint8_t>((t.consumed + i) & 0xFF);
    t.consumed += n;
    return n;
}

uint8_t target_read(probe_view &v, uint32_t addr, uint8_t *out, uint32_t len)
{
    bool flash = false;
    uint8_t *src = backing(v, addr, len, &flash);
    if (src) {
        std::memcpy(out, src, len);
        return STATUS_OK;
    }
    std::memset(out, 0, len);
    return ppb_read_bytes(v, addr, out, len, true);
}

uint8_t target_write(probe_view &v, uint32_t addr, const uint8_t *in, uint32_t len)
{
    bool flash = false;
    uint8_t *dst = backing(v, addr, len, &flash);
    if (dst && !flash) {
        std::memcpy(dst, in, len);
        probe_image_written(v, addr, len);
        return STATUS_OK;
    }
    if (dst || !ppb_words(addr, len))
        return STATUS_SWD_FAULT; // flash is read-only on the bus; unmapped space faults
    for (uint32_t i = 0; i < len; i += 4)
        scs_write(v, addr + i, get_u32(in + i), 4);
    return STATUS_OK;
}

int target_poke(probe_view &v, uint32_t addr, const uint8_t *in, uint32_t len)
{
    bool flash = false;
    uint8_t *dst = backing(v, addr, len, &flash);
    if (!dst)
        return -1;
    std::memcpy(dst, in, len);
    return 0;
}

int target_peek(probe_view &v, uint32_t addr, uint8_t *out, uint32_t len)
{
    bool flash = false;
    const uint8_t *src = backing(v, addr, len, &flash);
    if (src) {
        std::memcpy(out, src, len);
        return 0;
    }
    std::memset(out, 0, len);
    return ppb_read_bytes(v, addr, out, len, false) == STATUS_OK ? 0 : -1;
}

uint32_t probe_dhcsr_value(const probe_view &v)
{
    return scs_dhcsr(v.rec->st);
}

int probe_set_fault(probe_view &v, int kind, uint32_t n, uint8_t status)
{
    probe_state &st = v.rec->st;
    if (kind < 0 || kind >= FAULT_KINDS)
        return -1;
    st.fault_left[kind] = n;
    if (kind == FAULT_FAIL)
        st.fault_status = status ? status : STATUS_SWD_FAULT;
    if (kind == FAULT_WAIT)
        st.wait_status = status ? status : STATUS_AP_WAIT;
    return 0;
}

int probe_set_script(probe_view &v, const uint8_t *reply, uint32_t len)
{
    if (len > SCRIPT_SIZE)
        return -1;
    std::memcpy(v.rec->st.script.data(), reply, len);
    v.rec->st.script_len = len;
    return 0;
}

void probe_clear(probe_view &v)
{
    probe_state &st = v.rec->st;
    st.counters = probe_counters{};
    st.history_len = 0;
    st.history_next = 0;
    st.fault_left.fill(0);
    st.script_len = 0;
}

int probe_history(const probe_view &v, uint32_t k, uint8_t *block)
{
    const probe_state &st = v.rec->st;
    if (k >= st.history_len)
        return -1;
    uint32_t pos = (st.history_next + HISTORY_DEPTH - 1 - k) % HISTORY_DEPTH;
    std::memcpy(block, st.history[pos].data(), CMD_SIZE);
    return 0;
}

int32_t clock_khz(bool jtag, int32_t divisor)
{
    if (jtag) {
        for (const clock_row &r : JTAG_CLOCKS)
            if (r.divisor == divisor)
                return r.khz;
        return 0;
    }
    for (const clock_row &r : SWD_CLOCKS)
        if (r.divisor == divisor)
            return r.khz;
    return 0;
}

} // namespace vprobe
