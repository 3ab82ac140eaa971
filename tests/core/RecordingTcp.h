#pragma once
// A TcpClient decorator for tests: passes everything to a real client and
// records each send (virtual time, bytes) and each poll that read bytes. It
// can fail chosen sends, as a socket layer reporting an error would, and
// change bytes on their way to the peer.

#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "platform/EventLoop.h"
#include "platform/Sockets.h"

namespace nimbrel::testing {

class RecordingTcp final : public platform::TcpClient {
 public:
  struct SendRecord {
    std::int64_t atMs = 0;
    std::vector<std::uint8_t> bytes;
    bool failed = false;
  };

  RecordingTcp(platform::EventLoop& loop, std::unique_ptr<platform::TcpClient> inner)
      : loop_(loop), inner_(std::move(inner)) {}

  // Indices (counting every Send call from 0) of sends that fail with
  // `failText` and put nothing on the stream.
  std::set<std::size_t> failSends;
  // All sends from this index on fail.
  std::size_t failFrom = static_cast<std::size_t>(-1);
  std::string failText = "Connection reset by peer";
  // Called with the stream offset of the bytes and a copy of them, just
  // before they go on the socket.
  std::function<void(std::uint64_t offset, std::vector<std::uint8_t>& bytes)> mutate;

  void Connect(const std::string& host, std::uint16_t port, int timeoutMs) override {
    inner_->Connect(host, port, timeoutMs);
  }
  bool Connected() const override { return inner_->Connected(); }
  platform::PollResult Poll() override {
    const platform::PollResult r = inner_->Poll();
    if (r.bytesRead > 0) {
      std::lock_guard lock(mutex_);
      polls_.push_back(r.bytesRead);
    }
    return r;
  }
  std::size_t InputBufferSize() const override { return inner_->InputBufferSize(); }
  bool ReadExact(std::uint8_t* out, std::size_t n) override { return inner_->ReadExact(out, n); }
  void WaitForInput() override { inner_->WaitForInput(); }
  void Wake() override { inner_->Wake(); }
  void Disconnect() override { inner_->Disconnect(); }

  platform::SendResult Send(const std::uint8_t* data, std::size_t n) override {
    const std::size_t index = calls_++;
    SendRecord record{loop_.NowMs(), std::vector<std::uint8_t>(data, data + n), false};
    if (failSends.count(index) || index >= failFrom) {
      record.failed = true;
      sends.push_back(std::move(record));
      return {0, failText};
    }
    if (mutate) mutate(offset_, record.bytes);
    const platform::SendResult r = inner_->Send(record.bytes.data(), record.bytes.size());
    offset_ += r.sent;
    sends.push_back(std::move(record));
    return r;
  }

  // Forgets the sends so far; indices of failSends and failFrom count from here.
  void Reset() {
    sends.clear();
    calls_ = 0;
  }

  // Bytes read by each poll that read any (receiver thread).
  std::vector<std::size_t> Polls() const {
    std::lock_guard lock(mutex_);
    return polls_;
  }

  std::vector<SendRecord> sends;  // UI thread

 private:
  platform::EventLoop& loop_;
  std::unique_ptr<platform::TcpClient> inner_;
  std::size_t calls_ = 0;
  std::uint64_t offset_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::size_t> polls_;
};

}  // namespace nimbrel::testing
