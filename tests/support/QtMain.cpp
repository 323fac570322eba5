// SPDX-License-Identifier: GPL-3.0-or-later
// GoogleTest entry for the tests of Qt widgets: a QApplication on the
// offscreen platform unless the environment names another, with the tests'
// own configuration folder.
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("XDG_CONFIG_HOME", SORVANE_TEST_CONFIG_HOME);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
