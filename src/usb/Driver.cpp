// The common part of the driver layer: last errors, pipe names, wake events
// and the per-thread queues of completion routines.

#include "usb/Driver.h"

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>

namespace nimbrel::usb {

namespace {

thread_local std::uint32_t tlsLastError = kErrorSuccess;

}  // namespace

std::uint32_t GetLastError() { return tlsLastError; }
void SetLastError(std::uint32_t code) { tlsLastError = code; }

std::string SystemErrorMessage(std::uint32_t code) {
  switch (code) {
    case kErrorSuccess: return "The operation completed successfully.";
    case kErrorFileNotFound: return "The system cannot find the file specified.";
    case kErrorAccessDenied: return "Access is denied.";
    case kErrorInvalidHandle: return "The handle is invalid.";
    case kErrorNotEnoughMemory: return "Not enough memory resources are available to process this command.";
    case kErrorGenFailure: return "A device attached to the system is not functioning.";
    case kErrorNotSupported: return "The request is not supported.";
    case kErrorInvalidParameter: return "The parameter is incorrect.";
    case kErrorSemTimeout: return "The semaphore timeout period has expired.";
    case kErrorInsufficientBuffer: return "The data area passed to a system call is too small.";
    case kErrorOperationAborted: return "The I/O operation has been aborted.";
    case kErrorIoDevice: return "The request could not be performed because of an I/O device error.";
    case kErrorDeviceNotConnected: return "The device is not connected.";
    default: return "(no message for this code)";
  }
}

std::string PipeSuffix(unsigned interfaceNumber, unsigned pipeNumber) {
  char text[48];
  std::snprintf(text, sizeof text, "\\INTERFACE_0x%2.2x\\PIPE_0x%2.2x", interfaceNumber & 0xFFu, pipeNumber & 0xFFu);
  return text;
}

bool SplitPipePath(const std::string& path, std::string* devicePath, unsigned* pipeNumber) {
  static constexpr std::size_t kSuffixLength = sizeof("\\INTERFACE_0x00\\PIPE_0x00") - 1;
  if (path.size() < kSuffixLength) return false;
  const std::string suffix = path.substr(path.size() - kSuffixLength);
  unsigned iface = 0, pipe = 0;
  char tail = 0;
  if (std::sscanf(suffix.c_str(), "\\INTERFACE_0x%2x\\PIPE_0x%2x%c", &iface, &pipe, &tail) != 2) return false;
  if (suffix != PipeSuffix(iface, pipe)) return false;  // exactly two lower-case digits each
  if (devicePath) *devicePath = path.substr(0, path.size() - kSuffixLength);
  if (pipeNumber) *pipeNumber = pipe;
  return true;
}

// ---- Wake events and completion queues ----

struct WakeEvent::State {
  std::mutex mutex;
  std::condition_variable cv;
  bool signaled = false;
};

namespace {

// The completion routines waiting for one thread's alertable wait.
struct ApcQueue {
  struct Item {
    CompletionRoutine routine;
    std::uint32_t error;
    std::uint32_t bytes;
    Overlapped* overlapped;
    platform::InFlight* inFlight;
  };

  std::mutex mutex;
  std::deque<Item> items;
  std::shared_ptr<WakeEvent::State> waitingOn;  // the event the thread waits for, if any
  bool dead = false;                            // the thread has ended

  // Any thread. Returns false when the thread is gone (nothing queued).
  bool Queue(const Item& item) {
    std::shared_ptr<WakeEvent::State> wake;
    {
      std::lock_guard lock(mutex);
      if (dead) return false;
      if (item.inFlight) item.inFlight->Add(1);
      items.push_back(item);
      wake = waitingOn;
    }
    if (wake) {
      std::lock_guard lock(wake->mutex);
      wake->cv.notify_all();
    }
    return true;
  }

  bool Empty() {
    std::lock_guard lock(mutex);
    return items.empty();
  }

  // The thread ends: what it never ran is dropped with its units.
  void Kill() {
    std::deque<Item> dropped;
    {
      std::lock_guard lock(mutex);
      dead = true;
      dropped.swap(items);
    }
    for (const Item& item : dropped) {
      if (item.inFlight) item.inFlight->Done(1);
    }
  }
};

// Owns the calling thread's queue and marks it dead when the thread ends.
struct ThreadQueue {
  std::shared_ptr<ApcQueue> queue = std::make_shared<ApcQueue>();
  ~ThreadQueue() { queue->Kill(); }
};

std::shared_ptr<ApcQueue>& CurrentQueue() {
  thread_local ThreadQueue holder;
  return holder.queue;
}

thread_local std::int64_t tlsCompletionUnit = 0;

}  // namespace

std::int64_t TakeCompletionUnit() {
  const std::int64_t unit = tlsCompletionUnit;
  tlsCompletionUnit = 0;
  return unit;
}

WakeEvent::WakeEvent() : state_(std::make_shared<State>()) {}
WakeEvent::~WakeEvent() = default;

void WakeEvent::Set() {
  std::lock_guard lock(state_->mutex);
  state_->signaled = true;
  state_->cv.notify_all();
}

WaitResult AlertableWait(WakeEvent& event) {
  const std::shared_ptr<ApcQueue>& queue = CurrentQueue();
  const std::shared_ptr<WakeEvent::State> state = event.state_;
  {
    std::lock_guard lock(queue->mutex);
    queue->waitingOn = state;
  }
  bool completions = false;
  {
    std::unique_lock lock(state->mutex);
    state->cv.wait(lock, [&] { return state->signaled || !queue->Empty(); });
    completions = !queue->Empty();
    if (!completions) state->signaled = false;
  }
  {
    std::lock_guard lock(queue->mutex);
    queue->waitingOn.reset();
  }
  if (!completions) return WaitResult::Signaled;

  // Every routine queued by now runs, one at a time, in order.
  for (;;) {
    ApcQueue::Item item;
    {
      std::lock_guard lock(queue->mutex);
      if (queue->items.empty()) break;
      item = queue->items.front();
      queue->items.pop_front();
    }
    tlsCompletionUnit = item.inFlight ? 1 : 0;
    item.routine(item.error, item.bytes, item.overlapped);
    if (TakeCompletionUnit() != 0) item.inFlight->Done(1);
  }
  return WaitResult::IoCompletion;
}

// ---- Driver ----

bool Driver::ReadFileEx(Handle pipe, void* buffer, std::uint32_t length, Overlapped* overlapped,
                        CompletionRoutine routine) {
  return Start(pipe, true, buffer, length, overlapped, routine);
}

bool Driver::WriteFileEx(Handle pipe, const void* buffer, std::uint32_t length, Overlapped* overlapped,
                         CompletionRoutine routine) {
  return Start(pipe, false, const_cast<void*>(buffer), length, overlapped, routine);
}

bool Driver::Start(Handle pipe, bool in, void* buffer, std::uint32_t length, Overlapped* overlapped,
                   CompletionRoutine routine) {
  if (!routine || !overlapped) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  std::weak_ptr<ApcQueue> target = CurrentQueue();
  platform::InFlight* inFlight = inFlight_;
  return StartTransfer(pipe, in, buffer, length,
                       [target, inFlight, routine, overlapped](std::uint32_t error, std::uint32_t bytes) {
                         if (auto queue = target.lock()) queue->Queue({routine, error, bytes, overlapped, inFlight});
                       });
}

}  // namespace nimbrel::usb
