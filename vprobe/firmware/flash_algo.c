/* Flash algorithm for the virtual target's flash controller (flash_regs.h),
   in the CMSIS-Pack form: the debugger loads PrgCode and PrgData into
   target RAM, points R9 at the data and calls these functions with a BKPT
   as the return address. Position independent: branches and literal pools
   are PC-relative, and the code never takes the address of anything it
   links; its data lies at fixed offsets from R9 (the linker script checks
   them) and the compiler keeps R9 for that (-ffixed-r9).

   ALGO_FAULT builds a deliberately broken variant for the loader's tests:
   see the ALGO_FAULT_* cases below. */
#include <stdint.h>

#include "flash_regs.h"

#define REG(offset) (*(volatile uint32_t *)(FLC_BASE + (offset)))

#define ALGO_FAULT_NONE 0
#define ALGO_FAULT_RETURN_ONE 1 /* EraseSector fails without erasing */
#define ALGO_FAULT_NO_RETURN 2  /* ProgramPage spins for ever */
#define ALGO_FAULT_LOCKUP 3     /* ProgramPage runs an undefined instruction */
#define ALGO_FAULT_STACK 4      /* ProgramPage writes 2 KiB below its stack pointer */
#define ALGO_FAULT_OUTSIDE 5    /* ProgramPage stores just past the end of the flash */
#define ALGO_FAULT_WRONG_WORD 6 /* ProgramPage clears one more bit of a page's fifth word, and succeeds */
#ifndef ALGO_FAULT
#define ALGO_FAULT ALGO_FAULT_NONE
#endif

#define FLASH_SIZE 0x40000u
#define PAGE_SIZE 1024u

/* The layout the loader reads (format version 1.01). */
struct flash_sector {
    uint32_t size;
    uint32_t offset;
};

struct flash_device {
    uint16_t vers;
    char dev_name[128];
    uint16_t dev_type;
    uint32_t dev_adr;
    uint32_t sz_dev;
    uint32_t sz_page;
    uint32_t res;
    uint8_t val_empty;
    uint32_t to_prog;  /* ms, one page */
    uint32_t to_erase; /* ms, one sector or the whole flash */
    struct flash_sector sectors[4];
};

_Static_assert(__builtin_offsetof(struct flash_device, dev_type) == 130, "DevType at 130");
_Static_assert(__builtin_offsetof(struct flash_device, val_empty) == 148, "valEmpty at 148");
_Static_assert(__builtin_offsetof(struct flash_device, sectors) == 160, "sector list at 160");

#define ON_CHIP_FLASH 1

__attribute__((used, section("DevDscr"))) const struct flash_device FlashDevice = {
    .vers = 0x0101,
    .dev_name = "TARVEX virtual target 256 KiB flash",
    .dev_type = ON_CHIP_FLASH,
    .dev_adr = 0,
    .sz_dev = FLASH_SIZE,
    .sz_page = PAGE_SIZE,
    .res = 0,
    .val_empty = FLC_ERASED_BYTE,
    .to_prog = 100,
    .to_erase = 500,
    .sectors =
        {
            {FLC_SMALL_SECTOR, 0},
            {FLC_MEDIUM_SECTOR, FLC_SMALL_END},
            {FLC_LARGE_SECTOR, FLC_MEDIUM_END},
            {0xFFFFFFFFu, 0xFFFFFFFFu},
        },
};

/* PrgData: an initialised part at R9, then the zeroed (NOBITS) part. */
struct algo_data {
    uint32_t flash_base; /* Init's adr; none before Init */
};
struct algo_zeroed {
    uint32_t open_function; /* Init's fnc; 0 when not open */
};

__attribute__((used, section(".data.algo"))) struct algo_data algo_data = {.flash_base = 0xFFFFFFFFu};
__attribute__((used, section(".bss.algo"))) struct algo_zeroed algo_zeroed;

static struct algo_data *data(void)
{
    struct algo_data *d;
    __asm__("mov %0, r9" : "=r"(d));
    return d;
}

static struct algo_zeroed *zeroed(void)
{
    return (struct algo_zeroed *)((uint8_t *)data() + sizeof(struct algo_data));
}

/* Inlined: the core pays for every instruction, and the program loop
   polls after each word. */
static inline __attribute__((always_inline)) void wait_idle(void)
{
    while (REG(FLC_STAT) & FLC_STAT_BUSY) {
    }
}

/* 0 when the operations since the last call left no error; clears them. */
static int take_errors(void)
{
    uint32_t errors = REG(FLC_STAT) & FLC_STAT_ERRORS;
    REG(FLC_STAT) = errors;
    return errors != 0;
}

int Init(uint32_t adr, uint32_t clk, uint32_t fnc)
{
    (void)adr;
    (void)clk;
    if (REG(FLC_DEVID) != FLC_DEVID_VALUE)
        return 1;
    wait_idle();
    if (REG(FLC_STAT) & FLC_STAT_LOCKED) {
        REG(FLC_KEY) = FLC_KEY_FIRST;
        REG(FLC_KEY) = FLC_KEY_SECOND;
    }
    if (REG(FLC_STAT) & FLC_STAT_LOCKED)
        return 1;
    take_errors();
    data()->flash_base = adr;
    zeroed()->open_function = fnc;
    return 0;
}

int UnInit(uint32_t fnc)
{
    (void)fnc;
    wait_idle();
    REG(FLC_CTRL) = FLC_CTRL_LOCK;
    zeroed()->open_function = 0;
    return 0;
}

static int erase(uint32_t adr, uint32_t command)
{
    if (!zeroed()->open_function)
        return 1;
    wait_idle();
    REG(FLC_ADDR) = adr;
    REG(FLC_CMD) = command;
    wait_idle();
    return take_errors();
}

int EraseChip(void)
{
    return erase(data()->flash_base, FLC_CMD_ERASE_ALL);
}

int EraseSector(uint32_t adr)
{
#if ALGO_FAULT == ALGO_FAULT_RETURN_ONE
    (void)adr;
    return 1;
#else
    return erase(adr, FLC_CMD_ERASE_SECTOR);
#endif
}

/* Little-endian word from a buffer of any alignment; bytes past sz read as
   erased, so a short last word leaves the rest of its flash word alone. */
static uint32_t word_at(const uint8_t *buf, uint32_t i, uint32_t sz)
{
    uint32_t w = 0;
    for (uint32_t b = 0; b < 4; b++)
        w |= (uint32_t)(i + b < sz ? buf[i + b] : FLC_ERASED_BYTE) << (8 * b);
    return w;
}

static void misbehave(void)
{
#if ALGO_FAULT == ALGO_FAULT_NO_RETURN
    for (;;) {
    }
#elif ALGO_FAULT == ALGO_FAULT_LOCKUP
    __asm__ volatile("udf #0");
#elif ALGO_FAULT == ALGO_FAULT_STACK
    volatile uint32_t *p;
    __asm__ volatile("mov %0, sp" : "=r"(p));
    for (uint32_t i = 1; i <= 512; i++)
        p[-(int32_t)i] = 0xDEADBEEFu;
#elif ALGO_FAULT == ALGO_FAULT_OUTSIDE
    *(volatile uint32_t *)FLASH_SIZE = 0;
#endif
}

/* The word to program at offset i of a page. */
static uint32_t to_program(uint32_t i, uint32_t w)
{
#if ALGO_FAULT == ALGO_FAULT_WRONG_WORD
    if (i == 16)
        return w & (w - 1);
#endif
    (void)i;
    return w;
}

int ProgramPage(uint32_t adr, uint32_t sz, const uint8_t *buf)
{
    misbehave();
    if (!zeroed()->open_function || adr < data()->flash_base)
        return 1;
    wait_idle();
    REG(FLC_CTRL) = FLC_CTRL_PGEN;
    REG(FLC_ADDR) = adr;
    uint32_t i = 0;
    /* Whole words straight from an aligned buffer, each fetched while the
       one before is being programmed; the rest byte by byte. */
    if (((uint32_t)buf & 3) == 0) {
        for (; i + 4 <= sz; i += 4) {
            uint32_t word = to_program(i, *(const uint32_t *)(buf + i));
            wait_idle();
            REG(FLC_DATA) = word;
        }
        wait_idle();
    }
    for (; i < sz; i += 4) {
        REG(FLC_DATA) = to_program(i, word_at(buf, i, sz));
        wait_idle();
    }
    REG(FLC_CTRL) = 0;
    return take_errors();
}

int BlankCheck(uint32_t adr, uint32_t sz, uint8_t pat)
{
    const volatile uint8_t *p = (const volatile uint8_t *)adr;
    for (uint32_t i = 0; i < sz; i++)
        if (p[i] != pat)
            return 1;
    return 0;
}

uint32_t Verify(uint32_t adr, uint32_t sz, const uint8_t *buf)
{
    const volatile uint8_t *p = (const volatile uint8_t *)adr;
    uint32_t i = 0;
    /* Word by word while both sides are aligned, up to the first
       difference, which the byte loop then pins down. */
    if (((adr | (uint32_t)buf) & 3) == 0) {
        const uint32_t *f = (const uint32_t *)adr, *b = (const uint32_t *)buf;
        for (; i + 16 <= sz; i += 16, f += 4, b += 4)
            if (((f[0] ^ b[0]) | (f[1] ^ b[1]) | (f[2] ^ b[2]) | (f[3] ^ b[3])) != 0)
                break;
        for (; i + 4 <= sz && *f == *b; i += 4)
            f++, b++;
    }
    for (; i < sz; i++)
        if (p[i] != buf[i])
            return adr + i;
    return adr + sz;
}
