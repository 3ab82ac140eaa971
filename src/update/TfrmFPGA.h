#pragma once
// The unit-type dialog: the operator picks the hardware base of a unit whose
// part number cannot be trusted. One instance lives as long as the main
// window, so a choice made at one showing is still selected at the next.
//
// The model holds the controls and the modal result; a view shows it
// modally, forwards the operator's input to the controls and ends the
// showing once ModalResult() is no longer 0.

#include "ui/Controls.h"
#include "ui/Dialogs.h"
#include "ui/Form.h"

namespace nimbrel::update {

class TfrmFPGA final : public ui::TForm, public ui::UnitTypeChooser {
 public:
  static constexpr int kClientWidth = 354;
  static constexpr int kClientHeight = 259;

  TfrmFPGA();

  ui::TLabel Label1;
  ui::TRadioGroup rgFPGA;  // item n selects item n of the main window's "Scanner Base"
  ui::TButton btnOk;
  ui::TButton btnCancel;

  int SelectedIndex() const override { return rgFPGA.ItemIndex(); }
  void SetSelectedIndex(int index) override { rgFPGA.SetItemIndex(index); }

  // 0 while the dialog is being shown; kModalOk or kModalCancel once a
  // button or the close box has ended the showing.
  int ModalResult() const { return modalResult_; }
  void SetModalResult(int result) { modalResult_ = result; }
  // A view calls this when it starts a showing.
  void BeginModal() { modalResult_ = 0; }

  // Neither button looks at the selection: "Ok" is accepted with none.
  void btnOkClick(ui::TControl* Sender);
  void btnCancelClick(ui::TControl* Sender);
  // The close box or Alt+F4.
  void CloseBox() { modalResult_ = ui::kModalCancel; }

 private:
  int modalResult_ = 0;
};

}  // namespace nimbrel::update
