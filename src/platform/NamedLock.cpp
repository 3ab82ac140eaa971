#include "platform/NamedLock.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace nimbrel::platform {

NamedLock::~NamedLock() {
  if (fd_ >= 0) ::close(fd_);
}

LockSpace::LockSpace(std::string prefix) : prefix_(std::move(prefix)) {}

LockSpace::Result LockSpace::Create(const std::string& name) const {
  Result result;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return result;

  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string full = prefix_ + "/" + name;
  // Abstract namespace: a leading NUL, then the name (cut to fit).
  const std::size_t room = sizeof addr.sun_path - 1;
  if (full.size() > room) full.resize(room);
  std::memcpy(addr.sun_path + 1, full.data(), full.size());
  const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + full.size());

  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0) {
    result.lock.reset(new NamedLock(name, fd));
    return result;
  }
  const int err = errno;
  ::close(fd);
  result.alreadyExisted = (err == EADDRINUSE);
  return result;
}

}  // namespace nimbrel::platform
