#pragma once
// The driver layer over libusb-1.0: scanners attached to this machine's USB.
//
// Device paths have the form "usb:<bus>-<ports>:<address>:<serial>", for
// example "usb:1-4.2:007:00000000051B": the device's place on its bus (as
// sysfs names it), its current address (so a replugged device gets a new
// path) and its USB serial-number string as sysfs reports it, read without
// opening the device. Characters of the serial outside printable ASCII, and
// backslashes, appear as '_'. Hubs are not listed.
//
// A machine without a USB subsystem (no /dev/bus/usb or /sys/bus/usb) has no
// devices: enumeration fails with a trace line.
//
// Device events come from one thread of the backend. The sink runs under a
// lock that SetDeviceEventSink takes too: once SetDeviceEventSink returns,
// the sink it replaced is not running and never runs again, so a sink must
// not wait for the thread that changes sinks.

#include <memory>

#include "usb/Driver.h"

namespace nimbrel::usb {

std::unique_ptr<Driver> MakeLibusbDriver(const DriverOptions& options);

}  // namespace nimbrel::usb
