// One virtual probe on umockdev's simulated bus: its sysfs entry, its
// /dev/bus/usb node and, unless the served process answers the usbfs calls
// itself (fast mode), the ioctls the real libusb sends to the node.
#pragma once

#include <umockdev.h>

#include <cstdint>

#include "probe_bus.h"

namespace vprobe
{

struct usb_device;

// The device for slot `index` of the bus, plugged unless its config says
// absent. With fast set no ioctl handler is attached.
usb_device *usb_device_new(UMockdevTestbed *tb, probe_bus *bus, uint32_t index, bool fast);
void usb_device_plug(usb_device *d);
// In-flight URBs fail with -ESHUTDOWN, later ioctls with ENODEV, and udev sees
// a remove event so libusb drops the device from its list.
void usb_device_unplug(usb_device *d);
bool usb_device_plugged(usb_device *d);

} // namespace vprobe
