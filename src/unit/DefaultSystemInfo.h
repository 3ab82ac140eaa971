#pragma once
// The two default System Info records that the image store carries. They are
// built here and nowhere else: the image generator compiles this file too and
// embeds its output, so the store and the core always agree.
//
// This file and SystemInfo.cpp depend on the standard library only.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace nimbrel::unit {

// A default record holds only the first 332 bytes of a System Info record.
inline constexpr std::size_t kDefaultSystemSettingSize = 332;

enum class DefaultSystemSetting { TX, QU };

inline constexpr std::array<DefaultSystemSetting, 2> kDefaultSystemSettings{
    DefaultSystemSetting::TX, DefaultSystemSetting::QU};

// The image name: "TXDEFAULTSYSTEMSETTING" or "QUDEFAULTSYSTEMSETTING".
std::string_view DefaultSystemSettingName(DefaultSystemSetting which);

std::array<std::uint8_t, kDefaultSystemSettingSize> MakeDefaultSystemSetting(DefaultSystemSetting which);

}  // namespace nimbrel::unit
