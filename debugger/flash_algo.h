// Reader of flash algorithms in the CMSIS-Pack format (.FLM: an Arm ELF
// with the sections PrgCode, PrgData and DevDscr): the bytes to load, where
// the functions start, and the device description, checked so that the
// loader may trust every offset and size in the record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvex_images
{

constexpr uint32_t ALGO_ABSENT = 0xFFFFFFFF; // an optional function the algorithm lacks

// One pair of the device's sector list: sectors of `size` bytes from
// `offset` (from the device address) up to the next pair's offset.
struct flash_sector_run {
    uint32_t size;
    uint32_t offset;
};

// FlashDevice, decoded.
struct flash_device_desc {
    uint16_t version;
    std::string name;
    uint16_t type;
    uint32_t address; // DevAdr
    uint32_t size;    // szDev
    uint32_t page_size;
    uint8_t empty; // valEmpty: what erased bytes read
    uint32_t program_timeout_ms;
    uint32_t erase_timeout_ms;
    std::vector<flash_sector_run> sectors; // without the end marker
};

struct flash_algo {
    std::vector<uint8_t> code; // PrgCode, loaded at the load address
    std::vector<uint8_t> data; // PrgData's initialised part, at load address + data_offset
    uint32_t data_offset;      // where R9 points, from the load address
    uint32_t zero_size;        // PrgData's NOBITS part, zeroed, right after `data`
    // Function entries as offsets from the load address (Thumb bit clear).
    uint32_t init, uninit, erase_sector, program_page;
    uint32_t erase_chip, blank_check, verify; // ALGO_ABSENT when missing
    flash_device_desc device;
};

// Reads an .FLM held in memory. Returns 0, or -1 with *why saying what is
// wrong (truncated, a section or symbol missing or out of place, a bad
// sector list).
int flash_algo_parse(const uint8_t *bytes, size_t len, flash_algo &out, std::string *why);

// Bytes from the load address to the end of the zeroed data.
uint32_t flash_algo_span(const flash_algo &a);
// The memory image to write at the load address: code, gap, data, zeros.
std::vector<uint8_t> flash_algo_image(const flash_algo &a);

// The sector holding `offset` (from the device address): its start and
// size. Returns 0, or -1 when offset lies outside the device.
int flash_sector_find(const flash_device_desc &d, uint32_t offset, uint32_t *start, uint32_t *size);

// The checksum the loader's helper computes on the target over a range
// (vprobe/firmware/flash_helper.c), for comparing it with an image.
uint32_t flash_checksum(const uint8_t *data, size_t len);

} // namespace tarvex_images
