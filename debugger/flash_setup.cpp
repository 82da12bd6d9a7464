// Where the loader's inputs come from: files, packs, and the target's own
// identity for the shipped algorithm.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "flash_loader.h"
#include "flash_runner.h"
#include "pack_file.h"

namespace tarvex_flash
{

using namespace tarvex_target;
using tarvex_target::link; // not the POSIX link()

constexpr const char *SHIPPED_ALGO = "tarvex-virtual-target.FLM";
constexpr const char *HELPER_ROUTINE = "tarvex-flash-helper.bin";

static int read_whole(const std::string &path, std::vector<uint8_t> *out, std::string *why)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        *why = "cannot open " + path + ": " + strerror(errno);
        return -1;
    }
    uint8_t block[65536];
    size_t n;
    while ((n = fread(block, 1, sizeof(block), f)) > 0)
        out->insert(out->end(), block, block + n);
    bool bad = ferror(f) != 0;
    fclose(f);
    if (bad)
        *why = "cannot read " + path;
    return bad ? -1 : 0;
}

static bool readable(const std::string &path)
{
    return access(path.c_str(), R_OK) == 0;
}

static std::string executable_dir()
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0)
        return "";
    path[n] = '\0';
    char *slash = strrchr(path, '/');
    return slash == nullptr ? "" : std::string(path, slash);
}

// The executable's ../share/tarvex, written without the "..". The build
// tree only for a program that runs from it: an installed one must not
// lean on a tree that happens to be there.
static std::vector<std::string> data_dirs(const flash_source &source)
{
    std::vector<std::string> dirs;
    if (!source.data_dir.empty())
        dirs.push_back(source.data_dir);
    const char *env = getenv("TARVEX_DATA_DIR");
    if (env != nullptr && *env != '\0')
        dirs.push_back(env);
    std::string exe = executable_dir();
    size_t slash = exe.rfind('/');
    if (slash != std::string::npos)
        dirs.push_back(exe.substr(0, slash) + "/share/tarvex");
#ifdef TARVEX_BUILD_DATA_DIR
    std::string tree = TARVEX_BUILD_TREE;
    if (exe == tree || exe.rfind(tree + "/", 0) == 0)
        dirs.push_back(TARVEX_BUILD_DATA_DIR);
#endif
    return dirs;
}

std::string flash_data_file(const flash_source &source, const char *name)
{
    for (const std::string &d : data_dirs(source))
        if (readable(d + "/" + name))
            return d + "/" + name;
    return "";
}

static int parse_algo(const std::vector<uint8_t> &bytes, const std::string &what, tarvex_images::flash_algo *algo,
                      std::string *why)
{
    std::string reason;
    if (tarvex_images::flash_algo_parse(bytes.data(), bytes.size(), *algo, &reason) == 0)
        return 0;
    *why = what + " is not a usable flash algorithm: " + reason;
    return -1;
}

static int load_from_pack(const flash_source &source, flash_setup *setup, std::string *why)
{
    std::vector<uint8_t> pack, member;
    std::vector<tarvex_images::pack_device> devices;
    std::string reason;
    if (read_whole(source.pack_path, &pack, why) != 0)
        return -1;
    if (tarvex_images::pack_read(pack.data(), pack.size(), devices, &reason) != 0) {
        *why = source.pack_path + " is not a usable pack: " + reason;
        return -1;
    }
    const tarvex_images::pack_device *dev = tarvex_images::pack_find_device(devices, source.device);
    if (dev == nullptr || dev->algorithms.empty()) {
        *why = source.pack_path + " has no flash algorithm for a device named " + source.device;
        return -1;
    }
    // The default algorithm, else the first.
    const tarvex_images::pack_algorithm *a = &dev->algorithms[0];
    for (const tarvex_images::pack_algorithm &each : dev->algorithms)
        if (each.is_default)
            a = &each;
    if (tarvex_images::pack_member(pack.data(), pack.size(), a->path, member, &reason) != 0) {
        *why = source.pack_path + ": " + reason;
        return -1;
    }
    if (a->has_ram) {
        setup->work_base = a->ram_start;
        setup->work_size = a->ram_size;
    }
    return parse_algo(member, source.pack_path + ":" + a->path, &setup->algo, why);
}

// No algorithm named: the target says what it is.
static int load_shipped(link &l, const flash_source &source, flash_setup *setup, std::string *why)
{
    uint32_t devid = 0;
    int rc = l.read_debug(VIRTUAL_TARGET_DEVID_ADDR, &devid);
    if (rc != TARGET_OK || devid != VIRTUAL_TARGET_DEVID) {
        *why = "no flash algorithm for this target: give --algo FLM or --pack PACK --device NAME";
        return -1;
    }
    std::string path = flash_data_file(source, SHIPPED_ALGO);
    std::vector<uint8_t> bytes;
    if (path.empty()) {
        *why = std::string("the virtual target's algorithm ") + SHIPPED_ALGO +
               " is not installed (set TARVEX_DATA_DIR or give --algo)";
        return -1;
    }
    return read_whole(path, &bytes, why) == 0 ? parse_algo(bytes, path, &setup->algo, why) : -1;
}

// What the loader goes without when it has no helper.
constexpr const char *WITHOUT_HELPER = ": every sector the image touches is erased and programmed again, unchanged "
                                       "or not, one call a page, and only the algorithm's Verify can verify";

// The helper, or a warning naming where it was looked for.
static void load_helper(const flash_source &source, flash_setup *setup)
{
    std::string path = flash_data_file(source, HELPER_ROUTINE), why;
    if (path.empty()) {
        std::string dirs;
        for (const std::string &d : data_dirs(source))
            dirs += (dirs.empty() ? "" : ", ") + d;
        setup->warning = std::string("the flash helper ") + HELPER_ROUTINE + " is in none of " + dirs + WITHOUT_HELPER;
        return;
    }
    if (read_whole(path, &setup->helper, &why) == 0 && flash_helper_current(setup->helper))
        return;
    setup->helper.clear();
    if (why.empty())
        why = path + " is not the flash helper this loader was built with";
    setup->warning = why + WITHOUT_HELPER;
}

int flash_setup_load(link &l, const flash_source &source, flash_setup *setup, std::string *why)
{
    int rc;
    std::vector<uint8_t> bytes;
    if (!source.algo_path.empty())
        rc = read_whole(source.algo_path, &bytes, why) == 0 ? parse_algo(bytes, source.algo_path, &setup->algo, why)
                                                            : -1;
    else if (!source.pack_path.empty())
        rc = load_from_pack(source, setup, why);
    else
        rc = load_shipped(l, source, setup, why);
    if (rc != 0)
        return rc;
    load_helper(source, setup);
    return 0;
}

// A raw binary has no address of its own, and the other forms carry theirs:
// a missing or a needless --base is a mistake, never a guess.
static int check_base(const std::string &path, tarvex_images::image_format format, const uint32_t *base,
                      std::string *why)
{
    if (format == tarvex_images::IMAGE_BINARY && base == nullptr)
        *why = path + " is a raw binary, which says nowhere where it goes: give --base ADDR, the address of its "
                      "first byte";
    else if (format != tarvex_images::IMAGE_BINARY && base != nullptr)
        *why = std::string("--base is for a raw binary, and ") + path + " is " +
               tarvex_images::image_format_name(format) + ", whose parts carry their own addresses";
    else
        return 0;
    return -1;
}

int flash_image_load(const std::string &path, tarvex_images::image_format forced, const uint32_t *base,
                     std::vector<tarvex_images::image_extent> *image, std::string *why)
{
    std::vector<uint8_t> bytes;
    if (read_whole(path, &bytes, why) != 0)
        return -1;
    tarvex_images::image_format format = tarvex_images::image_choose_format(path, bytes.data(), bytes.size(), forced);
    if (format != tarvex_images::IMAGE_UNKNOWN && check_base(path, format, base, why) != 0)
        return -1;
    std::string reason;
    int rc =
        tarvex_images::image_read(format, bytes.data(), bytes.size(), base != nullptr ? *base : 0, *image, &reason);
    if (rc == 0 && image->empty()) {
        rc = -1;
        reason = "nothing to load";
    }
    if (rc != 0)
        *why = path + " is not a usable image: " + reason;
    return rc;
}

} // namespace tarvex_flash
