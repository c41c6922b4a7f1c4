// Placeholder start-up until the application object exists.
#include <QApplication>
#include <QDialog>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QDialog window;
  window.setWindowTitle(QStringLiteral("Kestrel R"));
  return window.exec();
}
