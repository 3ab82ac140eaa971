#pragma once
// The objects of the USB layer over the bulk driver: what the whole layer
// shares (UsbLayer), the device object that stands for one opened scanner
// (NC_DEVICE_OBJECT) and its endpoint objects (NC_ENDPOINT_OBJECT).
//
// Threads: a device object is built and torn down on the UI thread; its
// BulkThread and ControlThread share it (std::shared_ptr), so that a worker
// that is still inside a completion handler when its device is torn down
// (a handler may wait for the UI thread) keeps what it touches alive and
// ends by itself once the handler returns.

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/Trace.h"
#include "usb/Driver.h"

namespace nimbrel::usb {

struct NC_DEVICE_OBJECT;
struct NC_ENDPOINT_OBJECT;

inline constexpr std::uint32_t NC_DEVICE_EVENT_CONNECTED = 1;
inline constexpr std::uint32_t NC_DEVICE_EVENT_DISCONNECTED = 2;

// Device object state and usable flag.
inline constexpr std::uint32_t kDeviceOpen = 1;
inline constexpr std::uint32_t kDeviceClosing = 2;

inline constexpr std::size_t kDeviceDescriptorLength = 18;
inline constexpr std::size_t kStringTableSlots = 10;
inline constexpr std::size_t kMaxBulkEndpoints = 30;
inline constexpr std::size_t kStringScratchSize = 256;
inline constexpr std::size_t kDiagnosticTextSize = 65536;
inline constexpr std::uint32_t kExpectedDriverVersion = 0x03020730;

// USB descriptor types.
inline constexpr std::uint8_t USB_DEVICE_DESCRIPTOR_TYPE = 1;
inline constexpr std::uint8_t USB_CONFIGURATION_DESCRIPTOR_TYPE = 2;
inline constexpr std::uint8_t USB_STRING_DESCRIPTOR_TYPE = 3;
inline constexpr std::uint8_t USB_INTERFACE_DESCRIPTOR_TYPE = 4;
inline constexpr std::uint8_t USB_ENDPOINT_DESCRIPTOR_TYPE = 5;

// What the whole USB layer shares: the driver, the debug trace, the
// DeviceConnected flag, the latest diagnostic, the string descriptor
// scratch buffer, and the worker threads that outlived their device.
//
// The layer outlives every component and device object built on it. Its
// destructor joins the worker threads still running, so it is destroyed only
// once none of them can be waiting for the destroying thread (after the UI
// loop's Shutdown, or when no completion handler waits in EventLoop::Invoke).
class UsbLayer final {
 public:
  explicit UsbLayer(Driver& driver, platform::Trace* trace = nullptr) : driver_(driver), trace_(trace) {}
  ~UsbLayer();
  UsbLayer(const UsbLayer&) = delete;
  UsbLayer& operator=(const UsbLayer&) = delete;

  Driver& driver() const { return driver_; }
  platform::InFlight* inFlight() const { return driver_.inFlight(); }

  // A line of the debug trace.
  void Debug(std::string_view text) const {
    if (trace_) trace_->Debug(text);
  }

  // Set while a device is connected (one flag for the whole layer); the
  // worker threads end when they wake and find it clear.
  std::atomic<bool> DeviceConnected{false};

  // The latest diagnostic, whole: every report replaces it at once.
  std::string DiagnosticText() const;
  void SetDiagnosticText(std::string text);

  // The scratch buffer of string descriptor reads; hold the lock while using it.
  std::mutex stringScratchLock;
  std::array<std::uint8_t, kStringScratchSize> stringScratch{};

  // A worker thread that could not be joined when its device was torn down
  // (it was inside a completion handler); `ended` is set as its last act.
  void Park(std::thread thread, std::shared_ptr<std::atomic<bool>> ended);
  // Joins the parked threads that have ended; never waits for one that runs.
  void ReapParked();
  // Joins every parked thread, waiting for those that still run. Only where
  // none of them can be waiting for the calling thread.
  void JoinParked();
  std::size_t ParkedCount() const;

 private:
  struct Parked {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> ended;
  };

  Driver& driver_;
  platform::Trace* trace_;
  mutable std::mutex diagnosticLock_;
  std::string diagnosticText_;
  mutable std::mutex parkedLock_;
  std::vector<Parked> parked_;
};

// A transfer request: the buffer, its length and the completion handler
// (called with the endpoint object; its result is not used).
struct TransferRequest {
  void* buffer = nullptr;
  std::uint32_t length = 0;
  std::function<int(NC_ENDPOINT_OBJECT*)> handler;
};

// The initial completion handler of every endpoint object.
int DoNothing(NC_ENDPOINT_OBJECT* endpoint);

struct NC_ENDPOINT_OBJECT {
  TransferRequest* request = &Request;
  // 1 pending, 0 done, -1 failed.
  std::atomic<std::int32_t> status{0};
  // Bytes moved by the last transfer.
  std::atomic<std::uint32_t> byteCount{0};
  // 0 for the control endpoint; n for the n-th endpoint descriptor.
  std::uint32_t channel = 0;
  // Its endpoint descriptor inside the configuration copy; none for channel 0.
  const std::uint8_t* descriptor = nullptr;
  TransferRequest Request;
  NC_DEVICE_OBJECT* device = nullptr;
  // The pipe's first handle (the device handle for the control endpoint)
  // and its second one.
  Handle queuedHandle = kInvalidHandle;
  Handle blockingHandle = kInvalidHandle;
  // hEvent refers to this endpoint object, for the completion routine.
  Overlapped queuedOverlapped;
  // hEvent refers to blockingEvent.
  Overlapped blockingOverlapped;
  std::unique_ptr<WakeEvent> blockingEvent;
  // The start functions: reads for an IN endpoint, writes for an OUT one.
  bool in = false;
  CompletionRoutine completionRoutine = nullptr;
};

// A bulk transfer waiting for the BulkThread. `counted`: it holds a unit of
// work in flight (not while the UI thread holds the BulkThread, see
// NcH_EpTransfer).
struct BulkQueueEntry {
  NC_ENDPOINT_OBJECT* endpoint = nullptr;
  bool counted = true;
};

// A control transfer waiting for the ControlThread, with the setup packet
// and buffer it was queued with (a later request on the same device does not
// rewrite a queued one).
struct ControlQueueEntry {
  NC_ENDPOINT_OBJECT* endpoint = nullptr;
  std::array<std::uint8_t, 8> setupPacket{};
  void* buffer = nullptr;
};

struct NC_DEVICE_OBJECT {
  explicit NC_DEVICE_OBJECT(UsbLayer& owner);
  ~NC_DEVICE_OBJECT();
  NC_DEVICE_OBJECT(const NC_DEVICE_OBJECT&) = delete;
  NC_DEVICE_OBJECT& operator=(const NC_DEVICE_OBJECT&) = delete;

  UsbLayer& layer;

  std::uint8_t deviceDescriptor[kDeviceDescriptorLength] = {};
  // The configuration descriptor set (NcMalloc); configurationSize is the
  // size of the block, which bounds every walk through it.
  std::uint8_t* configuration = nullptr;
  std::uint32_t configurationSize = 0;
  // String texts by string index (NcMalloc), or none.
  char* strings[kStringTableSlots] = {};

  NC_ENDPOINT_OBJECT controlEndpoint;
  // The setup packet of the control endpoint's current transfer.
  std::uint8_t setupPacket[8] = {};
  // N: the bulk endpoint objects made; 0 until they are all made.
  std::uint32_t endpointCount = 0;
  NC_ENDPOINT_OBJECT endpoints[kMaxBulkEndpoints];

  std::uint32_t eventKind = 0;
  std::atomic<std::uint32_t> state{0};
  Handle deviceHandle = kInvalidHandle;

  std::recursive_mutex bulkLock;
  std::deque<BulkQueueEntry> BulkQueue;
  WakeEvent bulkWake;  // "XferEvent", this device's own
  std::thread BulkThread;
  // What is to follow the completions queued to the BulkThread so far (a
  // removal of this device, so that a reply read before it is not lost):
  // the thread runs it after its next wait, or as it ends. Under bulkLock,
  // as is bulkThreadDone (the thread takes nothing more).
  std::function<void()> afterCompletions;
  bool bulkThreadDone = false;

  std::recursive_mutex controlLock;
  std::deque<ControlQueueEntry> ControlQueue;
  WakeEvent controlWake;  // "Ep0XferEvent", this device's own
  std::thread ControlThread;

  char* devicePath = nullptr;  // NcMalloc, owned once the build succeeded
  std::atomic<std::uint32_t> usable{0};
  std::uint32_t tableSlot = 0;

  // How many pieces of work handed over by this device's buffer events the
  // UI thread is running now (their BulkThread waits for them). UI thread only.
  int uiHoldsWorker = 0;

  // Orders the step to closing against the worker threads: a transfer is
  // started, and a completion handler entered, only under this lock and
  // only while the state is not closing. Never held while a handler runs.
  std::mutex gate;
  bool bulkInHandler = false;     // under gate
  bool controlInHandler = false;  // under gate
  // One control transfer at a time on the device handle, and its close.
  std::mutex controlIo;
  // Set by each worker thread as its last act.
  std::shared_ptr<std::atomic<bool>> bulkEnded = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<std::atomic<bool>> controlEnded = std::make_shared<std::atomic<bool>>(false);
};

using DevicePtr = std::shared_ptr<NC_DEVICE_OBJECT>;

}  // namespace nimbrel::usb
