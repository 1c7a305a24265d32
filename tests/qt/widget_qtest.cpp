// The control as a widget: its properties through Qt's property system, the
// refusals, and how it shows itself at run time and at design time.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QVBoxLayout>

#include "qv/component/bitmap.hpp"
#include "qv/qt/qvsmtp_widget.hpp"

namespace qv::qt {
namespace {

struct WriteCase {
  const char* property;
  QVariant value;
  bool design_time;
  int error;      // 0: no refusal reported
  bool stored;    // the value reads back
  bool notified;  // the NOTIFY signal came
};

class WidgetWrite : public ::testing::TestWithParam<WriteCase> {};

TEST_P(WidgetWrite, AcceptsOrRefusesAsTheControl) {
  const WriteCase& c = GetParam();
  QvSmtpWidget w(c.design_time ? QvSmtpWidget::Mode::DesignTime : QvSmtpWidget::Mode::RunTime,
                 nullptr);
  const QMetaProperty meta = w.metaObject()->property(w.metaObject()->indexOfProperty(c.property));
  ASSERT_TRUE(meta.isValid()) << c.property;
  const QVariant before = meta.read(&w);
  QSignalSpy errors(&w, &QvSmtpWidget::automationError);
  std::unique_ptr<QSignalSpy> notices;
  if (meta.hasNotifySignal()) notices = std::make_unique<QSignalSpy>(&w, meta.notifySignal());

  w.setProperty(c.property, c.value);
  EXPECT_EQ(errors.count(), c.error == 0 ? 0 : 1);
  if (c.error != 0 && !errors.isEmpty()) {
    EXPECT_EQ(errors.at(0).at(0).toInt(), c.error);
  }
  EXPECT_EQ(meta.read(&w), c.stored ? c.value : before);
  EXPECT_EQ(notices && notices->count() == 1, c.notified);
}

INSTANTIATE_TEST_SUITE_P(
    Properties, WidgetWrite,
    ::testing::Values(WriteCase{"RemoteHost", QString("mail.example.com"), false, 0, true, true},
                      WriteCase{"Body", QVariant::fromValue<int>(12), false, 0, true, true},
                      WriteCase{"BodyEvent", 3, false, 0, true, true},
                      WriteCase{"BodyEvent", 40000, false, 6, false, false},
                      WriteCase{"Enabled", false, false, 0, true, true},
                      WriteCase{"XMailer", QString("other"), false, 393, false, false},
                      WriteCase{"status", 3, false, 393, false, false},
                      WriteCase{"Busy", true, false, 393, false, false},
                      WriteCase{"XMailer", QString("other"), true, 0, false, false},
                      WriteCase{"StatusStr", QString("x"), true, 394, false, false},
                      WriteCase{"StatusStr", QString("x"), false, 393, false, false},
                      WriteCase{"Protocol", 3, false, 0, true, true},
                      WriteCase{"Protocol", 4, false, 380, false, false},
                      // Beyond 16 bits: refused, not wrapped round to 2.
                      WriteCase{"Protocol", 65538, false, 380, false, false},
                      WriteCase{"Port", 587, true, 0, true, true},
                      // Beyond 16 bits: refused, not wrapped round to 0.
                      WriteCase{"Port", 65536, false, 380, false, false},
                      WriteCase{"CaFile", QString("/etc/relay-ca.pem"), false, 0, true, true},
                      WriteCase{"UserName", QString("alice"), false, 0, true, true},
                      // Taken, but read back as "" and not announced.
                      WriteCase{"Password", QString("pw-7f3a"), false, 0, false, false},
                      WriteCase{"OAuthToken", QString("tok-91c2"), true, 0, false, false},
                      WriteCase{"AuthMechanism", QString("login"), false, 0, true, true},
                      WriteCase{"AuthMechanism", QString("CRAM-MD5"), false, 380, false, false},
                      WriteCase{"AuthInTheClear", true, false, 0, true, true}),
    [](const auto& info) {
      return std::string(info.param.property) + (info.param.design_time ? "Design" : "Run") +
             std::to_string(info.index);
    });

TEST(Widget, NewControlHasTheInitialValues) {
  QvSmtpWidget w;
  EXPECT_EQ(w.RemoteHost(), "0");
  EXPECT_EQ(w.Body(), QVariant::fromValue<short>(0));
  EXPECT_EQ(w.XMailer(), "qvSMTP by Quenvix");
  EXPECT_EQ(w.Priority(), "Normal");
  EXPECT_EQ(w.ContentType(), "text/plain; charset=US-ASCII");
  EXPECT_EQ(w.StatusStr(), "");
  EXPECT_FALSE(w.Busy());
  EXPECT_LE(qAbs(w.DateHeader().secsTo(QDateTime::currentDateTime())), 2);
}

// No property shows a secret, and a form never holds one: Designer writes
// only designable properties, and a saver that honours STORED skips them too.
TEST(Widget, SecretsAppearInNoPropertyAndNoForm) {
  QvSmtpWidget w;
  w.setPassword("pw-7f3a");
  w.setOAuthToken("tok-91c2");
  const QMetaObject* meta = w.metaObject();
  for (int i = 0; i < meta->propertyCount(); ++i) {
    const QMetaProperty p = meta->property(i);
    const QString shown = p.read(&w).toString();
    EXPECT_FALSE(shown.contains("pw-7f3a") || shown.contains("tok-91c2")) << p.name();
    const QByteArray name = p.name();
    if (name == "Password" || name == "OAuthToken") {
      EXPECT_FALSE(p.isDesignable()) << p.name();
      EXPECT_FALSE(p.isStored()) << p.name();
    }
  }
}

// Invisible at run time even inside a shown layout; at design time the 24 x
// 22 tile that no resize changes.
TEST(Widget, HiddenAtRunTimeAndFixedAtDesignTime) {
  QWidget form;
  auto* layout = new QVBoxLayout(&form);
  auto* run = new QvSmtpWidget(&form);
  layout->addWidget(run);
  form.show();
  run->show();
  EXPECT_FALSE(run->isVisible());
  EXPECT_TRUE(layout->itemAt(0)->isEmpty());  // a layout gives it no room

  QvSmtpWidget design(QvSmtpWidget::Mode::DesignTime, nullptr);
  design.show();
  design.resize(200, 100);
  EXPECT_TRUE(design.isVisible());
  EXPECT_EQ(design.size(), QSize(24, 22));
  const QImage face = design.grab().toImage();
  const component::Image4 tile = component::DesignTimePicture();
  for (int y = 0; y < tile.height; ++y) {
    for (int x = 0; x < tile.width; ++x) {
      const auto index = tile.indexes[static_cast<std::size_t>(y * tile.width + x)];
      ASSERT_EQ(face.pixel(x, y) & 0xFFFFFFu, tile.palette[index]) << x << "," << y;
    }
  }
}

}  // namespace
}  // namespace qv::qt
