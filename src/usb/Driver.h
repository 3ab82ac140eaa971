#pragma once
// The USB driver layer: what the transfer engine and TUSB take from the
// operating system's bulk USB driver, one interface for every backend
// (local USB through libusb, USB/IP, the test double).
//
// It offers the device paths of the scanner's interface class, device and
// pipe handles opened by name, device-control requests, asynchronous pipe
// reads and writes whose completion routines run on the thread that started
// them during that thread's alertable wait, cancellation, and arrival and
// removal events. Nothing else of a backend is visible above it.
//
// Names: a device path is whatever EnumerateDevicePaths gives (a backend's
// own text; it carries the device's USB serial-number string). A pipe path
// is a device path followed by "\INTERFACE_0x00\PIPE_0xNN" (two lower-case
// hex digits): pipe n - 1 is the n-th endpoint descriptor of the device's
// configuration.
//
// Results and errors: every operation that can fail returns false (or
// kInvalidHandle) and sets the calling thread's last error (SetLastError) to
// one of the error codes below; a successful operation may leave it as it
// was. The last error belongs to the calling thread, as on the original
// platform.
//
// Threads:
//  - EnumerateDevicePaths, Open, DeviceIoControl, CloseHandle and
//    SetDeviceEventSink are called on the thread that owns the device (the
//    UI thread) and, for DeviceIoControl, on the device's control thread.
//    A backend must allow DeviceIoControl on one thread while reads and
//    writes of the same device run on another.
//  - ReadFileEx and WriteFileEx are called on the device's bulk thread; their
//    completion routine runs on that same thread, one at a time, during its
//    AlertableWait, never inside ReadFileEx/WriteFileEx themselves.
//  - CancelIo may be called on any thread; it cancels every outstanding
//    transfer of the handle, whichever thread started it. Cancelled
//    transfers complete with kErrorOperationAborted.
//  - Once CloseHandle of a pipe returns, the backend touches no buffer of a
//    transfer on that pipe again (completions may still be delivered; they
//    carry an error and no bytes).
//  - The device-event sink is called on a backend thread; its receiver moves
//    the event to its own thread.
//
// Ownership: buffers given to ReadFileEx/WriteFileEx and to DeviceIoControl
// belong to the caller; the Overlapped record too, and it must stay valid
// until its completion routine has run or the handle is closed.
//
// Work in flight (see platform::InFlight): a driver made with an InFlight
// counts the work it has taken on that will end in a completion or a device
// event, from the moment it knows the result until the completion routine has
// returned (or the event was handed to the sink). A completion routine may
// hand its unit on with TakeCompletionUnit(), for example as the
// releaseInFlight of EventLoop::Invoke, so that a UI thread that pauses
// inside the handed-on work does not wait for it. A read that waits for the
// device to send something is not in flight.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/EventLoop.h"
#include "platform/Trace.h"

namespace nimbrel::usb {

using Handle = std::intptr_t;
inline constexpr Handle kInvalidHandle = -1;

// System error codes, with the original platform's values.
inline constexpr std::uint32_t kErrorSuccess = 0;
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorInvalidHandle = 6;
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;
inline constexpr std::uint32_t kErrorGenFailure = 31;
inline constexpr std::uint32_t kErrorNotSupported = 50;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorSemTimeout = 121;
inline constexpr std::uint32_t kErrorInsufficientBuffer = 122;
inline constexpr std::uint32_t kErrorOperationAborted = 995;
inline constexpr std::uint32_t kErrorIoDevice = 1117;
inline constexpr std::uint32_t kErrorDeviceNotConnected = 1167;

// The calling thread's last system error.
std::uint32_t GetLastError();
void SetLastError(std::uint32_t code);
// The system's message text for a code ("(no message for this code)" when it has none).
std::string SystemErrorMessage(std::uint32_t code);

// Device-control request codes of the bulk driver.
inline constexpr std::uint32_t IOCTL_NCBULK_GET_DRIVER_VERSION = 0x00220000;
inline constexpr std::uint32_t IOCTL_NCBULK_RESET_DEVICE = 0x00220008;
inline constexpr std::uint32_t IOCTL_NCBULK_GET_LAST_USBD_STATUS = 0x00220010;
inline constexpr std::uint32_t IOCTL_NCBULK_IS_CHECKED_BUILD = 0x00220014;
inline constexpr std::uint32_t IOCTL_NCBULK_CONTROL_SETUP = 0x00222100;
inline constexpr std::uint32_t IOCTL_NCBULK_CONTROL_DATA = 0x00222104;

// What every backend answers to IOCTL_NCBULK_GET_DRIVER_VERSION.
inline constexpr std::uint32_t kNcBulkDriverVersion = 0x03020730;

// USBD status values a backend reports for IOCTL_NCBULK_GET_LAST_USBD_STATUS.
inline constexpr std::uint32_t USBD_STATUS_SUCCESS = 0x00000000;
inline constexpr std::uint32_t USBD_STATUS_CRC = 0xC0000001;
inline constexpr std::uint32_t USBD_STATUS_STALL_PID = 0xC0000004;
inline constexpr std::uint32_t USBD_STATUS_DEV_NOT_RESPONDING = 0xC0000005;
inline constexpr std::uint32_t USBD_STATUS_DATA_OVERRUN = 0xC0000008;
inline constexpr std::uint32_t USBD_STATUS_BUFFER_OVERRUN = 0xC000000C;
inline constexpr std::uint32_t USBD_STATUS_NO_MEMORY = 0x80000100;
inline constexpr std::uint32_t USBD_STATUS_INVALID_PARAMETER = 0x80000300;
inline constexpr std::uint32_t USBD_STATUS_REQUEST_FAILED = 0x80000500;
inline constexpr std::uint32_t USBD_STATUS_INVALID_PIPE_HANDLE = 0x80000600;
inline constexpr std::uint32_t USBD_STATUS_CANCELED = 0xC0010000;

// The suffix of a pipe path: "\INTERFACE_0x00\PIPE_0xNN".
std::string PipeSuffix(unsigned interfaceNumber, unsigned pipeNumber);
// Splits a pipe path into its device path and pipe number; false for a path
// without a well-formed suffix (then it names a device).
bool SplitPipePath(const std::string& path, std::string* devicePath, unsigned* pipeNumber);

// The record of one asynchronous read or write. hEvent is the caller's: the
// engine keeps a reference to its endpoint object there.
struct Overlapped {
  void* hEvent = nullptr;
};

// Runs on the thread that started the transfer: the system error code
// (kErrorSuccess when it went through), the bytes moved, the record.
using CompletionRoutine = void (*)(std::uint32_t errorCode, std::uint32_t bytes, Overlapped* overlapped);

// Hands the calling completion routine's work-in-flight unit to the caller
// (1, or 0 when it has none or was taken already). Only meaningful inside a
// completion routine.
std::int64_t TakeCompletionUnit();

enum class WaitResult {
  Signaled,      // the event was set (and is clear again)
  IoCompletion,  // completion routines of this thread ran; the event may still be set
};

// An auto-reset event, initially clear.
class WakeEvent final {
 public:
  WakeEvent();
  ~WakeEvent();
  WakeEvent(const WakeEvent&) = delete;
  WakeEvent& operator=(const WakeEvent&) = delete;
  void Set();

  struct State;  // shared with the waits of the layer

 private:
  friend WaitResult AlertableWait(WakeEvent& event);
  std::shared_ptr<State> state_;
};

// Waits without a time limit for the event, running the completion routines
// queued for the calling thread meanwhile; they end the wait.
WaitResult AlertableWait(WakeEvent& event);

// Arrival and removal of a device of the scanner's interface class.
enum class DeviceEventKind { Arrival, Removal };
using DeviceEventSink = std::function<void(DeviceEventKind kind, const std::string& devicePath)>;

class Driver {
 public:
  explicit Driver(platform::InFlight* inFlight = nullptr) : inFlight_(inFlight) {}
  virtual ~Driver() = default;
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  // The device paths of the present devices of the scanner's interface
  // class. False when the platform cannot enumerate (no USB subsystem, the
  // server unreachable): then no device is present.
  virtual bool EnumerateDevicePaths(std::vector<std::string>& paths) = 0;

  // Opens a device (by device path) or one of its pipes (by pipe path). Each
  // pipe may be opened more than once. kInvalidHandle on failure.
  virtual Handle Open(const std::string& path) = 0;

  // A device-control request on a device handle, with the request codes,
  // buffers and byte counts of the bulk driver:
  //  - GET_DRIVER_VERSION: out 4 bytes, kNcBulkDriverVersion.
  //  - RESET_DEVICE: no buffers; resets the device.
  //  - GET_LAST_USBD_STATUS: in and out the same 4 bytes; the USBD status
  //    of the device's last failed transfer (0 when none failed).
  //  - IS_CHECKED_BUILD: out 4 bytes, 0.
  //  - CONTROL_SETUP: in and out the 8-byte setup packet; kept for the next
  //    CONTROL_DATA on this handle.
  //  - CONTROL_DATA: in and out the data buffer of wLength bytes; runs the
  //    kept setup packet as one control transfer on endpoint 0; *returned is
  //    the number of data bytes moved.
  // *returned (may be null) is the number of bytes written to `out`.
  virtual bool DeviceIoControl(Handle device, std::uint32_t code, void* in, std::uint32_t inSize, void* out,
                               std::uint32_t outSize, std::uint32_t* returned) = 0;

  // Starts an asynchronous transfer on a pipe handle: a read on an IN pipe,
  // a write on an OUT pipe. False (last error set) when it could not be
  // started; the routine is then not called.
  bool ReadFileEx(Handle pipe, void* buffer, std::uint32_t length, Overlapped* overlapped,
                  CompletionRoutine routine);
  bool WriteFileEx(Handle pipe, const void* buffer, std::uint32_t length, Overlapped* overlapped,
                   CompletionRoutine routine);

  // Cancels every outstanding transfer of the handle.
  virtual bool CancelIo(Handle handle) = 0;
  virtual bool CloseHandle(Handle handle) = 0;

  // Where arrivals and removals go; an empty sink drops them.
  virtual void SetDeviceEventSink(DeviceEventSink sink) = 0;

  platform::InFlight* inFlight() const { return inFlight_; }

 protected:
  // Called with the result of a transfer, on any thread, exactly once.
  using TransferDone = std::function<void(std::uint32_t errorCode, std::uint32_t bytes)>;
  // A backend's asynchronous transfer. `in` tells a read from a write. The
  // backend may call `done` before it returns. False (last error set) when
  // it could not start; `done` is then not called.
  virtual bool StartTransfer(Handle pipe, bool in, void* buffer, std::uint32_t length, TransferDone done) = 0;

 private:
  bool Start(Handle pipe, bool in, void* buffer, std::uint32_t length, Overlapped* overlapped,
             CompletionRoutine routine);
  platform::InFlight* inFlight_;
};

// Which backend the program uses.
struct UsbipServer {
  std::string host;
  std::uint16_t port = 3240;
};

struct DriverOptions {
  // A USB/IP server to reach scanners on; local USB when absent.
  std::optional<UsbipServer> usbip;
  platform::InFlight* inFlight = nullptr;
  platform::Trace* trace = nullptr;
  // A line for the operator log; called on the thread that opens devices.
  std::function<void(const std::string&)> operatorLog;
};

std::unique_ptr<Driver> MakeDriver(const DriverOptions& options);

}  // namespace nimbrel::usb
