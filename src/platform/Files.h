#pragma once
// Files and folders as the updater sees them: the executable's folder (where
// backup.dmp lives) and the working directory (where the marker files are
// looked up by bare name). Both are values, so that tests can set them.
//
// Files the program reads or updates are only ever regular files: a FIFO
// would block the opening thread until a writer comes, a device or a folder
// is no data file. Such a path counts as no file at all.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nimbrel::platform {

struct Paths {
  std::string exeDir;   // folder of the executable, no trailing separator
  std::string workDir;  // the current working directory
};

// The folder of the running executable and the current directory.
Paths ProcessPaths();

// `dir` joined with `name` by one separator.
std::string JoinPath(const std::string& dir, const std::string& name);
// The last component of a path.
std::string BaseName(const std::string& path);

// True when a regular file (also behind a link) is at the path.
bool FileExists(const std::string& path);
// The whole file, or nothing when it cannot be opened or read.
std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& path);
// The file's length, or nothing when it cannot be opened.
std::optional<std::uint64_t> FileLength(const std::string& path);

// A regular file, opened without waiting: anything else at the path (a
// folder, a FIFO, a device, also behind a link) is not opened at all, not
// even for a moment. Closed with its owner.
class RegularFile {
 public:
  enum class Access { Read, Update };

  static RegularFile Open(const std::string& path, Access access);

  RegularFile(RegularFile&& other) noexcept;
  RegularFile& operator=(RegularFile&& other) noexcept;
  RegularFile(const RegularFile&) = delete;
  RegularFile& operator=(const RegularFile&) = delete;
  ~RegularFile();

  explicit operator bool() const { return fd_ >= 0; }
  // Why it is not open (the system's reason, or "Not a regular file");
  // after a failed read or write, why that failed.
  const std::string& Error() const { return error_; }
  // The length when it was opened.
  std::uint64_t Length() const { return length_; }
  // Exactly n bytes from `offset`; false when fewer are there or the read fails.
  bool ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t n);
  // All n bytes at `offset`; false when the write fails.
  bool WriteAt(std::uint64_t offset, const std::uint8_t* data, std::size_t n);
  // Closes now; false when the last writes may not have reached the file.
  bool Close();

 private:
  RegularFile() = default;
  int fd_ = -1;
  std::uint64_t length_ = 0;
  std::string error_;
};

// Replaces the file at `path` with `size` bytes; afterwards the path holds
// either what it held before or the whole new file, synced. The new bytes
// go to a temporary file in the same folder that then takes the name, so
// whatever stood there (a link, a FIFO) is replaced rather than written
// through. The file keeps the mode of the regular file it replaces, else it
// gets the process's default (the umask). A regular file that may not be
// written is left alone. When the folder takes no new file but the old
// regular file may be written, it is written in place instead, whole.
struct FileReplacement {
  std::string error;     // empty when the file was written
  bool inPlace = false;  // written into the old file rather than renamed over it
};
FileReplacement ReplaceFile(const std::string& path, const std::uint8_t* bytes, std::size_t size);

}  // namespace nimbrel::platform
