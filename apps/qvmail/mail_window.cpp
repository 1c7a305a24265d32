#include "mail_window.hpp"

#include <QFileDialog>
#include <QFileInfo>
#include <QStatusBar>
#include <iterator>

#include "qv/control/protocol.hpp"
#include "qv/qt/qvsmtp_widget.hpp"
#include "ui_mail_window.h"

namespace qvmail {

namespace {

// The security choices, in the order of the form's list: the conversation
// each one asks of the control and the port such servers usually listen on.
struct SecurityChoice {
  qv::SmtpProtocol protocol;
  int port;
};

constexpr SecurityChoice kSecurityChoices[] = {
    {qv::SmtpProtocol::kHelo, 25},
    {qv::SmtpProtocol::kEsmtp, 25},
    {qv::SmtpProtocol::kStartTls, 587},  // submission
    {qv::SmtpProtocol::kImplicitTls, 465},
};

const SecurityChoice& ChoiceAt(int index) {
  return kSecurityChoices[index >= 0 && index < static_cast<int>(std::size(kSecurityChoices))
                              ? index
                              : 0];
}

bool Encrypted(const SecurityChoice& choice) {
  return choice.protocol == qv::SmtpProtocol::kStartTls ||
         choice.protocol == qv::SmtpProtocol::kImplicitTls;
}

}  // namespace

QString TransparentBody(const QString& text) {
  QString out;
  out.reserve(text.size() + text.size() / 32);
  bool line_start = true;
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text[i];
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;  // CR LF: one end
    if (c == '\n' || c == '\r') {
      out += QStringLiteral("\r\n");
      line_start = true;
      continue;
    }
    if (line_start && c == '.') out += '.';
    out += c;
    line_start = false;
  }
  return out;
}

MailWindow::MailWindow(QWidget* parent)
    : QMainWindow(parent),
      ui_(std::make_unique<Ui::MailWindow>()),
      code_label_(new QLabel(this)),
      text_label_(new QLabel(this)),
      security_label_(new QLabel(this)),
      message_id_label_(new QLabel(this)),
      wait_label_(new QLabel(this)) {
  ui_->setupUi(this);
  Q_ASSERT(ui_->securityCombo->count() == static_cast<int>(std::size(kSecurityChoices)));
  statusBar()->addWidget(code_label_);
  statusBar()->addWidget(text_label_, 1);
  statusBar()->addPermanentWidget(security_label_);
  // Plain text: an id in angle brackets must not be taken for markup. The
  // user copies it to search a bounce for it.
  message_id_label_->setTextFormat(Qt::PlainText);
  message_id_label_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  message_id_label_->setToolTip(tr("Message-ID of the message sent"));
  statusBar()->addPermanentWidget(message_id_label_);
  statusBar()->addPermanentWidget(wait_label_);
  ui_->progressBar->setRange(0, 100);
  ui_->progressBar->setValue(0);

  qv::qt::QvSmtpWidget& c = control();
  connect(ui_->sendButton, &QPushButton::clicked, this, &MailWindow::Send);
  connect(ui_->securityCombo, &QComboBox::currentIndexChanged, this, &MailWindow::ChooseSecurity);
  connect(ui_->caFileButton, &QToolButton::clicked, this, &MailWindow::ChooseCaFile);
  ChooseSecurity(ui_->securityCombo->currentIndex());
  connect(&c, &qv::qt::QvSmtpWidget::BusyChanged, this, &MailWindow::ShowBusy);
  connect(&c, &qv::qt::QvSmtpWidget::DebugMessage, this,
          [this](QString& msg) { ui_->logView->appendPlainText(msg); });
  connect(&c, &qv::qt::QvSmtpWidget::SendBody, this, &MailWindow::WriteBody);
  connect(&c, &qv::qt::QvSmtpWidget::SendComplete, this, &MailWindow::Complete);
  connect(&c, &qv::qt::QvSmtpWidget::automationError, this,
          [this](int number, const QString& text) {
            ui_->logView->appendPlainText(tr("Error %1: %2").arg(number).arg(text));
          });
  progress_timer_.setInterval(100);
  connect(&progress_timer_, &QTimer::timeout, this, &MailWindow::UpdateProgress);
}

MailWindow::~MailWindow() = default;

qv::qt::QvSmtpWidget& MailWindow::control() { return *ui_->qvSMTP1; }
Ui::MailWindow& MailWindow::ui() { return *ui_; }

void MailWindow::Send() {
  qv::qt::QvSmtpWidget& c = control();
  const SecurityChoice& security = ChoiceAt(ui_->securityCombo->currentIndex());
  c.setProtocol(static_cast<int>(security.protocol));
  c.setPort(ui_->portSpin->value());
  // Only an encrypted conversation checks certificates; a file chosen for one
  // is kept in the field but not given for the others.
  c.setCaFile(Encrypted(security) ? ui_->caFileEdit->text().trimmed() : QString());
  // Credentials go to the server only over TLS; without it the control is
  // given none, and the fields keep what was typed for the next TLS send.
  const QString user = Encrypted(security) ? ui_->userEdit->text().trimmed() : QString();
  c.setUserName(user);
  c.setPassword(user.isEmpty() ? QString() : ui_->passwordEdit->text());
  c.setRemoteHost(ui_->serverEdit->text().trimmed());
  c.setMailFrom(ui_->senderEdit->text().trimmed());
  c.setRcptTo(ui_->recipientsEdit->text());
  c.setSubject(ui_->subjectEdit->text());
  c.setDateHeader(QDateTime::currentDateTime());
  // The control keeps the last id it wrote: emptied here, it holds one after
  // this send only if this send wrote its message (each message gets a new id).
  c.setMessageId(QString());
  const QString body = ui_->bodyEdit->toPlainText();
  streamed_body_.clear();
  body_written_ = false;
  if (static_cast<std::size_t>(body.toUtf8().size()) > kStreamedBodyBytes) {
    // The same text the control writes for a Body: the body, then a line end.
    streamed_body_ = (TransparentBody(body) + QStringLiteral("\r\n")).toUtf8();
    c.setBody(QString());
    c.setBodyEvent(1);
  } else {
    c.setBody(body);
    c.setBodyEvent(0);
  }
  ui_->logView->clear();
  ui_->progressBar->setValue(0);
  code_label_->clear();
  security_label_->clear();
  message_id_label_->clear();
  text_label_->setText(tr("Sending..."));
  send_clock_.start();
  if (c.Send() == 0) progress_timer_.start();
}

// The port follows the choice while it still holds the previous choice's
// usual port; a port the user typed stays. The CA file matters only when
// there is a certificate to check, the user and password only when TLS
// protects them.
void MailWindow::ChooseSecurity(int index) {
  const SecurityChoice& previous = ChoiceAt(security_index_);
  const SecurityChoice& chosen = ChoiceAt(index);
  if (ui_->portSpin->value() == previous.port) ui_->portSpin->setValue(chosen.port);
  security_index_ = index;
  const bool encrypted = Encrypted(chosen);
  ui_->caFileLabel->setEnabled(encrypted);
  ui_->caFileEdit->setEnabled(encrypted);
  ui_->caFileButton->setEnabled(encrypted);
  ui_->userLabel->setEnabled(encrypted);
  ui_->userEdit->setEnabled(encrypted);
  ui_->passwordLabel->setEnabled(encrypted);
  ui_->passwordEdit->setEnabled(encrypted);
}

void MailWindow::ChooseCaFile() {
  const QString current = ui_->caFileEdit->text().trimmed();
  const QString file = QFileDialog::getOpenFileName(
      this, tr("Certificate authorities to trust"),
      current.isEmpty() ? QString() : QFileInfo(current).absolutePath(),
      tr("PEM certificates (*.pem *.crt);;All files (*)"));
  if (!file.isEmpty()) ui_->caFileEdit->setText(file);
}

void MailWindow::WriteBody(qint16&) {
  // Queued in the socket without blocking; UpdateProgress follows it out.
  control().SendData(QString::fromUtf8(streamed_body_));
  body_written_ = true;
}

void MailWindow::Complete(qint16& status) {
  code_label_->setText(QString::number(status));
  text_label_->setText(control().StatusStr().trimmed());
  // Also after a failure that came once the connection was encrypted: the
  // user sees that the refusal itself travelled protected.
  security_label_->setText(control().tlsDescription());
  // Also when the server refused what it was sent: a bounce or a log entry
  // may still name this id.
  const QString id = control().MessageId();
  message_id_label_->setText(id.isEmpty() ? QString() : '<' + id + '>');
  if (status == 0) ui_->progressBar->setValue(100);
}

void MailWindow::ShowBusy() {
  const bool busy = control().Busy();
  ui_->sendButton->setEnabled(!busy);
  if (!busy) {
    progress_timer_.stop();
    wait_label_->clear();
  }
}

void MailWindow::UpdateProgress() {
  wait_label_->setText(tr("%1 s").arg(send_clock_.elapsed() / 1000.0, 0, 'f', 1));
  if (!body_written_) return;
  // What the socket still holds of the body (the end-of-data line and QUIT
  // are a few bytes on top) tells how much of it has left the program.
  const auto total = static_cast<double>(streamed_body_.size());
  const auto queued = static_cast<double>(control().socket().BytesQueued());
  ui_->progressBar->setValue(static_cast<int>(100.0 * (total - std::min(queued, total)) / total));
}

}  // namespace qvmail
