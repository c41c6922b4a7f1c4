#include "ui/about_box.h"

#include "resources/images/artwork.h"
#include "ui/fonts.h"
#include "ui/stored_bitmap.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

namespace kestrel::ui {
namespace {

constexpr int kTextTop = 100;  // the banner starts this far down (plus the extra height)
constexpr int kExtraLineHeight = 20;
const QColor kBackground(232, 232, 232);
const QColor kNameColour(58, 110, 165);
const QColor kTextColour(80, 80, 80);
const QString kFace = QStringLiteral("MS sans serif");

}  // namespace

AboutVersion SplitProductVersion(const QString& productVersion) {
  QString text = productVersion;
  text.remove(QLatin1Char(' '));
  text.replace(QLatin1Char(','), QLatin1Char('.'));
  const qsizetype dot = text.lastIndexOf(QLatin1Char('.'));
  const QString tail = dot < 0 ? text : text.mid(dot + 1);
  qint64 number = 0;
  for (qsizetype i = 0; i < tail.size() && i < 18 && tail[i].isDigit() && tail[i] < QChar(128);
       ++i) {
    number = number * 10 + tail[i].digitValue();
  }
  AboutVersion result;
  result.version = dot < 0 ? QString() : text.left(dot);
  result.build = QStringLiteral("%1").arg(number, 3, 10, QLatin1Char('0'));
  return result;
}

QString AboutVersionLine(const QString& productVersion, const QString& specialBuild) {
  const AboutVersion v = SplitProductVersion(productVersion);
  QString line = QStringLiteral("Version:        ") + v.version + v.build;
  const QString special = specialBuild.trimmed();
  if (!special.isEmpty()) line += QStringLiteral("_P") + special;
  return line;
}

AboutBox::AboutBox(QWidget* parent, std::optional<QString> extraLine)
    : AboutBox(ReadAboutTexts(), parent, std::move(extraLine)) {}

AboutBox::AboutBox(const AboutTexts& texts, QWidget* parent, std::optional<QString> extraLine)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint),
      extraLine_(std::move(extraLine)),
      extraHeight_(extraLine_ ? kExtraLineHeight : 0),
      icon_(resources::ApplicationIcon()),
      banner_(DecodeStoredBitmap(resources::BannerBitmapFile())) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  Open(texts);
}

void AboutBox::Open(const AboutTexts& texts) {
  const int width = banner_.isNull() ? resources::kBannerWidth : banner_.width();
  const int height = banner_.isNull() ? resources::kBannerHeight : banner_.height();
  setFixedSize(width, height + kTextTop + extraHeight_);

  const AboutVersion v = SplitProductVersion(texts.productVersion);
  version_ = v.version;
  build_ = v.build;
  legal_ = texts.legalCopyright;
  if (productName_.isEmpty()) productName_ = texts.productName;
  specialBuild_ = texts.specialBuild.trimmed();
}

void AboutBox::SetPhoneLibraryLine(const QString& text) {
  library_ = text;
  if (libraryHeight_ == 0) {
    libraryHeight_ = kExtraLineHeight;
    setFixedSize(width(), height() + libraryHeight_);
  }
  update();
}

QString AboutBox::PhoneLibraryLine() const {
  return libraryHeight_ == 0 ? QString() : QStringLiteral("Phone library:  ") + library_;
}

QString AboutBox::VersionLine() const {
  QString line = QStringLiteral("Version:        ") + version_ + build_;
  if (!specialBuild_.isEmpty()) line += QStringLiteral("_P") + specialBuild_;
  return line;
}

void AboutBox::showEvent(QShowEvent* event) {
  // Centred over the whole screen of the station window (a top-level window), otherwise
  // over the owner.
  QWidget* owner = parentWidget();
  QRect area;
  if (owner == nullptr || owner->isWindow()) {
    QScreen* screen = owner ? owner->screen() : QGuiApplication::primaryScreen();
    if (screen) area = screen->geometry();
  } else {
    area = QRect(owner->mapToGlobal(QPoint(0, 0)), owner->size());
  }
  if (area.isValid()) move(area.center() - rect().center());
  QDialog::showEvent(event);
}

void AboutBox::paintEvent(QPaintEvent* /*event*/) {
  QPainter p(this);
  p.fillRect(rect(), kBackground);
  if (!banner_.isNull()) {
    p.drawImage(
        QPoint(0, kTextTop + extraHeight_ + libraryHeight_), banner_,
        QRect(0, 0, std::min(width(), banner_.width()), std::min(height(), banner_.height())));
  }
  icon_.paint(&p, QRect(20, 35, 32, 32));

  const int flags = Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine;
  if (!productName_.isEmpty()) {
    p.setFont(FaceFont(kFace, 30, 700));
    p.setPen(kNameColour);
    p.drawText(QRect(70, 20, width() - 70, 34), flags, productName_);
  }
  p.setFont(FaceFont(kFace, 12, 400));
  p.setPen(kTextColour);
  if (extraLine_) {
    p.drawText(QRect(75, 60, width() - 75, 16), flags,
               QStringLiteral("MS Version:  ") + *extraLine_);
  }
  p.drawText(QRect(75, 60 + extraHeight_, width() - 75, 16), flags, VersionLine());
  p.drawText(QRect(75, 80 + extraHeight_, width() - 75, 16), flags, legal_);
  if (libraryHeight_ != 0) {
    p.drawText(QRect(75, 100 + extraHeight_, width() - 75, 16), flags, PhoneLibraryLine());
  }
}

void AboutBox::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    accept();
    return;
  }
  QDialog::mousePressEvent(event);
}

void AboutBox::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace kestrel::ui
