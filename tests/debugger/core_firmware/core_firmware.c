/* The firmware of the target layer's cases on each core model: Armv6-M
   code, which every core runs. It grants the FPU where the core has one
   (CPUID's architecture field 0xF: Armv7-M or Armv8-M Mainline), then
   calls tick() for ever, which counts in ticks. */
#include <stdint.h>

#define CPUID (*(volatile uint32_t *)0xE000ED00)
#define CPACR (*(volatile uint32_t *)0xE000ED88)
#define CPACR_CP10_CP11_FULL (0xFu << 20)

volatile uint32_t ticks;

__attribute__((noinline)) void tick(void)
{
    ticks++;
}

int main(void)
{
    if (((CPUID >> 16) & 0xF) == 0xF)
        CPACR |= CPACR_CP10_CP11_FULL;
    for (;;)
        tick();
}
