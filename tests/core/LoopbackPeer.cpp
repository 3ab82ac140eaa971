#include "LoopbackPeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace nimbrel::testing {

namespace {

// The port bound, 0 when the bind failed.
std::uint16_t BindLoopback(int fd, std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 0;
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

}  // namespace

LoopbackPeer::LoopbackPeer(platform::InFlight* inFlight) : inFlight_(inFlight) {
  // The updater uses one port number for the datagram and the stream.
  for (int attempt = 0; attempt < 100 && port_ == 0; ++attempt) {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const std::uint16_t port = BindLoopback(listen_, 0);
    udp_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (port != 0 && BindLoopback(udp_, port) == port) {
      port_ = port;
    } else {
      ::close(listen_);
      ::close(udp_);
      listen_ = udp_ = -1;
    }
  }
  if (port_ == 0) throw std::runtime_error("no loopback port free for TCP and UDP");
  ::listen(listen_, 4);
  if (::pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  thread_ = std::thread([this] { Serve(); });
}

LoopbackPeer::~LoopbackPeer() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  const char c = 1;
  [[maybe_unused]] ssize_t rc = ::write(wake_[1], &c, 1);
  thread_.join();
  for (int fd : {listen_, udp_, conn_, wake_[0], wake_[1]}) {
    if (fd >= 0) ::close(fd);
  }
}

void LoopbackPeer::Serve() {
  std::vector<std::uint8_t> buffer(1 << 16);
  for (;;) {
    int conn;
    {
      std::lock_guard lock(mutex_);
      if (stop_) return;
      if (stopListening_ && listen_ >= 0) {
        ::close(listen_);
        listen_ = -1;
        changed_.notify_all();
      }
      conn = conn_;
    }
    // A negative descriptor is left out by poll.
    pollfd p[4] = {{wake_[0], POLLIN, 0}, {listen_, POLLIN, 0}, {udp_, POLLIN, 0}, {conn, POLLIN, 0}};
    if (::poll(p, conn >= 0 ? 4 : 3, -1) < 0) continue;
    if (p[0].revents) {
      char drain[16];
      while (::read(wake_[0], drain, sizeof drain) > 0) {
      }
      continue;
    }
    if (p[1].revents & POLLIN) {
      const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        std::lock_guard send(sendMutex_);
        std::lock_guard lock(mutex_);
        if (conn_ >= 0) ::close(conn_);
        conn_ = fd;
        ++connections_;
        sawEnd_ = false;
        partial_.clear();
        changed_.notify_all();
      }
    }
    if (p[2].revents & POLLIN) {
      const ssize_t n = ::recv(udp_, buffer.data(), buffer.size(), 0);
      if (n >= 0) {
        {
          std::lock_guard lock(mutex_);
          datagrams_.emplace_back(buffer.begin(), buffer.begin() + n);
        }
        if (inFlight_) inFlight_->Done(n);
      }
    }
    if (conn >= 0 && p[3].revents) {
      const ssize_t n = ::recv(conn, buffer.data(), buffer.size(), 0);
      if (n > 0) {
        std::vector<std::vector<std::uint8_t>> frames;
        {
          std::lock_guard lock(mutex_);
          received_.insert(received_.end(), buffer.begin(), buffer.begin() + n);
          partial_.insert(partial_.end(), buffer.begin(), buffer.begin() + n);
          std::size_t taken = 0;
          while (partial_.size() - taken >= 512) {
            frames.emplace_back(partial_.begin() + taken, partial_.begin() + taken + 512);
            taken += 512;
          }
          partial_.erase(partial_.begin(), partial_.begin() + taken);
        }
        if (reply) {
          for (const auto& frame : frames) {
            const std::vector<std::uint8_t> answer = reply(frame.data());
            if (!answer.empty()) {
              std::lock_guard send(sendMutex_);
              SendLocked(answer.data(), answer.size());
            }
          }
        }
        if (inFlight_) inFlight_->Done(n);
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        std::lock_guard send(sendMutex_);
        std::lock_guard lock(mutex_);
        ::close(conn_);
        conn_ = -1;
        sawEnd_ = true;
        changed_.notify_all();
      }
    }
  }
}

bool LoopbackPeer::WaitAccepted() {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::seconds(10), [this] { return conn_ >= 0 || sawEnd_; });
}

void LoopbackPeer::SendLocked(const std::uint8_t* data, std::size_t n) {
  int conn;
  {
    std::lock_guard lock(mutex_);
    conn = conn_;
  }
  if (conn < 0) return;
  if (inFlight_) inFlight_->Add(static_cast<std::int64_t>(n));
  std::size_t sent = 0;
  while (sent < n) {
    const ssize_t k = ::send(conn, data + sent, n - sent, MSG_NOSIGNAL);
    if (k > 0) {
      sent += static_cast<std::size_t>(k);
    } else if (k < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  if (inFlight_ && sent < n) inFlight_->Done(static_cast<std::int64_t>(n - sent));
}

void LoopbackPeer::Send(const std::vector<std::uint8_t>& bytes) {
  WaitAccepted();
  std::lock_guard send(sendMutex_);
  SendLocked(bytes.data(), bytes.size());
}

void LoopbackPeer::Drop() {
  WaitAccepted();
  std::lock_guard send(sendMutex_);
  std::lock_guard lock(mutex_);
  if (conn_ < 0) return;
  if (inFlight_) inFlight_->Add(1);
  ::shutdown(conn_, SHUT_WR);
}

void LoopbackPeer::StopListening() {
  std::unique_lock lock(mutex_);
  stopListening_ = true;
  const char c = 1;
  [[maybe_unused]] ssize_t rc = ::write(wake_[1], &c, 1);
  changed_.wait(lock, [this] { return listen_ < 0; });
}

std::vector<std::uint8_t> LoopbackPeer::Received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

std::vector<std::vector<std::uint8_t>> LoopbackPeer::Datagrams() const {
  std::lock_guard lock(mutex_);
  return datagrams_;
}

int LoopbackPeer::Connections() const {
  std::lock_guard lock(mutex_);
  return connections_;
}

bool LoopbackPeer::SawEnd() const {
  std::lock_guard lock(mutex_);
  return sawEnd_;
}

}  // namespace nimbrel::testing
