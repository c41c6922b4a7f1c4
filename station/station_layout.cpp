// The station window's controls: the command row, the frame with the identity fields, the
// result label and counters, the AP version, secure-boot and CU-reference fields, and the
// status row with the port indicator. Each control carries its id as property "controlId".
#include "station/control_ids.h"
#include "station/station_controller.h"
#include "ui/colour_label.h"
#include "ui/countdown_bar.h"
#include "ui/fonts.h"

#include "resources/string_table.h"

#include <QAction>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

namespace kestrel::station {
namespace {

constexpr char kIdProperty[] = "controlId";

template <typename W>
W* Tag(W* widget, int id) {
  widget->setProperty(kIdProperty, id);
  widget->setObjectName(QStringLiteral("control%1").arg(id));
  return widget;
}

QPushButton* Button(const QString& text, int id, QWidget* parent) {
  auto* b = Tag(new QPushButton(text, parent), id);
  // Enter must never click a button: the scanner's terminating key is handled by OnKeyDown.
  b->setAutoDefault(false);
  b->setDefault(false);
  b->setMinimumWidth(84);
  return b;
}

QLineEdit* SmallEdit(int id, QWidget* parent, int width) {
  auto* e = Tag(new QLineEdit(parent), id);
  e->setFixedWidth(width);
  e->setAlignment(Qt::AlignCenter);
  return e;
}

}  // namespace

void StationController::BuildControls() {
  StationControls& c = controls_;
  // The window's own font; every control without a font of its own takes it.
  setFont(ui::DialogFont(QStringLiteral("VERDANA"), 13));
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(10, 6, 10, 8);
  outer->setSpacing(8);

  // The window's own menu carries the About item of the system menu (command 16).
  c.menuBar = new QMenuBar(this);
  outer->setMenuBar(c.menuBar);

  // Command row: port choice, then the commands as an operator uses them, Help at the end.
  auto* commands = new QHBoxLayout;
  commands->setSpacing(6);
  c.portList = Tag(new QComboBox(this), ids::kPortList);
  c.portList->setMinimumWidth(110);
  c.mode = Button(QStringLiteral("בחירת מצב"), ids::kMode, this);
  c.setting = Button(QStringLiteral("קביעה"), ids::kSetting, this);
  c.read = Button(QStringLiteral("קריאה"), ids::kRead, this);
  c.stop = Button(QStringLiteral("עצירה"), ids::kStop, this);
  c.write = Button(QStringLiteral("כתיבה"), ids::kWrite, this);
  c.help = Button(QStringLiteral("Help"), ids::kHelp, this);
  commands->addWidget(c.portList);
  commands->addWidget(c.mode);
  commands->addWidget(c.setting);
  commands->addSpacing(12);
  commands->addWidget(c.read);
  commands->addWidget(c.stop);
  commands->addWidget(c.write);
  commands->addStretch(1);
  commands->addWidget(c.help);
  outer->addLayout(commands);

  // The frame behind the identity fields and the result.
  c.frame = Tag(new QFrame(this), ids::kFrame);
  c.frame->setFrameShape(QFrame::StyledPanel);
  c.frame->setFrameShadow(QFrame::Sunken);
  // Inside it: the identity fields on the left (the serial numbers last, so that they can go
  // without leaving a gap), the result column on the right, the CU reference across the foot.
  auto* frameLayout = new QVBoxLayout(c.frame);
  frameLayout->setContentsMargins(10, 10, 10, 10);
  frameLayout->setSpacing(8);
  auto* columns = new QHBoxLayout;
  columns->setSpacing(12);
  auto* grid = new QGridLayout;
  grid->setHorizontalSpacing(10);
  grid->setVerticalSpacing(6);
  auto* right = new QVBoxLayout;
  right->setSpacing(6);

  static const struct {
    IdentityField field;
    int id;
    const char* label;
    int labelId;
  } kFields[] = {
      {IdentityField::IMEI1, ids::kImei1, "IMEI1", 0},
      {IdentityField::IMEI2, ids::kImei2, "IMEI2", 0},
      {IdentityField::IMEI3, ids::kImei3, "IMEI3", 0},
      {IdentityField::IMEI4, ids::kImei4, "IMEI4", 0},
      {IdentityField::BT, ids::kBluetooth, "BT", 0},
      {IdentityField::WIFI, ids::kWifi, "WIFI", 0},
      {IdentityField::SN1, ids::kSn1, "SN1", ids::kSn1Label},
      {IdentityField::SN2, ids::kSn2, "SN2", ids::kSn2Label},
  };
  for (const auto& f : kFields) {
    const int row = static_cast<int>(f.field);
    auto* label = new QLabel(QString::fromLatin1(f.label), c.frame);
    if (f.labelId != 0) Tag(label, f.labelId);
    auto* edit = Tag(new QLineEdit(c.frame), f.id);
    edit->setLayoutDirection(Qt::LeftToRight);
    edit->setMinimumWidth(300);
    // IMEI edits hold at most 15 characters and the address edits 12; the serial numbers are
    // cut by their change handler instead.
    if (row <= static_cast<int>(IdentityField::IMEI4)) edit->setMaxLength(15);
    if (f.field == IdentityField::BT || f.field == IdentityField::WIFI) edit->setMaxLength(12);
    label->setBuddy(edit);
    c.identity[static_cast<std::size_t>(row)] = edit;
    c.identityLabels[static_cast<std::size_t>(row)] = label;
    grid->addWidget(label, row, 0);
    grid->addWidget(edit, row, 1);
  }

  // Right of the fields: the result, the counters, the AP version and the secure-boot data.
  c.result = Tag(new ui::ColourLabel(c.frame), ids::kResult);
  c.result->setText(QStringLiteral("PASS"));
  c.result->setAlignment(Qt::AlignCenter);
  c.result->setWordWrap(true);
  c.result->setMinimumSize(320, 100);
  c.result->setFrameShape(QFrame::Panel);
  c.result->setFrameShadow(QFrame::Sunken);
  c.result->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  right->addWidget(c.result, 1);
  c.countdown = Tag(new ui::CountdownBar(c.frame), ids::kCountdown);
  right->addWidget(c.countdown);

  auto* counters = new QHBoxLayout;
  counters->setSpacing(6);
  c.passCount = Tag(new ui::ColourLabel(c.frame), ids::kPassCount);
  c.failCount = Tag(new ui::ColourLabel(c.frame), ids::kFailCount);
  c.yield = Tag(new ui::ColourLabel(c.frame), ids::kYield);
  for (ui::ColourLabel* l : {c.passCount, c.failCount, c.yield}) {
    l->setAlignment(Qt::AlignCenter);
    l->setFrameShape(QFrame::Panel);
    l->setFrameShadow(QFrame::Sunken);
    l->setMinimumHeight(28);
    QFont bold = l->font();
    bold.setBold(true);
    l->setFont(bold);
    counters->addWidget(l, 1);
  }
  right->addLayout(counters);

  c.apVersion = Tag(new QPlainTextEdit(c.frame), ids::kApVersion);
  c.apVersion->setLayoutDirection(Qt::LeftToRight);
  c.apVersion->setPlaceholderText(QStringLiteral("AP version"));
  c.apVersion->setFixedHeight(c.identity[0]->sizeHint().height());
  c.apVersion->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  right->addWidget(c.apVersion);

  auto* uidRow = new QHBoxLayout;
  c.uidLabel = Tag(new QLabel(QStringLiteral("UID"), c.frame), ids::kUidLabel);
  c.uidLabel->setMinimumWidth(44);
  uidRow->addWidget(c.uidLabel);
  for (std::size_t i = 0; i < c.uid.size(); ++i) {
    c.uid[i] = Tag(new QLineEdit(c.frame), ids::kUid1 + static_cast<int>(i));
    uidRow->addWidget(c.uid[i], 1);
  }
  right->addLayout(uidRow);
  auto* hashRow = new QHBoxLayout;
  c.hashLabel = Tag(new QLabel(QStringLiteral("HASH"), c.frame), ids::kHashLabel);
  c.hashLabel->setMinimumWidth(44);
  hashRow->addWidget(c.hashLabel);
  for (std::size_t i = 0; i < c.hash.size(); ++i) {
    c.hash[i] = Tag(new QLineEdit(c.frame), ids::kHash1 + static_cast<int>(i));
    hashRow->addWidget(c.hash[i], 1);
  }
  right->addLayout(hashRow);

  // CU reference: 24 one-character boxes across the frame.
  auto* cuRow = new QHBoxLayout;
  cuRow->setSpacing(3);
  c.cuRefLabel = new QLabel(QStringLiteral("CU Ref"), c.frame);
  cuRow->addWidget(c.cuRefLabel);
  cuRow->addSpacing(6);
  for (std::size_t i = 0; i < c.cuRef.size(); ++i) {
    c.cuRef[i] = SmallEdit(ids::kFirstCuRef + static_cast<int>(i), c.frame, 24);
    c.cuRef[i]->setMaxLength(1);
    cuRow->addWidget(c.cuRef[i]);
    if (i % 4 == 3 && i + 1 < c.cuRef.size()) cuRow->addSpacing(5);
  }
  cuRow->addStretch(1);
  grid->setRowStretch(kIdentityFieldCount, 1);  // the fields keep to the top
  columns->addLayout(grid);
  columns->addLayout(right, 1);
  frameLayout->addLayout(columns, 1);
  frameLayout->addLayout(cuRow);
  outer->addWidget(c.frame, 1);

  // Status row below the frame.
  auto* status = new QHBoxLayout;
  c.statusLine = Tag(new QLabel(this), ids::kStatusLine);
  c.statusLine->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  c.statusLine->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  c.portIndicator = Tag(new ui::ColourLabel(this), ids::kPortIndicator);
  c.portIndicator->setFixedSize(96, 30);
  c.portIndicator->setFrameShape(QFrame::Panel);
  c.portIndicator->setFrameShadow(QFrame::Sunken);
  c.portIndicator->setAlignment(Qt::AlignCenter);
  status->addWidget(c.statusLine, 1);
  status->addWidget(c.portIndicator);
  outer->addLayout(status);
}

void StationController::ApplyFonts() {
  const QFont identityFont = ui::FaceFont(QStringLiteral("Arial"), 25, 700);
  for (QLineEdit* e : controls_.identity) e->setFont(identityFont);
  const int resultHeight =
      settings_.WriteSN == 0 ? settings_.DisplayLabFontSize1 : settings_.DisplayLabFontSize2;
  controls_.result->setFont(ui::FaceFont(QStringLiteral("SIMHEI"), resultHeight, 700));
  controls_.portIndicator->setFont(ui::FaceFont(QStringLiteral("Dotum"), 25, 700));
  // The AP edit matches the identity rows once their font is set.
  controls_.apVersion->setFixedHeight(controls_.identity[0]->sizeHint().height());
}

void StationController::RunLayoutNow() {
  // The frame's layout (its size), the window's (placing the frame), the frame's again
  // (placing the fields in the frame's new geometry).
  for (QLayout* l : {controls_.frame->layout(), layout(), controls_.frame->layout()}) {
    l->invalidate();
    l->activate();
  }
}

void StationController::CollapseSerialNumberRows() {
  // h: from the top of SN1 to the bottom of SN2, as laid out with the rows shown. The window
  // is not shown yet, so the layout is run by hand.
  RunLayoutNow();
  QLineEdit* sn1 = Edit(IdentityField::SN1);
  QLineEdit* sn2 = Edit(IdentityField::SN2);
  const int h = sn2->geometry().bottom() - sn1->geometry().top() + 1;
  const QSize before = size();
  sn1->hide();
  sn2->hide();
  controls_.identityLabels[static_cast<std::size_t>(IdentityField::SN1)]->hide();
  controls_.identityLabels[static_cast<std::size_t>(IdentityField::SN2)]->hide();
  RunLayoutNow();
  // The window keeps its width, loses h in height and goes to the top-left corner.
  resize(before.width(), std::max(before.height() - h, minimumSizeHint().height()));
  if (QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen()) {
    move(s->availableGeometry().topLeft());
  }
}

}  // namespace kestrel::station
