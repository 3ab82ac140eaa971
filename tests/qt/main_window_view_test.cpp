#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QFontMetrics>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>

#include "../core/Harness.h"
#include "qt/MainWindowView.h"

namespace nimbrel::testing {
namespace {

struct Expect {
  const char* name;
  const char* caption;  // UTF-8 as shown
  QRect geometry;
  bool visible;
};

QString Caption(QWidget* w) {
  if (auto* b = qobject_cast<QPushButton*>(w)) return b->text();
  if (auto* g = qobject_cast<QGroupBox*>(w)) return g->title();
  if (auto* c = qobject_cast<QCheckBox*>(w)) return c->text();
  return {};
}

TEST(MainWindowView, ControlsCarryTheirCaptionsPositionsAndVisibility) {
  Harness h;
  h.workDir.Touch("factory_mode");
  auto& form = h.Start();
  qt::MainWindowView view(form);
  EXPECT_EQ(view.windowTitle(), QStringLiteral("ZK Scanner System Updater_20181026"));
  EXPECT_EQ(view.size(), QSize(794, 386));

  const Expect expected[] = {
      {"Connect", "Connect", {317, 13, 128, 45}, true},
      {"btnAutoUpload", "update", {317, 81, 128, 45}, true},
      {"btnBackup", "backup System Info", {158, 262, 114, 30}, false},
      {"btnPatch", "patch System Info", {158, 298, 114, 30}, false},
      {"btnUpload", "manual Upload ", {158, 418, 76, 30}, false},
      {"rgMode", "Mode", {8, 194, 128, 217}, false},
      {"rgFPGA", "Scanner Base", {633, 574, 140, 233}, true},
      {"GroupBox1", " Parts Information ", {462, 2, 324, 359}, true},
      {"rgLOT", "LOT", {8, 11, 310, 86}, true},
      {"rgStepMotor", " step motor ", {8, 103, 310, 66}, true},
      {"rgFTheta", "f-\xCE\xB8", {184, 288, 78, 70}, true},
      {"rgPowerBoard", "power board  ", {7, 230, 210, 56}, true},
      {"rgConnection", "connection type", {349, 740, 124, 67}, false},
      {"btnTestTSCode", "parse tsCode", {317, 172, 128, 25}, false},
      {"chkMustUpdate", "force update", {320, 149, 125, 17}, false},  // hidden in factory mode
  };
  for (const Expect& e : expected) {
    auto* w = view.findChild<QWidget*>(QString::fromLatin1(e.name));
    ASSERT_NE(w, nullptr) << e.name;
    EXPECT_EQ(Caption(w), QString::fromUtf8(e.caption)) << e.name;
    EXPECT_EQ(w->geometry(), e.geometry) << e.name;
    EXPECT_EQ(w->isVisibleTo(&view), e.visible) << e.name;
  }
  auto* connect = view.findChild<QPushButton*>(QStringLiteral("Connect"));
  EXPECT_TRUE(connect->isEnabled());
  EXPECT_FALSE(view.findChild<QPushButton*>(QStringLiteral("btnAutoUpload"))->isEnabled());
  // The radio groups mirror their selections, "none" included.
  EXPECT_TRUE(view.findChild<QRadioButton*>(QStringLiteral("rgStepMotor_3"))->isChecked());
  for (int i = 0; i < 10; ++i) {
    EXPECT_FALSE(view.findChild<QRadioButton*>(QStringLiteral("rgFPGA_%1").arg(i))->isChecked());
  }
  auto* memo = view.findChild<QPlainTextEdit*>(QStringLiteral("Memo"));
  ASSERT_NE(memo, nullptr);
  EXPECT_EQ(memo->toPlainText(), QStringLiteral("Dental type\nupdater version:1.1.2.5"));
}

TEST(MainWindowView, CompactAndHiddenWindows) {
  {
    Harness h;
    auto& form = h.Start();
    qt::MainWindowView view(form);
    EXPECT_EQ(view.size(), QSize(455 - ui::TForm::kFrameWidth, 160 - ui::TForm::kFrameHeight));
  }
  {
    Harness h;
    h.args.push_back("-H");
    auto& form = h.Start();
    qt::MainWindowView view(form);
    EXPECT_EQ(view.size(), QSize(0, 0));
    EXPECT_FALSE(view.isVisible());
  }
}

TEST(MainWindowView, OperatorInputReachesTheModels) {
  Harness h;
  h.workDir.Touch("factory_mode");
  auto& form = h.Start();
  qt::MainWindowView view(form);
  view.findChild<QRadioButton*>(QStringLiteral("rgAGDoor_2"))->click();
  EXPECT_EQ(form.rgAGDoor.ItemIndex(), 2);
  EXPECT_FALSE(view.findChild<QRadioButton*>(QStringLiteral("rgAGDoor_1"))->isChecked());
  form.LogLine("USB Connected");
  EXPECT_TRUE(view.findChild<QPlainTextEdit*>(QStringLiteral("Memo"))->toPlainText().endsWith("USB Connected"));
  form.btnAutoUpload.SetEnabled(true);
  EXPECT_TRUE(view.findChild<QPushButton*>(QStringLiteral("btnAutoUpload"))->isEnabled());
}

TEST(MainWindowView, ProgressBarShowsTheUploadWithoutCoveringAControl) {
  for (const bool factory : {false, true}) {
    Harness h;
    if (factory) h.workDir.Touch("factory_mode");
    auto& form = h.Start();
    qt::MainWindowView view(form);
    auto* bar = view.findChild<QProgressBar*>(QStringLiteral("pbUpload"));
    ASSERT_NE(bar, nullptr);
    EXPECT_FALSE(bar->isVisibleTo(&view)) << "no upload yet";

    form.pbUpload.SetText("stage 2 of 5: GUI resources");
    form.pbUpload.SetProgress(4194304, 10486272);
    form.pbUpload.SetVisible(true);
    EXPECT_TRUE(bar->isVisibleTo(&view));
    EXPECT_EQ(bar->format(), QStringLiteral("stage 2 of 5: GUI resources"));
    EXPECT_EQ(bar->value(), 399);
    // Its whole text fits the bar.
    EXPECT_LE(QFontMetrics(bar->font()).horizontalAdvance(bar->format()), bar->width() - 4);
    // Inside the window's client area, clear of every control shown.
    EXPECT_TRUE(view.rect().contains(bar->geometry())) << factory;
    for (QWidget* w : view.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
      if (w == bar || !w->isVisibleTo(&view)) continue;
      EXPECT_FALSE(w->geometry().intersects(bar->geometry())) << w->objectName().toStdString();
    }
    form.pbUpload.SetVisible(false);
    EXPECT_FALSE(bar->isVisibleTo(&view));
  }
}

}  // namespace
}  // namespace nimbrel::testing

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
