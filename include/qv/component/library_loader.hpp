// Loading a component library at run time and calling its entry points, as a
// host program does to register or unregister it.
#pragma once

#include <filesystem>
#include <string>

#include "qv/component/export.hpp"
#include "qv/component/exports.hpp"
#include "qv/component/guid.hpp"
#include "qv/component/hresult.hpp"
#include "qv/component/registry_store.hpp"

namespace qv::component {

class QV_COMPONENT_EXPORT ComponentLibrary {
 public:
  // Throws std::runtime_error with the loader's message when the file cannot
  // be loaded or lacks one of the entry points or host functions.
  explicit ComponentLibrary(const std::filesystem::path& file);
  ~ComponentLibrary();
  ComponentLibrary(const ComponentLibrary&) = delete;
  ComponentLibrary& operator=(const ComponentLibrary&) = delete;

  HResult RegisterServer() { return register_(); }
  HResult UnregisterServer() { return unregister_(); }
  HResult GetClassObject(const Guid& clsid, const Guid& iid, void** out) {
    return get_class_object_(&clsid, &iid, out);
  }
  HResult CanUnloadNow() { return can_unload_now_(); }

  // The component host inside the library: the registry its registration
  // changes (nullptr: none), as qvHostSetRegistryStore says.
  HResult SetRegistryStore(const qvRegistryStore* store) { return set_registry_store_(store); }
  std::string LastError() { return last_error_(); }

 private:
  void* handle_ = nullptr;
  RegisterServerFn register_ = nullptr;
  RegisterServerFn unregister_ = nullptr;
  GetClassObjectFn get_class_object_ = nullptr;
  CanUnloadNowFn can_unload_now_ = nullptr;
  SetRegistryStoreFn set_registry_store_ = nullptr;
  LastErrorFn last_error_ = nullptr;
};

// The file this process has the library loaded from.
QV_COMPONENT_EXPORT std::filesystem::path ThisLibraryPath();

struct QV_COMPONENT_EXPORT RegistrationOutcome {
  HResult status = hresult::kOk;
  std::string message;  // what was done, or why it failed
};

// Loads library, installs registry as its registry store for the one call,
// and registers it (or unregisters it). Never throws: a library that cannot
// be loaded is kFail with the loader's message. The library is left with no
// store installed (also when it is the one this process already uses), so it
// holds no reference to registry afterwards.
QV_COMPONENT_EXPORT RegistrationOutcome RegisterLibrary(const std::filesystem::path& library,
                                                        RegistryStore& registry, bool unregister);

}  // namespace qv::component
