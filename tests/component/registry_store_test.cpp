// Self-registration through the host's registry store, installed in C++ or
// in its C form, with the store's failures reaching the caller as statuses.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>

#include "qv/component/exports.hpp"
#include "qv/component/host_services.hpp"
#include "qv/component/library_loader.hpp"
#include "qv/component/registry_store.hpp"

namespace qv::component {
namespace {

// Records every change and answers as scripted.
class ScriptedStore final : public RegistryStore {
 public:
  struct Call {
    bool publish;
    std::vector<RegistryEntry> entries;
  };
  std::vector<Call> calls;
  std::function<RegistryResult()> answer = [] { return RegistryResult{}; };

  RegistryResult Publish(std::span<const RegistryEntry> entries) override {
    calls.push_back({true, {entries.begin(), entries.end()}});
    return answer();
  }
  RegistryResult Withdraw(std::span<const RegistryEntry> entries) override {
    calls.push_back({false, {entries.begin(), entries.end()}});
    return answer();
  }
};

enum class Installed { kCpp, kC };

class RegistryStoreTest : public ::testing::TestWithParam<Installed> {
 protected:
  void SetUp() override {
    if (GetParam() == Installed::kCpp) {
      host::SetRegistryStore(&store_);
    } else {
      c_store_ = CRegistryStoreOf(store_);
      ASSERT_EQ(qvHostSetRegistryStore(&c_store_), hresult::kOk);
    }
  }
  void TearDown() override { host::SetRegistryStore(nullptr); }

  ScriptedStore store_;
  qvRegistryStore c_store_{};
};

INSTANTIATE_TEST_SUITE_P(Installed, RegistryStoreTest,
                         ::testing::Values(Installed::kCpp, Installed::kC));

TEST_P(RegistryStoreTest, RegisterPublishesAndUnregisterWithdrawsTheRecordsEntries) {
  ASSERT_EQ(DllRegisterServer(), hresult::kOk) << qvHostLastError();
  ASSERT_EQ(DllUnregisterServer(), hresult::kOk) << qvHostLastError();
  const auto wanted = RegistrationEntries(*Project().registration, ThisLibraryPath().string());
  ASSERT_EQ(store_.calls.size(), 2u);
  EXPECT_TRUE(store_.calls[0].publish);
  EXPECT_EQ(store_.calls[0].entries, wanted);
  EXPECT_FALSE(store_.calls[1].publish);
  EXPECT_EQ(store_.calls[1].entries, wanted);
}

TEST_P(RegistryStoreTest, TheStoresFailuresReachTheCallerWithTheirText) {
  constexpr HResult kAccessDenied = MakeHResult(0x80070005);
  const struct {
    const char* what;
    std::function<RegistryResult()> answer;
    HResult status;
    std::string last_error;
  } cases[] = {
      {"refused",
       [] {
         return RegistryResult{hresult::kSelfRegClass, "cannot write /r"};
       },
       hresult::kSelfRegClass, "cannot write /r"},
      {"refused without a text",
       [] {
         return RegistryResult{kAccessDenied, ""};
       },
       kAccessDenied, "the registry store failed"},
      {"throws", []() -> RegistryResult { throw std::runtime_error("disk gone"); }, hresult::kFail,
       "disk gone"},
      {"out of memory", []() -> RegistryResult { throw std::bad_alloc(); }, hresult::kOutOfMemory,
       "out of memory"},
      {"succeeds with a text",
       [] {
         return RegistryResult{hresult::kFalse, "noise"};
       },
       hresult::kOk, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    store_.answer = c.answer;
    EXPECT_EQ(DllRegisterServer(), c.status);
    EXPECT_EQ(qvHostLastError(), c.last_error);
    EXPECT_EQ(DllUnregisterServer(), c.status);
    EXPECT_EQ(qvHostLastError(), c.last_error);
  }
}

TEST(RegistryStoreInstallation, AnIncompleteStoreIsRefusedAndNoStoreIsAFailureThatSaysWhy) {
  ScriptedStore kept;
  const qvRegistryStore store = CRegistryStoreOf(kept);
  const qvRegistryStore incomplete[] = {{store.context, nullptr, store.withdraw},
                                        {store.context, store.publish, nullptr}};
  ASSERT_EQ(qvHostSetRegistryStore(&store), hresult::kOk);
  for (const qvRegistryStore& given : incomplete) {
    EXPECT_EQ(qvHostSetRegistryStore(&given), hresult::kInvalidArg);
    EXPECT_EQ(DllRegisterServer(), hresult::kOk) << "the store installed before stays";
  }
  EXPECT_EQ(kept.calls.size(), std::size(incomplete));

  ASSERT_EQ(qvHostSetRegistryStore(nullptr), hresult::kOk);
  for (auto* change : {&DllRegisterServer, &DllUnregisterServer}) {
    EXPECT_EQ(change(), hresult::kUnexpected);
    EXPECT_NE(std::string(qvHostLastError()).find("no registry store installed"),
              std::string::npos);
  }
  EXPECT_EQ(kept.calls.size(), std::size(incomplete));
}

TEST(RegistryStoreInstallation, TheCFormChecksEntriesAndCutsTextsAtACharacter) {
  ScriptedStore store;
  store.answer = [] { return RegistryResult{hresult::kSelfRegClass, "\u00e9\u00e9\u00e9\u00e9"}; };
  const qvRegistryStore c_store = CRegistryStoreOf(store);
  const qvRegistryEntry good[] = {{"Key", "", "data"}};
  const qvRegistryEntry no_key[] = {{nullptr, "", "data"}};
  const struct {
    const char* what;
    const qvRegistryEntry* entries;
    std::size_t count;
    std::size_t problem_size;
    HResult status;
    const char* problem;
  } cases[] = {
      {"text fits", good, 1, 16, hresult::kSelfRegClass, "\u00e9\u00e9\u00e9\u00e9"},
      {"text cut between characters", good, 1, 5, hresult::kSelfRegClass, "\u00e9\u00e9"},
      {"text cut inside a character", good, 1, 6, hresult::kSelfRegClass, "\u00e9\u00e9"},
      {"entry without key", no_key, 1, 64, hresult::kInvalidArg,
       "an entry without key, name or data"},
      {"no entries", nullptr, 2, 64, hresult::kInvalidArg, "no entries given"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    store.calls.clear();
    char problem[64];
    std::memset(problem, 'x', sizeof problem);
    EXPECT_EQ(c_store.publish(c_store.context, c.entries, c.count, problem, c.problem_size),
              c.status);
    EXPECT_STREQ(problem, c.problem);
    if (c.status == hresult::kSelfRegClass) {
      ASSERT_EQ(store.calls.size(), 1u);
      EXPECT_EQ(store.calls[0].entries, (std::vector<RegistryEntry>{{"Key", "", "data"}}));
    } else {
      EXPECT_TRUE(store.calls.empty());
    }
  }
}

}  // namespace
}  // namespace qv::component
