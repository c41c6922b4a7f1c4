// The CU reference fields' focus advance: a typed character moves on, nothing else does.
#include "station/cu_fields.h"
#include "tests/station/station_fixture.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QWidget>
#include <QtTest/QTest>

#include <functional>

namespace kestrel::station::testing {
namespace {

// 24 one-character fields as the window lays them out, with the advance on them.
class CuFieldsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto* row = new QHBoxLayout(&window_);
    for (QLineEdit*& f : fields_) {
      f = new QLineEdit(&window_);
      f->setMaxLength(1);
      row->addWidget(f);
    }
    new CuFieldAdvance(fields_, &window_);
    window_.show();
    window_.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window_));
  }
  // Field n (1-24).
  QLineEdit* F(int n) { return fields_[static_cast<std::size_t>(n - 1)]; }
  void FocusOn(int n) {
    F(n)->setFocus();
    QApplication::processEvents();
    ASSERT_TRUE(F(n)->hasFocus());
  }

  QWidget window_;
  std::array<QLineEdit*, kCuRefLength> fields_{};
};

TEST_F(CuFieldsTest, TypedCharacterMovesToTheNextFieldWithItsTextSelected) {
  struct Case {
    int field;
    const char* before;  // the field's text, all selected
    int focus;           // where the focus ends
  };
  const Case cases[] = {
      {5, "", 6}, {1, "Z", 2}, {23, "", 24},
      {24, "", 24},  // the last field has no next one
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.field);
    for (QLineEdit* f : fields_) f->setText(QStringLiteral("Q"));
    F(c.field)->setText(QString::fromLatin1(c.before));
    FocusOn(c.field);
    F(c.field)->selectAll();
    QTest::keyClick(F(c.field), 'a');
    EXPECT_EQ(F(c.field)->text(), QStringLiteral("a"));
    EXPECT_TRUE(F(c.focus)->hasFocus());
    if (c.focus != c.field) {
      EXPECT_EQ(F(c.focus)->selectedText(), QStringLiteral("Q"));
    }
  }
}

TEST_F(CuFieldsTest, NoMoveWithoutATypedCharacter) {
  struct Case {
    const char* name;
    std::function<void(QLineEdit*)> act;
    const char* text;  // the field's text afterwards
  };
  const Case cases[] = {
      {"paste of two characters", [](QLineEdit* f) { f->paste(); }, "X"},
      {"Ctrl+V", [](QLineEdit* f) { QTest::keyClick(f, Qt::Key_V, Qt::ControlModifier); }, "X"},
      {"text set by the program", [](QLineEdit* f) { f->setText(QStringLiteral("B")); }, "B"},
      {"erased", [](QLineEdit* f) {
         f->setText(QStringLiteral("A"));
         QTest::keyClick(f, Qt::Key_Backspace);
       }, ""},
      // A key into a full field changes nothing; a paste that follows still moves nothing.
      {"key into a full field, then paste", [](QLineEdit* f) {
         f->setText(QStringLiteral("A"));
         f->deselect();
         f->end(false);
         QTest::keyClick(f, 'b');
         f->selectAll();
         f->paste();
       }, "X"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (QLineEdit* f : fields_) f->clear();
    QGuiApplication::clipboard()->setText(QStringLiteral("XY"));
    FocusOn(5);
    c.act(F(5));
    QApplication::processEvents();
    EXPECT_EQ(F(5)->text(), QString::fromLatin1(c.text));
    EXPECT_TRUE(F(5)->hasFocus());
  }
}

// The window's own CU fields carry the advance.
class CuFieldsWindowTest : public StationWindowTest {};

TEST_F(CuFieldsWindowTest, StationWindowFieldsAdvance) {
  Open("[General]\nIMEI1=1\n[Control]\nOperate CURef=1\nUser Privilege=1\nTavixNew=1\n");
  QLineEdit* five = EditOf(ids::kFirstCuRef + 4);
  QLineEdit* six = EditOf(ids::kFirstCuRef + 5);
  ASSERT_NE(five, nullptr);
  ASSERT_NE(six, nullptr);
  six->setText(QStringLiteral("Q"));
  five->setFocus();
  QApplication::processEvents();
  QTest::keyClick(five, 'c');
  QApplication::processEvents();
  EXPECT_EQ(five->text(), QStringLiteral("c"));
  EXPECT_EQ(Focus(), six);
  EXPECT_EQ(six->selectedText(), QStringLiteral("Q"));
  // The 24th field only shows what a read returns.
  EXPECT_TRUE(EditOf(ids::kFirstCuRef + 22)->isEnabled());
  EXPECT_FALSE(EditOf(ids::kFirstCuRef + 23)->isEnabled());
}

}  // namespace
}  // namespace kestrel::station::testing
