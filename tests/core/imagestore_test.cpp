#include "nimbrel_images/ImageStore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "unit/DefaultSystemInfo.h"

namespace nimbrel::images {
namespace {

struct ShippedImage {
  const char* name;
  std::size_t size;
  std::vector<std::uint8_t> header;
};

std::vector<std::uint8_t> RbfHeader() {
  std::vector<std::uint8_t> h(32, 0xFF);
  h.push_back(0x6A);
  return h;
}

TEST(ImageStore, HoldsEveryShippedImageWithItsSizeAndHeader) {
  const ShippedImage shipped[] = {
      {"BOOTLOADERDATA", 38368, {0xE8, 0x29, 0x00, 0x20, 0x59, 0x2F, 0x00, 0x08}},
      {"TXGUIRESDATA", 10485756, {'S', 'o', 'F', 0, 0x40, 0x01, 0xF0, 0x00}},
      {"SOLUTIONDATA", 165088, {0x40, 0xBD, 0x02, 0x20, 0x39, 0x6E, 0x03, 0x08}},
      {"FPGARBFDATA1", 217516, RbfHeader()},
      {"FPGARBFDATA2", 218848, RbfHeader()},
      {"FPGARBFDATA3", 207325, RbfHeader()},
  };
  for (const ShippedImage& image : shipped) {
    SCOPED_TRACE(image.name);
    const auto bytes = Find(image.name);
    ASSERT_TRUE(bytes.has_value());
    EXPECT_EQ(bytes->size(), image.size);
    ASSERT_GE(bytes->size(), image.header.size());
    EXPECT_TRUE(std::equal(image.header.begin(), image.header.end(), bytes->begin()));
  }
}

TEST(ImageStore, ImagesAreDistinct) {
  const auto a = Find("FPGARBFDATA1");
  const auto b = Find("FPGARBFDATA2");
  ASSERT_TRUE(a && b);
  EXPECT_FALSE(std::equal(a->begin(), a->begin() + 4096, b->begin()));
}

TEST(ImageStore, DefaultRecordsAreTheCoresRecords) {
  for (unit::DefaultSystemSetting which : unit::kDefaultSystemSettings) {
    const std::string name(unit::DefaultSystemSettingName(which));
    SCOPED_TRACE(name);
    const auto bytes = Find(name);
    ASSERT_TRUE(bytes.has_value());
    const auto record = unit::MakeDefaultSystemSetting(which);
    ASSERT_EQ(bytes->size(), 332u);
    EXPECT_TRUE(std::equal(record.begin(), record.end(), bytes->begin()));
  }
}

TEST(ImageStore, NamesOutsideTheShippedStoreAreAbsent) {
  for (const char* name : {"TXSECTIONDATA", "SOLUTIONDATAMED", "SOLUTIONDATAVET", "FPGARBFDATA", "FPGARBFDATA4",
                           "bootloaderdata", "BOOTLOADERDATA ", ""}) {
    EXPECT_FALSE(Find(name).has_value()) << '"' << name << '"';
  }
}

TEST(ImageStore, LookupIsByExactNameNotByPrefix) {
  EXPECT_TRUE(Find(std::string_view("SOLUTIONDATA")).has_value());
  EXPECT_FALSE(Find(std::string_view("SOLUTIONDATA\0", 13)).has_value());
  EXPECT_FALSE(Find(std::string_view("SOLUTIONDATAM")).has_value());
}

}  // namespace
}  // namespace nimbrel::images
