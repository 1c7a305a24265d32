// Self-registration through the entry points into a registry file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "qv/component/exports.hpp"
#include "qv/component/host_services.hpp"
#include "qv/component/library_loader.hpp"
#include "qv/component/registry_file.hpp"
#include "qv/component/type_library.hpp"

namespace qv::component {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const fs::path& file, const std::string& text) {
  std::ofstream(file, std::ios::binary) << text;
}

class Registration : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "qv-registry-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    registry_ = folder_ / "registry.json";
    host::SetRegistryStore(&store_.emplace(registry_));
  }
  void TearDown() override {
    host::SetRegistryStore(nullptr);
    fs::remove_all(folder_);
  }

  // Another library's registration, written as our host writes it.
  void RegisterForeignLibrary() {
    const RegistryEntry foreign[] = {
        {"CLSID\\{11111111-2222-3333-4444-555555555555}", "", "Other"},
        {"CLSID\\{11111111-2222-3333-4444-555555555555}\\InprocServer32", "", "/opt/other.so"},
        {"Other.Thing\\CLSID", "", "{11111111-2222-3333-4444-555555555555}"},
    };
    PublishEntries(registry_, foreign);
  }

  fs::path folder_;
  fs::path registry_;
  std::optional<RegistryFile> store_;
};

TEST_F(Registration, RegisterThenUnregisterLeavesTheRegistryAsBefore) {
  RegisterForeignLibrary();
  const std::string before = ReadFile(registry_);
  const RegistryKeys foreign = ReadRegistry(registry_);

  ASSERT_EQ(DllRegisterServer(), hresult::kOk) << qvHostLastError();
  const RegistryKeys registered = ReadRegistry(registry_);
  EXPECT_GT(registered.size(), foreign.size());
  for (const auto& [key, values] : foreign) EXPECT_EQ(registered.at(key), values) << key;

  ASSERT_EQ(DllUnregisterServer(), hresult::kOk) << qvHostLastError();
  EXPECT_EQ(ReadFile(registry_), before);
  // No temporary file left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 1);
}

TEST_F(Registration, PublishesTheRegistrationRecord) {
  ASSERT_EQ(DllRegisterServer(), hresult::kOk);
  const RegistryKeys keys = ReadRegistry(registry_);
  const std::string module = ThisLibraryPath().string();
  ASSERT_FALSE(module.empty());
  EXPECT_TRUE(fs::exists(module));
  const std::string clsid = "CLSID\\{2D489641-BC81-11D2-B1A5-00A02454227A}";
  const std::string typelib = "TypeLib\\{2D48963F-BC81-11D2-B1A5-00A02454227A}\\4.0";
  struct Want {
    std::string key;
    std::string name;
    std::string data;
  };
  const Want wanted[] = {
      {typelib, "", "QVControlGroup1"},
      {typelib, "Name", "QVControls1"},
      {typelib + "\\0\\linux", "", module},
      {typelib + "\\HELPDIR", "", ""},
      {clsid, "", "qvSMTP"},
      {clsid, "DefaultInterface", "{0FCCB117-C20A-11D2-B1A5-00A02454227A}"},
      {clsid, "EventInterface", "{0FCCB118-C20A-11D2-B1A5-00A02454227A}"},
      {clsid + "\\Control", "", ""},
      {clsid + "\\InprocServer32", "", module},
      {clsid + "\\InprocServer32", "ThreadingModel", "Apartment"},
      {clsid + "\\MiscStatus", "", "0"},
      {clsid + "\\MiscStatus\\1", "", "148881"},  // 0x00024591
      {clsid + "\\ProgID", "", "QVControls1.qvSMTP"},
      {clsid + "\\ToolboxBitmap32", "", module + ", 30000"},
      {clsid + "\\TypeLib", "", "{2D48963F-BC81-11D2-B1A5-00A02454227A}"},
      {clsid + "\\Version", "", "4.0"},
      {"Interface\\{0FCCB117-C20A-11D2-B1A5-00A02454227A}", "", "_qvSMTP"},
      {"Interface\\{0FCCB117-C20A-11D2-B1A5-00A02454227A}\\TypeLib", "Version", "4.0"},
      {"Interface\\{0FCCB118-C20A-11D2-B1A5-00A02454227A}", "", "__qvSMTP"},
      {"Interface\\{0FCCB118-C20A-11D2-B1A5-00A02454227A}\\TypeLib", "",
       "{2D48963F-BC81-11D2-B1A5-00A02454227A}"},
      {"QVControls1.qvSMTP", "", "qvSMTP"},
      {"QVControls1.qvSMTP\\CLSID", "", "{2D489641-BC81-11D2-B1A5-00A02454227A}"},
  };
  for (const Want& want : wanted) {
    SCOPED_TRACE(want.key + " " + want.name);
    ASSERT_TRUE(keys.contains(want.key));
    ASSERT_TRUE(keys.at(want.key).contains(want.name));
    EXPECT_EQ(keys.at(want.key).at(want.name), want.data);
  }
  // One class, no description, no icon.
  int classes = 0;
  for (const auto& [key, values] : keys) {
    if (key.rfind("CLSID\\", 0) == 0 && key.find('\\', 6) == std::string::npos) ++classes;
    EXPECT_EQ(key.find("DefaultIcon"), std::string::npos);
  }
  EXPECT_EQ(classes, 1);
  EXPECT_FALSE(keys.at(clsid).contains("Description"));
  // Exactly the entries the record makes.
  std::size_t values = 0;
  for (const auto& [key, named] : keys) values += named.size();
  EXPECT_EQ(values, RegistrationEntries(*Project().registration, module).size());
}

TEST_F(Registration, RegisteringAgainChangesNothing) {
  ASSERT_EQ(DllRegisterServer(), hresult::kOk);
  const std::string once = ReadFile(registry_);
  struct stat first {};
  ASSERT_EQ(::stat(registry_.c_str(), &first), 0);
  ASSERT_EQ(DllRegisterServer(), hresult::kOk);
  EXPECT_EQ(ReadFile(registry_), once);
  struct stat second {};
  ASSERT_EQ(::stat(registry_.c_str(), &second), 0);
  EXPECT_EQ(first.st_ino, second.st_ino);  // not even rewritten
}

TEST_F(Registration, UnregisteringKeepsWhatOthersAddedToTheSameKeys) {
  ASSERT_EQ(DllRegisterServer(), hresult::kOk);
  const std::string clsid = "CLSID\\{2D489641-BC81-11D2-B1A5-00A02454227A}";
  const RegistryEntry added[] = {{clsid, "AddedByOthers", "yes"},
                                 {clsid + "\\Implemented Categories", "", ""}};
  PublishEntries(registry_, added);
  ASSERT_EQ(DllUnregisterServer(), hresult::kOk);
  const RegistryKeys keys = ReadRegistry(registry_);
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys.at(clsid), (std::map<std::string, std::string>{{"AddedByOthers", "yes"}}));
  EXPECT_TRUE(keys.contains(clsid + "\\Implemented Categories"));
}

TEST_F(Registration, UnregisteringFromNoRegistryCreatesNone) {
  ASSERT_EQ(DllUnregisterServer(), hresult::kOk);
  EXPECT_FALSE(fs::exists(registry_));
  // Nor from an empty file, which stays as it was.
  WriteFile(registry_, "");
  ASSERT_EQ(DllUnregisterServer(), hresult::kOk);
  EXPECT_EQ(ReadFile(registry_), "");
}

TEST_F(Registration, KeepsTheFileMode) {
  RegisterForeignLibrary();
  ASSERT_EQ(::chmod(registry_.c_str(), 0600), 0);
  ASSERT_EQ(DllRegisterServer(), hresult::kOk);
  struct stat info {};
  ASSERT_EQ(::stat(registry_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(Registration, FailuresLeaveTheFileUntouched) {
  const std::string damaged[] = {
      "{\"keys\": {\"CLSID\\\\x\": {\"\": \"y\"}",  // cut short
      "[1, 2, 3]",
      "{\"keys\": [\"CLSID\"]}",
      "{\"keys\": {\"CLSID\": {\"\": 5}}}",
      "{\"keys\": {\"CLSID\": \"text\"}}",
  };
  for (const std::string& text : damaged) {
    SCOPED_TRACE(text);
    WriteFile(registry_, text);
    EXPECT_EQ(DllRegisterServer(), hresult::kSelfRegClass);
    EXPECT_NE(std::string(qvHostLastError()), "");
    EXPECT_EQ(DllUnregisterServer(), hresult::kSelfRegClass);
    EXPECT_EQ(ReadFile(registry_), text);
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 1);

  RegistryFile missing(folder_ / "missing" / "registry.json");
  host::SetRegistryStore(&missing);
  EXPECT_EQ(DllRegisterServer(), hresult::kSelfRegClass);
  EXPECT_NE(std::string(qvHostLastError()).find("missing"), std::string::npos);
  EXPECT_FALSE(fs::exists(folder_ / "missing"));
}

TEST_F(Registration, ARegistryBehindALinkIsChangedWhereItLies) {
  RegisterForeignLibrary();
  const fs::path link = folder_ / "link.json";
  fs::create_symlink(registry_, link);
  RegistryFile through_link(link);
  host::SetRegistryStore(&through_link);
  ASSERT_EQ(DllRegisterServer(), hresult::kOk);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_TRUE(ReadRegistry(registry_).contains("QVControls1.qvSMTP"));
}

TEST_F(Registration, TextThatCannotBeStoredLeavesTheFileUntouched) {
  RegisterForeignLibrary();
  const std::string before = ReadFile(registry_);
  const RegistryEntry bad[] = {{"Key", "", "\xff\xfe not UTF-8"}};
  EXPECT_THROW(PublishEntries(registry_, bad), RegistryError);
  EXPECT_EQ(ReadFile(registry_), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 1);
}

TEST_F(Registration, ConcurrentChangesDoNotLoseEachOther) {
  constexpr int kRounds = 25;
  auto publisher = [this](const std::string& prefix) {
    for (int i = 0; i < kRounds; ++i) {
      const RegistryEntry entry[] = {{prefix + std::to_string(i), "", "v"}};
      PublishEntries(registry_, entry);
    }
  };
  std::thread a(publisher, "A");
  std::thread b(publisher, "B");
  a.join();
  b.join();
  EXPECT_EQ(ReadRegistry(registry_).size(), 2u * kRounds);
}

TEST_F(Registration, ThroughALoadedLibrary) {
  // The library file itself: this test program holds its own copy of the code.
  const fs::path library = QV_LIBRARY_FILE;
  RegisterForeignLibrary();
  const std::string before = ReadFile(registry_);
  const auto registered = RegisterLibrary(library, *store_, false);
  EXPECT_EQ(registered.status, hresult::kOk) << registered.message;
  EXPECT_TRUE(ReadRegistry(registry_).contains("QVControls1.qvSMTP\\CLSID"));
  const auto unregistered = RegisterLibrary(library, *store_, true);
  EXPECT_EQ(unregistered.status, hresult::kOk) << unregistered.message;
  EXPECT_EQ(ReadFile(registry_), before);

  const auto missing = RegisterLibrary(folder_ / "no-such-library.so", *store_, false);
  EXPECT_EQ(missing.status, hresult::kFail);
  EXPECT_NE(missing.message.find("no-such-library.so"), std::string::npos);

  WriteFile(registry_, "not json");
  const auto damaged = RegisterLibrary(library, *store_, false);
  EXPECT_EQ(damaged.status, hresult::kSelfRegClass);
  EXPECT_NE(damaged.message.find("0x80040201"), std::string::npos) << damaged.message;
}

}  // namespace
}  // namespace qv::component
