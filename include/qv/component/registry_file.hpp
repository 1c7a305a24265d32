// The component host's registry: a JSON file of keys, each holding named
// values ("" is a key's default value), shared by every library registered in
// it. Changes are made under an exclusive lock of the file's folder and land
// as a whole new file (written, flushed, then renamed over the old one), so a
// reader never sees half a registry and concurrent registrations do not lose
// each other's entries.
//
// {"keys": {"CLSID\\{...}": {"": "qvSMTP"}, ...}}
#pragma once

#include <filesystem>
#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "qv/component/library_identity.hpp"
#include "qv/export.hpp"

namespace qv::component {

struct QV_EXPORT RegistryEntry {
  std::string key;
  std::string name;  // "" is the key's default value
  std::string data;

  friend bool operator==(const RegistryEntry&, const RegistryEntry&) = default;
};

using RegistryKeys = std::map<std::string, std::map<std::string, std::string>>;

class QV_EXPORT RegistryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The keys of a registry file; a missing or empty file is an empty registry.
// Throws RegistryError for a file that cannot be read or is no registry.
QV_EXPORT RegistryKeys ReadRegistry(const std::filesystem::path& file);

// Adds the entries (replacing values of the same key and name). Everything
// else in the file stays as it was. Throws RegistryError; the file is then
// unchanged.
QV_EXPORT void PublishEntries(const std::filesystem::path& file,
                              std::span<const RegistryEntry> entries);

// Removes the values the entries name, and each of their keys left without
// values. A file that would not change is not written (nor created).
QV_EXPORT void WithdrawEntries(const std::filesystem::path& file,
                               std::span<const RegistryEntry> entries);

// The entries that publish a registration record whose classes and type
// library live in the library file module_path.
QV_EXPORT std::vector<RegistryEntry> RegistrationEntries(const RegistrationRecord& record,
                                                         std::string_view module_path);

}  // namespace qv::component
