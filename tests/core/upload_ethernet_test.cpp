// The upload step end to end over the Ethernet link, against the simulated
// scanner on loopback: what the scanner received and how it judged it.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "Harness.h"
#include "SimTracker.h"
#include "nimbrel_images/ImageStore.h"
#include "nimbrel_sim/Net.h"
#include "protocol/Bytes.h"

namespace nimbrel::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;
using sim::EventKind;

Bytes ImageBytes(const char* name) {
  const auto image = images::Find(name);
  return image ? Bytes(image->begin(), image->end()) : Bytes{};
}

class EthernetUploadStep : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim.Start(0));
    form = &h.Start();
  }

  // Opens the Ethernet link to the simulator and lets the greeting and the
  // first System Info reply arrive.
  void ConnectScanner(std::uint32_t firmwareVersion) {
    scanner().SetPartNumber("QV47-02HCAG-000001");
    scanner().SetFirmwareVersion(firmwareVersion);
    form->rgConnection.SetItemIndex(1);
    form->editAddress.SetText("127.0.0.1");
    form->ethernetPort = sim.Port();
    form->ConnectClick(&form->Connect);
    ASSERT_TRUE(h.loop.RunUntil([&] { return form->unitSupported && form->replyCount > 0; }, 10000));
    scanner().ClearRecords();
  }

  void RunStep(int mode, int stage) {
    form->rgMode.SetItemIndex(mode);
    form->updateStage = stage;
    h.loop.Guard([this, stage] { form->btnUploadClick(stage == -1 ? &form->btnUpload : nullptr); });
    h.loop.ProcessMessages();
  }

  sim::Scanner& scanner() { return sim.scanner(); }

  Harness h;
  SimTracker tracker{h.loop.inFlight()};
  sim::Simulator sim{&tracker};
  app::TfrmMain* form = nullptr;
};

TEST_F(EthernetUploadStep, SolutionArrivesIntactAndTheSessionEnds) {
  ConnectScanner(0x01010205);
  RunStep(2, -1);

  const auto uploads = scanner().Uploads();
  ASSERT_EQ(uploads.size(), 1u);
  const sim::Upload& u = uploads[0];
  EXPECT_TRUE(u.Ok());
  EXPECT_EQ(u.command, 0x00100000);
  const Bytes image = ImageBytes("SOLUTIONDATA");
  EXPECT_EQ(u.headerSize, static_cast<std::int32_t>(image.size()));
  const auto payload = u.Payload();
  EXPECT_TRUE(std::equal(payload.begin(), payload.end(), image.begin(), image.end()));

  EXPECT_EQ(form->pendingSends.load(), 0);
  EXPECT_TRUE(h.Logged("verify data"));
  EXPECT_EQ(h.Log().back(), "to update System, please reset power switch of Scanner");
  // The end of session follows the whole upload.
  ASSERT_TRUE(scanner().WaitFor([&] { return scanner().Count(EventKind::EthernetEndSession) == 1; },
                                std::chrono::seconds(10)));
  const auto events = scanner().Events();
  const auto end = std::find_if(events.begin(), events.end(),
                                [](const sim::Event& e) { return e.kind == EventKind::UploadEnd; });
  const auto sos = std::find_if(events.begin(), events.end(),
                                [](const sim::Event& e) { return e.kind == EventKind::EthernetEndSession; });
  EXPECT_LT(end, sos);
}

TEST_F(EthernetUploadStep, BootLoaderStageBacksUpWhatTheSystemInfoStageSends) {
  ConnectScanner(0x00FFFFFF);
  const sim::Frame record = scanner().SystemInfo();

  RunStep(0, 0);
  // The stage change is not under test here: the boot loader's verification
  // phase ends where it stands.
  form->Timer2.SetEnabled(false);
  RunStep(3, 3);
  form->Timer2.SetEnabled(false);

  const auto uploads = scanner().Uploads();
  ASSERT_EQ(uploads.size(), 2u);
  EXPECT_TRUE(uploads[0].Ok());
  EXPECT_EQ(uploads[0].command, 0x00200000);
  const Bytes loader = ImageBytes("BOOTLOADERDATA");
  const auto sentLoader = uploads[0].Payload();
  EXPECT_TRUE(std::equal(sentLoader.begin(), sentLoader.end(), loader.begin(), loader.end()));

  // The scanner's own record comes back with the standard values and the
  // hardware options.
  const sim::Upload& info = uploads[1];
  EXPECT_TRUE(info.Ok());
  EXPECT_EQ(info.command, 0x00300000);
  ASSERT_EQ(info.headerSize, 512);
  const auto sent = info.Payload();
  EXPECT_TRUE(std::equal(sent.begin() + 100, sent.begin() + 120, record.begin() + 100)) << "part number";
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(sent.data() + 20)), "ZK.co ltd");
  EXPECT_EQ(protocol::LoadI32(sent.data() + 152), form->MakeTsCode());
  // Inside the sequence the session stays open.
  EXPECT_EQ(scanner().Count(EventKind::EthernetEndSession), 0u);
  EXPECT_TRUE(form->replyDue);
}

}  // namespace
}  // namespace nimbrel::testing
