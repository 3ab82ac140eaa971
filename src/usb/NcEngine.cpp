#include "usb/NcEngine.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

#include "usb/NcRequests.h"

namespace nimbrel::usb {

namespace {

void AddInFlight(UsbLayer& layer) {
  if (platform::InFlight* inFlight = layer.inFlight()) inFlight->Add(1);
}

void ReleaseInFlight(UsbLayer& layer, std::int64_t n = 1) {
  if (platform::InFlight* inFlight = layer.inFlight(); inFlight && n != 0) inFlight->Done(n);
}

// Calls the endpoint's completion handler from a worker thread, unless the
// device is closing; `inHandler` tells teardown that this worker is inside it.
void CallHandler(NC_DEVICE_OBJECT* device, NC_ENDPOINT_OBJECT* endpoint, bool NC_DEVICE_OBJECT::*inHandler) {
  {
    std::lock_guard lock(device->gate);
    if (device->state == kDeviceClosing) return;
    device->*inHandler = true;
  }
  // A copy: the handler may hand the endpoint a new request (and handler)
  // before it returns.
  const auto handler = endpoint->Request.handler;
  if (handler) handler(endpoint);
  std::lock_guard lock(device->gate);
  device->*inHandler = false;
}

// The engine's completion routine, for every finished bulk read or write.
void EpTransferComplete(std::uint32_t errorCode, std::uint32_t bytes, Overlapped* overlapped) {
  auto* endpoint = static_cast<NC_ENDPOINT_OBJECT*>(overlapped->hEvent);
  NC_DEVICE_OBJECT* device = endpoint->device;
  {
    std::lock_guard lock(device->gate);
    if (device->state == kDeviceClosing) return;
    endpoint->byteCount = bytes;
    endpoint->status = errorCode == kErrorSuccess && device->usable == kDeviceOpen ? 0 : -1;
  }
  CallHandler(device, endpoint, &NC_DEVICE_OBJECT::bulkInHandler);
}

bool StartTransfer(NC_DEVICE_OBJECT* device, NC_ENDPOINT_OBJECT* endpoint) {
  if (endpoint->queuedHandle == kInvalidHandle) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  Driver& driver = device->layer.driver();
  const TransferRequest& request = endpoint->Request;
  return endpoint->in ? driver.ReadFileEx(endpoint->queuedHandle, request.buffer, request.length,
                                          &endpoint->queuedOverlapped, endpoint->completionRoutine)
                      : driver.WriteFileEx(endpoint->queuedHandle, request.buffer, request.length,
                                           &endpoint->queuedOverlapped, endpoint->completionRoutine);
}

// Starts what the BulkQueue holds, in order; false when the thread is to end.
bool WorkOffBulkQueue(NC_DEVICE_OBJECT* device) {
  UsbLayer& layer = device->layer;
  for (;;) {
    BulkQueueEntry entry;
    {
      std::lock_guard lock(device->bulkLock);
      if (device->state == kDeviceClosing) return false;
      if (device->BulkQueue.empty()) return true;
      entry = device->BulkQueue.front();
      device->BulkQueue.pop_front();
    }
    NC_ENDPOINT_OBJECT* endpoint = entry.endpoint;
    const std::int64_t unit = entry.counted ? 1 : 0;
    bool started = false;
    std::uint32_t error = kErrorSuccess;
    {
      std::lock_guard lock(device->gate);
      if (!layer.DeviceConnected || device->state == kDeviceClosing) {
        ReleaseInFlight(layer, unit);
        return false;
      }
      started = StartTransfer(device, endpoint);
      if (!started) error = GetLastError();
    }
    if (!started) {
      SetLastError(error);
      ReportWin32Error(layer, "NcH_EpTransfer(): ");
      endpoint->status = -1;
      endpoint->byteCount = 0;
      CallHandler(device, endpoint, &NC_DEVICE_OBJECT::bulkInHandler);
    }
    ReleaseInFlight(layer, unit);
  }
}

// Runs what waits for the completions that ran before now; `last` as the
// thread ends.
void RunAfterCompletions(NC_DEVICE_OBJECT* device, bool last) {
  std::function<void()> next;
  {
    std::lock_guard lock(device->bulkLock);
    next = std::move(device->afterCompletions);
    device->afterCompletions = nullptr;
    if (last) device->bulkThreadDone = true;
  }
  if (next) next();
}

void RunBulkThread(NC_DEVICE_OBJECT* device) {
  UsbLayer& layer = device->layer;
  while (device->state != kDeviceClosing) {
    AlertableWait(device->bulkWake);
    RunAfterCompletions(device, false);
    if (!layer.DeviceConnected) break;
    if (!WorkOffBulkQueue(device)) break;
  }
  RunAfterCompletions(device, true);
}

// Runs what the ControlQueue holds, in order; false when the thread is to end.
bool WorkOffControlQueue(NC_DEVICE_OBJECT* device) {
  UsbLayer& layer = device->layer;
  for (;;) {
    ControlQueueEntry entry;
    {
      std::lock_guard lock(device->controlLock);
      if (device->state == kDeviceClosing) return false;
      if (device->ControlQueue.empty()) return true;
      entry = device->ControlQueue.front();
      device->ControlQueue.pop_front();
    }
    NC_ENDPOINT_OBJECT* endpoint = entry.endpoint;
    bool callHandler = false;
    {
      std::lock_guard io(device->controlIo);
      if (device->state != kDeviceClosing) {
        std::uint32_t count = 0;
        const bool ok = ControlTransfer(layer, endpoint->queuedHandle, entry.setupPacket.data(), entry.buffer, &count);
        const std::uint32_t error = ok ? kErrorSuccess : GetLastError();
        if (layer.DeviceConnected) endpoint->status = ok ? 0 : -1;
        endpoint->byteCount = count;
        // A device that is gone or failing gets no handler call.
        callHandler = ok || (error != kErrorDeviceNotConnected && error != kErrorGenFailure);
      }
    }
    if (callHandler) CallHandler(device, endpoint, &NC_DEVICE_OBJECT::controlInHandler);
    ReleaseInFlight(layer);
  }
}

void RunControlThread(NC_DEVICE_OBJECT* device) {
  UsbLayer& layer = device->layer;
  while (device->state != kDeviceClosing) {
    AlertableWait(device->controlWake);
    if (!layer.DeviceConnected) return;
    if (!WorkOffControlQueue(device)) return;
  }
}

// Joins the worker unless it is inside a completion handler (or is the
// calling thread); then it is parked with the layer.
void StopWorker(NC_DEVICE_OBJECT* device, std::thread& worker, bool NC_DEVICE_OBJECT::*inHandler,
                const std::shared_ptr<std::atomic<bool>>& ended) {
  if (!worker.joinable()) return;
  bool busy = false;
  {
    std::lock_guard lock(device->gate);
    busy = device->*inHandler;
  }
  if (busy || worker.get_id() == std::this_thread::get_id()) {
    device->layer.Park(std::move(worker), ended);
  } else {
    worker.join();
  }
}

void CloseHandleOf(Driver& driver, Handle& handle) {
  if (handle == kInvalidHandle) return;
  driver.CloseHandle(handle);
  handle = kInvalidHandle;
}

}  // namespace

int DoNothing(NC_ENDPOINT_OBJECT*) { return 0; }

// ---- The layer's parked workers ----

UsbLayer::~UsbLayer() { JoinParked(); }

void UsbLayer::Park(std::thread thread, std::shared_ptr<std::atomic<bool>> ended) {
  std::lock_guard lock(parkedLock_);
  parked_.push_back({std::move(thread), std::move(ended)});
}

void UsbLayer::ReapParked() {
  std::vector<Parked> done;
  {
    std::lock_guard lock(parkedLock_);
    auto split = std::stable_partition(parked_.begin(), parked_.end(), [](const Parked& p) { return !*p.ended; });
    std::move(split, parked_.end(), std::back_inserter(done));
    parked_.erase(split, parked_.end());
  }
  // Each of these has returned from its work; joining waits only for its exit.
  for (Parked& p : done) p.thread.join();
}

void UsbLayer::JoinParked() {
  std::vector<Parked> all;
  {
    std::lock_guard lock(parkedLock_);
    all.swap(parked_);
  }
  for (Parked& p : all) {
    if (p.thread.get_id() == std::this_thread::get_id()) {
      p.thread.detach();
    } else {
      p.thread.join();
    }
  }
}

std::size_t UsbLayer::ParkedCount() const {
  std::lock_guard lock(parkedLock_);
  return parked_.size();
}

// ---- Device objects ----

NC_DEVICE_OBJECT::NC_DEVICE_OBJECT(UsbLayer& owner) : layer(owner) {}

NC_DEVICE_OBJECT::~NC_DEVICE_OBJECT() {
  NcFree(configuration);
  NcFree(devicePath);
  for (char*& text : strings) NcFree(text);
}

void FreeDeviceObject(NC_DEVICE_OBJECT* device) {
  if (!device) return;
  // A device handle of a failed build is closed here; the path stays the
  // caller's.
  CloseHandleOf(device->layer.driver(), device->deviceHandle);
  device->devicePath = nullptr;
  NcFree(device->configuration);
  device->configurationSize = 0;
  for (char*& text : device->strings) NcFree(text);
}

DevicePtr System_CreateDevice(UsbLayer& layer, char* devicePath) {
  auto device = std::make_shared<NC_DEVICE_OBJECT>(layer);
  device->deviceHandle = layer.driver().Open(devicePath ? devicePath : "");
  if (device->deviceHandle == kInvalidHandle) {
    ReportWin32Error(layer, "System_CreateDevice(): CreateFile() failed");
    FreeDeviceObject(device.get());
    return nullptr;
  }
  device->devicePath = devicePath;

  const char* failure = nullptr;
  if (GetDeviceDescriptor(device.get()) != 0) {
    failure = "System_CreateDevice(): Ping() error!\n";
  } else if (GetConfiguration(device.get(), 0, nullptr) != 0) {
    failure = "System_CreateDevice(): GetConfiguration() failed\n";
  } else if (!ParseConfiguration(device.get())) {
    failure = "System_CreateDevice(): ParseConfiguration() failed\n";
  } else if (GetStringDescriptors(device.get()) != 0) {
    failure = "System_CreateDevice(): GetStringDescriptors() failed\n";
  }
  if (failure) {
    ReportDiagnostic(layer, "%s", failure);
    FreeDeviceObject(device.get());
    return nullptr;
  }

  device->usable = kDeviceOpen;
  device->state = kDeviceOpen;
  CreateEndpointObjects(device.get());
  TestDriverInfo(device.get());
  return device;
}

int CreateEndpointObjects(NC_DEVICE_OBJECT* device) {
  Driver& driver = device->layer.driver();
  NC_ENDPOINT_OBJECT& control = device->controlEndpoint;
  control.Request.handler = DoNothing;
  control.channel = 0;
  control.descriptor = nullptr;
  control.queuedHandle = device->deviceHandle;
  control.device = device;

  // Every endpoint object knows its device and channel; those without an
  // endpoint descriptor keep no pipe.
  for (std::uint32_t i = 0; i < kMaxBulkEndpoints; ++i) {
    NC_ENDPOINT_OBJECT& endpoint = device->endpoints[i];
    endpoint.channel = i + 1;
    endpoint.device = device;
    endpoint.Request.handler = DoNothing;
    endpoint.completionRoutine = EpTransferComplete;
    endpoint.queuedOverlapped.hEvent = &endpoint;
  }

  const std::uint8_t* cursor = device->configuration;
  const std::uint8_t* end = ConfigurationEnd(device);
  std::uint32_t made = 0;
  const auto giveUp = [&] {
    // The pipes already opened are closed again: with an endpoint count of
    // 0 teardown would not visit them.
    for (std::uint32_t i = 0; i < made; ++i) {
      CloseHandleOf(driver, device->endpoints[i].queuedHandle);
      CloseHandleOf(driver, device->endpoints[i].blockingHandle);
    }
    return -1;
  };
  while (cursor && FindDescriptor(&cursor, USB_ENDPOINT_DESCRIPTOR_TYPE, end)) {
    // Endpoint descriptors beyond the endpoint objects are ignored.
    if (made == kMaxBulkEndpoints) break;
    NC_ENDPOINT_OBJECT& endpoint = device->endpoints[made];
    const std::uint32_t channel = made + 1;
    endpoint.descriptor = cursor;

    const std::string pipePath = std::string(device->devicePath) + PipeSuffix(0, channel - 1);
    endpoint.queuedHandle = driver.Open(pipePath);
    if (endpoint.queuedHandle != kInvalidHandle) endpoint.blockingHandle = driver.Open(pipePath);
    if (endpoint.queuedHandle == kInvalidHandle || endpoint.blockingHandle == kInvalidHandle) {
      ReportDiagnostic(device->layer, "Error, pipe creation failure: %s", pipePath.c_str());
      CloseHandleOf(driver, endpoint.queuedHandle);
      return giveUp();
    }
    // bEndpointAddress bit 7: IN. A descriptor too short to hold it counts as OUT.
    endpoint.in = cursor[0] > 2 && (cursor[2] & 0x80) != 0;
    endpoint.blockingEvent = std::make_unique<WakeEvent>();
    endpoint.blockingOverlapped.hEvent = endpoint.blockingEvent.get();
    ++made;
  }
  device->endpointCount = made;
  return 0;
}

void StartDeviceThreads(const DevicePtr& device) {
  // Each worker holds the device object for as long as it runs.
  device->BulkThread = std::thread([device] {
    RunBulkThread(device.get());
    *device->bulkEnded = true;
  });
  device->ControlThread = std::thread([device] {
    RunControlThread(device.get());
    *device->controlEnded = true;
  });
}

int NcH_EpTransfer(NC_ENDPOINT_OBJECT* endpoint) {
  NC_DEVICE_OBJECT* device = endpoint->device;
  endpoint->status = 1;
  if (!device || device->state == kDeviceClosing) return 0;
  if (endpoint->channel == 0) {
    AddInFlight(device->layer);
    ControlQueueEntry entry;
    entry.endpoint = endpoint;
    std::memcpy(entry.setupPacket.data(), device->setupPacket, entry.setupPacket.size());
    entry.buffer = endpoint->Request.buffer;
    {
      std::lock_guard lock(device->controlLock);
      device->ControlQueue.push_back(entry);
    }
    device->controlWake.Set();
  } else {
    const bool counted = device->uiHoldsWorker == 0;
    if (counted) AddInFlight(device->layer);
    {
      std::lock_guard lock(device->bulkLock);
      device->BulkQueue.push_back({endpoint, counted});
    }
    device->bulkWake.Set();
  }
  return 0;
}

void CountHeldTransfers(NC_DEVICE_OBJECT* device) {
  std::int64_t n = 0;
  {
    std::lock_guard lock(device->bulkLock);
    for (BulkQueueEntry& entry : device->BulkQueue) {
      if (entry.counted) continue;
      entry.counted = true;
      ++n;
    }
  }
  if (n != 0) {
    if (platform::InFlight* inFlight = device->layer.inFlight()) inFlight->Add(n);
  }
}

int NcH_EpTransferAndBlock(NC_ENDPOINT_OBJECT* endpoint) {
  NC_DEVICE_OBJECT* device = endpoint->device;
  UsbLayer& layer = device->layer;
  endpoint->status = 1;
  {
    std::lock_guard io(device->controlIo);
    std::uint32_t count = 0;
    const bool ok = ControlTransfer(layer, endpoint->queuedHandle, device->setupPacket, endpoint->Request.buffer, &count);
    if (layer.DeviceConnected) endpoint->status = ok ? 0 : -1;
    endpoint->byteCount = count;
  }
  return layer.DeviceConnected ? endpoint->status.load() : -1;
}

void MarkClosing(NC_DEVICE_OBJECT* device) {
  std::lock_guard lock(device->gate);
  device->usable = kDeviceClosing;
  device->state = kDeviceClosing;
}

void System_CancelAllTransfers(NC_DEVICE_OBJECT* device) {
  if (!device) return;
  Driver& driver = device->layer.driver();
  for (std::uint32_t i = 0; i < device->endpointCount; ++i) {
    std::lock_guard lock(device->gate);
    const Handle handle = device->endpoints[i].queuedHandle;
    if (handle != kInvalidHandle) driver.CancelIo(handle);
  }
}

void System_CloseAllEndpointHandles(NC_DEVICE_OBJECT* device) {
  if (!device) return;
  Driver& driver = device->layer.driver();
  for (std::uint32_t i = 0; i < device->endpointCount; ++i) {
    std::lock_guard lock(device->gate);
    NC_ENDPOINT_OBJECT& endpoint = device->endpoints[i];
    if (endpoint.queuedHandle != kInvalidHandle) {
      CloseHandleOf(driver, endpoint.queuedHandle);
      CloseHandleOf(driver, endpoint.blockingHandle);
    }
  }
  // Not while a control transfer runs on it.
  std::lock_guard io(device->controlIo);
  CloseHandleOf(driver, device->deviceHandle);
  device->controlEndpoint.queuedHandle = kInvalidHandle;
}

void CompleteAllTransferWithError(NC_DEVICE_OBJECT* device) {
  if (!device) return;
  std::vector<NC_ENDPOINT_OBJECT*> pending;
  {
    std::lock_guard lock(device->gate);
    const auto collect = [&](NC_ENDPOINT_OBJECT& endpoint) {
      if (endpoint.status != 1) return;
      endpoint.status = -1;
      endpoint.byteCount = 0;
      pending.push_back(&endpoint);
    };
    collect(device->controlEndpoint);
    for (std::uint32_t i = 0; i < device->endpointCount; ++i) collect(device->endpoints[i]);
  }
  for (NC_ENDPOINT_OBJECT* endpoint : pending) {
    const auto handler = endpoint->Request.handler;
    if (handler) handler(endpoint);
  }
}

void System_DestroyDevice(NC_DEVICE_OBJECT* device) {
  if (!device) return;
  UsbLayer& layer = device->layer;
  // A device torn down without being closed first (NcH_CleanUp) steps to
  // closing here, so that its workers start nothing more.
  MarkClosing(device);
  System_CancelAllTransfers(device);
  System_CloseAllEndpointHandles(device);

  // Cooperative stop: both workers see the closing state when they wake.
  device->bulkWake.Set();
  device->controlWake.Set();
  StopWorker(device, device->BulkThread, &NC_DEVICE_OBJECT::bulkInHandler, device->bulkEnded);
  StopWorker(device, device->ControlThread, &NC_DEVICE_OBJECT::controlInHandler, device->controlEnded);
  layer.ReapParked();

  // What the workers never took off their queues is dropped with its units.
  std::size_t dropped = 0;
  {
    std::lock_guard lock(device->bulkLock);
    for (const BulkQueueEntry& entry : device->BulkQueue) dropped += entry.counted ? 1 : 0;
    device->BulkQueue.clear();
  }
  {
    std::lock_guard lock(device->controlLock);
    dropped += device->ControlQueue.size();
    device->ControlQueue.clear();
  }
  ReleaseInFlight(layer, static_cast<std::int64_t>(dropped));

  NcFree(device->configuration);
  device->configurationSize = 0;
  for (NC_ENDPOINT_OBJECT& endpoint : device->endpoints) endpoint.descriptor = nullptr;
  NcFree(device->devicePath);
  for (char*& text : device->strings) NcFree(text);
}

void NcH_CleanUp(UsbLayer& layer, DeviceTableSlots& table, std::uint32_t& count) {
  layer.DeviceConnected = false;
  // Every slot is visited: the count says how many were created since the
  // last close, not where they are.
  for (DevicePtr& slot : table) {
    if (!slot) continue;
    System_DestroyDevice(slot.get());
    slot.reset();
  }
  count = 0;
  System_CleanUp();
}

void System_CleanUp() {}

}  // namespace nimbrel::usb
