#include <gtest/gtest.h>

#include <string>

#include "Harness.h"
#include "unit/PartNumber.h"
#include "unit_support.h"

namespace nimbrel::testing {
namespace {

using unit::PnClass;
using unit::PnField;

class IdentifyUnitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    form = &h.Start();
    form->btnAutoUpload.SetEnabled(true);  // as the greeting handling leaves it
  }
  Harness h;
  app::TfrmMain* form = nullptr;
};

struct ModelCase {
  const char* pn;
  std::string line;
  int unitType;
};

class ModelTableTest : public IdentifyUnitTest, public ::testing::WithParamInterface<ModelCase> {};

TEST_P(ModelTableTest, LogsTheModelAndSelectsItsBase) {
  const ModelCase& c = GetParam();
  form->IdentifyUnit(Greeting(c.pn));
  EXPECT_EQ(h.Log().back(), c.line);
  EXPECT_EQ(form->rgFPGA.ItemIndex(), c.unitType);
  EXPECT_EQ(form->rgLOT.ItemIndex(), c.unitType);  // the LOT follows "Scanner Base"
  EXPECT_TRUE(form->btnAutoUpload.Enabled());
  EXPECT_TRUE(h.dialogs.Messages().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Suffixes, ModelTableTest,
    ::testing::Values(ModelCase{"QV47-02HCAB-000001", "wm 20mm model(QV47-XXXXAB or QV47-XXXX01)", 2},
                      ModelCase{"QV47-02HC05-000001", "ws ROHS model(QV47-XXXXAF or QV47-XXXX05)", 6},
                      ModelCase{"QV47-02HCAG-000001", "ws ROHS f-\xA5\xE8 model(QV47-XXXXAG or QV47-XXXX06)", 7},
                      ModelCase{"QV47-02HC07-000001", " AH  model(QV47-XXXXAH or QV47-XXXX07)", 8},
                      ModelCase{"QV47-02HCAI-000001", " AJ  model(QV47-XXXXAJ or QV47-XXXX08)", 9},
                      ModelCase{"QV47-02HCAK-000001", "unknown model[8]", 9},
                      ModelCase{"QV47-02HC09-000001", "unknown model[8]", 9},
                      ModelCase{"QV47-02HCZZ-000001", "unknown model[99]", 9},
                      // Screw units: the month letter tells the two screw generations apart.
                      ModelCase{"QV47-02HJ00-000001", "screw model", 0},
                      ModelCase{"QV47-02HKAA-000001", "screw model", 1},
                      ModelCase{"QV47-02HN00-000001", "screw model", 1}));

TEST_F(IdentifyUnitTest, LookupSelectsTheLatestBaseForCodeHundred) {
  EXPECT_EQ(unit::LookupModel(PnField("QV47-02HCAK-000001")).unitType, unit::kLatestUnitType);
  EXPECT_EQ(unit::LookupModel(PnField("QV47-02HCZZ-000001")).unitType, unit::kLatestUnitType);
}


class MalformedPnTest : public IdentifyUnitTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(MalformedPnTest, RefusesTheUnitAndKeepsTheBase) {
  form->rgFPGA.SetItemIndex(3);
  EXPECT_EQ(unit::ClassifyPn(PnField(GetParam())), PnClass::Malformed);
  form->IdentifyUnit(Greeting(GetParam()));
  ASSERT_GE(h.Log().size(), 2u);
  EXPECT_EQ(h.Log()[h.Log().size() - 2], "unknown model");
  EXPECT_EQ(h.Log().back(), "please restart device and program");
  EXPECT_FALSE(form->btnAutoUpload.Enabled());
  EXPECT_EQ(form->rgFPGA.ItemIndex(), 3);
}

INSTANTIATE_TEST_SUITE_P(Shapes, MalformedPnTest,
                         ::testing::Values("", "qV47-02HCAB-000001", "QW47-02HCAB-000001", "QV47_02HCAB-000001",
                                           "QV47-02HCAB_000001", "QV47-02HCAB"));

TEST(ClassifyPn, ReadsTheShapeFromTheWholeField) {
  // The text ends after "QV47-", but the field's byte 11 is still a dash.
  auto g = Greeting("QV47-");
  g[100 + 11] = '-';
  EXPECT_EQ(unit::ClassifyPn(PnField::FromRecord(g)), PnClass::Regular);
  EXPECT_EQ(PnField::FromRecord(g).Text(), "QV47-");
}

TEST(ClassifyPn, FactoryNumbersAreComparedOverEighteenBytes) {
  EXPECT_EQ(unit::ClassifyPn(PnField("QV47-00CH00-100200")), PnClass::Factory);
  EXPECT_EQ(unit::ClassifyPn(PnField("QV47-00CH00-100201")), PnClass::Regular);
  EXPECT_EQ(unit::ClassifyPn(PnField("QV47-00CH00-100200XY")), PnClass::Factory);
}

struct FactoryCase {
  const char* pn;
  int answer;
};

class FactoryPnTest : public IdentifyUnitTest, public ::testing::WithParamInterface<FactoryCase> {};

TEST_P(FactoryPnTest, AsksAndFollowsTheAnswer) {
  const FactoryCase& c = GetParam();
  form->rgFPGA.SetItemIndex(3);
  h.dialogs.AnswerMessage(c.answer);
  form->IdentifyUnit(Greeting(c.pn));

  ASSERT_EQ(h.dialogs.Messages().size(), 1u);
  const ui::MessageBoxRequest& box = h.dialogs.Messages()[0];
  EXPECT_EQ(box.text, "pn is factory pn\nif you want to conntiue click \"Yes\"");
  EXPECT_EQ(box.caption, "invalid pn");
  EXPECT_EQ(box.buttons, ui::MsgButtons::YesNo);
  EXPECT_TRUE(box.topmost);

  if (c.answer == ui::IDYES) {
    EXPECT_EQ(h.Log().back(), "factory pn -> regards to latest model");
    EXPECT_EQ(form->rgFPGA.ItemIndex(), 9);
    EXPECT_EQ(form->rgLOT.ItemIndex(), 9);
    EXPECT_TRUE(form->btnAutoUpload.Enabled());
  } else {
    EXPECT_EQ(h.Log()[h.Log().size() - 2], "factory pn");
    EXPECT_EQ(h.Log().back(), "please restart device and program");
    EXPECT_EQ(form->rgFPGA.ItemIndex(), 3);
    EXPECT_FALSE(form->btnAutoUpload.Enabled());
  }
  // Whatever the answer, a factory unit is not one this updater works on.
  EXPECT_FALSE(form->IsSupportedUnit(PnField(c.pn)));
}

INSTANTIATE_TEST_SUITE_P(
    EachFactoryPn, FactoryPnTest,
    ::testing::Values(FactoryCase{"QV47-00CH00-100200", ui::IDYES}, FactoryCase{"QV47-00CH00-100200", ui::IDNO},
                      FactoryCase{"QV47-01CH00-100200", ui::IDYES}, FactoryCase{"QV47-01CH00-100200", ui::IDNO},
                      FactoryCase{"QV47-130400-100200", ui::IDYES}, FactoryCase{"QV47-130400-100200", ui::IDNO}));

struct SupportCase {
  const char* pn;
  bool supported;
};

class SupportedUnitTest : public ::testing::TestWithParam<SupportCase> {};

TEST_P(SupportedUnitTest, PrefixDecidesWithoutMarker) {
  Harness h;
  auto& form = h.Start();
  EXPECT_EQ(form.IsSupportedUnit(PnField(GetParam().pn)), GetParam().supported);
}

TEST_P(SupportedUnitTest, EitherMarkerLetsEveryUnitPass) {
  for (const char* marker : {"gui_test", "gui_test.txt"}) {
    Harness h;
    h.workDir.Touch(marker);
    auto& form = h.Start();
    EXPECT_TRUE(form.IsSupportedUnit(PnField(GetParam().pn))) << marker;
  }
}

INSTANTIATE_TEST_SUITE_P(Prefixes, SupportedUnitTest,
                         ::testing::Values(SupportCase{"QV47-02HCAF-123456", true},
                                           SupportCase{"QV47-FFHCAF-123456", true},
                                           SupportCase{"QV47-05HCAF-123456", false}, SupportCase{"QV47-0", false},
                                           SupportCase{"QV47-00CH00-100200", false}, SupportCase{"", false}));

TEST(SupportedUnit, MarkerInTheProgramFolderDoesNotCount) {
  Harness h;
  h.exeDir.Touch("gui_test");
  auto& form = h.Start();
  EXPECT_FALSE(form.IsSupportedUnit(PnField("QV47-05HCAF-123456")));
}

struct UdiCase {
  const char* pn;
  std::int32_t day;
  std::string udi;
};

class UdiTextTest : public ::testing::TestWithParam<UdiCase> {};

TEST_P(UdiTextTest, FillsTheTemplate) {
  const UdiCase& c = GetParam();
  const auto text = unit::FormatPnForLog(PnField(c.pn), c.day);
  EXPECT_TRUE(text.udi);
  EXPECT_EQ(text.text, c.udi);
  EXPECT_EQ(unit::BuildUdiText(PnField(c.pn), c.day), c.udi);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, UdiTextTest,
    ::testing::Values(
        UdiCase{"QV47-02HCAF-123456", 1507, "(01)01234567890214(11)180315(10)QV4702AF(21)123456"},
        UdiCase{"QV47-02HCAF-123456", 7, "(01)01234567890214(11)180307(10)QV4702AF(21)123456"},
        UdiCase{"QV47-02HCAF-123456", 100, "(01)01234567890214(11)180301(10)QV4702AF(21)123456"},
        UdiCase{"QV47-02HCAF-123456", 99, "(01)01234567890214(11)180399(10)QV4702AF(21)123456"},
        UdiCase{"QV23-02FJ01-000042", 2812, "(01)01234567890016(11)160928(10)QV230201(21)000042"},
        UdiCase{"QV65-FFNM08-ABCDEF", 1, "(01)01234567890412(11)221201(10)QV65FF08(21)ABCDEF"},
        UdiCase{"QV12-02HCAF-123456", 1507, "(01)0123456789****(11)180315(10)QV1202AF(21)123456"},
        UdiCase{"QV99-02HCAF-123456", 1507, "(01)0123456789****(11)180315(10)QV9902AF(21)123456"},
        // Twelve characters: the serial's first position gets the NUL.
        UdiCase{"QV47-02HCAF-", 1507, "(01)01234567890214(11)180315(10)QV4702AF(21)"},
        // Letters without a number show as "??" instead of a plausible date.
        UdiCase{"QV47-02PCAF-123456", 1507, "(01)01234567890214(11)??0315(10)QV4702AF(21)123456"},
        UdiCase{"QV47-02HaAF-123456", 1507, "(01)01234567890214(11)18??15(10)QV4702AF(21)123456"}));

TEST(FormatPnForLog, YearLetterUpToEKeepsThePartNumber) {
  for (const char* pn : {"QV47-02EC01-123456", "QV47-025C01-123456", "QV47-02AC01-123456"}) {
    const auto text = unit::FormatPnForLog(PnField(pn), 1507);
    EXPECT_FALSE(text.udi) << pn;
    EXPECT_EQ(text.text, pn);
  }
}

TEST(FormatPnForLog, TextWithoutNulEndsAtTheFieldsEnd) {
  auto g = Greeting("QV47-02EC01-12345678");  // 20 characters, no NUL in the field
  g[120] = '9';
  const auto text = unit::FormatPnForLog(PnField::FromRecord(g), 1);
  EXPECT_EQ(text.text, "QV47-02EC01-12345678");
}

TEST(FormatPnForLog, HighByteYearLetterIsNotTheUdiForm) {
  // Taken as a signed 8-bit value, a byte above 0x7F is below "E".
  std::string pn = "QV47-02HCAF-123456";
  pn[7] = '\xB0';
  EXPECT_FALSE(unit::FormatPnForLog(PnField(pn), 1).udi);
}

TEST(DateLetterTable, NumbersOfTheLetters) {
  const std::string letters = "ABCDEFGHIJKLMN";
  const int numbers[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 9, 10, 11, 12, 12};
  for (std::size_t i = 0; i < letters.size(); ++i) EXPECT_EQ(unit::DateLetterTable(letters[i]), numbers[i]);
  for (char c : {'@', 'O', 'a', '0', '\0'}) EXPECT_EQ(unit::DateLetterTable(c), 0) << int(c);
}

}  // namespace
}  // namespace nimbrel::testing
