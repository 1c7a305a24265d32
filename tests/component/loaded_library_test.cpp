// A host that knows the library only by its file: it loads it, registers it,
// obtains the class object and sends a message through dispatch calls only.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "qv/component/dispatch.hpp"
#include "qv/component/exports.hpp"
#include "qv/component/factory.hpp"
#include "qv/component/hresult.hpp"
#include "qv/component/registry_file.hpp"
#include "rig.hpp"

namespace qv::component {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class LoadedLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = ::dlopen(QV_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << ::dlerror();
    std::string pattern = (fs::temp_directory_path() / "qv-loaded-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override {
    if (handle_ != nullptr) ::dlclose(handle_);
    fs::remove_all(folder_);
  }

  template <typename Fn>
  Fn Entry(const char* name) {
    void* symbol = ::dlsym(handle_, name);
    EXPECT_NE(symbol, nullptr) << name;
    return reinterpret_cast<Fn>(symbol);
  }

  void* handle_ = nullptr;
  fs::path folder_;
};

TEST_F(LoadedLibrary, ExportsTheFourEntryPoints) {
  for (const char* name :
       {"DllRegisterServer", "DllUnregisterServer", "DllGetClassObject", "DllCanUnloadNow"}) {
    EXPECT_NE(::dlsym(handle_, name), nullptr) << name;
  }
}

TEST_F(LoadedLibrary, RegistersCreatesAndSendsThroughDispatch) {
  auto set_registry = Entry<SetRegistryStoreFn>("qvHostSetRegistryStore");
  auto last_error = Entry<LastErrorFn>("qvHostLastError");
  auto register_server = Entry<RegisterServerFn>("DllRegisterServer");
  auto unregister_server = Entry<RegisterServerFn>("DllUnregisterServer");
  auto get_class_object = Entry<GetClassObjectFn>("DllGetClassObject");
  auto can_unload_now = Entry<CanUnloadNowFn>("DllCanUnloadNow");
  auto class_id_from_prog_id = Entry<ClassIdFromProgIdFn>("qvClassIdFromProgId");
  ASSERT_FALSE(::testing::Test::HasFailure());

  const fs::path registry = folder_ / "registry.json";
  std::ofstream(registry) << "{\"keys\": {\"Other.Library\": {\"\": \"kept\"}}}\n";
  const RegistryKeys before = ReadRegistry(registry);
  // The library knows no registry until the host installs its own.
  EXPECT_EQ(register_server(), hresult::kUnexpected);
  EXPECT_NE(std::string(last_error()).find("no registry store"), std::string::npos);
  RegistryFile file(registry);
  const qvRegistryStore store = CRegistryStoreOf(file);
  ASSERT_EQ(set_registry(&store), hresult::kOk);
  ASSERT_EQ(register_server(), hresult::kOk) << last_error();
  EXPECT_NE(ReadFile(registry).find("QVControls1.qvSMTP"), std::string::npos);

  Guid clsid;
  ASSERT_EQ(class_id_from_prog_id("QVControls1.qvSMTP", &clsid), hresult::kOk);
  void* out = nullptr;
  ASSERT_EQ(get_class_object(&clsid, &kIidIClassFactory, &out), hresult::kOk);
  auto* factory = static_cast<ClassObject*>(out);
  EXPECT_EQ(can_unload_now(), hresult::kFalse);

  {
    qv::testing::FakeSocket socket;
    qv::testing::ManualTimer timer;
    qv::testing::ManualClock clock{Date{36959.29517361111}};
    qv::testing::FakeHost host;
    std::unique_ptr<ControlObject> object = factory->CreateInstance(socket, timer, clock, host);
    factory->Release();
    object->control().InitProperties();

    testing::RecordingDispatchSink sink;
    object->AdviseDispatch(&sink);
    Dispatch& dispatch = object->dispatch();
    auto put = [&](std::u16string_view name, Variant value) {
      dispatch.Put(dispatch.GetIDOfName(name), std::move(value));
    };
    put(u"RemoteHost", Variant(u"mail.example.com"));
    put(u"MailFrom", Variant(u"from@example.com"));
    put(u"RcptTo", Variant(u"a@example.com, b@example.com"));
    put(u"Subject", Variant(u"Loaded"));
    put(u"Body", Variant(u"Sent through dispatch"));
    EXPECT_EQ(dispatch.Invoke(dispatch.GetIDOfName(u"Send"), InvokeKind::kMethod, {}),
              Variant(Integer{0}));
    testing::Serve(socket, timer, clock);

    EXPECT_EQ(dispatch.Get(dispatch.GetIDOfName(u"status")), Variant(Integer{0}));
    EXPECT_EQ(dispatch.Get(dispatch.GetIDOfName(u"StatusStr")), Variant(u"Success"));
    EXPECT_EQ(sink.ArgumentsOf(event_id::kSendComplete),
              (std::vector<Variant>{Variant(Integer{0})}));
    const std::string wire = ToUtf8(socket.Transcript());
    for (const char* line :
         {"HELO client.example.com\r\n", "MAIL FROM: <from@example.com>\r\n",
          "RCPT TO: <a@example.com>\r\n", "RCPT TO: <b@example.com>\r\n", "DATA\r\n",
          "Subject: Loaded\r\n", "\r\nSent through dispatch\r\n\r\n.\r\n", "QUIT\r\n"}) {
      EXPECT_NE(wire.find(line), std::string::npos) << line << "\n" << wire;
    }
    EXPECT_EQ(can_unload_now(), hresult::kFalse);
    object->control().Terminate();
  }
  EXPECT_EQ(can_unload_now(), hresult::kOk);

  ASSERT_EQ(unregister_server(), hresult::kOk);
  EXPECT_EQ(ReadRegistry(registry), before);
  EXPECT_EQ(set_registry(nullptr), hresult::kOk);  // before the store goes
}

}  // namespace
}  // namespace qv::component
