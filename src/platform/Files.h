#pragma once
// Files and folders as the updater sees them: the executable's folder (where
// backup.dmp lives) and the working directory (where the marker files are
// looked up by bare name). Both are values, so that tests can set them.

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

bool FileExists(const std::string& path);
// The whole file, or nothing when it cannot be opened or read.
std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& path);
// The file's length, or nothing when it cannot be opened.
std::optional<std::uint64_t> FileLength(const std::string& path);

}  // namespace nimbrel::platform
