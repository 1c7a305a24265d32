// The mail form: fields for the message and for how the server is reached (its
// security, port and CAs, and the user and password to log in with over
// TLS), a Send button, the conversation's log, a progress
// bar for long bodies and the outcome in the status bar, with the protocol
// and cipher when the connection was encrypted and the Message-ID of the
// message written. All of it runs on the GUI thread; the control never
// blocks it.
#pragma once

#include <QElapsedTimer>
#include <QLabel>
#include <QMainWindow>
#include <QTimer>
#include <cstddef>
#include <memory>

namespace Ui {
class MailWindow;
}

namespace qv::qt {
class QvSmtpWidget;
}

namespace qvmail {

class MailWindow : public QMainWindow {
  Q_OBJECT

 public:
  // Bodies larger than this (in UTF-8 bytes) are written from SendBody, with
  // the progress bar following them out of the program.
  static constexpr std::size_t kStreamedBodyBytes = 64 * 1024;

  explicit MailWindow(QWidget* parent = nullptr);
  ~MailWindow() override;

  qv::qt::QvSmtpWidget& control();
  Ui::MailWindow& ui();
  // The status bar's two parts: the outcome code and its text.
  QString statusCode() const { return code_label_->text(); }
  QString statusText() const { return text_label_->text(); }
  // The status bar's encryption part: what the last send's TLS agreed
  // ("TLSv1.3 TLS_AES_256_GCM_SHA384"), empty when it was not encrypted.
  QString statusSecurity() const { return security_label_->text(); }
  // The status bar's Message-ID part: "<id>" as the message's header carries
  // it, for matching a bounce to the message; empty when the last send ended
  // before the message was written.
  QString statusMessageId() const { return message_id_label_->text(); }

 private slots:
  void Send();
  void ChooseSecurity(int index);
  void ChooseCaFile();

 private:
  void WriteBody(qint16& iTag);
  void Complete(qint16& status);
  void ShowBusy();
  void UpdateProgress();

  std::unique_ptr<Ui::MailWindow> ui_;
  QLabel* code_label_;
  QLabel* text_label_;
  QLabel* security_label_;
  QLabel* message_id_label_;
  QLabel* wait_label_;
  QTimer progress_timer_;
  QElapsedTimer send_clock_;
  QByteArray streamed_body_;  // the body of the running send, when streamed
  bool body_written_ = false;
  int security_index_ = 0;  // the security choice the port field follows
};

// A body as the mail's data section must carry it when the host writes it
// itself: line ends as CR LF, and a dot at the start of a line doubled.
QString TransparentBody(const QString& text);

}  // namespace qvmail
