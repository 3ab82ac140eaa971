#pragma once
// A USB driver double: scanners described by their descriptors and strings,
// answered through CONTROL_SETUP / CONTROL_DATA; failures to inject per
// request; pipes that fail to open; bulk transfers that stay pending until
// the test completes them with the error and byte count it chooses; arrival
// and removal events. It records what the layer above asked of it.
//
// Thread-safe: the engine calls it on the UI thread and on its workers, a
// test may complete transfers from a thread of its own.

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "usb/Driver.h"

namespace nimbrel::testing {

using Bytes8 = std::vector<std::uint8_t>;

// ---- Descriptors ----

inline Bytes8 DeviceDescriptorBytes(std::uint8_t iManufacturer = 1, std::uint8_t iProduct = 2,
                                    std::uint8_t iSerial = 3) {
  return {18, 1, 0x00, 0x02, 0xFF, 0, 0, 64, 0x25, 0x05, 0x02, 0x10, 0x00, 0x01, iManufacturer, iProduct, iSerial, 1};
}
inline Bytes8 InterfaceBytes(std::uint8_t endpoints, std::uint8_t bLength = 9) {
  Bytes8 d{bLength, 4, 0, 0, endpoints, 0xFF, 0, 0, 0};
  d.resize(bLength < 5 ? 5 : bLength, 0);
  d[0] = bLength;
  return d;
}
inline Bytes8 EndpointBytes(std::uint8_t address, std::uint8_t bLength = 7) {
  Bytes8 d{bLength, 5, address, 2, 0x00, 0x02, 0};
  d.resize(bLength < 3 ? 3 : bLength, 0);
  d[0] = bLength;
  return d;
}
inline Bytes8 ClassSpecificBytes() { return {5, 0x24, 1, 2, 3}; }
// A configuration descriptor set: the 9-byte header (wTotalLength as given,
// or the real length) followed by the descriptors.
inline Bytes8 ConfigurationBytes(const std::vector<Bytes8>& descriptors, std::optional<std::uint16_t> total = {}) {
  Bytes8 c{9, 2, 0, 0, 1, 1, 0, 0x80, 50};
  for (const auto& d : descriptors) c.insert(c.end(), d.begin(), d.end());
  const std::uint16_t t = total ? *total : static_cast<std::uint16_t>(c.size());
  c[2] = static_cast<std::uint8_t>(t & 0xFF);
  c[3] = static_cast<std::uint8_t>(t >> 8);
  return c;
}
// The scanner's interface: channel 1 OUT, channel 2 IN.
inline Bytes8 ScannerConfiguration() { return ConfigurationBytes({InterfaceBytes(2), EndpointBytes(0x01), EndpointBytes(0x82)}); }
// A string descriptor: bLength 2 + 2n (or as given), type 3, UTF-16LE.
inline Bytes8 StringBytes(const std::string& text, std::optional<std::uint8_t> bLength = {}) {
  Bytes8 d{0, 3};
  for (char c : text) {
    d.push_back(static_cast<std::uint8_t>(c));
    d.push_back(0);
  }
  d[0] = bLength ? *bLength : static_cast<std::uint8_t>(d.size());
  return d;
}

// ---- The double ----

class ScriptedDriver final : public usb::Driver {
 public:
  struct Device {
    std::string path;
    Bytes8 deviceDescriptor = DeviceDescriptorBytes();
    Bytes8 configuration = ScannerConfiguration();
    std::map<std::uint8_t, Bytes8> strings;
    std::uint32_t driverVersion = usb::kNcBulkDriverVersion;
    std::uint32_t checked = 0;
    std::uint32_t usbdStatus = 0;
    // Byte counts answered instead of the real ones, by request name.
    std::map<std::string, std::uint32_t> shortAnswers;
    // Requests that fail, by name, with the system error they set:
    // "device", "config-header", "config", "string<n>", "version",
    // "checked", "usbd", "reset", "vendor-in", "vendor-out".
    std::map<std::string, std::uint32_t> failures;
    // Pipe opens that fail, as (pipe number, nth open of that pipe from 1).
    std::set<std::pair<unsigned, int>> failingPipeOpens;
    bool failOpen = false;
  };

  // A scanner with the unit ID in its path and in string descriptor 3.
  static Device Scanner(const std::string& serial = "00000000051B", const std::string& path = {}) {
    Device d;
    d.path = path.empty() ? "\\\\?\\usb#vid_0525&pid_1002#" + serial + "#{5da666e0-a683-11d4-be1a-000398237a08}" : path;
    d.strings[1] = StringBytes("Tavix");
    d.strings[2] = StringBytes("Scanner");
    d.strings[3] = StringBytes(serial);
    return d;
  }

  struct Transfer {
    int id = 0;
    usb::Handle handle = usb::kInvalidHandle;
    std::string device;
    unsigned pipe = 0;
    bool in = false;
    void* buffer = nullptr;
    std::uint32_t length = 0;
    std::thread::id thread;
    TransferDone done;
  };
  struct ControlRequest {
    std::string device;
    std::array<std::uint8_t, 8> setup{};
    Bytes8 data;  // what went out (OUT requests)
    std::thread::id thread;
  };
  struct Write {
    unsigned pipe;
    Bytes8 bytes;
  };

  explicit ScriptedDriver(platform::InFlight* inFlight = nullptr) : Driver(inFlight) {}

  // Writes complete at once with every byte, as a scanner that takes them.
  bool completeWrites = true;
  // EnumerateDevicePaths fails as a machine without USB does.
  bool enumerationFails = false;

  // The device is present (again).
  void Attach(const Device& device) {
    std::lock_guard lock(mutex_);
    devices_[device.path] = device;
    gone_.erase(device.path);
    if (std::find(order_.begin(), order_.end(), device.path) == order_.end()) order_.push_back(device.path);
  }

  // The device is gone: its handles fail from now on, pending transfers
  // stay until cancelled, and a removal goes to the sink.
  void Remove(const std::string& path) {
    usb::DeviceEventSink sink;
    {
      std::lock_guard lock(mutex_);
      gone_.insert(path);
      order_.erase(std::remove(order_.begin(), order_.end(), path), order_.end());
      sink = sink_;
    }
    if (sink) sink(usb::DeviceEventKind::Removal, path);
  }
  void Arrive(const Device& device) {
    Attach(device);
    usb::DeviceEventSink sink;
    {
      std::lock_guard lock(mutex_);
      sink = sink_;
    }
    if (sink) sink(usb::DeviceEventKind::Arrival, device.path);
  }

  // Completes the oldest pending transfer on that pipe of any device: IN
  // data is copied into the buffer first (at most `bytes`). False when none
  // is pending there.
  bool Complete(unsigned pipe, std::uint32_t error, std::uint32_t bytes, const Bytes8& data = {}) {
    Transfer t;
    {
      std::lock_guard lock(mutex_);
      auto it = std::find_if(pending_.begin(), pending_.end(), [&](const Transfer& p) { return p.pipe == pipe; });
      if (it == pending_.end()) return false;
      t = *it;
      pending_.erase(it);
      if (t.in && !data.empty()) {
        std::memcpy(t.buffer, data.data(), std::min<std::size_t>({data.size(), bytes, t.length}));
      }
    }
    t.done(error, bytes);
    return true;
  }

  // Waits (real time, for a thread of the test's own) until a transfer is
  // pending on the pipe; false when none came within the limit.
  bool WaitPending(unsigned pipe, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] {
      return std::any_of(pending_.begin(), pending_.end(), [&](const Transfer& p) { return p.pipe == pipe; });
    });
  }

  std::vector<Transfer> Pending() const {
    std::lock_guard lock(mutex_);
    return pending_;
  }
  std::vector<Transfer> Started() const {
    std::lock_guard lock(mutex_);
    return started_;
  }
  std::vector<Write> Writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
  }
  std::vector<ControlRequest> ControlRequests() const {
    std::lock_guard lock(mutex_);
    return controls_;
  }
  std::vector<std::string> Opened() const {
    std::lock_guard lock(mutex_);
    return opened_;
  }
  int OpenHandles() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(handles_.size());
  }
  int Cancels() const {
    std::lock_guard lock(mutex_);
    return cancels_;
  }
  int Resets() const {
    std::lock_guard lock(mutex_);
    return resets_;
  }
  std::uint32_t Register(std::uint8_t reg) const {
    std::lock_guard lock(mutex_);
    auto it = registers_.find(reg);
    return it == registers_.end() ? 0 : it->second;
  }
  void SetRegisterValue(std::uint8_t reg, std::uint32_t value) {
    std::lock_guard lock(mutex_);
    registers_[reg] = value;
  }
  void SetFailure(const std::string& path, const std::string& request, std::uint32_t error) {
    std::lock_guard lock(mutex_);
    devices_[path].failures[request] = error;
  }
  bool HasSink() const {
    std::lock_guard lock(mutex_);
    return static_cast<bool>(sink_);
  }

  // ---- usb::Driver ----

  bool EnumerateDevicePaths(std::vector<std::string>& paths) override {
    std::lock_guard lock(mutex_);
    paths.clear();
    if (enumerationFails) return false;
    paths = order_;
    return true;
  }

  usb::Handle Open(const std::string& path) override {
    std::lock_guard lock(mutex_);
    std::string device = path;
    unsigned pipe = 0;
    const bool isPipe = usb::SplitPipePath(path, &device, &pipe);
    auto it = devices_.find(device);
    if (it == devices_.end() || gone_.count(device)) {
      usb::SetLastError(usb::kErrorFileNotFound);
      return usb::kInvalidHandle;
    }
    if (!isPipe && it->second.failOpen) {
      usb::SetLastError(usb::kErrorAccessDenied);
      return usb::kInvalidHandle;
    }
    if (isPipe) {
      const int nth = ++pipeOpens_[{device, pipe}];
      if (it->second.failingPipeOpens.count({pipe, nth})) {
        usb::SetLastError(usb::kErrorFileNotFound);
        return usb::kInvalidHandle;
      }
    }
    opened_.push_back(path);
    const usb::Handle h = nextHandle_++;
    handles_[h] = {device, isPipe, pipe};
    return h;
  }

  bool DeviceIoControl(usb::Handle handle, std::uint32_t code, void* in, std::uint32_t inSize, void* out,
                       std::uint32_t outSize, std::uint32_t* returned) override {
    std::lock_guard lock(mutex_);
    if (returned) *returned = 0;
    auto h = handles_.find(handle);
    if (h == handles_.end() || h->second.isPipe) return Fail(usb::kErrorInvalidHandle);
    if (gone_.count(h->second.device)) return Fail(usb::kErrorDeviceNotConnected);
    Device& d = devices_[h->second.device];
    const auto failure = [&](const std::string& name) -> std::optional<std::uint32_t> {
      auto f = d.failures.find(name);
      if (f == d.failures.end()) return std::nullopt;
      return f->second;
    };
    const auto put32 = [&](std::uint32_t v) {
      if (!out || outSize < 4) return Fail(usb::kErrorInsufficientBuffer);
      std::memcpy(out, &v, 4);
      if (returned) *returned = 4;
      return true;
    };
    switch (code) {
      case usb::IOCTL_NCBULK_GET_DRIVER_VERSION:
        if (auto e = failure("version")) return Fail(*e);
        return put32(d.driverVersion);
      case usb::IOCTL_NCBULK_IS_CHECKED_BUILD:
        if (auto e = failure("checked")) return Fail(*e);
        return put32(d.checked);
      case usb::IOCTL_NCBULK_GET_LAST_USBD_STATUS:
        if (auto e = failure("usbd")) return Fail(*e);
        if (!in || inSize != 4) return Fail(usb::kErrorInvalidParameter);
        return put32(d.usbdStatus);
      case usb::IOCTL_NCBULK_RESET_DEVICE:
        if (auto e = failure("reset")) return Fail(*e);
        ++resets_;
        return true;
      case usb::IOCTL_NCBULK_CONTROL_SETUP:
        if (!in || inSize != 8 || !out || outSize != 8) return Fail(usb::kErrorInvalidParameter);
        std::memcpy(setups_[handle].data(), in, 8);
        if (returned) *returned = 8;
        return true;
      case usb::IOCTL_NCBULK_CONTROL_DATA:
        return ControlData(d, handle, in, inSize, out, outSize, returned, failure);
      default:
        return Fail(usb::kErrorNotSupported);
    }
  }

  bool CancelIo(usb::Handle handle) override {
    std::vector<Transfer> cancelled;
    {
      std::lock_guard lock(mutex_);
      ++cancels_;
      if (!handles_.count(handle)) return Fail(usb::kErrorInvalidHandle);
      cancelled = TakePending(handle);
    }
    for (auto& t : cancelled) t.done(usb::kErrorOperationAborted, 0);
    return true;
  }

  bool CloseHandle(usb::Handle handle) override {
    std::vector<Transfer> cancelled;
    {
      std::lock_guard lock(mutex_);
      if (!handles_.erase(handle)) return Fail(usb::kErrorInvalidHandle);
      cancelled = TakePending(handle);
    }
    // The buffers are not touched again.
    for (auto& t : cancelled) t.done(usb::kErrorOperationAborted, 0);
    return true;
  }

  void SetDeviceEventSink(usb::DeviceEventSink sink) override {
    std::lock_guard lock(mutex_);
    sink_ = std::move(sink);
  }

 protected:
  bool StartTransfer(usb::Handle pipe, bool in, void* buffer, std::uint32_t length, TransferDone done) override {
    Transfer t;
    {
      std::lock_guard lock(mutex_);
      auto h = handles_.find(pipe);
      if (h == handles_.end() || !h->second.isPipe) return Fail(usb::kErrorInvalidHandle);
      if (gone_.count(h->second.device)) return Fail(usb::kErrorDeviceNotConnected);
      t.id = nextTransfer_++;
      t.handle = pipe;
      t.device = h->second.device;
      t.pipe = h->second.pipe;
      t.in = in;
      t.buffer = buffer;
      t.length = length;
      t.thread = std::this_thread::get_id();
      t.done = std::move(done);
      started_.push_back(t);
      if (!in) {
        const auto* b = static_cast<const std::uint8_t*>(buffer);
        writes_.push_back({t.pipe, Bytes8(b, b + length)});
      }
      if (in || !completeWrites) pending_.push_back(t);
    }
    changed_.notify_all();
    if (!in && completeWrites) t.done(usb::kErrorSuccess, length);
    return true;
  }

 private:
  struct HandleInfo {
    std::string device;
    bool isPipe = false;
    unsigned pipe = 0;
  };

  static bool Fail(std::uint32_t error) {
    usb::SetLastError(error);
    return false;
  }

  std::vector<Transfer> TakePending(usb::Handle handle) {
    std::vector<Transfer> taken;
    for (auto it = pending_.begin(); it != pending_.end();) {
      if (it->handle == handle) {
        taken.push_back(*it);
        it = pending_.erase(it);
      } else {
        ++it;
      }
    }
    return taken;
  }

  template <typename FailureOf>
  bool ControlData(Device& d, usb::Handle handle, void* in, std::uint32_t inSize, void* out, std::uint32_t outSize,
                   std::uint32_t* returned, const FailureOf& failure) {
    const std::array<std::uint8_t, 8> s = setups_[handle];
    const std::uint32_t wLength = static_cast<std::uint32_t>(s[6] | s[7] << 8);
    if (inSize != wLength || outSize != wLength || in != out) return Fail(usb::kErrorInvalidParameter);
    ControlRequest record{d.path, s, {}, std::this_thread::get_id()};
    const auto answer = [&](const std::string& name, const Bytes8& bytes) {
      if (auto e = failure(name)) return Fail(*e);
      std::uint32_t n = std::min<std::uint32_t>(wLength, static_cast<std::uint32_t>(bytes.size()));
      if (auto it = d.shortAnswers.find(name); it != d.shortAnswers.end()) n = std::min(n, it->second);
      if (n > 0) std::memcpy(out, bytes.data(), n);
      if (returned) *returned = n;
      return true;
    };
    bool ok = false;
    if (s[0] == 0x80 && s[1] == 6) {
      const std::uint8_t type = s[3];
      const std::uint8_t index = s[2];
      if (type == 1) {
        ok = answer("device", d.deviceDescriptor);
      } else if (type == 2) {
        ok = answer(wLength == 9 ? "config-header" : "config", d.configuration);
      } else if (type == 3) {
        auto it = d.strings.find(index);
        ok = it == d.strings.end() ? Fail(usb::kErrorGenFailure) : answer("string" + std::to_string(index), it->second);
      } else {
        ok = Fail(usb::kErrorGenFailure);
      }
    } else if (s[0] == 0xC0) {
      std::uint32_t v = registers_[s[1]];
      Bytes8 bytes(4);
      std::memcpy(bytes.data(), &v, 4);
      ok = answer("vendor-in", bytes);
    } else if (s[0] == 0x40) {
      if (auto e = failure("vendor-out")) {
        ok = Fail(*e);
      } else {
        const auto* b = static_cast<const std::uint8_t*>(in);
        record.data.assign(b, b + wLength);
        registers_[s[1]] = static_cast<std::uint32_t>(s[2] | s[3] << 8 | s[4] << 16 | s[5] << 24);
        if (returned) *returned = wLength;
        ok = true;
      }
    } else {
      ok = Fail(usb::kErrorNotSupported);
    }
    controls_.push_back(record);
    return ok;
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, Device> devices_;
  std::vector<std::string> order_;
  std::set<std::string> gone_;
  std::map<usb::Handle, HandleInfo> handles_;
  std::map<usb::Handle, std::array<std::uint8_t, 8>> setups_;
  std::map<std::pair<std::string, unsigned>, int> pipeOpens_;
  std::map<std::uint8_t, std::uint32_t> registers_;
  std::vector<Transfer> pending_;
  std::vector<Transfer> started_;
  std::vector<Write> writes_;
  std::vector<ControlRequest> controls_;
  std::vector<std::string> opened_;
  usb::DeviceEventSink sink_;
  usb::Handle nextHandle_ = 100;
  int nextTransfer_ = 1;
  int cancels_ = 0;
  int resets_ = 0;
};

}  // namespace nimbrel::testing
