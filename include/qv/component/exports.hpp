// The library's four exported entry points. Each hands the project descriptor
// (and the library's two module words) to the matching service of the
// component host and returns the service's result unchanged.
#pragma once

#include <cstdint>

#include "qv/component/export.hpp"
#include "qv/component/guid.hpp"
#include "qv/component/registry_store.hpp"

extern "C" {
// Publishes the registration record in the registry store the host program
// installed (qvHostSetRegistryStore); kUnexpected when there is none.
QV_COMPONENT_EXPORT std::int32_t DllRegisterServer(void);
// Removes what DllRegisterServer published.
QV_COMPONENT_EXPORT std::int32_t DllUnregisterServer(void);
// A qv::component::ClassObject* in *out for the qvSMTP class (iid IUnknown or
// IClassFactory); the caller releases it.
QV_COMPONENT_EXPORT std::int32_t DllGetClassObject(const qv::component::Guid* clsid,
                                                   const qv::component::Guid* iid, void** out);
// 0 when no object of the library lives any more, 1 otherwise.
QV_COMPONENT_EXPORT std::int32_t DllCanUnloadNow(void);

// The class identifier of a programmatic name ("QVControls1.qvSMTP", case
// ignored): 0, or kClassNotAvailable (kInvalidArg for null arguments).
QV_COMPONENT_EXPORT std::int32_t qvClassIdFromProgId(const char* prog_id,
                                                     qv::component::Guid* clsid);
}

namespace qv::component {

// The entry points' types, for hosts that look them up at run time.
using RegisterServerFn = std::int32_t (*)();
using GetClassObjectFn = std::int32_t (*)(const Guid*, const Guid*, void**);
using CanUnloadNowFn = std::int32_t (*)();
using SetRegistryStoreFn = std::int32_t (*)(const qvRegistryStore*);
using LastErrorFn = const char* (*)();
using ClassIdFromProgIdFn = std::int32_t (*)(const char*, Guid*);

}  // namespace qv::component
