// libelf over bytes in memory, shared by the readers of .FLM files and ELF
// images: one owner for the handle and its copy of the bytes.
#pragma once

#include <gelf.h>
#include <libelf.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvex_images
{

struct elf_file {
    std::vector<char> bytes; // libelf reads from here: it outlives the handle
    Elf *elf = nullptr;
    GElf_Ehdr header{};

    elf_file() = default;
    elf_file(const elf_file &) = delete;
    elf_file &operator=(const elf_file &) = delete;
    ~elf_file();
};

// Opens a 32-bit little-endian Arm ELF of type `what` (for messages).
// Returns 0, or -1 with *why.
int elf_open(elf_file &f, const uint8_t *bytes, size_t len, const char *what, std::string *why);

// Sets *why to text and returns -1.
int refuse(std::string *why, const std::string &text);

} // namespace tarvex_images
