// Armv7-M debug and system registers the tests drive, as the architecture
// places them: the same for every target a debugger reaches.
#pragma once

#include <cstdint>

namespace tarvex_test
{

constexpr uint32_t REG_DHCSR = 0xE000EDF0;
constexpr uint32_t REG_DEMCR = 0xE000EDFC;
constexpr uint32_t REG_AIRCR = 0xE000ED0C;
constexpr uint32_t REG_CFSR = 0xE000ED28;
constexpr uint32_t REG_HFSR = 0xE000ED2C;
constexpr uint32_t REG_DFSR = 0xE000ED30;
constexpr uint32_t REG_BFAR = 0xE000ED38;
constexpr uint32_t REG_FP_CTRL = 0xE0002000;
constexpr uint32_t REG_FP_COMP0 = 0xE0002008;
constexpr uint32_t REG_DWT_COMP0 = 0xE0001020; // then MASK0 at +4, FUNCTION0 at +8
constexpr uint32_t REG_ITM_TER = 0xE0000E00;
constexpr uint32_t REG_ITM_TCR = 0xE0000E80;

// DHCSR writes (key, C_DEBUGEN, and C_HALT or C_STEP) and status bits.
constexpr uint32_t DHCSR_HALT = 0xA05F0003;
constexpr uint32_t DHCSR_RUN = 0xA05F0001;
constexpr uint32_t DHCSR_STEP = 0xA05F0005;
constexpr uint32_t DHCSR_DEBUG_OFF = 0xA05F0000;
constexpr uint32_t S_HALT = 1u << 17;
constexpr uint32_t S_SLEEP = 1u << 18;
constexpr uint32_t S_LOCKUP = 1u << 19;

constexpr uint32_t DEMCR_VC_CORERESET = 1u << 0;
constexpr uint32_t DEMCR_VC_HARDERR = 1u << 10;
constexpr uint32_t DEMCR_TRCENA = 1u << 24;
constexpr uint32_t AIRCR_SYSRESETREQ = 0x05FA0004; // with the key
constexpr uint32_t FP_CTRL_KEY_ENABLE = 3;
constexpr uint32_t DWT_WATCH_WRITE = 6;
constexpr uint32_t DFSR_ALL = 0x1F; // write-one-to-clear

// Core register selectors.
constexpr int REG_SP = 13;
constexpr int REG_PC = 15;

} // namespace tarvex_test
