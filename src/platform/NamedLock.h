#pragma once
// System-wide named locks, in place of named mutexes.
//
// A lock is an abstract-namespace Unix socket bound to the name: the kernel
// releases it when the owning process ends in any way, a crash included, and
// a second bind of the same name fails, in this process or another. Names
// live in a lock space so that tests running side by side do not meet.

#include <memory>
#include <string>

namespace nimbrel::platform {

class NamedLock final {
 public:
  ~NamedLock();
  NamedLock(const NamedLock&) = delete;
  NamedLock& operator=(const NamedLock&) = delete;

  const std::string& name() const { return name_; }

 private:
  friend class LockSpace;
  NamedLock(std::string name, int fd) : name_(std::move(name)), fd_(fd) {}
  std::string name_;
  int fd_;
};

class LockSpace final {
 public:
  // The program's own space; tests pass a prefix of their own.
  explicit LockSpace(std::string prefix = "nimbrel-updater");

  struct Result {
    std::unique_ptr<NamedLock> lock;  // the handle; none when it could not be made
    bool alreadyExisted = false;      // another owner holds the name
  };
  // Creates the lock, owned by the caller from the start. When another owner
  // holds the name, alreadyExisted is set and no handle is returned.
  Result Create(const std::string& name) const;

 private:
  std::string prefix_;
};

}  // namespace nimbrel::platform
