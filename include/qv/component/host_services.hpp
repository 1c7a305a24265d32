// Our own small component host: the services behind a library's four entry
// points. Each takes the library's project descriptor (and, where the entry
// point passes them, the library's two module words) and answers with an
// HResult that the entry point returns unchanged.
//
// Registration publishes into the registry store that the host program
// installs before registering (registry_store.hpp); the host counts the live
// objects of each library (class objects, controls and server locks) to
// answer the unload query.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "qv/component/export.hpp"
#include "qv/component/guid.hpp"
#include "qv/component/hresult.hpp"
#include "qv/component/library_identity.hpp"
#include "qv/component/registry_store.hpp"

namespace qv::component::host {

// The registry every later registration service uses, process-wide; nullptr
// installs none. The store is not owned (see RegistryStore for its lifetime).
// Replaces a store installed through qvHostSetRegistryStore.
QV_COMPONENT_EXPORT void SetRegistryStore(RegistryStore* store);

// What the last failing service on this thread reported, for the host
// program's messages; empty after a success.
QV_COMPONENT_EXPORT std::string LastError();

// Publishes the entries of the project's registration record through the
// installed registry store: kUnexpected when none is installed, kSelfRegClass
// when the library file cannot be found, and a failing store's own status
// (the store is then unchanged), with the store's text as LastError.
QV_COMPONENT_EXPORT HResult RegisterServer(std::uint32_t* first_word, std::uint32_t* second_word,
                                           const ProjectDescriptor& project);

// Removes exactly what RegisterServer publishes; the same failures.
QV_COMPONENT_EXPORT HResult UnregisterServer(std::uint32_t* first_word, std::uint32_t* second_word,
                                             const ProjectDescriptor& project);

// A ClassObject for one of the project's designers, in *out (a reference the
// caller releases): kPointer for no out, kInvalidArg for no class or interface
// identifier, kClassNotAvailable for a class the project does not hold,
// kNoInterface for an interface other than IUnknown or IClassFactory.
QV_COMPONENT_EXPORT HResult GetClassObject(std::uint32_t* first_word, std::uint32_t* second_word,
                                           const ProjectDescriptor& project, const Guid* clsid,
                                           const Guid* iid, void** out);

// kOk when the project has no live objects, kFalse otherwise.
QV_COMPONENT_EXPORT HResult CanUnloadNow(const ProjectDescriptor& project);

// Class objects not yet released, controls not yet destroyed, server locks.
QV_COMPONENT_EXPORT long LiveObjects(const ProjectDescriptor& project);

// The file a descriptor's library was loaded from (empty if unknown).
QV_COMPONENT_EXPORT std::filesystem::path ModulePath(const ProjectDescriptor& project);

}  // namespace qv::component::host

// For host programs that load the library at run time.
extern "C" {
// Installs the registry that DllRegisterServer and DllUnregisterServer change
// (a copy of the struct is kept; its context must stay valid while it is
// installed and while a registration call runs), or none for nullptr: kOk, or
// kInvalidArg when a function is missing (the installed store then stays).
QV_COMPONENT_EXPORT std::int32_t qvHostSetRegistryStore(const qvRegistryStore* store);
// The last failure text of this thread (see LastError); valid until the next
// call on the thread.
QV_COMPONENT_EXPORT const char* qvHostLastError(void);
}
