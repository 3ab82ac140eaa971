#pragma once
// A main window whose USB link leads to the simulated scanner's device core
// (SimUsb.h), on the virtual clock: the update sequence runs against it
// with its real pauses and timers, restarts of the scanner included.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "SimUsb.h"
#include "nimbrel_images/ImageStore.h"
#include "nimbrel_sim/Scanner.h"
#include "protocol/Bytes.h"
#include "update/PayloadCatalogue.h"

namespace nimbrel::testing {

using Bytes = std::vector<std::uint8_t>;

inline constexpr const char* kDoneLine = "update bootloader, gui resources, solution, FPGA done";
inline constexpr const char* kPowerLine = "to update System, please reset power switch of Scanner";

// A part number this updater supports and calls Regular: an "AG" unit.
inline constexpr const char* kSupportedPn = "QV47-02HCAG-000001";

struct SimUsbHarness : Harness {
  sim::Scanner scanner;  // before the link, which leaves it at its end
  std::unique_ptr<SimUsbLink> link;
  FakeUsb* usb = nullptr;

  SimUsbHarness() {
    scanner.SetPartNumber(kSupportedPn);
    scanner.SetFirmwareVersion(0x00FFFFFF);
    scanner.Configure([](sim::Options& o) { o.applySystemInfoUploads = true; });
    makeUsb = [this](const std::string&, const std::string&) {
      auto fake = std::make_unique<FakeUsb>(loop);
      usb = fake.get();
      link = std::make_unique<SimUsbLink>(loop, scanner);
      link->Bind(*fake);
      return fake;
    };
  }

  // The scanner restarts after these uploads, once it has answered the four
  // requests of their verification phase.
  void RestartAfter(std::vector<std::int32_t> commands) {
    scanner.Configure([&](sim::Options& o) {
      o.dropAfterUpload = true;
      o.dropAfterUploadCommands = std::move(commands);
      o.repliesBeforeDrop = 4;
    });
  }

  // Starts the window, connects over USB and lets the greeting and the
  // first System Info reply arrive.
  app::TfrmMain& StartConnected() {
    if (!form) Start();
    form->ConnectClick(&form->Connect);
    loop.RunFor(0);
    return *form;
  }

  // Runs until the sequence has ended (USB closed after the last stage) or
  // stopped, within `limitMs` of virtual time.
  bool RunSequence(std::int64_t limitMs = 600000) {
    return loop.RunUntil(
        [this] {
          return form->Closed() || (form->updateStage == -1 && !usb->Active() && !form->Timer1.Enabled() &&
                                    !form->Timer2.Enabled());
        },
        limitMs);
  }

  std::vector<sim::Event> EventsOf(sim::EventKind kind) const {
    std::vector<sim::Event> out;
    for (const sim::Event& e : scanner.Events())
      if (e.kind == kind) out.push_back(e);
    return out;
  }

  // The commands of the uploads the scanner received, in order.
  std::vector<std::int32_t> UploadCommands() const {
    std::vector<std::int32_t> out;
    for (const sim::Upload& u : scanner.Uploads()) out.push_back(u.command);
    return out;
  }

  // The log from its first line equal to `from` on.
  std::vector<std::string> LogFrom(const std::string& from) const {
    const auto& lines = Log();
    const auto it = std::find(lines.begin(), lines.end(), from);
    return std::vector<std::string>(it, lines.end());
  }
};

inline Bytes Image(const char* name) {
  const auto image = images::Find(name);
  return image ? Bytes(image->begin(), image->end()) : Bytes{};
}

inline Bytes PayloadOf(const sim::Upload& u) {
  const auto p = u.Payload();
  return Bytes(p.begin(), p.end());
}

// A System Info request of the verification phase: "SoF", value 512,
// command 0x00300000, and nothing else (the greeting's own request is built
// over the greeting and carries its record).
inline bool IsVerificationRequest(const sim::Event& e) {
  if (e.kind != sim::EventKind::SystemInfoRequest || e.param != 0 || e.value != 512) return false;
  return std::all_of(e.frame.begin() + 12, e.frame.begin() + 504, [](std::uint8_t b) { return b == 0; });
}

inline std::int32_t Command(update::PayloadSlot slot) {
  return static_cast<std::int32_t>(update::CommandCode(slot));
}

}  // namespace nimbrel::testing
