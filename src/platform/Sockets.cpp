#include "platform/Sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <system_error>
#include <vector>

namespace nimbrel::platform {

namespace {

// A write that makes no progress for this long counts as a broken link.
constexpr int kWriteStallMs = 5000;
// At most this much is taken in by one poll, so that a fast peer cannot keep
// the poll from returning.
constexpr std::size_t kPollLimit = 1 << 20;

std::string ErrorText(int err) { return std::system_category().message(err); }

void SetError(std::string* error, std::string text) {
  if (error) *error = std::move(text);
}

bool Resolve(const std::string& host, std::uint16_t port, sockaddr_in& out, std::string* error) {
  out = {};
  out.sin_family = AF_INET;
  out.sin_port = htons(port);
  if (::inet_pton(AF_INET, host.c_str(), &out.sin_addr) == 1) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0 || !found) {
    SetError(error, std::string("Host not found: ") + host);
    return false;
  }
  out.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  ::freeaddrinfo(found);
  return true;
}

void SetNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

void Release(InFlight* inFlight, std::int64_t n) {
  if (inFlight && n > 0) inFlight->Done(n);
}

bool WaitConnected(int fd, const sockaddr_in& address, int timeoutMs, std::string* error) {
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return true;
  if (errno != EINPROGRESS && errno != EINTR) {
    SetError(error, ErrorText(errno));
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLOUT, 0};
    const int r = ::poll(&p, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      SetError(error, ErrorText(errno));
      return false;
    }
    if (r == 0) {
      SetError(error, "Connect timed out");
      return false;
    }
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) {
      SetError(error, ErrorText(err));
      return false;
    }
    return true;
  }
}

class PosixTcpClient final : public TcpClient {
 public:
  explicit PosixTcpClient(InFlight* inFlight) : inFlight_(inFlight) {}
  ~PosixTcpClient() override { Disconnect(); }

  bool Connect(const std::string& host, std::uint16_t port, int timeoutMs, std::string* error) override {
    {
      std::lock_guard lock(mutex_);
      if (state_ == State::Connected) {
        SetError(error, "Already connected");
        return false;
      }
    }
    Disconnect();  // a socket left after the peer ended the last link

    sockaddr_in address;
    if (!Resolve(host, port, address, error)) return false;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      SetError(error, ErrorText(errno));
      return false;
    }
    SetNonBlocking(fd);
    if (!WaitConnected(fd, address, timeoutMs, error)) {
      ::close(fd);
      return false;
    }
    const int on = 1;
    // Every pass is a small write of its own; none may wait for an ACK.
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    {
      std::lock_guard lock(mutex_);
      fd_ = fd;
      state_ = State::Connected;
      input_.clear();
      head_ = 0;
    }
    if (OnConnected) OnConnected();
    return true;
  }

  TcpPoll Poll() override {
    TcpPoll result;
    std::lock_guard lock(mutex_);
    if (state_ != State::Connected) return result;
    std::uint8_t chunk[16384];
    while (result.appended < kPollLimit) {
      const ssize_t n = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
      if (n > 0) {
        input_.insert(input_.end(), chunk, chunk + n);
        result.appended += static_cast<std::size_t>(n);
        continue;
      }
      if (n == 0) {
        state_ = State::Ended;
        result.ended = true;
      } else if (errno == EINTR) {
        continue;
      } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
        state_ = State::Failed;
        result.failed = true;
      }
      break;
    }
    result.connected = state_ == State::Connected;
    return result;
  }

  bool IsConnected() const override {
    std::lock_guard lock(mutex_);
    return state_ == State::Connected;
  }

  std::size_t InputBufferSize() const override {
    std::lock_guard lock(mutex_);
    return input_.size() - head_;
  }

  bool ReadBytes(std::uint8_t* out, std::size_t n) override {
    std::lock_guard lock(mutex_);
    if (input_.size() - head_ < n) return false;
    std::memcpy(out, input_.data() + head_, n);
    head_ += n;
    if (head_ == input_.size()) {
      input_.clear();
      head_ = 0;
    } else if (head_ >= 65536 && head_ * 2 >= input_.size()) {
      input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(head_));
      head_ = 0;
    }
    return true;
  }

  bool Write(const std::uint8_t* data, std::size_t n, std::string* error) override {
    // Held for the whole write, so that a Disconnect on another thread cannot
    // close (and the system reuse) the descriptor under it.
    std::lock_guard writing(writeMutex_);
    int fd;
    {
      std::lock_guard lock(mutex_);
      if (state_ != State::Connected) {
        SetError(error, "Not connected");
        return false;
      }
      fd = fd_;
    }
    if (OnWorkBegin) OnWorkBegin();
    if (inFlight_) inFlight_->Add(static_cast<std::int64_t>(n));
    std::size_t sent = 0;
    bool ok = true;
    while (sent < n) {
      const ssize_t k = ::send(fd, data + sent, n - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (k > 0) {
        sent += static_cast<std::size_t>(k);
        continue;
      }
      if (k < 0 && errno == EINTR) continue;
      if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        pollfd p{fd, POLLOUT, 0};
        const int r = ::poll(&p, 1, kWriteStallMs);
        if (r > 0 || (r < 0 && errno == EINTR)) continue;
        SetError(error, r == 0 ? "Send timed out" : ErrorText(errno));
      } else {
        SetError(error, ErrorText(k < 0 ? errno : EPIPE));
      }
      ok = false;
      break;
    }
    Release(inFlight_, static_cast<std::int64_t>(n - sent));
    if (OnWorkEnd) OnWorkEnd();
    return ok;
  }

  void Disconnect() override {
    std::lock_guard writing(writeMutex_);
    std::lock_guard lock(mutex_);
    if (fd_ < 0) return;
    if (state_ == State::Connected) ::shutdown(fd_, SHUT_WR);
    // Take in what has arrived, so that closing does not reset the link;
    // nobody gets these bytes, so they are settled here.
    std::uint8_t chunk[16384];
    std::int64_t discarded = 0;
    for (ssize_t n; (n = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT)) > 0;) discarded += n;
    Release(inFlight_, discarded);
    ::close(fd_);
    fd_ = -1;
    state_ = State::Closed;
    input_.clear();
    head_ = 0;
  }

 private:
  enum class State { Closed, Connected, Ended, Failed };

  InFlight* inFlight_;
  std::mutex writeMutex_;      // before mutex_ when both are taken
  mutable std::mutex mutex_;   // fd_, state_ and the input buffer
  int fd_ = -1;
  State state_ = State::Closed;
  std::vector<std::uint8_t> input_;
  std::size_t head_ = 0;  // input_[head_..] is the input buffer
};

class PosixTcpStream final : public TcpStream {
 public:
  explicit PosixTcpStream(InFlight* inFlight) : inFlight_(inFlight) {}
  ~PosixTcpStream() override { Close(); }

  bool Connect(const std::string& host, std::uint16_t port, int timeoutMs, std::string* error) override {
    {
      std::lock_guard lock(mutex_);
      if (fd_ >= 0) {
        SetError(error, "Already connected");
        return false;
      }
    }
    sockaddr_in address;
    if (!Resolve(host, port, address, error)) return false;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      SetError(error, ErrorText(errno));
      return false;
    }
    SetNonBlocking(fd);
    if (!WaitConnected(fd, address, timeoutMs, error)) {
      ::close(fd);
      return false;
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::lock_guard lock(mutex_);
    fd_ = fd;
    shut_ = false;
    return true;
  }

  Io ReadSome(std::uint8_t* out, std::size_t max, std::size_t* got, int timeoutMs, std::string* error) override {
    *got = 0;
    int fd;
    {
      std::lock_guard lock(mutex_);
      if (fd_ < 0 || shut_) return Io::Ended;
      fd = fd_;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const ssize_t n = ::recv(fd, out, max, MSG_DONTWAIT);
      if (n > 0) {
        *got = static_cast<std::size_t>(n);
        return Io::Ok;
      }
      if (n == 0) return Io::Ended;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        const int err = errno;
        std::lock_guard lock(mutex_);
        if (shut_) return Io::Ended;
        SetError(error, ErrorText(err));
        return Io::Failed;
      }
      int wait = -1;
      if (timeoutMs >= 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return Io::TimedOut;
        wait = static_cast<int>(left.count());
      }
      pollfd p{fd, POLLIN, 0};
      const int r = ::poll(&p, 1, wait);
      if (r == 0) return Io::TimedOut;
      if (r < 0 && errno != EINTR) {
        SetError(error, ErrorText(errno));
        return Io::Failed;
      }
    }
  }

  bool Write(const std::uint8_t* data, std::size_t n, std::string* error) override {
    int fd;
    {
      std::lock_guard lock(mutex_);
      if (fd_ < 0 || shut_) {
        SetError(error, "Not connected");
        return false;
      }
      fd = fd_;
    }
    if (inFlight_) inFlight_->Add(static_cast<std::int64_t>(n));
    std::size_t sent = 0;
    bool ok = true;
    while (sent < n) {
      const ssize_t k = ::send(fd, data + sent, n - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (k > 0) {
        sent += static_cast<std::size_t>(k);
        continue;
      }
      if (k < 0 && errno == EINTR) continue;
      if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        pollfd p{fd, POLLOUT, 0};
        const int r = ::poll(&p, 1, kWriteStallMs);
        if (r > 0 || (r < 0 && errno == EINTR)) continue;
        SetError(error, r == 0 ? "Send timed out" : ErrorText(errno));
      } else {
        SetError(error, ErrorText(k < 0 ? errno : EPIPE));
      }
      ok = false;
      break;
    }
    Release(inFlight_, static_cast<std::int64_t>(n - sent));
    return ok;
  }

  void Shutdown() override {
    std::lock_guard lock(mutex_);
    if (fd_ >= 0 && !shut_) ::shutdown(fd_, SHUT_RDWR);
    shut_ = true;
  }

  void ShutdownWrite() override {
    std::lock_guard lock(mutex_);
    if (fd_ >= 0 && !shut_) ::shutdown(fd_, SHUT_WR);
  }

  void Close() override {
    std::lock_guard lock(mutex_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    shut_ = true;
  }

 private:
  InFlight* inFlight_;
  mutable std::mutex mutex_;  // fd_ and shut_; never held while waiting
  int fd_ = -1;
  bool shut_ = false;
};

class PosixUdpClient final : public UdpClient {
 public:
  explicit PosixUdpClient(InFlight* inFlight) : inFlight_(inFlight) {}

  bool Send(const std::string& host, std::uint16_t port, const std::uint8_t* data, std::size_t n,
            std::string* error) override {
    sockaddr_in address;
    if (!Resolve(host, port, address, error)) return false;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      SetError(error, ErrorText(errno));
      return false;
    }
    if (inFlight_) inFlight_->Add(static_cast<std::int64_t>(n));
    ssize_t sent;
    do {
      sent = ::sendto(fd, data, n, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (sent < 0 && errno == EINTR);
    const int err = errno;
    ::close(fd);
    if (sent != static_cast<ssize_t>(n)) {
      Release(inFlight_, static_cast<std::int64_t>(n));
      SetError(error, sent < 0 ? ErrorText(err) : "Datagram cut short");
      return false;
    }
    return true;
  }

 private:
  InFlight* inFlight_;
};

}  // namespace

std::unique_ptr<TcpClient> MakeTcpClient(InFlight* inFlight) { return std::make_unique<PosixTcpClient>(inFlight); }

std::unique_ptr<UdpClient> MakeUdpClient(InFlight* inFlight) { return std::make_unique<PosixUdpClient>(inFlight); }

std::unique_ptr<TcpStream> MakeTcpStream(InFlight* inFlight) { return std::make_unique<PosixTcpStream>(inFlight); }

}  // namespace nimbrel::platform
