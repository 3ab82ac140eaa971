#include "usb/UsbipDriver.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "platform/Sockets.h"
#include "usb/UsbipWire.h"

namespace nimbrel::usb {

namespace {

using usbip::Bytes;
using usbip::SetupPacket;

constexpr std::size_t kChunk = 64 * 1024;
// How often a reader waiting for replies looks whether its import was given back.
constexpr int kReaderPollMs = 250;
constexpr std::uint8_t kVendorSpecific = 0xFF;
// An import the server refuses as busy right after we gave the device back
// is tried again this often, this far apart: the server may not have
// noticed the end of our last connection yet.
constexpr int kBusyRetries = 5;
constexpr int kBusyRetryMs = 100;
constexpr auto kRecentRelease = std::chrono::seconds(2);

using Done = std::function<void(std::uint32_t error, std::uint32_t bytes)>;

struct Pipe {
  std::uint8_t address = 0;
  bool in() const { return (address & 0x80) != 0; }
  std::uint32_t ep() const { return address & 0x0Fu; }
};

SetupPacket MakeSetup(std::uint8_t requestType, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                      std::uint16_t length) {
  return {requestType,
          request,
          static_cast<std::uint8_t>(value),
          static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(index),
          static_cast<std::uint8_t>(index >> 8),
          static_cast<std::uint8_t>(length),
          static_cast<std::uint8_t>(length >> 8)};
}

std::uint16_t SetupLength(const SetupPacket& s) { return static_cast<std::uint16_t>(s[6] | s[7] << 8); }

void PutLe32(void* out, std::uint32_t v) {
  auto* p = static_cast<std::uint8_t*>(out);
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

bool IsCandidate(const usbip::DeviceRecord& d) {
  if (d.bDeviceClass == kVendorSpecific) return true;
  for (const auto& i : d.interfaces)
    if (i.bInterfaceClass == kVendorSpecific) return true;
  return false;
}

// UTF-16LE text of a string descriptor as 8-bit text; what is not ASCII becomes '?'.
std::string StringDescriptorText(const std::uint8_t* d, std::size_t n) {
  std::string text;
  if (n < 2) return text;
  const std::size_t end = std::min<std::size_t>(n, d[0]);
  for (std::size_t i = 2; i + 1 < end; i += 2) {
    const unsigned c = d[i] | d[i + 1] << 8;
    if (c == 0) break;
    text.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  }
  return text;
}

}  // namespace

UsbipStatusMapping MapUsbipStatus(std::int32_t status) {
  namespace st = usbip::status;
  switch (status) {
    case st::kOk: return {kErrorSuccess, USBD_STATUS_SUCCESS};
    case st::kPipe: return {kErrorGenFailure, USBD_STATUS_STALL_PID};
    case st::kNoEntry:
    case st::kConnReset: return {kErrorOperationAborted, USBD_STATUS_CANCELED};
    case st::kShutdown:
    case st::kNoDevice: return {kErrorDeviceNotConnected, USBD_STATUS_DEV_NOT_RESPONDING};
    case st::kTime:
    case st::kTimedOut: return {kErrorSemTimeout, USBD_STATUS_DEV_NOT_RESPONDING};
    case st::kProtocol:
    case st::kIllegalSeq: return {kErrorIoDevice, USBD_STATUS_CRC};
    case st::kOverflow: return {kErrorIoDevice, USBD_STATUS_DATA_OVERRUN};
    case st::kComm:
    case st::kNoStreams: return {kErrorIoDevice, USBD_STATUS_BUFFER_OVERRUN};
    case st::kNoMemory: return {kErrorNotEnoughMemory, USBD_STATUS_NO_MEMORY};
    case st::kInvalid: return {kErrorInvalidParameter, USBD_STATUS_INVALID_PARAMETER};
    default: return {kErrorIoDevice, USBD_STATUS_REQUEST_FAILED};
  }
}

std::string UsbipDevicePath(const UsbipServer& server, const std::string& busId, const std::string& serial) {
  return "usbip:" + server.host + ":" + std::to_string(server.port) + "/" + busId + "/" + serial;
}

namespace {

class UsbipDriver;

// One imported device: its connection to the server, the thread that reads
// the replies, and the transfers outstanding on it.
//
// Locks: sendMutex_ (whole messages on the wire, in sequence-number order)
// before mutex_ (everything else). The reader thread takes mutex_ only and
// never holds it while calling the driver.
class Import {
 public:
  struct Result {
    std::uint32_t error = kErrorSuccess;
    std::uint32_t bytes = 0;
  };

  Import(UsbipDriver& driver, std::unique_ptr<platform::TcpStream> stream, usbip::DeviceRecord record)
      : record(std::move(record)), driver_(driver), stream_(std::move(stream)) {}
  ~Import() { Join(); }
  Import(const Import&) = delete;
  Import& operator=(const Import&) = delete;

  void StartReader() {
    reader_ = std::thread([this] { ReadLoop(); });
  }

  // Gives the device back: outstanding transfers complete with
  // kErrorOperationAborted and no buffer is touched again. The server is
  // told by the end of our stream; what it still sends is read and let go
  // until it closes the connection (or for the reply time at most).
  void Release(int drainMs) {
    {
      std::lock_guard lock(mutex_);
      if (released_) return;
      released_ = true;
      drainUntil_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(drainMs);
      for (auto& [seq, t] : transfers_)
        if (!t->ghost) Finish(*t, kErrorOperationAborted, 0);
      transfers_.clear();
      unlinks_.clear();
    }
    cv_.notify_all();
    stream_->ShutdownWrite();
  }

  void Join() {
    if (reader_.joinable()) reader_.join();
  }
  bool ReaderFinished() const { return readerFinished_; }

  bool Ended() const {
    std::lock_guard lock(mutex_);
    return ended_ || released_;
  }

  std::uint32_t LastUsbdStatus() const {
    std::lock_guard lock(mutex_);
    return lastUsbd_;
  }

  // A control transfer on endpoint 0, waited for at most replyMs.
  Result Control(Handle handle, const SetupPacket& setup, std::uint8_t* data, int replyMs) {
    auto t = std::make_shared<Transfer>();
    t->handle = handle;
    t->in = (setup[0] & 0x80) != 0;
    t->length = SetupLength(setup);
    t->buffer = data;
    if (!Submit(t, 0, setup, t->in ? nullptr : data)) return {GetLastError(), 0};
    std::unique_lock lock(mutex_);
    if (cv_.wait_for(lock, std::chrono::milliseconds(replyMs), [&] { return t->finished; }))
      return {t->error, t->bytes};
    // No answer: the buffer goes back to the caller, the server is told to
    // forget the request, and a late reply is dropped.
    t->buffer = nullptr;
    t->ghost = true;
    t->finished = true;
    lastUsbd_ = USBD_STATUS_DEV_NOT_RESPONDING;
    const std::uint32_t seq = t->seqnum;
    lock.unlock();
    SendUnlinks({seq});
    return {kErrorSemTimeout, 0};
  }

  // A bulk transfer; `done` is called exactly once unless false is returned.
  bool Bulk(Handle handle, const Pipe& pipe, std::uint8_t* buffer, std::uint32_t length, Done done) {
    auto t = std::make_shared<Transfer>();
    t->handle = handle;
    t->in = pipe.in();
    t->length = length;
    t->buffer = buffer;
    t->done = std::move(done);
    return Submit(t, pipe.ep(), {}, t->in ? nullptr : buffer);
  }

  // CancelIo: the server is asked to unlink every outstanding transfer of
  // the handle; each completes when it answers.
  void Cancel(Handle handle) {
    std::vector<std::uint32_t> victims;
    {
      std::lock_guard lock(mutex_);
      for (auto& [seq, t] : transfers_) {
        if (t->handle != handle || t->ghost || t->unlinked) continue;
        victims.push_back(seq);
      }
    }
    SendUnlinks(victims);
  }

  // A pipe handle is closed: its transfers complete now, with
  // kErrorOperationAborted and no bytes, and their buffers are let go.
  void Detach(Handle handle) {
    std::vector<std::uint32_t> victims;
    {
      std::lock_guard lock(mutex_);
      for (auto& [seq, t] : transfers_) {
        if (t->handle != handle || t->ghost) continue;
        Finish(*t, kErrorOperationAborted, 0);
        t->ghost = true;
        if (!t->unlinked) victims.push_back(seq);
      }
    }
    cv_.notify_all();
    SendUnlinks(victims);
  }

  usbip::DeviceRecord record;
  std::string serial;
  std::string path;
  std::vector<Pipe> pipes;
  // Guarded by the driver's mutex.
  int handles = 0;
  bool opened = false;

 private:
  struct Transfer {
    std::uint32_t seqnum = 0;
    Handle handle = kInvalidHandle;
    bool in = false;
    std::uint32_t length = 0;
    std::uint8_t* buffer = nullptr;  // null once let go: nothing is copied into it
    Done done;                       // a bulk transfer's completion; none for a control transfer
    bool finished = false;           // control: the result is in
    std::uint32_t error = kErrorSuccess;
    std::uint32_t bytes = 0;
    bool unlinked = false;  // a CMD_UNLINK went out for it
    bool ghost = false;     // completed on our side already; its reply is read and dropped
  };

  // With mutex_ held.
  void Finish(Transfer& t, std::uint32_t error, std::uint32_t bytes) {
    t.buffer = nullptr;
    if (t.done) {
      Done done = std::move(t.done);
      t.done = nullptr;
      done(error, bytes);
    } else {
      t.finished = true;
      t.error = error;
      t.bytes = bytes;
    }
  }

  bool Submit(const std::shared_ptr<Transfer>& t, std::uint32_t ep, const SetupPacket& setup,
              const std::uint8_t* outData) {
    std::lock_guard sending(sendMutex_);
    {
      std::lock_guard lock(mutex_);
      if (ended_ || released_) {
        SetLastError(kErrorDeviceNotConnected);
        return false;
      }
      t->seqnum = nextSeq_++;
      transfers_[t->seqnum] = t;
    }
    Bytes header;
    usbip::PutUrbHeader(header, usbip::CmdSubmit(t->seqnum, record.DevId(), t->in, ep, t->length, setup));
    std::string error;
    bool ok = stream_->Write(header.data(), header.size(), &error);
    if (ok && outData && t->length > 0) ok = stream_->Write(outData, t->length, &error);
    if (ok) return true;
    bool started = false;
    {
      std::lock_guard lock(mutex_);
      // A peer may have answered before all of it was written: then the
      // completion is already under way.
      auto it = transfers_.find(t->seqnum);
      if (it != transfers_.end()) {
        transfers_.erase(it);
        t->buffer = nullptr;
      } else {
        started = true;
      }
      if (sendError_.empty()) sendError_ = "connection broken while sending: " + error;
    }
    stream_->Shutdown();  // the reader ends the import
    if (started) return true;
    SetLastError(kErrorDeviceNotConnected);
    return false;
  }

  void SendUnlinks(const std::vector<std::uint32_t>& victims) {
    if (victims.empty()) return;
    std::lock_guard sending(sendMutex_);
    for (std::uint32_t victim : victims) {
      std::uint32_t seq;
      {
        std::lock_guard lock(mutex_);
        if (ended_ || released_) return;
        auto it = transfers_.find(victim);
        if (it == transfers_.end() || it->second->unlinked) continue;
        it->second->unlinked = true;
        seq = nextSeq_++;
        unlinks_[seq] = victim;
      }
      Bytes header;
      usbip::PutUrbHeader(header, usbip::CmdUnlink(seq, record.DevId(), victim));
      std::string error;
      if (!stream_->Write(header.data(), header.size(), &error)) {
        {
          std::lock_guard lock(mutex_);
          if (sendError_.empty()) sendError_ = "connection broken while sending: " + error;
        }
        stream_->Shutdown();
        return;
      }
    }
  }

  usbip::Expected Lookup(std::uint32_t seq) const {
    std::lock_guard lock(mutex_);
    if (auto it = transfers_.find(seq); it != transfers_.end())
      return {usbip::Expected::Kind::Submit, it->second->in, it->second->length};
    if (unlinks_.count(seq)) return {usbip::Expected::Kind::Unlink, false, 0};
    return {};
  }

  void OnReply(const usbip::Reply& reply) {
    {
      std::lock_guard lock(mutex_);
      if (reply.command == usbip::USBIP_RET_SUBMIT) {
        auto it = transfers_.find(reply.seqnum);
        if (it == transfers_.end()) return;
        const std::shared_ptr<Transfer> t = it->second;
        transfers_.erase(it);
        if (t->ghost) return;
        const UsbipStatusMapping m = MapUsbipStatus(reply.status);
        if (reply.status != usbip::status::kOk) lastUsbd_ = m.usbd;
        std::uint32_t bytes = reply.actualLength;
        if (t->in) {
          bytes = static_cast<std::uint32_t>(reply.data.size());
          if (t->buffer && bytes > 0) std::memcpy(t->buffer, reply.data.data(), bytes);
        }
        Finish(*t, m.error, bytes);
      } else {
        auto u = unlinks_.find(reply.seqnum);
        if (u == unlinks_.end()) return;
        const std::uint32_t victim = u->second;
        unlinks_.erase(u);
        auto it = transfers_.find(victim);
        if (it == transfers_.end()) return;  // its RET_SUBMIT came first
        const std::shared_ptr<Transfer> t = it->second;
        // Unlinked: no RET_SUBMIT follows. Status 0 says it had completed,
        // so a RET_SUBMIT may still come; it is then dropped.
        if (reply.status != usbip::status::kOk) transfers_.erase(it);
        if (!t->ghost) {
          lastUsbd_ = USBD_STATUS_CANCELED;
          Finish(*t, kErrorOperationAborted, 0);
          t->ghost = true;
        }
      }
    }
    cv_.notify_all();
  }

  void ReadLoop();
  void End(const std::string& why);

  UsbipDriver& driver_;
  std::unique_ptr<platform::TcpStream> stream_;
  std::thread reader_;
  std::atomic<bool> readerFinished_{false};
  usbip::ReplyParser parser_;  // the reader thread's

  std::mutex sendMutex_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::map<std::uint32_t, std::shared_ptr<Transfer>> transfers_;  // submits by sequence number
  std::map<std::uint32_t, std::uint32_t> unlinks_;                // unlink sequence number -> victim
  std::uint32_t nextSeq_ = 1;
  std::uint32_t lastUsbd_ = USBD_STATUS_SUCCESS;
  bool released_ = false;  // given back by us
  std::chrono::steady_clock::time_point drainUntil_;
  bool ended_ = false;     // the connection is over
  std::string sendError_;
};

struct HandleEntry {
  std::shared_ptr<Import> import;
  int pipe = -1;  // -1: the device handle
  SetupPacket setup{};
  bool setupKept = false;
};

class UsbipDriver final : public Driver {
 public:
  UsbipDriver(UsbipServer server, platform::InFlight* inFlight, platform::Trace* trace,
              std::function<void(const std::string&)> operatorLog, UsbipTimeouts timeouts)
      : Driver(inFlight),
        server_(std::move(server)),
        trace_(trace),
        operatorLog_(std::move(operatorLog)),
        timeouts_(timeouts) {}

  ~UsbipDriver() override {
    SetDeviceEventSink({});
    std::vector<std::shared_ptr<Import>> all;
    {
      std::lock_guard lock(mutex_);
      for (auto& [busId, import] : imports_) all.push_back(import);
      for (auto& import : retired_) all.push_back(import);
      for (auto& [handle, entry] : handles_) all.push_back(entry.import);
      imports_.clear();
      retired_.clear();
      handles_.clear();
    }
    for (auto& import : all) import->Release(timeouts_.replyMs);
    for (auto& import : all) import->Join();
  }

  bool EnumerateDevicePaths(std::vector<std::string>& paths) override {
    paths.clear();
    Reap();
    std::vector<usbip::DeviceRecord> listed;
    std::string why;
    if (!ListDevices(listed, &why)) {
      Tracef("usbip %s: %s", Server().c_str(), why.c_str());
      return false;
    }
    for (const usbip::DeviceRecord& device : listed) {
      if (!IsCandidate(device)) continue;
      std::shared_ptr<Import> import;
      {
        std::lock_guard lock(mutex_);
        auto it = imports_.find(device.busId);
        if (it != imports_.end()) {
          if (!it->second->Ended()) {
            import = it->second;
          } else {
            retired_.push_back(it->second);
            imports_.erase(it);
          }
        }
      }
      if (!import) {
        import = ImportDevice(device.busId, &why);
        if (!import) {
          Tracef("usbip %s %s: %s", Server().c_str(), device.busId.c_str(), why.c_str());
          continue;
        }
        std::lock_guard lock(mutex_);
        imports_[device.busId] = import;
      }
      paths.push_back(import->path);
    }
    return true;
  }

  Handle Open(const std::string& path) override {
    std::string devicePath = path;
    unsigned pipe = 0;
    const bool isPipe = SplitPipePath(path, &devicePath, &pipe);
    std::shared_ptr<Import> import;
    std::string busId;
    {
      std::lock_guard lock(mutex_);
      for (auto& [id, held] : imports_) {
        if (held->path == devicePath) {
          import = held;
          busId = id;
        }
      }
      if (!import) {
        auto known = knownPaths_.find(devicePath);
        if (known != knownPaths_.end()) busId = known->second;
      }
    }
    if (!import) {
      if (busId.empty()) {
        SetLastError(kErrorFileNotFound);
        return kInvalidHandle;
      }
      std::string why;
      import = ImportDevice(busId, &why);
      if (!import || import->path != devicePath) {
        if (import) {
          import->Release(timeouts_.replyMs);
          std::lock_guard lock(mutex_);
          retired_.push_back(import);
        } else {
          Tracef("usbip %s %s: %s", Server().c_str(), busId.c_str(), why.c_str());
        }
        SetLastError(kErrorFileNotFound);
        return kInvalidHandle;
      }
      std::lock_guard lock(mutex_);
      imports_[busId] = import;
    }
    if (import->Ended()) {
      SetLastError(kErrorDeviceNotConnected);
      return kInvalidHandle;
    }
    if (isPipe && pipe >= import->pipes.size()) {
      SetLastError(kErrorFileNotFound);
      return kInvalidHandle;
    }
    std::lock_guard lock(mutex_);
    const Handle handle = nextHandle_++;
    handles_[handle] = HandleEntry{import, isPipe ? static_cast<int>(pipe) : -1, {}, false};
    import->opened = true;
    ++import->handles;
    return handle;
  }

  bool DeviceIoControl(Handle device, std::uint32_t code, void* in, std::uint32_t inSize, void* out,
                       std::uint32_t outSize, std::uint32_t* returned) override {
    if (returned) *returned = 0;
    std::shared_ptr<Import> import;
    SetupPacket setup{};
    bool setupKept = false;
    {
      std::lock_guard lock(mutex_);
      auto it = handles_.find(device);
      if (it == handles_.end() || it->second.pipe != -1) {
        SetLastError(kErrorInvalidHandle);
        return false;
      }
      import = it->second.import;
      setup = it->second.setup;
      setupKept = it->second.setupKept;
    }
    auto answer32 = [&](std::uint32_t value) {
      if (!out || outSize < 4) {
        SetLastError(kErrorInsufficientBuffer);
        return false;
      }
      PutLe32(out, value);
      if (returned) *returned = 4;
      return true;
    };
    switch (code) {
      case IOCTL_NCBULK_GET_DRIVER_VERSION: return answer32(kNcBulkDriverVersion);
      case IOCTL_NCBULK_IS_CHECKED_BUILD: return answer32(0);
      case IOCTL_NCBULK_GET_LAST_USBD_STATUS:
        if (!in || inSize < 4) {
          SetLastError(kErrorInvalidParameter);
          return false;
        }
        return answer32(import->LastUsbdStatus());
      case IOCTL_NCBULK_RESET_DEVICE: {
        // SET_FEATURE(PORT_RESET) to the hub port: a USB/IP server resets the device for it.
        const Import::Result r = import->Control(device, MakeSetup(0x23, 3, 4, 0, 0), nullptr, timeouts_.replyMs);
        return Succeeded(r);
      }
      case IOCTL_NCBULK_CONTROL_SETUP: {
        if (!in || inSize < 8) {
          SetLastError(kErrorInvalidParameter);
          return false;
        }
        std::memcpy(setup.data(), in, 8);
        {
          std::lock_guard lock(mutex_);
          auto it = handles_.find(device);
          if (it == handles_.end()) {
            SetLastError(kErrorInvalidHandle);
            return false;
          }
          it->second.setup = setup;
          it->second.setupKept = true;
        }
        if (out && outSize >= 8) {
          std::memcpy(out, setup.data(), 8);
          if (returned) *returned = 8;
        }
        return true;
      }
      case IOCTL_NCBULK_CONTROL_DATA: {
        if (!setupKept) {
          SetLastError(kErrorInvalidParameter);
          return false;
        }
        const std::uint16_t length = SetupLength(setup);
        const bool deviceToHost = (setup[0] & 0x80) != 0;
        void* data = deviceToHost ? out : in;
        const std::uint32_t room = deviceToHost ? outSize : inSize;
        if (length > 0 && (!data || room < length)) {
          SetLastError(kErrorInsufficientBuffer);
          return false;
        }
        const Import::Result r =
            import->Control(device, setup, static_cast<std::uint8_t*>(data), timeouts_.replyMs);
        if (returned) *returned = r.bytes;
        return Succeeded(r);
      }
      default: SetLastError(kErrorNotSupported); return false;
    }
  }

  bool CancelIo(Handle handle) override {
    const std::shared_ptr<Import> import = ImportOf(handle);
    if (!import) {
      SetLastError(kErrorInvalidHandle);
      return false;
    }
    import->Cancel(handle);
    return true;
  }

  bool CloseHandle(Handle handle) override {
    std::shared_ptr<Import> import;
    bool last = false;
    {
      std::lock_guard lock(mutex_);
      auto it = handles_.find(handle);
      if (it == handles_.end()) {
        SetLastError(kErrorInvalidHandle);
        return false;
      }
      import = it->second.import;
      handles_.erase(it);
      last = --import->handles == 0;
      if (last) {
        for (auto held = imports_.begin(); held != imports_.end(); ++held) {
          if (held->second == import) {
            imports_.erase(held);
            break;
          }
        }
        knownPaths_[import->path] = import->record.busId;
        retired_.push_back(import);
        released_[import->record.busId] = std::chrono::steady_clock::now();
      }
    }
    if (last) {
      import->Release(timeouts_.replyMs);
    } else {
      import->Detach(handle);
    }
    return true;
  }

  void SetDeviceEventSink(DeviceEventSink sink) override {
    std::lock_guard lock(sinkMutex_);
    sink_ = std::move(sink);
  }

  // The reader of an import saw its connection end, or a reply it could not take.
  void ImportEnded(Import& import, const std::string& why) {
    bool opened;
    std::string path;
    {
      std::lock_guard lock(mutex_);
      opened = import.opened;
      path = import.path;
    }
    Tracef("usbip %s %s: %s%s", Server().c_str(), import.record.busId.c_str(), why.c_str(),
           opened ? "; device removed" : "");
    if (!opened) return;
    std::lock_guard lock(sinkMutex_);
    if (sink_) sink_(DeviceEventKind::Removal, path);
  }

 protected:
  bool StartTransfer(Handle pipeHandle, bool in, void* buffer, std::uint32_t length, TransferDone done) override {
    std::shared_ptr<Import> import;
    Pipe pipe;
    {
      std::lock_guard lock(mutex_);
      auto it = handles_.find(pipeHandle);
      if (it == handles_.end() || it->second.pipe < 0) {
        SetLastError(kErrorInvalidHandle);
        return false;
      }
      import = it->second.import;
      pipe = import->pipes[static_cast<std::size_t>(it->second.pipe)];
    }
    if (pipe.in() != in || (length > 0 && !buffer)) {
      SetLastError(kErrorInvalidParameter);
      return false;
    }
    return import->Bulk(pipeHandle, pipe, static_cast<std::uint8_t*>(buffer), length, std::move(done));
  }

 private:
  std::string Server() const { return server_.host + ":" + std::to_string(server_.port); }

  void Tracef(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    if (!trace_) return;
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    trace_->Debug(text);
  }

  static bool Succeeded(const Import::Result& r) {
    if (r.error == kErrorSuccess) return true;
    SetLastError(r.error);
    return false;
  }

  std::shared_ptr<Import> ImportOf(Handle handle) {
    std::lock_guard lock(mutex_);
    auto it = handles_.find(handle);
    return it == handles_.end() ? nullptr : it->second.import;
  }

  // Imports given back or dead whose reader has ended are let go.
  void Reap() {
    std::vector<std::shared_ptr<Import>> done;
    {
      std::lock_guard lock(mutex_);
      for (auto it = retired_.begin(); it != retired_.end();) {
        if ((*it)->ReaderFinished()) {
          done.push_back(*it);
          it = retired_.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (auto& import : done) import->Join();
  }

  std::unique_ptr<platform::TcpStream> Connect(std::string* why) {
    auto stream = platform::MakeTcpStream(inFlight());
    std::string error;
    if (!stream->Connect(server_.host, server_.port, timeouts_.connectMs, &error)) {
      *why = "can't connect: " + error;
      if (operatorLog_ && error != lastConnectError_)
        operatorLog_("USB/IP server " + Server() + " not reachable: " + error);
      lastConnectError_ = error;
      return nullptr;
    }
    lastConnectError_.clear();
    return stream;
  }

  // Reads exactly n bytes within the reply time; the caller releases them.
  bool ReadExact(platform::TcpStream& stream, std::uint8_t* out, std::size_t n, const char* what,
                 std::string* why) {
    std::size_t have = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeouts_.replyMs);
    while (have < n) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      std::size_t got = 0;
      std::string error;
      const auto io = stream.ReadSome(out + have, n - have, &got, static_cast<int>(std::max<std::int64_t>(left.count(), 0)),
                                      &error);
      have += got;
      if (io == platform::TcpStream::Io::Ok) continue;
      Release(have);
      char text[160];
      std::snprintf(text, sizeof text, "%s: %s after %zu of %zu bytes", what,
                    io == platform::TcpStream::Io::TimedOut ? "no answer" :
                    io == platform::TcpStream::Io::Ended    ? "connection closed"
                                                            : "connection failed",
                    have, n);
      *why = text;
      return false;
    }
    return true;
  }

  void Release(std::size_t bytes) {
    if (inFlight() && bytes > 0) inFlight()->Done(static_cast<std::int64_t>(bytes));
  }

  bool ListDevices(std::vector<usbip::DeviceRecord>& out, std::string* why) {
    auto stream = Connect(why);
    if (!stream) return false;
    const Bytes request = usbip::DevlistRequest();
    std::string error;
    if (!stream->Write(request.data(), request.size(), &error)) {
      *why = "devlist request: " + error;
      return false;
    }
    usbip::DevlistParser parser;
    std::vector<std::uint8_t> chunk(4096);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeouts_.replyMs);
    while (parser.state() == usbip::DevlistParser::State::NeedMore) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      std::size_t got = 0;
      const auto io = stream->ReadSome(chunk.data(), chunk.size(), &got,
                                       static_cast<int>(std::max<std::int64_t>(left.count(), 0)), &error);
      if (io == platform::TcpStream::Io::Ok) {
        parser.Feed(std::span(chunk.data(), got));
        Release(got);
        continue;
      }
      if (io == platform::TcpStream::Io::TimedOut) {
        *why = "no complete devlist reply";
        return false;
      }
      parser.End();
    }
    if (parser.state() == usbip::DevlistParser::State::Failed) {
      *why = parser.error();
      return false;
    }
    out = parser.devices();
    return true;
  }

  // Imports a device, reads its descriptors and serial number, and starts
  // its reader. Null, with the reason, when any of it fails.
  std::shared_ptr<Import> ImportDevice(const std::string& busId, std::string* why) {
    for (int attempt = 0;; ++attempt) {
      bool busy = false;
      auto import = TryImport(busId, &busy, why);
      if (import || !busy || attempt + 1 >= kBusyRetries || !RecentlyReleased(busId)) return import;
      std::this_thread::sleep_for(std::chrono::milliseconds(kBusyRetryMs));
    }
  }

  bool RecentlyReleased(const std::string& busId) {
    std::lock_guard lock(mutex_);
    auto it = released_.find(busId);
    return it != released_.end() && std::chrono::steady_clock::now() - it->second < kRecentRelease;
  }

  std::shared_ptr<Import> TryImport(const std::string& busId, bool* busy, std::string* why) {
    auto stream = Connect(why);
    if (!stream) return nullptr;
    const Bytes request = usbip::ImportRequest(busId);
    std::string error;
    if (!stream->Write(request.data(), request.size(), &error)) {
      *why = "import request: " + error;
      return nullptr;
    }
    std::array<std::uint8_t, usbip::kDeviceRecordSize> buf{};
    if (!ReadExact(*stream, buf.data(), usbip::kOpHeaderSize, "import reply", why)) return nullptr;
    const usbip::OpHeader h = *usbip::ParseOpHeader(std::span(buf.data(), usbip::kOpHeaderSize));
    Release(usbip::kOpHeaderSize);
    if (h.version != usbip::kVersion || h.code != usbip::OP_REP_IMPORT) {
      char text[96];
      std::snprintf(text, sizeof text, "import answered with version %04x operation %04x", h.version, h.code);
      *why = text;
      return nullptr;
    }
    if (h.status != usbip::ST_OK) {
      *busy = h.status == usbip::ST_DEV_BUSY || h.status == usbip::ST_NA;
      *why = "import refused with status " + std::to_string(h.status);
      return nullptr;
    }
    if (!ReadExact(*stream, buf.data(), buf.size(), "import reply", why)) return nullptr;
    usbip::DeviceRecord record = *usbip::ParseDeviceRecord(buf);
    Release(buf.size());
    if (record.busId != busId) {
      *why = "import reply names bus id " + record.busId;
      return nullptr;
    }
    auto import = std::make_shared<Import>(*this, std::move(stream), std::move(record));
    import->StartReader();
    if (!ReadIdentity(*import, why)) {
      import->Release(timeouts_.replyMs);
      import->Join();
      return nullptr;
    }
    std::lock_guard lock(mutex_);
    knownPaths_[import->path] = busId;
    return import;
  }

  // Device descriptor, configuration (its endpoints become the pipes) and serial number.
  bool ReadIdentity(Import& import, std::string* why) {
    std::array<std::uint8_t, 256> buf{};
    auto get = [&](std::uint8_t type, std::uint8_t index, std::uint16_t lang, std::uint16_t length,
                   std::uint8_t* into) -> Import::Result {
      return import.Control(kInvalidHandle, MakeSetup(0x80, 6, static_cast<std::uint16_t>(type << 8 | index), lang, length),
                            into, timeouts_.replyMs);
    };
    Import::Result r = get(1, 0, 0, 18, buf.data());
    if (r.error != kErrorSuccess || r.bytes < 18) {
      *why = "device descriptor not read";
      return false;
    }
    const std::uint8_t iSerial = buf[16];

    r = get(2, 0, 0, 9, buf.data());
    if (r.error != kErrorSuccess || r.bytes < 9) {
      *why = "configuration descriptor not read";
      return false;
    }
    const std::uint16_t total = static_cast<std::uint16_t>(buf[2] | buf[3] << 8);
    std::vector<std::uint8_t> config(std::max<std::uint16_t>(total, 9));
    r = get(2, 0, 0, static_cast<std::uint16_t>(config.size()), config.data());
    if (r.error != kErrorSuccess) {
      *why = "configuration not read";
      return false;
    }
    config.resize(r.bytes);
    // Every endpoint descriptor of the configuration, in order, is a pipe.
    for (std::size_t at = 0; at + 2 <= config.size() && config[at] != 0; at += config[at]) {
      if (config[at + 1] == 5 && config[at] >= 7 && at + 3 <= config.size()) import.pipes.push_back({config[at + 2]});
    }

    if (iSerial != 0) {
      std::uint16_t lang = 0x0409;
      r = get(3, 0, 0, 255, buf.data());
      if (r.error == kErrorSuccess && r.bytes >= 4 && buf[0] >= 4) lang = static_cast<std::uint16_t>(buf[2] | buf[3] << 8);
      r = get(3, iSerial, lang, 255, buf.data());
      if (r.error != kErrorSuccess) {
        *why = "serial number not read";
        return false;
      }
      import.serial = StringDescriptorText(buf.data(), r.bytes);
    }
    import.path = UsbipDevicePath(server_, import.record.busId, import.serial);
    return true;
  }

  UsbipServer server_;
  platform::Trace* trace_;
  std::function<void(const std::string&)> operatorLog_;
  UsbipTimeouts timeouts_;
  std::string lastConnectError_;  // the thread that enumerates and opens

  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<Import>> imports_;  // held imports by bus id
  std::vector<std::shared_ptr<Import>> retired_;            // given back or dead; readers to be joined
  std::map<std::string, std::string> knownPaths_;           // device path -> bus id
  std::map<std::string, std::chrono::steady_clock::time_point> released_;  // bus id -> given back at
  std::map<Handle, HandleEntry> handles_;
  Handle nextHandle_ = 0x100;

  std::mutex sinkMutex_;
  DeviceEventSink sink_;
};

void Import::ReadLoop() {
  std::vector<std::uint8_t> chunk(kChunk);
  const auto lookup = [this](std::uint32_t seq) { return Lookup(seq); };
  const auto handle = [this](const usbip::Reply& reply) { OnReply(reply); };
  platform::InFlight* inFlight = driver_.inFlight();
  auto released = [this] {
    std::lock_guard lock(mutex_);
    return released_;
  };
  for (;;) {
    std::size_t got = 0;
    std::string error;
    const auto io = stream_->ReadSome(chunk.data(), chunk.size(), &got, kReaderPollMs, &error);
    if (io == platform::TcpStream::Io::TimedOut) {
      std::lock_guard lock(mutex_);
      if (released_ && std::chrono::steady_clock::now() >= drainUntil_) break;
      continue;
    }
    if (io == platform::TcpStream::Io::Ok) {
      // Once given back, replies are read only to be let go.
      const bool ok = released() || parser_.Feed(std::span(chunk.data(), got), lookup, handle);
      if (!ok) End(parser_.error());
      // What arrived counts as dealt with once its completions (and a
      // removal) are handed on.
      if (inFlight) inFlight->Done(static_cast<std::int64_t>(got));
      if (!ok) break;
      continue;
    }
    std::string why;
    {
      std::lock_guard lock(mutex_);
      why = sendError_;
    }
    if (why.empty()) {
      if (io == platform::TcpStream::Io::Failed) {
        why = "connection failed: " + error;
      } else if (!parser_.End()) {
        why = parser_.error();
      } else {
        why = "the server closed the connection";
      }
    }
    End(why);
    break;
  }
  End("given back");
  stream_->Close();
  readerFinished_ = true;
}

void Import::End(const std::string& why) {
  bool byUs;
  {
    std::lock_guard lock(mutex_);
    if (ended_) return;
    ended_ = true;
    byUs = released_;
    if (!byUs) lastUsbd_ = USBD_STATUS_DEV_NOT_RESPONDING;
    for (auto& [seq, t] : transfers_)
      if (!t->ghost) Finish(*t, kErrorDeviceNotConnected, 0);
    transfers_.clear();
    unlinks_.clear();
  }
  cv_.notify_all();
  // The removal is handed on before our end of the connection closes: a
  // server that counts its drop as work in flight releases it only then.
  if (!byUs) driver_.ImportEnded(*this, why);
  stream_->Shutdown();
}

}  // namespace

std::unique_ptr<Driver> MakeUsbipDriver(const UsbipServer& server, platform::InFlight* inFlight,
                                        platform::Trace* trace, std::function<void(const std::string&)> operatorLog,
                                        UsbipTimeouts timeouts) {
  return std::make_unique<UsbipDriver>(server, inFlight, trace, std::move(operatorLog), timeouts);
}

}  // namespace nimbrel::usb
