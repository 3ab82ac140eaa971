#include "usb/EmulatedUsb.h"

// umockdev and the usbfs definitions stay in this file.
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#if defined(__SANITIZE_THREAD__)
// GLib synchronises its threads with futexes, which ThreadSanitizer does not
// see: what umockdev's worker thread and the thread that drives the testbed
// do inside umockdev and GLib shows as races there. The ioctl handler's own
// code runs on that worker thread above frames the unwinder cannot follow,
// so its stacks carry none of these libraries and stay checked.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libumockdev.so.0\n"
         "race:libglib-2.0.so.0\n"
         "race:libgobject-2.0.so.0\n"
         "race:libgio-2.0.so.0\n";
}
#endif

namespace nimbrel::testing {

namespace {

constexpr std::uint8_t kDescriptorDevice = 1;
constexpr std::uint8_t kDescriptorConfiguration = 2;
constexpr std::uint8_t kDescriptorString = 3;

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char pair[3];
  for (std::uint8_t b : bytes) {
    std::snprintf(pair, sizeof pair, "%02x", b);
    text += pair;
  }
  return text;
}

void Put16(std::vector<std::uint8_t>& v, std::size_t at, std::uint16_t value) {
  v[at] = static_cast<std::uint8_t>(value);
  v[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

std::vector<std::uint8_t> StringDescriptor(const std::string& text) {
  std::vector<std::uint8_t> d{static_cast<std::uint8_t>(2 + 2 * text.size()), kDescriptorString};
  for (char c : text) {
    d.push_back(static_cast<std::uint8_t>(c));
    d.push_back(0);
  }
  return d;
}

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  return static_cast<EmulatedDevice*>(self)->HandleIoctl(client) ? TRUE : FALSE;
}

void OnClientConnected(UMockdevIoctlBase*, UMockdevIoctlClient*, gpointer self) {
  static_cast<EmulatedDevice*>(self)->ClientConnected();
}

}  // namespace

std::vector<std::uint8_t> DeviceDescriptor(const UsbDeviceProfile& profile) {
  std::vector<std::uint8_t> d{18, kDescriptorDevice, 0x00, 0x02, profile.deviceClass, 0, 0, 64, 0, 0, 0, 0, 0x00, 0x01,
                              1, 2, static_cast<std::uint8_t>(profile.hasSerial ? 3 : 0), 1};
  Put16(d, 8, profile.vendor);
  Put16(d, 10, profile.product);
  return d;
}

std::vector<std::uint8_t> ConfigurationDescriptor(const UsbDeviceProfile& profile) {
  std::vector<std::uint8_t> c{9, kDescriptorConfiguration, 0, 0, 1, 1, 0, 0xC0, 50};
  const std::vector<std::uint8_t> iface{9, 4, 0, 0, static_cast<std::uint8_t>(profile.endpoints.size()), 0xFF, 0, 0, 0};
  c.insert(c.end(), iface.begin(), iface.end());
  for (std::uint8_t ep : profile.endpoints) {
    const std::vector<std::uint8_t> e{7, 5, ep, 0x02, 0x00, 0x02, 0};
    c.insert(c.end(), e.begin(), e.end());
  }
  Put16(c, 2, static_cast<std::uint16_t>(c.size()));
  return c;
}

// ---- EmulatedDevice ----

EmulatedDevice::EmulatedDevice(UsbDeviceProfile profile, platform::InFlight* inFlight)
    : profile_(std::move(profile)), inFlight_(inFlight), driverBound_(profile_.kernelDriverBound) {
  handler_ = umockdev_ioctl_base_new();
  g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(OnIoctl), this);
  g_signal_connect(handler_, "client-connected", G_CALLBACK(OnClientConnected), this);
}

EmulatedDevice::~EmulatedDevice() {
  g_signal_handlers_disconnect_by_data(handler_, this);
  g_object_unref(handler_);
  std::lock_guard lock(mutex_);
  for (Urb& u : flying_) g_object_unref(u.data);
  for (Urb& u : cancelled_) g_object_unref(u.data);
  for (Done& d : reapable_) g_object_unref(d.urb.data);
  if (inFlight_ && heldUnits_) inFlight_->Done(heldUnits_);
}

std::string EmulatedDevice::SysPath() const { return "/sys/devices/pci0000:00/0000:00:14.0/usb1/" + profile_.sysfsName; }

std::string EmulatedDevice::DevNode() const {
  char node[32];
  std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", profile_.address);
  return node;
}

void EmulatedDevice::ClientConnected() {
  std::lock_guard lock(mutex_);
  ++opens_;
}

void EmulatedDevice::QueueIn(std::uint8_t endpoint, std::vector<std::uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  QueueInLocked(endpoint, std::move(bytes));
}

void EmulatedDevice::SetResponder(Responder responder) {
  std::lock_guard lock(mutex_);
  responder_ = std::move(responder);
}

void EmulatedDevice::QueueInLocked(std::uint8_t endpoint, std::vector<std::uint8_t> bytes) {
  inQueue_[endpoint].push_back(std::move(bytes));
  for (auto it = flying_.begin(); it != flying_.end(); ++it) {
    if (it->endpoint != endpoint) continue;
    Urb urb = *it;
    if (FillInLocked(urb)) {
      flying_.erase(it);
    }
    break;
  }
}

void EmulatedDevice::FailNext(std::uint8_t endpoint, int urbStatus) {
  std::lock_guard lock(mutex_);
  failures_[endpoint].push_back(urbStatus);
  // A read that waits already takes the failure now.
  for (auto it = flying_.begin(); it != flying_.end(); ++it) {
    if (it->endpoint != endpoint) continue;
    const Urb urb = *it;
    flying_.erase(it);
    CompleteLocked(urb, TakeFailureLocked(endpoint), 0);
    break;
  }
}

void EmulatedDevice::Vanish() {
  std::lock_guard lock(mutex_);
  gone_ = true;
  for (const Urb& urb : flying_) CompleteLocked(urb, -ESHUTDOWN, 0);
  flying_.clear();
}

void EmulatedDevice::WaitForPendingIn(std::uint8_t endpoint) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] {
    return std::any_of(flying_.begin(), flying_.end(), [&](const Urb& u) { return u.endpoint == endpoint; });
  });
}

void EmulatedDevice::HoldCancelled() {
  std::lock_guard lock(mutex_);
  holdCancelled_ = true;
}

void EmulatedDevice::WaitForCancelled(std::size_t count) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return cancelled_.size() >= count; });
}

void EmulatedDevice::ReleaseCancelled(const std::vector<std::uint8_t>& partial) {
  std::lock_guard lock(mutex_);
  holdCancelled_ = false;
  for (const Urb& urb : cancelled_) {
    auto* u = reinterpret_cast<usbdevfs_urb*>(urb.data->data);
    const int n = std::min<int>(u->buffer_length, static_cast<int>(partial.size()));
    std::memcpy(u->buffer, partial.data(), static_cast<std::size_t>(n));
    CompleteLocked(urb, -ENOENT, n);
  }
  cancelled_.clear();
}

std::vector<std::vector<std::uint8_t>> EmulatedDevice::Written(std::uint8_t endpoint) const {
  std::lock_guard lock(mutex_);
  const auto it = written_.find(endpoint);
  return it == written_.end() ? std::vector<std::vector<std::uint8_t>>{} : it->second;
}

std::vector<ControlRecord> EmulatedDevice::Controls() const {
  std::lock_guard lock(mutex_);
  return controls_;
}

std::uint32_t EmulatedDevice::Register(std::uint8_t reg) const {
  std::lock_guard lock(mutex_);
  const auto it = registers_.find(reg);
  return it == registers_.end() ? 0 : it->second;
}

void EmulatedDevice::SetRegister(std::uint8_t reg, std::uint32_t value) {
  std::lock_guard lock(mutex_);
  registers_[reg] = value;
}

int EmulatedDevice::Opens() const {
  std::lock_guard lock(mutex_);
  return opens_;
}
int EmulatedDevice::Claims() const {
  std::lock_guard lock(mutex_);
  return claims_;
}
int EmulatedDevice::Releases() const {
  std::lock_guard lock(mutex_);
  return releases_;
}
int EmulatedDevice::Resets() const {
  std::lock_guard lock(mutex_);
  return resets_;
}
bool EmulatedDevice::KernelDriverBound() const {
  std::lock_guard lock(mutex_);
  return driverBound_;
}
int EmulatedDevice::PendingIn(std::uint8_t endpoint) const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(
      std::count_if(flying_.begin(), flying_.end(), [&](const Urb& u) { return u.endpoint == endpoint; }));
}

int EmulatedDevice::TakeFailureLocked(std::uint8_t endpoint) {
  auto& queue = failures_[endpoint];
  if (queue.empty()) return 0;
  const int status = queue.front();
  queue.pop_front();
  return status;
}

// The URB can be reaped from now on; libusb asks for it again and again.
void EmulatedDevice::CompleteLocked(const Urb& urb, int status, int actual) {
  reapable_.push_back(Done{urb, status, actual});
  if (inFlight_) {
    inFlight_->Add(1);
    ++heldUnits_;
  }
  changed_.notify_all();
}

bool EmulatedDevice::FillInLocked(Urb& urb) {
  auto* u = reinterpret_cast<usbdevfs_urb*>(urb.data->data);
  auto& queue = inQueue_[urb.endpoint];
  if (queue.empty()) return false;
  const std::vector<std::uint8_t> bytes = std::move(queue.front());
  queue.pop_front();
  const int n = std::min<int>(u->buffer_length, static_cast<int>(bytes.size()));
  std::memcpy(u->buffer, bytes.data(), static_cast<std::size_t>(n));
  // More than the read asked for is babble.
  CompleteLocked(urb, static_cast<int>(bytes.size()) > u->buffer_length ? -EOVERFLOW : 0, n);
  return true;
}

void EmulatedDevice::ControlLocked(Urb& urb, std::uint8_t* buffer, int length) {
  ControlRecord r;
  r.bmRequestType = buffer[0];
  r.bRequest = buffer[1];
  r.wValue = static_cast<std::uint16_t>(buffer[2] | (buffer[3] << 8));
  r.wIndex = static_cast<std::uint16_t>(buffer[4] | (buffer[5] << 8));
  r.wLength = static_cast<std::uint16_t>(buffer[6] | (buffer[7] << 8));
  std::uint8_t* data = buffer + 8;
  const int room = std::min<int>(r.wLength, length - 8);
  if (!(r.bmRequestType & 0x80)) r.data.assign(data, data + room);
  controls_.push_back(r);

  if (const int failure = TakeFailureLocked(0)) {
    CompleteLocked(urb, failure, 0);
    return;
  }
  std::vector<std::uint8_t> answer;
  bool stall = false;
  if (r.bmRequestType == 0x80 && r.bRequest == 6) {
    const std::uint8_t type = static_cast<std::uint8_t>(r.wValue >> 8);
    const std::uint8_t index = static_cast<std::uint8_t>(r.wValue);
    if (type == kDescriptorDevice) {
      answer = DeviceDescriptor(profile_);
    } else if (type == kDescriptorConfiguration && index == 0) {
      answer = ConfigurationDescriptor(profile_);
    } else if (type == kDescriptorString && index == 0) {
      answer = {4, kDescriptorString, 0x09, 0x04};
    } else if (type == kDescriptorString && profile_.strings.count(index)) {
      answer = StringDescriptor(profile_.strings.at(index));
    } else {
      stall = true;
    }
  } else if (r.bmRequestType == 0xC0) {
    const std::uint32_t value = registers_[r.bRequest];
    answer = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
              static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
  } else if (r.bmRequestType == 0x40) {
    registers_[r.bRequest] = r.wValue | (static_cast<std::uint32_t>(r.wIndex) << 16);
  } else if (r.bmRequestType & 0x80) {
    stall = true;
  }
  if (stall) {
    CompleteLocked(urb, -EPIPE, 0);
    return;
  }
  const int n = std::min<int>(room, static_cast<int>(answer.size()));
  if (r.bmRequestType & 0x80) {
    std::memcpy(data, answer.data(), static_cast<std::size_t>(n));
    CompleteLocked(urb, 0, n);
  } else {
    CompleteLocked(urb, 0, room);
  }
}

void EmulatedDevice::SubmitLocked(UMockdevIoctlData* urbData, UMockdevIoctlClient* client) {
  auto* u = reinterpret_cast<usbdevfs_urb*>(urbData->data);
  // Makes u->buffer point at a local copy of the client's buffer, written
  // back to the client when the URB is reaped.
  UMockdevIoctlData* buffer =
      umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer), static_cast<gsize>(u->buffer_length), nullptr);
  if (buffer) g_object_unref(buffer);  // the URB keeps it
  Urb urb{umockdev_ioctl_data_ref(urbData), u->endpoint, u->type};
  umockdev_ioctl_client_complete(client, 0, 0);

  auto* bytes = static_cast<std::uint8_t*>(u->buffer);
  if (u->type == USBDEVFS_URB_TYPE_CONTROL) {
    ControlLocked(urb, bytes, u->buffer_length);
  } else if (const int failure = TakeFailureLocked(u->endpoint)) {
    CompleteLocked(urb, failure, 0);
  } else if (!(u->endpoint & 0x80)) {
    const std::vector<std::uint8_t>& data = written_[u->endpoint].emplace_back(bytes, bytes + u->buffer_length);
    CompleteLocked(urb, 0, u->buffer_length);
    if (responder_) {
      for (Answer& answer : responder_(u->endpoint, data)) QueueInLocked(answer.first, std::move(answer.second));
    }
  } else if (!FillInLocked(urb)) {
    flying_.push_back(urb);
    changed_.notify_all();
  }
}

void EmulatedDevice::Reap(UMockdevIoctlClient* client) {
  std::unique_lock lock(mutex_);
  if (reapable_.empty()) {
    // libusb has run the completions of everything it reaped before.
    const std::int64_t units = heldUnits_;
    heldUnits_ = 0;
    const bool gone = gone_;
    lock.unlock();
    if (inFlight_ && units) inFlight_->Done(units);
    umockdev_ioctl_client_complete(client, -1, gone ? ENODEV : EAGAIN);
    return;
  }
  Done done = reapable_.front();
  reapable_.pop_front();
  lock.unlock();
  auto* u = reinterpret_cast<usbdevfs_urb*>(done.urb.data->data);
  u->status = done.status;
  u->actual_length = done.actual;
  UMockdevIoctlData* pointer = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(void*), nullptr);
  umockdev_ioctl_data_set_ptr(pointer, 0, done.urb.data);
  umockdev_ioctl_client_complete(client, 0, 0);
  g_object_unref(pointer);
  g_object_unref(done.urb.data);
}

void EmulatedDevice::Discard(UMockdevIoctlClient* client) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  const auto address = reinterpret_cast<gulong>(*reinterpret_cast<void**>(arg->data));
  std::lock_guard lock(mutex_);
  const auto it =
      std::find_if(flying_.begin(), flying_.end(), [&](const Urb& u) { return u.data->client_addr == address; });
  if (it == flying_.end()) {
    // Already given back (or never known): the kernel says EINVAL.
    umockdev_ioctl_client_complete(client, -1, EINVAL);
    return;
  }
  const Urb urb = *it;
  flying_.erase(it);
  if (holdCancelled_) {
    cancelled_.push_back(urb);
    changed_.notify_all();
  } else {
    CompleteLocked(urb, -ENOENT, 0);
  }
  umockdev_ioctl_client_complete(client, 0, 0);
}

bool EmulatedDevice::HandleIoctl(UMockdevIoctlClient* client) {
  const gulong request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  {
    std::lock_guard lock(mutex_);
    if (gone_ && request != USBDEVFS_REAPURB && request != USBDEVFS_REAPURBNDELAY &&
        request != USBDEVFS_DISCARDURB) {
      umockdev_ioctl_client_complete(client, -1, ENODEV);
      return true;
    }
  }
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
      *reinterpret_cast<guint32*>(d->data) = USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_BULK_CONTINUATION |
                                              USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT |
                                              USBDEVFS_CAP_ZERO_PACKET;
      umockdev_ioctl_client_complete(client, 0, 0);
      g_object_unref(d);
      return true;
    }
    case USBDEVFS_CLAIMINTERFACE: {
      std::lock_guard lock(mutex_);
      if (driverBound_) {
        umockdev_ioctl_client_complete(client, -1, EBUSY);
        return true;
      }
      ++claims_;
      umockdev_ioctl_client_complete(client, 0, 0);
      return true;
    }
    case USBDEVFS_DISCONNECT_CLAIM: {
      // libusb asks to take the interface from any driver but its own.
      std::lock_guard lock(mutex_);
      if (driverBound_) {
        driverBound_ = false;
        driverDetached_ = true;
      }
      ++claims_;
      umockdev_ioctl_client_complete(client, 0, 0);
      return true;
    }
    case USBDEVFS_RELEASEINTERFACE: {
      std::lock_guard lock(mutex_);
      ++releases_;
      umockdev_ioctl_client_complete(client, 0, 0);
      return true;
    }
    case USBDEVFS_GETDRIVER: {
      std::lock_guard lock(mutex_);
      if (!driverBound_) {
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return true;
      }
      UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), nullptr);
      std::strcpy(reinterpret_cast<usbdevfs_getdriver*>(d->data)->driver, "scanner-test-driver");
      umockdev_ioctl_client_complete(client, 0, 0);
      g_object_unref(d);
      return true;
    }
    case USBDEVFS_IOCTL: {
      UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), nullptr);
      const int code = reinterpret_cast<usbdevfs_ioctl*>(d->data)->ioctl_code;
      g_object_unref(d);
      std::lock_guard lock(mutex_);
      if (code == static_cast<int>(USBDEVFS_DISCONNECT)) {
        if (!driverBound_) {
          umockdev_ioctl_client_complete(client, -1, ENODATA);
          return true;
        }
        driverBound_ = false;
        driverDetached_ = true;
      } else if (code == static_cast<int>(USBDEVFS_CONNECT)) {
        if (driverDetached_) driverBound_ = true;
        driverDetached_ = false;
      }
      umockdev_ioctl_client_complete(client, 0, 0);
      return true;
    }
    case USBDEVFS_RESET: {
      std::lock_guard lock(mutex_);
      ++resets_;
      umockdev_ioctl_client_complete(client, 0, 0);
      return true;
    }
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
      umockdev_ioctl_client_complete(client, 0, 0);
      return true;
    case USBDEVFS_SUBMITURB: {
      UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
      {
        std::lock_guard lock(mutex_);
        SubmitLocked(urbData, client);
      }
      g_object_unref(urbData);
      return true;
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
      Reap(client);
      return true;
    case USBDEVFS_DISCARDURB:
      Discard(client);
      return true;
    default:
      std::fprintf(stderr, "emulated usbfs: request 0x%lx not handled\n", static_cast<unsigned long>(request));
      return false;
  }
}

// ---- EmulatedUsb ----

EmulatedUsb::EmulatedUsb(platform::InFlight* inFlight, bool withBus) : inFlight_(inFlight) {
  testbed_ = umockdev_testbed_new();
  if (!testbed_) throw std::runtime_error("umockdev testbed");
  if (!withBus) return;
  UsbDeviceProfile hub;
  hub.deviceClass = 0x09;
  hub.vendor = 0x1D6B;
  hub.product = 0x0002;
  hub.endpoints = {0x81};
  std::vector<std::uint8_t> descriptors = DeviceDescriptor(hub);
  const auto config = ConfigurationDescriptor(hub);
  descriptors.insert(descriptors.end(), config.begin(), config.end());
  const std::string description =
      "P: /devices/pci0000:00/0000:00:14.0/usb1\n"
      "N: bus/usb/001/001\n"
      "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n"
      "E: BUSNUM=001\nE: DEVNUM=001\nE: DEVNAME=/dev/bus/usb/001/001\n"
      "A: busnum=1\\n\nA: devnum=1\\n\nA: speed=480\\n\nA: bConfigurationValue=1\\n\n"
      "A: serial=0000:00:14.0\\n\n"
      "H: descriptors=" + Hex(descriptors) + "\n";
  umockdev_testbed_add_from_string(testbed_, description.c_str(), nullptr);
}

EmulatedUsb::~EmulatedUsb() {
  // The handlers go with the testbed; the devices' state after that.
  g_object_unref(testbed_);
  devices_.clear();
}

std::string EmulatedUsb::RootDir() const {
  gchar* dir = umockdev_testbed_get_root_dir(testbed_);
  std::string text(dir);
  g_free(dir);
  return text;
}

EmulatedDevice& EmulatedUsb::Add(const UsbDeviceProfile& profile) {
  devices_.push_back(std::make_unique<EmulatedDevice>(profile, inFlight_));
  EmulatedDevice& device = *devices_.back();
  if (!umockdev_testbed_attach_ioctl(testbed_, device.DevNode().c_str(), device.handler(), nullptr)) {
    throw std::runtime_error("umockdev: attach ioctl handler");
  }
  std::vector<std::uint8_t> descriptors = DeviceDescriptor(profile);
  const auto config = ConfigurationDescriptor(profile);
  descriptors.insert(descriptors.end(), config.begin(), config.end());
  char numbers[160];
  std::snprintf(numbers, sizeof numbers,
                "E: BUSNUM=001\nE: DEVNUM=%03d\nE: DEVNAME=/dev/bus/usb/001/%03d\n"
                "A: busnum=1\\n\nA: devnum=%d\\n\n",
                profile.address, profile.address, profile.address);
  std::string description = "P: " + device.SysPath().substr(4) + "\n" + "N: " + device.DevNode().substr(5) + "\n" +
                            "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n" + numbers +
                            "A: speed=480\\n\nA: bConfigurationValue=1\\n\n";
  if (profile.hasSerial) description += "A: serial=" + profile.serial + "\\n\n";
  description += "H: descriptors=" + Hex(descriptors) + "\n";
  if (!umockdev_testbed_add_from_string(testbed_, description.c_str(), nullptr)) {
    throw std::runtime_error("umockdev: add device " + profile.sysfsName);
  }
  return device;
}

void EmulatedUsb::AddSerialPort() {
  umockdev_testbed_add_from_string(testbed_,
                                   "P: /devices/pnp0/00:05/tty/ttyS0\nN: ttyS0\n"
                                   "E: SUBSYSTEM=tty\nE: DEVNAME=/dev/ttyS0\n"
                                   "A: serial=00000000051B\\n\n",
                                   nullptr);
}

void EmulatedUsb::AddInterfaceOf(const EmulatedDevice& device) {
  const std::string name = device.profile().sysfsName + ":1.0";
  const std::string description = "P: " + device.SysPath().substr(4) + "/" + name + "\n" +
                                  "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n"
                                  "A: bInterfaceNumber=00\\n\nA: bInterfaceClass=ff\\n\n";
  umockdev_testbed_add_from_string(testbed_, description.c_str(), nullptr);
}

void EmulatedUsb::RemoveUevent(const EmulatedDevice& device) {
  umockdev_testbed_uevent(testbed_, device.SysPath().c_str(), "remove");
}

void EmulatedUsb::Unplug(EmulatedDevice& device) {
  device.Vanish();
  RemoveUevent(device);
  umockdev_testbed_remove_device(testbed_, device.SysPath().c_str());
}

}  // namespace nimbrel::testing
