// Packs: libzip over the bytes in memory, pugixml for the description.
#include "pack_file.h"

#include <zip.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <pugixml.hpp>
#include <strings.h>

#include "elf_memory.h"

namespace tarvex_images
{

namespace
{

constexpr zip_uint64_t MAX_MEMBER = 64u << 20; // far above any description or algorithm

struct zip_closer {
    void operator()(zip_t *z) const { zip_discard(z); }
};
using zip_handle = std::unique_ptr<zip_t, zip_closer>;

// Opens the zip in place (libzip does not copy or free the bytes).
zip_handle open_zip(const uint8_t *bytes, size_t len, std::string *why)
{
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t *src = zip_source_buffer_create(bytes, len, 0, &error);
    zip_t *z = src != nullptr ? zip_open_from_source(src, ZIP_RDONLY, &error) : nullptr;
    if (z == nullptr) {
        if (src != nullptr)
            zip_source_free(src);
        refuse(why, std::string("pack: not a readable zip (") + zip_error_strerror(&error) + ")");
    }
    zip_error_fini(&error);
    return zip_handle(z);
}

int read_entry(zip_t *z, zip_int64_t index, std::vector<uint8_t> &out, std::string *why)
{
    zip_stat_t st;
    if (zip_stat_index(z, static_cast<zip_uint64_t>(index), 0, &st) != 0 || !(st.valid & ZIP_STAT_SIZE) ||
        st.size > MAX_MEMBER)
        return refuse(why, "pack: a member has no size or is too large");
    zip_file_t *f = zip_fopen_index(z, static_cast<zip_uint64_t>(index), 0);
    if (f == nullptr)
        return refuse(why, std::string("pack: cannot open a member (") + zip_strerror(z) + ")");
    out.resize(st.size);
    zip_int64_t n = zip_fread(f, out.data(), st.size);
    // libzip checks the member's CRC only when a read reaches its end.
    uint8_t past_end = 0;
    zip_int64_t end = n >= 0 ? zip_fread(f, &past_end, 1) : -1;
    zip_fclose(f);
    if (n < 0 || static_cast<zip_uint64_t>(n) != st.size || end != 0)
        return refuse(why, "pack: a member is damaged (bad checksum, short or failed read)");
    return 0;
}

bool ends_with_pdsc(const char *name)
{
    size_t n = std::strlen(name);
    return n >= 5 && strcasecmp(name + n - 5, ".pdsc") == 0;
}

// "0x..." or decimal, all of it, within 32 bits.
int parse_u32(const char *text, uint32_t *out)
{
    if (text == nullptr || *text == '\0' || *text == '-')
        return -1;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = std::strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull)
        return -1;
    *out = static_cast<uint32_t>(v);
    return 0;
}

std::string normal_path(std::string path)
{
    for (char &c : path)
        if (c == '\\')
            c = '/';
    while (path.rfind("./", 0) == 0)
        path.erase(0, 2);
    return path;
}

int read_algorithm(const pugi::xml_node &n, pack_algorithm &a, std::string *why)
{
    a.path = normal_path(n.attribute("name").as_string());
    const char *ram_start = n.attribute("RAMstart").as_string(nullptr);
    const char *ram_size = n.attribute("RAMsize").as_string(nullptr);
    a.has_ram = ram_start != nullptr && ram_size != nullptr;
    a.ram_start = a.ram_size = 0;
    a.is_default = n.attribute("default").as_bool(false);
    if (a.path.empty() || parse_u32(n.attribute("start").as_string(nullptr), &a.start) != 0 ||
        parse_u32(n.attribute("size").as_string(nullptr), &a.size) != 0 ||
        (a.has_ram && (parse_u32(ram_start, &a.ram_start) != 0 || parse_u32(ram_size, &a.ram_size) != 0)))
        return refuse(why, "pack description: algorithm '" + a.path +
                               "' lacks a name or has a bad start, size or RAM number");
    if (uint64_t{a.start} + a.size > (uint64_t{1} << 32))
        return refuse(why, "pack description: algorithm '" + a.path + "' passes 4 GiB");
    return 0;
}

// The algorithm elements directly under n, after those inherited.
int collect(const pugi::xml_node &n, std::vector<pack_algorithm> inherited, std::vector<pack_algorithm> &out,
            std::string *why)
{
    for (pugi::xml_node a = n.child("algorithm"); a; a = a.next_sibling("algorithm")) {
        pack_algorithm alg;
        if (read_algorithm(a, alg, why) != 0)
            return -1;
        inherited.push_back(alg);
    }
    out = std::move(inherited);
    return 0;
}

int walk_devices(const pugi::xml_node &n, const std::vector<pack_algorithm> &inherited, std::vector<pack_device> &out,
                 std::string *why, int depth)
{
    if (depth > 8)
        return refuse(why, "pack description: devices nested too deep");
    for (pugi::xml_node c = n.first_child(); c; c = c.next_sibling()) {
        std::string tag = c.name();
        bool device = tag == "device" || tag == "variant";
        if (!device && tag != "subFamily")
            continue;
        std::vector<pack_algorithm> mine;
        if (collect(c, inherited, mine, why) != 0)
            return -1;
        if (device) {
            const char *name = c.attribute(tag == "device" ? "Dname" : "Dvariant").as_string();
            if (*name == '\0')
                return refuse(why, "pack description: a " + tag + " without a name");
            out.push_back({name, mine});
        }
        if (walk_devices(c, mine, out, why, depth + 1) != 0)
            return -1;
    }
    return 0;
}

} // namespace

int pack_read_pdsc(const char *xml, size_t len, std::vector<pack_device> &out, std::string *why)
{
    out.clear();
    pugi::xml_document doc;
    pugi::xml_parse_result r = doc.load_buffer(xml, len);
    if (!r)
        return refuse(why, std::string("pack description: not XML (") + r.description() + " at byte " +
                               std::to_string(r.offset) + ")");
    pugi::xml_node devices = doc.child("package").child("devices");
    if (!doc.child("package"))
        return refuse(why, "pack description: no <package> element");
    for (pugi::xml_node family = devices.child("family"); family; family = family.next_sibling("family")) {
        std::vector<pack_algorithm> algorithms;
        if (collect(family, {}, algorithms, why) != 0 || walk_devices(family, algorithms, out, why, 0) != 0)
            return -1;
    }
    return 0;
}

int pack_read(const uint8_t *bytes, size_t len, std::vector<pack_device> &out, std::string *why)
{
    out.clear();
    zip_handle z = open_zip(bytes, len, why);
    if (!z)
        return -1;
    zip_int64_t count = zip_get_num_entries(z.get(), 0);
    for (zip_int64_t i = 0; i < count; i++) {
        const char *name = zip_get_name(z.get(), static_cast<zip_uint64_t>(i), 0);
        if (name == nullptr || !ends_with_pdsc(name))
            continue;
        std::vector<uint8_t> xml;
        if (read_entry(z.get(), i, xml, why) != 0)
            return -1;
        return pack_read_pdsc(reinterpret_cast<const char *>(xml.data()), xml.size(), out, why);
    }
    return refuse(why, "pack: no .pdsc description inside");
}

int pack_member(const uint8_t *bytes, size_t len, const std::string &path, std::vector<uint8_t> &out, std::string *why)
{
    out.clear();
    zip_handle z = open_zip(bytes, len, why);
    if (!z)
        return -1;
    std::string wanted = normal_path(path);
    zip_int64_t count = zip_get_num_entries(z.get(), 0);
    for (zip_int64_t i = 0; i < count; i++) {
        const char *name = zip_get_name(z.get(), static_cast<zip_uint64_t>(i), 0);
        if (name != nullptr && normal_path(name) == wanted)
            return read_entry(z.get(), i, out, why);
    }
    return refuse(why, "pack: no member " + wanted);
}

const pack_device *pack_find_device(const std::vector<pack_device> &devices, const std::string &name)
{
    for (const pack_device &d : devices)
        if (strcasecmp(d.name.c_str(), name.c_str()) == 0)
            return &d;
    return nullptr;
}

} // namespace tarvex_images
