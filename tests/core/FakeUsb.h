#pragma once
// A USB link for tests: records every send with its bytes and the virtual
// time it was handed over, keeps armed reads and sends outstanding until the
// test completes them, and raises connect and disconnect as a scanner that
// is plugged in or pulled out would. Everything runs on the UI thread.

#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <span>
#include <vector>

#include "platform/EventLoop.h"
#include "usb/TUSB.h"

namespace nimbrel::testing {

class FakeUsb final : public usb::TUSB {
 public:
  struct Send {
    int channel = 0;
    int size = 0;
    std::vector<std::uint8_t> bytes;
    std::int64_t atMs = 0;
    std::uint8_t* buffer = nullptr;
  };
  struct Read {
    int channel = 0;
    int size = 0;
    std::uint8_t* buffer = nullptr;
  };

  explicit FakeUsb(platform::EventLoop& loop) : loop_(loop) {}

  // Whether SetActive(true) finds a scanner.
  bool scannerPresent = true;

  void SetActive(bool value) override {
    if (value == active_) return;
    if (value) {
      if (!scannerPresent) return;
      active_ = true;
      if (OnConnect) OnConnect();
    } else {
      Unplug();
    }
  }

  bool ReadBuffer(int channel, int size, std::uint8_t* buffer) override {
    if (!active_) return false;
    reads.push_back({channel, size, buffer});
    return true;
  }

  // As the component does: queue, let pending events run, pause 100 ms.
  bool SendBuffer(int channel, int size, std::uint8_t* buffer) override {
    if (!active_) return false;
    sends.push_back({channel, size, std::vector<std::uint8_t>(buffer, buffer + size), loop_.NowMs(), buffer});
    outstandingSends_.push_back(sends.size() - 1);
    if (onSend) onSend(sends.back());
    loop_.ProcessMessages();
    loop_.Sleep(100);
    return true;
  }

  std::uint32_t GetRegister(unsigned) override { return active_ ? 0u : 0xFFFFFFFFu; }
  void SetRegister(unsigned, unsigned) override {}
  void SetEventCaller(void*) override {}

  // ---- The test's side ----
  // Completes the oldest outstanding send (OnSendBufferEnd); false when none.
  bool CompleteSend() {
    if (outstandingSends_.empty() || !active_) return false;
    const Send& s = sends[outstandingSends_.front()];
    outstandingSends_.pop_front();
    if (Event && OnSendBufferEnd) OnSendBufferEnd(s.channel, s.size, s.buffer);
    return true;
  }
  int CompleteAllSends() {
    int n = 0;
    while (CompleteSend()) ++n;
    return n;
  }
  // Fills the oldest armed read with the bytes and completes it
  // (OnReadBufferEnd with the size that was asked for); false when none.
  bool CompleteRead(std::span<const std::uint8_t> bytes) {
    if (reads.empty() || !active_) return false;
    const Read r = reads.front();
    reads.pop_front();
    std::memcpy(r.buffer, bytes.data(), std::min<std::size_t>(bytes.size(), static_cast<std::size_t>(r.size)));
    if (Event && OnReadBufferEnd) OnReadBufferEnd(r.channel, r.size, r.buffer);
    return true;
  }
  // The scanner goes away: inactive, outstanding transfers dropped, OnDisconnect.
  void Unplug() {
    if (!active_) return;
    active_ = false;
    reads.clear();
    outstandingSends_.clear();
    if (OnDisconnect) OnDisconnect();
  }

  // Runs inside SendBuffer, as the send is handed over.
  std::function<void(const Send&)> onSend;

  std::vector<Send> sends;
  std::deque<Read> reads;

 private:
  platform::EventLoop& loop_;
  std::deque<std::size_t> outstandingSends_;
};

}  // namespace nimbrel::testing
