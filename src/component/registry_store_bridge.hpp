// A store given in C (by a host that loaded the library at run time), seen by
// the registration services as a RegistryStore.
#pragma once

#include <memory>

#include "qv/component/registry_store.hpp"

namespace qv::component {

// Calls store's functions with a copy of its context; their texts become the
// result's problem. Throws std::bad_alloc only.
std::unique_ptr<RegistryStore> StoreOverC(const qvRegistryStore& store);

}  // namespace qv::component
