#include <cstring>

#include "armv7m_debug.h"
#include "target.h"

namespace tarvex_target
{

using armv7m::REGSEL_SPECIAL;

// Selector 20 packs one byte per register: CONTROL in the top byte, then
// FAULTMASK, BASEPRI, and PRIMASK in the bottom one.
const core_register CORE_REGISTERS[CORE_REGISTER_COUNT] = {
    {"r0", 0, 0, 32},
    {"r1", 1, 0, 32},
    {"r2", 2, 0, 32},
    {"r3", 3, 0, 32},
    {"r4", 4, 0, 32},
    {"r5", 5, 0, 32},
    {"r6", 6, 0, 32},
    {"r7", 7, 0, 32},
    {"r8", 8, 0, 32},
    {"r9", 9, 0, 32},
    {"r10", 10, 0, 32},
    {"r11", 11, 0, 32},
    {"r12", 12, 0, 32},
    {"sp", armv7m::REGSEL_SP, 0, 32},
    {"lr", armv7m::REGSEL_LR, 0, 32},
    {"pc", armv7m::REGSEL_PC, 0, 32},
    {"xpsr", armv7m::REGSEL_XPSR, 0, 32},
    {"msp", armv7m::REGSEL_MSP, 0, 32},
    {"psp", armv7m::REGSEL_PSP, 0, 32},
    {"primask", REGSEL_SPECIAL, 0, 8},
    {"basepri", REGSEL_SPECIAL, 8, 8},
    {"faultmask", REGSEL_SPECIAL, 16, 8},
    {"control", REGSEL_SPECIAL, 24, 8},
    {"msplim", armv7m::REGSEL_MSPLIM, 0, 32},
    {"psplim", armv7m::REGSEL_PSPLIM, 0, 32},
};

// S0-S31 at selectors 0x40-0x5F (on a double-precision FPU D0-D15 are
// them in pairs, low word first), FPSCR at 0x21.
const core_register FP_REGISTERS[FP_REGISTER_COUNT] = {
    {"s0", 0x40, 0, 32},  {"s1", 0x41, 0, 32},  {"s2", 0x42, 0, 32},    {"s3", 0x43, 0, 32},  {"s4", 0x44, 0, 32},
    {"s5", 0x45, 0, 32},  {"s6", 0x46, 0, 32},  {"s7", 0x47, 0, 32},    {"s8", 0x48, 0, 32},  {"s9", 0x49, 0, 32},
    {"s10", 0x4A, 0, 32}, {"s11", 0x4B, 0, 32}, {"s12", 0x4C, 0, 32},   {"s13", 0x4D, 0, 32}, {"s14", 0x4E, 0, 32},
    {"s15", 0x4F, 0, 32}, {"s16", 0x50, 0, 32}, {"s17", 0x51, 0, 32},   {"s18", 0x52, 0, 32}, {"s19", 0x53, 0, 32},
    {"s20", 0x54, 0, 32}, {"s21", 0x55, 0, 32}, {"s22", 0x56, 0, 32},   {"s23", 0x57, 0, 32}, {"s24", 0x58, 0, 32},
    {"s25", 0x59, 0, 32}, {"s26", 0x5A, 0, 32}, {"s27", 0x5B, 0, 32},   {"s28", 0x5C, 0, 32}, {"s29", 0x5D, 0, 32},
    {"s30", 0x5E, 0, 32}, {"s31", 0x5F, 0, 32}, {"fpscr", 0x21, 0, 32},
};

size_t core_register_index(const char *name)
{
    size_t i = 0;
    while (i < CORE_REGISTER_COUNT && strcmp(CORE_REGISTERS[i].name, name) != 0)
        i++;
    return i;
}

bool core_register_present(const core_identity &core, size_t i)
{
    if (i >= CORE_REGISTER_COUNT)
        return false;
    uint8_t sel = CORE_REGISTERS[i].regsel;
    if (sel == armv7m::REGSEL_MSPLIM || sel == armv7m::REGSEL_PSPLIM)
        return core.arch == ARCH_V8M_MAINLINE;
    const char *name = CORE_REGISTERS[i].name;
    return has_priority_masks(core.arch) || (strcmp(name, "basepri") != 0 && strcmp(name, "faultmask") != 0);
}

std::vector<core_register> core_register_set(const core_identity &core)
{
    std::vector<core_register> set;
    for (size_t i = 0; i < CORE_REGISTER_COUNT; i++)
        if (core_register_present(core, i))
            set.push_back(CORE_REGISTERS[i]);
    if (fp_registers_present(core))
        set.insert(set.end(), FP_REGISTERS, FP_REGISTERS + FP_REGISTER_COUNT);
    return set;
}

int core_registers_read(link &l, const core_identity &core, uint32_t *values)
{
    std::vector<core_register> regs;
    std::vector<size_t> index;
    for (size_t i = 0; i < CORE_REGISTER_COUNT; i++) {
        values[i] = 0;
        if (core_register_present(core, i)) {
            regs.push_back(CORE_REGISTERS[i]);
            index.push_back(i);
        }
    }
    std::vector<uint32_t> read(regs.size());
    int rc = registers_read(l, regs.data(), regs.size(), read.data());
    for (size_t k = 0; rc == TARGET_OK && k < regs.size(); k++)
        values[index[k]] = read[k];
    return rc;
}

int fp_registers_read(link &l, const core_identity &core, uint32_t *values)
{
    return fp_registers_present(core) ? registers_read(l, FP_REGISTERS, FP_REGISTER_COUNT, values) : TARGET_UNSUITABLE;
}

int fp_registers_write(link &l, const core_identity &core, const uint32_t *values)
{
    return fp_registers_present(core) ? registers_write(l, FP_REGISTERS, FP_REGISTER_COUNT, values) : TARGET_UNSUITABLE;
}

static uint32_t field_mask(const core_register &reg)
{
    return reg.bits >= 32 ? 0xFFFFFFFFu : ((1u << reg.bits) - 1) << reg.shift;
}

static uint32_t field_of(const core_register &reg, uint32_t whole)
{
    return (whole & field_mask(reg)) >> reg.shift;
}

int registers_read(link &l, const core_register *regs, size_t count, uint32_t *values)
{
    // The selectors in first-seen order, each once.
    std::vector<unsigned> selectors;
    std::vector<size_t> slot(count);
    for (size_t i = 0; i < count; i++) {
        size_t s = 0;
        while (s < selectors.size() && selectors[s] != regs[i].regsel)
            s++;
        if (s == selectors.size())
            selectors.push_back(regs[i].regsel);
        slot[i] = s;
    }
    std::vector<uint32_t> whole(selectors.size());
    int rc = l.read_core_set(selectors.data(), selectors.size(), whole.data());
    if (rc != TARGET_OK)
        return rc;
    for (size_t i = 0; i < count; i++)
        values[i] = field_of(regs[i], whole[slot[i]]);
    return TARGET_OK;
}

int register_write(link &l, const core_register &reg, uint32_t value)
{
    return registers_write(l, &reg, 1, &value);
}

int registers_write(link &l, const core_register *regs, size_t count, const uint32_t *values)
{
    for (size_t i = 0; i < count; i++) {
        // The first register of each selector writes it, with every field
        // of that selector given in regs.
        size_t first = 0;
        while (regs[first].regsel != regs[i].regsel)
            first++;
        if (first != i)
            continue;
        uint32_t covered = 0, whole = 0;
        for (size_t j = i; j < count; j++) {
            if (regs[j].regsel == regs[i].regsel) {
                covered |= field_mask(regs[j]);
                whole = (whole & ~field_mask(regs[j])) | ((values[j] << regs[j].shift) & field_mask(regs[j]));
            }
        }
        uint32_t old = 0;
        int rc = covered == 0xFFFFFFFFu ? TARGET_OK : l.read_core(regs[i].regsel, &old);
        if (rc == TARGET_OK)
            rc = l.write_core(regs[i].regsel, (old & ~covered) | whole);
        if (rc != TARGET_OK)
            return rc;
    }
    return TARGET_OK;
}

} // namespace tarvex_target
