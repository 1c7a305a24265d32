#include "qvsmtp_designer_plugin.hpp"

#include <QIcon>
#include <QImage>
#include <QLoggingCategory>
#include <QPixmap>

#include "qv/component/bitmap.hpp"
#include "qv/qt/qvsmtp_widget.hpp"

namespace qv::qt {

// QT_LOGGING_RULES="qv.designer.debug=true" shows what Designer asks of the
// plugin.
Q_LOGGING_CATEGORY(lcDesigner, "qv.designer", QtInfoMsg)

QString QvSmtpDesignerPlugin::name() const { return QStringLiteral("qv::qt::QvSmtpWidget"); }
QString QvSmtpDesignerPlugin::group() const { return QStringLiteral("QVControls1"); }

QString QvSmtpDesignerPlugin::toolTip() const {
  return QStringLiteral("qvSMTP: sends one e-mail at a time to an SMTP server");
}

QString QvSmtpDesignerPlugin::whatsThis() const {
  return QStringLiteral(
      "The qvSMTP mail control. Set RemoteHost, MailFrom, RcptTo, Subject and Body, call "
      "Send(), and follow the send through DebugMessage and SendComplete. Invisible while "
      "the program runs.");
}

QString QvSmtpDesignerPlugin::includeFile() const {
  return QStringLiteral("qv/qt/qvsmtp_widget.hpp");
}

QIcon QvSmtpDesignerPlugin::icon() const {
  const component::Image24 toolbox = component::ToolboxImage();
  QImage image(toolbox.width, toolbox.height, QImage::Format_RGB32);
  for (int y = 0; y < toolbox.height; ++y) {
    for (int x = 0; x < toolbox.width; ++x) {
      image.setPixel(x, y,
                     0xFF000000u | toolbox.pixels[static_cast<std::size_t>(y * toolbox.width + x)]);
    }
  }
  return QIcon(QPixmap::fromImage(image));
}

QWidget* QvSmtpDesignerPlugin::createWidget(QWidget* parent) {
  qCDebug(lcDesigner) << "creating a qvSMTP control for" << (initialized_ ? "design" : "run")
                      << "time";
  return new QvSmtpWidget(
      initialized_ ? QvSmtpWidget::Mode::DesignTime : QvSmtpWidget::Mode::RunTime, parent);
}

void QvSmtpDesignerPlugin::initialize(QDesignerFormEditorInterface* core) {
  if (core == nullptr || initialized_) return;
  initialized_ = true;
  qCDebug(lcDesigner) << "initialized by Designer";
}

QString QvSmtpDesignerPlugin::domXml() const {
  return QStringLiteral(
      "<ui language=\"c++\">\n"
      " <widget class=\"qv::qt::QvSmtpWidget\" name=\"qvSMTP1\"/>\n"
      " <customwidgets>\n"
      "  <customwidget>\n"
      "   <class>qv::qt::QvSmtpWidget</class>\n"
      "   <extends>QWidget</extends>\n"
      "   <header>qv/qt/qvsmtp_widget.hpp</header>\n"
      "  </customwidget>\n"
      " </customwidgets>\n"
      "</ui>\n");
}

}  // namespace qv::qt
