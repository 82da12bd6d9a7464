@ Instruction sequences that drive the flash controller, for the core's
@ tests (entered by setting the PC, arguments in R0-R1, a BKPT at the end)
@ and, from reset, for the end-to-end test: it programs FLASH_CHECK_WORD
@ at FLASH_CHECK_ADDR and then counts in R0, as the sample firmware counts.
#include "flash_regs.h"

#define FLASH_CHECK_ADDR 0x0003FFF0
#define FLASH_CHECK_WORD 0x600DF1A5

    .include "case_vectors.inc"
reset_handler:
    ldr r0, =FLC_KEY_FIRST
    ldr r1, =FLC_KEY_SECOND
    bl unlock
    ldr r0, =FLASH_CHECK_ADDR
    ldr r1, =FLASH_CHECK_WORD
    bl program
    movs r0, #0
1:  adds r0, #1
    b 1b

@ R0, R1 to the key register; R2 = FLC_STAT.
    .thumb_func
case_unlock:
    bl unlock
    bkpt #0

@ Programs R1 at R0; R2 = FLC_STAT, R5 = polls while busy.
    .thumb_func
case_program:
    bl program
    bkpt #0

@ Command R1 with FLC_ADDR = R0; R2 = FLC_STAT, R5 = polls while busy.
    .thumb_func
case_erase:
    ldr r3, =FLC_BASE
    str r0, [r3, #FLC_ADDR]
    str r1, [r3, #FLC_CMD]
    bl poll
    bkpt #0

@ A plain store to flash (R1 at R0): the bus refuses it.
    .thumb_func
case_store:
    str r1, [r0]
    bkpt #0

@ Reads the identity: R0 = FLC_DEVID, R1 = FLC_SIZE.
    .thumb_func
case_identity:
    ldr r3, =FLC_BASE
    ldr r0, [r3, #FLC_DEVID]
    ldr r1, [r3, #FLC_SIZE]
    bkpt #0

    .thumb_func
unlock:
    ldr r3, =FLC_BASE
    str r0, [r3, #FLC_KEY]
    str r1, [r3, #FLC_KEY]
    ldr r2, [r3, #FLC_STAT]
    bx lr

    .thumb_func
program:
    ldr r3, =FLC_BASE
    movs r2, #FLC_CTRL_PGEN
    str r2, [r3, #FLC_CTRL]
    str r0, [r3, #FLC_ADDR]
    str r1, [r3, #FLC_DATA]
    @ falls through to poll

@ Waits while busy: R5 counts the polls, R2 = the last FLC_STAT.
    .thumb_func
poll:
    movs r5, #0
1:  ldr r2, [r3, #FLC_STAT]
    adds r5, #1
    tst r2, #FLC_STAT_BUSY
    bne 1b
    bx lr

    .ltorg
