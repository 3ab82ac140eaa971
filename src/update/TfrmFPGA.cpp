#include "update/TfrmFPGA.h"

#include <string>
#include <vector>

#include "app/TfrmMain.h"
#include "platform/Text.h"

namespace nimbrel::update {

TfrmFPGA::TfrmFPGA()
    : ui::TForm(kClientWidth, kClientHeight),
      Label1("Label1", {32, 8, 264, 14}),
      rgFPGA("rgFPGA", {9, 38, 337, 155}, " select unit type ",
             std::vector<std::string>{"screw type old", "screw type nov", "20mm wm motor", "10mm ws motor",
                                      "10mm sst motor", "10mm ws wide", "10mm ws ROHS",
                                      "10mm ws f-" + std::string(platform::kTheta), "AH type", "AJ type"},
             -1, 2),
      btnOk("btnOk", {178, 218, 81, 33}),
      btnCancel("btnCancel", {265, 218, 81, 33}) {
  SetCaption("select unit type");
  Label1.SetCaption("serial number is invalid. select correct  unit type ");
  btnOk.SetCaption("Ok");
  btnCancel.SetCaption("Cancel");
  btnOk.OnClick = [this] { btnOkClick(&btnOk); };
  btnCancel.OnClick = [this] { btnCancelClick(&btnCancel); };
}

void TfrmFPGA::btnOkClick(ui::TControl*) { modalResult_ = ui::kModalOk; }
void TfrmFPGA::btnCancelClick(ui::TControl*) { modalResult_ = ui::kModalCancel; }

}  // namespace nimbrel::update

namespace nimbrel::app {

bool TfrmMain::ChooseUnitType() {
  if (dialogs().ShowUnitTypeDialog(frmFPGA) != ui::kModalOk) {
    LogLine("cancel to autoupload");
    return false;
  }
  // The main window's group clamps and compares as usual: the same item
  // drives nothing, none (-1) only clears "Scanner Base".
  rgFPGA.SetItemIndex(frmFPGA.SelectedIndex());
  return true;
}

}  // namespace nimbrel::app
