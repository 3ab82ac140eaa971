#include "Harness.h"

#include <algorithm>
#include <fstream>

namespace nimbrel::testing {

void TempDir::Touch(const std::string& name) const { std::ofstream(File(name)).put('\n'); }

void TempDir::Write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
  std::ofstream out(File(name), std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

bool Harness::Logged(const std::string& line) const {
  const auto& lines = Log();
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::int64_t Harness::LoggedAt(const std::string& line) const {
  const auto it = std::find(echoed.begin(), echoed.end(), line);
  return it == echoed.end() ? -1 : echoedAt[static_cast<std::size_t>(it - echoed.begin())];
}

}  // namespace nimbrel::testing
