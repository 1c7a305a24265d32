// A registry store in a JSON file (the library QVControls1::registryfile):
// keys, each holding named values ("" is a key's default value), shared by
// every library registered in it. Changes are made under an exclusive lock of the file's folder and
// land as a whole new file (written, flushed, then renamed over the old one), so a reader never
// sees half a registry and concurrent registrations do not lose each other's entries.
//
// {"keys": {"CLSID\\{...}": {"": "qvSMTP"}, ...}}
#pragma once

#include <filesystem>
#include <map>
#include <span>
#include <stdexcept>
#include <string>

#include "qv/component/registry_store.hpp"
#include "qv/registryfile/export.hpp"

namespace qv::component {

using RegistryKeys = std::map<std::string, std::map<std::string, std::string>>;

class QV_REGISTRYFILE_EXPORT RegistryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The keys of a registry file; a missing or empty file is an empty registry.
// Throws RegistryError for a file that cannot be read or is no registry.
QV_REGISTRYFILE_EXPORT RegistryKeys ReadRegistry(const std::filesystem::path& file);

// Adds the entries (replacing values of the same key and name). Everything
// else in the file stays as it was. Throws RegistryError; the file is then
// unchanged.
QV_REGISTRYFILE_EXPORT void PublishEntries(const std::filesystem::path& file,
                                           std::span<const RegistryEntry> entries);

// Removes the values the entries name, and each of their keys left without
// values. A file that would not change is not written (nor created).
QV_REGISTRYFILE_EXPORT void WithdrawEntries(const std::filesystem::path& file,
                                            std::span<const RegistryEntry> entries);

// The registry store in one file, for host::SetRegistryStore (or, through
// CRegistryStoreOf, a library loaded at run time). Each change locks the file
// for itself, so one store may serve several threads; it keeps nothing but
// the path. A file that cannot be read, understood or written is a failed
// result (kSelfRegClass) naming the file; the file is then unchanged.
class QV_REGISTRYFILE_EXPORT RegistryFile final : public RegistryStore {
 public:
  explicit RegistryFile(std::filesystem::path file) : file_(std::move(file)) {}
  const std::filesystem::path& path() const noexcept { return file_; }

  RegistryResult Publish(std::span<const RegistryEntry> entries) override;
  RegistryResult Withdraw(std::span<const RegistryEntry> entries) override;

 private:
  std::filesystem::path file_;
};

}  // namespace qv::component
