// One virtual probe on umockdev's simulated bus: its sysfs entry, its
// /dev/bus/usb node and the usbfs ioctls the real libusb sends to it.
#pragma once

#include <umockdev.h>

#include <cstdint>
#include <string>
#include <vector>

#include "probe_model.h"

namespace vprobe
{

struct usb_device;

// Creates the device in the testbed (plugged unless cfg.absent). index
// numbers the probe on the bus (device address 2 + index).
usb_device *usb_device_new(UMockdevTestbed *tb, const probe_config &cfg, int index);
void usb_device_plug(usb_device *d);
void usb_device_unplug(usb_device *d);

// Runs fn with the probe model locked.
template <typename F> void usb_device_with_model(usb_device *d, F fn);
probe_view *usb_device_view(usb_device *d);
void usb_device_lock(usb_device *d);
void usb_device_unlock(usb_device *d);
bool usb_device_plugged(usb_device *d);

template <typename F> void usb_device_with_model(usb_device *d, F fn)
{
    usb_device_lock(d);
    fn(*usb_device_view(d));
    usb_device_unlock(d);
}

} // namespace vprobe
