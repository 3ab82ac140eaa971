#pragma once
// A USB link for tests: it records what the updater sends and reads, and
// lets the test complete reads, raise connects and disconnects, and decide
// whether a scanner is attached.

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <vector>

#include "platform/EventLoop.h"
#include "usb/TUSB.h"

namespace nimbrel::testing {

class FakeUsb final : public usb::TUSB {
 public:
  struct Send {
    int channel;
    std::vector<std::uint8_t> bytes;
    std::int64_t at;  // loop time when it was handed over
  };
  struct Read {
    int channel;
    int size;
    std::uint8_t* buffer;
  };

  explicit FakeUsb(platform::EventLoop& loop) : loop_(loop) {}

  // Whether SetActive(true) finds a scanner.
  bool scannerAttached = true;
  // Completes every send (OnSendBufferEnd) as posted work, as the bulk
  // thread would shortly after the hand-over.
  bool completeSends = true;

  // Called at the end of every send, after its pause, before SendBuffer
  // returns: what the caller does next has not happened yet.
  std::function<void(const Send&)> afterSend;

  std::vector<Send> sends;
  std::vector<Read> reads;  // every read armed, in order
  int activations = 0;

  // A device behind the link (see SimUsb.h): told when the link opens
  // (before OnConnect) and closes (after OnDisconnect), given every send as
  // it is handed over, and told when a read has been armed.
  std::function<void()> onOpen;
  std::function<void()> onClose;
  std::function<void(const std::uint8_t* bytes, std::size_t size)> onSend;
  std::function<void()> onReadArmed;

  void SetActive(bool value) override {
    if (value == active_) return;
    if (value) {
      ++activations;
      if (!scannerAttached) return;
      active_ = true;
      if (onOpen) onOpen();
      if (OnConnect) OnConnect();
    } else {
      active_ = false;
      pendingRead_.reset();
      if (OnDisconnect) OnDisconnect();
      if (onClose) onClose();
    }
  }
  bool ReadBuffer(int channel, int size, std::uint8_t* buffer) override {
    if (!active_) return false;
    reads.push_back({channel, size, buffer});
    pendingRead_ = reads.back();
    if (onReadArmed) onReadArmed();
    return true;
  }
  bool SendBuffer(int channel, int size, std::uint8_t* buffer) override {
    if (!active_) return false;
    sends.push_back({channel, std::vector<std::uint8_t>(buffer, buffer + size), loop_.NowMs()});
    if (onSend) onSend(buffer, static_cast<std::size_t>(size));
    if (completeSends) {
      loop_.Post([this, channel, size, buffer] {
        if (active_ && Event && OnSendBufferEnd) OnSendBufferEnd(channel, size, buffer);
      });
    }
    loop_.ProcessMessages();
    loop_.Sleep(100);
    if (afterSend) afterSend(sends.back());
    return true;
  }
  std::uint32_t GetRegister(unsigned) override { return active_ ? 0 : 0xFFFFFFFFu; }
  void SetRegister(unsigned, unsigned) override {}
  void SetEventCaller(void*) override {}

  bool ReadArmed() const { return pendingRead_.has_value(); }
  // The scanner delivers a block into the armed read (fewer than 512 bytes
  // leave the rest of the buffer as it was); false when no read is armed.
  bool CompleteRead(const std::vector<std::uint8_t>& block) {
    if (!active_ || !pendingRead_) return false;
    const Read r = *pendingRead_;
    pendingRead_.reset();
    if (!block.empty()) {
      std::memcpy(r.buffer, block.data(), std::min<std::size_t>(block.size(), static_cast<std::size_t>(r.size)));
    }
    if (Event && OnReadBufferEnd) OnReadBufferEnd(r.channel, r.size, r.buffer);
    return true;
  }
  // The scanner goes away (a cable pulled, a restart).
  void Remove() { SetActive(false); }

 private:
  platform::EventLoop& loop_;
  std::optional<Read> pendingRead_;
};

}  // namespace nimbrel::testing
