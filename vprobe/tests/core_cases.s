@ Small instruction sequences for the emulated core's tests. Each case is
@ entered by setting the PC from the debugger; the tests find every label
@ in the ELF. Linked with the sample firmware's script (same memory map).
    .include "case_vectors.inc"
reset_handler:
    movs r0, #0
count_loop:
    adds r0, #1
    b count_loop

@ A BKPT after a store the test can see.
    .thumb_func
case_bkpt:
    movs r1, #0x11
bkpt_at:
    bkpt #0x42
    movs r1, #0x22
    b .

@ Two semihosting calls back to back: each must halt on its own BKPT 0xAB,
@ so a debugger that resumes past the first meets the second.
    .thumb_func
case_semihost:
    movs r0, #0x18
semihost_first:
    bkpt #0xAB
semihost_second:
    bkpt #0xAB
    movs r1, #0x55
    b .

@ Straight code with a comparator on fpb_target: r2 stays 0 when the core
@ stops before it.
    .thumb_func
case_fpb:
    movs r2, #0
    movs r3, #3
fpb_target:
    movs r2, #0x33
    b .

@ Position-independent: copied to RAM by the test, run there.
    .thumb_func
ram_code:
    movs r4, #1
ram_target:
    movs r4, #0x44
    b .
ram_code_end:

@ A store the DWT watches.
    .thumb_func
case_store:
    ldr r1, =watched
    movs r2, #0x5A
store_at:
    str r2, [r1]
after_store:
    movs r3, #1
    b .

@ One byte to ITM stimulus port 0, then a BKPT.
    .thumb_func
case_itm:
    ldr r1, =0xE0000000
    movs r2, #0x41
    strb r2, [r1]
    bkpt #0
    b .

@ A load from outside the memory map.
    .thumb_func
case_bus_fault:
    ldr r1, =0x60000000
load_at:
    ldr r2, [r1]
    b .

@ A permanently undefined instruction.
    .thumb_func
case_undefined:
    nop
undefined_at:
    udf #0
    b .

@ The firmware asks for a system reset.
    .thumb_func
case_sysreset:
    ldr r1, =0xE000ED0C
    ldr r2, =0x05FA0004
    str r2, [r1]
    movs r5, #0x55
    b .

    .thumb_func
case_wfi:
    wfi
    b case_wfi

    .ltorg

    .bss
    .align 2
watched:
    .space 4
