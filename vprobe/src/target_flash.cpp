// The flash controller: key sequence, word programming and erases with a
// busy time, error flags, and the counts the control channel reports.
#include "target_flash.h"

#include <cstring>

#include "flash_regs.h"

namespace vprobe
{

namespace
{

constexpr uint32_t WINDOW = 0x20;
constexpr uint8_t KEY_OPEN = 2;

uint64_t core_cycles(const core_debug &c)
{
    return c.instructions + c.slice_executed;
}

bool busy(const probe_state &st)
{
    return core_cycles(st.core) < st.flash.busy_until;
}

void start_busy(probe_state &st, uint64_t cycles)
{
    st.flash.busy_until = core_cycles(st.core) + cycles;
}

bool locked(const flash_ctl &f)
{
    return f.key_step != KEY_OPEN || f.key_fail;
}

uint32_t status(const probe_state &st)
{
    const flash_ctl &f = st.flash;
    uint32_t v = f.errors;
    if (busy(st))
        v |= FLC_STAT_BUSY;
    if (locked(f))
        v |= FLC_STAT_LOCKED;
    if (f.key_fail)
        v |= FLC_STAT_KEYFAIL;
    return v;
}

void take_key(flash_ctl &f, uint32_t value)
{
    if (f.key_step == 0 && value == FLC_KEY_FIRST && !f.key_fail)
        f.key_step = 1;
    else if (f.key_step == 1 && value == FLC_KEY_SECOND)
        f.key_step = KEY_OPEN;
    else
        f.key_fail = 1;
}

void count_erase(flash_ctl &f, uint32_t index)
{
    f.sector_erases[index < FLASH_SECTOR_SLOTS ? index : FLASH_SECTOR_SLOTS - 1]++;
}

void erase_sector(probe_view &v)
{
    const probe_config &c = v.rec->cfg;
    probe_state &st = v.rec->st;
    flash_ctl &f = st.flash;
    uint32_t offset = f.addr - c.flash_base;
    if (f.addr < c.flash_base || offset >= c.flash_size) {
        f.errors |= FLC_STAT_ERR_ADDR;
        return;
    }
    flash_sector s = flash_sector_at(c.flash_size, offset);
    std::memset(v.flash + s.offset, FLC_ERASED_BYTE, s.size);
    probe_mark_code(st.core, c.flash_base + s.offset, s.size);
    count_erase(f, flash_sector_index(c.flash_size, offset));
    start_busy(st, uint64_t{s.size} / 1024 * FLC_ERASE_CYCLES_PER_KIB);
}

void erase_all(probe_view &v)
{
    const probe_config &c = v.rec->cfg;
    probe_state &st = v.rec->st;
    std::memset(v.flash, FLC_ERASED_BYTE, c.flash_size);
    probe_mark_code(st.core, c.flash_base, c.flash_size);
    for (uint32_t i = 0; i < flash_sector_count(c.flash_size); i++)
        count_erase(st.flash, i);
    st.flash.erase_alls++;
    start_busy(st, FLC_ERASE_ALL_CYCLES);
}

void command(probe_view &v, uint32_t value)
{
    if (value == FLC_CMD_ERASE_SECTOR)
        erase_sector(v);
    else if (value == FLC_CMD_ERASE_ALL)
        erase_all(v);
    else
        v.rec->st.flash.errors |= FLC_STAT_ERR_CMD;
}

// NOR: programming only clears bits. A word that needs a bit set stays as
// it is; the address advances either way so a page runs on to its end.
void program(probe_view &v, uint32_t value)
{
    const probe_config &c = v.rec->cfg;
    probe_state &st = v.rec->st;
    flash_ctl &f = st.flash;
    uint32_t offset = f.addr - c.flash_base;
    if (f.addr < c.flash_base || offset > c.flash_size - 4 || c.flash_size < 4 || (f.addr & 3)) {
        f.errors |= FLC_STAT_ERR_ADDR;
        return;
    }
    uint32_t old = 0;
    std::memcpy(&old, v.flash + offset, 4);
    if ((old & value) != value) {
        f.errors |= FLC_STAT_ERR_PROG;
    } else {
        std::memcpy(v.flash + offset, &value, 4);
        probe_image_written(v, f.addr, 4);
        f.words_programmed++;
        start_busy(st, FLC_PROGRAM_CYCLES);
    }
    f.addr += 4;
}

void open_write(probe_view &v, uint32_t reg, uint32_t value)
{
    flash_ctl &f = v.rec->st.flash;
    switch (reg) {
    case FLC_ADDR:
        f.addr = value;
        break;
    case FLC_DATA:
        f.data = value;
        if (f.ctrl & FLC_CTRL_PGEN)
            program(v, value);
        break;
    case FLC_CTRL:
        if (value & FLC_CTRL_LOCK)
            f.key_step = 0;
        f.ctrl = value & FLC_CTRL_PGEN;
        break;
    case FLC_CMD:
        command(v, value);
        break;
    default:
        break;
    }
}

} // namespace

flash_sector flash_sector_at(uint32_t flash_size, uint32_t offset)
{
    if (offset >= flash_size)
        return {flash_size, 0};
    uint32_t size = offset < FLC_SMALL_END    ? FLC_SMALL_SECTOR
                    : offset < FLC_MEDIUM_END ? FLC_MEDIUM_SECTOR
                                              : FLC_LARGE_SECTOR;
    uint32_t start = offset / size * size;
    uint32_t end = flash_size - start < size ? flash_size : start + size;
    return {start, end - start};
}

uint32_t flash_sector_count(uint32_t flash_size)
{
    return flash_size == 0 ? 0 : flash_sector_index(flash_size, flash_size - 1) + 1;
}

uint32_t flash_sector_index(uint32_t flash_size, uint32_t offset)
{
    uint32_t index = 0;
    for (uint32_t at = 0; at <= offset;) {
        flash_sector s = flash_sector_at(flash_size, at);
        if (s.size == 0 || offset < s.offset + s.size)
            break;
        at = s.offset + s.size;
        index++;
    }
    return index;
}

bool flash_ctl_owns(uint32_t addr)
{
    return addr >= FLC_BASE && addr < FLC_BASE + WINDOW;
}

uint32_t flash_ctl_read(probe_view &v, uint32_t addr)
{
    const probe_state &st = v.rec->st;
    switch (addr - FLC_BASE) {
    case FLC_DEVID:
        return FLC_DEVID_VALUE;
    case FLC_SIZE:
        return v.rec->cfg.flash_size;
    case FLC_STAT:
        return status(st);
    case FLC_ADDR:
        return st.flash.addr;
    case FLC_DATA:
        return st.flash.data;
    case FLC_CTRL:
        return st.flash.ctrl | (locked(st.flash) ? FLC_CTRL_LOCK : 0);
    default:
        return 0;
    }
}

void flash_ctl_write(probe_view &v, uint32_t addr, uint32_t value, uint32_t size)
{
    probe_state &st = v.rec->st;
    flash_ctl &f = st.flash;
    uint32_t reg = addr - FLC_BASE;
    if (size != 4 || reg == FLC_DEVID || reg == FLC_SIZE)
        return;
    if (reg == FLC_KEY)
        take_key(f, value);
    else if (reg == FLC_STAT)
        f.errors &= ~(value & FLC_STAT_ERRORS);
    else if (locked(f))
        f.errors |= FLC_STAT_ERR_LOCK;
    else if (busy(st))
        f.errors |= FLC_STAT_ERR_BUSY;
    else
        open_write(v, reg, value);
}

void flash_ctl_reset(probe_state &st)
{
    flash_ctl &f = st.flash;
    f.key_step = 0;
    f.key_fail = 0;
    f.errors = 0;
    f.ctrl = f.addr = f.data = 0;
    f.busy_until = 0;
}

} // namespace vprobe
