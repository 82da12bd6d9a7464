#include "gdb_registers.h"

#include "target.h"

namespace tarvex_gdb
{

using namespace tarvex_target;

std::vector<gdb_register> gdb_registers(const core_identity &core)
{
    static const char *const d_names[] = {"d0", "d1", "d2",  "d3",  "d4",  "d5",  "d6",  "d7",
                                          "d8", "d9", "d10", "d11", "d12", "d13", "d14", "d15"};
    static_assert(sizeof(d_names) / sizeof(d_names[0]) * 2 + 1 == FP_REGISTER_COUNT, "d0-d15 pair S0-S31");
    std::vector<gdb_register> regs;
    for (uint8_t i = 0; i < CORE_REGISTER_COUNT; i++)
        if (core_register_present(core, i))
            regs.push_back({CORE_REGISTERS[i].name, i, 32, false});
    if (core.fpu == FPU_NONE)
        return regs;
    for (uint8_t d = 0; d < 16; d++)
        regs.push_back({d_names[d], static_cast<uint8_t>(2 * d), 64, true});
    regs.push_back({FP_REGISTERS[FP_REGISTER_COUNT - 1].name, FP_REGISTER_COUNT - 1, 32, true});
    return regs;
}

} // namespace tarvex_gdb
