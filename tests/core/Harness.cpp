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

}  // namespace nimbrel::testing
