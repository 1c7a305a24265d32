#include "qv/component/registry_file.hpp"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "file_io.hpp"

namespace qv::component {
namespace {

using nlohmann::json;

[[noreturn]] void FailErrno(const std::string& what, const std::filesystem::path& path) {
  throw RegistryError(what + " " + path.string() + ": " + std::strerror(errno));
}

using file_io::FileDescriptor;

std::filesystem::path FolderOf(const std::filesystem::path& file) {
  const std::filesystem::path folder = file.parent_path();
  return folder.empty() ? std::filesystem::path(".") : folder;
}

// Held while a change is read, made and written. Locking the folder rather
// than a lock file leaves nothing behind.
class FolderLock {
 public:
  explicit FolderLock(const std::filesystem::path& file)
      : fd_(::open(FolderOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_.get() < 0) FailErrno("cannot open the folder of", file);
    while (::flock(fd_.get(), LOCK_EX) != 0) {
      if (errno != EINTR) FailErrno("cannot lock the folder of", file);
    }
  }

 private:
  FileDescriptor fd_;
};

// The whole document; a missing or empty file is an empty object.
json ReadDocument(const std::filesystem::path& file) {
  std::string content;
  try {
    content = file_io::ReadWholeFile(file);
  } catch (const file_io::FileError& error) {
    if (error.number() == ENOENT) return json::object();
    throw RegistryError("cannot read " + file.string() + ": " + error.what());
  }
  if (content.find_first_not_of(" \t\r\n") == std::string::npos) return json::object();
  json document;
  try {
    document = json::parse(content);
  } catch (const json::exception& error) {
    throw RegistryError(file.string() + " is not a registry file: " + error.what());
  }
  if (!document.is_object()) throw RegistryError(file.string() + " is not a registry file");
  if (!document.contains("keys")) return document;
  const json& keys = document["keys"];
  bool valid = keys.is_object();
  for (auto key = keys.begin(); valid && key != keys.end(); ++key) {
    valid = key.value().is_object();
    for (auto value = key.value().begin(); valid && value != key.value().end(); ++value) {
      valid = value.value().is_string();
    }
  }
  if (!valid) throw RegistryError(file.string() + " is not a registry file: malformed keys");
  return document;
}

// The new document replaces the file as a whole (see file_io::SaveAtomically).
void WriteDocument(const std::filesystem::path& file, const json& document) {
  std::string text;
  try {
    text = document.dump(2) + "\n";
  } catch (const json::exception& error) {
    // A value that is no valid UTF-8 (a path is only bytes) cannot be stored.
    throw RegistryError("cannot store the registry " + file.string() + ": " + error.what());
  }
  try {
    file_io::SaveAtomically(file, text);
  } catch (const file_io::FileError& error) {
    throw RegistryError("cannot replace the registry " + file.string() + ": " + error.what());
  }
}

template <typename Change>
void ChangeRegistry(const std::filesystem::path& link_or_file, Change change) {
  // A registry reached through a link is changed where it lies; the link stays.
  std::filesystem::path file;
  try {
    file = file_io::SaveTarget(link_or_file);
  } catch (const file_io::FileError& error) {
    throw RegistryError(error.what());
  }
  const FolderLock lock(file);
  json document = ReadDocument(file);
  if (change(document)) WriteDocument(file, document);
}

// A change that fails is a result naming the file; the file is then unchanged.
template <typename Change>
RegistryResult Changed(const std::filesystem::path& file, Change change) {
  try {
    change(file);
  } catch (const RegistryError& error) {
    return {hresult::kSelfRegClass, error.what()};
  }
  return {};
}

}  // namespace

RegistryKeys ReadRegistry(const std::filesystem::path& file) {
  const json document = ReadDocument(file);
  RegistryKeys keys;
  if (!document.contains("keys")) return keys;
  for (const auto& [key, values] : document["keys"].items()) {
    auto& target = keys[key];
    for (const auto& [name, data] : values.items()) target[name] = data.get<std::string>();
  }
  return keys;
}

void PublishEntries(const std::filesystem::path& file, std::span<const RegistryEntry> entries) {
  ChangeRegistry(file, [&](json& document) {
    json& keys = document["keys"];
    if (keys.is_null()) keys = json::object();
    bool changed = false;
    for (const RegistryEntry& entry : entries) {
      json& values = keys[entry.key];
      if (values.is_null()) values = json::object();
      if (!values.contains(entry.name) || values[entry.name] != entry.data) {
        values[entry.name] = entry.data;
        changed = true;
      }
    }
    return changed;
  });
}

void WithdrawEntries(const std::filesystem::path& file, std::span<const RegistryEntry> entries) {
  ChangeRegistry(file, [&](json& document) {
    if (!document.contains("keys")) return false;
    json& keys = document["keys"];
    bool changed = false;
    for (const RegistryEntry& entry : entries) {
      const auto key = keys.find(entry.key);
      if (key == keys.end()) continue;
      changed = key->erase(entry.name) > 0 || changed;
      if (key->empty()) {
        keys.erase(key);
        changed = true;
      }
    }
    return changed;
  });
}

RegistryResult RegistryFile::Publish(std::span<const RegistryEntry> entries) {
  return Changed(file_, [&](const auto& file) { PublishEntries(file, entries); });
}

RegistryResult RegistryFile::Withdraw(std::span<const RegistryEntry> entries) {
  return Changed(file_, [&](const auto& file) { WithdrawEntries(file, entries); });
}

}  // namespace qv::component
