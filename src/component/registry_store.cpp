#include "qv/component/registry_store.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "component/registry_store_bridge.hpp"

namespace qv::component {
namespace {

std::string ThreadingModelName(ThreadingModel model) {
  switch (model) {
    case ThreadingModel::kApartment:
      break;
  }
  return "Apartment";
}

// --- C++ store behind C functions -----------------------------------------

// Copies text into a C buffer, cut at a character boundary when it is too long.
void CopyProblem(const std::string& text, char* problem, std::size_t size) noexcept {
  if (problem == nullptr || size == 0) return;
  std::size_t length = std::min(text.size(), size - 1);
  if (length < text.size()) {
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  }
  std::memcpy(problem, text.data(), length);
  problem[length] = '\0';
}

template <RegistryResult (RegistryStore::*kChange)(std::span<const RegistryEntry>)>
std::int32_t ChangeThroughCpp(void* context, const qvRegistryEntry* entries, std::size_t count,
                              char* problem, std::size_t problem_size) noexcept {
  // Nothing may unwind into the C caller.
  try {
    if (entries == nullptr && count > 0) {
      CopyProblem("no entries given", problem, problem_size);
      return hresult::kInvalidArg;
    }
    std::vector<RegistryEntry> copied;
    copied.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      const qvRegistryEntry& entry = entries[i];
      if (entry.key == nullptr || entry.name == nullptr || entry.data == nullptr) {
        CopyProblem("an entry without key, name or data", problem, problem_size);
        return hresult::kInvalidArg;
      }
      copied.push_back({entry.key, entry.name, entry.data});
    }
    const RegistryResult result = (static_cast<RegistryStore*>(context)->*kChange)(copied);
    if (Failed(result.status)) CopyProblem(result.problem, problem, problem_size);
    return result.status;
  } catch (const std::bad_alloc&) {
    CopyProblem("out of memory", problem, problem_size);
    return hresult::kOutOfMemory;
  } catch (const std::exception& error) {
    CopyProblem(error.what(), problem, problem_size);
    return hresult::kFail;
  } catch (...) {
    CopyProblem("the registry store failed", problem, problem_size);
    return hresult::kFail;
  }
}

// --- C functions behind the C++ store -------------------------------------

class CRegistryStore final : public RegistryStore {
 public:
  explicit CRegistryStore(const qvRegistryStore& store) : store_(store) {}

  RegistryResult Publish(std::span<const RegistryEntry> entries) override {
    return Change(store_.publish, entries);
  }
  RegistryResult Withdraw(std::span<const RegistryEntry> entries) override {
    return Change(store_.withdraw, entries);
  }

 private:
  RegistryResult Change(qvRegistryChangeFn change, std::span<const RegistryEntry> entries) {
    std::vector<qvRegistryEntry> c_entries;
    c_entries.reserve(entries.size());
    for (const RegistryEntry& entry : entries) {
      c_entries.push_back({entry.key.c_str(), entry.name.c_str(), entry.data.c_str()});
    }
    char problem[1024] = {};
    const std::int32_t status =
        change(store_.context, c_entries.data(), c_entries.size(), problem, sizeof problem);
    if (!Failed(status)) return {};
    problem[sizeof problem - 1] = '\0';  // a store that ignored the size
    return {status, problem};
  }

  qvRegistryStore store_;
};

}  // namespace

std::vector<RegistryEntry> RegistrationEntries(const RegistrationRecord& record,
                                               std::string_view module_path) {
  const std::string module(module_path);
  const std::string libid = ToString(record.libid);
  const std::string version = std::to_string(record.major) + "." + std::to_string(record.minor);
  std::vector<RegistryEntry> entries;
  auto add = [&](std::string key, std::string name, std::string data) {
    entries.push_back({std::move(key), std::move(name), std::move(data)});
  };

  const std::string typelib = "TypeLib\\" + libid + "\\" + version;
  add(typelib, "", std::string(record.description));
  add(typelib, "Name", std::string(record.name));
  char locale[16];
  std::snprintf(locale, sizeof locale, "%x", static_cast<unsigned>(record.lcid));
  add(typelib + "\\" + locale + "\\linux", "", module);
  add(typelib + "\\HELPDIR", "", std::string(record.help_dir));

  for (const RegisteredClass& entry : record.classes) {
    const std::string clsid = ToString(entry.clsid);
    const std::string key = "CLSID\\" + clsid;
    add(key, "", std::string(entry.name));
    if (!entry.description.empty()) add(key, "Description", std::string(entry.description));
    add(key, "DefaultInterface", ToString(entry.default_interface.iid));
    add(key, "EventInterface", ToString(entry.event_interface.iid));
    if (entry.control) add(key + "\\Control", "", "");
    add(key + "\\InprocServer32", "", module);
    add(key + "\\InprocServer32", "ThreadingModel", ThreadingModelName(entry.threading));
    add(key + "\\MiscStatus", "", "0");
    add(key + "\\MiscStatus\\1", "", std::to_string(entry.misc_status));
    add(key + "\\ProgID", "", std::string(entry.prog_id));
    add(key + "\\ToolboxBitmap32", "", module + ", " + std::to_string(entry.toolbox_bitmap));
    if (entry.default_icon != 0) {
      add(key + "\\DefaultIcon", "", module + ", " + std::to_string(entry.default_icon));
    }
    add(key + "\\TypeLib", "", libid);
    add(key + "\\Version", "", version);
    for (const InterfaceRef& interface : {entry.default_interface, entry.event_interface}) {
      const std::string iid_key = "Interface\\" + ToString(interface.iid);
      add(iid_key, "", std::string(interface.name));
      add(iid_key + "\\TypeLib", "", libid);
      add(iid_key + "\\TypeLib", "Version", version);
    }
    add(std::string(entry.prog_id), "", std::string(entry.name));
    add(std::string(entry.prog_id) + "\\CLSID", "", clsid);
  }
  return entries;
}

qvRegistryStore CRegistryStoreOf(RegistryStore& store) noexcept {
  return {&store, &ChangeThroughCpp<&RegistryStore::Publish>,
          &ChangeThroughCpp<&RegistryStore::Withdraw>};
}

std::unique_ptr<RegistryStore> StoreOverC(const qvRegistryStore& store) {
  return std::make_unique<CRegistryStore>(store);
}

}  // namespace qv::component
