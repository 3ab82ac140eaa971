#include "platform/Sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

namespace nimbrel::platform {

namespace {

constexpr const char* kNotConnected = "Not Connected.";
// A peer that stops reading for this long turns a blocked send into a failed
// pass instead of a window that hangs for good.
constexpr int kSendTimeoutMs = 5000;
// One poll takes at most this much, so that a peer that keeps sending cannot
// hold the receiving thread in a single poll.
constexpr std::size_t kMaxPollBytes = 1 << 20;

std::string ErrorText(int err) { return std::strerror(err); }

sockaddr_in Address(const std::string& host, std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (::inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1) {
    throw SocketError("not an IPv4 address: " + host);
  }
  return a;
}

void SetBlocking(int fd, bool blocking) {
  const int flags = ::fcntl(fd, F_GETFL, 0);
  ::fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK);
}

class PosixTcpClient final : public TcpClient {
 public:
  explicit PosixTcpClient(InFlight* inFlight) : inFlight_(inFlight) {
    if (::pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) wake_[0] = wake_[1] = -1;
  }

  ~PosixTcpClient() override {
    CloseSocket();
    for (int fd : wake_) {
      if (fd >= 0) ::close(fd);
    }
  }

  void Connect(const std::string& host, std::uint16_t port, int timeoutMs) override {
    const sockaddr_in address = Address(host, port);
    CloseSocket();

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) throw SocketError(ErrorText(errno));
    int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (rc != 0 && errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      do {
        rc = ::poll(&p, 1, timeoutMs);
      } while (rc < 0 && errno == EINTR);
      if (rc == 0) {
        ::close(fd);
        throw SocketError("Connect timed out.");
      }
      int err = 0;
      socklen_t len = sizeof err;
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
      if (err != 0) {
        ::close(fd);
        throw SocketError(ErrorText(err));
      }
    } else if (rc != 0) {
      const int err = errno;
      ::close(fd);
      throw SocketError(ErrorText(err));
    }

    SetBlocking(fd, true);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval tv{kSendTimeoutMs / 1000, (kSendTimeoutMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    {
      std::lock_guard lock(mutex_);
      fd_ = fd;
      connected_ = true;
      input_.clear();
      inputStart_ = 0;
    }
    Wake();
  }

  bool Connected() const override {
    std::lock_guard lock(mutex_);
    return connected_;
  }

  PollResult Poll() override {
    PollResult result;
    std::lock_guard lock(mutex_);
    if (!connected_) return result;
    std::uint8_t chunk[65536];
    while (result.bytesRead < kMaxPollBytes) {
      const ssize_t n = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
      if (n > 0) {
        input_.insert(input_.end(), chunk, chunk + n);
        result.bytesRead += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      // End of the stream, or a failed one. The descriptor stays open until
      // the sending thread closes it; shutting it down keeps it quiet.
      connected_ = false;
      ::shutdown(fd_, SHUT_RDWR);
      result.peerClosed = true;
      break;
    }
    return result;
  }

  std::size_t InputBufferSize() const override {
    std::lock_guard lock(mutex_);
    return input_.size() - inputStart_;
  }

  bool ReadExact(std::uint8_t* out, std::size_t n) override {
    std::lock_guard lock(mutex_);
    if (input_.size() - inputStart_ < n) return false;
    std::memcpy(out, input_.data() + inputStart_, n);
    inputStart_ += n;
    if (inputStart_ == input_.size()) {
      input_.clear();
      inputStart_ = 0;
    } else if (inputStart_ > 65536 && inputStart_ * 2 > input_.size()) {
      input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(inputStart_));
      inputStart_ = 0;
    }
    return true;
  }

  void WaitForInput() override {
    int fd = -1;
    {
      std::lock_guard lock(mutex_);
      if (connected_) fd = fd_;
    }
    // A descriptor closed meanwhile makes poll return at once (or wait on
    // its successor, which Connect then wakes); either way the caller
    // looks again.
    pollfd p[2] = {{wake_[0], POLLIN, 0}, {fd, POLLIN, 0}};
    int rc;
    do {
      rc = ::poll(p, fd >= 0 ? 2 : 1, -1);
    } while (rc < 0 && errno == EINTR);
    std::uint8_t drain[64];
    while (::read(wake_[0], drain, sizeof drain) > 0) {
    }
  }

  void Wake() override {
    const std::uint8_t one = 1;
    [[maybe_unused]] const ssize_t rc = ::write(wake_[1], &one, 1);  // a full pipe wakes as well
  }

  SendResult Send(const std::uint8_t* data, std::size_t n) override {
    SendResult result;
    int fd;
    {
      std::lock_guard lock(mutex_);
      if (!connected_) {
        result.error = kNotConnected;
        return result;
      }
      fd = fd_;
    }
    if (inFlight_ && n > 0) inFlight_->Add(static_cast<std::int64_t>(n));
    while (result.sent < n) {
      const ssize_t k = ::send(fd, data + result.sent, n - result.sent, MSG_NOSIGNAL);
      if (k > 0) {
        result.sent += static_cast<std::size_t>(k);
      } else if (k < 0 && errno == EINTR) {
        continue;
      } else {
        result.error = k < 0 ? ErrorText(errno) : kNotConnected;
        break;
      }
    }
    if (inFlight_ && result.sent < n) inFlight_->Done(static_cast<std::int64_t>(n - result.sent));
    return result;
  }

  void Disconnect() override {
    CloseSocket();
    Wake();
  }

 private:
  void CloseSocket() {
    std::lock_guard lock(mutex_);
    if (fd_ < 0) return;
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    fd_ = -1;
    connected_ = false;
  }

  InFlight* const inFlight_;
  int wake_[2] = {-1, -1};

  mutable std::mutex mutex_;  // fd_, connected_ and the input buffer
  int fd_ = -1;
  bool connected_ = false;
  std::vector<std::uint8_t> input_;
  std::size_t inputStart_ = 0;
};

class PosixUdpClient final : public UdpClient {
 public:
  explicit PosixUdpClient(InFlight* inFlight) : inFlight_(inFlight) {}
  ~PosixUdpClient() override {
    if (fd_ >= 0) ::close(fd_);
  }

  SendResult SendTo(const std::string& host, std::uint16_t port, const std::uint8_t* data,
                    std::size_t n) override {
    SendResult result;
    sockaddr_in address;
    try {
      address = Address(host, port);
    } catch (const SocketError& e) {
      result.error = e.what();
      return result;
    }
    if (fd_ < 0) fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
      result.error = ErrorText(errno);
      return result;
    }
    if (inFlight_) inFlight_->Add(static_cast<std::int64_t>(n));
    ssize_t k;
    do {
      k = ::sendto(fd_, data, n, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (k < 0 && errno == EINTR);
    if (k == static_cast<ssize_t>(n)) {
      result.sent = n;
    } else {
      result.error = k < 0 ? ErrorText(errno) : "datagram cut short";
      if (inFlight_) inFlight_->Done(static_cast<std::int64_t>(n));
    }
    return result;
  }

 private:
  InFlight* const inFlight_;
  int fd_ = -1;
};

}  // namespace

std::unique_ptr<TcpClient> MakeTcpClient(InFlight* inFlight) { return std::make_unique<PosixTcpClient>(inFlight); }
std::unique_ptr<UdpClient> MakeUdpClient(InFlight* inFlight) { return std::make_unique<PosixUdpClient>(inFlight); }

}  // namespace nimbrel::platform
