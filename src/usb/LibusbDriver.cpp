// The libusb-1.0 backend of the driver layer.
//
// One libusb context per driver, made when devices are first looked for, and
// one event thread that blocks in libusb_handle_events: it runs every
// transfer callback and every hot-plug callback. Transfers are submitted and
// cancelled under the driver's lock; libusb never calls back into this file
// while it holds one of its own locks that a submit or cancel takes, so the
// order (driver lock, then libusb's) is the only one.

#include "usb/LibusbDriver.h"

#include <libusb.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

namespace nimbrel::usb {

namespace {

// A control transfer that the device does not answer ends after this long.
constexpr unsigned kControlTimeoutMs = 5000;

constexpr const char* kPermissionHint =
    "USB: no permission to open the scanner. Install the udev rule packaging/udev/70-nimbrel-scanner.rules "
    "as the README's section \"Scanner access over USB (udev rule)\" says, then unplug the scanner and plug it in "
    "again.";

// Where a device sits: its bus, the ports from the root hub down, its address.
struct Location {
  int bus = 0;
  std::vector<std::uint8_t> ports;
  int address = 0;

  // The device's name in sysfs, "1-4.2" (root hubs, without ports, have none).
  std::string SysfsName() const {
    if (ports.empty()) return {};
    std::string name = std::to_string(bus) + "-";
    for (std::size_t i = 0; i < ports.size(); ++i) {
      if (i) name += '.';
      name += std::to_string(ports[i]);
    }
    return name;
  }
  std::uint32_t Key() const { return (static_cast<std::uint32_t>(bus) << 8) | static_cast<std::uint32_t>(address); }
  bool SameDevice(const Location& other) const {
    return bus == other.bus && address == other.address && ports == other.ports;
  }
  bool operator<(const Location& other) const {
    return std::tie(bus, ports, address) < std::tie(other.bus, other.ports, other.address);
  }
};

Location LocationOf(libusb_device* device) {
  Location location;
  location.bus = libusb_get_bus_number(device);
  location.address = libusb_get_device_address(device);
  std::uint8_t ports[8];
  const int count = libusb_get_port_numbers(device, ports, sizeof ports);
  if (count > 0) location.ports.assign(ports, ports + count);
  return location;
}

bool IsHub(libusb_device* device) {
  libusb_device_descriptor descriptor{};
  if (libusb_get_device_descriptor(device, &descriptor) != 0) return false;
  return descriptor.bDeviceClass == LIBUSB_CLASS_HUB;
}

// The serial number as sysfs gives it (empty when the device has none),
// fit for a device path.
std::string SysfsSerial(const std::string& sysfsName) {
  if (sysfsName.empty()) return {};
  const std::string file = "/sys/bus/usb/devices/" + sysfsName + "/serial";
  std::FILE* f = std::fopen(file.c_str(), "rb");
  if (!f) return {};
  char text[256];
  const std::size_t n = std::fread(text, 1, sizeof text, f);
  std::fclose(f);
  std::string serial(text, n);
  while (!serial.empty() && (serial.back() == '\n' || serial.back() == '\0')) serial.pop_back();
  // A backslash could make a device path look like a pipe path.
  for (char& c : serial) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x21 || u > 0x7E || c == '\\') c = '_';
  }
  return serial;
}

std::string MakeDevicePath(const Location& location, const std::string& serial) {
  char address[8];
  std::snprintf(address, sizeof address, "%03d", location.address & 0xFF);
  return "usb:" + location.SysfsName() + ":" + address + ":" + serial;
}

bool ParseNumber(const std::string& text, int max, int* value) {
  if (text.empty() || text.size() > 3) return false;
  int v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v > max) return false;
  *value = v;
  return true;
}

bool ParseDevicePath(const std::string& path, Location* location, std::string* serial) {
  static const std::string kPrefix = "usb:";
  if (path.compare(0, kPrefix.size(), kPrefix) != 0) return false;
  const std::size_t nameEnd = path.find(':', kPrefix.size());
  if (nameEnd == std::string::npos) return false;
  const std::size_t addressEnd = path.find(':', nameEnd + 1);
  if (addressEnd == std::string::npos) return false;
  const std::string name = path.substr(kPrefix.size(), nameEnd - kPrefix.size());
  const std::size_t dash = name.find('-');
  if (dash == std::string::npos) return false;
  Location parsed;
  if (!ParseNumber(name.substr(0, dash), 255, &parsed.bus)) return false;
  std::size_t start = dash + 1;
  for (;;) {
    const std::size_t dot = name.find('.', start);
    int port = 0;
    if (!ParseNumber(name.substr(start, dot == std::string::npos ? std::string::npos : dot - start), 255, &port)) {
      return false;
    }
    parsed.ports.push_back(static_cast<std::uint8_t>(port));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  if (!ParseNumber(path.substr(nameEnd + 1, addressEnd - nameEnd - 1), 255, &parsed.address)) return false;
  *location = parsed;
  *serial = path.substr(addressEnd + 1);
  return true;
}

// libusb's errors as the system errors of the layer.
std::uint32_t SystemError(int libusbError) {
  switch (libusbError) {
    case LIBUSB_SUCCESS: return kErrorSuccess;
    case LIBUSB_ERROR_IO: return kErrorIoDevice;
    case LIBUSB_ERROR_INVALID_PARAM: return kErrorInvalidParameter;
    case LIBUSB_ERROR_ACCESS: return kErrorAccessDenied;
    case LIBUSB_ERROR_NO_DEVICE: return kErrorDeviceNotConnected;
    case LIBUSB_ERROR_NOT_FOUND: return kErrorFileNotFound;
    case LIBUSB_ERROR_BUSY: return kErrorAccessDenied;  // another program or driver holds it
    case LIBUSB_ERROR_TIMEOUT: return kErrorSemTimeout;
    case LIBUSB_ERROR_OVERFLOW: return kErrorGenFailure;
    case LIBUSB_ERROR_PIPE: return kErrorGenFailure;
    case LIBUSB_ERROR_INTERRUPTED: return kErrorOperationAborted;
    case LIBUSB_ERROR_NO_MEM: return kErrorNotEnoughMemory;
    case LIBUSB_ERROR_NOT_SUPPORTED: return kErrorNotSupported;
    default: return kErrorGenFailure;
  }
}

std::uint32_t SystemErrorOfStatus(int status) {
  switch (status) {
    case LIBUSB_TRANSFER_COMPLETED: return kErrorSuccess;
    case LIBUSB_TRANSFER_TIMED_OUT: return kErrorSemTimeout;
    case LIBUSB_TRANSFER_CANCELLED: return kErrorOperationAborted;
    case LIBUSB_TRANSFER_NO_DEVICE: return kErrorDeviceNotConnected;
    default: return kErrorGenFailure;  // error, stall, overflow
  }
}

// The USBD status a failed transfer leaves on its device:
//   stall                       USBD_STATUS_STALL_PID
//   device gone                 USBD_STATUS_DEV_NOT_RESPONDING
//   overflow (device babbled)   USBD_STATUS_DATA_OVERRUN
//   cancelled                   USBD_STATUS_CANCELED
//   anything else (error, time-out)  USBD_STATUS_REQUEST_FAILED
std::uint32_t UsbdStatusOfStatus(int status) {
  switch (status) {
    case LIBUSB_TRANSFER_COMPLETED: return USBD_STATUS_SUCCESS;
    case LIBUSB_TRANSFER_STALL: return USBD_STATUS_STALL_PID;
    case LIBUSB_TRANSFER_NO_DEVICE: return USBD_STATUS_DEV_NOT_RESPONDING;
    case LIBUSB_TRANSFER_OVERFLOW: return USBD_STATUS_DATA_OVERRUN;
    case LIBUSB_TRANSFER_CANCELLED: return USBD_STATUS_CANCELED;
    default: return USBD_STATUS_REQUEST_FAILED;
  }
}

// The same for a transfer that libusb refused to submit.
std::uint32_t UsbdStatusOfError(int libusbError) {
  switch (libusbError) {
    case LIBUSB_ERROR_PIPE: return USBD_STATUS_STALL_PID;
    case LIBUSB_ERROR_NO_DEVICE: return USBD_STATUS_DEV_NOT_RESPONDING;
    case LIBUSB_ERROR_OVERFLOW: return USBD_STATUS_DATA_OVERRUN;
    case LIBUSB_ERROR_NO_MEM: return USBD_STATUS_NO_MEMORY;
    case LIBUSB_ERROR_INVALID_PARAM: return USBD_STATUS_INVALID_PARAMETER;
    default: return USBD_STATUS_REQUEST_FAILED;
  }
}

bool PutU32(void* out, std::uint32_t outSize, std::uint32_t value, std::uint32_t* returned) {
  if (!out || outSize < sizeof value) {
    SetLastError(kErrorInsufficientBuffer);
    return false;
  }
  std::memcpy(out, &value, sizeof value);
  if (returned) *returned = sizeof value;
  return true;
}

struct Endpoint {
  std::uint8_t address = 0;
  std::uint8_t type = LIBUSB_TRANSFER_TYPE_BULK;
  int interfaceNumber = 0;
};

// The n-th endpoint descriptor (n counted from 0) of the device's active
// configuration, in the order the configuration lists them.
bool FindPipe(libusb_device* device, unsigned n, Endpoint* endpoint) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != 0 &&
      libusb_get_config_descriptor(device, 0, &config) != 0) {
    return false;
  }
  bool found = false;
  unsigned index = 0;
  for (int i = 0; i < config->bNumInterfaces && !found; ++i) {
    const libusb_interface& iface = config->interface[i];
    for (int a = 0; a < iface.num_altsetting && !found; ++a) {
      const libusb_interface_descriptor& alt = iface.altsetting[a];
      for (int e = 0; e < alt.bNumEndpoints; ++e, ++index) {
        if (index != n) continue;
        endpoint->address = alt.endpoint[e].bEndpointAddress;
        endpoint->type = alt.endpoint[e].bmAttributes & 0x03;
        endpoint->interfaceNumber = alt.bInterfaceNumber;
        found = true;
        break;
      }
    }
  }
  libusb_free_config_descriptor(config);
  return found;
}

class LibusbDriver final : public Driver {
 public:
  explicit LibusbDriver(const DriverOptions& options) : Driver(options.inFlight), options_(options) {}
  ~LibusbDriver() override;

  bool EnumerateDevicePaths(std::vector<std::string>& paths) override;
  Handle Open(const std::string& path) override;
  bool DeviceIoControl(Handle device, std::uint32_t code, void* in, std::uint32_t inSize, void* out,
                       std::uint32_t outSize, std::uint32_t* returned) override;
  bool CancelIo(Handle handle) override;
  bool CloseHandle(Handle handle) override;
  void SetDeviceEventSink(DeviceEventSink sink) override;

 protected:
  bool StartTransfer(Handle pipe, bool in, void* buffer, std::uint32_t length, TransferDone done) override;

 private:
  // One opened device, shared by its device and pipe handles.
  struct OpenedDevice {
    libusb_device_handle* handle = nullptr;
    std::string path;
    int handles = 0;                                    // guarded by mutex_
    std::set<int> claimed;                              // interface numbers; guarded by mutex_
    std::uint32_t lastUsbdStatus = USBD_STATUS_SUCCESS;  // guarded by mutex_
  };

  struct Transfer;

  struct HandleRecord {
    std::shared_ptr<OpenedDevice> device;
    bool pipe = false;
    Endpoint endpoint;
    // Guarded by mutex_:
    std::array<std::uint8_t, 8> setup{};
    bool hasSetup = false;
    std::set<Transfer*> outstanding;
    int busy = 0;  // device-control requests running on it
    bool closing = false;
    std::condition_variable idle;  // outstanding empty and busy 0
  };

  struct Transfer {
    LibusbDriver* driver = nullptr;
    std::shared_ptr<HandleRecord> handle;
    libusb_transfer* xfer = nullptr;
    TransferDone done;
    std::vector<std::uint8_t> controlBuffer;  // control transfers: setup packet and data stage
    // Guarded by mutex_:
    bool counted = false;    // holds a unit of work in flight
    bool finishing = false;  // its callback has begun: not to be cancelled any more
  };

  static void LIBUSB_CALL OnTransferDone(libusb_transfer* xfer);
  static int LIBUSB_CALL OnHotplug(libusb_context* context, libusb_device* device, libusb_hotplug_event event,
                                   void* self);

  bool EnsureContext(std::string* why);
  void EventThread();
  void Finish(Transfer* t);
  void Hotplug(libusb_device* device, libusb_hotplug_event event);
  void ReportRemoval(const std::string& path);
  void Emit(DeviceEventKind kind, const std::string& path);
  std::shared_ptr<OpenedDevice> OpenDevice(const std::string& path, const Location& location,
                                           const std::string& serial);
  void CloseDevice(OpenedDevice& device);
  void CancelLocked(HandleRecord& record);
  bool Submit(HandleRecord& record, Transfer* t, bool* gone);
  bool RunControl(const std::shared_ptr<HandleRecord>& record, void* in, std::uint32_t inSize, void* out,
                  std::uint32_t outSize, std::uint32_t* returned);
  std::shared_ptr<HandleRecord> FindLocked(Handle handle);
  void PermissionHint();
  void TraceLine(const std::string& line);

  DriverOptions options_;

  // Made and torn down on the thread that owns the devices.
  libusb_context* context_ = nullptr;
  libusb_hotplug_callback_handle hotplug_{};
  bool hotplugRegistered_ = false;
  std::thread eventThread_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> permissionHintGiven_{false};

  std::mutex mutex_;
  std::map<Handle, std::shared_ptr<HandleRecord>> handles_;
  std::map<std::string, std::shared_ptr<OpenedDevice>> devices_;  // by device path
  // The path of every device seen (by enumeration, hot-plug or an open), by
  // bus and address, for libusb's departures; and the paths whose removal
  // has been reported (a departure shows as a failed transfer, as libusb's
  // hot-plug, or both, in either order).
  std::map<std::uint32_t, std::string> known_;
  std::set<std::string> removed_;
  Handle nextHandle_ = 1;

  // Held while the sink runs, so that after SetDeviceEventSink returns the
  // old sink is never called again.
  std::mutex sinkMutex_;
  DeviceEventSink sink_;
};

LibusbDriver::~LibusbDriver() {
  std::vector<Handle> open;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [handle, record] : handles_) open.push_back(handle);
  }
  for (Handle handle : open) CloseHandle(handle);
  if (!context_) return;
  stopping_ = true;
  if (hotplugRegistered_) libusb_hotplug_deregister_callback(context_, hotplug_);
  libusb_interrupt_event_handler(context_);
  eventThread_.join();
  libusb_exit(context_);
}

void LibusbDriver::TraceLine(const std::string& line) {
  if (options_.trace) options_.trace->Debug(line);
}

void LibusbDriver::PermissionHint() {
  // Once per driver, that is once per run of the program, however many opens fail.
  if (permissionHintGiven_.exchange(true)) return;
  if (options_.operatorLog) {
    options_.operatorLog(kPermissionHint);
  } else {
    TraceLine(kPermissionHint);
  }
}

bool LibusbDriver::EnsureContext(std::string* why) {
  if (context_) return true;
  // libusb starts on a machine without USB as well; it would then just find
  // nothing, so say why instead.
  if (::access("/dev/bus/usb", F_OK) != 0 || ::access("/sys/bus/usb", F_OK) != 0) {
    *why = "USB: this machine has no USB subsystem (no /dev/bus/usb or /sys/bus/usb): no scanner";
    return false;
  }
  libusb_context* context = nullptr;
  const int r = libusb_init(&context);
  if (r != 0) {
    *why = std::string("USB: libusb_init failed (") + libusb_error_name(r) + "): no scanner";
    return false;
  }
  context_ = context;
  if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
    hotplugRegistered_ =
        libusb_hotplug_register_callback(
            context_,
            static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
            static_cast<libusb_hotplug_flag>(0), LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
            LIBUSB_HOTPLUG_MATCH_ANY, &LibusbDriver::OnHotplug, this, &hotplug_) == 0;
  }
  eventThread_ = std::thread([this] { EventThread(); });
  return true;
}

void LibusbDriver::EventThread() {
  bool traced = false;
  while (!stopping_.load()) {
    const int r = libusb_handle_events(context_);
    if (r != 0 && r != LIBUSB_ERROR_INTERRUPTED && !traced) {
      TraceLine(std::string("USB: libusb_handle_events: ") + libusb_error_name(r));
      traced = true;
    }
  }
}

bool LibusbDriver::EnumerateDevicePaths(std::vector<std::string>& paths) {
  paths.clear();
  std::string why;
  if (!EnsureContext(&why)) {
    TraceLine(why);
    SetLastError(kErrorNotSupported);
    return false;
  }
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(context_, &list);
  if (count < 0) {
    TraceLine(std::string("USB: libusb_get_device_list: ") + libusb_error_name(static_cast<int>(count)));
    SetLastError(SystemError(static_cast<int>(count)));
    return false;
  }
  std::vector<std::pair<Location, std::string>> found;
  for (ssize_t i = 0; i < count; ++i) {
    const Location location = LocationOf(list[i]);
    if (location.ports.empty() || IsHub(list[i])) continue;
    found.emplace_back(location, MakeDevicePath(location, SysfsSerial(location.SysfsName())));
  }
  libusb_free_device_list(list, 1);
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });

  std::lock_guard lock(mutex_);
  for (const auto& [location, path] : found) {
    known_[location.Key()] = path;
    paths.push_back(path);
  }
  return true;
}

std::shared_ptr<LibusbDriver::OpenedDevice> LibusbDriver::OpenDevice(const std::string& path,
                                                                      const Location& location,
                                                                      const std::string& serial) {
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(context_, &list);
  if (count < 0) {
    SetLastError(SystemError(static_cast<int>(count)));
    return nullptr;
  }
  libusb_device* match = nullptr;
  for (ssize_t i = 0; i < count && !match; ++i) {
    if (LocationOf(list[i]).SameDevice(location)) match = list[i];
  }
  // The same place and address with another serial is another device.
  if (!match || SysfsSerial(location.SysfsName()) != serial) {
    libusb_free_device_list(list, 1);
    SetLastError(kErrorFileNotFound);
    return nullptr;
  }
  libusb_device_handle* handle = nullptr;
  const int r = libusb_open(match, &handle);
  libusb_free_device_list(list, 1);
  if (r != 0) {
    TraceLine("USB: cannot open " + path + ": " + libusb_error_name(r));
    if (r == LIBUSB_ERROR_ACCESS) PermissionHint();
    SetLastError(SystemError(r));
    return nullptr;
  }
  libusb_set_auto_detach_kernel_driver(handle, 1);
  auto device = std::make_shared<OpenedDevice>();
  device->handle = handle;
  device->path = path;
  std::lock_guard lock(mutex_);
  known_[location.Key()] = path;
  return device;
}

void LibusbDriver::CloseDevice(OpenedDevice& device) {
  std::set<int> claimed;
  {
    std::lock_guard lock(mutex_);
    claimed.swap(device.claimed);
  }
  // Releasing gives the interface back to its kernel driver, if it had one.
  for (int iface : claimed) libusb_release_interface(device.handle, iface);
  libusb_close(device.handle);
  device.handle = nullptr;
}

Handle LibusbDriver::Open(const std::string& path) {
  std::string why;
  if (!EnsureContext(&why)) {
    TraceLine(why);
    SetLastError(kErrorFileNotFound);
    return kInvalidHandle;
  }
  std::string devicePath = path;
  unsigned pipeNumber = 0;
  const bool isPipe = SplitPipePath(path, &devicePath, &pipeNumber);
  Location location;
  std::string serial;
  if (!ParseDevicePath(devicePath, &location, &serial)) {
    SetLastError(kErrorFileNotFound);
    return kInvalidHandle;
  }

  std::shared_ptr<OpenedDevice> device;
  {
    std::lock_guard lock(mutex_);
    const auto it = devices_.find(devicePath);
    if (it != devices_.end()) device = it->second;
  }
  const bool fresh = !device;
  if (fresh) {
    device = OpenDevice(devicePath, location, serial);
    if (!device) return kInvalidHandle;
  }

  auto record = std::make_shared<HandleRecord>();
  record->device = device;
  record->pipe = isPipe;
  if (isPipe) {
    std::uint32_t error = kErrorSuccess;
    if (!FindPipe(libusb_get_device(device->handle), pipeNumber, &record->endpoint)) {
      error = kErrorFileNotFound;
    } else {
      bool claimed = false;
      {
        std::lock_guard lock(mutex_);
        claimed = device->claimed.count(record->endpoint.interfaceNumber) != 0;
      }
      if (!claimed) {
        // With automatic detaching, a kernel driver bound to the interface
        // lets go of it here and gets it back when it is released.
        const int r = libusb_claim_interface(device->handle, record->endpoint.interfaceNumber);
        if (r == 0) {
          std::lock_guard lock(mutex_);
          device->claimed.insert(record->endpoint.interfaceNumber);
        } else {
          TraceLine("USB: cannot claim interface " + std::to_string(record->endpoint.interfaceNumber) + " of " +
                    devicePath + ": " + libusb_error_name(r));
          if (r == LIBUSB_ERROR_ACCESS) PermissionHint();
          error = SystemError(r);
        }
      }
    }
    if (error != kErrorSuccess) {
      if (fresh) CloseDevice(*device);
      SetLastError(error);
      return kInvalidHandle;
    }
  }

  std::lock_guard lock(mutex_);
  if (fresh) devices_[devicePath] = device;
  ++device->handles;
  const Handle handle = nextHandle_++;
  handles_[handle] = std::move(record);
  return handle;
}

std::shared_ptr<LibusbDriver::HandleRecord> LibusbDriver::FindLocked(Handle handle) {
  const auto it = handles_.find(handle);
  if (it == handles_.end() || it->second->closing) return nullptr;
  return it->second;
}

void LibusbDriver::CancelLocked(HandleRecord& record) {
  for (Transfer* t : record.outstanding) {
    if (t->finishing) continue;
    // A cancelled transfer ends without the device: from now on it is in
    // flight, reads included.
    if (!t->counted && inFlight()) {
      inFlight()->Add(1);
      t->counted = true;
    }
    libusb_cancel_transfer(t->xfer);
  }
}

bool LibusbDriver::CancelIo(Handle handle) {
  std::lock_guard lock(mutex_);
  const auto record = FindLocked(handle);
  if (!record) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  CancelLocked(*record);
  return true;
}

bool LibusbDriver::CloseHandle(Handle handle) {
  std::shared_ptr<OpenedDevice> last;
  {
    std::unique_lock lock(mutex_);
    const auto record = FindLocked(handle);
    if (!record) {
      SetLastError(kErrorInvalidHandle);
      return false;
    }
    record->closing = true;
    CancelLocked(*record);
    // Until every transfer has come back, the kernel may still write into
    // the caller's buffers.
    record->idle.wait(lock, [&] { return record->outstanding.empty() && record->busy == 0; });
    handles_.erase(handle);
    if (--record->device->handles == 0) {
      last = record->device;
      devices_.erase(last->path);
    }
  }
  if (last) CloseDevice(*last);
  return true;
}

void LibusbDriver::SetDeviceEventSink(DeviceEventSink sink) {
  std::lock_guard lock(sinkMutex_);
  sink_ = std::move(sink);
}

void LibusbDriver::Emit(DeviceEventKind kind, const std::string& path) {
  if (inFlight()) inFlight()->Add(1);
  {
    std::lock_guard lock(sinkMutex_);
    if (sink_) sink_(kind, path);
  }
  if (inFlight()) inFlight()->Done(1);
}

void LibusbDriver::ReportRemoval(const std::string& path) {
  {
    std::lock_guard lock(mutex_);
    if (!removed_.insert(path).second) return;
  }
  Emit(DeviceEventKind::Removal, path);
}

bool LibusbDriver::Submit(HandleRecord& record, Transfer* t, bool* gone) {
  if (t->counted) inFlight()->Add(1);
  record.outstanding.insert(t);
  const int r = libusb_submit_transfer(t->xfer);
  if (r == 0) return true;
  record.outstanding.erase(t);
  if (t->counted) inFlight()->Done(1);
  record.device->lastUsbdStatus = UsbdStatusOfError(r);
  *gone = r == LIBUSB_ERROR_NO_DEVICE;
  libusb_free_transfer(t->xfer);
  delete t;
  SetLastError(SystemError(r));
  return false;
}

bool LibusbDriver::StartTransfer(Handle pipe, bool in, void* buffer, std::uint32_t length, TransferDone done) {
  bool gone = false;
  std::shared_ptr<OpenedDevice> device;
  {
    std::lock_guard lock(mutex_);
    const auto record = FindLocked(pipe);
    if (!record) {
      SetLastError(kErrorInvalidHandle);
      return false;
    }
    const bool pipeIn = (record->endpoint.address & LIBUSB_ENDPOINT_IN) != 0;
    if (!record->pipe || in != pipeIn || length > static_cast<std::uint32_t>(INT_MAX) || (length && !buffer)) {
      SetLastError(kErrorInvalidParameter);
      return false;
    }
    libusb_transfer* xfer = libusb_alloc_transfer(0);
    if (!xfer) {
      SetLastError(kErrorNotEnoughMemory);
      return false;
    }
    auto* t = new Transfer;
    t->driver = this;
    t->handle = record;
    t->xfer = xfer;
    t->done = std::move(done);
    // A write ends by itself; a read waits for the device until cancelled.
    t->counted = !in && inFlight();
    auto* data = static_cast<unsigned char*>(buffer);
    if (record->endpoint.type == LIBUSB_TRANSFER_TYPE_INTERRUPT) {
      libusb_fill_interrupt_transfer(xfer, record->device->handle, record->endpoint.address, data,
                                     static_cast<int>(length), &LibusbDriver::OnTransferDone, t, 0);
    } else {
      libusb_fill_bulk_transfer(xfer, record->device->handle, record->endpoint.address, data,
                                static_cast<int>(length), &LibusbDriver::OnTransferDone, t, 0);
    }
    if (Submit(*record, t, &gone)) return true;
    device = record->device;
  }
  if (gone) ReportRemoval(device->path);
  return false;
}

bool LibusbDriver::DeviceIoControl(Handle handle, std::uint32_t code, void* in, std::uint32_t inSize, void* out,
                                   std::uint32_t outSize, std::uint32_t* returned) {
  if (returned) *returned = 0;
  std::shared_ptr<HandleRecord> record;
  {
    std::lock_guard lock(mutex_);
    record = FindLocked(handle);
    if (!record) {
      SetLastError(kErrorInvalidHandle);
      return false;
    }
    if (record->pipe) {
      SetLastError(kErrorInvalidParameter);
      return false;
    }
    ++record->busy;
  }

  bool ok = false;
  switch (code) {
    case IOCTL_NCBULK_GET_DRIVER_VERSION:
      ok = PutU32(out, outSize, kNcBulkDriverVersion, returned);
      break;
    case IOCTL_NCBULK_IS_CHECKED_BUILD:
      ok = PutU32(out, outSize, 0, returned);
      break;
    case IOCTL_NCBULK_GET_LAST_USBD_STATUS: {
      std::uint32_t status = 0;
      {
        std::lock_guard lock(mutex_);
        status = record->device->lastUsbdStatus;
      }
      ok = PutU32(out, outSize, status, returned);
      break;
    }
    case IOCTL_NCBULK_RESET_DEVICE: {
      const int r = libusb_reset_device(record->device->handle);
      ok = r == 0;
      if (!ok) {
        // A device that comes back from the reset as another one has left.
        if (r == LIBUSB_ERROR_NOT_FOUND || r == LIBUSB_ERROR_NO_DEVICE) {
          ReportRemoval(record->device->path);
        }
        SetLastError(SystemError(r));
      }
      break;
    }
    case IOCTL_NCBULK_CONTROL_SETUP:
      if (!in || inSize < 8 || (out && outSize < 8)) {
        SetLastError(kErrorInvalidParameter);
        break;
      }
      {
        std::lock_guard lock(mutex_);
        std::memcpy(record->setup.data(), in, 8);
        record->hasSetup = true;
      }
      if (out) {
        std::memmove(out, in, 8);
        if (returned) *returned = 8;
      }
      ok = true;
      break;
    case IOCTL_NCBULK_CONTROL_DATA:
      ok = RunControl(record, in, inSize, out, outSize, returned);
      break;
    default:
      SetLastError(kErrorNotSupported);
      break;
  }

  const std::uint32_t error = GetLastError();
  {
    std::lock_guard lock(mutex_);
    if (--record->busy == 0 && record->outstanding.empty()) record->idle.notify_all();
  }
  SetLastError(error);
  return ok;
}

bool LibusbDriver::RunControl(const std::shared_ptr<HandleRecord>& record, void* in, std::uint32_t inSize,
                              void* out, std::uint32_t outSize, std::uint32_t* returned) {
  std::array<std::uint8_t, 8> setup{};
  {
    std::lock_guard lock(mutex_);
    if (!record->hasSetup) {
      SetLastError(kErrorInvalidParameter);
      return false;
    }
    setup = record->setup;
  }
  const bool deviceToHost = (setup[0] & LIBUSB_ENDPOINT_IN) != 0;
  const std::uint32_t wLength = setup[6] | (setup[7] << 8);
  // The data stage never reaches past the caller's buffer.
  if (wLength > 0 && (deviceToHost ? (!out || outSize < wLength) : (!in || inSize < wLength))) {
    SetLastError(kErrorInsufficientBuffer);
    return false;
  }

  struct Waiter {
    std::mutex mutex;
    std::condition_variable cv;
    bool finished = false;
    std::uint32_t error = kErrorSuccess;
    std::uint32_t bytes = 0;
  } waiter;

  libusb_transfer* xfer = libusb_alloc_transfer(0);
  if (!xfer) {
    SetLastError(kErrorNotEnoughMemory);
    return false;
  }
  auto* t = new Transfer;
  t->driver = this;
  t->handle = record;
  t->xfer = xfer;
  t->controlBuffer.assign(LIBUSB_CONTROL_SETUP_SIZE + wLength, 0);
  std::memcpy(t->controlBuffer.data(), setup.data(), setup.size());
  if (!deviceToHost && wLength > 0) std::memcpy(t->controlBuffer.data() + LIBUSB_CONTROL_SETUP_SIZE, in, wLength);
  // Runs on the event thread while the caller waits below.
  t->done = [&waiter, t, deviceToHost, out](std::uint32_t error, std::uint32_t bytes) {
    if (error == kErrorSuccess && deviceToHost && bytes > 0) {
      std::memcpy(out, t->controlBuffer.data() + LIBUSB_CONTROL_SETUP_SIZE, bytes);
    }
    std::lock_guard lock(waiter.mutex);
    waiter.error = error;
    waiter.bytes = bytes;
    waiter.finished = true;
    waiter.cv.notify_one();
  };
  // The caller waits for it, whichever thread that is.
  t->counted = inFlight() != nullptr;
  libusb_fill_control_transfer(xfer, record->device->handle, t->controlBuffer.data(), &LibusbDriver::OnTransferDone,
                               t, kControlTimeoutMs);

  bool submitted = false;
  bool gone = false;
  {
    std::lock_guard lock(mutex_);
    if (record->closing) {
      libusb_free_transfer(xfer);
      delete t;
      SetLastError(kErrorOperationAborted);
      return false;
    }
    submitted = Submit(*record, t, &gone);
  }
  if (!submitted) {
    const std::uint32_t error = GetLastError();
    if (gone) ReportRemoval(record->device->path);
    SetLastError(error);
    return false;
  }

  std::unique_lock lock(waiter.mutex);
  waiter.cv.wait(lock, [&] { return waiter.finished; });
  if (waiter.error != kErrorSuccess) {
    SetLastError(waiter.error);
    return false;
  }
  if (returned) *returned = waiter.bytes;
  return true;
}

void LIBUSB_CALL LibusbDriver::OnTransferDone(libusb_transfer* xfer) {
  auto* t = static_cast<Transfer*>(xfer->user_data);
  t->driver->Finish(t);
}

void LibusbDriver::Finish(Transfer* t) {
  const int status = t->xfer->status;
  const std::uint32_t error = SystemErrorOfStatus(status);
  const std::uint32_t bytes = error == kErrorSuccess ? static_cast<std::uint32_t>(t->xfer->actual_length) : 0;
  const bool gone = status == LIBUSB_TRANSFER_NO_DEVICE;
  const std::shared_ptr<HandleRecord> record = t->handle;
  const std::shared_ptr<OpenedDevice> device = record->device;
  bool counted = false;
  {
    std::lock_guard lock(mutex_);
    t->finishing = true;
    counted = t->counted;
    if (status != LIBUSB_TRANSFER_COMPLETED) device->lastUsbdStatus = UsbdStatusOfStatus(status);
  }
  // libusb_free_transfer looks at the device handle, which may be closed as
  // soon as the transfer has left `outstanding`.
  libusb_free_transfer(t->xfer);
  t->xfer = nullptr;
  // The completion goes first, then the removal it may have shown.
  if (gone && inFlight()) inFlight()->Add(1);
  t->done(error, bytes);
  if (counted) inFlight()->Done(1);
  {
    std::lock_guard lock(mutex_);
    record->outstanding.erase(t);
    if (record->outstanding.empty() && record->busy == 0) record->idle.notify_all();
  }
  delete t;
  if (gone) {
    ReportRemoval(device->path);
    if (inFlight()) inFlight()->Done(1);
  }
}

int LIBUSB_CALL LibusbDriver::OnHotplug(libusb_context*, libusb_device* device, libusb_hotplug_event event,
                                        void* self) {
  static_cast<LibusbDriver*>(self)->Hotplug(device, event);
  return 0;  // stay registered
}

void LibusbDriver::Hotplug(libusb_device* device, libusb_hotplug_event event) {
  const Location location = LocationOf(device);
  if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED) {
    if (location.ports.empty() || IsHub(device)) return;
    const std::string path = MakeDevicePath(location, SysfsSerial(location.SysfsName()));
    {
      std::lock_guard lock(mutex_);
      known_[location.Key()] = path;
      removed_.erase(path);  // the same path again, after the address went round
    }
    Emit(DeviceEventKind::Arrival, path);
    return;
  }
  std::string path;
  {
    std::lock_guard lock(mutex_);
    const auto it = known_.find(location.Key());
    if (it == known_.end()) return;
    path = it->second;
    known_.erase(it);
  }
  ReportRemoval(path);
}

}  // namespace

std::unique_ptr<Driver> MakeLibusbDriver(const DriverOptions& options) {
  return std::make_unique<LibusbDriver>(options);
}

}  // namespace nimbrel::usb
