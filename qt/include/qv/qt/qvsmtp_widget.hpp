// The qvSMTP control as a Qt widget: the control created as its class object
// creates it, on the connection core's socket and timer over the thread's
// QtLoop (shared by the controls of one thread) and the system clock, in a
// widget that a form (hand-written, loaded with QUiLoader or compiled with
// uic) can hold.
//
// Thread: the widget and its control live on the thread that created them
// (the GUI thread); every call, signal and notification happens there.
// Nothing throws through Qt: refusals come as automationError, and an
// exception that leaves a slot run from the loop's notifications is reported
// with qWarning by the QtLoop.
//
// Properties keep the control's names. The writable ones send a NOTIFY signal
// when a write is accepted (the control's PropertyChanged). status, Busy and
// StatusStr are set by the mail engine; their NOTIFY signals come after the
// step that changed them has returned. RemoteHostIP, status, XMailer,
// ContentType, Busy and StatusStr refuse writes from outside as the control
// does: the refusal (393 at run time, 394 for StatusStr at design time) is
// reported through automationError and qWarning, and the value stays.
// Protocol, Port and CaFile choose the conversation and its security; a value
// the control does not take (a Protocol other than 0 to 3, a Port outside 0
// to 65535) is refused with 380 the same way. tlsDescription tells what the
// last send agreed once its connection was encrypted.
// UserName, Password, OAuthToken, AuthMechanism and AuthInTheClear
// authenticate the ESMTP conversations (Protocol 1 to 3). Password and
// OAuthToken are write-only: they read as "", are neither designable nor
// stored (a form never holds them; set them in code, from the user), send no
// NOTIFY signal, and the widget keeps no copy of them. An AuthMechanism the
// control does not know is refused with 380.
//
// Events are signals emitted synchronously inside the step that raises them:
// connect them directly (the default for receivers on this thread). SendBody's
// iTag and the final SendComplete's status refer to the control's own storage:
// a slot that assigns them changes BodyEvent or status.
//
// At run time the widget is never shown and takes no room in layouts; at
// design time (Designer) it paints the control's 24 x 22 tile and keeps that
// size.
#pragma once

#include <QDateTime>
#include <QString>
#include <QVariant>
#include <QWidget>
#include <memory>

#include "qv/connection/connection_socket.hpp"
#include "qv/connection/socket_options.hpp"
#include "qv/control/qvsmtp.hpp"
#include "qv/qt/export.hpp"

namespace qv::qt {

class QV_QT_EXPORT QvSmtpWidget : public QWidget {
  Q_OBJECT
  Q_PROPERTY(bool Enabled READ controlEnabled WRITE setControlEnabled NOTIFY EnabledChanged)
  Q_PROPERTY(QString RemoteHost READ RemoteHost WRITE setRemoteHost NOTIFY RemoteHostChanged)
  Q_PROPERTY(QString MailFrom READ MailFrom WRITE setMailFrom NOTIFY MailFromChanged)
  Q_PROPERTY(QVariant Body READ Body WRITE setBody NOTIFY BodyChanged)
  Q_PROPERTY(QString RemoteHostIP READ RemoteHostIP WRITE setRemoteHostIP DESIGNABLE false)
  Q_PROPERTY(QString Subject READ Subject WRITE setSubject NOTIFY SubjectChanged)
  Q_PROPERTY(QDateTime DateHeader READ DateHeader WRITE setDateHeader NOTIFY DateHeaderChanged)
  Q_PROPERTY(QString RcptTo READ RcptTo WRITE setRcptTo NOTIFY RcptToChanged)
  Q_PROPERTY(int status READ status WRITE setStatus NOTIFY statusChanged DESIGNABLE false)
  Q_PROPERTY(QString XMailer READ XMailer WRITE setXMailer DESIGNABLE false)
  Q_PROPERTY(QString Priority READ Priority WRITE setPriority NOTIFY PriorityChanged)
  Q_PROPERTY(QString ContentType READ ContentType WRITE setContentType DESIGNABLE false)
  Q_PROPERTY(bool Busy READ Busy WRITE setBusy NOTIFY BusyChanged DESIGNABLE false)
  Q_PROPERTY(
      QString StatusStr READ StatusStr WRITE setStatusStr NOTIFY StatusStrChanged DESIGNABLE false)
  Q_PROPERTY(int BodyEvent READ BodyEvent WRITE setBodyEvent NOTIFY BodyEventChanged)
  Q_PROPERTY(int Protocol READ Protocol WRITE setProtocol NOTIFY ProtocolChanged)
  Q_PROPERTY(int Port READ Port WRITE setPort NOTIFY PortChanged)
  Q_PROPERTY(QString CaFile READ CaFile WRITE setCaFile NOTIFY CaFileChanged)
  Q_PROPERTY(QString UserName READ UserName WRITE setUserName NOTIFY UserNameChanged)
  Q_PROPERTY(QString Password READ Password WRITE setPassword DESIGNABLE false STORED false)
  Q_PROPERTY(QString OAuthToken READ OAuthToken WRITE setOAuthToken DESIGNABLE false STORED false)
  Q_PROPERTY(
      QString AuthMechanism READ AuthMechanism WRITE setAuthMechanism NOTIFY AuthMechanismChanged)
  Q_PROPERTY(
      bool AuthInTheClear READ AuthInTheClear WRITE setAuthInTheClear NOTIFY AuthInTheClearChanged)
  Q_PROPERTY(QString MessageId READ MessageId WRITE setMessageId DESIGNABLE false STORED false)

 public:
  enum class Mode { RunTime, DesignTime };

  // A new control (Initialize, then InitProperties). RunTime is what a form
  // loaded by the program gets; the Designer plugin creates DesignTime ones.
  // options go to the control's socket, whose constructor refuses a
  // local_host_name that could end the HELO line with AutomationError 380
  // (thrown from here).
  explicit QvSmtpWidget(QWidget* parent = nullptr);
  QvSmtpWidget(Mode mode, QWidget* parent, connection::SocketOptions options = {});
  // Sends Terminate, which closes the connection; no SendComplete follows.
  ~QvSmtpWidget() override;

  bool controlEnabled();
  void setControlEnabled(bool enabled);
  QString RemoteHost() const;
  void setRemoteHost(const QString& value);
  QString MailFrom() const;
  void setMailFrom(const QString& value);
  QVariant Body() const;
  void setBody(const QVariant& value);
  QString RemoteHostIP() const;
  void setRemoteHostIP(const QString& value);
  QString Subject() const;
  void setSubject(const QString& value);
  QDateTime DateHeader() const;
  void setDateHeader(const QDateTime& value);
  QString RcptTo() const;
  void setRcptTo(const QString& value);
  int status() const;
  void setStatus(int value);
  QString XMailer() const;
  void setXMailer(const QString& value);
  QString Priority() const;
  void setPriority(const QString& value);
  QString ContentType() const;
  void setContentType(const QString& value);
  bool Busy() const;
  void setBusy(bool value);
  QString StatusStr() const;
  void setStatusStr(const QString& value);
  int BodyEvent() const;
  // Outside -32768..32767 the write is refused with 6 (overflow).
  void setBodyEvent(int value);
  // The conversation, qv::SmtpProtocol's values: 0 HELO (the default), 1
  // EHLO, 2 EHLO then STARTTLS, required, 3 TLS from the first byte.
  int Protocol() const;
  void setProtocol(int value);
  // The server's port; 0 (the default): 465 for TLS from the first byte,
  // otherwise 25. A relay or a test server on another port is given here.
  int Port() const;
  void setPort(int value);
  // A PEM file of the CAs that the server's certificate is checked against
  // instead of the system's; empty (the default): the system's.
  QString CaFile() const;
  void setCaFile(const QString& value);
  // The user to authenticate as; empty (the default): no AUTH.
  QString UserName() const;
  void setUserName(const QString& value);
  // Secrets: "" when read, whatever was written.
  QString Password() const;
  void setPassword(const QString& value);
  QString OAuthToken() const;
  void setOAuthToken(const QString& value);
  // "" (the default): chosen among what the server offers; "PLAIN", "LOGIN",
  // "XOAUTH2" or "OAUTHBEARER" forces one.
  QString AuthMechanism() const;
  void setAuthMechanism(const QString& value);
  // Credentials may go without TLS to a server on this machine.
  bool AuthInTheClear() const;
  void setAuthInTheClear(bool value);
  // The Message-ID (without angle brackets) of the message the last send
  // wrote, to match a bounce to it: read it in a SendComplete slot. One set
  // before Send serves that message only; each message gets a new one
  // otherwise. Neither designable nor stored, and without NOTIFY: the engine
  // sets it while it writes the message.
  QString MessageId() const;
  void setMessageId(const QString& value);

  // The protocol version and cipher the last send agreed, as the control
  // reports them ("TLSv1.3 TLS_AES_256_GCM_SHA384"); empty until a send's
  // connection is encrypted, and again when the next send starts.
  QString tlsDescription() const;

  // 0: a conversation has started. 1: refused, one is running (SendComplete
  // with 1 has been emitted). -1: the socket refused the request; the number
  // and text came through automationError.
  Q_INVOKABLE int Send();
  // Writes data's text form to the connection as it is, for a SendBody slot.
  // False when the socket refused it (not connected): automationError tells.
  Q_INVOKABLE bool SendData(const QVariant& data);

  bool designTime() const { return mode_ == Mode::DesignTime; }
  QSize sizeHint() const override;
  void setVisible(bool visible) override;

  // The control and its socket, for C++ hosts and tests.
  qvSMTP& control();
  connection::ConnectionSocket& socket();

 signals:
  // The control's events.
  void SendBody(qint16& iTag);
  void SendComplete(qint16& status);
  void DebugMessage(QString& msg);

  // A write or call refused with the control's or socket's error number.
  void automationError(int number, const QString& description);

  void EnabledChanged();
  void RemoteHostChanged();
  void MailFromChanged();
  void BodyChanged();
  void SubjectChanged();
  void DateHeaderChanged();
  void RcptToChanged();
  void PriorityChanged();
  void BodyEventChanged();
  void statusChanged();
  void BusyChanged();
  void StatusStrChanged();
  void ProtocolChanged();
  void PortChanged();
  void CaFileChanged();
  void UserNameChanged();
  void AuthMechanismChanged();
  void AuthInTheClearChanged();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  struct Impl;
  friend struct Impl;
  void Refused(const char* property, const std::exception& error);
  void NotifyEngineChanges();

  Mode mode_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qv::qt
