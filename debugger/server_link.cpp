#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "tarvex_log.h"
#include "tarvex_text.h"
#include "target_link.h"

namespace tarvex_target
{

int link::read_core_set(const unsigned *regsels, size_t count, uint32_t *values)
{
    for (size_t i = 0; i < count; i++) {
        int rc = read_core(regsels[i], &values[i]);
        if (rc != TARGET_OK)
            return rc;
    }
    return TARGET_OK;
}

// rc is the client library's (the request got a reply or not), result the
// reply's RESULT: each is known before this is called, never read in the
// same expression as the call that sets it.
int server_link::settle(int rc, int result, bool failed)
{
    if (rc != 0) {
        lost_ = true;
        return TARGET_LOST;
    }
    last_result_ = result;
    if (!failed)
        return TARGET_OK;
    LOG_DEBUG("the probe answered result %d", result);
    return TARGET_FAILED;
}

// One "tarvex-tcp-read-regs" when the register file holds every selector
// asked for. A reply without the words (the probe's status refused them:
// a fault, or a wait the register-file command does not retry; or a server
// that sends only the result) falls back to one request per register, which
// retries waits and whose failures then say what went wrong.
int server_link::read_core_set(const unsigned *regsels, size_t count, uint32_t *values)
{
    const auto &file = tarvex::REGISTER_FILE;
    for (size_t i = 0; i < count; i++)
        if (std::find(file.begin(), file.end(), regsels[i]) == file.end())
            return link::read_core_set(regsels, count, values);
    int result = 0;
    bool have_values = false;
    std::array<uint32_t, tarvex::REGISTER_FILE.size()> words{};
    int rc = outcome(tarvex::read_register_file(*conn_, assoc_, &result, &words, &have_values), result);
    if (rc != TARGET_OK)
        return rc;
    if (!have_values) {
        LOG_DEBUG("the register file came without its words: reading the registers one by one");
        return link::read_core_set(regsels, count, values);
    }
    for (size_t i = 0; i < count; i++)
        values[i] = words[static_cast<size_t>(std::find(file.begin(), file.end(), regsels[i]) - file.begin())];
    return TARGET_OK;
}

int server_link::read_debug(uint32_t addr, uint32_t *value)
{
    int result = 0;
    int rc = tarvex::read_debug_reg(*conn_, assoc_, addr, &result, value);
    return outcome(rc, result);
}

int server_link::write_debug(uint32_t addr, uint32_t value)
{
    int result = 0;
    int rc = tarvex::write_debug_reg(*conn_, assoc_, addr, value, &result);
    return outcome(rc, result);
}

int server_link::read_core(unsigned regsel, uint32_t *value)
{
    int result = 0;
    int rc = tarvex::read_core_reg(*conn_, assoc_, regsel, &result, value);
    return outcome(rc, result);
}

int server_link::write_core(unsigned regsel, uint32_t value)
{
    int result = 0;
    int rc = tarvex::write_core_reg(*conn_, assoc_, regsel, value, &result);
    return outcome(rc, result);
}

static tarvex::mem_request mem_request_of(uint32_t assoc, uint32_t addr, uint32_t size, uint32_t count)
{
    tarvex::mem_request r;
    r.assoc = assoc;
    r.addr = addr;
    r.size = size;
    r.count = count;
    return r;
}

int server_link::read_memory(uint32_t addr, uint32_t size, uint32_t count, uint8_t *data)
{
    int result = 0;
    std::vector<uint8_t> bytes;
    int rc = tarvex::read_mem(*conn_, mem_request_of(assoc_, addr, size, count), &result, &bytes);
    rc = outcome(rc, result);
    // The server sends what it announced whether or not the read worked; a
    // short reply is a failure however its header reads.
    if (rc == TARGET_OK && bytes.size() != static_cast<size_t>(size) * count)
        rc = TARGET_FAILED;
    if (rc == TARGET_OK)
        memcpy(data, bytes.data(), bytes.size());
    return rc;
}

int server_link::write_memory(uint32_t addr, uint32_t size, uint32_t count, const uint8_t *data)
{
    int result = 0;
    int rc = tarvex::write_mem(*conn_, mem_request_of(assoc_, addr, size, count), data, &result);
    return outcome(rc, result);
}

} // namespace tarvex_target
