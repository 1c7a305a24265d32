// A Qt program outside the project that uses the installed Qt host: sends one
// message through the control as a widget, on the application's own event
// loop, to a loopback SMTP server on the port given, and exits with the
// control's outcome (0 for success; 99 when no outcome came).
#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "qv/qt/qvsmtp_widget.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: qt_host PORT\n");
    return 64;
  }
  const int port = std::atoi(argv[1]);
  QApplication app(argc, argv);
  qv::qt::QvSmtpWidget mail;
  int outcome = 99;
  QObject::connect(&mail, &qv::qt::QvSmtpWidget::SendComplete, [&](qint16& status) {
    outcome = status;
    // Queued: the outcome may come before exec has started.
    QTimer::singleShot(0, &app, &QCoreApplication::quit);
  });
  QObject::connect(&mail, &qv::qt::QvSmtpWidget::automationError,
                   [&](int number, const QString& text) {
                     std::fprintf(stderr, "error %d: %s\n", number, qPrintable(text));
                     QTimer::singleShot(0, &app, &QCoreApplication::quit);
                   });
  QTimer::singleShot(30000, &app, &QCoreApplication::quit);
  mail.setPort(static_cast<quint16>(port));
  mail.setRemoteHost("127.0.0.1");
  mail.setMailFrom("consumer@example.com");
  mail.setRcptTo("sink@example.com");
  mail.setSubject("Qt consumer check");
  mail.setBody(QString("Sent by a Qt program built against the installed library."));
  if (mail.Send() != 0) return 98;
  QApplication::exec();
  std::printf("status %d: %s\n", outcome, qPrintable(mail.StatusStr()));
  return outcome;
}
