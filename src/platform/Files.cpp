#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace nimbrel::platform {

namespace {

std::string Reason(int error) { return std::strerror(error); }
constexpr const char* kNotRegular = "Not a regular file";

bool WriteAll(int fd, std::uint64_t offset, const std::uint8_t* data, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t k = ::pwrite(fd, data + done, n - done, static_cast<off_t>(offset + done));
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) {
      if (k == 0) errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(k);
  }
  return true;
}

// A name beside `path` that nothing has yet; the file is created there
// with the process's default mode.
int CreateTemporaryBeside(const std::string& path, std::string& name) {
  static std::atomic<unsigned> counter{0};
  int error = EEXIST;
  for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
    name = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) return fd;
    error = errno;
  }
  errno = error;
  return -1;
}

std::string WriteInPlace(const std::string& path, const std::uint8_t* bytes, std::size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return Reason(errno);
  struct stat st{};
  int error = 0;
  if (::fstat(fd, &st) != 0) {
    error = errno;
  } else if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return kNotRegular;
  }
  // Written over the old bytes first and cut to length afterwards, so that
  // a failure never leaves a file emptied.
  if (error == 0 && !WriteAll(fd, 0, bytes, size)) error = errno;
  if (error == 0 && ::ftruncate(fd, static_cast<off_t>(size)) != 0) error = errno;
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  return error ? Reason(error) : std::string();
}

}  // namespace

Paths ProcessPaths() {
  Paths p;
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  p.exeDir = ec ? std::string(".") : exe.parent_path().string();
  const auto cwd = std::filesystem::current_path(ec);
  p.workDir = ec ? std::string(".") : cwd.string();
  return p;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

std::string BaseName(const std::string& path) {
  const auto pos = path.find_last_of("/\\");
  return pos == std::string::npos ? path : path.substr(pos + 1);
}

bool FileExists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& path) {
  RegularFile f = RegularFile::Open(path, RegularFile::Access::Read);
  if (!f) return std::nullopt;
  std::vector<std::uint8_t> data(static_cast<std::size_t>(f.Length()));
  if (!f.ReadAt(0, data.data(), data.size())) return std::nullopt;
  return data;
}

std::optional<std::uint64_t> FileLength(const std::string& path) {
  const RegularFile f = RegularFile::Open(path, RegularFile::Access::Read);
  if (!f) return std::nullopt;
  return f.Length();
}

RegularFile RegularFile::Open(const std::string& path, Access access) {
  RegularFile f;
  // Looked at before it is opened: opening a device can have effects of
  // its own, and a FIFO opened for reading waits for a writer. The second
  // look, at what was opened, covers a path changed in between.
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) {
    f.error_ = Reason(errno);
    return f;
  }
  if (!S_ISREG(st.st_mode)) {
    f.error_ = kNotRegular;
    return f;
  }
  const int flags = (access == Access::Update ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  const int fd = ::open(path.c_str(), flags);
  if (fd < 0) {
    f.error_ = Reason(errno);
    return f;
  }
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    f.error_ = S_ISREG(st.st_mode) ? Reason(errno) : kNotRegular;
    ::close(fd);
    return f;
  }
  f.fd_ = fd;
  f.length_ = static_cast<std::uint64_t>(st.st_size);
  return f;
}

RegularFile::RegularFile(RegularFile&& other) noexcept
    : fd_(other.fd_), length_(other.length_), error_(std::move(other.error_)) {
  other.fd_ = -1;
}

RegularFile& RegularFile::operator=(RegularFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    length_ = other.length_;
    error_ = std::move(other.error_);
    other.fd_ = -1;
  }
  return *this;
}

RegularFile::~RegularFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool RegularFile::ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t k = ::pread(fd_, out + done, n - done, static_cast<off_t>(offset + done));
    if (k < 0 && errno == EINTR) continue;
    if (k < 0) {
      error_ = Reason(errno);
      return false;
    }
    if (k == 0) {
      error_ = "shorter than its length";
      return false;
    }
    done += static_cast<std::size_t>(k);
  }
  return true;
}

bool RegularFile::WriteAt(std::uint64_t offset, const std::uint8_t* data, std::size_t n) {
  if (WriteAll(fd_, offset, data, n)) return true;
  error_ = Reason(errno);
  return false;
}

bool RegularFile::Close() {
  const int fd = fd_;
  fd_ = -1;
  if (fd < 0) return true;
  if (::close(fd) == 0) return true;
  error_ = Reason(errno);
  return false;
}

FileReplacement ReplaceFile(const std::string& path, const std::uint8_t* bytes, std::size_t size) {
  FileReplacement result;
  struct stat old{};
  // The entry itself, not what a link points to: its mode is not taken
  // over, and it is replaced, not written through.
  const bool oldRegular = ::lstat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode);
  // A file the operator protected is not replaced behind their back.
  // Asked with the rights the write will have, not the real user's.
  if (oldRegular && ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
    result.error = Reason(errno);
    return result;
  }

  std::string temp;
  const int fd = CreateTemporaryBeside(path, temp);
  if (fd < 0) {
    const int error = errno;
    if (oldRegular) {
      result.inPlace = true;
      result.error = WriteInPlace(path, bytes, size);
    } else {
      result.error = Reason(error);
    }
    return result;
  }
  int error = 0;
  if (!WriteAll(fd, 0, bytes, size)) error = errno;
  if (error == 0 && oldRegular && ::fchmod(fd, old.st_mode & 0777) != 0) error = errno;
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temp.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temp.c_str());
    result.error = Reason(error);
  }
  return result;
}

}  // namespace nimbrel::platform
