#include <gtest/gtest.h>

#include <cstring>

#include "nimbrel_images/ImageStore.h"
#include "update/PayloadCatalogue.h"

namespace nimbrel::update {
namespace {

TEST(PayloadCatalogue, SlotsHoldTheirImagesAndCommandCodes) {
  struct Case {
    PayloadSlot slot;
    const char* name;
    std::uint32_t code;
  };
  const Case cases[] = {{0, "BOOTLOADERDATA", 0x00200000},      {1, "TXGUIRESDATA", 0x00400000},
                        {2, "SOLUTIONDATA", 0x00100000},        {3, "TXDEFAULTSYSTEMSETTING", 0x00300000},
                        {4, "TXDEFAULTSYSTEMSETTING", 0x00300000}, {5, "FPGARBFDATA", 0},
                        {6, "TXSECTIONDATA", 0x01000000},       {12, "SOLUTIONDATAMED", 0x00100000},
                        {22, "SOLUTIONDATAVET", 0x00100000}};
  for (const Case& c : cases) {
    EXPECT_STREQ(PayloadCatalogue[static_cast<std::size_t>(c.slot)].imageName, c.name) << c.slot;
    EXPECT_EQ(CommandCode(c.slot), c.code) << c.slot;
  }
  for (int slot : {7, 8, 9, 10, 11, 13, 14, 15, 16, 17, 18, 19, 20, 21}) {
    EXPECT_STREQ(PayloadCatalogue[static_cast<std::size_t>(slot)].imageName, "") << slot;
    EXPECT_EQ(CommandCode(slot), 0u) << slot;
  }
  EXPECT_EQ(CommandCode(-1), 0u);
  EXPECT_EQ(CommandCode(23), 0u);
  EXPECT_EQ(SolutionSlot(0), 2);
  EXPECT_EQ(SolutionSlot(1), 12);
  EXPECT_EQ(SolutionSlot(2), 22);
}

TEST(PayloadCatalogue, FpgaVariantTestsTheStepMotorFirst) {
  struct Case {
    int stepMotor, fTheta;
    const char* name;
    const char* log;
  };
  const Case cases[] = {
      {1, 1, "FPGARBFDATA1", "wm 20mm fpga"},        // wm 20mm with f-theta: step motor wins
      {-1, 0, "FPGARBFDATA1", "wm 20mm fpga"},       // no step-motor selection
      {0, 0, "FPGARBFDATA1", "wm 20mm fpga"},        // screw
      {2, 0, "FPGARBFDATA2", "wm 10mm fpga"},        // sst 10mm without f-theta
      {5, 1, "FPGARBFDATA3", "wm 10mm fuzzy fpga"},  // SAEHAN with f-theta
      {3, -1, "FPGARBFDATA3", "wm 10mm fuzzy fpga"}, // no f-theta selection
  };
  for (const Case& c : cases) {
    const FpgaVariant v = ChooseFpgaVariant(c.stepMotor, c.fTheta);
    EXPECT_EQ(v.imageName, c.name) << c.stepMotor << "," << c.fTheta;
    EXPECT_STREQ(v.logLine, c.log);
    EXPECT_EQ(v.digit, c.name[11] - '0');
  }
}

TEST(PayloadCatalogue, EmbeddedPayloadIsTheImageOrAtLeast512Bytes) {
  auto [buffer, length] = LoadEmbeddedPayload("FPGARBFDATA1");
  EXPECT_EQ(length, 217516u);
  const auto image = images::Find("FPGARBFDATA1");
  ASSERT_TRUE(image);
  EXPECT_EQ(0, std::memcmp(buffer.get(), image->data(), length));

  // The default record (332 bytes) stands for a short image: 512 bytes, zero behind it.
  auto [small, smallLength] = LoadEmbeddedPayload("TXDEFAULTSYSTEMSETTING");
  EXPECT_EQ(smallLength, 512u);
  for (std::size_t i = 332; i < 512; ++i) ASSERT_EQ(small[i], 0) << i;
}

TEST(PayloadCatalogue, MissingImageNamesItself) {
  for (const char* name : {"SOLUTIONDATAMED", "SOLUTIONDATAVET", "TXSECTIONDATA"}) {
    try {
      LoadEmbeddedPayload(name);
      ADD_FAILURE() << name << " was found";
    } catch (const ResourceNotFound& e) {
      EXPECT_EQ(std::string(e.what()), std::string("Resource ") + name + " not found");
    }
  }
}

}  // namespace
}  // namespace nimbrel::update
