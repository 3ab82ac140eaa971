#include "unit/DefaultSystemInfo.h"

#include <stdexcept>

#include "unit/SystemInfo.h"

namespace nimbrel::unit {

namespace {

struct Identity {
  std::string_view name;
  std::string_view vendor;
  std::string_view model;
  std::string_view pn;
};

const Identity& IdentityOf(DefaultSystemSetting which) {
  static const Identity tx{"TXDEFAULTSYSTEMSETTING", "Tavix", "Brixel Dental", "QV47-00CH00-100200"};
  static const Identity qu{"QUDEFAULTSYSTEMSETTING", "Quintora", "Halvenmark", "QV47-01CH00-100200"};
  return which == DefaultSystemSetting::QU ? qu : tx;
}

// Words without a name: the firmware's own, carried as numbers.
struct UnnamedWord {
  std::size_t offset;
  std::int32_t value;
};
constexpr UnnamedWord kUnnamedWords[] = {
    {16, 0},     {176, 0},     {184, 1},        {192, 100},   {196, 200}, {200, 4288},
    {204, 20757}, {212, 150000}, {244, 41999999}, {252, 59000}, {260, 44},  {264, 40},
    {268, 0},    {272, 10},    {276, 20},       {280, 30},
};

}  // namespace

std::string_view DefaultSystemSettingName(DefaultSystemSetting which) { return IdentityOf(which).name; }

std::array<std::uint8_t, kDefaultSystemSettingSize> MakeDefaultSystemSetting(DefaultSystemSetting which) {
  const Identity& id = IdentityOf(which);
  std::array<std::uint8_t, kDefaultSystemSettingSize> bytes{};
  const SystemInfo r{bytes};
  bool ok = true;
  auto set = [&](const auto& field, const auto& value) { ok = r.Set(field, value) && ok; };

  set(SystemInfo::magic, "SoF");
  set(SystemInfo::recordCode, 0x00300000u);  // the System Info command code
  set(SystemInfo::recordSize, std::uint32_t{kDefaultSystemSettingSize});
  set(SystemInfo::stamp, 5852044u);
  set(SystemInfo::vendor, id.vendor);
  set(SystemInfo::model, id.model);
  set(SystemInfo::pn, id.pn);
  set(SystemInfo::infoVersion, ByteQuad{1, 0, 0, 1});
  set(SystemInfo::updaterVersion, ByteQuad{23, 0, 0, 1});
  set(SystemInfo::firmwareVersion, ByteQuad{23, 0, 0, 1});
  set(SystemInfo::unitMode, "normal unit");
  set(SystemInfo::tsCode, 1);  // no hardware-configuration code
  set(SystemInfo::productionDay, 1);
  // The scanner's settings on its own network: carried as data, never an
  // address this program sends to.
  set(SystemInfo::ipAddress, ByteQuad{192, 168, 0, 10});
  set(SystemInfo::subnetMask, ByteQuad{255, 255, 255, 0});
  set(SystemInfo::gateway, ByteQuad{192, 168, 0, 1});
  set(SystemInfo::paramCount, 0);
  set(SystemInfo::autotrimOff, 1);
  set(SystemInfo::motorParam1, 0);
  set(SystemInfo::motorParam2, 18500);
  set(SystemInfo::motorParam3, 2000);
  set(SystemInfo::fThetaParam, 46000000);
  set(SystemInfo::motorParam4, 3100);
  set(SystemInfo::motorParam5, 220000000);
  set(SystemInfo::motorParam6, 20000000);
  set(SystemInfo::motorParam7, 25000000);
  set(SystemInfo::motorParam8, 70000000);
  set(SystemInfo::motorParam9, 15420);
  set(SystemInfo::motorParam10, 118500000);
  set(SystemInfo::autotrimOff2, 1);
  constexpr std::array<std::int32_t, 11> fixed{3328, 344, 376, 484, 420, 752, 628, 688, 888, 768, 1376};
  for (std::size_t i = 0; i < fixed.size(); ++i) set(SystemInfo::fixedParams[i], fixed[i]);

  for (const UnnamedWord& w : kUnnamedWords) set(Int32Field{w.offset}, w.value);

  // Every field above lies inside the 332 bytes; a miss is a fault in this table.
  if (!ok) throw std::logic_error("default System Info record: field outside the record");
  return bytes;
}

}  // namespace nimbrel::unit
