// Our own small component host: the services behind a library's four entry
// points. Each takes the library's project descriptor (and, where the entry
// point passes them, the library's two module words) and answers with an
// HResult that the entry point returns unchanged.
//
// The host keeps its registry in a file that the host program chooses before
// registering; it counts the live objects of each library (class objects,
// controls and server locks) to answer the unload query.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "qv/component/guid.hpp"
#include "qv/component/hresult.hpp"
#include "qv/component/library_identity.hpp"
#include "qv/export.hpp"

namespace qv::component::host {

// The registry file every later registration service uses.
QV_EXPORT void SetRegistryPath(std::filesystem::path file);
QV_EXPORT std::filesystem::path RegistryPath();

// What the last failing service on this thread reported, for the host
// program's messages; empty after a success.
QV_EXPORT std::string LastError();

// Publishes the project's registration record in the registry file:
// kUnexpected when no registry file was chosen, kSelfRegClass when it cannot
// be read or written (the file is then unchanged).
QV_EXPORT HResult RegisterServer(std::uint32_t* first_word, std::uint32_t* second_word,
                                 const ProjectDescriptor& project);

// Removes exactly what RegisterServer publishes; the same failures.
QV_EXPORT HResult UnregisterServer(std::uint32_t* first_word, std::uint32_t* second_word,
                                   const ProjectDescriptor& project);

// A ClassObject for one of the project's designers, in *out (a reference the
// caller releases): kPointer for no out, kInvalidArg for no class or interface
// identifier, kClassNotAvailable for a class the project does not hold,
// kNoInterface for an interface other than IUnknown or IClassFactory.
QV_EXPORT HResult GetClassObject(std::uint32_t* first_word, std::uint32_t* second_word,
                                 const ProjectDescriptor& project, const Guid* clsid,
                                 const Guid* iid, void** out);

// kOk when the project has no live objects, kFalse otherwise.
QV_EXPORT HResult CanUnloadNow(const ProjectDescriptor& project);

// Class objects not yet released, controls not yet destroyed, server locks.
QV_EXPORT long LiveObjects(const ProjectDescriptor& project);

// The file a descriptor's library was loaded from (empty if unknown).
QV_EXPORT std::filesystem::path ModulePath(const ProjectDescriptor& project);

}  // namespace qv::component::host

// For host programs that load the library at run time.
extern "C" {
// Chooses the registry file (a copy of the path is kept): kOk, or kInvalidArg
// for a null or empty path.
QV_EXPORT std::int32_t qvHostSetRegistryPath(const char* path);
// The last failure text of this thread (see LastError); valid until the next
// call on the thread.
QV_EXPORT const char* qvHostLastError(void);
}
