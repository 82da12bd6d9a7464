// "monitor" commands (qRcmd): what GDB has no packet for.
#include <cstdio>
#include <string>

#include "armv7m_debug.h"
#include "gdb_packets.h"
#include "gdb_rtt.h"
#include "tarvex_text.h"
#include "target_probe.h"

namespace tarvex_gdb
{

using namespace tarvex_target;

static std::string halted_at(gdb_session &s)
{
    uint32_t pc = 0;
    if (s.link().read_core(armv7m::REGSEL_PC, &pc) != TARGET_OK)
        return "halted\n";
    char text[48];
    snprintf(text, sizeof(text), "halted at 0x%08x\n", pc);
    return text;
}

static std::string failed(const char *what)
{
    return std::string("error: ") + what + " failed\n";
}

// A system reset; the comparators are written again, as the reset may have
// cleared them. GDB does not know the registers changed: "maintenance
// flush register-cache" after it, or "stepi", shows the new state.
static std::string mon_reset(gdb_session &s, bool halt)
{
    s.forget_registers();
    s.forget_flash();
    int rc = reset(s.link(), halt);
    if (rc == TARGET_OK)
        rc = units_restore(s.link(), s.units());
    if (rc != TARGET_OK)
        return failed("reset");
    return halt ? halted_at(s) : "reset, running\n";
}

static std::string mon_halt(gdb_session &s)
{
    s.forget_registers(); // halted by the monitor, the core may have run
    return halt(s.link()) == TARGET_OK ? halted_at(s) : failed("halt");
}

static std::string mon_speed(gdb_session &s, const std::string &arg)
{
    char *end = nullptr;
    unsigned long khz = strtoul(arg.c_str(), &end, 10);
    if (arg.empty() || *end != '\0' || khz == 0 || khz > 1000000)
        return "usage: monitor speed KHZ (the SWD clock in kHz)\n";
    uint32_t now_khz = 0;
    int rc = probe_clock(s.link(), static_cast<uint32_t>(khz), &now_khz);
    if (rc == TARGET_LOST)
        return failed("speed");
    if (rc != TARGET_OK)
        return "error: the probe refused that clock\n";
    return "SWD clock " + std::to_string(now_khz) + " kHz\n";
}

static const char HELP[] = "monitor reset        reset the target and let it run\n"
                           "monitor reset halt   reset the target and halt at the reset vector\n"
                           "monitor halt         halt the core\n"
                           "monitor speed KHZ    set the SWD clock (the probe picks the nearest it has)\n"
                           "monitor semihosting enable|disable\n"
                           "                     serve the firmware's BKPT 0xAB calls while GDB continues\n"
                           "                     (enabled), or stop at them like at any breakpoint\n"
                           "monitor semihosting args WORDS...\n"
                           "                     the firmware's command line (SYS_GET_CMDLINE)\n"
                           "monitor rtt start [ADDR | scan BASE LEN]\n"
                           "                     capture RTT (the block at ADDR, or found in the range; the\n"
                           "                     RAM without either): channel 0 shows while the core runs\n"
                           "monitor rtt stop     this session no longer wants capture (others' goes on)\n"
                           "monitor rtt status   the capture's state, block and channels\n"
                           "monitor help         this text\n";

std::string monitor_command(gdb_session &s, const std::string &command)
{
    std::vector<std::string> words = tarvex::reply_fields(command);
    std::string verb = words.empty() ? "" : words[0];
    if (verb == "reset" && words.size() == 1)
        return mon_reset(s, false);
    if (verb == "reset" && words.size() == 2 && words[1] == "halt")
        return mon_reset(s, true);
    if (verb == "halt" && words.size() == 1)
        return mon_halt(s);
    if (verb == "speed")
        return mon_speed(s, words.size() == 2 ? words[1] : "");
    if (verb == "semihosting")
        return semihost_monitor(s.semihost(), words);
    if (verb == "rtt")
        return rtt_monitor(s, s.rtt(), words);
    if (verb == "help" && words.size() == 1)
        return HELP;
    // Answered as output, as GDB shows it: an error reply would show as
    // "Protocol error with Rcmd" instead of the text.
    return "unknown monitor command \"" + command + "\"\n" + HELP;
}

} // namespace tarvex_gdb
