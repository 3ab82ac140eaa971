#include "nimbrel_images/ImageStore.h"

#include <cstddef>

// Each image is assembled into its own object (see EmbedImage.s.in), which
// defines <symbol>_begin and <symbol>_size.
#define NIMBREL_IMAGE(symbol, name)                       \
  extern "C" const std::uint8_t symbol##_begin[];         \
  extern "C" const std::uint64_t symbol##_size;
#include "ImageList.inc"
#undef NIMBREL_IMAGE

namespace nimbrel::images {

namespace {

struct Entry {
  std::string_view name;
  const std::uint8_t* begin;
  const std::uint64_t* size;
};

#define NIMBREL_IMAGE(symbol, name) Entry{name, symbol##_begin, &symbol##_size},
const Entry kEntries[] = {
#include "ImageList.inc"
};
#undef NIMBREL_IMAGE

}  // namespace

std::optional<std::span<const std::uint8_t>> Find(std::string_view name) {
  for (const Entry& e : kEntries) {
    if (e.name == name) return std::span<const std::uint8_t>(e.begin, static_cast<std::size_t>(*e.size));
  }
  return std::nullopt;
}

std::string_view StoreDescription() {
  return
#include "StoreDescription.inc"
      ;
}

}  // namespace nimbrel::images
