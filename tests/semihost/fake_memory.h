// A target's memory as a few mapped regions, for driving the semihosting
// module in memory: an access that touches any unmapped byte fails whole,
// as a probe's transfer does.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "semihosting.h"

namespace semihost_test
{

struct fake_region {
    uint32_t base;
    std::vector<uint8_t> bytes;
};

struct fake_memory {
    std::vector<fake_region> regions;
    int reads = 0;

    void map(uint32_t base, uint32_t size) { regions.push_back({base, std::vector<uint8_t>(size)}); }
    uint8_t *at(uint32_t addr, uint32_t len)
    {
        for (fake_region &r : regions)
            if (addr >= r.base && uint64_t(addr) + len <= uint64_t(r.base) + r.bytes.size())
                return r.bytes.data() + (addr - r.base);
        return nullptr;
    }
    void put(uint32_t addr, const void *data, uint32_t len) { memcpy(at(addr, len), data, len); }
    void put_text(uint32_t addr, const std::string &text) { put(addr, text.c_str(), uint32_t(text.size() + 1)); }
    void put_words(uint32_t addr, const std::vector<uint32_t> &words)
    {
        for (size_t i = 0; i < words.size(); i++) {
            uint8_t b[4] = {uint8_t(words[i]), uint8_t(words[i] >> 8), uint8_t(words[i] >> 16),
                            uint8_t(words[i] >> 24)};
            put(uint32_t(addr + 4 * i), b, 4);
        }
    }
    uint32_t word(uint32_t addr)
    {
        const uint8_t *b = at(addr, 4);
        return b ? b[0] | b[1] << 8 | b[2] << 16 | uint32_t(b[3]) << 24 : 0xDEADBEEF;
    }
    std::string text(uint32_t addr, uint32_t len)
    {
        const uint8_t *b = at(addr, len);
        return b ? std::string(reinterpret_cast<const char *>(b), len) : "<unmapped>";
    }

    static int read(void *ctx, uint32_t addr, uint8_t *data, uint32_t len)
    {
        fake_memory *m = static_cast<fake_memory *>(ctx);
        m->reads++;
        const uint8_t *b = m->at(addr, len);
        if (!b)
            return -1;
        memcpy(data, b, len);
        return 0;
    }
    static int write(void *ctx, uint32_t addr, const uint8_t *data, uint32_t len)
    {
        uint8_t *b = static_cast<fake_memory *>(ctx)->at(addr, len);
        if (!b)
            return -1;
        memcpy(b, data, len);
        return 0;
    }
    tarvex_semihost::semihost_memory callbacks() { return {this, read, write}; }
};

} // namespace semihost_test
