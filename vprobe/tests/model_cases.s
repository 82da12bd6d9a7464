@ Cases for the core models, Thumb-1 only so that the same image runs on
@ every core (the floating-point cases excepted: they are for the cores
@ with an FPU, and m0 never runs them). Entered by setting the PC.
    .include "case_vectors.inc"
reset_handler:
    b .

@ A word load from an odd address: Armv6-M faults before it loads.
    .thumb_func
case_unaligned:
    ldr r1, =aligned_word + 1
    movs r2, #0x77
unaligned_at:
    ldr r2, [r1]
    b .

@ Straight code for a breakpoint comparator.
    .thumb_func
case_break:
    movs r2, #0
    movs r3, #3
break_target:
    movs r2, #0x33
    b .

@ Stores to a word, a halfword past it and a word well past it: a
@ watchpoint on one address or on a range of them halts after its store.
    .thumb_func
case_stores:
    ldr r1, =watched
    movs r2, #0x5A
store_first:
    str r2, [r1, #0]
after_first:
    strh r2, [r1, #6]
after_second:
    str r2, [r1, #16]
after_third:
    movs r3, #1
    b .

    .ltorg

@ Armv7E-M with the double-precision FPU from here on.
    .arch armv7e-m
    .fpu fpv5-d16

@ The floating-point registers as the debugger left them: S1 moves to r6,
@ S1 + S1 goes to S3 and to r7.
    .thumb_func
case_fp_single:
    ldr r0, =0xE000ED88
    ldr r1, =0x00F00000
    str r1, [r0]
    dsb
    isb
fp_single_first:
    vmov r6, s1
    vadd.f32 s3, s1, s1
    vmov r7, s3
fp_single_done:
    bkpt #0x01
    b .

@ The doubleword registers: D2 to r0 (low word) and r1, then D3 from r1
@ (low word) and r0.
    .thumb_func
case_fp_double:
    ldr r0, =0xE000ED88
    ldr r1, =0x00F00000
    str r1, [r0]
    dsb
    isb
    vmov r0, r1, d2
    vmov d3, r1, r0
fp_double_done:
    bkpt #0x02
    b .

@ 64-bit transfers of D registers, which a single-precision FPU has too
@ (a hard-float build saves d8-d15 with VPUSH): D1 to and from the word
@ pair at r0, D8 through the stack.
    .thumb_func
case_fp_transfers:
    ldr r1, =0xE000ED88
    ldr r2, =0x00F00000
    str r2, [r1]
    dsb
    isb
    vldr d1, [r0]
    vpush {d8}
    vmov d8, r2, r3
    vpop {d8}
    vstr d1, [r0, #8]
fp_transfers_done:
    bkpt #0x04
    b .

@ Double precision on the M7 (FPv5-D16), d0 from the debugger: d1 = 1 +
@ d0 * d0 (fused), d2 its square root, compared with d0 into the flags;
@ then an IT block whose first instruction runs and second does not, and
@ the integer part of the sum into s8.
    .thumb_func
case_fp_dp:
    ldr r1, =0xE000ED88
    ldr r2, =0x00F00000
    str r2, [r1]
    dsb
    isb
    vmov.f64 d1, #1.0
    vfma.f64 d1, d0, d0
    vsqrt.f64 d2, d1
    vcmp.f64 d2, d0
    vmrs APSR_nzcv, fpscr
    ite gt
    vaddgt.f64 d3, d2, d1
    vsuble.f64 d3, d2, d1
    vcvt.s32.f64 s8, d3
fp_dp_done:
    bkpt #0x05
    b .

@ Armv8-M's stack limits (the M33 alone runs this): r0 and r1 into MSPLIM
@ and PSPLIM, read back into r2 and r3; then, unprivileged, a write of
@ MSPLIM that must not land and a read of PSPLIM into r5.
    .arch armv8-m.main
    .thumb_func
case_stack_limits:
    msr msplim, r0
    msr psplim, r1
    mrs r2, msplim
    mrs r3, psplim
    movs r4, #1
    msr control, r4
    isb
    msr msplim, r1
    mrs r5, psplim
stack_limits_done:
    bkpt #0x03
    b .

    .ltorg

    .section .rodata
    .align 2
aligned_word:
    .word 0x11223344
    .word 0x55667788

    .bss
    .align 2
watched:
    .space 32
