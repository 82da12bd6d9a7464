#include "image_symbols.h"

#include <elfutils/libdw.h>

#include <algorithm>
#include <cstring>

#include "elf_memory.h"

namespace tarvex_images
{

// Thumb functions carry bit 0 in their symbol value; the code starts one
// byte lower.
static bool function_covers(const GElf_Sym &sym, uint32_t addr)
{
    if (GELF_ST_TYPE(sym.st_info) != STT_FUNC)
        return false;
    uint32_t start = static_cast<uint32_t>(sym.st_value) & ~1u;
    return addr >= start && addr - start < (sym.st_size > 0 ? sym.st_size : 2);
}

// Calls visit(sym, name) for each named symbol of the symbol table until
// it returns true.
template <typename visitor> static void each_symbol(Elf *elf, visitor visit)
{
    Elf_Scn *scn = nullptr;
    while ((scn = elf_nextscn(elf, scn)) != nullptr) {
        GElf_Shdr sh;
        if (gelf_getshdr(scn, &sh) == nullptr || sh.sh_type != SHT_SYMTAB || sh.sh_entsize == 0)
            continue;
        Elf_Data *data = elf_getdata(scn, nullptr);
        size_t count = data != nullptr ? data->d_size / sh.sh_entsize : 0;
        for (size_t i = 0; i < count; i++) {
            GElf_Sym sym;
            const char *name = nullptr;
            if (gelf_getsym(data, static_cast<int>(i), &sym) == nullptr ||
                (name = elf_strptr(elf, sh.sh_link, sym.st_name)) == nullptr)
                continue;
            if (visit(sym, name))
                return;
        }
    }
}

static void find_function(Elf *elf, uint32_t addr, image_place *out)
{
    each_symbol(elf, [&](const GElf_Sym &sym, const char *name) {
        if (!function_covers(sym, addr))
            return false;
        out->function = name;
        out->offset = addr - (static_cast<uint32_t>(sym.st_value) & ~1u);
        return true;
    });
}

static void find_line(Elf *elf, uint32_t addr, image_place *out)
{
    Dwarf *dw = dwarf_begin_elf(elf, DWARF_C_READ, nullptr);
    if (dw == nullptr)
        return;
    Dwarf_Die cu;
    Dwarf_Line *line = nullptr;
    int lineno = 0;
    const char *file = nullptr;
    if (dwarf_addrdie(dw, addr, &cu) != nullptr && (line = dwarf_getsrc_die(&cu, addr)) != nullptr &&
        dwarf_lineno(line, &lineno) == 0 && (file = dwarf_linesrc(line, nullptr, nullptr)) != nullptr) {
        out->file = file;
        out->line = lineno;
    }
    dwarf_end(dw);
}

int image_place_of(const uint8_t *bytes, size_t len, uint32_t addr, image_place *out)
{
    elf_file f;
    *out = image_place();
    if (elf_open(f, bytes, len, "image", nullptr) != 0)
        return -1;
    find_function(f.elf, addr, out);
    find_line(f.elf, addr, out);
    return out->function.empty() && out->file.empty() ? -1 : 0;
}

int image_entry(const uint8_t *bytes, size_t len, uint32_t *entry)
{
    elf_file f;
    if (elf_open(f, bytes, len, "image", nullptr) != 0)
        return -1;
    *entry = static_cast<uint32_t>(f.header.e_entry);
    return 0;
}

int image_symbol(const uint8_t *bytes, size_t len, const char *name, uint32_t *value)
{
    elf_file f;
    if (elf_open(f, bytes, len, "image", nullptr) != 0)
        return -1;
    bool found = false;
    each_symbol(f.elf, [&](const GElf_Sym &sym, const char *symbol) {
        if (sym.st_shndx == SHN_UNDEF || strcmp(symbol, name) != 0)
            return false;
        *value = static_cast<uint32_t>(sym.st_value);
        found = true;
        return true;
    });
    return found ? 0 : -1;
}

int image_writable_span(const uint8_t *bytes, size_t len, uint32_t *base, uint32_t *size)
{
    elf_file f;
    size_t count = 0;
    if (elf_open(f, bytes, len, "image", nullptr) != 0 || elf_getphdrnum(f.elf, &count) != 0)
        return -1;
    uint64_t low = UINT64_MAX, high = 0;
    for (size_t i = 0; i < count; i++) {
        GElf_Phdr ph;
        if (gelf_getphdr(f.elf, static_cast<int>(i), &ph) == nullptr || ph.p_type != PT_LOAD ||
            (ph.p_flags & PF_W) == 0 || ph.p_memsz == 0)
            continue;
        low = std::min<uint64_t>(low, ph.p_vaddr);
        high = std::max<uint64_t>(high, ph.p_vaddr + ph.p_memsz);
    }
    if (low >= high || high > 0x100000000ull)
        return -1;
    *base = static_cast<uint32_t>(low);
    *size = static_cast<uint32_t>(high - low);
    return 0;
}

std::string image_place_text(const image_place &p)
{
    std::string text;
    if (!p.function.empty()) {
        char off[16];
        snprintf(off, sizeof(off), "+0x%x", p.offset);
        text = p.function + off;
    }
    if (!p.file.empty())
        text += (text.empty() ? "" : " ") + std::string("(") + p.file + ":" + std::to_string(p.line) + ")";
    return text;
}

} // namespace tarvex_images
