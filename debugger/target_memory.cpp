#include "target.h"
#include "tarvex_text.h"

namespace tarvex_target
{

// Pieces no larger than one server request moves: a read of 64 KiB keeps
// a reply short enough to come back well inside its deadline; a write fits
// the server's staging buffer with its command line.
constexpr uint32_t READ_PIECE = 64 * 1024;
constexpr uint32_t WRITE_PIECE = tarvex::WRITE_MEM_PIECE;

// One access run of the range: count accesses of size bytes from addr.
struct mem_piece {
    uint32_t addr;
    uint32_t size;
    uint32_t count;
};

// Bytes up to the first word boundary, whole words in pieces of at most
// max_bytes, then the bytes after the last word.
static std::vector<mem_piece> mem_pieces(uint32_t addr, uint32_t len, uint32_t max_bytes)
{
    std::vector<mem_piece> pieces;
    uint32_t head = (4 - (addr & 3)) & 3;
    if (head > len)
        head = len;
    if (head > 0)
        pieces.push_back({addr, 1, head});
    uint32_t at = addr + head, left = len - head;
    while (left >= 4) {
        uint32_t n = left & ~3u;
        if (n > max_bytes)
            n = max_bytes;
        pieces.push_back({at, 4, n / 4});
        at += n;
        left -= n;
    }
    if (left > 0)
        pieces.push_back({at, 1, left});
    return pieces;
}

int memory_read(link &l, uint32_t addr, uint32_t len, std::vector<uint8_t> *data)
{
    data->assign(len, 0);
    for (const mem_piece &p : mem_pieces(addr, len, READ_PIECE)) {
        int rc = l.read_memory(p.addr, p.size, p.count, data->data() + (p.addr - addr));
        if (rc != TARGET_OK) {
            data->clear();
            return rc;
        }
    }
    return TARGET_OK;
}

int memory_write(link &l, uint32_t addr, const uint8_t *data, uint32_t len)
{
    for (const mem_piece &p : mem_pieces(addr, len, WRITE_PIECE)) {
        int rc = l.write_memory(p.addr, p.size, p.count, data + (p.addr - addr));
        if (rc != TARGET_OK)
            return rc;
    }
    return TARGET_OK;
}

} // namespace tarvex_target
