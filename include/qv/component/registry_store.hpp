// The component host's registry, as self-registration uses it: a store of
// named values under keys, shared by every library registered in it. The
// library holds no registry of its own and no file format: DllRegisterServer
// hands the entries of its registration record to the store the host
// installed (host::SetRegistryStore, or qvHostSetRegistryStore for a host
// that loads the library at run time), and DllUnregisterServer hands the same
// entries back for withdrawal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "qv/component/export.hpp"
#include "qv/component/hresult.hpp"
#include "qv/component/library_identity.hpp"

namespace qv::component {

struct QV_COMPONENT_EXPORT RegistryEntry {
  std::string key;   // "CLSID\\{...}\\InprocServer32"
  std::string name;  // "" is the key's default value
  std::string data;

  friend bool operator==(const RegistryEntry&, const RegistryEntry&) = default;
};

// What a store reports: kOk, or a failed status with a text naming the
// problem (which registry, what went wrong) for the host program's messages.
struct QV_COMPONENT_EXPORT RegistryResult {
  HResult status = hresult::kOk;
  std::string problem;
};

// Thread: called on the thread that calls DllRegisterServer or
// DllUnregisterServer; the library does not serialise those calls, so a
// store shared by several threads guards itself. Lifetime: installed by
// pointer; the store must outlive its installation and every registration
// call that began while it was installed. Throws: failures are results, never
// exceptions; one that escapes anyway (std::bad_alloc) is caught by the
// registration service and reported as its failure.
class QV_COMPONENT_EXPORT RegistryStore {
 public:
  virtual ~RegistryStore() = default;
  // Adds the entries, replacing values of the same key and name; everything
  // else stays. All or nothing: on failure the registry is unchanged.
  virtual RegistryResult Publish(std::span<const RegistryEntry> entries) = 0;
  // Removes the values the entries name, and each of their keys left without
  // values. Entries that are not there are no failure.
  virtual RegistryResult Withdraw(std::span<const RegistryEntry> entries) = 0;
};

// The entries that publish a registration record whose classes and type
// library live in the library file module_path.
QV_COMPONENT_EXPORT std::vector<RegistryEntry> RegistrationEntries(const RegistrationRecord& record,
                                                                   std::string_view module_path);

}  // namespace qv::component

// The same store in C, for a host that loads the library at run time and
// installs its registry with qvHostSetRegistryStore (host_services.hpp).
extern "C" {

typedef struct qvRegistryEntry {
  const char* key;
  const char* name;
  const char* data;
} qvRegistryEntry;

// Adds (publish) or removes (withdraw) count entries, as RegistryStore does.
// Returns 0 on success or a failed HRESULT; on failure the store may write a
// text naming the problem, NUL-terminated, into problem (problem_size bytes,
// never 0). The entries and their texts live only during the call.
typedef std::int32_t (*qvRegistryChangeFn)(void* context, const qvRegistryEntry* entries,
                                           std::size_t count, char* problem,
                                           std::size_t problem_size);

typedef struct qvRegistryStore {
  void* context;  // passed back to both functions unchanged
  qvRegistryChangeFn publish;
  qvRegistryChangeFn withdraw;
} qvRegistryStore;
}

namespace qv::component {

// The C form of a store, to install in a library loaded at run time: the
// functions call store and turn any exception into a failed status. Valid
// while store lives.
QV_COMPONENT_EXPORT qvRegistryStore CRegistryStoreOf(RegistryStore& store) noexcept;

}  // namespace qv::component
