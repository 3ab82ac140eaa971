#include "Wire.h"
#include "nimbrel_sim/Protocol.h"

namespace nimbrel::sim {

Frame DefaultSystemInfo() {
  using wire::Put32;
  using wire::PutText;
  Frame r{};
  std::uint8_t* p = r.data();
  Put32(p + 0, magic::kSoF);
  Put32(p + 4, std::uint32_t(command::kSystemInfo));  // record code
  Put32(p + 8, 332);                                  // record size
  Put32(p + 12, 5852044);                             // stamp
  PutText(p + 20, 40, "Tavix");
  PutText(p + 60, 40, "Brixel Dental");
  PutText(p + offset::kPartNumber, kTextFieldSize, "QV47-00CH00-100200");
  const std::uint8_t version[4] = {1, 0, 0, 1};
  const std::uint8_t updater[4] = {23, 0, 0, 1};
  std::memcpy(p + 120, version, 4);
  std::memcpy(p + 124, updater, 4);
  std::memcpy(p + offset::kFirmwareVersion, updater, 4);  // reads 1.0.0.23
  PutText(p + offset::kUnitMode, kTextFieldSize, "normal unit");
  Put32(p + offset::kTsCode, 1);         // no tsCode
  Put32(p + offset::kProductionDay, 1);
  // Network settings of the scanner itself; only carried, never used by the simulator.
  const std::uint8_t ip[4] = {192, 168, 0, 200}, mask[4] = {255, 255, 255, 0}, gw[4] = {192, 168, 0, 1};
  std::memcpy(p + 160, ip, 4);
  std::memcpy(p + 164, mask, 4);
  std::memcpy(p + 168, gw, 4);

  struct Word {
    std::size_t at;
    std::int32_t v;
  };
  static constexpr Word kWords[] = {
      {172, 0},        {176, 0},        {180, 1},        {184, 1},        {188, 0},
      {192, 100},      {196, 200},      {200, 4288},     {204, 20757},    {208, 18500},
      {212, 150000},   {216, 2000},     {220, 46000000}, {224, 3100},     {228, 220000000},
      {232, 20000000}, {236, 25000000}, {240, 70000000}, {244, 41999999}, {248, 15420},
      {252, 59000},    {256, 118500000}, {260, 44},      {264, 40},       {268, 0},
      {272, 10},       {276, 20},       {280, 30},       {284, 3328},     {288, 1},
      {292, 344},      {296, 376},      {300, 484},      {304, 420},      {308, 752},
      {312, 628},      {316, 688},      {320, 888},      {324, 768},      {328, 1376},
  };
  for (const Word& w : kWords) Put32(p + w.at, std::uint32_t(w.v));
  return r;
}

}  // namespace nimbrel::sim
