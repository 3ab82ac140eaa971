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

std::uint16_t BindLoopback(int fd) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("bind");
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

}  // namespace

LoopbackPeer::LoopbackPeer(platform::InFlight* inFlight) : inFlight_(inFlight) {
  listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  tcpPort_ = BindLoopback(listen_);
  ::listen(listen_, 4);
  udp_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  udpPort_ = BindLoopback(udp_);
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
      conn = conn_;
    }
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
