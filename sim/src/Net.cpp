#include "nimbrel_sim/Net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

namespace nimbrel::sim {

namespace {

void SetNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

bool MakeWakePipe(int& readEnd, int& writeEnd) {
  int fds[2];
  if (::pipe(fds) != 0) return false;
  SetNonBlocking(fds[0]);
  SetNonBlocking(fds[1]);
  readEnd = fds[0];
  writeEnd = fds[1];
  return true;
}

void Signal(int writeEnd) {
  const char c = 1;
  [[maybe_unused]] auto n = ::write(writeEnd, &c, 1);  // a full pipe is as good as a wake-up
}

void DrainPipe(int readEnd) {
  char buf[64];
  while (::read(readEnd, buf, sizeof buf) > 0) {
  }
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

bool Fail(std::string* error, const char* what) {
  if (error) *error = std::string(what) + ": " + std::strerror(errno);
  return false;
}

std::uint16_t BoundPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

void Done(WorkTracker* t, std::int64_t n) {
  if (t && n > 0) t->Done(n);
}

}  // namespace

// The output queue of one connection. Everything is counted (Add) as it is
// queued, under the scanner's lock and so before the Done of the bytes that
// caused it.
class TcpLink::Connection final : public LinkOutput {
 public:
  enum class Progress { Idle, Pending, Dropped, Failed };

  Connection(WorkTracker* tracker, int wakeWrite) : tracker_(tracker), wakeWrite_(wakeWrite) {}

  void Send(std::vector<std::uint8_t> bytes) override {
    std::lock_guard lock(mutex_);
    if (closed_ || bytes.empty()) return;
    if (tracker_) tracker_->Add(std::int64_t(bytes.size()));
    queue_.push_back({std::move(bytes), 0, false});
    Signal(wakeWrite_);
  }

  void Drop() override {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    if (tracker_) tracker_->Add(1);
    queue_.push_back({{}, 0, true});
    closed_ = true;
    Signal(wakeWrite_);
  }

  // Puts as much of the queue on the socket as it takes. Dropped: the queue
  // reached the drop, whose unit the updater now owes.
  Progress Write(int fd) {
    std::lock_guard lock(mutex_);
    while (!queue_.empty()) {
      Item& item = queue_.front();
      if (item.drop) {
        queue_.pop_front();
        return Progress::Dropped;
      }
      const ssize_t n = ::send(fd, item.bytes.data() + item.sent, item.bytes.size() - item.sent,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return Progress::Pending;
        return Progress::Failed;
      }
      item.sent += std::size_t(n);
      if (item.sent == item.bytes.size()) queue_.pop_front();
    }
    return Progress::Idle;
  }

  // No more output; what never reached the socket is released here.
  void Close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    for (const Item& item : queue_) Done(tracker_, item.drop ? 1 : std::int64_t(item.bytes.size() - item.sent));
    queue_.clear();
  }

 private:
  struct Item {
    std::vector<std::uint8_t> bytes;
    std::size_t sent;
    bool drop;
  };
  WorkTracker* tracker_;
  int wakeWrite_;
  std::mutex mutex_;
  std::deque<Item> queue_;
  bool closed_ = false;
};

// ---- TcpLink ----

TcpLink::TcpLink(Scanner& scanner, WorkTracker* tracker) : scanner_(scanner), tracker_(tracker) {}

TcpLink::~TcpLink() { Stop(); }

bool TcpLink::Start(std::uint16_t port, std::string* error) {
  Stop();
  listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  if (listenFd_ < 0) return Fail(error, "socket");
  const int on = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in a = Loopback(port);
  if (::bind(listenFd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || ::listen(listenFd_, 4) != 0 ||
      !MakeWakePipe(wakeRead_, wakeWrite_)) {
    const bool r = Fail(error, "tcp listen");
    CloseFd(listenFd_);
    return r;
  }
  SetNonBlocking(listenFd_);
  port_ = BoundPort(listenFd_);
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void TcpLink::Stop() {
  if (thread_.joinable()) {
    stop_ = true;
    Signal(wakeWrite_);
    thread_.join();
  }
  CloseFd(listenFd_);
  CloseFd(wakeRead_);
  CloseFd(wakeWrite_);
}

void TcpLink::Run() {
  while (!stop_) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
    DrainPipe(wakeRead_);
    if (stop_) break;
    if (fds[0].revents & POLLIN) {
      const int fd = ::accept(listenFd_, nullptr, nullptr);
      if (fd >= 0) Serve(fd);
    }
  }
}

void TcpLink::Serve(int fd) {
  SetNonBlocking(fd);
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  Connection conn(tracker_, wakeWrite_);
  scanner_.LinkUp(conn);
  bool dropped = false;  // half-closed by the scanner, draining what still comes
  bool blocked = false;  // the socket took less than was queued
  std::vector<std::uint8_t> buf(256 * 1024);

  auto endLink = [&] {
    scanner_.LinkDown();
    conn.Close();
  };

  for (;;) {
    const short events = short(POLLIN | (blocked ? POLLOUT : 0));
    pollfd fds[3] = {{fd, events, 0}, {wakeRead_, POLLIN, 0}, {dropped ? listenFd_ : -1, POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0 && errno != EINTR) break;
    DrainPipe(wakeRead_);
    if (stop_) break;

    // Reading first: an updater that closed is noticed before more is written.
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
      if (n > 0) {
        if (!dropped) scanner_.Feed({buf.data(), std::size_t(n)});
        Done(tracker_, n);
      } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        if (!dropped) endLink();
        ::close(fd);
        return;
      }
    }
    if (!dropped) {
      const auto progress = conn.Write(fd);
      blocked = progress == Connection::Progress::Pending;
      switch (progress) {
        case Connection::Progress::Dropped:
          ::shutdown(fd, SHUT_WR);
          endLink();
          dropped = true;
          break;
        case Connection::Progress::Failed:
          endLink();
          ::close(fd);
          return;
        default:
          break;
      }
    }
    // A new connection while draining: the updater has moved on.
    if (dropped && (fds[2].revents & POLLIN)) {
      ::close(fd);
      return;
    }
  }

  // Stopped with the link open: that is a drop by the scanner.
  if (!dropped) {
    endLink();
    if (tracker_) tracker_->Add(1);
    ::shutdown(fd, SHUT_WR);
  }
  // Take in what has arrived, so that closing does not reset the connection.
  for (ssize_t n; (n = ::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT)) > 0;) Done(tracker_, n);
  ::close(fd);
}

// ---- WakeListener ----

WakeListener::WakeListener(Scanner& scanner, WorkTracker* tracker) : scanner_(scanner), tracker_(tracker) {}

WakeListener::~WakeListener() { Stop(); }

bool WakeListener::Start(std::uint16_t port, std::string* error) {
  Stop();
  fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd_ < 0) return Fail(error, "socket");
  const sockaddr_in a = Loopback(port);
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || !MakeWakePipe(wakeRead_, wakeWrite_)) {
    const bool r = Fail(error, "udp bind");
    CloseFd(fd_);
    return r;
  }
  SetNonBlocking(fd_);
  port_ = BoundPort(fd_);
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void WakeListener::Stop() {
  if (thread_.joinable()) {
    stop_ = true;
    Signal(wakeWrite_);
    thread_.join();
  }
  CloseFd(fd_);
  CloseFd(wakeRead_);
  CloseFd(wakeWrite_);
}

void WakeListener::Run() {
  std::vector<std::uint8_t> buf(65536);
  while (!stop_) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
    DrainPipe(wakeRead_);
    if (stop_) break;
    for (ssize_t n; (n = ::recv(fd_, buf.data(), buf.size(), 0)) >= 0;) {
      scanner_.Datagram({buf.data(), std::size_t(n)});
      Done(tracker_, n);
    }
  }
}

// ---- Simulator ----

Simulator::Simulator(WorkTracker* tracker, const Frame& systemInfo)
    : scanner_(systemInfo), tcp_(scanner_, tracker), udp_(scanner_, tracker) {}

Simulator::~Simulator() { Stop(); }

bool Simulator::Start(std::uint16_t port, std::string* error) {
  // An ephemeral TCP port may be taken for UDP; then try another one.
  for (int attempt = 0; attempt < (port == 0 ? 20 : 1); ++attempt) {
    if (!tcp_.Start(port, error)) return false;
    if (udp_.Start(tcp_.Port(), error)) return true;
    tcp_.Stop();
  }
  return false;
}

void Simulator::Stop() {
  tcp_.Stop();
  udp_.Stop();
}

}  // namespace nimbrel::sim
