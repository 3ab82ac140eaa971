#pragma once
// The standard values of the System Info patches: what the record's motor,
// display and optics fields hold for each hardware generation and drive.

#include <array>
#include <cstddef>
#include <cstdint>

#include "unit/SystemInfo.h"

namespace nimbrel::unit {

inline constexpr const char* kBackupFileName = "backup.dmp";

// The ten motor parameter fields, in the order of StandardValueTable's columns.
inline constexpr std::array<Int32Field, 10> kMotorParams{
    SystemInfoView::motorParam1, SystemInfoView::motorParam2, SystemInfoView::motorParam3,
    SystemInfoView::motorParam4, SystemInfoView::motorParam5, SystemInfoView::motorParam6,
    SystemInfoView::motorParam7, SystemInfoView::motorParam8, SystemInfoView::motorParam9,
    SystemInfoView::motorParam10};

// Column k of a row is written to kMotorParams[k] (motorParam1 .. motorParam10).
using StandardValues = std::array<std::int32_t, 10>;
// Rows 0-8 belong to the LOT items "AA v1" to "AH" (row 8 serves "AJ" too),
// row 9 to the SAEHAN drive.
extern const std::array<StandardValues, 10> StandardValueTable;
inline constexpr int kRowAH = 8;
inline constexpr int kRowSaehan = 9;

// Step motor item to its StandardValueTable row.
inline constexpr std::array<int, 6> StepMotorRowMap{1, 2, 4, 3, 8, 9};

// The words the standard patch always writes, in the order of
// SystemInfoView::fixedParams.
inline constexpr std::array<std::int32_t, 13> kFixedParamValues{3328, 343, 375, 484, 421, 750, 628,
                                                                685,  886, 771, 1370, 770, 1410};
inline constexpr std::int32_t kParamCount = 4;

// motorParam9 of a SAEHAN drive on the SLA7078 power board (board code 3).
inline constexpr std::int32_t kSaehanSlaDriveCode = 32785;  // 0x8011

// The last byte each patch writes lies below this size; a shorter record is
// refused instead of being written in part.
inline constexpr std::size_t kStandardPatchSize = 344;         // up to fixedParams at 340
inline constexpr std::size_t kHardwarePatchSize = 336;         // up to lcdType at 332
inline constexpr std::size_t kSaehanFixSize = 252;             // up to motorParam9 at 248

}  // namespace nimbrel::unit
