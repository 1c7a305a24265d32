// What the X server shows of a form's window, saved in the build tree.
#pragma once

#include <QDir>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QString>
#include <QTest>
#include <QWidget>

namespace qv::qt::test_support {

inline bool SaveScreenshot(const QWidget& w, const QString& name) {
  QTest::qWait(50);  // let the last changes paint
  const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(
      0, 0, 0, w.frameGeometry().right() + 1, w.frameGeometry().bottom() + 1);
  QDir().mkpath(QV_SCREENSHOT_DIR);
  return shot.save(QString(QV_SCREENSHOT_DIR) + "/" + name);
}

}  // namespace qv::qt::test_support
