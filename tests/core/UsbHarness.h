#pragma once
// A main window with a USB link double, and greetings to feed it.

#include <algorithm>
#include <cstring>
#include <string>

#include "FakeUsb.h"
#include "Harness.h"
#include "protocol/ControlFrame.h"
#include "unit/DefaultSystemInfo.h"

namespace nimbrel::testing {

struct GreetingSpec {
  std::string pn = "QV47-02HCAF-123456";
  std::uint32_t firmwareVersion = 0x01000078;
  std::string unitMode = "normal unit";
  std::int32_t tsCode = 1;
  std::int32_t productionDay = 1507;
};

// The scanner's record as a greeting: the default record with this identity.
inline protocol::Frame MakeGreeting(const GreetingSpec& identity = {}) {
  protocol::Frame f{};
  const auto record = unit::MakeDefaultSystemSetting(unit::DefaultSystemSetting::TX);
  std::copy(record.begin(), record.end(), f.begin());
  std::fill(f.begin() + 100, f.begin() + 120, 0);
  std::memcpy(f.data() + 100, identity.pn.data(), std::min<std::size_t>(identity.pn.size(), 20));
  protocol::StoreU32(f.data() + 128, identity.firmwareVersion);
  std::fill(f.begin() + 132, f.begin() + 152, 0);
  std::memcpy(f.data() + 132, identity.unitMode.data(), std::min<std::size_t>(identity.unitMode.size(), 20));
  protocol::StoreI32(f.data() + 152, identity.tsCode);
  protocol::StoreI32(f.data() + 156, identity.productionDay);
  protocol::StoreU32(f.data(), protocol::kMagicSoF);
  protocol::StoreI32(f.data() + 504, 0);
  protocol::StoreI32(f.data() + 508, 0);
  return f;
}

inline std::vector<std::uint8_t> Bytes(const protocol::Frame& f) { return {f.begin(), f.end()}; }

struct UsbHarness : Harness {
  FakeUsb* usbLink = nullptr;

  UsbHarness() {
    makeUsb = [this](const std::string&, const std::string&) {
      auto link = std::make_unique<FakeUsb>(loop);
      usbLink = link.get();
      return link;
    };
  }

  // Connect over USB and answer the connect request with a greeting.
  app::TfrmMain& ConnectAndGreet(const protocol::Frame& greeting = MakeGreeting()) {
    if (!form) Start();
    form->ConnectClick(&form->Connect);
    loop.ProcessMessages();
    usbLink->CompleteRead(Bytes(greeting));
    loop.ProcessMessages();
    return *form;
  }

  // What went out on channel 1, as frames (sends of other sizes are skipped).
  std::vector<protocol::Frame> SentFrames() const {
    std::vector<protocol::Frame> out;
    for (const auto& s : usbLink->sends) {
      if (s.bytes.size() != 512) continue;
      protocol::Frame f;
      std::copy(s.bytes.begin(), s.bytes.end(), f.begin());
      out.push_back(f);
    }
    return out;
  }
};

}  // namespace nimbrel::testing
