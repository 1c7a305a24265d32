#include "qv/component/library_loader.hpp"

#include <dlfcn.h>

#include <stdexcept>

#include "qv/component/host_services.hpp"
#include "qv/component/library_identity.hpp"

namespace qv::component {
namespace {

template <typename Fn>
Fn Lookup(void* handle, const char* name, const std::filesystem::path& file) {
  void* symbol = ::dlsym(handle, name);
  if (symbol == nullptr) {
    throw std::runtime_error(file.string() + " has no entry point " + name);
  }
  return reinterpret_cast<Fn>(symbol);
}

}  // namespace

ComponentLibrary::ComponentLibrary(const std::filesystem::path& file)
    : handle_(::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL)) {
  if (handle_ == nullptr) {
    const char* error = ::dlerror();
    throw std::runtime_error(error != nullptr ? error : "cannot load " + file.string());
  }
  try {
    register_ = Lookup<RegisterServerFn>(handle_, "DllRegisterServer", file);
    unregister_ = Lookup<RegisterServerFn>(handle_, "DllUnregisterServer", file);
    get_class_object_ = Lookup<GetClassObjectFn>(handle_, "DllGetClassObject", file);
    can_unload_now_ = Lookup<CanUnloadNowFn>(handle_, "DllCanUnloadNow", file);
    set_registry_store_ = Lookup<SetRegistryStoreFn>(handle_, "qvHostSetRegistryStore", file);
    last_error_ = Lookup<LastErrorFn>(handle_, "qvHostLastError", file);
  } catch (...) {
    ::dlclose(handle_);
    throw;
  }
}

ComponentLibrary::~ComponentLibrary() {
  // Only a library with nothing left alive may go.
  if (can_unload_now_() == hresult::kOk) ::dlclose(handle_);
}

std::filesystem::path ThisLibraryPath() { return host::ModulePath(Project()); }

RegistrationOutcome RegisterLibrary(const std::filesystem::path& library, RegistryStore& registry,
                                    bool unregister) {
  try {
    ComponentLibrary loaded(library);
    const qvRegistryStore store = CRegistryStoreOf(registry);
    HResult status = loaded.SetRegistryStore(&store);
    if (Failed(status)) {
      return {status, "the library refused the registry store: " + DescribeHResult(status)};
    }
    status = unregister ? loaded.UnregisterServer() : loaded.RegisterServer();
    // Read before the store goes: the text is the library's, per thread.
    const std::string problem = Failed(status) ? loaded.LastError() : std::string();
    loaded.SetRegistryStore(nullptr);
    if (Failed(status)) {
      return {status, (unregister ? "unregistration failed: " : "registration failed: ") +
                          DescribeHResult(status) + ": " + problem};
    }
    return {status, (unregister ? "unregistered " : "registered ") + library.string()};
  } catch (const std::exception& error) {
    return {hresult::kFail, error.what()};
  }
}

}  // namespace qv::component
