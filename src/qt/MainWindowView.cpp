#include "qt/MainWindowView.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>

#include "qt/QtText.h"

namespace nimbrel::qt {

MainWindowView::MainWindowView(app::TfrmMain& form) : form_(form) {
  setObjectName(QStringLiteral("frmMain"));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  QFont font(QStringLiteral("Tahoma"));
  font.setPointSize(8);
  setFont(font);

  auto* label = new QLabel(this);
  label->setObjectName(QStringLiteral("Label1"));
  BindControl(form_.Label1, label);
  BindMemo(form_.Memo);
  BindRadioGroup(form_.rgMode, this);
  BindButton(form_.Connect, this);
  BindButton(form_.btnBackup, this);
  BindButton(form_.btnPatch, this);
  BindButton(form_.btnAutoUpload, this);
  BindRadioGroup(form_.rgFPGA, this);
  BindRadioGroup(form_.rgSolution, this);
  BindButton(form_.btnUpload, this);
  BindRadioGroup(form_.rgConnection, this);
  BindEdit(form_.editAddress, this);
  BindRadioGroup(form_.rgLCD, this);
  BindRadioGroup(form_.rgDoor, this);
  BindRadioGroup(form_.rgMotor, this);
  BindRadioGroup(form_.rgOptic, this);
  BindRadioGroup(form_.rgEtc, this);

  auto* group = new QGroupBox(this);
  group->setObjectName(QStringLiteral("GroupBox1"));
  BindControl(form_.GroupBox1, group);
  BindRadioGroup(form_.rgLOT, group);
  BindRadioGroup(form_.rgStepMotor, group);
  BindRadioGroup(form_.rgMainBoard, group);
  BindRadioGroup(form_.rgROHSLCD, group);
  BindRadioGroup(form_.rgFTheta, group);
  BindRadioGroup(form_.rgAGDoor, group);
  BindRadioGroup(form_.rgPowerBoard, group);

  BindEdit(form_.edittsCode, this);
  BindButton(form_.btnTestTSCode, this);
  BindButton(form_.btnMaketsCode, this);

  auto* check = new QCheckBox(this);
  check->setObjectName(QStringLiteral("chkMustUpdate"));
  BindControl(form_.chkMustUpdate, check);
  QObject::connect(check, &QCheckBox::toggled, this, [this](bool on) { form_.chkMustUpdate.SetChecked(on); });
  BindProgressBar(form_.pbUpload);

  form_.SetChangeListener([this] { Sync(); });
  Sync();
  if (const QScreen* screen = this->screen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(form_.Width() / 2, form_.Height() / 2));
  }
}

MainWindowView::~MainWindowView() {
  form_.SetChangeListener(nullptr);
  for (ui::TControl* c : bound_) c->SetChangeListener(nullptr);
}

void MainWindowView::Sync() {
  setWindowTitle(FromLocal8(form_.Caption()));
  setFixedSize(form_.ClientWidth(), form_.ClientHeight());
  if (!form_.Visible()) hide();
}

void MainWindowView::closeEvent(QCloseEvent* event) {
  form_.loop().Guard([this] { form_.Close(); });
  event->accept();
}

void MainWindowView::BindControl(ui::TControl& model, QWidget* widget) {
  widget->setObjectName(QString::fromStdString(model.Name()));
  bound_.push_back(&model);
  auto sync = [&model, widget] {
    Place(widget, model);
    if (auto* label = qobject_cast<QLabel*>(widget)) label->setText(FromLocal8(model.Caption()));
    if (auto* group = qobject_cast<QGroupBox*>(widget)) group->setTitle(FromLocal8(model.Caption()));
    if (auto* check = qobject_cast<QCheckBox*>(widget)) {
      check->setText(FromLocal8(model.Caption()));
      if (auto* box = dynamic_cast<ui::TCheckBox*>(&model)) {
        const QSignalBlocker block(check);
        check->setChecked(box->Checked());
      }
    }
  };
  model.SetChangeListener(sync);
  sync();
}

void MainWindowView::BindButton(ui::TButton& model, QWidget* parent) {
  auto* button = new QPushButton(parent);
  bound_.push_back(&model);
  button->setObjectName(QString::fromStdString(model.Name()));
  auto sync = [&model, button] {
    Place(button, model);
    button->setText(FromLocal8(model.Caption()));
  };
  model.SetChangeListener(sync);
  sync();
  QObject::connect(button, &QPushButton::clicked, this, [this, &model] { form_.loop().Guard([&model] { model.Click(); }); });
}

void MainWindowView::BindEdit(ui::TEdit& model, QWidget* parent) {
  auto* edit = new QLineEdit(parent);
  bound_.push_back(&model);
  edit->setObjectName(QString::fromStdString(model.Name()));
  auto sync = [&model, edit] {
    Place(edit, model);
    const QString text = FromLocal8(model.Text());
    if (edit->text() != text) edit->setText(text);
  };
  model.SetChangeListener(sync);
  sync();
  QObject::connect(edit, &QLineEdit::textEdited, this,
                   [&model](const QString& text) { model.SetText(text.toLocal8Bit().toStdString()); });
}

void MainWindowView::BindMemo(ui::TMemo& model) {
  memo_ = new QPlainTextEdit(this);
  bound_.push_back(&model);
  memo_->setObjectName(QStringLiteral("Memo"));
  memo_->setReadOnly(true);
  memo_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  auto sync = [this, &model] {
    Place(memo_, model);
    const auto& lines = model.Lines();
    for (; memoShown_ < lines.size(); ++memoShown_) memo_->appendPlainText(FromLocal8(lines[memoShown_]));
  };
  model.SetChangeListener(sync);
  sync();
}

void MainWindowView::BindProgressBar(ui::TProgressBar& model) {
  auto* bar = new QProgressBar(this);
  bound_.push_back(&model);
  bar->setObjectName(QString::fromStdString(model.Name()));
  bar->setRange(0, 1000);  // per mille: a whole of 45 MB does not fit the bar's int range in bytes
  bar->setTextVisible(true);
  bar->setAlignment(Qt::AlignCenter);
  QFont small = bar->font();
  small.setPixelSize(9);  // "stage 2 of 5: GUI resources" fits the button column at this size
  bar->setFont(small);
  auto sync = [&model, bar] {
    Place(bar, model);
    const int permille = model.Max() > 0 ? static_cast<int>(model.Position() * 1000 / model.Max()) : 0;
    bar->setValue(permille);
    bar->setFormat(FromLocal8(model.Text()));
    bar->setToolTip(FromLocal8(model.Text()));
  };
  model.SetChangeListener(sync);
  sync();
}

void MainWindowView::BindRadioGroup(ui::TRadioGroup& model, QWidget* parent) {
  auto* box = new QGroupBox(parent);
  bound_.push_back(&model);
  box->setObjectName(QString::fromStdString(model.Name()));
  auto* layout = new QGridLayout(box);
  layout->setContentsMargins(6, 2, 6, 2);
  layout->setSpacing(0);
  auto* buttons = new QButtonGroup(box);
  buttons->setExclusive(false);  // the model owns the selection, also "none"
  const int count = static_cast<int>(model.Items().size());
  const int columns = model.Columns() > 0 ? model.Columns() : 1;
  const int perColumn = (count + columns - 1) / columns;
  for (int i = 0; i < count; ++i) {
    auto* radio = new QRadioButton(FromLocal8(model.Items()[static_cast<std::size_t>(i)]), box);
    radio->setObjectName(QStringLiteral("%1_%2").arg(QString::fromStdString(model.Name())).arg(i));
    radio->setAutoExclusive(false);
    layout->addWidget(radio, i % perColumn, i / perColumn);
    buttons->addButton(radio, i);
  }
  auto sync = [&model, box, buttons] {
    Place(box, model);
    box->setTitle(FromLocal8(model.Caption()));
    for (QAbstractButton* b : buttons->buttons()) {
      const QSignalBlocker block(b);
      b->setChecked(buttons->id(b) == model.ItemIndex());
    }
  };
  model.SetChangeListener(sync);
  sync();
  QObject::connect(buttons, &QButtonGroup::idClicked, this, [this, &model, sync](int id) {
    form_.loop().Guard([&model, id] { model.SetItemIndex(id); });
    sync();
  });
}

}  // namespace nimbrel::qt
