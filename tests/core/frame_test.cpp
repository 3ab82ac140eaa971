#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "protocol/ControlFrame.h"

namespace nimbrel::protocol {
namespace {

TEST(ControlFrame, FieldsAreLittleEndianAtTheirOffsets) {
  Frame f{};
  ControlFrame v = FrameView(f);
  v.setMagic(kMagicSoF);
  v.setParam(-1);
  v.setValue(512);
  v.setCommand(CommandSystemInfo);
  v.setTransferLength(0x01020304);
  EXPECT_EQ(std::vector<std::uint8_t>(f.begin(), f.begin() + 12),
            (std::vector<std::uint8_t>{'S', 'o', 'F', 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x02, 0, 0}));
  EXPECT_EQ(std::vector<std::uint8_t>(f.begin() + 504, f.end()),
            (std::vector<std::uint8_t>{0x00, 0x00, 0x30, 0x00, 0x04, 0x03, 0x02, 0x01}));
  for (std::size_t i = 12; i < 504; ++i) ASSERT_EQ(f[i], 0) << i;
}

TEST(ControlFrame, MagicWordsSpellTheirLetters) {
  struct Case {
    std::uint32_t word;
    const char* text;
  };
  for (const Case c : {Case{kMagicSoF, "SoF"}, Case{kMagicSYS, "SYS"}, Case{kMagicSeT, "SeT"}, Case{kMagicSwS, "SwS"},
                       Case{kMagicSoS, "SoS"}, Case{kMagicRsS, "RsS"}, Case{kMagicCDb, "CDb"}}) {
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(c.text[0]), static_cast<std::uint8_t>(c.text[1]),
                                   static_cast<std::uint8_t>(c.text[2]), 0};
    EXPECT_EQ(LoadU32(bytes), c.word) << c.text;
  }
}

TEST(ControlFrame, OnlyWholeSoFAndSysWordsAreDeviceMagic) {
  struct Case {
    std::uint8_t b[4];
    bool valid;
  };
  const Case cases[] = {
      {{'S', 'o', 'F', 0}, true},   {{'S', 'Y', 'S', 0}, true},  {{'S', 'o', 'F', 1}, false},
      {{'S', 'Y', 'S', 'X'}, false}, {{'s', 'o', 'F', 0}, false}, {{'C', 'D', 'b', 0}, false},
      {{0, 0, 0, 0}, false},
  };
  for (const Case& c : cases) {
    Frame f{};
    std::copy(c.b, c.b + 4, f.begin());
    EXPECT_EQ(IsDeviceMagic(f), c.valid) << c.b[0] << c.b[1] << c.b[2] << int(c.b[3]);
  }
}

TEST(ControlFrame, PrepareRequestTouchesOnlyMagicCommandAndLength) {
  Frame f;
  f.fill(0xAB);
  PrepareRequestFrame(CommandSystemInfo, FrameView(f));
  const ConstControlFrame v = FrameView(std::as_const(f));
  EXPECT_EQ(v.magic(), kMagicSoF);
  EXPECT_EQ(v.command(), CommandSystemInfo);
  EXPECT_EQ(v.transferLength(), 0);
  for (std::size_t i = 4; i < 504; ++i) ASSERT_EQ(f[i], 0xAB) << i;
}

TEST(ControlFrame, GreetingTextsStayInsideTheirFields) {
  Frame f{};
  // A part number that fills its 20-byte field without a NUL must not run
  // into the firmware version that follows.
  for (std::size_t i = 100; i < 120; ++i) f[i] = 'P';
  f[120] = 'X';
  StoreU32(&f[128], 0x01000078);
  const char mode[] = "normal unit";
  std::copy(mode, mode + sizeof mode, f.begin() + 132);
  StoreI32(&f[152], static_cast<std::int32_t>(0x80121350u));
  StoreI32(&f[156], 1507);
  const GreetingRecord g(f);
  EXPECT_EQ(g.pn(), std::string(20, 'P'));
  EXPECT_EQ(g.unitMode(), "normal unit");
  EXPECT_EQ(g.firmwareVersion(), 0x01000078u);
  EXPECT_EQ(FormatVersion(g.firmwareVersion()), "1.0.0.120");
  EXPECT_EQ(g.tsCode(), static_cast<std::int32_t>(0x80121350u));
  EXPECT_EQ(g.productionDay(), 1507);
}

TEST(ControlFrame, PaddedLengthRoundsUpAndAddsTheHeader) {
  const std::pair<std::int64_t, std::int64_t> cases[] = {
      {0, 512}, {1, 1024}, {512, 1024}, {513, 1536}, {1000, 1536}, {512000, 512512}, {44780960, 44781568}};
  for (auto [size, padded] : cases) EXPECT_EQ(PaddedLength(size), padded) << size;
}

std::vector<std::uint8_t> Stage(std::int32_t command, const std::vector<std::uint8_t>& payload) {
  std::vector<std::uint8_t> staged(static_cast<std::size_t>(PaddedLength(static_cast<std::int64_t>(payload.size()))));
  UploadHeader h(staged.data());
  h.setMagic(kMagicCDb);
  h.setCommand(command);
  h.setSize(static_cast<std::int32_t>(payload.size()));
  h.setTimestamp(43399.5);  // not summed
  std::copy(payload.begin(), payload.end(), staged.begin() + 512);
  return staged;
}

TEST(UploadChecksum, SumsHeaderWordsAndEveryPayloadWord) {
  auto staged = Stage(0x00100000, {1, 0, 0, 0});
  ASSERT_EQ(staged.size(), 1024u);
  EXPECT_EQ(UploadChecksum(1024, staged.data()), 0x00724448u);
  EXPECT_EQ(UploadHeader(staged.data()).checksum(), 0x00724448u);
}

TEST(UploadChecksum, EmptyPayloadIsTheHeaderWordsAlone) {
  auto staged = Stage(0x00200000, {});
  EXPECT_EQ(UploadChecksum(512, staged.data()), kMagicCDb + 0x00200000u);
}

TEST(UploadChecksum, WrapsAndCoversThePadding) {
  std::vector<std::uint8_t> payload(8, 0xFF);  // two words of 0xFFFFFFFF
  auto staged = Stage(-1, payload);
  staged[520] = 7;  // padding content counts too
  const std::uint32_t expected = kMagicCDb + 0xFFFFFFFFu + 8u + 0xFFFFFFFFu + 0xFFFFFFFFu + 7u;
  EXPECT_EQ(UploadChecksum(1024, staged.data()), expected);
  // The stored checksum word itself is not summed: a second run gives the same.
  EXPECT_EQ(UploadChecksum(1024, staged.data()), expected);
}

TEST(UploadChecksum, CopyingSumIsTheWordSumOfTheZeroPaddedBytes) {
  // Sizes around word, eight-byte and copy-piece boundaries; the sum is
  // checked against the plain word sum of the bytes padded with zeros, and
  // nothing is written past the copy.
  const std::size_t sizes[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 12, 511, 16383, 16384, 16385, 16391, 16392, 40001};
  std::vector<std::uint8_t> from(40008);
  for (std::size_t i = 0; i < from.size(); ++i) from[i] = static_cast<std::uint8_t>(0xFF - i * 13 - i / 255);
  for (const std::size_t n : sizes) {
    std::vector<std::uint8_t> to(n + 16, 0xA5);
    const std::uint32_t got = CopySummingWords(to.data(), from.data(), n);
    std::vector<std::uint8_t> padded(from.begin(), from.begin() + static_cast<std::ptrdiff_t>(n));
    padded.resize((n + 3) / 4 * 4, 0);
    std::uint32_t expected = 0;
    for (std::size_t i = 0; i < padded.size(); i += 4) expected += LoadU32(padded.data() + i);
    EXPECT_EQ(got, expected) << n;
    EXPECT_TRUE(std::equal(from.begin(), from.begin() + static_cast<std::ptrdiff_t>(n), to.begin())) << n;
    EXPECT_TRUE(std::all_of(to.begin() + static_cast<std::ptrdiff_t>(n), to.end(), [](std::uint8_t b) { return b == 0xA5; }))
        << n;
  }
}

TEST(UploadChecksum, LargeCopiesGoTheSameWayAlignedOrNot) {
  // Payloads above the caches take another copy loop; the sum and the copy
  // stay the same for a target on a 16-byte boundary and for one off it.
  const std::size_t sizes[] = {(8u << 20) - 1, 8u << 20, (8u << 20) + 13, (9u << 20) + 31};
  std::vector<std::uint8_t> from((9u << 20) + 32);
  for (std::size_t i = 0; i < from.size(); ++i) from[i] = static_cast<std::uint8_t>(i * 151 + (i >> 9));
  for (const std::size_t n : sizes) {
    std::uint32_t expected = 0;
    for (std::size_t i = 0; i < n; i += 4) {
      std::uint8_t word[4] = {};
      std::memcpy(word, from.data() + i, std::min<std::size_t>(4, n - i));
      expected += LoadU32(word);
    }
    for (const std::size_t offset : {std::size_t{0}, std::size_t{4}}) {
      std::vector<std::uint8_t> to(n + 32, 0xA5);
      const std::uint32_t got = CopySummingWords(to.data() + offset, from.data(), n);
      EXPECT_EQ(got, expected) << n << " at +" << offset;
      EXPECT_EQ(std::memcmp(to.data() + offset, from.data(), n), 0) << n << " at +" << offset;
      EXPECT_TRUE(std::all_of(to.begin() + static_cast<std::ptrdiff_t>(offset + n), to.end(),
                              [](std::uint8_t b) { return b == 0xA5; }))
          << n << " at +" << offset;
    }
  }
}

TEST(UploadHeader, TimestampCountsDaysSince18991230) {
  EXPECT_DOUBLE_EQ(MakeTimestamp({2018, 10, 26, 12, 0, 0, 0}), 43399.5);
  EXPECT_DOUBLE_EQ(MakeTimestamp({1899, 12, 30, 0, 0, 0, 0}), 0.0);
  EXPECT_DOUBLE_EQ(MakeTimestamp({1899, 12, 29, 0, 0, 0, 0}), -1.0);
  EXPECT_NEAR(MakeTimestamp({2018, 10, 26, 0, 0, 0, 1}), 43399.0 + 1.0 / 86400000.0, 1e-12);
  // Stored at offset 16 as an IEEE-754 double, least significant byte first.
  std::uint8_t header[512] = {};
  UploadHeader(header).setTimestamp(43399.5);
  EXPECT_EQ(LoadU32(header + 16), 0u);
  EXPECT_EQ(LoadU32(header + 20), 0x40E530F0u);
  EXPECT_DOUBLE_EQ(UploadHeader(header).timestamp(), 43399.5);
}

TEST(ControlFrame, FixedFramesHoldTheirFields) {
  struct Case {
    Frame frame;
    std::uint32_t magic;
    std::int32_t param, value, command;
  };
  const Case cases[] = {
      {MakeKeepAliveFrame(), kMagicSoF, 0, 512, -6},
      {MakeEndSessionFrame(), kMagicSoF, 0, 512, -1},
      {MakeRegisterFrame(265, 0), kMagicSeT, 265, 0, 0},
      {MakeWakeFrame(), kMagicRsS, -1, -1, 0},
      {MakeSysInfoRequestFrame(), kMagicSoF, 0, 512, CommandSystemInfo},
      {MakeMagicOnlyFrame(kMagicSwS), kMagicSwS, 0, 0, 0},
  };
  for (const Case& c : cases) {
    const ConstControlFrame v = FrameView(c.frame);
    EXPECT_EQ(v.magic(), c.magic);
    EXPECT_EQ(v.param(), c.param);
    EXPECT_EQ(v.value(), c.value);
    EXPECT_EQ(v.command(), c.command);
    EXPECT_EQ(v.transferLength(), 0);
    for (std::size_t i = 12; i < 504; ++i) ASSERT_EQ(c.frame[i], 0);
  }
}

}  // namespace
}  // namespace nimbrel::protocol
