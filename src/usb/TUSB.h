#pragma once
// The USB link as the main window sees it: the TUSB component.
//
// Contract for implementations:
//  - SetActive, SetSynchronous, ReadBuffer, SendBuffer, GetRegister,
//    SetRegister, EventCurrent and the destructor are called on the UI
//    thread.
//  - OnConnect and OnDisconnect run on the UI thread, inside SetActive (or
//    inside a forwarded device-change notice); they are not gated by Event.
//  - OnReadBufferEnd and OnSendBufferEnd (and the error events) run on the
//    device's bulk thread and only while Event is true and the link active;
//    an unassigned event is not raised. Events are assigned and unassigned on
//    the UI thread while the bulk thread may be raising them: the slots are
//    safe for that, and an event raised (its handler taken) just before it
//    was unassigned may still run once.
//  - ReadBuffer and SendBuffer return false and queue nothing while inactive.
//    Buffers handed to them belong to the caller and stay valid until the
//    matching completion (or deactivation).
//  - SendBuffer returns after queueing and a pause of about 100 ms through
//    the event loop (pending UI events are processed first).
//  - The main window runs each read completion on the UI thread while the
//    bulk thread waits for it (EventLoop::Invoke), and may call
//    SetActive(false) from inside it: deactivation must then not wait for
//    the bulk thread to finish that completion.
//  - Work handed from a buffer event to the UI thread may run after the link
//    was closed, or closed and opened again: the handler takes EventTicket()
//    inside the event, and the work runs inside an EventWork of that ticket,
//    only while it is Current(). While it runs, the bulk thread that raised
//    the event waits for it: transfers queued meanwhile start (and count as
//    work in flight) once it has ended.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace nimbrel::usb {

using TNotifyBufferEvent = std::function<void(int channel, int size, std::uint8_t* buffer)>;
using TNotifyChannelEvent = std::function<void(int channel, int returnCode)>;
using TNotifyEvent = std::function<void()>;

// An event: a handler or none. Assigned on the UI thread, raised on any
// thread; a raise calls a copy of the handler taken under the slot's lock,
// so that a handler may reassign its own slot.
template <typename F>
class EventSlot final {
 public:
  EventSlot() = default;
  EventSlot(const EventSlot&) = delete;
  EventSlot& operator=(const EventSlot&) = delete;

  EventSlot& operator=(F handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
    return *this;
  }
  EventSlot& operator=(std::nullptr_t) {
    F old;
    {
      std::lock_guard lock(mutex_);
      old.swap(handler_);
    }
    return *this;
  }
  explicit operator bool() const {
    std::lock_guard lock(mutex_);
    return static_cast<bool>(handler_);
  }
  F Get() const {
    std::lock_guard lock(mutex_);
    return handler_;
  }
  template <typename... Args>
  void operator()(Args&&... args) const {
    const F handler = Get();
    if (handler) handler(std::forward<Args>(args)...);
  }

 private:
  mutable std::mutex mutex_;
  F handler_;
};

namespace detail {
inline thread_local std::uint64_t eventTicket = 0;
}  // namespace detail

// Inside OnReadBufferEnd or OnSendBufferEnd: the ticket of the event being
// raised (0 outside a link's event).
inline std::uint64_t EventTicket() { return detail::eventTicket; }

class TUSB {
 public:
  virtual ~TUSB() = default;

  bool Active() const { return active_; }
  virtual void SetActive(bool value) = 0;

  bool Synchronous() const { return synchronous_; }
  virtual void SetSynchronous(bool value) { synchronous_ = value; }

  // Gates the buffer events; true at construction.
  std::atomic<bool> Event{true};

  virtual bool ReadBuffer(int channel, int size, std::uint8_t* buffer) = 0;
  virtual bool SendBuffer(int channel, int size, std::uint8_t* buffer) = 0;
  virtual std::uint32_t GetRegister(unsigned reg) = 0;
  virtual void SetRegister(unsigned reg, unsigned value) = 0;

  // The window that receives device-change notices; none registers for none.
  virtual void SetEventCaller(void* window) = 0;

  // Whether a buffer event whose ticket this is still belongs to the link as
  // it is now: active, and not closed (or closed and reopened) since.
  virtual bool EventCurrent(std::uint64_t ticket) const {
    (void)ticket;
    return Active();
  }
  // The UI thread starts and ends work handed over by a buffer event (see
  // EventWork); EndEventWork follows only a BeginEventWork that returned
  // true, which it does when the ticket is current.
  virtual bool BeginEventWork(std::uint64_t ticket) { return EventCurrent(ticket); }
  virtual void EndEventWork() {}

  EventSlot<TNotifyBufferEvent> OnReadBufferEnd;
  EventSlot<TNotifyBufferEvent> OnSendBufferEnd;
  EventSlot<TNotifyChannelEvent> OnReadError;
  EventSlot<TNotifyChannelEvent> OnSendError;
  EventSlot<TNotifyEvent> OnConnect;
  EventSlot<TNotifyEvent> OnDisconnect;

 protected:
  std::atomic<bool> active_{false};
  bool synchronous_ = false;
};

// Work on the UI thread that a buffer event handed over, for its scope.
class EventWork final {
 public:
  EventWork(TUSB& link, std::uint64_t ticket) : link_(link), current_(link.BeginEventWork(ticket)) {}
  ~EventWork() {
    if (current_) link_.EndEventWork();
  }
  EventWork(const EventWork&) = delete;
  EventWork& operator=(const EventWork&) = delete;
  // The event still belongs to the link as it is now.
  bool Current() const { return current_; }

 private:
  TUSB& link_;
  bool current_;
};

using UsbFactory = std::function<std::unique_ptr<TUSB>(const std::string& unitId1, const std::string& unitId2)>;

// A link that never finds a scanner: activation leaves it inactive. It stands
// in where no USB backend is available.
class NoScannerUsb final : public TUSB {
 public:
  void SetActive(bool) override {}
  bool ReadBuffer(int, int, std::uint8_t*) override { return false; }
  bool SendBuffer(int, int, std::uint8_t*) override { return false; }
  std::uint32_t GetRegister(unsigned) override { return 0xFFFFFFFFu; }
  void SetRegister(unsigned, unsigned) override {}
  void SetEventCaller(void*) override {}
};

}  // namespace nimbrel::usb
