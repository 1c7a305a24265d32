// qvmail: a mail form around the qvSMTP control.
#include <QApplication>

#include "mail_window.hpp"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("qvmail");
  qvmail::MailWindow window;
  window.show();
  return QApplication::exec();
}
