#include "qv/component/host_services.hpp"

#include <dlfcn.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>

#include "component/registry_store_bridge.hpp"
#include "qv/component/factory.hpp"

namespace qv::component::host {
namespace {

// What the host keeps for each library it has seen.
struct LibraryState {
  std::atomic<long> objects{0};  // class objects and controls alive
  std::atomic<long> locks{0};    // server locks, library-wide

  void Unlock() {
    long held = locks.load();
    // An unlock without a lock is ignored rather than cancelling a later one.
    while (held > 0 && !locks.compare_exchange_weak(held, held - 1)) {
    }
  }
};

struct HostState {
  std::mutex mutex;
  // Shared with the registration calls running, so that installing another
  // store never destroys a bridge to a C store while it is in use.
  std::shared_ptr<RegistryStore> registry;
  std::map<const ProjectDescriptor*, std::unique_ptr<LibraryState>> libraries;
  std::uint32_t next_handle = 1;
};

HostState& State() {
  static HostState state;
  return state;
}

thread_local std::string last_error;

// The library's state; the first call records that the host knows it in the
// library's first module word.
LibraryState& Attach(const ProjectDescriptor& project, std::uint32_t* first_word) {
  HostState& state = State();
  const std::lock_guard lock(state.mutex);
  auto& slot = state.libraries[&project];
  if (!slot) slot = std::make_unique<LibraryState>();
  if (first_word != nullptr && *first_word == 0) *first_word = state.next_handle++;
  return *slot;
}

HResult Fail(HResult status, std::string text) noexcept {
  last_error.swap(text);
  return status;
}

// Every failure becomes a status: nothing may unwind through the library's
// C entry points.
template <typename Service>
HResult Guarded(Service service) noexcept {
  try {
    return service();
  } catch (const std::bad_alloc&) {
    return Fail(hresult::kOutOfMemory, "out of memory");
  } catch (const std::exception& error) {
    return Fail(hresult::kFail, error.what());
  } catch (...) {
    return Fail(hresult::kFail, {});
  }
}

HResult Succeed(HResult status = hresult::kOk) noexcept {
  last_error.clear();
  return status;
}

// A created control, counted while it lives.
class CountedControl final : public ControlObject {
 public:
  CountedControl(std::unique_ptr<ControlObject> inner, LibraryState& library)
      : inner_(std::move(inner)), library_(library) {
    ++library_.objects;
  }
  ~CountedControl() override {
    inner_.reset();
    --library_.objects;
  }
  qvSMTP& control() override { return inner_->control(); }
  Dispatch& dispatch() override { return inner_->dispatch(); }
  void AdviseDispatch(DispatchEventSink* sink) override { inner_->AdviseDispatch(sink); }

 private:
  std::unique_ptr<ControlObject> inner_;
  LibraryState& library_;
};

class HostClassObject final : public ClassObject {
 public:
  HostClassObject(const DesignerEntry& designer, LibraryState& library)
      : designer_(designer), library_(library) {
    ++library_.objects;
  }

  std::uint32_t AddRef() override { return ++references_; }
  std::uint32_t Release() override {
    const std::uint32_t left = --references_;
    if (left == 0) delete this;
    return left;
  }
  Guid ClassId() const override { return designer_.clsid; }

  std::unique_ptr<ControlObject> CreateInstance(Socket& socket, Timer& timer, Clock& clock,
                                                ComponentHost& host) override {
    return std::make_unique<CountedControl>(designer_.create(socket, timer, clock, host), library_);
  }

  void LockServer(bool lock) override {
    if (lock) {
      ++library_.locks;
    } else {
      library_.Unlock();
    }
  }

 private:
  ~HostClassObject() { --library_.objects; }

  const DesignerEntry& designer_;
  LibraryState& library_;
  std::atomic<std::uint32_t> references_{1};
};

std::shared_ptr<RegistryStore> InstalledStore() {
  HostState& state = State();
  const std::lock_guard lock(state.mutex);
  return state.registry;
}

void InstallStore(std::shared_ptr<RegistryStore> store) {
  HostState& state = State();
  const std::lock_guard lock(state.mutex);
  state.registry.swap(store);
  // The store replaced goes here, outside the lock.
}

HResult ChangeRegistration(std::uint32_t* first_word, const ProjectDescriptor& project,
                           bool publish) {
  Attach(project, first_word);
  if (project.registration == nullptr) {
    return Fail(hresult::kUnexpected, "the library has no registration record");
  }
  const std::shared_ptr<RegistryStore> registry = InstalledStore();
  if (!registry) {
    return Fail(hresult::kUnexpected,
                "no registry store installed: the host installs one (qvHostSetRegistryStore) "
                "before it registers or unregisters the library");
  }
  const std::filesystem::path module = ModulePath(project);
  if (module.empty()) return Fail(hresult::kSelfRegClass, "the library file cannot be found");
  const auto entries = RegistrationEntries(*project.registration, module.string());
  RegistryResult result = publish ? registry->Publish(entries) : registry->Withdraw(entries);
  if (!Failed(result.status)) return Succeed();
  if (result.problem.empty()) result.problem = "the registry store failed";
  return Fail(result.status, std::move(result.problem));
}

HResult MakeClassObject(std::uint32_t* first_word, const ProjectDescriptor& project,
                        const Guid* clsid, const Guid* iid, void** out) {
  LibraryState& library = Attach(project, first_word);
  if (clsid == nullptr || iid == nullptr) {
    return Fail(hresult::kInvalidArg, "no class or interface identifier");
  }
  const DesignerEntry* designer = nullptr;
  for (const DesignerEntry& entry : project.designers) {
    if (entry.clsid == *clsid) designer = &entry;
  }
  if (designer == nullptr || designer->create == nullptr) {
    return Fail(hresult::kClassNotAvailable, "class " + ToString(*clsid) + " is not available");
  }
  if (*iid != kIidIUnknown && *iid != kIidIClassFactory) {
    return Fail(hresult::kNoInterface, "interface " + ToString(*iid) + " is not supported");
  }
  *out = static_cast<ClassObject*>(new HostClassObject(*designer, library));
  return Succeed();
}

}  // namespace

void SetRegistryStore(RegistryStore* store) {
  // Not owned: the host keeps it alive while installed.
  InstallStore(store == nullptr ? nullptr : std::shared_ptr<RegistryStore>(store, [](auto*) {}));
}

std::string LastError() { return last_error; }

HResult RegisterServer(std::uint32_t* first_word, std::uint32_t*,
                       const ProjectDescriptor& project) {
  return Guarded([&] { return ChangeRegistration(first_word, project, true); });
}

HResult UnregisterServer(std::uint32_t* first_word, std::uint32_t*,
                         const ProjectDescriptor& project) {
  return Guarded([&] { return ChangeRegistration(first_word, project, false); });
}

HResult GetClassObject(std::uint32_t* first_word, std::uint32_t*, const ProjectDescriptor& project,
                       const Guid* clsid, const Guid* iid, void** out) {
  if (out == nullptr) return Fail(hresult::kPointer, "no place for the class object");
  *out = nullptr;
  return Guarded([&] { return MakeClassObject(first_word, project, clsid, iid, out); });
}

HResult CanUnloadNow(const ProjectDescriptor& project) {
  return Guarded(
      [&] { return Succeed(LiveObjects(project) == 0 ? hresult::kOk : hresult::kFalse); });
}

long LiveObjects(const ProjectDescriptor& project) {
  const LibraryState& library = Attach(project, nullptr);
  return library.objects.load() + library.locks.load();
}

std::filesystem::path ModulePath(const ProjectDescriptor& project) {
  Dl_info info{};
  if (::dladdr(&project, &info) == 0 || info.dli_fname == nullptr || *info.dli_fname == '\0') {
    return {};
  }
  // Absolute, but through the same links the loader followed: the registry
  // then names the file a host should load, not its current version.
  std::error_code error;
  const auto path = std::filesystem::absolute(info.dli_fname, error);
  return error ? std::filesystem::path(info.dli_fname) : path.lexically_normal();
}

}  // namespace qv::component::host

extern "C" std::int32_t qvHostSetRegistryStore(const qvRegistryStore* store) {
  namespace component = qv::component;
  if (store == nullptr) {
    component::host::SetRegistryStore(nullptr);
    return component::hresult::kOk;
  }
  if (store->publish == nullptr || store->withdraw == nullptr) {
    return component::hresult::kInvalidArg;
  }
  try {
    component::host::InstallStore(component::StoreOverC(*store));
  } catch (const std::bad_alloc&) {
    return component::hresult::kOutOfMemory;
  }
  return component::hresult::kOk;
}

extern "C" const char* qvHostLastError(void) { return qv::component::host::last_error.c_str(); }
