#pragma once
// The USB/IP backend of the driver layer: scanners exported by a USB/IP
// server (Linux's usbipd after "usbip bind", or the scanner simulator),
// reached over TCP. Only the server it is made with is ever contacted.
//
// Which devices: those with a vendor-specific interface (or device class),
// the class of the scanner's bulk interface. Other exported devices are
// never imported.
//
// Device paths: "usbip:HOST:PORT/BUSID/SERIAL", SERIAL being the device's
// USB serial-number string (iSerialNumber, read with GET_DESCRIPTOR). The
// server's device list carries no strings, so enumeration imports each
// candidate to read it.
//
// Imports: a server lets one client import a device at a time, and the
// driver holds at most one import per device. Enumeration keeps the import
// it made; opening the path (or one of its pipes) takes it over, and when
// the device's last handle is closed the import is given back (its
// connection closed). An import that is never opened stays held until the
// next enumeration reuses it or the driver is destroyed.
//
// Removal: when the connection of an opened device ends, or a reply on it
// cannot be parsed, the device-event sink gets a Removal of its path and
// the trace a line saying what happened; transfers still outstanding then
// complete with kErrorDeviceNotConnected. There are no arrival events (the
// protocol announces none). The sink is called with a lock that
// SetDeviceEventSink also takes: it must not wait for the thread that sets it.
//
// Device-control requests: GET_DRIVER_VERSION answers kNcBulkDriverVersion,
// IS_CHECKED_BUILD 0; CONTROL_SETUP keeps the setup packet per handle and
// CONTROL_DATA runs it as one control transfer on endpoint 0; RESET_DEVICE
// sends the hub port-reset request that a USB/IP server turns into a reset
// of the device; GET_LAST_USBD_STATUS answers the USBD status of the
// device's last failed transfer:
//   -EPIPE (stall)                 USBD_STATUS_STALL_PID        kErrorGenFailure
//   -ENOENT, -ECONNRESET (unlinked) USBD_STATUS_CANCELED        kErrorOperationAborted
//   -ESHUTDOWN, -ENODEV, link lost USBD_STATUS_DEV_NOT_RESPONDING kErrorDeviceNotConnected
//   -ETIME, -ETIMEDOUT             USBD_STATUS_DEV_NOT_RESPONDING kErrorSemTimeout
//   -EPROTO, -EILSEQ               USBD_STATUS_CRC              kErrorIoDevice
//   -EOVERFLOW                     USBD_STATUS_DATA_OVERRUN     kErrorIoDevice
//   -ECOMM, -ENOSR                 USBD_STATUS_BUFFER_OVERRUN   kErrorIoDevice
//   -ENOMEM                        USBD_STATUS_NO_MEMORY        kErrorNotEnoughMemory
//   -EINVAL                        USBD_STATUS_INVALID_PARAMETER kErrorInvalidParameter
//   anything else                  USBD_STATUS_REQUEST_FAILED   kErrorIoDevice
// A control transfer the server does not answer within the reply time is
// unlinked and fails with kErrorSemTimeout.

#include <memory>
#include <string>

#include "usb/Driver.h"

namespace nimbrel::usb {

struct UsbipTimeouts {
  int connectMs = 2000;  // a TCP connect to the server
  int replyMs = 5000;    // a devlist or import reply, a control transfer
};

std::unique_ptr<Driver> MakeUsbipDriver(const UsbipServer& server, platform::InFlight* inFlight,
                                        platform::Trace* trace,
                                        std::function<void(const std::string&)> operatorLog = {},
                                        UsbipTimeouts timeouts = {});

// The device path of a device exported by `server`.
std::string UsbipDevicePath(const UsbipServer& server, const std::string& busId, const std::string& serial);

// The system error and USBD status of a URB status as it travels (Linux
// error numbers, negated); 0 gives kErrorSuccess and USBD_STATUS_SUCCESS.
struct UsbipStatusMapping {
  std::uint32_t error;
  std::uint32_t usbd;
};
UsbipStatusMapping MapUsbipStatus(std::int32_t status);

}  // namespace nimbrel::usb
