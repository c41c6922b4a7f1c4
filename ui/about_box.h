// AboutBox: the borderless, self-painted box that shows the banner, the application icon, the
// product name, the version and the copyright of the program's version block. A left click
// anywhere (or Escape / Enter) closes it.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QImage>
#include <QString>

#include <optional>

namespace kestrel::ui {

// What the box shows from the version block.
struct AboutTexts {
  QString productName;
  QString productVersion;  // as stored, e.g. "2, 1, 0, 7"
  QString legalCopyright;
  QString specialBuild;
};

// The version block of the running executable, as the box reads it when it opens. Missing
// block or translation: every text empty.
AboutTexts ReadAboutTexts();

// The version and build parts of a product version: blanks removed, commas turned into
// dots, split at the last dot; the build is the leading digits after that dot (0 when none)
// as "%03d". Without a dot the version part is empty and the whole text is read as the build.
struct AboutVersion {
  QString version;
  QString build;
};
AboutVersion SplitProductVersion(const QString& productVersion);

// "Version:        " + version + build, with "_P" + the special build when that is not blank.
QString AboutVersionLine(const QString& productVersion, const QString& specialBuild);

class AboutBox : public QDialog {
  Q_OBJECT

 public:
  // `extraLine`, when given, is shown as "MS Version:  %s" above the version line and makes
  // the box 20 pixels taller. The station window opens the box without it.
  explicit AboutBox(QWidget* parent = nullptr, std::optional<QString> extraLine = std::nullopt);
  // For tests and other callers that already hold the texts.
  AboutBox(const AboutTexts& texts, QWidget* parent = nullptr,
           std::optional<QString> extraLine = std::nullopt);

  // Adds the line "Phone library:  " + `text` below the copyright (the box grows by 20 pixels);
  // the station window shows the loaded phone library's name and version there.
  void SetPhoneLibraryLine(const QString& text);
  QString PhoneLibraryLine() const;

  const QImage& Banner() const { return banner_; }
  QString VersionLine() const;
  const QString& LegalText() const { return legal_; }
  const QString& ProductName() const { return productName_; }
  int ExtraHeight() const { return extraHeight_ + libraryHeight_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void Open(const AboutTexts& texts);

  std::optional<QString> extraLine_;
  int extraHeight_ = 0;
  QString library_;
  int libraryHeight_ = 0;
  QIcon icon_;
  QImage banner_;
  QString version_;
  QString build_;
  QString legal_;
  QString productName_;
  QString specialBuild_;
};

}  // namespace kestrel::ui
