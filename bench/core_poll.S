@ The flash algorithm's pattern for the emulated core's speed: erase a
@ sector, then poll the controller's busy flag until it clears; for ever.
#include "flash_regs.h"

    .syntax unified
    .thumb

    .section .vectors, "a"
    .word _stack_top
    .word reset_handler + 1

    .text
    .global reset_handler
    .thumb_func
reset_handler:
    ldr r3, =FLC_BASE
    ldr r0, =FLC_KEY_FIRST
    str r0, [r3, #FLC_KEY]
    ldr r0, =FLC_KEY_SECOND
    str r0, [r3, #FLC_KEY]
    ldr r0, =0x20000
    ldr r1, =FLC_CMD_ERASE_SECTOR
erase:
    str r0, [r3, #FLC_ADDR]
    str r1, [r3, #FLC_CMD]
poll:
    ldr r2, [r3, #FLC_STAT]
    tst r2, #FLC_STAT_BUSY
    bne poll
    b erase

    .ltorg
