/* Everything in the upper half of the default target's RAM, clear of the
   sample firmware's data and stack. */
MEMORY
{
    RAM (rwx) : ORIGIN = 0x20008000, LENGTH = 64K
}

ENTRY(ram_start)

SECTIONS
{
    .text : { *(.text .text.*) *(.rodata .rodata.*) } > RAM
    .data : { *(.data .data.*) } > RAM
    .bss : { *(.bss .bss.* COMMON) } > RAM
    /DISCARD/ : { *(.ARM.exidx*) *(.comment) }
}
