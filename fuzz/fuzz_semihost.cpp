// Semihosting requests from a hostile firmware: a few (operation, R1)
// pairs against a target memory whose RAM holds the rest of the input, so
// parameter blocks, lengths, handles and names are all the fuzzer's. The
// console is /dev/null and no directory is given, so nothing on the host
// changes; any crash, or an R0 the operation cannot give, is a finding.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "fake_memory.h"
#include "semihosting.h"

using namespace tarvex_semihost;

namespace
{

constexpr uint32_t RAM = 0x20000000;
constexpr uint32_t RAM_SIZE = 0x10000;
constexpr size_t REQUEST = 8;
constexpr int MAX_REQUESTS = 8;

uint32_t word(const uint8_t *b)
{
    return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
}

// Mostly the operations and RAM addresses that exist, sometimes anything.
uint32_t op_of(uint32_t raw)
{
    return raw & 0x80000000u ? raw : raw & 0x3F;
}

uint32_t param_of(uint32_t raw)
{
    return raw & 0x80000000u ? raw : RAM + (raw & (RAM_SIZE - 1));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (size < 1)
        return 0;
    int requests = 1 + data[0] % MAX_REQUESTS;
    size_t header = 1 + REQUEST * static_cast<size_t>(requests);
    if (size < header)
        return 0;
    semihost_test::fake_memory mem;
    mem.map(0, 0x1000);
    mem.map(RAM, RAM_SIZE);
    memcpy(mem.at(RAM, 0), data + header, std::min<size_t>(size - header, RAM_SIZE));
    semihost_session s;
    semihost_session_init(s, mem.callbacks(), null_fd, null_fd, null_fd, {"fuzz", "args"});
    for (int i = 0; i < requests; i++) {
        const uint8_t *r = data + 1 + REQUEST * static_cast<size_t>(i);
        uint32_t op = op_of(word(r)), result = 0;
        semihost_exit exit;
        int outcome = semihost_perform(s, op, param_of(word(r + 4)), &result, &exit);
        if (outcome == SEMIHOST_EXITED && op != SYS_EXIT && op != SYS_EXIT_EXTENDED)
            __builtin_trap();
        if (outcome == SEMIHOST_DEADLINE) // the session has none
            __builtin_trap();
        if (outcome == SEMIHOST_RESUME && op == SYS_OPEN && result != SEMIHOST_FAILED &&
            (result == 0 || result > SEMIHOST_HANDLES))
            __builtin_trap();
    }
    semihost_session_close(s);
    return 0;
}
