// Firmware image readers: ELF through libelf, Intel HEX record by record.
#include "image_file.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>

#include "elf_memory.h"

namespace tarvex_images
{

namespace
{

constexpr uint64_t ADDRESS_SPACE = uint64_t{1} << 32;

// Intel HEX record types.
constexpr int HEX_DATA = 0, HEX_EOF = 1, HEX_SEGMENT = 2, HEX_LINEAR = 4, HEX_START_LINEAR = 5;

std::string hex32(uint64_t v)
{
    char text[24];
    snprintf(text, sizeof(text), "0x%08llx", static_cast<unsigned long long>(v));
    return text;
}

// Appends bytes at address, into the last extent when they continue it.
int add_bytes(std::vector<image_extent> &out, uint64_t address, const uint8_t *bytes, size_t n, std::string *why)
{
    if (address + n > ADDRESS_SPACE)
        return refuse(why, "image: data at " + hex32(address) + " passes the end of the 32-bit address space");
    if (!out.empty() && uint64_t{out.back().address} + out.back().bytes.size() == address)
        out.back().bytes.insert(out.back().bytes.end(), bytes, bytes + n);
    else
        out.push_back({static_cast<uint32_t>(address), std::vector<uint8_t>(bytes, bytes + n)});
    return 0;
}

int hex_digit(uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

struct hex_record {
    int type = 0;
    uint32_t offset = 0;
    std::vector<uint8_t> data;
};

// One record from the text after its ':' (line end excluded).
int hex_decode(const uint8_t *p, size_t n, size_t line, hex_record &r, std::string *why)
{
    std::string where = "Intel HEX line " + std::to_string(line) + ": ";
    if (n < 10 || n % 2 != 0)
        return refuse(why, where + "truncated record");
    std::vector<uint8_t> raw(n / 2);
    for (size_t i = 0; i < raw.size(); i++) {
        int hi = hex_digit(p[2 * i]), lo = hex_digit(p[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return refuse(why, where + "not a hex digit");
        raw[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    if (raw.size() != size_t{raw[0]} + 5)
        return refuse(why, where + "length field does not match the record");
    uint8_t sum = 0;
    for (uint8_t b : raw)
        sum = static_cast<uint8_t>(sum + b);
    if (sum != 0)
        return refuse(why, where + "bad checksum");
    r.type = raw[3];
    r.offset = static_cast<uint32_t>(raw[1] << 8 | raw[2]);
    r.data.assign(raw.begin() + 4, raw.end() - 1);
    return 0;
}

// Applies one record; *base is the current extended address, *done set at
// the end-of-file record.
int hex_apply(const hex_record &r, size_t line, uint64_t *base, bool *done, std::vector<image_extent> &out,
              std::string *why)
{
    std::string where = "Intel HEX line " + std::to_string(line) + ": ";
    if (r.type > HEX_START_LINEAR)
        return refuse(why, where + "unknown record type " + std::to_string(r.type));
    size_t need = r.type == HEX_SEGMENT || r.type == HEX_LINEAR ? 2 : r.type == HEX_EOF ? 0 : 4;
    if (r.type != HEX_DATA && r.data.size() != need)
        return refuse(why, where + "wrong length for its record type");
    uint32_t value = r.data.size() >= 2 ? static_cast<uint32_t>(r.data[0] << 8 | r.data[1]) : 0;
    switch (r.type) {
    case HEX_DATA:
        return add_bytes(out, *base + r.offset, r.data.data(), r.data.size(), why);
    case HEX_EOF:
        *done = true;
        return 0;
    case HEX_SEGMENT:
        *base = uint64_t{value} << 4;
        return 0;
    case HEX_LINEAR:
        *base = uint64_t{value} << 16;
        return 0;
    default:
        return 0; // an entry point: nothing to write
    }
}

bool blank(uint8_t c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Whether name ends in one of the extensions, in any case.
bool ends_in(const std::string &name, std::initializer_list<const char *> extensions)
{
    for (const char *e : extensions) {
        size_t n = strlen(e);
        if (name.size() > n && strcasecmp(name.c_str() + name.size() - n, e) == 0)
            return true;
    }
    return false;
}

} // namespace

image_format image_choose_format(const std::string &name, const uint8_t *bytes, size_t len, image_format forced)
{
    if (forced != IMAGE_UNKNOWN)
        return forced;
    if (ends_in(name, {".bin"}))
        return IMAGE_BINARY;
    if (len >= SELFMAG && std::memcmp(bytes, ELFMAG, SELFMAG) == 0)
        return IMAGE_ELF;
    size_t i = 0;
    while (i < len && blank(bytes[i]))
        i++;
    if (i < len && bytes[i] == ':')
        return IMAGE_HEX;
    if (ends_in(name, {".elf", ".axf"}))
        return IMAGE_ELF;
    if (ends_in(name, {".hex", ".ihx", ".ihex"}))
        return IMAGE_HEX;
    return IMAGE_UNKNOWN;
}

const char *image_format_name(image_format format)
{
    static const char *const names[] = {"ELF", "Intel HEX", "raw binary", "unknown"};
    return format >= IMAGE_ELF && format <= IMAGE_UNKNOWN ? names[format] : names[IMAGE_UNKNOWN];
}

int image_read(image_format format, const uint8_t *bytes, size_t len, uint32_t base, std::vector<image_extent> &out,
               std::string *why)
{
    switch (format) {
    case IMAGE_ELF:
        return image_read_elf(bytes, len, out, why);
    case IMAGE_HEX:
        return image_read_hex(bytes, len, out, why);
    case IMAGE_BINARY:
        return image_read_binary(bytes, len, base, out, why);
    default:
        out.clear();
        return refuse(why, "neither ELF (no ELF magic) nor Intel HEX (no record starting with ':'); a raw "
                           "binary is read only from a name ending in .bin, or with --format bin");
    }
}

int image_normalize(std::vector<image_extent> &extents, std::string *why)
{
    std::stable_sort(extents.begin(), extents.end(),
                     [](const image_extent &a, const image_extent &b) { return a.address < b.address; });
    std::vector<image_extent> joined;
    for (image_extent &e : extents) {
        if (e.bytes.empty())
            continue;
        uint64_t end = joined.empty() ? 0 : uint64_t{joined.back().address} + joined.back().bytes.size();
        if (!joined.empty() && e.address < end)
            return refuse(why, "image: two parts overlap at " + hex32(e.address));
        if (!joined.empty() && e.address == end)
            joined.back().bytes.insert(joined.back().bytes.end(), e.bytes.begin(), e.bytes.end());
        else
            joined.push_back(std::move(e));
    }
    extents = std::move(joined);
    return 0;
}

int image_read_elf(const uint8_t *bytes, size_t len, std::vector<image_extent> &out, std::string *why)
{
    elf_file f;
    out.clear();
    if (elf_open(f, bytes, len, "ELF image", why) != 0)
        return -1;
    size_t count = 0;
    if (elf_getphdrnum(f.elf, &count) != 0)
        return refuse(why, "ELF image: unreadable program headers (truncated?)");
    for (size_t i = 0; i < count; i++) {
        GElf_Phdr ph;
        if (gelf_getphdr(f.elf, static_cast<int>(i), &ph) == nullptr)
            return refuse(why, "ELF image: unreadable program header " + std::to_string(i));
        if (ph.p_type != PT_LOAD || ph.p_filesz == 0)
            continue;
        if (ph.p_offset > len || ph.p_filesz > len - ph.p_offset)
            return refuse(why, "ELF image: segment " + std::to_string(i) + " passes the end of the file (truncated)");
        if (add_bytes(out, ph.p_paddr, bytes + ph.p_offset, ph.p_filesz, why) != 0)
            return -1;
    }
    if (out.empty())
        return refuse(why, "ELF image: no loadable segment with contents");
    return image_normalize(out, why);
}

int image_read_hex(const uint8_t *text, size_t len, std::vector<image_extent> &out, std::string *why)
{
    out.clear();
    uint64_t base = 0;
    bool done = false;
    size_t line = 0;
    for (size_t pos = 0; pos < len;) {
        size_t end = pos;
        while (end < len && text[end] != '\n')
            end++;
        line++;
        size_t stop = end;
        while (stop > pos && blank(text[stop - 1]))
            stop--;
        if (stop > pos) {
            if (done)
                return refuse(why, "Intel HEX line " + std::to_string(line) + ": data after the end-of-file record");
            if (text[pos] != ':')
                return refuse(why, "Intel HEX line " + std::to_string(line) + ": a record must start with ':'");
            hex_record r;
            if (hex_decode(text + pos + 1, stop - pos - 1, line, r, why) != 0 ||
                hex_apply(r, line, &base, &done, out, why) != 0)
                return -1;
        }
        pos = end + 1;
    }
    if (!done)
        return refuse(why, "Intel HEX: no end-of-file record (truncated?)");
    return image_normalize(out, why);
}

int image_read_binary(const uint8_t *bytes, size_t len, uint32_t base, std::vector<image_extent> &out, std::string *why)
{
    out.clear();
    if (len == 0)
        return refuse(why, "binary image: empty file");
    return add_bytes(out, base, bytes, len, why);
}

} // namespace tarvex_images
