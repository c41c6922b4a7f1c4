// Entry point of every test binary: a Qt application object (widgets where the binary needs
// them, on the offscreen platform unless told otherwise), then GoogleTest.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QtGlobal>
#ifdef KESTREL_TEST_WIDGETS
#include <QApplication>
#endif

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
#ifdef KESTREL_TEST_WIDGETS
  QApplication app(argc, argv);
#else
  QCoreApplication app(argc, argv);
#endif
  return RUN_ALL_TESTS();
}
