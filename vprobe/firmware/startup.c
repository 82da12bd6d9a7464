// Start-up of the sample firmware: the vector table and the reset handler,
// which sets up the C run-time image (.data copied from flash, .bss zeroed)
// and calls main.
#include <stdint.h>

extern uint32_t _stack_top, _data_start, _data_end, _data_load, _bss_start, _bss_end;

int main(void);
void reset_handler(void);
void default_handler(void);

// Exceptions are not expected: the sample runs with interrupts masked and
// only waits for the SysTick to become pending.
void default_handler(void)
{
    for (;;)
        __asm volatile("bkpt #1");
}

void reset_handler(void)
{
    const uint32_t *from = &_data_load;
    for (uint32_t *to = &_data_start; to < &_data_end;)
        *to++ = *from++;
    for (uint32_t *p = &_bss_start; p < &_bss_end;)
        *p++ = 0;
    main();
    for (;;)
        __asm volatile("wfi");
}

// Armv7-M vector table: initial main stack pointer, then the reset handler
// and the 14 system exceptions (Thumb addresses, bit 0 set by the linker).
__attribute__((section(".vectors"), used)) void (*const vector_table[16])(void) = {
    [0] = (void (*)(void))&_stack_top,
    [1] = reset_handler,
    [2 ... 15] = default_handler,
};
