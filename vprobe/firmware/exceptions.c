// Exception test firmware for the virtual target, written as real projects
// write theirs: the SysTick at 1 kHz with TICKINT, an SVC, PendSV, external
// interrupts pended through NVIC_ISPR at nested priorities, BASEPRI
// masking, and a bus fault that escalates to HardFault, whose handler
// steps over the faulting load. What each handler saw lands in memory for
// the tests; exc_done turns 1 when every step has run, then the firmware
// does floating-point work and sleeps between ticks for ever, and each
// tick's handler does floating-point work of its own on top of it (the
// interrupted registers are stacked lazily, at the handler's first
// floating-point instruction, and must come back unchanged).
//
// Built for each kind of core: with EXC_NO_FP for one without an FPU (no
// floating-point work anywhere), and for Armv6-M (-mcpu=cortex-m0), which
// has no BASEPRI (that step is left out, and IRQ 3 with it), no NVIC_IABR
// and no fault status registers, takes the bus fault as a HardFault, and
// reaches the priority registers by whole words only.
#include <stdint.h>

#define REG(addr) (*(volatile uint32_t *)(addr))

#define CORE_HZ 16000000u
#define TICK_HZ 1000u

#define SYST_CSR REG(0xE000E010u)
#define SYST_RVR REG(0xE000E014u)
#define SYST_CVR REG(0xE000E018u)
#define NVIC_ISER REG(0xE000E100u)
#define NVIC_ISPR REG(0xE000E200u)
#define NVIC_IABR REG(0xE000E300u)
#define NVIC_IPR_BASE 0xE000E400u // IRQ n's priority byte at + n
#define ICSR REG(0xE000ED04u)
#define VTOR REG(0xE000ED08u)
#define SHPR_BASE 0xE000ED14u // system exception n's priority byte at + n
#define CFSR REG(0xE000ED28u)
#define HFSR REG(0xE000ED2Cu)
#define CPACR REG(0xE000ED88u)
#define FPCCR REG(0xE000EF34u)

#define FPCCR_LSPACT 1u
#define FLOAT_ONE 0x3F800000u
#define FLOAT_TWO 0x40000000u
#define FLOAT_THREE 0x40400000u

#define ICSR_PENDSVSET (1u << 28)
#define SYST_ENABLE_TICKINT_CORE 7u

#if defined(__ARM_ARCH_6M__)
#define EXC_V6M 1
#define EXC_NO_FP 1
#endif

// Entries in the order the handlers ran: exception number, and the main
// stack pointer the handler found (a tail-chained one finds its
// predecessor's: no frame between them).
#define ORDER_SLOTS 16
volatile uint32_t exc_order[ORDER_SLOTS];
volatile uint32_t exc_order_sp[ORDER_SLOTS];
volatile uint32_t exc_order_n;

volatile uint32_t exc_ticks;
volatile uint32_t exc_svc;
volatile uint32_t exc_svc_number; // the immediate of the SVC, read through the stacked PC
volatile uint32_t exc_pendsv;
volatile uint32_t exc_irq[4];
volatile uint32_t exc_nested;       // IRQ 1 found IRQ 0 active: it preempted it
volatile uint32_t exc_basepri_held; // IRQ 3 stayed pending under BASEPRI
volatile uint32_t exc_hardfault;
volatile uint32_t exc_fault_pc; // the stacked PC HardFault found
volatile uint32_t exc_hfsr, exc_cfsr;
volatile uint32_t exc_done;
// Floating-point work on both sides of the SysTick: the thread's checks of
// its S0 and S1 after each wake-up and those that found them changed; the
// handler's entries whose state waited in the registers (LSPACT), those
// where its first floating-point instruction then left LSPACT set (the
// state not stored), and its result (3.0f squared).
volatile uint32_t exc_fp_checks, exc_fp_corrupt;
volatile uint32_t exc_fp_deferred, exc_fp_unstored, exc_fp_product;
static volatile uint32_t irq0_running; // Armv6-M's stand-in for NVIC_IABR bit 0

static uint32_t current_sp(void)
{
    uint32_t sp;
    __asm volatile("mrs %0, msp" : "=r"(sp));
    return sp;
}

static uint32_t current_ipsr(void)
{
    uint32_t ipsr;
    __asm volatile("mrs %0, ipsr" : "=r"(ipsr));
    return ipsr;
}

static void note_entry(void)
{
    uint32_t n = exc_order_n;
    if (n < ORDER_SLOTS) {
        exc_order[n] = current_ipsr();
        exc_order_sp[n] = current_sp();
        exc_order_n = n + 1;
    }
}

static void barrier(void)
{
    __asm volatile("dsb\n\tisb" ::: "memory");
}

#ifndef EXC_NO_FP
// Squares 3.0f in S0 and S1, the registers the interrupted thread code
// keeps its own values in.
static uint32_t fp_square_three(void)
{
    uint32_t product;
    __asm volatile(".fpu fpv4-sp-d16\n\t"
                   "vmov s0, %1\n\t"
                   "vmul.f32 s1, s0, s0\n\t"
                   "vmov %0, s1"
                   : "=r"(product)
                   : "r"(FLOAT_THREE)
                   : "memory");
    return product;
}

#endif

void SysTick_Handler(void)
{
    exc_ticks++;
#ifndef EXC_NO_FP
    if (!(FPCCR & FPCCR_LSPACT))
        return;
    exc_fp_deferred++;
    exc_fp_product = fp_square_three();
    if (FPCCR & FPCCR_LSPACT)
        exc_fp_unstored++;
#endif
}

// The frame as stacked: main stack pointer at entry.
__attribute__((naked)) void SVC_Handler(void)
{
    __asm volatile("mrs r0, msp\n\t"
                   "b svc_record\n\t");
}

// The SVC number is the low byte of the instruction before the stacked PC.
__attribute__((used)) void svc_record(const uint32_t *frame)
{
    note_entry();
    exc_svc_number = ((const uint8_t *)frame[6])[-2];
    exc_svc++;
}

// The same shape as IRQ 2's: a tail-chained one finds the same SP.
void PendSV_Handler(void)
{
    note_entry();
    exc_pendsv++;
}

// IRQ 0 pends the more urgent IRQ 1, which preempts it at once.
void IRQ0_Handler(void)
{
    note_entry();
    exc_irq[0]++;
    irq0_running = 1;
    NVIC_ISPR = 1u << 1;
    barrier();
    irq0_running = 0;
}

static int irq0_active(void)
{
#ifdef EXC_V6M
    return irq0_running;
#else
    return (NVIC_IABR & 1u) != 0;
#endif
}

void IRQ1_Handler(void)
{
    note_entry();
    exc_irq[1]++;
    if (irq0_active())
        exc_nested = 1;
}

void IRQ2_Handler(void)
{
    note_entry();
    exc_irq[2]++;
}

void IRQ3_Handler(void)
{
    note_entry();
    exc_irq[3]++;
}

// Records the fault, then returns past the 16-bit load that caused it.
__attribute__((naked)) void HardFault_Handler(void)
{
    __asm volatile("mrs r0, msp\n\t"
                   "b hardfault_record\n\t");
}

__attribute__((used)) void hardfault_record(uint32_t *frame)
{
    exc_hardfault++;
    exc_fault_pc = frame[6];
#ifndef EXC_V6M
    exc_hfsr = HFSR;
    exc_cfsr = CFSR;
    HFSR = exc_hfsr;
    CFSR = exc_cfsr;
#endif
    frame[6] += 2;
}

// Byte n of the priority registers at base, through its whole word. An
// Armv6-M core keeps the top two bits of each: PendSV 0xC0, IRQ 2 0x40.
static void priority_set(uint32_t base, uint32_t n, uint32_t value)
{
    volatile uint32_t *word = (volatile uint32_t *)(base + (n & ~3u));
    uint32_t shift = 8u * (n & 3u);
    *word = (*word & ~(0xFFu << shift)) | value << shift;
}

static void set_priorities(void)
{
    priority_set(SHPR_BASE, 11, 0x80); // SVCall
    priority_set(SHPR_BASE, 14, 0xE0); // PendSV, the least urgent
    priority_set(SHPR_BASE, 15, 0x40); // SysTick
    priority_set(NVIC_IPR_BASE, 0, 0x80);
    priority_set(NVIC_IPR_BASE, 1, 0x40);
    priority_set(NVIC_IPR_BASE, 2, 0x60);
    priority_set(NVIC_IPR_BASE, 3, 0xA0);
    NVIC_ISER = 0xFu;
}

// PendSV and IRQ 2 pended under PRIMASK: IRQ 2 first, PendSV tail-chained.
static void pend_two_masked(void)
{
    __asm volatile("cpsid i" ::: "memory");
    ICSR = ICSR_PENDSVSET;
    NVIC_ISPR = 1u << 2;
    barrier();
    __asm volatile("cpsie i" ::: "memory");
    barrier();
}

static void basepri_hold(void)
{
#ifndef EXC_V6M
    uint32_t level = 0x80;
    __asm volatile("msr basepri, %0" ::"r"(level) : "memory");
    NVIC_ISPR = 1u << 3; // 0xA0: held back
    barrier();
    exc_basepri_held = (NVIC_ISPR & (1u << 3)) && exc_irq[3] == 0;
    level = 0;
    __asm volatile("msr basepri, %0" ::"r"(level) : "memory");
    barrier();
#endif
}

static void fault_once(void)
{
    __asm volatile("ldr r1, =0x60000000\n\t"
                   ".global exc_fault_at\n"
                   "exc_fault_at:\n\t"
                   "ldr r0, [r1]\n\t" ::
                       : "r0", "r1", "memory");
}

// Floating-point work in thread code sets CONTROL.FPCA: the handlers that
// interrupt it from here on get the extended frame.
__attribute__((noinline)) void exc_fp_wait(void)
{
#ifdef EXC_NO_FP
    __asm volatile("wfi");
#else
    uint32_t s0, s1;
    __asm volatile(".fpu fpv4-sp-d16\n\t"
                   "vmov s0, %2\n\t"
                   "vadd.f32 s1, s0, s0\n\t"
                   "wfi\n\t"
                   "vmov %0, s0\n\t"
                   "vmov %1, s1"
                   : "=r"(s0), "=r"(s1)
                   : "r"(FLOAT_ONE)
                   : "memory");
    exc_fp_checks++;
    if (s0 != FLOAT_ONE || s1 != FLOAT_TWO)
        exc_fp_corrupt++;
#endif
}

extern uint32_t _stack_top;
void reset_handler(void);

// The start-up's table has the system exceptions only: this one, which
// VTOR selects, adds the interrupts (aligned as VTOR needs for 32 lines).
__attribute__((aligned(128))) void (*const exc_vectors[20])(void) = {
    [0] = (void (*)(void)) & _stack_top,
    [1] = reset_handler,
    [3] = HardFault_Handler,
    [11] = SVC_Handler,
    [14] = PendSV_Handler,
    [15] = SysTick_Handler,
    [16] = IRQ0_Handler,
    [17] = IRQ1_Handler,
    [18] = IRQ2_Handler,
    [19] = IRQ3_Handler,
};

int main(void)
{
#ifndef EXC_NO_FP
    CPACR |= 0xFu << 20; // CP10 and CP11 full access, before any FP instruction
    barrier();
#endif
    VTOR = (uint32_t)exc_vectors;
    set_priorities();
    SYST_RVR = CORE_HZ / TICK_HZ - 1u;
    SYST_CVR = 0;
    SYST_CSR = SYST_ENABLE_TICKINT_CORE;
    __asm volatile("svc #42" ::: "memory");
    ICSR = ICSR_PENDSVSET;
    barrier();
    NVIC_ISPR = 1u << 0;
    barrier();
    pend_two_masked();
    basepri_hold();
    fault_once();
    while (exc_ticks < 10)
        __asm volatile("wfi");
    exc_done = 1;
    for (;;)
        exc_fp_wait();
}
