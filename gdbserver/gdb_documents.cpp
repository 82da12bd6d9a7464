// The qXfer documents: what GDB needs to know about the target before it
// reads a register or a byte.
#include <cstdio>
#include <string>

#include "gdb_packets.h"
#include "gdb_registers.h"

namespace tarvex_gdb
{

static const char *register_type(const gdb_register &r)
{
    if (r.fp)
        return r.bits == 64 ? "ieee_double" : "int";
    std::string name = r.name;
    if (name == "pc")
        return "code_ptr";
    bool stack = name == "sp" || name == "msp" || name == "psp" || name == "msplim" || name == "psplim";
    return stack ? "data_ptr" : "uint32";
}

// GDB's M-profile feature (r0-r12, sp, lr, pc, xpsr), then the system
// feature: the two stack pointers GDB unwinds exception frames with, and
// the mask, control and stack limit registers that core has; then, where
// the core has an FPU, the floating-point feature. The order is
// gdb_registers', which the g, p and P packets follow.
std::string target_description(const tarvex_target::core_identity &core)
{
    std::string xml = "<?xml version=\"1.0\"?>\n"
                      "<!DOCTYPE target SYSTEM \"gdb-target.dtd\">\n"
                      "<target version=\"1.0\">\n"
                      "<architecture>arm</architecture>\n";
    const char *feature = nullptr;
    for (const gdb_register &r : gdb_registers(core)) {
        const char *in = r.fp            ? "org.gnu.gdb.arm.vfp"
                         : r.index <= 16 ? "org.gnu.gdb.arm.m-profile"
                                         : "org.gnu.gdb.arm.m-system";
        if (feature != in) {
            xml += std::string(feature != nullptr ? "</feature>\n" : "") + "<feature name=\"" + in + "\">\n";
            feature = in;
        }
        const char *group = r.fp ? " group=\"float\"" : r.index > 16 ? " group=\"system\"" : "";
        xml += std::string("<reg name=\"") + r.name + "\" bitsize=\"" + std::to_string(r.bits) + "\" type=\"" +
               register_type(r) + "\"" + group + "/>\n";
    }
    xml += "</feature>\n</target>\n";
    return xml;
}

static std::string region(const char *type, uint32_t base, uint32_t size)
{
    char text[96];
    snprintf(text, sizeof(text), "<memory type=\"%s\" start=\"0x%x\" length=\"0x%x\"/>\n", type, base, size);
    return text;
}

// Without a flash algorithm, flash is "rom": the front end cannot program it, so GDB neither writes
// there nor plants BKPTs there (it asks for hardware breakpoints instead).
// GDB refuses any address outside the map, so the peripheral and system
// spaces are listed too, or the debug and device registers would be out of
// reach from GDB.
std::string memory_map(const session_config &config, const std::string &flash_xml)
{
    std::string xml = "<?xml version=\"1.0\"?>\n"
                      "<!DOCTYPE memory-map PUBLIC \"+//IDN gnu.org//DTD GDB Memory Map V1.0//EN\" "
                      "\"http://sourceware.org/gdb/gdb-memory-map.dtd\">\n"
                      "<memory-map>\n";
    if (!flash_xml.empty())
        xml += flash_xml;
    else if (config.flash.size > 0)
        xml += region("rom", config.flash.base, config.flash.size);
    if (config.ram.size > 0)
        xml += region("ram", config.ram.base, config.ram.size);
    xml += region("ram", 0x40000000, 0x20000000); // peripherals
    xml += region("ram", 0xE0000000, 0x20000000); // private peripheral bus and vendor system space
    xml += "</memory-map>\n";
    return xml;
}

} // namespace tarvex_gdb
