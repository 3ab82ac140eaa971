#pragma once
// The program's dialogs: real modal, topmost, owner-less boxes.
//
// On Qt's offscreen platform nobody can see or answer a box, so there each
// box is written to standard error and answered with its default (OK, or No
// for a Yes/No question), and the file dialog counts as cancelled.

#include "ui/Dialogs.h"

class QWidget;

namespace nimbrel::qt {

class QtDialogs final : public ui::Dialogs {
 public:
  QtDialogs();
  // The main window: the unit-type dialog is shown over it. The message
  // boxes have no owner.
  void SetMainWindow(QWidget* window) { mainWindow_ = window; }
  int MessageBox(const ui::MessageBoxRequest& request) override;
  std::optional<std::string> OpenFile(const ui::OpenFileRequest& request) override;
  int ShowUnitTypeDialog(ui::UnitTypeChooser& dialog) override;

 private:
  bool headless_;
  QWidget* mainWindow_ = nullptr;
};

}  // namespace nimbrel::qt
