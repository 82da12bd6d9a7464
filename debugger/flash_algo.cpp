// The .FLM reader: sections by name, symbols by name, FlashDevice decoded
// field by field from its documented offsets.
#include "flash_algo.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "elf_memory.h"

namespace tarvex_images
{

namespace
{

constexpr uint32_t MAX_ALGO_BYTES = 1u << 20; // code and data together: far above any real algorithm
constexpr uint32_t MAX_SECTOR_RUNS = 512;
constexpr uint32_t SECTOR_END = 0xFFFFFFFF;

// FlashDevice's fields (little-endian) and the start of its sector list.
constexpr size_t DEV_VERS = 0, DEV_NAME = 2, DEV_NAME_LEN = 128, DEV_TYPE = 130, DEV_ADR = 132, DEV_SIZE = 136,
                 DEV_PAGE = 140, DEV_EMPTY = 148, DEV_TO_PROG = 152, DEV_TO_ERASE = 156, DEV_SECTORS = 160;

// The functions found by symbol: name, field, whether an algorithm must have it.
struct function_row {
    const char *name;
    uint32_t flash_algo::*field;
    bool required;
};
constexpr std::array<function_row, 7> FUNCTIONS = {{
    {"Init", &flash_algo::init, true},
    {"UnInit", &flash_algo::uninit, true},
    {"EraseSector", &flash_algo::erase_sector, true},
    {"ProgramPage", &flash_algo::program_page, true},
    {"EraseChip", &flash_algo::erase_chip, false},
    {"BlankCheck", &flash_algo::blank_check, false},
    {"Verify", &flash_algo::verify, false},
}};

uint16_t le16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t le32(const uint8_t *p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

struct section {
    Elf_Scn *scn = nullptr;
    size_t index = 0;
    GElf_Shdr hdr{};
};

struct algo_sections {
    section code, data, zero, dev, symtab;
};

// Keeps the first section of each role; a second one is an error.
int take_section(section &slot, Elf_Scn *scn, const GElf_Shdr &hdr, const char *name, std::string *why)
{
    if (slot.scn != nullptr)
        return refuse(why, std::string("flash algorithm: more than one ") + name + " section");
    slot.scn = scn;
    slot.index = elf_ndxscn(scn);
    slot.hdr = hdr;
    return 0;
}

int find_sections(elf_file &f, algo_sections &s, std::string *why)
{
    size_t names = 0;
    if (elf_getshdrstrndx(f.elf, &names) != 0)
        return refuse(why, "flash algorithm: no section names (truncated?)");
    for (Elf_Scn *scn = elf_nextscn(f.elf, nullptr); scn != nullptr; scn = elf_nextscn(f.elf, scn)) {
        GElf_Shdr h;
        if (gelf_getshdr(scn, &h) == nullptr)
            return refuse(why, "flash algorithm: unreadable section header");
        const char *name = elf_strptr(f.elf, names, h.sh_name);
        std::string n = name != nullptr ? name : "";
        int rc = 0;
        if (n == "PrgCode" && h.sh_type == SHT_PROGBITS)
            rc = take_section(s.code, scn, h, "PrgCode", why);
        else if (n == "PrgData" && h.sh_type == SHT_PROGBITS)
            rc = take_section(s.data, scn, h, "PrgData", why);
        else if (n == "PrgData" && h.sh_type == SHT_NOBITS)
            rc = take_section(s.zero, scn, h, "zeroed PrgData", why);
        else if (n == "DevDscr" && h.sh_type == SHT_PROGBITS)
            rc = take_section(s.dev, scn, h, "DevDscr", why);
        else if (h.sh_type == SHT_SYMTAB)
            rc = take_section(s.symtab, scn, h, "symbol table", why);
        if (rc != 0)
            return rc;
    }
    if (s.code.scn == nullptr || s.dev.scn == nullptr || s.symtab.scn == nullptr)
        return refuse(why, std::string("flash algorithm: no ") + (s.code.scn == nullptr  ? "PrgCode section"
                                                                  : s.dev.scn == nullptr ? "DevDscr section"
                                                                                         : "symbol table"));
    return 0;
}

// The bytes of a PROGBITS section, all of them or an error.
int section_bytes(const elf_file &f, const section &s, std::vector<uint8_t> &out, std::string *why)
{
    out.clear();
    if (s.scn == nullptr)
        return 0;
    if (s.hdr.sh_size > MAX_ALGO_BYTES || s.hdr.sh_offset + s.hdr.sh_size > f.bytes.size())
        return refuse(why, "flash algorithm: truncated section (file ends before its bytes)");
    const uint8_t *p = reinterpret_cast<const uint8_t *>(f.bytes.data()) + s.hdr.sh_offset;
    out.assign(p, p + s.hdr.sh_size);
    return 0;
}

// PrgCode at 0; PrgData after the code, its zeroed part right after its
// initialised part; everything within MAX_ALGO_BYTES.
int check_layout(const algo_sections &s, flash_algo &a, std::string *why)
{
    if (s.code.hdr.sh_addr != 0 || s.code.hdr.sh_size == 0)
        return refuse(why, "flash algorithm: PrgCode must be linked at 0 and hold code");
    uint64_t code_end = s.code.hdr.sh_size;
    const section &first = s.data.scn != nullptr ? s.data : s.zero;
    a.data_offset = first.scn != nullptr ? static_cast<uint32_t>(first.hdr.sh_addr) : static_cast<uint32_t>(code_end);
    a.zero_size = s.zero.scn != nullptr ? static_cast<uint32_t>(s.zero.hdr.sh_size) : 0;
    if (a.data_offset < code_end)
        return refuse(why, "flash algorithm: PrgData overlaps PrgCode");
    uint64_t data_end = uint64_t{a.data_offset} + (s.data.scn != nullptr ? s.data.hdr.sh_size : 0);
    if (s.zero.scn != nullptr && s.data.scn != nullptr && s.zero.hdr.sh_addr != data_end)
        return refuse(why, "flash algorithm: the zeroed PrgData does not follow the initialised one");
    if (data_end + a.zero_size > MAX_ALGO_BYTES || (a.data_offset & 3) != 0)
        return refuse(why, "flash algorithm: code and data too large or misaligned");
    return 0;
}

// Walks the symbol table for the functions and FlashDevice.
int find_symbols(elf_file &f, const algo_sections &s, flash_algo &a, uint64_t *device_at, std::string *why)
{
    Elf_Data *d = elf_getdata(s.symtab.scn, nullptr);
    if (d == nullptr || s.symtab.hdr.sh_entsize == 0)
        return refuse(why, "flash algorithm: unreadable symbol table");
    for (const function_row &row : FUNCTIONS)
        a.*row.field = ALGO_ABSENT;
    *device_at = UINT64_MAX;
    size_t count = d->d_size / s.symtab.hdr.sh_entsize;
    for (size_t i = 0; i < count; i++) {
        GElf_Sym sym;
        if (gelf_getsym(d, static_cast<int>(i), &sym) == nullptr)
            return refuse(why, "flash algorithm: unreadable symbol");
        const char *name = elf_strptr(f.elf, s.symtab.hdr.sh_link, sym.st_name);
        if (name == nullptr)
            continue;
        if (std::strcmp(name, "FlashDevice") == 0 && sym.st_shndx == s.dev.index)
            *device_at = sym.st_value - s.dev.hdr.sh_addr;
        for (const function_row &row : FUNCTIONS) {
            if (std::strcmp(name, row.name) != 0)
                continue;
            uint64_t entry = sym.st_value & ~uint64_t{1};
            if (sym.st_shndx != s.code.index || entry >= a.code.size())
                return refuse(why, std::string("flash algorithm: ") + row.name + " lies outside PrgCode");
            a.*row.field = static_cast<uint32_t>(entry);
        }
    }
    for (const function_row &row : FUNCTIONS)
        if (row.required && a.*row.field == ALGO_ABSENT)
            return refuse(why, std::string("flash algorithm: no function ") + row.name);
    if (*device_at == UINT64_MAX)
        return refuse(why, "flash algorithm: no FlashDevice symbol in DevDscr");
    return 0;
}

// The sector list: starts at 0, offsets rising, each run a whole number of
// its sectors, all inside szDev.
int check_sectors(const flash_device_desc &d, std::string *why)
{
    if (d.sectors.empty() || d.sectors[0].offset != 0)
        return refuse(why, "flash algorithm: the sector list must start at offset 0");
    for (size_t i = 0; i < d.sectors.size(); i++) {
        const flash_sector_run &r = d.sectors[i];
        uint64_t end = i + 1 < d.sectors.size() ? d.sectors[i + 1].offset : d.size;
        if (r.size == 0 || end <= r.offset || (end - r.offset) % r.size != 0)
            return refuse(why, "flash algorithm: sector list entry " + std::to_string(i) +
                                   " is empty, out of order or not a whole number of sectors");
    }
    return 0;
}

int decode_device(const std::vector<uint8_t> &dev, uint64_t at, flash_device_desc &d, std::string *why)
{
    if (at > dev.size() || dev.size() - at < DEV_SECTORS + 8)
        return refuse(why, "flash algorithm: FlashDevice lies outside DevDscr");
    const uint8_t *p = dev.data() + at;
    d.version = le16(p + DEV_VERS);
    d.name.assign(reinterpret_cast<const char *>(p + DEV_NAME),
                  strnlen(reinterpret_cast<const char *>(p + DEV_NAME), DEV_NAME_LEN));
    d.type = le16(p + DEV_TYPE);
    d.address = le32(p + DEV_ADR);
    d.size = le32(p + DEV_SIZE);
    d.page_size = le32(p + DEV_PAGE);
    d.empty = p[DEV_EMPTY];
    d.program_timeout_ms = le32(p + DEV_TO_PROG);
    d.erase_timeout_ms = le32(p + DEV_TO_ERASE);
    if (d.size == 0 || d.page_size == 0 || uint64_t{d.address} + d.size > (uint64_t{1} << 32))
        return refuse(why, "flash algorithm: FlashDevice has no size, no page size, or passes 4 GiB");
    d.sectors.clear();
    for (uint64_t pos = at + DEV_SECTORS;; pos += 8) {
        if (pos + 8 > dev.size() || d.sectors.size() > MAX_SECTOR_RUNS)
            return refuse(why, "flash algorithm: the sector list has no end marker");
        uint32_t size = le32(dev.data() + pos), offset = le32(dev.data() + pos + 4);
        if (size == SECTOR_END && offset == SECTOR_END)
            break;
        d.sectors.push_back({size, offset});
    }
    return check_sectors(d, why);
}

} // namespace

int flash_algo_parse(const uint8_t *bytes, size_t len, flash_algo &out, std::string *why)
{
    elf_file f;
    algo_sections s;
    std::vector<uint8_t> dev;
    uint64_t device_at = 0;
    out = flash_algo{};
    if (elf_open(f, bytes, len, "flash algorithm", why) != 0 || find_sections(f, s, why) != 0 ||
        section_bytes(f, s.code, out.code, why) != 0 || section_bytes(f, s.data, out.data, why) != 0 ||
        section_bytes(f, s.dev, dev, why) != 0 || check_layout(s, out, why) != 0 ||
        find_symbols(f, s, out, &device_at, why) != 0 || decode_device(dev, device_at, out.device, why) != 0)
        return -1;
    return 0;
}

uint32_t flash_algo_span(const flash_algo &a)
{
    return a.data_offset + static_cast<uint32_t>(a.data.size()) + a.zero_size;
}

std::vector<uint8_t> flash_algo_image(const flash_algo &a)
{
    std::vector<uint8_t> image(flash_algo_span(a), 0);
    std::copy(a.code.begin(), a.code.end(), image.begin());
    std::copy(a.data.begin(), a.data.end(), image.begin() + a.data_offset);
    return image;
}

int flash_sector_find(const flash_device_desc &d, uint32_t offset, uint32_t *start, uint32_t *size)
{
    if (offset >= d.size || d.sectors.empty())
        return -1;
    size_t i = d.sectors.size() - 1;
    while (i > 0 && d.sectors[i].offset > offset)
        i--;
    const flash_sector_run &r = d.sectors[i];
    *start = r.offset + (offset - r.offset) / r.size * r.size;
    *size = r.size;
    return 0;
}

static uint32_t checksum_step(uint32_t h, uint32_t word)
{
    return (word ^ (h >> 27 | h << 5)) * 0x9E3779B1u;
}

uint32_t flash_checksum(const uint8_t *data, size_t len)
{
    uint32_t h = 0x2545F491u;
    size_t i = 0;
    for (; i + 4 <= len; i += 4)
        h = checksum_step(h, data[i] | data[i + 1] << 8 | data[i + 2] << 16 | static_cast<uint32_t>(data[i + 3]) << 24);
    if (i < len) {
        uint32_t tail = 0;
        for (size_t b = 0; i + b < len; b++)
            tail |= static_cast<uint32_t>(data[i + b]) << (8 * b);
        h = checksum_step(h, tail);
    }
    return checksum_step(h, static_cast<uint32_t>(len));
}

} // namespace tarvex_images
