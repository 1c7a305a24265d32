// A form saved by Designer holding the control, loaded at run time with
// QUiLoader (through the Designer plugin) and compiled with uic: the
// properties set in Designer come back, the others keep the initial values.
#include <gtest/gtest.h>

#include <QFile>
#include <QUiLoader>
#include <memory>

#include "qv/qt/qvsmtp_widget.hpp"
#include "ui_mail_control_form.h"

namespace qv::qt {
namespace {

struct Expected {
  const char* property;
  QVariant value;
};

const Expected kExpected[] = {
    // Set in the form.
    {"RemoteHost", QString("mail.example.com")},
    {"MailFrom", QString("sender@example.com")},
    {"RcptTo", QString("one@example.com, two@example.com")},
    {"Subject", QString("Monthly report")},
    {"Priority", QString("High")},
    {"BodyEvent", 1},
    // Left at their defaults: the control's initial values.
    {"Enabled", true},
    {"Body", QVariant::fromValue<short>(0)},
    {"RemoteHostIP", QString("0")},
    {"status", 0},
    {"XMailer", QString("qvSMTP by Quenvix")},
    {"ContentType", QString("text/plain; charset=US-ASCII")},
    {"Busy", false},
    {"StatusStr", QString("")},
};

void ExpectRestored(QvSmtpWidget* control) {
  ASSERT_NE(control, nullptr);
  EXPECT_FALSE(control->designTime());
  for (const Expected& e : kExpected) {
    EXPECT_EQ(control->property(e.property), e.value) << e.property;
  }
  // DateHeader is taken when the control is created, not stored in the form.
  EXPECT_LE(qAbs(control->DateHeader().secsTo(QDateTime::currentDateTime())), 2);
  EXPECT_FALSE(control->isVisible());
}

TEST(DesignerForm, QUiLoaderRestoresTheProperties) {
  QFile file(QV_FORM_FILE);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  QUiLoader loader;
  ASSERT_TRUE(loader.availableWidgets().contains("qv::qt::QvSmtpWidget"))
      << "the Designer plugin was not found in " << loader.pluginPaths().join(':').toStdString();
  std::unique_ptr<QWidget> form(loader.load(&file));
  ASSERT_NE(form, nullptr) << loader.errorString().toStdString();
  form->show();
  ExpectRestored(form->findChild<QvSmtpWidget*>("qvSMTP1"));
}

TEST(DesignerForm, UicRestoresTheProperties) {
  QWidget form;
  Ui::MailControlForm ui;
  ui.setupUi(&form);
  form.show();
  ExpectRestored(ui.qvSMTP1);
}

}  // namespace
}  // namespace qv::qt
