#pragma once
// The USB side of the simulator: the scanner as a USB device exported by a
// USB/IP server on 127.0.0.1, with one I/O thread.
//
// The device: one configuration with one vendor-specific interface whose
// first endpoint is bulk OUT (0x01) and second bulk IN (0x82), 512-byte
// packets, and strings for manufacturer, product and serial number. Bulk
// OUT data goes to the Scanner core as its byte stream; what the core sends
// waits in the IN endpoint's queue for bulk IN transfers (a transfer ends
// when it is full or at the end of a message that is not a whole number of
// packets). Vendor requests 0xC0 (read) and 0x40 (write) on endpoint 0 move
// 32-bit registers (register number in bRequest; a write's value in wValue,
// low half, and wIndex, high half) and are recorded. A request the device
// does not support stalls (-EPIPE); a malformed one is answered with -EINVAL.
//
// The server: a devlist request lists the device while it is present; an
// import attaches it (one client at a time) and the connection then carries
// the URB traffic. When the core drops its link (a restart: on request,
// after chosen uploads, or mid-upload), the imported connection ends and the
// device is away for the restart time, measured on the link's clock. A drop
// by the core waits until the host has read what the scanner queued on its
// IN endpoint (its last reply is not lost); Restart() does not wait.
//
// Work in flight (WorkTracker.h): bytes read are released once handled;
// every reply is counted when it is queued, bulk IN data only when an IN
// transfer takes it (data waiting in the endpoint is not in flight, nor is
// an IN transfer waiting for data). A drop counts one unit, released when
// the client has closed its end of the dropped connection.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "nimbrel_sim/Scanner.h"
#include "nimbrel_sim/WorkTracker.h"

namespace nimbrel::sim {

// The serial-number strings of the simulated device.
enum class UsbSerial {
  Unit51B,             // serial "00000000051B" (the default)
  Unit51D,             // serial "00000000051D"
  NoUnitId,            // a serial without any unit ID
  String3LacksUnitId,  // serial "00000000051B" at string 4; string 3 is another text
};

struct ControlRecord {
  std::array<std::uint8_t, 8> setup{};
  std::int32_t status = 0;  // 0, or the negated error number it was answered with
  std::vector<std::uint8_t> data;  // OUT data stage
};

struct RegisterAccess {
  bool write = false;
  std::uint8_t reg = 0;
  std::uint32_t value = 0;                  // read: the value returned; write: wValue | wIndex << 16
  std::array<std::uint8_t, 4> data{};       // write: the data stage as sent
};

class UsbipLink {
 public:
  static constexpr std::uint16_t kVendorId = 0x1209;  // a test ID, not a product's
  static constexpr std::uint16_t kProductId = 0x0001;
  static constexpr const char* kBusId = "1-1";

  explicit UsbipLink(Scanner& scanner, WorkTracker* tracker = nullptr);
  ~UsbipLink();
  UsbipLink(const UsbipLink&) = delete;
  UsbipLink& operator=(const UsbipLink&) = delete;

  // Binds 127.0.0.1:port (0: an ephemeral port) and starts serving.
  bool Start(std::uint16_t port, std::string* error = nullptr);
  // Stops serving; connections are closed.
  void Stop();
  std::uint16_t Port() const;

  void SetSerial(UsbSerial serial);
  static std::string SerialText(UsbSerial serial);
  // How long the device stays away after it left (ms, default 2000), and
  // the clock that measures it (a steady clock unless set; it is read on the
  // link's thread).
  void SetRestartTime(std::int64_t ms);
  void SetClock(std::function<std::int64_t()> nowMs);
  // Exporting nothing at all (the device is not bound).
  void SetExported(bool exported);

  // The device restarts now: an import ends, and it is away for the restart time.
  void Restart();
  bool Present() const;   // listed and importable now
  bool Imported() const;  // a client has it

  // Register values that reads return (0 otherwise); writes change them too.
  void SetRegister(std::uint8_t reg, std::uint32_t value);

  // Records, in order.
  std::vector<ControlRecord> ControlRequests() const;
  std::vector<RegisterAccess> RegisterAccesses() const;
  std::vector<std::string> Refusals() const;  // requests answered with an error status
  std::size_t DevlistRequests() const;
  std::size_t Imports() const;
  void ClearRecords();

  // One line per USB-level event (list, import, release, register access,
  // refusal), on the link's thread.
  void SetObserver(std::function<void(const std::string&)> observer);

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// A scanner reachable over USB/IP: the Scanner with its USB/IP link.
class UsbipSimulator {
 public:
  explicit UsbipSimulator(WorkTracker* tracker = nullptr, const Frame& systemInfo = DefaultSystemInfo());
  ~UsbipSimulator();
  bool Start(std::uint16_t port = 3240, std::string* error = nullptr) { return link_.Start(port, error); }
  void Stop() { link_.Stop(); }
  std::uint16_t Port() const { return link_.Port(); }
  Scanner& scanner() { return scanner_; }
  UsbipLink& usb() { return link_; }

 private:
  Scanner scanner_;
  UsbipLink link_;
};

}  // namespace nimbrel::sim
