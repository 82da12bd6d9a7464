/* The loader's helper, placed in target RAM beside a flash algorithm and
   called like the algorithm's functions (arguments in R0-R3, a BKPT as the
   return address, R9 left at the algorithm's data). One position-independent
   blob whose first words branch to its entries:

     offset 0: checksum_list(R0 = list, R1 = count): for each entry
               {address, length, sum} of the list, sum = the checksum of
               that range of target memory (flash_checksum on the host).
     offset 4: program_pages(R0 = address, R1 = length, R2 = buffer,
               R3 = {ProgramPage's entry, page size, Verify's entry or 0}):
               calls the algorithm's ProgramPage for each page of the
               buffer in turn, then its Verify on that page while the
               bytes are still here, so that a whole buffer costs the
               debugger one call and never crosses the link again to be
               verified. R0 = the bytes programmed (and verified) when all
               of them were, else where the failure lies from the address;
               R1 = what the failing ProgramPage answered, 0 when a page
               was programmed but Verify found it different (R0 is then
               the offset of the first differing byte).
     offset 8: erase_sectors(R0 = list of addresses, R1 = count,
               R2 = EraseSector's entry): the algorithm's EraseSector for
               each; R0 = the sectors erased, R1 = what the failing one
               answered.
     offset 12: the version word, "TVH2" (not code).

   The checksum is a word-wise multiplicative hash rather than a CRC: the
   emulated core pays for every instruction, and this costs about 0.9 of
   one a byte where a table-driven CRC-32 costs 5 or more. Each step is a
   bijection of the state for a given word and of the word for a given
   state, so any single changed word changes the sum; the rotation carries
   the high bits that the multiplication cannot move back down. */
#include <stdint.h>

#define SEED 0x2545F491u
#define FACTOR 0x9E3779B1u

struct range {
    uint32_t address;
    uint32_t length;
    uint32_t sum;
};

struct program_call {
    uint32_t entry; /* Thumb bit set */
    uint32_t page_size;
    uint32_t verify; /* Thumb bit set; 0: no verification */
};

typedef uint32_t (*program_page_fn)(uint32_t adr, uint32_t sz, const uint8_t *buf);
typedef uint32_t (*verify_fn)(uint32_t adr, uint32_t sz, const uint8_t *buf);
typedef uint32_t (*erase_sector_fn)(uint32_t adr);

uint32_t checksum_list(struct range *list, uint32_t count);
uint64_t program_pages(uint32_t adr, uint32_t sz, const uint8_t *buf, const struct program_call *call);
uint64_t erase_sectors(const uint32_t *list, uint32_t count, uint32_t entry);

/* The entries, then a word that names this version of them: the loader
   uses no blob whose word differs, since an older page loop would take
   Verify's entry for nothing and leave the pages unchecked. */
/* Built for Armv6-M, whose Thumb-1 every Cortex-M runs: a branch is two
   bytes there, so each entry pads its word with a NOP (the blob is far
   smaller than a branch's reach). */
__attribute__((naked, section(".text.entry"))) void flash_helper_entries(void)
{
    __asm__ volatile("b checksum_list\n\t"
                     "nop\n\t"
                     "b program_pages\n\t"
                     "nop\n\t"
                     "b erase_sectors\n\t"
                     "nop\n\t"
                     ".word 0x32485654\n\t");
}

static uint32_t mix(uint32_t h, uint32_t w)
{
    return (w ^ (h >> 27 | h << 5)) * FACTOR;
}

/* Four words a turn with one load-multiple: the same steps as mix(), in
   Thumb-1 (two-operand EOR and MUL, a rotation by a register). */
static uint32_t mix_blocks(uint32_t h, const uint32_t *p, uint32_t blocks)
{
    uint32_t factor = FACTOR, by = 27;
    __asm__ volatile(".syntax unified\n"
                     "1:\n\t"
                     "ldmia %[p]!, {r4, r5}\n\t"
                     "rors %[h], %[by]\n\t"
                     "eors %[h], r4\n\t"
                     "muls %[h], %[f]\n\t"
                     "rors %[h], %[by]\n\t"
                     "eors %[h], r5\n\t"
                     "muls %[h], %[f]\n\t"
                     "ldmia %[p]!, {r4, r5}\n\t"
                     "rors %[h], %[by]\n\t"
                     "eors %[h], r4\n\t"
                     "muls %[h], %[f]\n\t"
                     "rors %[h], %[by]\n\t"
                     "eors %[h], r5\n\t"
                     "muls %[h], %[f]\n\t"
                     "subs %[n], #1\n\t"
                     "bne 1b\n\t"
                     ".syntax divided\n"
                     : [h] "+l"(h), [p] "+l"(p), [n] "+l"(blocks)
                     : [f] "l"(factor), [by] "l"(by)
                     : "r4", "r5", "cc", "memory");
    return h;
}

static uint32_t word_of(const uint8_t *p, uint32_t n)
{
    uint32_t w = 0;
    for (uint32_t i = 0; i < n; i++)
        w |= (uint32_t)p[i] << (8 * i);
    return w;
}

static uint32_t checksum(const uint8_t *p, uint32_t len)
{
    uint32_t h = SEED, n = len;
    if (((uint32_t)p & 3) == 0 && n >= 16) {
        h = mix_blocks(h, (const uint32_t *)p, n / 16);
        p += n / 16 * 16;
        n %= 16;
    }
    for (; n >= 4; n -= 4, p += 4)
        h = mix(h, word_of(p, 4));
    if (n != 0)
        h = mix(h, word_of(p, n));
    return mix(h, len);
}

uint32_t checksum_list(struct range *list, uint32_t count)
{
    for (uint32_t i = 0; i < count; i++)
        list[i].sum = checksum((const uint8_t *)list[i].address, list[i].length);
    return 0;
}

uint64_t program_pages(uint32_t adr, uint32_t sz, const uint8_t *buf, const struct program_call *call)
{
    program_page_fn program_page = (program_page_fn)call->entry;
    uint32_t done = 0, answer = 0;
    while (done < sz) {
        uint32_t n = sz - done < call->page_size ? sz - done : call->page_size;
        answer = program_page(adr + done, n, buf + done);
        if (answer != 0)
            break;
        if (call->verify != 0) {
            uint32_t end = ((verify_fn)call->verify)(adr + done, n, buf + done);
            if (end != adr + done + n) {
                /* An answer outside the page still fails it, at its start. */
                if (end > adr + done && end < adr + done + n)
                    done = end - adr;
                break;
            }
        }
        done += n;
    }
    return (uint64_t)answer << 32 | done;
}

uint64_t erase_sectors(const uint32_t *list, uint32_t count, uint32_t entry)
{
    erase_sector_fn erase_sector = (erase_sector_fn)entry;
    uint32_t done = 0, answer = 0;
    for (; done < count; done++) {
        answer = erase_sector(list[done]);
        if (answer != 0)
            break;
    }
    return (uint64_t)answer << 32 | done;
}
