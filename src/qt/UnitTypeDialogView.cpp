#include "qt/UnitTypeDialogView.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>

#include "qt/QtText.h"

namespace nimbrel::qt {

UnitTypeDialogView::UnitTypeDialogView(update::TfrmFPGA& model, QWidget* parent) : QDialog(parent), model_(model) {
  setObjectName(QStringLiteral("frmFPGA"));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  setModal(true);
  QFont font(QStringLiteral("Tahoma"));
  font.setPixelSize(12);
  setFont(font);
  setFixedSize(model_.ClientWidth(), model_.ClientHeight());

  auto* label = new QLabel(this);
  label->setObjectName(QString::fromStdString(model_.Label1.Name()));
  Place(label, model_.Label1);
  label->setText(FromLocal8(model_.Label1.Caption()));

  auto* box = new QGroupBox(this);
  box->setObjectName(QString::fromStdString(model_.rgFPGA.Name()));
  Place(box, model_.rgFPGA);
  box->setTitle(FromLocal8(model_.rgFPGA.Caption()));
  auto* layout = new QGridLayout(box);
  layout->setContentsMargins(6, 2, 6, 2);
  layout->setSpacing(0);
  items_ = new QButtonGroup(box);
  items_->setExclusive(false);  // the model owns the selection, also "none"
  const auto& items = model_.rgFPGA.Items();
  const int count = static_cast<int>(items.size());
  const int columns = model_.rgFPGA.Columns() > 0 ? model_.rgFPGA.Columns() : 1;
  const int perColumn = (count + columns - 1) / columns;
  for (int i = 0; i < count; ++i) {
    auto* radio = new QRadioButton(FromLocal8(items[static_cast<std::size_t>(i)]), box);
    radio->setObjectName(QStringLiteral("rgFPGA_%1").arg(i));
    radio->setAutoExclusive(false);
    layout->addWidget(radio, i % perColumn, i / perColumn);
    items_->addButton(radio, i);
  }
  QObject::connect(items_, &QButtonGroup::idClicked, this, [this](int id) {
    model_.rgFPGA.SetItemIndex(id);
    Sync();
  });

  for (ui::TButton* b : {&model_.btnOk, &model_.btnCancel}) {
    auto* button = new QPushButton(FromLocal8(b->Caption()), this);
    button->setObjectName(QString::fromStdString(b->Name()));
    button->setAutoDefault(false);
    Place(button, *b);
    QObject::connect(button, &QPushButton::clicked, this, [this, b] {
      b->Click();
      EndIfDecided();
    });
  }

  model_.rgFPGA.SetChangeListener([this] { Sync(); });
  Sync();
}

UnitTypeDialogView::~UnitTypeDialogView() { model_.rgFPGA.SetChangeListener(nullptr); }

int UnitTypeDialogView::ShowModal() {
  model_.BeginModal();
  Sync();
  // Over the main window when it is in sight; a hidden one leaves the
  // dialog where the platform puts it.
  if (const QWidget* owner = parentWidget(); owner && owner->isVisible()) {
    winId();  // the platform window, and with it the size of the frame
    const QRect frame = frameGeometry();
    move(owner->frameGeometry().center() - QPoint(frame.width() / 2, frame.height() / 2));
  }
  exec();
  return model_.ModalResult() != 0 ? model_.ModalResult() : ui::kModalCancel;
}

void UnitTypeDialogView::reject() {
  model_.CloseBox();
  EndIfDecided();
}

void UnitTypeDialogView::Sync() {
  setWindowTitle(FromLocal8(model_.Caption()));
  for (QAbstractButton* b : items_->buttons()) {
    const QSignalBlocker block(b);
    b->setChecked(items_->id(b) == model_.rgFPGA.ItemIndex());
  }
}

void UnitTypeDialogView::EndIfDecided() {
  if (model_.ModalResult() != 0) done(model_.ModalResult());
}

}  // namespace nimbrel::qt
