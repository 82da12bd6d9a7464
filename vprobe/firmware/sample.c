// Sample firmware of the virtual probe's target: counts turns of a loop paced
// by the SysTick, calls sample_tick on every turn (a place for a breakpoint),
// keeps a constant table, and prints a line through ITM stimulus port 0
// and RTT up channel 0 every sample_turns_per_line turns. RTT skips a line
// that does not fit, so the sample runs on whether or not a host reads.
#include <stdint.h>

#include "rtt.h"
#include "text.h"

#define REG(addr) (*(volatile uint32_t *)(addr))

// The virtual core's nominal clock; the SysTick counts it.
#define CORE_HZ 16000000u
#define TURN_HZ 100u

#define ITM_STIM0 REG(0xE0000000u)
#define ITM_TER REG(0xE0000E00u)
#define ITM_TCR REG(0xE0000E80u)
#define ITM_LAR REG(0xE0000FB0u)
#define SYST_CSR REG(0xE000E010u)
#define SYST_RVR REG(0xE000E014u)
#define SYST_CVR REG(0xE000E018u)
#define ICSR REG(0xE000ED04u)
#define DEMCR REG(0xE000EDFCu)

#define ITM_UNLOCK 0xC5ACCE55u
#define ITM_TCR_ITMENA (1u << 0)
#define DEMCR_TRCENA (1u << 24)
#define SYST_ENABLE_TICKINT_CORE 7u // ENABLE, TICKINT, CLKSOURCE = processor clock
#define ICSR_PENDSTCLR (1u << 25)

volatile uint32_t sample_counter;
uint32_t sample_turns_per_line = 50; // in .data: copied from flash at reset
volatile uint32_t sample_sum;

const uint32_t sample_table[8] = {
    0x00000001u, 0x00000010u, 0x00000100u, 0x00001000u, 0x00010000u, 0x00100000u, 0x01000000u, 0x10000000u,
};
const char sample_banner[] = "tarvex sample: turn ";

// Kept out of line so that every turn passes its first instruction.
__attribute__((noinline)) void sample_tick(uint32_t turn)
{
    sample_sum += sample_table[turn & 7u];
}

#ifdef SAMPLE_HARD_FLOAT
// The hard-float build's float work, out of line: its argument and its
// result travel in s0.
#define CPACR (*(volatile uint32_t *)0xE000ED88u)
#define CPACR_CP10_CP11_FULL (0xFu << 20)
volatile float sample_level;

__attribute__((noinline)) float sample_scale(float x)
{
    return x * 1.25f + 0.5f;
}

// A double travels in a D register: x and the result in d0. The
// single-precision FPU this is built for leaves the arithmetic to libgcc,
// as it would on an M4F. Nothing of it outlives the call: a double main
// kept in d8 would have its prologue push d8 before CPACR grants the FPU.
volatile double sample_half_value;

__attribute__((noinline)) double sample_half(double x)
{
    return x / 2 + 0.25;
}
#endif

static void itm_put(char c)
{
    // Skipped while ITM or the port is off: a debugger may turn them off.
    if ((ITM_TCR & ITM_TCR_ITMENA) && (ITM_TER & 1u)) {
        while ((ITM_STIM0 & 1u) == 0) {
        }
        *(volatile uint8_t *)&ITM_STIM0 = (uint8_t)c;
    }
}

static void print_line(uint32_t turn)
{
    char line[sizeof sample_banner + 11];
    uint32_t len = numbered_line(line, sample_banner, turn);
    for (uint32_t i = 0; i < len; i++)
        itm_put(line[i]);
    rtt_write(0, line, len);
}

static void itm_enable(void)
{
    DEMCR |= DEMCR_TRCENA;
    ITM_LAR = ITM_UNLOCK;
    ITM_TCR |= ITM_TCR_ITMENA;
    ITM_TER |= 1u;
}

// Interrupts stay masked: a pending SysTick still ends WFI, and clearing it
// by hand is all the waiting needs.
static void wait_turn(void)
{
    __asm volatile("wfi");
    ICSR = ICSR_PENDSTCLR;
}

int main(void)
{
    __asm volatile("cpsid i");
#ifdef SAMPLE_HARD_FLOAT
    // Before the first FP instruction, which would fault with CP10 denied.
    CPACR |= CPACR_CP10_CP11_FULL;
    __asm volatile("dsb\n isb");
#endif
    itm_enable();
    static const char *const terminal[] = {"Terminal"};
    rtt_init(terminal, terminal);
    SYST_RVR = CORE_HZ / TURN_HZ - 1u;
    SYST_CVR = 0;
    SYST_CSR = SYST_ENABLE_TICKINT_CORE;
    for (;;) {
        wait_turn();
        uint32_t turn = ++sample_counter;
        sample_tick(turn);
#ifdef SAMPLE_HARD_FLOAT
        sample_level = sample_scale((float)(turn & 7u));
        sample_half_value = sample_half((double)turn);
#endif
        if (turn % sample_turns_per_line == 0)
            print_line(turn);
    }
}
