// The cutting of the TCP stream into frames: a peer on 127.0.0.1 writes
// the stream in pieces of arbitrary sizes, the updater's TCP client polls
// it into its input buffer at arbitrary moments, and the receiver's frame
// cutter takes the frames. The frames must be the stream in order, cut
// every 512 bytes, and every byte appended must be released exactly once,
// with its frame or, while its frame is incomplete, once buffered.
//
// Input: one byte (bit 0: the peer ends the stream after this input; the
// next input gets a new connection), then operations of one or two bytes:
//   b & 3 == 0 or 1  the peer writes ((b >> 2) | next << 6) bytes
//   b & 3 == 2       the client polls until all the peer wrote has arrived,
//                    and frames are taken
//   b & 3 == 3       one poll, then frames are taken
// The stream's bytes are a function of their offset, so every frame can be
// checked. The connection lasts across inputs until a stream ends.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FuzzCheck.h"
#include "net/FrameCutter.h"
#include "platform/Sockets.h"

namespace {

using namespace nimbrel;

std::uint8_t StreamByte(std::uint64_t offset) {
  return static_cast<std::uint8_t>(offset * 131 + (offset >> 9) * 7 + (offset >> 17));
}

class Loopback {
 public:
  Loopback() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    NIMBREL_FUZZ_CHECK(::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0);
    NIMBREL_FUZZ_CHECK(::listen(listener_, 1) == 0);
    NIMBREL_FUZZ_CHECK(::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) == 0);
    port_ = ntohs(a.sin_port);
  }
  ~Loopback() {
    if (peer_ >= 0) ::close(peer_);
    ::close(listener_);
  }

  // A new stream: the client connects afresh, the peer takes the connection.
  void Open() {
    Close();
    client_ = platform::MakeTcpClient(nullptr);
    std::string error;
    NIMBREL_FUZZ_CHECK(client_->Connect("127.0.0.1", port_, 2000, &error));
    peer_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    NIMBREL_FUZZ_CHECK(peer_ >= 0);
    // Each piece goes out as written, not held back for an acknowledgement.
    const int on = 1;
    ::setsockopt(peer_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    cutter_ = net::FrameCutter();
    written_ = appended_ = released_ = framed_ = 0;
  }
  bool IsOpen() const { return peer_ >= 0; }

  void Write(std::size_t n) {
    std::vector<std::uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = StreamByte(written_ + i);
    std::size_t sent = 0;
    while (sent < n) {
      const ssize_t k = ::send(peer_, bytes.data() + sent, n - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (k > 0) {
        sent += static_cast<std::size_t>(k);
        written_ += static_cast<std::uint64_t>(k);
      } else {
        NIMBREL_FUZZ_CHECK(k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR));
        Step(true);  // the buffers are full: the client takes what it can
      }
    }
  }

  // One poll (or, with `all`, polls until everything written has arrived),
  // then the frames are taken and checked.
  void Step(bool all) {
    bool ended = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    do {
      const platform::TcpPoll p = client_->Poll();
      cutter_.Appended(p.appended);
      appended_ += p.appended;
      ended = p.ended;
      NIMBREL_FUZZ_CHECK(!p.failed);
      if (ended || !all || appended_ >= written_) break;
      NIMBREL_FUZZ_CHECK(std::chrono::steady_clock::now() < deadline);  // bytes lost on the way
      std::this_thread::yield();
    } while (true);
    Take(ended);
  }

  void End() {
    ::shutdown(peer_, SHUT_WR);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
      const platform::TcpPoll p = client_->Poll();
      cutter_.Appended(p.appended);
      appended_ += p.appended;
      if (p.ended) break;
      NIMBREL_FUZZ_CHECK(!p.failed);
      NIMBREL_FUZZ_CHECK(std::chrono::steady_clock::now() < deadline);
      std::this_thread::yield();
    }
    NIMBREL_FUZZ_CHECK(appended_ == written_);
    Take(true);
    // With the end, the bytes of an incomplete frame are given up.
    NIMBREL_FUZZ_CHECK(released_ == appended_);
    NIMBREL_FUZZ_CHECK(framed_ == written_ / 512 * 512);
    Close();
  }

 private:
  void Take(bool ended) {
    std::vector<protocol::Frame> frames;
    const std::int64_t release = cutter_.Take(*client_, ended, frames);
    NIMBREL_FUZZ_CHECK(release >= 0);
    released_ += static_cast<std::uint64_t>(release);
    for (const protocol::Frame& f : frames) {
      for (std::size_t i = 0; i < f.size(); ++i) NIMBREL_FUZZ_CHECK(f[i] == StreamByte(framed_ + i));
      framed_ += f.size();
    }
    NIMBREL_FUZZ_CHECK(framed_ <= appended_);
    // Everything appended so far has been released, and no byte twice.
    NIMBREL_FUZZ_CHECK(released_ == appended_);
    if (!ended) NIMBREL_FUZZ_CHECK(client_->InputBufferSize() == appended_ - framed_);
    NIMBREL_FUZZ_CHECK(client_->InputBufferSize() < 512 || ended);
  }

  void Close() {
    if (client_) client_->Disconnect();
    client_.reset();
    if (peer_ >= 0) ::close(peer_);
    peer_ = -1;
  }

  int listener_ = -1;
  int peer_ = -1;
  std::uint16_t port_ = 0;
  std::unique_ptr<platform::TcpClient> client_;
  net::FrameCutter cutter_;
  std::uint64_t written_ = 0, appended_ = 0, released_ = 0, framed_ = 0;
};

Loopback& Link() {
  static Loopback link;
  return link;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Loopback& link = Link();
  if (!link.IsOpen()) link.Open();
  std::size_t i = 0;
  const bool endStream = size > 0 && (data[i++] & 1);
  while (i < size) {
    const std::uint8_t b = data[i++];
    switch (b & 3) {
      case 0:
      case 1: {
        const std::size_t high = i < size ? data[i++] : 0;
        link.Write(static_cast<std::size_t>(b >> 2) | high << 6);
        break;
      }
      case 2:
        link.Step(true);
        break;
      default:
        link.Step(false);
        break;
    }
  }
  if (endStream) link.End();
  return 0;
}
