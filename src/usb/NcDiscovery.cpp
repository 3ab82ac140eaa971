// Discovery and hot-plug: which devices are the scanner, device objects
// built for them, and the connect and disconnect events. Everything here
// runs on the UI thread.

#include <algorithm>
#include <cctype>
#include <cstring>
#include <strings.h>

#include "usb/NcRequests.h"
#include "usb/TNcBulkUSB.h"

namespace nimbrel::usb {

namespace {

constexpr std::size_t kPathListSize = 128;

std::string Upper(const char* text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::uint32_t LoadU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void StoreU32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

char* NcCopyText(UsbLayer& layer, const std::string& text) {
  char* copy = static_cast<char*>(NcMalloc(layer, text.size() + 1));
  if (copy) std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

}  // namespace

std::vector<std::uint8_t> MakeDeviceInterfaceBroadcast(const std::string& devicePath) {
  std::vector<std::uint8_t> record(kBroadcastNameOffset + 2 * (devicePath.size() + 1), 0);
  StoreU32(record.data(), static_cast<std::uint32_t>(record.size()));
  StoreU32(record.data() + 4, DBT_DEVTYP_DEVICEINTERFACE);
  StoreU32(record.data() + 12, kScannerInterfaceClass.data1);
  record[16] = static_cast<std::uint8_t>(kScannerInterfaceClass.data2 & 0xFF);
  record[17] = static_cast<std::uint8_t>(kScannerInterfaceClass.data2 >> 8);
  record[18] = static_cast<std::uint8_t>(kScannerInterfaceClass.data3 & 0xFF);
  record[19] = static_cast<std::uint8_t>(kScannerInterfaceClass.data3 >> 8);
  std::memcpy(record.data() + 20, kScannerInterfaceClass.data4, 8);
  for (std::size_t i = 0; i < devicePath.size(); ++i) {
    record[kBroadcastNameOffset + 2 * i] = static_cast<std::uint8_t>(devicePath[i]);
  }
  return record;
}

bool TNcBulkUSB::IsUsbUnit(const char* text) const {
  if (!text) return false;
  const std::string upper = Upper(text);
  return upper.find(Upper(unitId1_.c_str())) != std::string::npos ||
         upper.find(Upper(unitId2_.c_str())) != std::string::npos;
}

int TNcBulkUSB::System_EnumerateExistingDevices(const Guid&, char** paths, std::uint32_t* count) {
  *count = 0;
  std::vector<std::string> present;
  if (!layer_->driver().EnumerateDevicePaths(present)) return 0;
  bool found = false;
  for (const std::string& path : present) {
    if (!IsUsbUnit(path.c_str())) {
      layer_->Debug("invalid unit type skip SetupDiEnumDeviceInterfaces");
      continue;
    }
    // More accepted devices than the list holds are left out.
    if (*count == kPathListSize) break;
    layer_->Debug("____________");
    layer_->Debug(path);
    layer_->Debug("____________\n");
    char* copy = NcCopyText(*layer_, path);
    if (!copy) continue;
    paths[(*count)++] = copy;
    found = true;
  }
  return found ? 1 : 0;
}

void TNcBulkUSB::OpenDevice() {
  char* paths[kPathListSize] = {};
  std::uint32_t count = 0;
  std::uint32_t handed = 0;
  try {
    System_EnumerateExistingDevices(kScannerInterfaceClass, paths, &count);
    for (; handed < count; ++handed) NcPrivDeviceEventHandler(paths[handed], NC_DEVICE_EVENT_CONNECTED);
  } catch (...) {
    // Paths not yet handed over are still ours.
    for (std::uint32_t i = handed + 1; i < count; ++i) NcFree(paths[i]);
  }
}

int TNcBulkUSB::FindEmptyDeviceObjectIndex() const {
  for (std::size_t i = 0; i < deviceTable_.size(); ++i) {
    if (!deviceTable_[i]) return static_cast<int>(i);
  }
  return -1;
}

int TNcBulkUSB::FindDeviceObjectIndex(const char* path) const {
  if (!path) return -1;
  for (std::size_t i = 0; i < deviceTable_.size(); ++i) {
    const DevicePtr& device = deviceTable_[i];
    if (device && device->devicePath && ::strcasecmp(device->devicePath, path) == 0) return static_cast<int>(i);
  }
  return -1;
}

void TNcBulkUSB::NcPrivDeviceEventHandler(char* path, std::uint32_t state) {
  if (state == NC_DEVICE_EVENT_CONNECTED) {
    const int slot = FindEmptyDeviceObjectIndex();
    if (slot < 0) {
      // A full table refuses the arrival.
      layer_->Debug(std::string("device table full, not opened: ") + (path ? path : ""));
      NcFree(path);
      return;
    }
    DevicePtr device = System_CreateDevice(*layer_, path);
    if (!device) {
      ReportDiagnostic(*layer_, "System_CreateDevice() Failed\n");
      NcFree(path);
      return;
    }
    deviceTable_[static_cast<std::size_t>(slot)] = device;
    device->tableSlot = static_cast<std::uint32_t>(slot);
    StartDeviceThreads(device);
    device->eventKind = NC_DEVICE_EVENT_CONNECTED;
    (this->*deviceEventHandler_)(device.get());
    ++deviceTableCount_;
    return;
  }

  const int slot = FindDeviceObjectIndex(path);
  NcFree(path);
  if (slot < 0) return;
  const DevicePtr device = deviceTable_[static_cast<std::size_t>(slot)];
  if (device == currentDevice_) {
    CloseDevice(device.get());
  } else {
    // A scanner that never became current goes alone; the open one stays.
    DestroyTableDevice(device);
  }
}

int TNcBulkUSB::DeviceEventHandler(NC_DEVICE_OBJECT* device) {
  if (device->eventKind == NC_DEVICE_EVENT_CONNECTED) {
    if (layer_->DeviceConnected) return 0;
    if (!IsUsbUnit(device->strings[3])) {
      layer_->Debug("invalid unit type ignnore NC_DEVICE_EVENT_CONNECTED");
      return 0;
    }
    layer_->Debug(std::string("connected:") + device->strings[3]);
    layer_->DeviceConnected = true;
    const int slot = static_cast<int>(device->tableSlot);
    currentDevice_ = deviceTable_[static_cast<std::size_t>(slot)];
    controlEndpoint_ = &device->controlEndpoint;
    controlEndpoint_->Request.handler = OnControlTransferEnd;
    controlEndpoint_->Request.buffer = ControlBuffer;
    SetActiveState(true);
    OnConnect();
    return 0;
  }
  if (device->eventKind == NC_DEVICE_EVENT_DISCONNECTED) {
    if (!IsUsbUnit(device->strings[3])) {
      layer_->Debug("invalid unit type ignnore NC_DEVICE_EVENT_DISCONNECTED");
      return 0;
    }
    layer_->DeviceConnected = false;
    SetActiveState(false);
    OnDisconnect();
  }
  return 0;
}

void TNcBulkUSB::CloseDevice(NC_DEVICE_OBJECT* device) {
  try {
    if (!currentDevice_ || !device) return;
    if (!IsUsbUnit(device->strings[3])) {
      layer_->Debug("invalid unit type ignnore NC_DEVICE_EVENT_CONNECTED");
      return;
    }
    layer_->DeviceConnected = false;
    SetActiveState(false);
    MarkClosing(device);
    device->eventKind = NC_DEVICE_EVENT_DISCONNECTED;

    // Kept alive through the teardown, whatever the disconnect handler does.
    DevicePtr closing = currentDevice_.get() == device ? currentDevice_ : deviceTable_[device->tableSlot];
    DeviceTableSlots others = deviceTable_;

    (this->*deviceEventHandler_)(device);

    System_CancelAllTransfers(device);
    System_CloseAllEndpointHandles(device);
    CompleteAllTransferWithError(device);
    System_DestroyDevice(device);
    // Device objects that never became current are destroyed too.
    for (const DevicePtr& other : others) {
      if (other && other.get() != device) System_DestroyDevice(other.get());
    }
    for (DevicePtr& slot : deviceTable_) {
      if (!slot) continue;
      const bool wasHere =
          slot.get() == device || std::find(others.begin(), others.end(), slot) != others.end();
      if (wasHere) slot.reset();
    }
    deviceTableCount_ = 0;
    if (currentDevice_.get() == device) {
      currentDevice_.reset();
      controlEndpoint_ = nullptr;
    }
  } catch (...) {
  }
}

void TNcBulkUSB::DestroyTableDevice(const DevicePtr& device) {
  System_DestroyDevice(device.get());
  for (DevicePtr& slot : deviceTable_) {
    if (slot == device) slot.reset();
  }
}

void TNcBulkUSB::SetEventCaller(void* window) {
  if (window) eventCaller_ = window;
  if (eventCaller_) System_StartPnpNotice(eventCaller_, kScannerInterfaceClass);
}

void TNcBulkUSB::ReleaseEventCaller() { pnpNotice_ = false; }

// The driver's arrival and removal events stand in for the platform's
// notifications: registering makes arrivals reach the component.
int TNcBulkUSB::System_StartPnpNotice(void* window, const Guid&) {
  if (!window) return -1;
  pnpNotice_ = true;
  return 0;
}

int TNcBulkUSB::System_StopPnpNotice() {
  if (!pnpNotice_) return -1;
  pnpNotice_ = false;
  return 0;
}

int TNcBulkUSB::EventCall(std::uint32_t message, std::uintptr_t wParam, const void* lParam) {
  return System_FilterDeviceEvents(message, wParam, lParam);
}

int TNcBulkUSB::System_FilterDeviceEvents(std::uint32_t message, std::uintptr_t wParam, const void* lParam) {
  if (message != WM_DEVICECHANGE || !lParam) return 0;
  const auto* record = static_cast<const std::uint8_t*>(lParam);
  if (LoadU32(record + 4) != DBT_DEVTYP_DEVICEINTERFACE) return 0;
  // The name ends at its zero, and never beyond the record's size.
  const auto name = [&] {
    const std::uint32_t size = LoadU32(record);
    const std::size_t units = size > kBroadcastNameOffset ? (size - kBroadcastNameOffset) / 2 : 0;
    return NcCopyText(*layer_, NarrowUtf16(record + kBroadcastNameOffset, units));
  };
  if (wParam == DBT_DEVICEARRIVAL) {
    if (layer_->DeviceConnected) return 1;
    if (char* path = name()) NcPrivDeviceEventHandler(path, NC_DEVICE_EVENT_CONNECTED);
    return 1;
  }
  if (wParam == DBT_DEVICEREMOVECOMPLETE) {
    if (!layer_->DeviceConnected) return 1;
    if (char* path = name()) NcPrivDeviceEventHandler(path, NC_DEVICE_EVENT_DISCONNECTED);
    return 1;
  }
  return 0;
}

void TNcBulkUSB::DriverDeviceEvent(DeviceEventKind kind, const std::string& devicePath) {
  // A removal always closes the open scanner, so that one that restarts or
  // is unplugged does not leave the link active on dead pipes. Arrivals are
  // taken only with a window registered for notices, which this program
  // never records.
  if (kind == DeviceEventKind::Arrival && !pnpNotice_) return;
  if (kind == DeviceEventKind::Removal && DeferRemoval(devicePath)) return;
  FilterDeviceEvent(kind, devicePath);
}

void TNcBulkUSB::RemovalAfterCompletions(const DevicePtr& device, const std::string& devicePath) {
  // A device closed meanwhile (and perhaps one opened after it) is not this removal's.
  if (!device || device != currentDevice_) return;
  FilterDeviceEvent(DeviceEventKind::Removal, devicePath);
}

void TNcBulkUSB::FilterDeviceEvent(DeviceEventKind kind, const std::string& devicePath) {
  const std::vector<std::uint8_t> record = MakeDeviceInterfaceBroadcast(devicePath);
  System_FilterDeviceEvents(WM_DEVICECHANGE,
                            kind == DeviceEventKind::Arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
                            record.data());
}

}  // namespace nimbrel::usb
