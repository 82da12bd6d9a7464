/* The checksum routine as one position-independent blob, entry first. */
ENTRY(crc32_range)

SECTIONS
{
    .text 0 : {
        *(.text.entry)
        *(.text .text.*)
        *(.rodata .rodata.*)
        . = ALIGN(4);
    }
    ASSERT(crc32_range == 0, "the entry must open the blob")
    ASSERT(SIZEOF(.text) < 1024, "the blob stays small")

    /DISCARD/ : { *(.data*) *(.bss*) *(.got*) *(.ARM.exidx*) *(.comment) }
}
