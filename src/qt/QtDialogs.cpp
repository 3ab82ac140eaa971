#include "qt/QtDialogs.h"

#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QStringList>
#include <cstdio>

#include "platform/Text.h"
#include "qt/QtText.h"
#include "qt/UnitTypeDialogView.h"

namespace nimbrel::qt {

namespace {

// "desc|patterns|desc|patterns" into Qt's "desc (patterns);;..." form.
QString ToQtFilter(const std::string& filter) {
  const QStringList parts = FromLocal8(filter).split('|');
  QStringList entries;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    QString patterns = parts[i + 1];
    patterns.replace(';', ' ');
    entries << QStringLiteral("%1 (%2)").arg(parts[i], patterns);
  }
  return entries.join(QStringLiteral(";;"));
}

}  // namespace

QtDialogs::QtDialogs() : headless_(QGuiApplication::platformName() == QLatin1String("offscreen")) {}

int QtDialogs::MessageBox(const ui::MessageBoxRequest& request) {
  const bool yesNo = request.buttons == ui::MsgButtons::YesNo;
  if (headless_) {
    const std::string text = platform::Cp949ToUtf8(request.caption + ": " + request.text);
    std::fprintf(stderr, "message box (answered %s): %s\n", yesNo ? "No" : "OK", text.c_str());
    std::fflush(stderr);
    return yesNo ? ui::IDNO : ui::IDOK;
  }
  QMessageBox box;
  box.setWindowTitle(FromLocal8(request.caption));
  box.setText(FromLocal8(request.text));
  switch (request.icon) {
    case ui::MsgIcon::Information: box.setIcon(QMessageBox::Information); break;
    case ui::MsgIcon::Warning: box.setIcon(QMessageBox::Warning); break;
    case ui::MsgIcon::Error: box.setIcon(QMessageBox::Critical); break;
    case ui::MsgIcon::Question: box.setIcon(QMessageBox::Question); break;
    case ui::MsgIcon::None: box.setIcon(QMessageBox::NoIcon); break;
  }
  box.setStandardButtons(yesNo ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok);
  if (request.topmost) box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
  const int r = box.exec();
  if (yesNo) return r == QMessageBox::Yes ? ui::IDYES : ui::IDNO;
  return ui::IDOK;
}

std::optional<std::string> QtDialogs::OpenFile(const ui::OpenFileRequest& request) {
  if (headless_) return std::nullopt;
  const QString path = QFileDialog::getOpenFileName(nullptr, QString(), QString(), ToQtFilter(request.filter));
  if (path.isEmpty()) return std::nullopt;
  return path.toLocal8Bit().toStdString();
}

int QtDialogs::ShowUnitTypeDialog(ui::UnitTypeChooser& dialog) {
  auto* model = dynamic_cast<update::TfrmFPGA*>(&dialog);
  // Nobody can answer on the offscreen platform: the showing counts as cancelled.
  if (!model || headless_) {
    if (headless_) std::fprintf(stderr, "unit-type dialog (answered Cancel)\n");
    return ui::kModalCancel;
  }
  UnitTypeDialogView view(*model, mainWindow_ && mainWindow_->isVisible() ? mainWindow_ : nullptr);
  return view.ShowModal();
}

}  // namespace nimbrel::qt
