#include "test_timing.h"

#include <cstdlib>
#include <cstring>

#include "common.h"
#include "tarvex_log.h"

tarvex_timing tarvex_waits = {30, TARVEX_SEND_TIMEOUT_S, TARVEX_WRITE_DATA_TIMEOUT_MS, TARVEX_IDLE_GRACE_MS, 0};

// One "key=N" item with N at least the key's least value (above zero, but
// no grace at all for the idle one); false when it is none of the keys.
static bool apply_item(const char *item, size_t len)
{
    struct key_slot {
        const char *key;
        long *as_long;
        int *as_int;
        long least;
    };
    const key_slot keys[] = {
        {"heartbeat_s=", &tarvex_waits.heartbeat_s, nullptr, 1},
        {"send_s=", nullptr, &tarvex_waits.send_timeout_s, 1},
        {"payload_ms=", nullptr, &tarvex_waits.payload_wait_ms, 1},
        {"idle_grace_ms=", nullptr, &tarvex_waits.idle_grace_ms, 0},
        {"usb_poll_ms=", nullptr, &tarvex_waits.usb_poll_ms, 1},
    };
    for (const key_slot &k : keys) {
        size_t key_len = strlen(k.key);
        if (len <= key_len || strncmp(item, k.key, key_len) != 0)
            continue;
        char *end = nullptr;
        long n = strtol(item + key_len, &end, 10);
        if (end != item + len || end == item + key_len || n < k.least || n > 1000000)
            return false;
        if (k.as_long != nullptr)
            *k.as_long = n;
        else
            *k.as_int = static_cast<int>(n);
        return true;
    }
    return false;
}

void timing_load()
{
    const char *text = getenv("TARVEX_TEST_TIMING");
    if (text == nullptr)
        return;
    while (*text != '\0') {
        size_t len = strcspn(text, ",");
        if (len > 0 && !apply_item(text, len))
            LOG_WARNING("TARVEX_TEST_TIMING: '%.*s' ignored", static_cast<int>(len), text);
        text += len;
        if (*text == ',')
            text++;
    }
}
