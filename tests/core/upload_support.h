#pragma once
// A main window connected to a USB scanner double, for the upload-step
// tests: the greeting and a System Info reply have been received, and every
// send from then on is recorded and can be read back as uploads.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "FakeUsb.h"
#include "Harness.h"
#include "nimbrel_images/ImageStore.h"
#include "protocol/Bytes.h"
#include "protocol/ControlFrame.h"
#include "unit/DefaultSystemInfo.h"
#include "unit_support.h"

namespace nimbrel::testing {

using Bytes = std::vector<std::uint8_t>;

// One upload as it went out: the announcement and the bytes it announced
// (the upload header and the padded payload).
struct SentUpload {
  protocol::Frame announcement{};
  Bytes staged;

  std::int32_t AnnouncedCommand() const { return protocol::FrameView(announcement).command(); }
  protocol::UploadHeader Header() { return protocol::UploadHeader(staged.data()); }
  std::int32_t PayloadSize() { return Header().size(); }
  Bytes Payload() {
    const auto size = static_cast<std::size_t>(std::max(0, PayloadSize()));
    return Bytes(staged.begin() + 512, staged.begin() + 512 + static_cast<std::ptrdiff_t>(std::min(size, staged.size() - 512)));
  }
};

// The uploads among the sends: a "SoF" frame with a transferLength, and the
// sends after it that carry that many bytes.
inline std::vector<SentUpload> UploadsIn(const std::vector<FakeUsb::Send>& sends) {
  std::vector<SentUpload> uploads;
  for (std::size_t i = 0; i < sends.size(); ++i) {
    const Bytes& b = sends[i].bytes;
    if (b.size() != 512 || protocol::LoadU32(b.data()) != protocol::kMagicSoF) continue;
    const std::int32_t length = protocol::LoadI32(b.data() + 508);
    if (length <= 0) continue;
    SentUpload u;
    std::copy(b.begin(), b.end(), u.announcement.begin());
    while (u.staged.size() < static_cast<std::size_t>(length) && ++i < sends.size()) {
      u.staged.insert(u.staged.end(), sends[i].bytes.begin(), sends[i].bytes.end());
    }
    uploads.push_back(std::move(u));
  }
  return uploads;
}

// The upload checksum, summed here on its own: the header's magic, command
// and size words and every word behind the header, modulo 2^32.
inline std::uint32_t WordSum(const Bytes& staged) {
  std::uint32_t sum = protocol::LoadU32(staged.data()) + protocol::LoadU32(staged.data() + 4) +
                      protocol::LoadU32(staged.data() + 8);
  for (std::size_t off = 512; off + 4 <= staged.size(); off += 4) sum += protocol::LoadU32(staged.data() + off);
  return sum;
}

// Checks an upload byte for byte: announcement, header, checksum, payload
// and zero padding.
inline void ExpectUpload(SentUpload& u, std::int32_t command, const Bytes& payload) {
  const auto announce = protocol::FrameView(std::as_const(u.announcement));
  EXPECT_EQ(announce.magic(), protocol::kMagicSoF);
  EXPECT_EQ(announce.command(), command);
  EXPECT_EQ(announce.value(), 0);
  const std::int64_t padded = (static_cast<std::int64_t>(payload.size()) + 511) / 512 * 512 + 512;
  ASSERT_EQ(announce.transferLength(), padded);
  ASSERT_EQ(u.staged.size(), static_cast<std::size_t>(padded));

  protocol::UploadHeader header = u.Header();
  EXPECT_EQ(header.magic(), protocol::kMagicCDb);
  EXPECT_EQ(header.command(), command);
  EXPECT_EQ(header.size(), static_cast<std::int32_t>(payload.size()));
  EXPECT_EQ(header.checksum(), WordSum(u.staged));
  EXPECT_EQ(static_cast<int>(header.timestamp()), 43399);  // 2018-10-26, the virtual clock's day
  for (std::size_t i = 24; i < 512; ++i) ASSERT_EQ(u.staged[i], 0) << "header byte " << i;

  ASSERT_TRUE(std::equal(payload.begin(), payload.end(), u.staged.begin() + 512)) << "payload bytes";
  EXPECT_TRUE(std::all_of(u.staged.begin() + 512 + static_cast<std::ptrdiff_t>(payload.size()), u.staged.end(),
                          [](std::uint8_t b) { return b == 0; }))
      << "padding";
}

inline Bytes ImageBytes(std::string_view name) {
  const auto image = images::Find(name);
  if (!image) return {};
  return Bytes(image->begin(), image->end());
}

// The 512-byte sends as frames.
inline std::vector<protocol::Frame> SentFrames(const FakeUsb& usb) {
  std::vector<protocol::Frame> out;
  for (const auto& s : usb.sends) {
    if (s.bytes.size() != 512) continue;
    protocol::Frame f;
    std::copy(s.bytes.begin(), s.bytes.end(), f.begin());
    out.push_back(f);
  }
  return out;
}

// The System Info record a scanner answers with: the default record in a
// "SoF" frame that announces nothing.
inline protocol::Frame SystemInfoReply() {
  protocol::Frame f{};
  const auto def = unit::MakeDefaultSystemSetting(unit::DefaultSystemSetting::TX);
  std::copy(def.begin(), def.end(), f.begin());
  protocol::StoreU32(f.data(), protocol::kMagicSoF);
  protocol::StoreI32(f.data() + 504, 0);
  protocol::StoreI32(f.data() + 508, 0);
  return f;
}

inline constexpr const char* kResetLine = "to update System, please reset power switch of Scanner";

class UploadTest : public ::testing::Test {
 protected:
  struct Line {
    std::string text;
    std::int64_t at;
  };

  void SetUp() override {
    h.makeUsb = [this](const std::string&, const std::string&) {
      auto link = std::make_unique<FakeUsb>(h.loop);
      usb = link.get();
      return link;
    };
    app::Environment env = h.MakeEnvironment();
    env.logEcho = [this](std::string_view line) {
      lines.push_back({std::string(line), h.loop.NowMs()});
      if (onLog) onLog(line);
    };
    h.form = std::make_unique<app::TfrmMain>(std::move(env));
    form = h.form.get();
  }

  // Connects, answers the connect request with a greeting of this firmware
  // version and the System Info request with a record; then forgets what
  // has been sent and logged so far.
  void ConnectScanner(std::uint32_t firmwareVersion = 0x01010205) {
    form->ConnectClick(&form->Connect);
    ASSERT_TRUE(usb && usb->Active());
    protocol::Frame greeting = Greeting("QV47-02HCAG-000001");
    protocol::StoreU32(greeting.data() + 128, firmwareVersion);
    ASSERT_TRUE(usb->CompleteRead(Bytes(greeting.begin(), greeting.end())));
    ASSERT_TRUE(form->unitSupported);
    const protocol::Frame reply = SystemInfoReply();
    ASSERT_TRUE(usb->CompleteRead(Bytes(reply.begin(), reply.end())));
    h.loop.RunFor(0);
    usb->sends.clear();
    lines.clear();
    firstLine = h.Log().size();
  }

  // Runs the step as the "manual Upload " button does, under the loop's
  // error guard.
  void ClickUpload(int mode) {
    form->rgMode.SetItemIndex(mode);
    h.loop.Guard([this] { form->btnUploadClick(&form->btnUpload); });
  }

  // The step's log lines.
  std::vector<std::string> StepLog() const {
    const auto& all = h.Log();
    return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(firstLine), all.end());
  }
  bool StepLogged(const std::string& text) const {
    const auto log = StepLog();
    return std::find(log.begin(), log.end(), text) != log.end();
  }
  std::int64_t LoggedAt(const std::string& text) const {
    for (const Line& l : lines) {
      if (l.text == text) return l.at;
    }
    return -1;
  }

  std::vector<SentUpload> Uploads() const { return UploadsIn(usb->sends); }

  // The operator's ending: the reset line after "verify data", the
  // end-of-session frame as the last send, and USB closed.
  void ExpectOperatorEnding() {
    const auto log = StepLog();
    const auto verify = std::find(log.begin(), log.end(), "verify data");
    ASSERT_NE(verify, log.end());
    ASSERT_NE(verify + 1, log.end());
    EXPECT_EQ(*(verify + 1), kResetLine);
    ASSERT_FALSE(usb->sends.empty());
    const protocol::Frame end = protocol::MakeEndSessionFrame();
    EXPECT_EQ(usb->sends.back().bytes, Bytes(end.begin(), end.end()));
    EXPECT_FALSE(usb->Active());
    EXPECT_EQ(form->updateStage, -1);
  }

  Harness h;
  FakeUsb* usb = nullptr;
  app::TfrmMain* form = nullptr;
  std::vector<Line> lines;
  std::function<void(std::string_view)> onLog;  // called for every log line
  std::size_t firstLine = 0;
};

}  // namespace nimbrel::testing
