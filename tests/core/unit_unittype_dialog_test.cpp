#include <gtest/gtest.h>

#include "Harness.h"
#include "unit/TsCode.h"
#include "update/TfrmFPGA.h"

namespace nimbrel::testing {
namespace {

namespace item = unit::item;
using Answer = ui::ScriptedDialogs::UnitTypeAnswer;

class UnitTypeDialogTest : public ::testing::Test {
 protected:
  void SetUp() override { form = &h.Start(); }
  Harness h;
  app::TfrmMain* form = nullptr;
};

TEST_F(UnitTypeDialogTest, OkWithFThetaItemSelectsTheAgGeneration) {
  h.dialogs.AnswerUnitType({ui::kModalOk, 7});
  EXPECT_TRUE(form->ChooseUnitType());
  EXPECT_EQ(form->rgFPGA.ItemIndex(), 7);
  EXPECT_EQ(form->rgLOT.ItemIndex(), item::kLotAG);
  EXPECT_EQ(form->rgStepMotor.ItemIndex(), item::kStepWs10);
  EXPECT_EQ(form->rgFTheta.ItemIndex(), item::kYes);
  EXPECT_EQ(form->rgAGDoor.ItemIndex(), item::kTrayAG);
  EXPECT_FALSE(h.Logged("cancel to autoupload"));
}

TEST_F(UnitTypeDialogTest, OkWithWmItemSelectsTheWmMotor) {
  h.dialogs.AnswerUnitType({ui::kModalOk, 2});
  EXPECT_TRUE(form->ChooseUnitType());
  EXPECT_EQ(form->rgFPGA.ItemIndex(), 2);
  EXPECT_EQ(form->rgStepMotor.ItemIndex(), item::kStepWm20);
  EXPECT_EQ(form->rgMainBoard.ItemIndex(), item::kMainBd1x);
}

TEST_F(UnitTypeDialogTest, OkWithTheItemAlreadyShownChangesNoGroup) {
  form->rgFPGA.SetItemIndex(5);
  form->rgStepMotor.SetItemIndex(item::kStepScrew);  // refined after the base was chosen
  form->rgFTheta.SetItemIndex(item::kYes);
  h.dialogs.AnswerUnitType({ui::kModalOk, 5});
  EXPECT_TRUE(form->ChooseUnitType());
  EXPECT_EQ(form->rgLOT.ItemIndex(), 5);
  EXPECT_EQ(form->rgStepMotor.ItemIndex(), item::kStepScrew);
  EXPECT_EQ(form->rgFTheta.ItemIndex(), item::kYes);
}

TEST_F(UnitTypeDialogTest, OkWithNothingSelectedOnlyClearsTheBase) {
  form->rgFPGA.SetItemIndex(8);
  form->rgStepMotor.SetItemIndex(item::kStepSst10);
  ASSERT_EQ(form->frmFPGA.SelectedIndex(), -1);
  h.dialogs.AnswerUnitType({ui::kModalOk, std::nullopt});
  EXPECT_TRUE(form->ChooseUnitType());
  EXPECT_EQ(form->rgFPGA.ItemIndex(), -1);
  EXPECT_EQ(form->rgLOT.ItemIndex(), item::kLotAH);
  EXPECT_EQ(form->rgStepMotor.ItemIndex(), item::kStepSst10);
  EXPECT_EQ(form->rgAGDoor.ItemIndex(), item::kTrayAH);
}

TEST_F(UnitTypeDialogTest, CancelLogsAndKeepsTheBase) {
  form->rgFPGA.SetItemIndex(3);
  h.dialogs.AnswerUnitType({ui::kModalCancel, 6});
  EXPECT_FALSE(form->ChooseUnitType());
  EXPECT_EQ(h.Log().back(), "cancel to autoupload");
  EXPECT_EQ(form->rgFPGA.ItemIndex(), 3);
  EXPECT_EQ(form->rgLOT.ItemIndex(), 3);
}

TEST_F(UnitTypeDialogTest, TheSelectionIsKeptForTheNextShowing) {
  h.dialogs.AnswerUnitType({ui::kModalCancel, 4});
  EXPECT_FALSE(form->ChooseUnitType());
  h.dialogs.AnswerUnitType({ui::kModalOk, std::nullopt});
  EXPECT_TRUE(form->ChooseUnitType());
  EXPECT_EQ(h.dialogs.UnitTypeShowings(), 2);
  EXPECT_EQ(form->frmFPGA.SelectedIndex(), 4);
  EXPECT_EQ(form->rgFPGA.ItemIndex(), 4);
  EXPECT_EQ(form->rgStepMotor.ItemIndex(), item::kStepSst10);
}

TEST(TfrmFPGA, ButtonsAndCloseBoxSetTheModalResult) {
  update::TfrmFPGA dialog;
  dialog.BeginModal();
  dialog.btnOk.Click();  // accepted with no item selected
  EXPECT_EQ(dialog.ModalResult(), ui::kModalOk);
  dialog.BeginModal();
  EXPECT_EQ(dialog.ModalResult(), 0);
  dialog.btnCancel.Click();
  EXPECT_EQ(dialog.ModalResult(), ui::kModalCancel);
  dialog.BeginModal();
  dialog.CloseBox();
  EXPECT_EQ(dialog.ModalResult(), ui::kModalCancel);
  EXPECT_EQ(dialog.SelectedIndex(), -1);
}

TEST(TfrmFPGA, TextsOfTheDialog) {
  update::TfrmFPGA dialog;
  EXPECT_EQ(dialog.Caption(), "select unit type");
  EXPECT_EQ(dialog.ClientWidth(), 354);
  EXPECT_EQ(dialog.ClientHeight(), 259);
  EXPECT_EQ(dialog.Label1.Caption(), "serial number is invalid. select correct  unit type ");
  EXPECT_EQ(dialog.rgFPGA.Caption(), " select unit type ");
  EXPECT_EQ(dialog.rgFPGA.Columns(), 2);
  EXPECT_EQ(dialog.rgFPGA.Items(),
            (std::vector<std::string>{"screw type old", "screw type nov", "20mm wm motor", "10mm ws motor",
                                      "10mm sst motor", "10mm ws wide", "10mm ws ROHS", "10mm ws f-\xA5\xE8",
                                      "AH type", "AJ type"}));
  EXPECT_EQ(dialog.btnOk.Caption(), "Ok");
  EXPECT_EQ(dialog.btnCancel.Caption(), "Cancel");
}

}  // namespace
}  // namespace nimbrel::testing
