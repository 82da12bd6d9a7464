// Test firmware for running a target to a verdict: it reads its arguments
// through semihosting (SYS_GET_CMDLINE) and performs them in order, each a
// word of the command line after the program's name, then exits with
// success unless an argument chose another end:
//
//   args          prints "args: " and the command line after the name
//   alternate=N   N turns of "semihost I\n" through SYS_WRITE0, then
//                 "itm I\n" through ITM stimulus port 0 (I from 1)
//   forms         console output of every form: SYS_WRITEC "c", SYS_WRITE0
//                 "write0\n", SYS_WRITE "write\n" to ":tt" opened "w" and
//                 "stderr\n" to ":tt" opened "a" (the error stream)
//   echo          one SYS_READ of up to 63 bytes from ":tt" opened "r",
//                 printed as "read: " and the bytes
//   readc=N       N SYS_READC calls, printed as "readc: " and the bytes
//   write0=N      N SYS_WRITE0 calls of "." each
//   file=NAME     writes "tarvex file\n" to NAME, reads it back, prints
//                 "file: " and what it read, or "file: refused N" (SYS_ERRNO)
//   hostile       requests no debugger should honour (a string outside
//                 memory, a 2 GiB write, unknown operation 0x17), printing
//                 "hostile: " and each R0 as "-1" or a number
//   exit=ok       SYS_EXIT with ADP_Stopped_ApplicationExit
//   exit=fail     SYS_EXIT with ADP_Stopped_RunTimeErrorUnknown
//   exit=N        SYS_EXIT_EXTENDED with ApplicationExit and subcode N
//   psp           thread code goes on on the process stack (CONTROL.SPSEL),
//                 handlers on a main stack of their own
//   fp            enables the FPU (CPACR) and does FP work, which sets
//                 CONTROL.FPCA: exceptions from here on stack the extended frame
//                 (nothing in the Armv6-M build)
//   fault         a store to an unmapped address in semihost_fault_store
//   undefined     an undefined instruction in semihost_fault_undefined
//   hang          never exits: waits for an interrupt that never comes
//
// An argument it does not know prints "unknown argument: " and the word
// and exits with failure.
#include <stdint.h>

#define REG(addr) (*(volatile uint32_t *)(addr))

#define ITM_STIM0 REG(0xE0000000u)
#define ITM_TER REG(0xE0000E00u)
#define ITM_TCR REG(0xE0000E80u)
#define ITM_LAR REG(0xE0000FB0u)
#define DEMCR REG(0xE000EDFCu)
#define CPACR REG(0xE000ED88u)

#define ITM_UNLOCK 0xC5ACCE55u
#define ITM_TCR_ITMENA (1u << 0)
#define DEMCR_TRCENA (1u << 24)

#define SYS_OPEN 0x01u
#define SYS_CLOSE 0x02u
#define SYS_WRITEC 0x03u
#define SYS_WRITE0 0x04u
#define SYS_WRITE 0x05u
#define SYS_READ 0x06u
#define SYS_READC 0x07u
#define SYS_ERRNO 0x13u
#define SYS_GET_CMDLINE 0x15u
#define SYS_EXIT 0x18u
#define SYS_EXIT_EXTENDED 0x20u

#define MODE_R 0u
#define MODE_W 4u
#define MODE_A 8u
#define ADP_STOPPED_APPLICATION_EXIT 0x20026u
#define ADP_STOPPED_RUNTIME_ERROR 0x20023u
#define UNMAPPED 0x60000000u

#define CMDLINE_SIZE 256

static char cmdline[CMDLINE_SIZE];

static uint32_t semihost(uint32_t op, const void *param)
{
    register uint32_t r0 __asm("r0") = op;
    register const void *r1 __asm("r1") = param;
    __asm volatile("bkpt #0xAB" : "+r"(r0) : "r"(r1) : "memory");
    return r0;
}

static uint32_t length_of(const char *s)
{
    uint32_t n = 0;
    while (s[n])
        n++;
    return n;
}

static int same(const char *a, const char *b, uint32_t n)
{
    for (uint32_t i = 0; i < n; i++)
        if (a[i] != b[i])
            return 0;
    return 1;
}

static void print(const char *s)
{
    semihost(SYS_WRITE0, s);
}

// Decimal text of v, in a buffer that lives until the next call.
static const char *decimal(uint32_t v)
{
    static char digits[12];
    char *p = digits + sizeof(digits) - 1;
    *p = 0;
    do {
        *--p = (char)('0' + v % 10u);
        v /= 10u;
    } while (v != 0);
    return p;
}

static void print_result(uint32_t r0)
{
    print(r0 == 0xFFFFFFFFu ? "-1" : decimal(r0));
}

static void itm_enable(void)
{
    DEMCR |= DEMCR_TRCENA;
    ITM_LAR = ITM_UNLOCK;
    ITM_TCR |= ITM_TCR_ITMENA;
    ITM_TER |= 1u;
}

static void itm_print(const char *s)
{
    // Skipped while ITM or the port is off: a debugger may turn them off.
    if (!(ITM_TCR & ITM_TCR_ITMENA) || !(ITM_TER & 1u))
        return;
    for (; *s; s++) {
        while ((ITM_STIM0 & 1u) == 0) {
        }
        *(volatile uint8_t *)&ITM_STIM0 = (uint8_t)*s;
    }
}

static uint32_t open_file(const char *name, uint32_t mode)
{
    uint32_t block[3] = {(uint32_t)name, mode, length_of(name)};
    return semihost(SYS_OPEN, block);
}

static uint32_t transfer(uint32_t op, uint32_t handle, const void *data, uint32_t len)
{
    uint32_t block[3] = {handle, (uint32_t)data, len};
    return semihost(op, block);
}

static void close_file(uint32_t handle)
{
    semihost(SYS_CLOSE, &handle);
}

static void alternate(uint32_t turns)
{
    itm_enable();
    for (uint32_t i = 1; i <= turns; i++) {
        print("semihost ");
        print(decimal(i));
        print("\n");
        itm_print("itm ");
        itm_print(decimal(i));
        itm_print("\n");
    }
}

static void forms(void)
{
    char c = 'c';
    semihost(SYS_WRITEC, &c);
    print("write0\n");
    uint32_t out = open_file(":tt", MODE_W);
    transfer(SYS_WRITE, out, "write\n", 6);
    close_file(out);
    uint32_t err = open_file(":tt", MODE_A);
    transfer(SYS_WRITE, err, "stderr\n", 7);
    close_file(err);
}

static void echo(void)
{
    static char data[64];
    uint32_t in = open_file(":tt", MODE_R);
    uint32_t left = transfer(SYS_READ, in, data, sizeof(data) - 1);
    close_file(in);
    uint32_t got = left <= sizeof(data) - 1 ? sizeof(data) - 1 - left : 0;
    data[got] = 0;
    print("read: ");
    print(data);
}

static void readc(uint32_t count)
{
    char c[2] = {0, 0};
    print("readc: ");
    for (uint32_t i = 0; i < count; i++) {
        c[0] = (char)semihost(SYS_READC, 0);
        print(c);
    }
}

static void write0(uint32_t count)
{
    for (uint32_t i = 0; i < count; i++)
        print(".");
}

static void file(const char *name)
{
    static char data[32];
    uint32_t h = open_file(name, MODE_W);
    if (h == 0xFFFFFFFFu) {
        print("file: refused ");
        print(decimal(semihost(SYS_ERRNO, 0)));
        print("\n");
        return;
    }
    transfer(SYS_WRITE, h, "tarvex file\n", 12);
    close_file(h);
    h = open_file(name, MODE_R);
    uint32_t left = transfer(SYS_READ, h, data, sizeof(data) - 1);
    close_file(h);
    data[left <= sizeof(data) - 1 ? sizeof(data) - 1 - left : 0] = 0;
    print("file: ");
    print(data);
}

static void hostile(void)
{
    print("hostile: ");
    print_result(semihost(SYS_WRITE0, (const void *)UNMAPPED));
    print(" ");
    uint32_t out = open_file(":tt", MODE_W);
    print_result(transfer(SYS_WRITE, out, cmdline, 0x80000000u));
    close_file(out);
    print(" ");
    print_result(semihost(0x17, 0));
    print("\n");
}

static void exit_with(uint32_t reason)
{
    semihost(SYS_EXIT, (const void *)reason);
}

static void exit_extended(uint32_t subcode)
{
    uint32_t block[2] = {ADP_STOPPED_APPLICATION_EXIT, subcode};
    semihost(SYS_EXIT_EXTENDED, block);
}

__attribute__((noinline)) void semihost_fault_store(void)
{
    REG(UNMAPPED) = 0xFA17u;
}

__attribute__((noinline)) void semihost_fault_undefined(void)
{
    __asm volatile("udf #0");
}

// 8-byte aligned, as the stack a handler starts on must be.
static uint64_t handler_stack[64];

// The process stack takes over where the main one stands, so the callers'
// frames stay where they are; the main stack moves to a buffer of its own.
__attribute__((noinline)) void semihost_use_psp(void)
{
    __asm volatile("mov r0, sp\n\t"
                   "msr psp, r0\n\t"
                   "mrs r0, control\n\t"
                   "movs r1, #2\n\t"
                   "orrs r0, r1\n\t"
                   "msr control, r0\n\t"
                   "isb\n\t"
                   "msr msp, %0" ::"r"(&handler_stack[64])
                   : "r0", "r1", "cc", "memory");
}

// CP10 and CP11 full access, then one FP instruction. Armv6-M has no FPU:
// its build (Thumb-1 alone) does nothing here.
__attribute__((noinline)) void semihost_fp_work(void)
{
#if __ARM_ARCH_ISA_THUMB >= 2
    CPACR |= 0xFu << 20;
    __asm volatile("dsb\n\t"
                   "isb\n\t"
                   ".fpu fpv4-sp-d16\n\t"
                   "vmov s0, %0\n\t"
                   "vadd.f32 s1, s0, s0" ::"r"(0x3F800000u)
                   : "memory");
#endif
}

__attribute__((noinline)) void semihost_hang(void)
{
    for (;;)
        __asm volatile("wfi");
}

// The command line after its first word, the program's name (quoted when
// it holds a space).
static const char *skip_name(const char *line)
{
    char end = *line == '"' || *line == '\'' ? *line++ : ' ';
    while (*line && *line != end)
        line++;
    if (*line == end && end != ' ')
        line++;
    while (*line == ' ')
        line++;
    return line;
}

static uint32_t number(const char *s, uint32_t n)
{
    uint32_t v = 0;
    for (uint32_t i = 0; i < n && s[i] >= '0' && s[i] <= '9'; i++)
        v = v * 10u + (uint32_t)(s[i] - '0');
    return v;
}

// The word at w of length n, with its "=VALUE" if any.
static int perform(const char *w, uint32_t n)
{
#define IS(name) (n == sizeof(name) - 1 && same(w, name, n))
#define HAS(prefix) (n >= sizeof(prefix) - 1 && same(w, prefix, sizeof(prefix) - 1))
#define VALUE(prefix) number(w + sizeof(prefix) - 1, n - (sizeof(prefix) - 1))
    if (IS("args")) {
        print("args: ");
        print(skip_name(cmdline));
        print("\n");
    } else if (HAS("alternate=")) {
        alternate(VALUE("alternate="));
    } else if (IS("forms")) {
        forms();
    } else if (IS("echo")) {
        echo();
    } else if (HAS("readc=")) {
        readc(VALUE("readc="));
    } else if (HAS("write0=")) {
        write0(VALUE("write0="));
    } else if (HAS("file=")) {
        static char name[64];
        uint32_t len = n - 5 < sizeof(name) ? n - 5 : sizeof(name) - 1;
        for (uint32_t i = 0; i < len; i++)
            name[i] = w[5 + i];
        name[len] = 0;
        file(name);
    } else if (IS("hostile")) {
        hostile();
    } else if (IS("exit=ok")) {
        exit_with(ADP_STOPPED_APPLICATION_EXIT);
    } else if (IS("exit=fail")) {
        exit_with(ADP_STOPPED_RUNTIME_ERROR);
    } else if (HAS("exit=")) {
        exit_extended(VALUE("exit="));
    } else if (IS("psp")) {
        semihost_use_psp();
    } else if (IS("fp")) {
        semihost_fp_work();
    } else if (IS("fault")) {
        semihost_fault_store();
    } else if (IS("undefined")) {
        semihost_fault_undefined();
    } else if (IS("hang")) {
        semihost_hang();
    } else {
        return -1;
    }
    return 0;
#undef IS
#undef HAS
#undef VALUE
}

int main(void)
{
    uint32_t block[2] = {(uint32_t)cmdline, sizeof(cmdline)};
    if (semihost(SYS_GET_CMDLINE, block) != 0) {
        print("command line too long\n");
        exit_with(ADP_STOPPED_RUNTIME_ERROR);
    }
    const char *p = skip_name(cmdline);
    while (*p) {
        while (*p == ' ')
            p++;
        const char *w = p;
        while (*p && *p != ' ')
            p++;
        if (p > w && perform(w, (uint32_t)(p - w)) != 0) {
            print("unknown argument: ");
            for (; w < p; w++)
                semihost(SYS_WRITEC, w);
            print("\n");
            exit_with(ADP_STOPPED_RUNTIME_ERROR);
        }
    }
    exit_with(ADP_STOPPED_APPLICATION_EXIT);
    return 0;
}
