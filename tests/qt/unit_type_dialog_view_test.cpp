#include <gtest/gtest.h>

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include "qt/UnitTypeDialogView.h"

namespace nimbrel::testing {
namespace {

// Runs `input` once the modal showing has started.
int ShowAndThen(qt::UnitTypeDialogView& view, const std::function<void()>& input) {
  QTimer::singleShot(0, &view, input);
  return view.ShowModal();
}

QPushButton* Button(QWidget& view, const char* name) {
  return view.findChild<QPushButton*>(QString::fromLatin1(name));
}

TEST(UnitTypeDialogView, ShowsTheModelsTexts) {
  update::TfrmFPGA model;
  qt::UnitTypeDialogView view(model);
  EXPECT_EQ(view.windowTitle(), QStringLiteral("select unit type"));
  EXPECT_EQ(view.size(), QSize(354, 259));
  EXPECT_EQ(view.findChild<QLabel*>(QStringLiteral("Label1"))->text(),
            QStringLiteral("serial number is invalid. select correct  unit type "));
  EXPECT_EQ(view.findChild<QGroupBox*>(QStringLiteral("rgFPGA"))->title(), QStringLiteral(" select unit type "));
  EXPECT_EQ(view.findChild<QRadioButton*>(QStringLiteral("rgFPGA_7"))->text(), QString::fromUtf8("10mm ws f-\xCE\xB8"));
  EXPECT_EQ(Button(view, "btnOk")->geometry(), QRect(178, 218, 81, 33));
  EXPECT_EQ(Button(view, "btnCancel")->text(), QStringLiteral("Cancel"));
}

TEST(UnitTypeDialogView, OkAfterChoosingAnItem) {
  update::TfrmFPGA model;
  qt::UnitTypeDialogView view(model);
  const int result = ShowAndThen(view, [&] {
    view.findChild<QRadioButton*>(QStringLiteral("rgFPGA_7"))->click();
    Button(view, "btnOk")->click();
  });
  EXPECT_EQ(result, ui::kModalOk);
  EXPECT_EQ(model.SelectedIndex(), 7);
}

TEST(UnitTypeDialogView, CancelAndTheCloseBoxGiveCancel) {
  update::TfrmFPGA model;
  qt::UnitTypeDialogView view(model);
  EXPECT_EQ(ShowAndThen(view, [&] { Button(view, "btnCancel")->click(); }), ui::kModalCancel);
  EXPECT_EQ(ShowAndThen(view, [&] { view.close(); }), ui::kModalCancel);
}

TEST(UnitTypeDialogView, TheSelectionIsShownAgainAtTheNextShowing) {
  update::TfrmFPGA model;
  model.SetSelectedIndex(4);
  qt::UnitTypeDialogView view(model);
  bool checked = false;
  ShowAndThen(view, [&] {
    checked = view.findChild<QRadioButton*>(QStringLiteral("rgFPGA_4"))->isChecked();
    Button(view, "btnOk")->click();
  });
  EXPECT_TRUE(checked);
  EXPECT_FALSE(view.findChild<QRadioButton*>(QStringLiteral("rgFPGA_3"))->isChecked());
}

TEST(UnitTypeDialogView, ShownCentredOverItsMainWindow) {
  QWidget mainWindow;
  mainWindow.setGeometry(120, 90, 449, 131);
  mainWindow.show();
  update::TfrmFPGA model;
  qt::UnitTypeDialogView view(model, &mainWindow);
  QRect shown;
  ShowAndThen(view, [&] {
    shown = view.frameGeometry();
    Button(view, "btnOk")->click();
  });
  EXPECT_LE((shown.center() - mainWindow.frameGeometry().center()).manhattanLength(), 1);
  EXPECT_EQ(shown.size(), view.frameGeometry().size());
}

}  // namespace
}  // namespace nimbrel::testing
