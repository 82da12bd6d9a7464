/* Layout of a flash algorithm: code and read-only data in PrgCode from 0,
   then PrgData: the initialised part (at R9 = load address + its offset)
   and the zeroed part right after it, where flash_algo.c expects them.
   DevDscr is read by the loader, never loaded. */
ENTRY(Init)

SECTIONS
{
    PrgCode 0 : {
        *(.text .text.*)
        *(.rodata .rodata.*)
        . = ALIGN(4);
    }

    PrgData : {
        *(.data.algo)
        *(.data .data.*)
        . = ALIGN(4);
    }

    PrgData (NOLOAD) : {
        *(.bss.algo)
        *(.bss .bss.* COMMON)
        . = ALIGN(4);
    }
    ASSERT(algo_data == ADDR(PrgData), "algo_data must open PrgData: the code finds it at R9")
    ASSERT(algo_zeroed == algo_data + SIZEOF(PrgData), "algo_zeroed must follow algo_data and nothing else")

    DevDscr : { KEEP(*(DevDscr)) }

    /DISCARD/ : { *(.ARM.exidx*) *(.ARM.extab*) *(.comment) *(.ARM.attributes) }
}
