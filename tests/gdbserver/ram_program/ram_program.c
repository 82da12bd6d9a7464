// A program linked to RAM, for GDB's load: it sums 1 to 100 into
// ram_result, then stops at a BKPT.
#include <stdint.h>

volatile uint32_t ram_result;

void ram_start(void)
{
    uint32_t sum = 0;
    for (volatile uint32_t i = 1; i <= 100; i++)
        sum += i;
    ram_result = sum;
    __asm volatile("bkpt #0");
    for (;;) {
    }
}
