/* The virtual target's flash controller as code sees it: register offsets,
   bits, keys and the device identity. Shared by the model (C++), the flash
   algorithm (C) and the core's test cases (preprocessed assembly), so it
   holds plain defines without integer suffixes.

   The controller is locked after every reset. Writing FLC_KEY_FIRST then
   FLC_KEY_SECOND to FLC_KEY opens it; any other write to FLC_KEY locks it
   until the next reset (FLC_STAT_KEYFAIL). While open, with FLC_CTRL_PGEN
   set, each write to FLC_DATA programs that word at FLC_ADDR (which then
   advances by 4); a write to FLC_CMD starts an erase. Both keep
   FLC_STAT_BUSY set for a time counted in core cycles. */
#ifndef TARVEX_FLASH_REGS_H
#define TARVEX_FLASH_REGS_H

#define FLC_BASE 0xE0080000

#define FLC_DEVID 0x00 /* RO: FLC_DEVID_VALUE */
#define FLC_SIZE 0x04  /* RO: bytes of flash */
#define FLC_KEY 0x08   /* WO: the key sequence; reads 0 */
#define FLC_STAT 0x0C  /* RO state bits, write-one-to-clear error bits */
#define FLC_ADDR 0x10  /* RW: next word to program, or an address in the sector to erase */
#define FLC_DATA 0x14  /* RW: a write programs the word when FLC_CTRL_PGEN is set */
#define FLC_CTRL 0x18  /* RW: PGEN; writing LOCK locks the controller again */
#define FLC_CMD 0x1C   /* WO: erase commands */

/* Vendor 0x7E57 (the probe family's made-up USB vendor), part 0xF4, revision 1. */
#define FLC_DEVID_VALUE 0x7E57F401

#define FLC_KEY_FIRST 0x6B1D4E07
#define FLC_KEY_SECOND 0x39A2C5F8

#define FLC_STAT_BUSY 0x1
#define FLC_STAT_LOCKED 0x2
#define FLC_STAT_KEYFAIL 0x4    /* a wrong key: locked until reset */
#define FLC_STAT_ERR_PROG 0x100 /* a word would have needed a 0 -> 1 change: left unchanged */
#define FLC_STAT_ERR_LOCK 0x200 /* a write while locked: ignored */
#define FLC_STAT_ERR_ADDR 0x400 /* outside the flash or not word aligned: ignored */
#define FLC_STAT_ERR_BUSY 0x800 /* a write while busy: ignored */
#define FLC_STAT_ERR_CMD 0x1000 /* an unknown command: ignored */
#define FLC_STAT_ERRORS 0x1F00

#define FLC_CTRL_PGEN 0x1
#define FLC_CTRL_LOCK 0x80000000

#define FLC_CMD_ERASE_SECTOR 0x5EC7
#define FLC_CMD_ERASE_ALL 0xA11E

/* Erased bytes read this. */
#define FLC_ERASED_BYTE 0xFF

/* Sectors: 4 KiB up to 32 KiB, 16 KiB up to 64 KiB, 64 KiB beyond. */
#define FLC_SMALL_SECTOR 0x1000
#define FLC_SMALL_END 0x8000
#define FLC_MEDIUM_SECTOR 0x4000
#define FLC_MEDIUM_END 0x10000
#define FLC_LARGE_SECTOR 0x10000

/* Busy times in core cycles (the core runs CORE_HZ = 16 MHz): a fast
   flash that programs a wide line at once, so that a loader's own overhead,
   not the flash, is what a whole-image write spends. */
#define FLC_PROGRAM_CYCLES 8          /* per word: 0.5 us */
#define FLC_ERASE_CYCLES_PER_KIB 1000 /* sector erase: 0.25 ms for 4 KiB, 4 ms for 64 KiB */
#define FLC_ERASE_ALL_CYCLES 80000    /* whole flash: 5 ms */

#endif
