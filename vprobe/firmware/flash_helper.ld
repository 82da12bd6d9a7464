/* The loader's helper as one position-independent blob, its entries first. */
ENTRY(flash_helper_entries)

SECTIONS
{
    .text 0 : {
        *(.text.entry)
        *(.text .text.*)
        *(.rodata .rodata.*)
        . = ALIGN(4);
    }
    ASSERT(flash_helper_entries == 0, "the entries must open the blob")
    ASSERT(SIZEOF(.text) < 1024, "the blob stays small")

    /DISCARD/ : { *(.data*) *(.bss*) *(.got*) *(.ARM.exidx*) *(.comment) }
}
