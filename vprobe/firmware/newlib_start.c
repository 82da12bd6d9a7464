// The vector table of the newlib test firmware and a reset handler that
// copies .data from flash, then enters newlib's own start-up (_start in
// rdimon-crt0), which takes the stack and heap from the host, zeroes .bss,
// reads the command line and calls main.
#include <stdint.h>

extern uint32_t __stack, _data_start, _data_end, _data_load;

void _start(void);
void reset_handler(void);
void default_handler(void);

void reset_handler(void)
{
    const uint32_t *from = &_data_load;
    for (uint32_t *to = &_data_start; to < &_data_end;)
        *to++ = *from++;
    _start();
}

void default_handler(void)
{
    for (;;)
        __asm volatile("bkpt #1");
}

__attribute__((section(".vectors"), used)) void (*const vector_table[16])(void) = {
    [0] = (void (*)(void))&__stack,
    [1] = reset_handler,
    [2 ... 15] = default_handler,
};
