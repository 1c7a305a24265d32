#include "qv/qt/qvsmtp_widget.hpp"

#include <QImage>
#include <QPainter>
#include <QResizeEvent>
#include <algorithm>
#include <limits>
#include <memory>
#include <utility>

#include "qv/component/bitmap.hpp"
#include "qv/component/factory.hpp"
#include "qv/connection/delivery_gate.hpp"
#include "qv/connection/tick_timer.hpp"
#include "qv/core/automation_error.hpp"
#include "qv/host/clock.hpp"
#include "qv/qt/conversions.hpp"
#include "qv/qt/qt_loop.hpp"

namespace qv::qt {

namespace {

// The control sizes itself in twips; a pixel is 15 twips, as its tile is drawn.
constexpr Long kTwipsPerPixel = 15;

QImage TileImage() {
  const component::Image4 picture = component::DesignTimePicture();
  QImage image(picture.width, picture.height, QImage::Format_RGB32);
  for (int y = 0; y < picture.height; ++y) {
    for (int x = 0; x < picture.width; ++x) {
      const component::Rgb rgb =
          picture.palette[picture.indexes[static_cast<std::size_t>(y * picture.width + x)]];
      image.setPixel(x, y, 0xFF000000u | rgb);
    }
  }
  return image;
}

// A secret's UTF-16 copy made for the control, overwritten once handed over.
void Overwrite(String& text) {
  volatile char16_t* p = text.data();
  for (std::size_t i = 0; i < text.size(); ++i) p[i] = u'\0';
  text.clear();
}

}  // namespace

struct QvSmtpWidget::Impl final : ComponentHost, qvSMTPEvents {
  Impl(QvSmtpWidget& w, connection::SocketOptions options)
      : widget(w),
        loop(QtLoop::ForThisThread()),
        gate(*loop),
        socket(*loop, gate, std::move(options)),
        timer(*loop, gate) {}

  // --- ComponentHost ---
  Boolean UserMode() override { return MakeBoolean(!widget.designTime()); }
  void PropertyChanged(std::u16string_view name) override {
    using Signal = void (QvSmtpWidget::*)();
    static const std::pair<std::u16string_view, Signal> kNotices[] = {
        {u"Enabled", &QvSmtpWidget::EnabledChanged},
        {u"RemoteHost", &QvSmtpWidget::RemoteHostChanged},
        {u"MailFrom", &QvSmtpWidget::MailFromChanged},
        {u"Body", &QvSmtpWidget::BodyChanged},
        {u"Subject", &QvSmtpWidget::SubjectChanged},
        {u"DateHeader", &QvSmtpWidget::DateHeaderChanged},
        {u"RcptTo", &QvSmtpWidget::RcptToChanged},
        {u"Priority", &QvSmtpWidget::PriorityChanged},
        {u"BodyEvent", &QvSmtpWidget::BodyEventChanged},
        {u"Protocol", &QvSmtpWidget::ProtocolChanged},
        {u"Port", &QvSmtpWidget::PortChanged},
        {u"CaFile", &QvSmtpWidget::CaFileChanged},
        {u"UserName", &QvSmtpWidget::UserNameChanged},
        {u"AuthMechanism", &QvSmtpWidget::AuthMechanismChanged},
        {u"AuthInTheClear", &QvSmtpWidget::AuthInTheClearChanged},
    };
    for (const auto& [key, signal] : kNotices) {
      if (key == name) emit(widget.*signal)();
    }
  }
  // The widget's own enabled flag, so that a form compiled by uic (which
  // calls QWidget::setEnabled for "Enabled") and one loaded by QUiLoader
  // (which goes through the control) keep the same state.
  Boolean Enabled() override { return MakeBoolean(!widget.testAttribute(Qt::WA_ForceDisabled)); }
  void SetEnabled(Boolean value) override { widget.QWidget::setEnabled(value != kFalse); }
  void SetWidth(Long twips) override {
    widget.setFixedWidth(static_cast<int>(twips / kTwipsPerPixel));
  }
  void SetHeight(Long twips) override {
    widget.setFixedHeight(static_cast<int>(twips / kTwipsPerPixel));
  }
  std::string ErrorText(Long number) override { return DefaultErrorText(number); }

  // --- qvSMTPEvents: emitted in the raising step ---
  void SendBody(Integer& iTag) override { emit widget.SendBody(iTag); }
  void SendComplete(Integer& status) override { emit widget.SendComplete(status); }
  void DebugMessage(String& msg) override {
    QString text = ToQString(msg);
    emit widget.DebugMessage(text);
  }

  QvSmtpWidget& widget;
  // Declared first, so that it goes last: the services below run on it.
  std::shared_ptr<QtLoop> loop;
  connection::DeliveryGate gate;
  connection::ConnectionSocket socket;
  connection::TickTimer timer;
  SystemClock clock;
  std::unique_ptr<component::ControlObject> object;
  // What the NOTIFY signals of the engine's properties last reported.
  Integer seen_status = 0;
  Boolean seen_busy = kFalse;
  String seen_status_str;
};

QvSmtpWidget::QvSmtpWidget(QWidget* parent) : QvSmtpWidget(Mode::RunTime, parent) {}

QvSmtpWidget::QvSmtpWidget(Mode mode, QWidget* parent, connection::SocketOptions options)
    : QWidget(parent), mode_(mode), impl_(std::make_unique<Impl>(*this, std::move(options))) {
  if (mode_ == Mode::RunTime) QWidget::setVisible(false);
  impl_->object = component::CreateQvSmtp(impl_->socket, impl_->timer, impl_->clock, *impl_);
  qvSMTP& c = control();
  c.InitProperties();
  c.Advise(impl_.get());
  impl_->seen_status = c.get_status();
  impl_->seen_busy = c.get_Busy();
  impl_->seen_status_str = c.get_StatusStr();
  impl_->gate.SetAfterDelivery([this] { NotifyEngineChanges(); });
}

QvSmtpWidget::~QvSmtpWidget() {
  impl_->gate.SetAfterDelivery(nullptr);
  control().Advise(nullptr);
  try {
    control().Terminate();
  } catch (const std::exception& e) {
    qWarning("qvSMTP: closing the connection failed: %s", e.what());
  }
}

qvSMTP& QvSmtpWidget::control() { return impl_->object->control(); }
connection::ConnectionSocket& QvSmtpWidget::socket() { return impl_->socket; }

void QvSmtpWidget::Refused(const char* property, const std::exception& error) {
  const auto* automation = dynamic_cast<const AutomationError*>(&error);
  const int number = automation ? automation->number() : 0;
  qWarning("qvSMTP: %s: error %d: %s", property, number, error.what());
  emit automationError(number, QString::fromUtf8(error.what()));
}

void QvSmtpWidget::NotifyEngineChanges() {
  qvSMTP& c = control();
  if (c.get_status() != impl_->seen_status) {
    impl_->seen_status = c.get_status();
    emit statusChanged();
  }
  if (c.get_Busy() != impl_->seen_busy) {
    impl_->seen_busy = c.get_Busy();
    emit BusyChanged();
  }
  if (c.get_StatusStr() != impl_->seen_status_str) {
    impl_->seen_status_str = c.get_StatusStr();
    emit StatusStrChanged();
  }
}

// A write goes through the control's accessor; a refusal is reported, never
// thrown through Qt's property system.
#define QV_PUT(property, call)        \
  try {                               \
    call;                             \
  } catch (const std::exception& e) { \
    Refused(property, e);             \
  }

bool QvSmtpWidget::controlEnabled() { return control().get_Enabled() != kFalse; }
void QvSmtpWidget::setControlEnabled(bool v){
    QV_PUT("Enabled",
           control().put_Enabled(MakeBoolean(v)))} QString QvSmtpWidget::RemoteHost() const {
  return ToQString(impl_->object->control().get_RemoteHost());
}
void QvSmtpWidget::setRemoteHost(const QString& v){
    QV_PUT("RemoteHost",
           control().put_RemoteHost(FromQString(v)))} QString QvSmtpWidget::MailFrom() const {
  return ToQString(impl_->object->control().get_MailFrom());
}
void QvSmtpWidget::setMailFrom(const QString& v){
    QV_PUT("MailFrom",
           control().put_MailFrom(FromQString(v)))} QVariant QvSmtpWidget::Body() const {
  return ToQVariant(impl_->object->control().get_Body());
}
void QvSmtpWidget::setBody(const QVariant& v){
    QV_PUT("Body",
           control().put_Body(FromQVariant(v)))} QString QvSmtpWidget::RemoteHostIP() const {
  return ToQString(impl_->object->control().get_RemoteHostIP());
}
void QvSmtpWidget::setRemoteHostIP(const QString& v){
    QV_PUT("RemoteHostIP",
           control().put_RemoteHostIP(FromQString(v)))} QString QvSmtpWidget::Subject() const {
  return ToQString(impl_->object->control().get_Subject());
}
void QvSmtpWidget::setSubject(const QString& v){
    QV_PUT("Subject",
           control().put_Subject(FromQString(v)))} QDateTime QvSmtpWidget::DateHeader() const {
  return ToQDateTime(impl_->object->control().get_DateHeader());
}

void QvSmtpWidget::setDateHeader(const QDateTime& v) {
  const std::optional<Date> date = FromQDateTime(v);
  if (!date) {
    Refused("DateHeader",
            AutomationError(error_number::kOverflow, DefaultErrorText(error_number::kOverflow)));
    return;
  }
  QV_PUT("DateHeader", control().put_DateHeader(*date))
}

QString QvSmtpWidget::RcptTo() const { return ToQString(impl_->object->control().get_RcptTo()); }
void QvSmtpWidget::setRcptTo(const QString& v) {
  QV_PUT("RcptTo", control().put_RcptTo(FromQString(v)))
}
int QvSmtpWidget::status() const { return impl_->object->control().get_status(); }

void QvSmtpWidget::setStatus(int v){
    QV_PUT("status",
           control().put_status(static_cast<Integer>(std::clamp<int>(v, INT16_MIN, INT16_MAX))))}

QString QvSmtpWidget::XMailer() const {
  return ToQString(impl_->object->control().get_XMailer());
}
void QvSmtpWidget::setXMailer(const QString& v){
    QV_PUT("XMailer",
           control().put_XMailer(FromQString(v)))} QString QvSmtpWidget::Priority() const {
  return ToQString(impl_->object->control().get_Priority());
}
void QvSmtpWidget::setPriority(const QString& v){
    QV_PUT("Priority",
           control().put_Priority(FromQString(v)))} QString QvSmtpWidget::ContentType() const {
  return ToQString(impl_->object->control().get_ContentType());
}
void QvSmtpWidget::setContentType(const QString& v) {
  QV_PUT("ContentType", control().put_ContentType(FromQString(v)))
}
bool QvSmtpWidget::Busy() const { return impl_->object->control().get_Busy() != kFalse; }
void QvSmtpWidget::setBusy(bool v){
    QV_PUT("Busy", control().put_Busy(MakeBoolean(v)))} QString QvSmtpWidget::StatusStr() const {
  return ToQString(impl_->object->control().get_StatusStr());
}
void QvSmtpWidget::setStatusStr(const QString& v) {
  QV_PUT("StatusStr", control().put_StatusStr(FromQString(v)))
}
int QvSmtpWidget::BodyEvent() const { return impl_->object->control().get_BodyEvent(); }

void QvSmtpWidget::setBodyEvent(int v) {
  if (v < INT16_MIN || v > INT16_MAX) {
    Refused("BodyEvent",
            AutomationError(error_number::kOverflow, DefaultErrorText(error_number::kOverflow)));
    return;
  }
  QV_PUT("BodyEvent", control().put_BodyEvent(static_cast<Integer>(v)))
}

int QvSmtpWidget::Protocol() const { return impl_->object->control().get_Protocol(); }

// Any int reaches the control, which refuses what is not a protocol with 380:
// a value beyond a 16-bit Integer is held at its end, never wrapped round to
// one of the protocols.
void QvSmtpWidget::setProtocol(int v) {
  QV_PUT("Protocol",
         control().put_Protocol(static_cast<Integer>(std::clamp<int>(v, INT16_MIN, INT16_MAX))))
}

int QvSmtpWidget::Port() const { return static_cast<int>(impl_->object->control().get_Port()); }
void QvSmtpWidget::setPort(int v) { QV_PUT("Port", control().put_Port(static_cast<Long>(v))); }

QString QvSmtpWidget::CaFile() const { return ToQString(impl_->object->control().get_CaFile()); }
void QvSmtpWidget::setCaFile(const QString& v) {
  QV_PUT("CaFile", control().put_CaFile(FromQString(v)));
}

QString QvSmtpWidget::UserName() const {
  return ToQString(impl_->object->control().get_UserName());
}
void QvSmtpWidget::setUserName(const QString& v) {
  QV_PUT("UserName", control().put_UserName(FromQString(v)));
}

QString QvSmtpWidget::Password() const { return {}; }
void QvSmtpWidget::setPassword(const QString& v) {
  String secret = FromQString(v);
  QV_PUT("Password", control().put_Password(secret));
  Overwrite(secret);
}

QString QvSmtpWidget::OAuthToken() const { return {}; }
void QvSmtpWidget::setOAuthToken(const QString& v) {
  String secret = FromQString(v);
  QV_PUT("OAuthToken", control().put_OAuthToken(secret));
  Overwrite(secret);
}

QString QvSmtpWidget::AuthMechanism() const {
  return ToQString(impl_->object->control().get_AuthMechanism());
}
void QvSmtpWidget::setAuthMechanism(const QString& v) {
  QV_PUT("AuthMechanism", control().put_AuthMechanism(FromQString(v)));
}

bool QvSmtpWidget::AuthInTheClear() const {
  return impl_->object->control().get_AuthInTheClear() != kFalse;
}
void QvSmtpWidget::setAuthInTheClear(bool v) {
  QV_PUT("AuthInTheClear", control().put_AuthInTheClear(MakeBoolean(v)));
}

QString QvSmtpWidget::MessageId() const {
  return ToQString(impl_->object->control().get_MessageId());
}
void QvSmtpWidget::setMessageId(const QString& v) {
  QV_PUT("MessageId", control().put_MessageId(FromQString(v)));
}

QString QvSmtpWidget::tlsDescription() const {
  return ToQString(impl_->object->control().Snapshot().tls);
}

#undef QV_PUT

int QvSmtpWidget::Send() {
  // Notifications that arrive during Send (a slot of DebugMessage may run a
  // dialog) wait until it has returned, as they would during a step.
  connection::DeliveryGate::Hold hold(impl_->gate);
  try {
    return control().Send();
  } catch (const std::exception& e) {
    Refused("Send", e);
    return -1;
  }
}

bool QvSmtpWidget::SendData(const QVariant& data) {
  connection::DeliveryGate::Hold hold(impl_->gate);
  Variant value = FromQVariant(data);
  try {
    control().SendData(value);
    return true;
  } catch (const std::exception& e) {
    Refused("SendData", e);
    return false;
  }
}

QSize QvSmtpWidget::sizeHint() const {
  return {static_cast<int>(kControlWidth / kTwipsPerPixel),
          static_cast<int>(kControlHeight / kTwipsPerPixel)};
}

// Invisible at run time: a form that shows its children leaves this one out.
void QvSmtpWidget::setVisible(bool visible) {
  QWidget::setVisible(visible && mode_ == Mode::DesignTime);
}

void QvSmtpWidget::paintEvent(QPaintEvent*) {
  static const QImage tile = TileImage();
  QPainter painter(this);
  painter.drawImage(0, 0, tile);
}

// The control answers every resize by setting its own size again.
void QvSmtpWidget::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  try {
    control().Resize();
  } catch (const std::exception& e) {
    Refused("Resize", e);
  }
}

}  // namespace qv::qt
