#pragma once
// The TUSB component over the bulk driver: discovery and hot-plug, the
// connect and disconnect events, bulk reads and sends on the scanner's
// channels and its 32-bit registers through vendor control requests.
//
// Threads (besides the TUSB contract):
//  - The component is built, used and destroyed on the UI thread. Arrival
//    and removal events of the driver are posted to the UI loop.
//  - The buffer events run on the open device's BulkThread. A handler may
//    wait there for the UI thread (EventLoop::Invoke); deactivation never
//    waits for such a handler: SetActive(false), from inside the handed-over
//    work or from anywhere else on the UI thread, and the destructor, close
//    the device and return while that handler still waits. The worker then
//    raises nothing more; it ends by itself once its handler returns, and
//    the layer joins it (UsbLayer). Work it handed to the UI thread checks
//    EventCurrent(ticket) and finds the ticket stale.
//  - After deactivation (or destruction) returns, no event is raised anew and
//    no buffer given to ReadBuffer or SendBuffer is touched again. A handler
//    already called may still be running; it must keep to what outlives the
//    component (the window's handler only hands work to the UI loop).
//
// Channels 1 to 30 name the endpoint objects; a channel beyond the device's
// endpoint count fails when started (OnReadError / OnSendError with -1), one
// outside 1 to 30 is refused by ReadBuffer and SendBuffer (false).

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/EventLoop.h"
#include "usb/NcDevice.h"
#include "usb/NcEngine.h"
#include "usb/TUSB.h"

namespace nimbrel::usb {

// Device-change messages as the window forwards them.
inline constexpr std::uint32_t WM_DEVICECHANGE = 0x0219;
inline constexpr std::uintptr_t DBT_DEVICEARRIVAL = 0x8000;
inline constexpr std::uintptr_t DBT_DEVICEREMOVECOMPLETE = 0x8004;
inline constexpr std::uint32_t DBT_DEVTYP_DEVICEINTERFACE = 5;
// The broadcast record of a device-interface event: 32-bit size, 32-bit
// device type, 32-bit reserved, the 16-byte class GUID, then the device path
// as UTF-16 up to its terminating zero.
inline constexpr std::size_t kBroadcastNameOffset = 28;

// The device interface class of the scanner.
struct Guid {
  std::uint32_t data1;
  std::uint16_t data2;
  std::uint16_t data3;
  std::uint8_t data4[8];
};
inline constexpr Guid kScannerInterfaceClass = {
    0x5DA666E0, 0xA683, 0x11D4, {0xBE, 0x1A, 0x00, 0x03, 0x98, 0x23, 0x7A, 0x08}};

// A broadcast record for a device-interface event of that path.
std::vector<std::uint8_t> MakeDeviceInterfaceBroadcast(const std::string& devicePath);

class TNcBulkUSB final : public TUSB {
 public:
  // The layer and the loop outlive the component.
  TNcBulkUSB(std::shared_ptr<UsbLayer> layer, platform::EventLoop& loop, std::string unitId1, std::string unitId2);
  ~TNcBulkUSB() override;
  TNcBulkUSB(const TNcBulkUSB&) = delete;
  TNcBulkUSB& operator=(const TNcBulkUSB&) = delete;

  void SetActive(bool value) override;
  bool ReadBuffer(int channel, int size, std::uint8_t* buffer) override;
  bool SendBuffer(int channel, int size, std::uint8_t* buffer) override;
  std::uint32_t GetRegister(unsigned reg) override;
  void SetRegister(unsigned reg, unsigned value) override;
  void SetEventCaller(void* window) override;
  bool EventCurrent(std::uint64_t ticket) const override;
  bool BeginEventWork(std::uint64_t ticket) override;
  void EndEventWork() override;

  void ResetUSB_PowerSave();
  // Slot `index` of the open device's string table; none outside 0 to 9,
  // for an empty slot, or without an open device.
  const char* GetDescripterString(int index) const;
  void ReleaseEventCaller();
  // A device-change message of the window: 1 when it was a device-interface
  // arrival or removal.
  int EventCall(std::uint32_t message, std::uintptr_t wParam, const void* lParam);

  // ---- Discovery ----
  bool IsUsbUnit(const char* text) const;
  void OpenDevice();
  void CloseDevice(NC_DEVICE_OBJECT* device);
  int System_EnumerateExistingDevices(const Guid& interfaceClass, char** paths, std::uint32_t* count);
  // Takes ownership of `path` (an NcMalloc text).
  void NcPrivDeviceEventHandler(char* path, std::uint32_t state);
  int DeviceEventHandler(NC_DEVICE_OBJECT* device);
  int FindEmptyDeviceObjectIndex() const;
  int FindDeviceObjectIndex(const char* path) const;
  int System_StartPnpNotice(void* window, const Guid& interfaceClass);
  int System_StopPnpNotice();
  int System_FilterDeviceEvents(std::uint32_t message, std::uintptr_t wParam, const void* lParam);

  // ---- State, for inspection ----
  const std::string& UsbUnitId1() const { return unitId1_; }
  const std::string& UsbUnitId2() const { return unitId2_; }
  UsbLayer& Layer() const { return *layer_; }
  NC_DEVICE_OBJECT* CurrentDevice() const { return currentDevice_.get(); }
  const DeviceTableSlots& DeviceTable() const { return deviceTable_; }
  std::uint32_t DeviceTableCount() const { return deviceTableCount_; }
  bool PnpNoticeRegistered() const { return pnpNotice_; }

  // The control endpoint's data buffer; the first 4 bytes hold a register
  // value, little-endian.
  std::uint8_t ControlBuffer[4096] = {};

 private:
  struct Shared;

  // The completion handlers of reads, sends and control transfers.
  static int ReadBufferEnd(const std::shared_ptr<Shared>& shared, NC_ENDPOINT_OBJECT* endpoint);
  static int SendBufferEnd(const std::shared_ptr<Shared>& shared, NC_ENDPOINT_OBJECT* endpoint);
  static int RaiseBufferEvent(const std::shared_ptr<Shared>& shared, NC_ENDPOINT_OBJECT* endpoint, bool send);
  static int OnControlTransferEnd(NC_ENDPOINT_OBJECT* endpoint);

  void DriverDeviceEvent(DeviceEventKind kind, const std::string& devicePath);
  // Sends a removal of the open device round through its BulkThread; false
  // when it is to be handled now.
  bool DeferRemoval(const std::string& devicePath);
  void RemovalAfterCompletions(const DevicePtr& device, const std::string& devicePath);
  // Hands an arrival or removal to System_FilterDeviceEvents as the window's broadcast.
  void FilterDeviceEvent(DeviceEventKind kind, const std::string& devicePath);
  // The component behind work posted to the UI thread, or none when it has
  // gone (the UI thread is the only one that destroys it).
  static TNcBulkUSB* OwnerOf(const std::weak_ptr<Shared>& weak);
  void SetActiveState(bool active);
  bool QueueBulk(int channel, int size, std::uint8_t* buffer, bool send);
  void DestroyTableDevice(const DevicePtr& device);

  std::shared_ptr<UsbLayer> layer_;
  platform::EventLoop& loop_;
  std::string unitId1_;
  std::string unitId2_;
  std::shared_ptr<Shared> shared_;
  void* eventCaller_ = nullptr;
  bool pnpNotice_ = false;
  int (TNcBulkUSB::*deviceEventHandler_)(NC_DEVICE_OBJECT*) = &TNcBulkUSB::DeviceEventHandler;
  DevicePtr currentDevice_;
  NC_ENDPOINT_OBJECT* controlEndpoint_ = nullptr;
  // The devices whose BulkThread waits for the work the UI thread runs now,
  // innermost last.
  std::vector<DevicePtr> heldWorkers_;
  DeviceTableSlots deviceTable_;
  std::uint32_t deviceTableCount_ = 0;
};

}  // namespace nimbrel::usb
