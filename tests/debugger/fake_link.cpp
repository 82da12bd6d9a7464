#include "fake_link.h"

#include <cstdio>
#include <cstring>

#include "armv7m_debug.h"

namespace tarvex_test
{

using namespace armv7m;

static std::string text(const char *format, uint32_t a, uint32_t b = 0, uint32_t c = 0)
{
    char buf[64];
    snprintf(buf, sizeof(buf), format, a, b, c);
    return buf;
}

fake_link::fake_link()
{
    debug[FP_CTRL] = 6 << 4;                        // six code comparators, revision 1
    debug[DWT_CTRL] = 4u << DWT_CTRL_NUMCOMP_SHIFT; // four data comparators
}

int fake_link::check(uint32_t addr, uint32_t len) const
{
    if (failing && fail_addr - addr < len)
        return fail_result;
    return tarvex_target::TARGET_OK;
}

int fake_link::read_debug(uint32_t addr, uint32_t *value)
{
    log.push_back(text("dr@%08x", addr));
    int rc = check(addr, 4);
    if (rc != tarvex_target::TARGET_OK)
        return rc;
    *value = debug[addr];
    if (addr == DHCSR) {
        *value = (halted ? S_HALT : 0) | (debug[DHCSR] & (S_LOCKUP | S_RESET_ST));
        debug[DHCSR] &= ~S_RESET_ST; // sticky: cleared by the read
    }
    return rc;
}

int fake_link::write_debug(uint32_t addr, uint32_t value)
{
    log.push_back(text("dw@%08x=%x", addr, value));
    int rc = check(addr, 4);
    if (rc != tarvex_target::TARGET_OK)
        return rc;
    if (addr == DHCSR) {
        if ((value & DBGKEY_MASK) == DBGKEY && !never_halts)
            halted = (value & (C_HALT | C_STEP)) != 0; // a step ends halted at once
        return rc;
    }
    if (addr == AIRCR && (value & AIRCR_SYSRESETREQ) != 0) {
        halted = (debug[DEMCR] & DEMCR_VC_CORERESET) != 0;
        debug[DHCSR] |= S_RESET_ST;
        core[REGSEL_PC] = 0x100;
        return rc;
    }
    debug[addr] = value;
    return rc;
}

int fake_link::read_core(unsigned regsel, uint32_t *value)
{
    log.push_back(text("cr%u", regsel));
    int rc = check(0xC0DE0000 + regsel, 1);
    if (rc == tarvex_target::TARGET_OK)
        *value = core[regsel];
    return rc;
}

int fake_link::write_core(unsigned regsel, uint32_t value)
{
    log.push_back(text("cw%u=%x", regsel, value));
    int rc = check(0xC0DE0000 + regsel, 1);
    if (rc == tarvex_target::TARGET_OK)
        core[regsel] = value;
    return rc;
}

int fake_link::read_core_set(const unsigned *regsels, size_t count, uint32_t *values)
{
    log.push_back(text("set%u", static_cast<uint32_t>(count)));
    for (size_t i = 0; i < count; i++) {
        int rc = check(0xC0DE0000 + regsels[i], 1);
        if (rc != tarvex_target::TARGET_OK)
            return rc;
        values[i] = core[regsels[i]];
    }
    return tarvex_target::TARGET_OK;
}

int fake_link::read_memory(uint32_t addr, uint32_t size, uint32_t count, uint8_t *data)
{
    log.push_back(text("r%u@%08x*%u", size, addr, count));
    uint32_t len = size * count;
    int rc = check(addr, len);
    if (rc == tarvex_target::TARGET_OK && (addr < ram_base || addr - ram_base + len > ram.size()))
        rc = tarvex_target::TARGET_FAILED;
    if (rc == tarvex_target::TARGET_OK)
        memcpy(data, ram.data() + (addr - ram_base), len);
    return rc;
}

int fake_link::write_memory(uint32_t addr, uint32_t size, uint32_t count, const uint8_t *data)
{
    log.push_back(text("w%u@%08x*%u", size, addr, count));
    uint32_t len = size * count;
    int rc = check(addr, len);
    if (rc == tarvex_target::TARGET_OK && (addr < ram_base || addr - ram_base + len > ram.size()))
        rc = tarvex_target::TARGET_FAILED;
    if (rc == tarvex_target::TARGET_OK)
        memcpy(ram.data() + (addr - ram_base), data, len);
    return rc;
}

std::string fake_link::accesses(char kind) const
{
    std::string out;
    for (const std::string &entry : log)
        if (entry[0] == kind && (entry[1] == '1' || entry[1] == '4'))
            out += (out.empty() ? "" : " ") + entry;
    return out;
}

} // namespace tarvex_test
