// Reader of CMSIS packs (.pack: a zip with a .pdsc XML description): per
// device, the flash algorithms it names, with the flash range each
// programs and the RAM it may use; and the members (the .FLM files).
// Algorithms declared on a family or sub-family apply to its devices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvex_images
{

struct pack_algorithm {
    std::string path; // inside the pack, with '/' separators
    uint32_t start;   // flash range the algorithm programs
    uint32_t size;
    bool has_ram; // RAMstart and RAMsize given
    uint32_t ram_start;
    uint32_t ram_size;
    bool is_default;
};

struct pack_device {
    std::string name; // Dname, or Dvariant for a variant
    std::vector<pack_algorithm> algorithms;
};

// The devices of a .pdsc document. Returns 0, or -1 with *why (not XML,
// not a package description, a bad number).
int pack_read_pdsc(const char *xml, size_t len, std::vector<pack_device> &out, std::string *why);

// The devices of the .pdsc inside a pack held in memory.
int pack_read(const uint8_t *bytes, size_t len, std::vector<pack_device> &out, std::string *why);

// A member of the pack (e.g. an algorithm's path), whole. Returns 0, or -1
// with *why (not a zip, no such member, a damaged member).
int pack_member(const uint8_t *bytes, size_t len, const std::string &path, std::vector<uint8_t> &out, std::string *why);

// The device named `name` (case-insensitive), or null.
const pack_device *pack_find_device(const std::vector<pack_device> &devices, const std::string &name);

} // namespace tarvex_images
