#pragma once
// The unit-type dialog on screen: a modal QDialog that mirrors a TfrmFPGA
// model and forwards the operator's input to it. No behaviour lives here;
// the model decides the modal result.

#include <QDialog>

#include "update/TfrmFPGA.h"

class QButtonGroup;

namespace nimbrel::qt {

class UnitTypeDialogView final : public QDialog {
 public:
  explicit UnitTypeDialogView(update::TfrmFPGA& model, QWidget* parent = nullptr);
  ~UnitTypeDialogView() override;

  // Shows the dialog modally, centred over its parent, and returns the
  // model's modal result: ui::kModalOk, or ui::kModalCancel for "Cancel",
  // the close box and Esc.
  int ShowModal();

 protected:
  // The close box and Esc.
  void reject() override;

 private:
  void Sync();
  // Ends the showing once the model has a result.
  void EndIfDecided();

  update::TfrmFPGA& model_;
  QButtonGroup* items_ = nullptr;
};

}  // namespace nimbrel::qt
