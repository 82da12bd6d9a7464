#include "elf_memory.h"

namespace tarvex_images
{

elf_file::~elf_file()
{
    if (elf != nullptr)
        elf_end(elf);
}

int refuse(std::string *why, const std::string &text)
{
    if (why != nullptr)
        *why = text;
    return -1;
}

int elf_open(elf_file &f, const uint8_t *bytes, size_t len, const char *what, std::string *why)
{
    if (elf_version(EV_CURRENT) == EV_NONE)
        return refuse(why, "libelf is out of date");
    f.bytes.assign(bytes, bytes + len);
    f.elf = elf_memory(f.bytes.data(), f.bytes.size());
    if (f.elf == nullptr || elf_kind(f.elf) != ELF_K_ELF)
        return refuse(why, std::string(what) + ": not an ELF file");
    if (gelf_getehdr(f.elf, &f.header) == nullptr)
        return refuse(why, std::string(what) + ": truncated ELF header");
    if (f.header.e_ident[EI_CLASS] != ELFCLASS32 || f.header.e_ident[EI_DATA] != ELFDATA2LSB ||
        f.header.e_machine != EM_ARM)
        return refuse(why, std::string(what) + ": not a 32-bit little-endian Arm ELF");
    return 0;
}

} // namespace tarvex_images
