// Symbols, initial contents and instruction boundaries of an Arm ELF file,
// read with the cross binutils (arm-none-eabi-nm and -objdump), so that
// tests take addresses and values from the image they load instead of
// repeating them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarvex_test
{

struct elf_symbol {
    bool found;
    uint32_t address; // Thumb bit clear
    uint32_t size;    // 0 when the symbol has none
};

// The symbol `name` of the ELF file at path.
elf_symbol elf_symbol_of(const std::string &path, const std::string &name);

// len bytes of initial contents at address, as the sections hold them (by
// their run-time address); empty when some byte lies in no loaded section.
std::vector<uint8_t> elf_bytes(const std::string &path, uint32_t address, uint32_t len);

// Address of the instruction that follows the one at address in the
// disassembly, or 0 when there is none.
uint32_t elf_next_instruction(const std::string &path, uint32_t address);

} // namespace tarvex_test
