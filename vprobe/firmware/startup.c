// Start-up of the sample firmware: the vector table and the reset handler,
// which sets up the C run-time image (.data copied from flash, .bss zeroed)
// and calls main. The handlers are weak: firmware that takes exceptions
// defines its own under these names.
#include <stdint.h>

extern uint32_t _stack_top, _data_start, _data_end, _data_load, _bss_start, _bss_end;

int main(void);
void reset_handler(void);
void default_handler(void);

#define WEAK_HANDLER(name) void name(void) __attribute__((weak, alias("default_handler")))
WEAK_HANDLER(NMI_Handler);
WEAK_HANDLER(HardFault_Handler);
WEAK_HANDLER(MemManage_Handler);
WEAK_HANDLER(BusFault_Handler);
WEAK_HANDLER(UsageFault_Handler);
WEAK_HANDLER(SVC_Handler);
WEAK_HANDLER(PendSV_Handler);
WEAK_HANDLER(SysTick_Handler);

// What no handler of the firmware's own takes halts for the debugger (the
// sample runs with interrupts masked and only waits for the SysTick to
// become pending).
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
// Firmware that takes interrupts moves VTOR to a table of its own.
__attribute__((section(".vectors"), used)) void (*const vector_table[16])(void) = {
    [0] = (void (*)(void)) & _stack_top,
    [1] = reset_handler,
    [2 ... 15] = default_handler,
    [2] = NMI_Handler,
    [3] = HardFault_Handler,
    [4] = MemManage_Handler,
    [5] = BusFault_Handler,
    [6] = UsageFault_Handler,
    [11] = SVC_Handler,
    [14] = PendSV_Handler,
    [15] = SysTick_Handler,
};
