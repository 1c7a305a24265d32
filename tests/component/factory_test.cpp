// Creating controls: the design-time settings, the class object that the
// library hands out, and the live-object count behind DllCanUnloadNow.
#include "qv/component/factory.hpp"

#include <gtest/gtest.h>

#include "qv/component/exports.hpp"
#include "qv/component/host_services.hpp"
#include "qv/component/library_identity.hpp"
#include "qv/component/type_library.hpp"
#include "rig.hpp"

namespace qv::component {
namespace {

using testing::ErrorOf;

struct Services {
  qv::testing::FakeSocket socket;
  qv::testing::ManualTimer timer;
  qv::testing::ManualClock clock;
  qv::testing::FakeHost host;
};

// A class object obtained through the entry point, released at the end.
struct HeldClassObject {
  ClassObject* object = nullptr;
  HResult status = hresult::kFail;

  explicit HeldClassObject(const Guid& clsid, const Guid& iid = kIidIClassFactory) {
    void* out = reinterpret_cast<void*>(0x1);
    status = DllGetClassObject(&clsid, &iid, &out);
    object = static_cast<ClassObject*>(out);
  }
  ~HeldClassObject() {
    if (object != nullptr) object->Release();
  }
};

void ExpectCreatedFromDesign(Services& s, ControlObject& created) {
  EXPECT_EQ(s.timer.Interval(), 50);
  EXPECT_FALSE(s.timer.Enabled());
  ASSERT_FALSE(s.timer.enabled_history.empty());
  for (const bool enabled : s.timer.enabled_history) EXPECT_FALSE(enabled);
  // The stored socket settings cleared, in order, and nothing else done.
  EXPECT_EQ(s.socket.calls, (std::vector<std::string>{"WriteSetting 2 0", "WriteSetting 1 0",
                                                      "WriteSetting 10 \"\"", "WriteSetting 3 0"}));
  EXPECT_EQ(s.host.size_calls, (std::vector<std::string>{"Width 360", "Height 330"}));
  // Initialize has run: nothing in progress, DateHeader is now.
  EXPECT_EQ(created.control().get_Busy(), kFalse);
  EXPECT_EQ(created.control().get_DateHeader(), s.clock.Now());
}

TEST(Factory, NewControlHasTheDesignTimeSettings) {
  Services s;
  // Left-overs from a previous user of the services are overridden.
  s.timer.SetInterval(1000);
  s.timer.SetEnabled(true);
  s.timer.enabled_history.clear();
  auto created = CreateQvSmtp(s.socket, s.timer, s.clock, s.host);
  ExpectCreatedFromDesign(s, *created);
  EXPECT_EQ(s.socket.State(), socket_state::kClosed);
}

TEST(Factory, DesignTimeSettingsData) {
  const DesignTimeSettings& d = DesignSettings();
  EXPECT_EQ(d.control.width, 360);
  EXPECT_EQ(d.control.height, 330);
  EXPECT_EQ(d.control.back_color, 0x00FF8080u);
  EXPECT_EQ(d.control.picture_width, 24);
  EXPECT_EQ(d.control.picture_height, 22);
  EXPECT_EQ(d.control.picture_colours, 16);
  EXPECT_TRUE(d.control.invisible_at_run_time);
  EXPECT_EQ(d.timer.name, "mailTimer");
  EXPECT_EQ(d.timer.interval, 50);
  EXPECT_FALSE(d.timer.enabled);
  EXPECT_EQ(d.socket.name, "Winsock1");
  EXPECT_EQ(d.socket.class_name, "MSWinsockLib.Winsock");
  EXPECT_EQ(d.socket.extent_x, 741);
  EXPECT_EQ(d.socket.extent_y, 741);
  EXPECT_EQ(d.socket.version, 393216);
}

TEST(ClassObject, HandsOutQvSmtpAndCountsLiveObjects) {
  ASSERT_EQ(DllCanUnloadNow(), hresult::kOk);
  Services s;
  std::unique_ptr<ControlObject> created;
  {
    HeldClassObject factory(kClsidQvSmtp);
    ASSERT_EQ(factory.status, hresult::kOk);
    ASSERT_NE(factory.object, nullptr);
    EXPECT_EQ(factory.object->ClassId(), kClsidQvSmtp);
    EXPECT_EQ(DllCanUnloadNow(), hresult::kFalse);
    created = factory.object->CreateInstance(s.socket, s.timer, s.clock, s.host);
    ExpectCreatedFromDesign(s, *created);
    EXPECT_EQ(host::LiveObjects(Project()), 2);
  }
  // The control alone keeps the library.
  EXPECT_EQ(DllCanUnloadNow(), hresult::kFalse);
  EXPECT_EQ(created->dispatch().Get(0x68030001), Variant(Integer{0}));
  created.reset();
  EXPECT_EQ(DllCanUnloadNow(), hresult::kOk);
}

TEST(ClassObject, ReferencesAndServerLocks) {
  ASSERT_EQ(DllCanUnloadNow(), hresult::kOk);
  {
    HeldClassObject factory(kClsidQvSmtp, kIidIUnknown);
    ASSERT_EQ(factory.status, hresult::kOk);
    EXPECT_EQ(factory.object->AddRef(), 2u);
    EXPECT_EQ(factory.object->Release(), 1u);
    factory.object->LockServer(true);
    factory.object->LockServer(true);
    factory.object->LockServer(false);
  }
  // One lock outlives the class object.
  EXPECT_EQ(DllCanUnloadNow(), hresult::kFalse);
  {
    HeldClassObject factory(kClsidQvSmtp);
    factory.object->LockServer(false);
    factory.object->LockServer(false);  // no lock left: ignored
  }
  EXPECT_EQ(DllCanUnloadNow(), hresult::kOk);
  // The ignored unlock did not bank a credit against a later lock.
  {
    HeldClassObject factory(kClsidQvSmtp);
    factory.object->LockServer(true);
  }
  EXPECT_EQ(DllCanUnloadNow(), hresult::kFalse);
  {
    HeldClassObject factory(kClsidQvSmtp);
    factory.object->LockServer(false);
  }
  EXPECT_EQ(DllCanUnloadNow(), hresult::kOk);
}

TEST(ClassObject, RefusesOtherClassesAndInterfaces) {
  const Guid socket_class = Project().external_components[0].clsid;
  struct Case {
    Guid clsid;
    Guid iid;
    HResult status;
  };
  const Case cases[] = {
      {socket_class, kIidIClassFactory, hresult::kClassNotAvailable},
      {kIidQvSmtp, kIidIClassFactory, hresult::kClassNotAvailable},
      {kLibId, kIidIUnknown, hresult::kClassNotAvailable},
      {kClsidQvSmtp, kIidIDispatch, hresult::kNoInterface},
      {kClsidQvSmtp, kIidQvSmtp, hresult::kNoInterface},
  };
  for (const Case& c : cases) {
    HeldClassObject factory(c.clsid, c.iid);
    EXPECT_EQ(factory.status, c.status) << ToString(c.clsid);
    EXPECT_EQ(factory.object, nullptr);
  }
  EXPECT_EQ(hresult::kClassNotAvailable, static_cast<HResult>(0x80040111));
  EXPECT_EQ(DllGetClassObject(&kClsidQvSmtp, &kIidIClassFactory, nullptr), hresult::kPointer);
  void* out = nullptr;
  EXPECT_EQ(DllGetClassObject(nullptr, &kIidIClassFactory, &out), hresult::kInvalidArg);
  EXPECT_EQ(DllGetClassObject(&kClsidQvSmtp, nullptr, &out), hresult::kInvalidArg);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(DllCanUnloadNow(), hresult::kOk);
}

TEST(ClassObject, ByProgrammaticName) {
  Guid clsid;
  EXPECT_EQ(qvClassIdFromProgId("QVControls1.qvSMTP", &clsid), hresult::kOk);
  EXPECT_EQ(clsid, kClsidQvSmtp);
  clsid = Guid{};
  EXPECT_EQ(qvClassIdFromProgId("qvcontrols1.QVSMTP", &clsid), hresult::kOk);
  EXPECT_EQ(clsid, kClsidQvSmtp);
  EXPECT_EQ(qvClassIdFromProgId("QVControls1.qvPOP3", &clsid), hresult::kClassNotAvailable);
  EXPECT_EQ(qvClassIdFromProgId("qvSMTP", &clsid), hresult::kClassNotAvailable);
  EXPECT_EQ(qvClassIdFromProgId(nullptr, &clsid), hresult::kInvalidArg);
  EXPECT_EQ(qvClassIdFromProgId("QVControls1.qvSMTP", nullptr), hresult::kInvalidArg);
}

}  // namespace
}  // namespace qv::component
