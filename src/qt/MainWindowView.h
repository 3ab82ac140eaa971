#pragma once
// The main window on screen: Qt widgets that mirror the TfrmMain models and
// forward the operator's input to them. No behaviour lives here.

#include <QWidget>
#include <vector>

#include "app/TfrmMain.h"

class QPlainTextEdit;

namespace nimbrel::qt {

class MainWindowView final : public QWidget {
 public:
  explicit MainWindowView(app::TfrmMain& form);
  ~MainWindowView() override;

  // Makes the window's visibility and size follow the model.
  void Sync();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BindControl(ui::TControl& model, QWidget* widget);
  void BindButton(ui::TButton& model, QWidget* parent);
  void BindRadioGroup(ui::TRadioGroup& model, QWidget* parent);
  void BindMemo(ui::TMemo& model);
  void BindEdit(ui::TEdit& model, QWidget* parent);
  void BindProgressBar(ui::TProgressBar& model);

  app::TfrmMain& form_;
  std::vector<ui::TControl*> bound_;
  QPlainTextEdit* memo_ = nullptr;
  std::size_t memoShown_ = 0;
};

}  // namespace nimbrel::qt
