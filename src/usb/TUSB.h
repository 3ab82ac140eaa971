#pragma once
// The USB link as the main window sees it: the TUSB component.
//
// Contract for implementations:
//  - SetActive, SetSynchronous, ReadBuffer, SendBuffer, GetRegister,
//    SetRegister and the destructor are called on the UI thread.
//  - OnConnect and OnDisconnect run on the UI thread, inside SetActive (or
//    inside a forwarded device-change notice); they are not gated by Event.
//  - OnReadBufferEnd and OnSendBufferEnd (and the error events) run on the
//    device's bulk thread and only while Event is true and the link active;
//    an unassigned event is not raised. Events are assigned and unassigned on
//    the UI thread; an implementation must make that safe against its bulk
//    thread.
//  - ReadBuffer and SendBuffer return false and queue nothing while inactive.
//    Buffers handed to them belong to the caller and stay valid until the
//    matching completion (or deactivation).
//  - SendBuffer returns after queueing and a pause of about 100 ms through
//    the event loop (pending UI events are processed first).
//  - The main window runs each read completion on the UI thread while the
//    bulk thread waits for it (EventLoop::Invoke), and may call
//    SetActive(false) from inside it: deactivation must then not wait for
//    the bulk thread to finish that completion.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace nimbrel::usb {

using TNotifyBufferEvent = std::function<void(int channel, int size, std::uint8_t* buffer)>;
using TNotifyChannelEvent = std::function<void(int channel, int returnCode)>;
using TNotifyEvent = std::function<void()>;

class TUSB {
 public:
  virtual ~TUSB() = default;

  bool Active() const { return active_; }
  virtual void SetActive(bool value) = 0;

  bool Synchronous() const { return synchronous_; }
  virtual void SetSynchronous(bool value) { synchronous_ = value; }

  // Gates the buffer events; true at construction.
  bool Event = true;

  virtual bool ReadBuffer(int channel, int size, std::uint8_t* buffer) = 0;
  virtual bool SendBuffer(int channel, int size, std::uint8_t* buffer) = 0;
  virtual std::uint32_t GetRegister(unsigned reg) = 0;
  virtual void SetRegister(unsigned reg, unsigned value) = 0;

  // The window that receives device-change notices; none registers for none.
  virtual void SetEventCaller(void* window) = 0;

  TNotifyBufferEvent OnReadBufferEnd;
  TNotifyBufferEvent OnSendBufferEnd;
  TNotifyChannelEvent OnReadError;
  TNotifyChannelEvent OnSendError;
  TNotifyEvent OnConnect;
  TNotifyEvent OnDisconnect;

 protected:
  bool active_ = false;
  bool synchronous_ = false;
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
