// Arbitrary probe replies into the driver. Runs under tarvex-vprobe --fast
// (see scripts/test --fuzz): the virtual probe answers the next command that
// has a reply with the input's bytes, of whatever length, and one driver
// operation chosen by the input's first byte decodes it.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "libusb1_common.h"
#include "list_tarvex.h"
#include "tarvex_log.h"
#include "probe_bus.h"
#include "tarvex_api.h"
#include "tarvex_usb.h"

namespace
{

vprobe::probe_bus bus;
tarvex_usb_handle_s *handle;

bool open_first_probe()
{
    const char *path = getenv("TARVEX_VPROBE_BUS");
    if (path == nullptr || vprobe::bus_attach(bus, path) != 0)
        return false;
    if (tarvex_libusb_init() != 0 || tarvex_init() != 1)
        return false;
    tarvex_usb *entry = nth(0);
    if (entry == nullptr || tarvex_libusb_real_open(entry) != 0 || tarvex_usb_open(entry) != ERROR_OK)
        return false;
    handle = entry->dev;
    return true;
}

void script_reply(const uint8_t *reply, size_t len)
{
    uint8_t one = 0;
    if (len == 0) { // an empty script would leave the reply pending until the time-out
        reply = &one;
        len = 1;
    }
    if (len > vprobe::SCRIPT_SIZE)
        len = vprobe::SCRIPT_SIZE;
    vprobe::bus_lock(bus);
    vprobe::probe_view v = vprobe::bus_view(bus, 0);
    vprobe::probe_set_script(v, reply, static_cast<uint32_t>(len));
    vprobe::bus_unlock(bus);
}

void run_operation(uint8_t which)
{
    tarvex_usb_handle_s *h = handle;
    uint32_t value = 0;
    uint8_t mode = 0;
    uint8_t mem[1024];
    uint32_t freq[TARVEX_COM_FREQ_SLOTS];
    uint32_t size = sizeof(mem);
    float voltage = 0;
    struct tarvex_usb_version version;
    switch (which % 16) {
    case 0:
        tarvex_usb_version(h, 0, &version);
        break;
    case 1:
        tarvex_usb_check_voltage(h, &voltage, 1);
        break;
    case 2:
        tarvex_usb_current_mode(h, &mode, 1);
        break;
    case 3:
        tarvex_usb_read_debug_reg(h, 0xE000EDF0, &value, 0, 1);
        break;
    case 4:
        tarvex_usb_read_reg(h, 15, &value, 0, 1);
        break;
    case 5:
        tarvex_usb_read_regs(h, 0, 1);
        break;
    case 6:
        tarvex_usb_get_rw_status(h, 1);
        break;
    case 7:
        tarvex_get_com_freq(h, 0, freq);
        tarvex_speed_v3(h, freq, 1000, true, 1);
        break;
    case 8:
        tarvex_usb_trace_read(h, mem, &size, 1);
        break;
    case 9:
        tarvex_usb_read_mem(h, 0x20000002, 4, 64, mem, 0, 1);
        break;
    case 10:
        tarvex_usb_read_mem8(h, 0x20000000, 1, mem, 0, 1);
        break;
    case 11:
        tarvex_usb_idcode(h, &value, 1);
        break;
    case 12:
        tarvex_usb_state(h, 1);
        break;
    case 13:
        tarvex_exit_mode(h, 1);
        break;
    case 14:
        tarvex_usb_init_mode(h, true, HL_TRANSPORT_SWD, 1);
        break;
    default:
        tarvex_usb_blink_led(h);
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    log_init();
    handle_log_output_command("/dev/null");
    debug_level = LOG_LVL_DEBUG;
    if (!open_first_probe())
        abort(); // only meaningful under the virtual probe launcher
    uint32_t freq = 0;
    tarvex_config_trace(handle, true, TPIU_PIN_PROTOCOL_ASYNC_UART, 1, &freq, 1); // so trace reads reach the probe
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    script_reply(data + 1, size - 1);
    run_operation(data[0]);
    return 0;
}
