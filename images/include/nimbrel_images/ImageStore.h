#pragma once
// The firmware images and default System Info records carried inside the
// executable, as named read-only byte strings. Which images the store holds
// is fixed when the program is built.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace nimbrel::images {

// The bytes of the image of exactly this name (case and all), or nothing
// when the store holds no such image; reporting that is the caller's. The
// bytes live as long as the program.
std::optional<std::span<const std::uint8_t>> Find(std::string_view name);

// One line saying which store was embedded: the generated stand-ins, or the
// images of a folder named at build time.
std::string_view StoreDescription();

}  // namespace nimbrel::images
