/* Memory map of the virtual probe's default target: 256 KiB of flash at 0,
   128 KiB of RAM at 0x20000000 (config_defaults in probe_model.cpp). */
MEMORY
{
    FLASH (rx) : ORIGIN = 0x00000000, LENGTH = 256K
    RAM (rwx) : ORIGIN = 0x20000000, LENGTH = 128K
}

ENTRY(reset_handler)

_stack_top = ORIGIN(RAM) + LENGTH(RAM);

SECTIONS
{
    .vectors : { KEEP(*(.vectors)) } > FLASH
    .text : { *(.text .text.*) } > FLASH
    .rodata : { *(.rodata .rodata.*) . = ALIGN(4); } > FLASH

    /* Initial values live in flash after .rodata; the reset handler copies them. */
    .data : {
        _data_start = .;
        *(.data .data.*)
        . = ALIGN(4);
        _data_end = .;
    } > RAM AT > FLASH
    _data_load = LOADADDR(.data);

    .bss (NOLOAD) : {
        _bss_start = .;
        *(.bss .bss.* COMMON)
        . = ALIGN(4);
        _bss_end = .;
    } > RAM

    /* What the start-up neither copies nor zeroes: a debugger's writes
       there while the core is held at reset survive into main. */
    .noinit (NOLOAD) : {
        . = ALIGN(4);
        *(.noinit .noinit.*)
    } > RAM

    /DISCARD/ : { *(.ARM.exidx*) *(.comment) }
}
