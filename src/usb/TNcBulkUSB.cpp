// The component: properties, transfers, registers and its life.

#include "usb/TNcBulkUSB.h"

#include <cstring>

#include "usb/NcRequests.h"

namespace nimbrel::usb {

// What the component's worker-thread handlers and posted device events
// share with it. They reach the component only under the lock and only
// while `owner` is set: the destructor clears it.
struct TNcBulkUSB::Shared {
  mutable std::mutex mutex;
  TNcBulkUSB* owner = nullptr;
  // Changes with every connect and close: a ticket of an older value is stale.
  std::uint64_t generation = 1;
};

namespace {

constexpr std::uint8_t kVendorIn = 0xC0;
constexpr std::uint8_t kVendorOut = 0x40;
constexpr int kSendPauseMs = 100;

void SetSetupPacket(NC_DEVICE_OBJECT* device, std::uint8_t requestType, unsigned reg, std::uint16_t value,
                    std::uint16_t index) {
  std::uint8_t* s = device->setupPacket;
  s[0] = requestType;
  s[1] = static_cast<std::uint8_t>(reg & 0xFF);
  s[2] = static_cast<std::uint8_t>(value & 0xFF);
  s[3] = static_cast<std::uint8_t>(value >> 8);
  s[4] = static_cast<std::uint8_t>(index & 0xFF);
  s[5] = static_cast<std::uint8_t>(index >> 8);
  s[6] = 4;
  s[7] = 0;
}

// Sets the ticket of the event being raised for the duration of its handler.
class TicketScope final {
 public:
  explicit TicketScope(std::uint64_t ticket) { detail::eventTicket = ticket; }
  ~TicketScope() { detail::eventTicket = 0; }
  TicketScope(const TicketScope&) = delete;
  TicketScope& operator=(const TicketScope&) = delete;
};

}  // namespace

TNcBulkUSB::TNcBulkUSB(std::shared_ptr<UsbLayer> layer, platform::EventLoop& loop, std::string unitId1,
                       std::string unitId2)
    : layer_(std::move(layer)),
      loop_(loop),
      unitId1_(std::move(unitId1)),
      unitId2_(std::move(unitId2)),
      shared_(std::make_shared<Shared>()) {
  shared_->owner = this;
  layer_->DeviceConnected = false;
  // The driver's arrivals and removals come on a backend thread and are
  // handled on the UI thread.
  layer_->driver().SetDeviceEventSink(
      [weak = std::weak_ptr<Shared>(shared_), ui = &loop_](DeviceEventKind kind, const std::string& path) {
        ui->Post([weak, kind, path] {
          if (TNcBulkUSB* owner = OwnerOf(weak)) owner->DriverDeviceEvent(kind, path);
        });
      });
}

TNcBulkUSB* TNcBulkUSB::OwnerOf(const std::weak_ptr<Shared>& weak) {
  const auto shared = weak.lock();
  if (!shared) return nullptr;
  std::lock_guard lock(shared->mutex);
  return shared->owner;
}

TNcBulkUSB::~TNcBulkUSB() {
  layer_->driver().SetDeviceEventSink(nullptr);
  System_StopPnpNotice();
  OnReadBufferEnd = nullptr;
  OnSendBufferEnd = nullptr;
  OnReadError = nullptr;
  OnSendError = nullptr;
  OnConnect = nullptr;
  OnDisconnect = nullptr;
  SetActive(false);
  NcH_CleanUp(*layer_, deviceTable_, deviceTableCount_);
  layer_->ReapParked();
  std::lock_guard lock(shared_->mutex);
  shared_->owner = nullptr;
}

void TNcBulkUSB::SetActiveState(bool active) {
  std::lock_guard lock(shared_->mutex);
  active_ = active;
  ++shared_->generation;
}

bool TNcBulkUSB::EventCurrent(std::uint64_t ticket) const {
  std::lock_guard lock(shared_->mutex);
  return active_ && ticket == shared_->generation;
}

bool TNcBulkUSB::BeginEventWork(std::uint64_t ticket) {
  if (!EventCurrent(ticket) || !currentDevice_) return false;
  ++currentDevice_->uiHoldsWorker;
  heldWorkers_.push_back(currentDevice_);
  return true;
}

void TNcBulkUSB::EndEventWork() {
  if (heldWorkers_.empty()) return;
  const DevicePtr device = std::move(heldWorkers_.back());
  heldWorkers_.pop_back();
  --device->uiHoldsWorker;
  if (device->uiHoldsWorker == 0 && device->state != kDeviceClosing) CountHeldTransfers(device.get());
}

void TNcBulkUSB::SetActive(bool value) {
  if (value == active_) return;
  if (value) {
    OpenDevice();
  } else if (currentDevice_) {
    CloseDevice(currentDevice_.get());
  }
}

bool TNcBulkUSB::QueueBulk(int channel, int size, std::uint8_t* buffer, bool send) {
  if (!active_ || !currentDevice_) return false;
  if (channel < 1 || channel > static_cast<int>(kMaxBulkEndpoints) || size < 0) return false;
  // An endpoint object beyond the endpoint count has no pipe; the transfer
  // then fails when the BulkThread starts it.
  NC_ENDPOINT_OBJECT* endpoint = &currentDevice_->endpoints[channel - 1];
  const std::shared_ptr<Shared> shared = shared_;
  if (send) {
    endpoint->Request.handler = [shared](NC_ENDPOINT_OBJECT* e) { return SendBufferEnd(shared, e); };
  } else {
    endpoint->Request.handler = [shared](NC_ENDPOINT_OBJECT* e) { return ReadBufferEnd(shared, e); };
  }
  endpoint->Request.buffer = buffer;
  endpoint->Request.length = static_cast<std::uint32_t>(size);
  try {
    NcH_EpTransfer(endpoint);
  } catch (...) {
  }
  return true;
}

bool TNcBulkUSB::ReadBuffer(int channel, int size, std::uint8_t* buffer) {
  return QueueBulk(channel, size, buffer, false);
}

bool TNcBulkUSB::SendBuffer(int channel, int size, std::uint8_t* buffer) {
  if (!QueueBulk(channel, size, buffer, true)) return false;
  loop_.ProcessMessages();
  loop_.Sleep(kSendPauseMs);
  return true;
}

int TNcBulkUSB::ReadBufferEnd(const std::shared_ptr<Shared>& shared, NC_ENDPOINT_OBJECT* endpoint) {
  return RaiseBufferEvent(shared, endpoint, false);
}

int TNcBulkUSB::SendBufferEnd(const std::shared_ptr<Shared>& shared, NC_ENDPOINT_OBJECT* endpoint) {
  return RaiseBufferEvent(shared, endpoint, true);
}

int TNcBulkUSB::RaiseBufferEvent(const std::shared_ptr<Shared>& shared, NC_ENDPOINT_OBJECT* endpoint, bool send) {
  const int channel = static_cast<int>(endpoint->channel);
  const int status = endpoint->status;
  const auto length = static_cast<int>(endpoint->Request.length);
  auto* buffer = static_cast<std::uint8_t*>(endpoint->Request.buffer);
  TNotifyBufferEvent done;
  TNotifyChannelEvent failed;
  std::uint64_t ticket = 0;
  {
    // Under the lock the component is alive and its state consistent;
    // nothing of it is touched after.
    std::lock_guard lock(shared->mutex);
    const TNcBulkUSB* owner = shared->owner;
    if (!owner || !owner->active_ || !owner->Event) return 0;
    if (status == 0) {
      done = send ? owner->OnSendBufferEnd.Get() : owner->OnReadBufferEnd.Get();
    } else {
      failed = send ? owner->OnSendError.Get() : owner->OnReadError.Get();
    }
    ticket = shared->generation;
  }
  const TicketScope scope(ticket);
  // The length asked for, not the bytes received.
  if (done) done(channel, length, buffer);
  if (failed) failed(channel, status);
  return 0;
}

int TNcBulkUSB::OnControlTransferEnd(NC_ENDPOINT_OBJECT*) { return 0; }

std::uint32_t TNcBulkUSB::GetRegister(unsigned reg) {
  if (!active_ || !currentDevice_ || !controlEndpoint_) return 0xFFFFFFFFu;
  SetSetupPacket(currentDevice_.get(), kVendorIn, reg, 0, 0);
  controlEndpoint_->Request.length = 4;
  try {
    NcH_EpTransferAndBlock(controlEndpoint_);
  } catch (...) {
    return 0xFFFFFFFFu;
  }
  // Whatever the transfer did: a failed read returns what the buffer held.
  return static_cast<std::uint32_t>(ControlBuffer[0]) | static_cast<std::uint32_t>(ControlBuffer[1]) << 8 |
         static_cast<std::uint32_t>(ControlBuffer[2]) << 16 | static_cast<std::uint32_t>(ControlBuffer[3]) << 24;
}

void TNcBulkUSB::SetRegister(unsigned reg, unsigned value) {
  if (!active_ || !currentDevice_ || !controlEndpoint_) return;
  SetSetupPacket(currentDevice_.get(), kVendorOut, reg, static_cast<std::uint16_t>(value & 0xFFFF),
                 static_cast<std::uint16_t>(value >> 16 & 0xFFFF));
  controlEndpoint_->Request.length = 4;
  try {
    NcH_EpTransfer(controlEndpoint_);
  } catch (...) {
  }
}

void TNcBulkUSB::ResetUSB_PowerSave() {
  SetRegister(0, 0x58);
  if (!currentDevice_) return;
  NC_DEVICE_OBJECT* device = currentDevice_.get();
  std::lock_guard io(device->controlIo);
  if (!layer_->driver().DeviceIoControl(device->deviceHandle, IOCTL_NCBULK_RESET_DEVICE, nullptr, 0, nullptr, 0,
                                        nullptr)) {
    layer_->Debug("DeviceIoControl(): IOCTL_NCBULK_RESET_DEVICE fail");
  }
}

const char* TNcBulkUSB::GetDescripterString(int index) const {
  if (index < 0 || index >= static_cast<int>(kStringTableSlots) || !currentDevice_) return nullptr;
  return currentDevice_->strings[index];
}

bool TNcBulkUSB::DeferRemoval(const std::string& devicePath) {
  // The backend reports a removal once the completions of the device's
  // transfers are queued, but the open device's BulkThread may not have run
  // them yet: a reply read just before the scanner restarted would be lost
  // to the closed link. So the removal goes round through that thread and
  // comes back after them, for that device only.
  const DevicePtr device = currentDevice_;
  if (!device || !device->devicePath || devicePath != device->devicePath) return false;
  platform::InFlight* inFlight = layer_->inFlight();
  {
    std::lock_guard lock(device->bulkLock);
    if (device->bulkThreadDone) return false;
    if (inFlight) inFlight->Add(1);
    device->afterCompletions = [weak = std::weak_ptr<Shared>(shared_), ui = &loop_,
                                weakDevice = std::weak_ptr<NC_DEVICE_OBJECT>(device), devicePath, inFlight] {
      ui->Post([weak, weakDevice, devicePath] {
        if (TNcBulkUSB* owner = OwnerOf(weak)) owner->RemovalAfterCompletions(weakDevice.lock(), devicePath);
      });
      if (inFlight) inFlight->Done(1);
    };
  }
  device->bulkWake.Set();
  return true;
}

}  // namespace nimbrel::usb
