// The upload step: one upload of the "Mode" selection with its settling
// pause, its skip rules, its file sources, the wait for its sends and the
// end of the step.

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "app/TfrmMain.h"
#include "platform/Files.h"
#include "unit/BackupPatch.h"

namespace nimbrel::app {

using namespace update;

namespace {

// A calibration data set: 1684 x 2216 pixels of 12 bytes and a 32-byte
// trailer. Anything shorter is not one.
constexpr std::uint64_t kCalibrationSize = 1684ull * 2216ull * 12ull + 32ull;

// The staging buffer holds the 512-byte upload header in front of the
// padded payload.
constexpr std::uint64_t kLargestPayload = kLargeBufferSize - 512;

constexpr std::int32_t kBootLoaderCurrent = 0x01000000;

}  // namespace

void TfrmMain::rgModeClick(TControl*) {
  if (rgMode.ItemIndex() != -1) btnUpload.SetEnabled(true);
}

void TfrmMain::UploadEmbedded(PayloadSlot slot) {
  char line[32];
  std::snprintf(line, sizeof line, "upload::%d", slot);
  LogLine(line);

  std::string name;
  const char* variantLine = nullptr;
  if (slot == ModeFpga) {
    const FpgaVariant variant = ChooseFpgaVariant(rgStepMotor.ItemIndex(), rgFTheta.ItemIndex());
    name = variant.imageName;
    variantLine = variant.logLine;
  } else if (slot >= 0 && slot < kPayloadSlots) {
    name = PayloadCatalogue[static_cast<std::size_t>(slot)].imageName;
  }
  auto [payload, length] = LoadEmbeddedPayload(name);
  if (variantLine) LogLine(variantLine);
  SendUpload(static_cast<std::int32_t>(CommandCode(slot)), std::move(payload), static_cast<std::int64_t>(length));
}

bool TfrmMain::UploadFromFile(UploadMode mode, const std::string& path) {
  // Anything but a regular file counts as missing; a FIFO in particular is
  // never opened, as it would hold the UI thread until a writer came.
  platform::RegularFile file = platform::RegularFile::Open(path, platform::RegularFile::Access::Read);
  if (!file) {
    trace().Debugf("upload file %s: %s\n", path.c_str(), file.Error().c_str());
    MessageBox("can't find file", kApplicationTitle, ui::MsgIcon::None);
    return false;
  }
  const std::uint64_t length = file.Length();
  // Refused before it is read: the file could not be staged anyway.
  if (length > kLargestPayload) {
    LogLine("file too large to upload: " + std::to_string(length) + " bytes, at most " +
            std::to_string(kLargestPayload));
    MessageBox("file is too large to upload", "check file", ui::MsgIcon::Error);
    return false;
  }

  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[length > 0 ? length : 1]);
  // Exactly the length taken above: a file that shrank meanwhile is not
  // sent with bytes it no longer has.
  if (!file.ReadAt(0, buffer.get(), static_cast<std::size_t>(length))) {
    LogLine("can't read " + platform::BaseName(path) + ": " + file.Error());
    MessageBox("can't read file", "check file", ui::MsgIcon::Error);
    return false;
  }
  file.Close();

  if (mode == ModeBackupFile && platform::BaseName(path) == unit::kBackupFileName) {
    // A record too short for the patched fields is not sent: padding it with
    // zeros would write zero motor parameters into the scanner.
    const std::span<std::uint8_t> record(buffer.get(), length);
    if (!PatchHardwareOptions(record) || !FixSaehanDriveCode(record)) {
      MessageBox("backup.dmp is too short for a System Info record", "check file", ui::MsgIcon::Error);
      return false;
    }
  }
  return SendUpload(static_cast<std::int32_t>(CommandCode(mode)), std::move(buffer),
                    static_cast<std::int64_t>(length));
}

int TfrmMain::CheckCalibrationFile(const std::string& path) {
  const auto length = platform::FileLength(path);
  if (!length || *length == 0) return -1;
  return *length >= kCalibrationSize ? 1 : 0;
}

void TfrmMain::btnUploadClick(TControl* Sender) {
  if (!unitSupported) return;
  if (Sender) updateStage = -1;
  const int mode = rgMode.ItemIndex();
  // A step of the sequence that was started over during its pauses ends
  // there: the new sequence runs its own steps.
  const std::int32_t run = sequenceRun;
  const auto superseded = [&] { return !Sender && sequenceRun != run; };

  for (int i = 0; i < 10; ++i) {
    loop().ProcessMessages();
    loop().Sleep(50);
  }
  if (superseded()) return;

  switch (mode) {
    case ModeBootLoader:
      if (scannerVersion >= kBootLoaderCurrent) {
        LogLine("loader is not changed(skip)");
      } else {
        UploadEmbedded(ModeBootLoader);
      }
      // backup.dmp: the scanner's record with the standard values, for the
      // System Info stage to send.
      btnBackupClick(nullptr);
      btnPatchClick(nullptr);
      break;
    case ModeGuiResources:
      if (MarkerExists("skip_gui") || MarkerExists("skip_gui.txt")) {
        LogLine("skip update GUI");
      } else if (rgSolution.ItemIndex() != 0) {
        LogLine("skip update gui resource for Demo mode");
      } else {
        UploadEmbedded(ModeGuiResources);
      }
      break;
    case ModeSolution:
      UploadEmbedded(SolutionSlot(rgSolution.ItemIndex()));
      break;
    case ModeBackupFile:
    case ModeDefaultSystemInfo:
      UploadFromFile(ModeBackupFile, platform::JoinPath(paths().exeDir, unit::kBackupFileName));
      break;
    case ModeFpga:
      UploadEmbedded(ModeFpga);
      break;
    case ModeCalibration: {
      const auto path = dialogs().OpenFile(OD);
      if (!path) return;
      if (CheckCalibrationFile(*path) <= 0) {
        MessageBox("calibration file size is not valid", "check file", ui::MsgIcon::Error);
        return;
      }
      if (UploadFromFile(ModeCalibration, *path)) {
        MessageBox("uploading calibration data needs  about 1 minutes\ncheck progressing with LCD in Scanner",
                   "please wait", ui::MsgIcon::Information);
      }
      break;
    }
    default:
      break;
  }

  // Only a link that is up can still complete a send: the wait also ends
  // when the link went away before the upload was handed to it, when no
  // completion will ever come.
  while (pendingSends > 0 && ((usb && usb->Active()) || TcpIsConnected())) {
    loop().Sleep(100);
    loop().ProcessMessages();
    RefreshUploadProgress();
  }
  EndUploadProgress();
  if (superseded()) return;
  LogLine("verify data");

  if (updateStage == -1) {
    LogLine("to update System, please reset power switch of Scanner");
    SendEndOfSession();
    usb->SetActive(false);
  } else {
    replyCount = 0;
    // The scanner takes the new data in before it is asked anything.
    loop().Sleep(1500);
    replyDue = true;
    Timer2.SetInterval(500);
    BeginVerification();
    Timer2Timer(nullptr);
  }
}

}  // namespace nimbrel::app
