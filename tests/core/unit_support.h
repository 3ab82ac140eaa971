#pragma once
// Records for the unit-identity tests.

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "protocol/Bytes.h"
#include "protocol/ControlFrame.h"

namespace nimbrel::testing {

// A greeting carrying `pn` in its 20-byte field (cut to it) and the given
// tsCode and production day; every other byte is zero.
inline protocol::Frame Greeting(std::string_view pn, std::int32_t tsCode = 1, std::int32_t productionDay = 1) {
  protocol::Frame f{};
  protocol::StoreU32(f.data(), protocol::kMagicSoF);
  std::copy_n(pn.begin(), std::min<std::size_t>(pn.size(), 20), f.begin() + 100);
  protocol::StoreI32(f.data() + 152, tsCode);
  protocol::StoreI32(f.data() + 156, productionDay);
  return f;
}

}  // namespace nimbrel::testing
