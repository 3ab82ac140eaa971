#include "platform/Files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <filesystem>

namespace nimbrel::platform {

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
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return std::nullopt;
  std::vector<std::uint8_t> data;
  std::uint8_t chunk[65536];
  for (;;) {
    const std::size_t n = std::fread(chunk, 1, sizeof chunk, f);
    data.insert(data.end(), chunk, chunk + n);
    if (n < sizeof chunk) break;
  }
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) return std::nullopt;
  return data;
}

std::optional<std::uint64_t> FileLength(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return std::nullopt;
  struct stat st{};
  const bool ok = ::fstat(fileno(f), &st) == 0;
  std::fclose(f);
  if (!ok) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

}  // namespace nimbrel::platform
