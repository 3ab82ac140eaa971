// The System Info backup (backup.dmp) and the patches applied to it.

#include "unit/BackupPatch.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/TfrmMain.h"
#include "platform/Files.h"
#include "platform/Resources.h"

namespace nimbrel::unit {

const std::array<StandardValues, 10> StandardValueTable{{
    // motorParam1 .. motorParam10
    {29, 18197, 2000, 3100, 220000000, 20000000, 10000000, 70000000, 15420, 98500000},   // "AA v1"
    {29, 18197, 2000, 3100, 220000000, 20000000, 10000000, 70000000, 15420, 98500000},   // "AA v2", screw
    {29, 32590, 6500, 8500, 320000000, 10000000, 12000000, 120000000, 2314, 176050000},  // "AB", wm 20mm
    {29, 17181, 3200, 4000, 280000000, 20000000, 19000000, 85000000, 2307, 169000000},   // "AC", ws 10mm(~AG)
    {10, 19200, 1700, 4000, 300000000, 20000000, 17000000, 50000000, 8224, 88000000},    // "AD", sst 10mm
    {29, 17181, 3200, 4000, 280000000, 20000000, 19000000, 85000000, 2307, 169000000},   // "AE"
    {29, 17181, 3200, 4000, 280000000, 20000000, 19000000, 85000000, 2307, 169000000},   // "AF"
    {29, 17181, 3200, 4000, 280000000, 20000000, 19000000, 95000000, 2307, 169000000},   // "AG"
    {29, 17181, 3200, 4000, 280000000, 20000000, 30000000, 95000000, 4355, 175000000},   // "AH", "AJ", ws 10mm(AH)
    {29, 17181, 3200, 4000, 280000000, 20000000, 30000000, 95000000, 61488, 175000000},  // SAEHAN
}};

}  // namespace nimbrel::unit

namespace nimbrel::app {

namespace {

using unit::SystemInfo;
using unit::SystemInfoView;

}  // namespace

int TfrmMain::LotRow() const {
  const int lot = rgLOT.ItemIndex();
  return lot >= 0 && lot <= unit::kRowAH ? lot : unit::kRowAH;
}

bool TfrmMain::PatchStandardValues(std::span<std::uint8_t> bytes) {
  if (bytes.size() < unit::kStandardPatchSize) {
    LogLine("System Info record too short to patch: " + std::to_string(bytes.size()) + " bytes");
    return false;
  }
  const SystemInfo record(bytes);

  unit::ByteQuad infoVersion{}, toolVersion{};
  for (int i = 0; i < 4; ++i) {
    infoVersion[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(platform::ResourceNumber(32768 + i));
    toolVersion[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(platform::ResourceNumber(32772 + i));
  }
  record.Set(SystemInfo::infoVersion, infoVersion);
  record.Set(SystemInfo::updaterVersion, toolVersion);

  record.Set(SystemInfo::vendor, "ZK.co ltd");
  record.Set(SystemInfo::model, "ZK Scanner");

  if (rgSolution.ItemIndex() != 0) {
    record.Set(SystemInfo::unitMode, "_exdemo_");
    record.Set(SystemInfo::autotrimOff, 0);
    record.Set(SystemInfo::autotrimOff2, 0);
  } else {
    if (record.Get(SystemInfo::unitMode) == "_exdemo_") record.Set(SystemInfo::unitMode, "normal");
    record.Set(SystemInfo::autotrimOff, 1);
    record.Set(SystemInfo::autotrimOff2, 1);
    LogLine("disable autotrim");
  }

  record.Set(SystemInfo::paramCount, unit::kParamCount);
  for (std::size_t i = 0; i < unit::kFixedParamValues.size(); ++i) {
    record.Set(SystemInfo::fixedParams[i], unit::kFixedParamValues[i]);
  }

  const int r = LotRow();
  const unit::StandardValues& row = unit::StandardValueTable[static_cast<std::size_t>(r)];
  const std::int32_t mp7 = *record.Get(SystemInfo::motorParam7);
  const std::int32_t std7 = row[6];
  // Only values out of the drive's working range are replaced.
  if (mp7 != std7 && (mp7 < 20000000 || (r == unit::kRowAH && mp7 > 35000000))) {
    record.Set(SystemInfo::motorParam7, std7);
  }
  const std::int32_t mp10 = *record.Get(SystemInfo::motorParam10);
  if (mp10 != row[9] && r == unit::kRowAH && mp10 < 169000000) record.Set(SystemInfo::motorParam10, row[9]);
  record.Set(SystemInfo::motorParam1, row[0]);

  const int unitType = rgFPGA.ItemIndex();
  record.Set(SystemInfo::lcdType, unitType >= 6 ? 2 : 1);

  const std::int32_t ftheta = *record.Get(SystemInfo::fThetaParam);
  if (unitType > 6) {
    if (ftheta < 0 || ftheta > 1000) record.Set(SystemInfo::fThetaParam, 485);
  } else if (ftheta < 1000) {
    record.Set(SystemInfo::fThetaParam, 100000);
  }
  return true;
}

bool TfrmMain::PatchHardwareOptions(std::span<std::uint8_t> bytes) {
  if (bytes.size() < unit::kHardwarePatchSize) {
    LogLine("System Info record too short to patch: " + std::to_string(bytes.size()) + " bytes");
    return false;
  }
  const SystemInfo record(bytes);
  LogLine("pathcData2...");

  const std::int32_t code = MakeTsCode();
  record.Set(SystemInfo::tsCode, code);
  trace().Debugf("old tsCode : 0x%09X", static_cast<unsigned>(connectTsCode));
  trace().Debugf("new tsCode : 0x%09X", static_cast<unsigned>(code));

  auto changed = [&](int shift) { return unit::TsNibble(code, shift) != unit::TsNibble(connectTsCode, shift) ? 1 : 0; };
  const int stepChanged = changed(unit::tsbits::kStepMotor);
  const int mainChanged = changed(unit::tsbits::kBoardCode);
  const int rohsChanged = changed(unit::tsbits::kRohsLcd);
  const int trayChanged = changed(unit::tsbits::kTrayType);
  const int fthetaChanged = changed(unit::tsbits::kFTheta);
  trace().Debugf("changed[step %d/main %d/rohs %d/agdoor %d/ftheta %d", stepChanged, mainChanged, rohsChanged,
                 trayChanged, fthetaChanged);

  if (stepChanged) {
    LogLine("update stepmotor values as standvalue");
    const int step = std::clamp(rgStepMotor.ItemIndex(), 0, static_cast<int>(unit::StepMotorRowMap.size()) - 1);
    const unit::StandardValues& row =
        unit::StandardValueTable[static_cast<std::size_t>(unit::StepMotorRowMap[static_cast<std::size_t>(step)])];
    for (std::size_t k = 0; k < unit::kMotorParams.size(); ++k) record.Set(unit::kMotorParams[k], row[k]);
  }

  record.Set(SystemInfo::lcdType, rgROHSLCD.ItemIndex() == unit::item::kNo ? 1 : 2);

  if (trayChanged) {
    const unit::StandardValues& ag = unit::StandardValueTable[unit::item::kLotAG];
    const unit::StandardValues& ah = unit::StandardValueTable[unit::kRowAH];
    switch (rgAGDoor.ItemIndex()) {
      case unit::item::kTrayAG:
        LogLine("update door values as standvalue");
        record.Set(SystemInfo::motorParam8, ag[7]);
        break;
      case unit::item::kTrayAH: {
        LogLine("update door values as standvalue");
        const std::int32_t mp7 = *record.Get(SystemInfo::motorParam7);
        if (mp7 > 35000000 || mp7 < 20000000) record.Set(SystemInfo::motorParam7, ah[6]);
        if (*record.Get(SystemInfo::motorParam10) < 169000000) record.Set(SystemInfo::motorParam10, ah[9]);
        LogLine("update door values as standvalue");
        record.Set(SystemInfo::motorParam8, ah[7]);
        break;
      }
      default:
        break;
    }
  }

  if (rgFTheta.ItemIndex() == unit::item::kNo) {
    record.Set(SystemInfo::fThetaParam, 0);
  } else {
    const std::int32_t ftheta = *record.Get(SystemInfo::fThetaParam);
    if (ftheta < 0 || ftheta > 1000) record.Set(SystemInfo::fThetaParam, 485);
  }

  char line[40];
  std::snprintf(line, sizeof line, "new tsCode : 0x%09X", static_cast<unsigned>(*record.Get(SystemInfo::tsCode)));
  LogLine(line);
  return true;
}

bool TfrmMain::FixSaehanDriveCode(std::span<std::uint8_t> bytes) {
  if (bytes.size() < unit::kSaehanFixSize) {
    LogLine("System Info record too short to patch: " + std::to_string(bytes.size()) + " bytes");
    return false;
  }
  const SystemInfo record(bytes);
  const std::int32_t code = *record.Get(SystemInfo::tsCode);
  if (unit::TsNibble(code, unit::tsbits::kStepMotor) != unit::item::kStepSaehan) return true;
  // Board code 3: main board 2.0 with the SLA7078 power board.
  if (unit::TsNibble(code, unit::tsbits::kBoardCode) == 3) {
    record.Set(SystemInfo::motorParam9, unit::kSaehanSlaDriveCode);
  } else if (*record.Get(SystemInfo::motorParam9) == unit::kSaehanSlaDriveCode) {
    record.Set(SystemInfo::motorParam9, unit::StandardValueTable[unit::kRowSaehan][8]);
  }
  return true;
}

void TfrmMain::btnBackupClick(TControl*) {
  const std::string path = platform::JoinPath(paths().exeDir, unit::kBackupFileName);
  const platform::FileReplacement written = platform::ReplaceFile(path, systemInfoCopy.data(), systemInfoCopy.size());
  if (!written.error.empty()) {
    trace().Debugf("backup: %s %s\n", written.inPlace ? "in place" : "replacing", written.error.c_str());
    LogLine(std::string("can't write ") + unit::kBackupFileName + ": " + written.error);
    return;
  }
  // In place only where the folder takes no new file beside the old one.
  trace().Debug(written.inPlace ? "backup: written in place\n" : "backup: replaced\n");
  LogLine("Backup System Information");
}

void TfrmMain::btnPatchClick(TControl* Sender) {
  protocol::Frame buffer{};
  std::string path = platform::JoinPath(paths().exeDir, unit::kBackupFileName);
  if (!platform::FileExists(path)) {
    if (Sender == nullptr) return;
    if (MessageBox("can't find backup.dmp\nif you want to seelct file click 'Yes'", "select system info",
                   ui::MsgIcon::Question, ui::MsgButtons::YesNo) != ui::IDYES) {
      return;
    }
    const auto chosen = dialogs().OpenFile(OD);
    if (!chosen) return;
    path = *chosen;
  }
  const std::string name = platform::BaseName(path);

  platform::RegularFile file = platform::RegularFile::Open(path, platform::RegularFile::Access::Update);
  if (!file) {
    LogLine("can't open " + name + " for update: " + file.Error());
    return;
  }
  if (file.Length() < buffer.size()) {
    LogLine("files size is not valid");
    return;
  }
  if (!file.ReadAt(0, buffer.data(), buffer.size())) {
    LogLine("can't read " + name + ": " + file.Error());
    return;
  }
  PatchStandardValues(buffer);
  // Bytes beyond the first 512 stay as they are.
  if (!file.WriteAt(0, buffer.data(), buffer.size()) || !file.Close()) {
    LogLine("can't write " + name + ": " + file.Error());
  }
}

}  // namespace nimbrel::app
