@ Exception entry and return on the emulated core: a vector table whose
@ handlers log (IPSR, SP at entry) pairs in RAM or halt on a BKPT for the
@ test to look at the frame. Cases are entered by setting the PC from the
@ debugger; the tests find every label in the ELF.
    .syntax unified
    .thumb
    .fpu fpv4-sp-d16

    .section .vectors, "a"
    .word _stack_top
    .word reset_handler + 1
    .word log_handler + 1        @ NMI
    .word fault_handler + 1      @ HardFault
    .word fault_handler + 1      @ MemManage
    .word fault_handler + 1      @ BusFault
    .word fault_handler + 1      @ UsageFault
    .word 0, 0, 0, 0
    .word svc_handler + 1
    .word 0, 0
    .word log_handler + 1        @ PendSV
    .word systick_handler + 1
    .word irq0_handler + 1       @ IRQ 0
    .word log_handler + 1        @ IRQ 1
    .word log_handler + 1        @ IRQ 2
    .word log_handler + 1        @ IRQ 3

@ CP10 and CP11 full access, as start-up code gives it before any
@ floating-point instruction; clobbers r0 and r1.
    .macro fp_enable
    ldr r0, =0xE000ED88
    ldr r1, [r0]
    orr r1, r1, #0xF00000
    str r1, [r0]
    dsb
    isb
    .endm

    .text
    .global reset_handler
    .thumb_func
reset_handler:
    movs r0, #0
count_loop:
    adds r0, #1
    b count_loop

@ Halts on its first instruction: the test reads the frame and the status.
    .thumb_func
fault_handler:
    bkpt #0xF0
    b .

@ Clobbers what the frame keeps (S0 too), then returns with a branch to LR.
    .thumb_func
svc_handler:
    bkpt #0x5C
    movs r0, #0
    movs r1, #0
    movs r2, #0
    movs r3, #0
    mov r12, r0
    vmov s0, r0
svc_handler_return:
    bx lr

@ Counts, then logs as the others do.
    .thumb_func
systick_handler:
    ldr r0, =tick_count
    ldr r1, [r0]
    adds r1, #1
    str r1, [r0]
    b log_handler

@ Logs its entry and returns with a pop of the EXC_RETURN value.
    .thumb_func
log_handler:
    mov r12, sp
    mrs r0, ipsr
    push {r4, lr}
    bl log_word
    pop {r4, pc}

@ Logs its entry, pends IRQ 1, logs its end (IPSR | 0x100).
    .thumb_func
irq0_handler:
    mov r12, sp
    mrs r0, ipsr
    push {r4, lr}
    bl log_word
    ldr r1, =0xE000E200
    movs r2, #2
    str r2, [r1]
    dsb
    isb
    mrs r0, ipsr
    orr r0, r0, #0x100
    mov r12, sp
    bl log_word
    pop {r4, pc}

@ Appends (r0, r12) to the log, 16 entries at most; clobbers r1-r3.
    .thumb_func
log_word:
    ldr r1, =log_count
    ldr r2, [r1]
    cmp r2, #16
    bhs 1f
    adds r3, r1, #4
    add r3, r3, r2, lsl #3
    str r0, [r3]
    str r12, [r3, #4]
    adds r2, #1
    str r2, [r1]
1:  bx lr

@ Writes r5 to ICSR with interrupts masked, then unmasks them.
    .thumb_func
case_pend:
    cpsid i
    ldr r1, =0xE000ED04
    str r5, [r1]
pend_unmask:
    cpsie i
    nop
pend_done:
    bkpt #0x01
    b .

@ Pends IRQ 0 through NVIC_ISPR.
    .thumb_func
case_irq:
    ldr r1, =0xE000E200
    movs r2, #1
    str r2, [r1]
    dsb
    isb
irq_done:
    bkpt #0x02
    b .

@ IRQ 0 pended under BASEPRI 0x40, then BASEPRI cleared.
    .thumb_func
case_basepri:
    movs r0, #0x40
    msr basepri, r0
    ldr r1, =0xE000E200
    movs r2, #1
    str r2, [r1]
    dsb
    isb
basepri_held:
    bkpt #0x03
    movs r0, #0
    msr basepri, r0
    nop
basepri_done:
    bkpt #0x04
    b .

@ IRQ 0 pended under PRIMASK (r5 0) or BASEPRI r5, then WFI.
    .thumb_func
case_wfi_masked:
    cbnz r5, 1f
    cpsid i
    b 2f
1:  msr basepri, r5
2:  ldr r1, =0xE000E200
    movs r2, #1
    str r2, [r1]
    dsb
    isb
wfi_masked_pending:
    bkpt #0x05
    wfi
wfi_woken:
    bkpt #0x06
    b .

@ Known values in what the frame keeps, then SVC (whose handler does
@ floating-point work).
    .thumb_func
case_svc:
    fp_enable
    movs r0, #0xA0
    movs r1, #0xA1
    movs r2, #0xA2
    movs r3, #0xA3
    ldr r4, =0xAC
    mov r12, r4
svc_at:
    svc #7
after_svc:
    bkpt #0x05
    b .

@ Floating-point work in thread code (CONTROL.FPCA set), then SVC.
    .thumb_func
case_fp_svc:
    fp_enable
    ldr r0, =0x3F800000
    vmov s0, r0
    ldr r0, =0x40000000
    vmov s15, r0
    movs r0, #0xA0
    svc #8
after_fp_svc:
    vmov r6, s0
    vmov r7, s15
fp_svc_done:
    bkpt #0x08
    b .

@ Floating-point state in thread code: S0-S15 from lazy_values, FPSCR
@ from r5; then PendSV (a handler without floating-point work) or an SVC
@ (svc_handler, which has some).
    .thumb_func
case_lazy_pendsv:
    bl lazy_state
    ldr r1, =0xE000ED04
    ldr r2, =0x10000000
    str r2, [r1]
    dsb
    isb
    vmov.f32 s4, s4
lazy_pendsv_done:
    bkpt #0x0A
    b .

    .thumb_func
case_lazy_svc:
    bl lazy_state
    svc #10
after_lazy_svc:
    vmov.f32 s4, s4 @ the state, not a fresh one: FPSCR stays
lazy_svc_done:
    bkpt #0x0B
    b .

    .thumb_func
lazy_state:
    fp_enable
    ldr r0, =lazy_values
    vldmia r0, {s0-s15}
    vmsr fpscr, r5
    bx lr

@ For FPCCR.ASPEN clear: floating-point work (FPSCR from r5, S3 from
@ it), CONTROL read into r6, an SVC; then FPCA set by hand, CONTROL read
@ into r7, an SVC again.
    .thumb_func
case_aspen_off:
    fp_enable
    vmsr fpscr, r5
    vmov s2, r5
    vmov.f32 s3, s2
    mrs r6, control
    svc #11
    mrs r0, control
    orr r0, r0, #4
    msr control, r0
    isb
    mrs r7, control
    svc #12
aspen_done:
    bkpt #0x0C
    b .

@ Floating-point instructions a denied CPACR stops, each leaving its own
@ trace if it ran: S0 and FPCA, r2, memory at r1, the stack, FPSCR, and a
@ CP11 one (nocp_lead: an instruction before the first).
    .thumb_func
nocp_lead:
    nop
    .thumb_func
nocp_to_s:
    vmov s0, r0
    b nocp_done
    .thumb_func
nocp_to_core:
    vmov r2, s0
    b nocp_done
    .thumb_func
nocp_store:
    vstr s0, [r1]
    b nocp_done
    .thumb_func
nocp_push:
    vpush {s0}
    b nocp_done
    .thumb_func
nocp_fpscr:
    vmsr fpscr, r0
    b nocp_done
    .thumb_func
nocp_double:
    vpush {d1}
nocp_done:
    bkpt #0x09
    b .

    .thumb_func
case_svc_masked:
    cpsid i
    svc #1
    b .

    .thumb_func
case_udf:
udf_at:
    udf #0x12
    b .

    .thumb_func
case_faultmask_udf:
    cpsid f
faultmask_udf_at:
    udf #0x13
    b .

@ r5 / r3, with r3 = 0.
    .thumb_func
case_div:
    movs r3, #0
    movs r5, #9
div_at:
    udiv r4, r5, r3
div_done:
    bkpt #0x06
    b .

@ A branch to an address with bit 0 clear.
    .thumb_func
case_even:
    ldr r1, =even_target
    bic r1, r1, #1
    bx r1
    .thumb_func
even_target:
    nop
    b .

    .thumb_func
case_unaligned:
    ldr r1, =0x20000101
unaligned_at:
    ldr r2, [r1]
unaligned_done:
    bkpt #0x07
    b .

@ An unaligned store, and a load that would write its base back: with
@ UNALIGN_TRP neither leaves a trace.
    .thumb_func
case_unaligned_store:
    ldr r1, =0x20000201
    ldr r2, =0xDEADBEEF
unaligned_store_at:
    str r2, [r1]
    bkpt #0x07
    b .

    .thumb_func
case_unaligned_writeback:
    ldr r1, =0x20000301
    movs r2, #0x66
unaligned_writeback_at:
    ldr r2, [r1], #4
    bkpt #0x07
    b .

    .ltorg

    .align 2
lazy_values:
    .word 0x3F800000, 0x40000000, 0x40400000, 0x40800000
    .word 0x40A00000, 0x40C00000, 0x40E00000, 0x41000000
    .word 0x41100000, 0x41200000, 0x41300000, 0x41400000
    .word 0x41500000, 0x41600000, 0x41700000, 0x41800000

    .bss
    .align 3
    .global tick_count, log_count, log_entries
tick_count:
    .space 4
log_count:
    .space 4
log_entries:
    .space 8 * 16
