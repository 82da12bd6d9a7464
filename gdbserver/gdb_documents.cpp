// The qXfer documents: what GDB needs to know about the target before it
// reads a register or a byte.
#include <cstdio>
#include <string>

#include "gdb_packets.h"

namespace tarvex_gdb
{

// GDB's M-profile feature, the core registers numbered from 0 (r0-r12, sp,
// lr, pc, xpsr), then the system feature: the two stack pointers GDB
// unwinds exception frames with, and the mask and control registers. The
// order is the target layer's CORE_REGISTERS, which the g, p and P
// packets follow.
std::string target_description()
{
    std::string xml = "<?xml version=\"1.0\"?>\n"
                      "<!DOCTYPE target SYSTEM \"gdb-target.dtd\">\n"
                      "<target version=\"1.0\">\n"
                      "<architecture>arm</architecture>\n"
                      "<feature name=\"org.gnu.gdb.arm.m-profile\">\n";
    for (int n = 0; n <= 12; n++)
        xml += "<reg name=\"r" + std::to_string(n) + "\" bitsize=\"32\" type=\"uint32\"/>\n";
    xml += "<reg name=\"sp\" bitsize=\"32\" type=\"data_ptr\"/>\n"
           "<reg name=\"lr\" bitsize=\"32\" type=\"uint32\"/>\n"
           "<reg name=\"pc\" bitsize=\"32\" type=\"code_ptr\"/>\n"
           "<reg name=\"xpsr\" bitsize=\"32\" type=\"uint32\"/>\n"
           "</feature>\n"
           "<feature name=\"org.gnu.gdb.arm.m-system\">\n"
           "<reg name=\"msp\" bitsize=\"32\" type=\"data_ptr\" group=\"system\"/>\n"
           "<reg name=\"psp\" bitsize=\"32\" type=\"data_ptr\" group=\"system\"/>\n"
           "<reg name=\"primask\" bitsize=\"32\" type=\"uint32\" group=\"system\"/>\n"
           "<reg name=\"basepri\" bitsize=\"32\" type=\"uint32\" group=\"system\"/>\n"
           "<reg name=\"faultmask\" bitsize=\"32\" type=\"uint32\" group=\"system\"/>\n"
           "<reg name=\"control\" bitsize=\"32\" type=\"uint32\" group=\"system\"/>\n"
           "</feature>\n"
           "</target>\n";
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
