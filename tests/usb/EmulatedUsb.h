#pragma once
// USB devices emulated under umockdev, for testing the libusb backend with an
// unmodified libusb in this process: a sysfs entry per device (with its
// descriptors and serial attribute) and a usbfs device node whose requests an
// ioctl handler answers on umockdev's own thread.
//
// The handler holds a unit of work in flight (platform::InFlight) from the
// moment a request of libusb can be reaped until libusb asks again and finds
// nothing more: libusb runs the completions of what it reaped before it asks
// again, so the count never drops to zero between the device's answer and
// the driver's completion.
//
// The testbed must exist before libusb starts (a driver's first enumeration
// or open), and outlive it.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/EventLoop.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace nimbrel::testing {

struct UsbDeviceProfile {
  std::string sysfsName = "1-4";  // under the root hub of bus 1
  int address = 2;
  bool hasSerial = true;
  std::string serial = "00000000051B";  // the sysfs attribute and string descriptor 3
  std::uint8_t deviceClass = 0x00;
  std::uint16_t vendor = 0xFFF0;
  std::uint16_t product = 0x0001;
  // Endpoint addresses of interface 0, in descriptor order.
  std::vector<std::uint8_t> endpoints = {0x01, 0x82};
  std::map<int, std::string> strings = {{1, "Nimbrel Test"}, {2, "Test Scanner"}, {3, "00000000051B"}};
  // A kernel driver bound to interface 0 until libusb detaches it.
  bool kernelDriverBound = false;
};

// A scanner's descriptor set: device descriptor then configuration.
std::vector<std::uint8_t> DeviceDescriptor(const UsbDeviceProfile& profile);
std::vector<std::uint8_t> ConfigurationDescriptor(const UsbDeviceProfile& profile);

struct ControlRecord {
  std::uint8_t bmRequestType = 0, bRequest = 0;
  std::uint16_t wValue = 0, wIndex = 0, wLength = 0;
  std::vector<std::uint8_t> data;  // OUT data stage
};

class EmulatedDevice {
 public:
  EmulatedDevice(UsbDeviceProfile profile, platform::InFlight* inFlight);
  ~EmulatedDevice();
  EmulatedDevice(const EmulatedDevice&) = delete;
  EmulatedDevice& operator=(const EmulatedDevice&) = delete;

  const UsbDeviceProfile& profile() const { return profile_; }
  std::string SysPath() const;  // "/sys/devices/.../1-4"
  std::string DevNode() const;  // "/dev/bus/usb/001/002"

  // Data the device sends on an IN endpoint, one transfer each.
  void QueueIn(std::uint8_t endpoint, std::vector<std::uint8_t> bytes);
  // The device's answers to what the host writes: called on the handler's
  // thread for every OUT transfer, with the device's lock held (so it must
  // not call the device); what it returns is queued as by QueueIn.
  using Answer = std::pair<std::uint8_t, std::vector<std::uint8_t>>;
  using Responder = std::function<std::vector<Answer>(std::uint8_t endpoint, const std::vector<std::uint8_t>& bytes)>;
  void SetResponder(Responder responder);
  // The next transfer on the endpoint (0 for the control pipe) ends with
  // this URB status (-EPIPE a stall, -EOVERFLOW babble, -EPROTO an error).
  void FailNext(std::uint8_t endpoint, int urbStatus);
  // The device stops answering as one that was unplugged: what is pending
  // ends with -ESHUTDOWN, every later request fails with ENODEV.
  void Vanish();

  // Blocks until an IN transfer is pending on the endpoint.
  void WaitForPendingIn(std::uint8_t endpoint);

  // Cancelled requests stay with the device (the cancel itself succeeds)
  // until ReleaseCancelled gives them back, with these bytes already in
  // them, as a read cut off part-way.
  void HoldCancelled();
  void WaitForCancelled(std::size_t count);
  void ReleaseCancelled(const std::vector<std::uint8_t>& partial);

  std::vector<std::vector<std::uint8_t>> Written(std::uint8_t endpoint) const;
  std::vector<ControlRecord> Controls() const;
  std::uint32_t Register(std::uint8_t reg) const;
  void SetRegister(std::uint8_t reg, std::uint32_t value);
  int Opens() const;
  int Claims() const;
  int Releases() const;
  int Resets() const;
  bool KernelDriverBound() const;
  int PendingIn(std::uint8_t endpoint) const;

  // Handler side.
  bool HandleIoctl(UMockdevIoctlClient* client);
  void ClientConnected();
  UMockdevIoctlBase* handler() const { return handler_; }

 private:
  struct Urb {
    UMockdevIoctlData* data = nullptr;  // the client's usbdevfs_urb, resolved (a reference)
    std::uint8_t endpoint = 0;
    std::uint8_t type = 0;
  };
  struct Done {
    Urb urb;
    int status = 0;
    int actual = 0;
  };

  void SubmitLocked(UMockdevIoctlData* urbData, UMockdevIoctlClient* client);
  void QueueInLocked(std::uint8_t endpoint, std::vector<std::uint8_t> bytes);
  void ControlLocked(Urb& urb, std::uint8_t* buffer, int length);
  void CompleteLocked(const Urb& urb, int status, int actual);
  bool FillInLocked(Urb& urb);
  int TakeFailureLocked(std::uint8_t endpoint);
  void Reap(UMockdevIoctlClient* client);
  void Discard(UMockdevIoctlClient* client);

  UsbDeviceProfile profile_;
  platform::InFlight* inFlight_;
  UMockdevIoctlBase* handler_ = nullptr;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::uint8_t, std::deque<std::vector<std::uint8_t>>> inQueue_;
  Responder responder_;
  std::map<std::uint8_t, std::deque<int>> failures_;
  std::map<std::uint8_t, std::vector<std::vector<std::uint8_t>>> written_;
  std::vector<ControlRecord> controls_;
  std::map<std::uint8_t, std::uint32_t> registers_;
  std::vector<Urb> flying_;
  bool holdCancelled_ = false;
  std::vector<Urb> cancelled_;
  std::deque<Done> reapable_;
  std::int64_t heldUnits_ = 0;
  bool gone_ = false;
  bool driverBound_ = false;
  bool driverDetached_ = false;
  int opens_ = 0, claims_ = 0, releases_ = 0, resets_ = 0;
};

class EmulatedUsb {
 public:
  // A testbed with the root hub of bus 1 (when withBus), no devices yet.
  explicit EmulatedUsb(platform::InFlight* inFlight = nullptr, bool withBus = true);
  ~EmulatedUsb();
  EmulatedUsb(const EmulatedUsb&) = delete;
  EmulatedUsb& operator=(const EmulatedUsb&) = delete;

  // Adds a device (its "add" uevent reaches a running libusb).
  EmulatedDevice& Add(const UsbDeviceProfile& profile);
  // A device of another subsystem, and the interface entry of a USB device.
  void AddSerialPort();
  void AddInterfaceOf(const EmulatedDevice& device);
  // How a departure reaches libusb here: the "remove" uevent reaches its
  // hot-plug (a device-left event) but ends no request, since the device
  // node stays connected and keeps answering; removing the sysfs entry alone
  // sends no uevent and reaches nothing. Requests end only when the device
  // gives them back (EmulatedDevice::Vanish, as the kernel does after a
  // disconnect), which libusb reports as LIBUSB_TRANSFER_NO_DEVICE. The node
  // never reports an error to poll, so libusb's own disconnect handling
  // never runs.
  //
  // Only the "remove" uevent.
  void RemoveUevent(const EmulatedDevice& device);
  // The whole departure: the device vanishes, then the uevent, then sysfs.
  void Unplug(EmulatedDevice& device);

  std::string RootDir() const;

 private:
  UMockdevTestbed* testbed_ = nullptr;
  platform::InFlight* inFlight_;
  std::vector<std::unique_ptr<EmulatedDevice>> devices_;
};

}  // namespace nimbrel::testing
