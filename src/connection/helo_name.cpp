#include "helo_name.hpp"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "qv/connection/host_name.hpp"

namespace qv::connection {

namespace {

struct NameLookup {
  std::mutex mutex;
  std::condition_variable done_changed;
  bool done = false;
  std::string name;
};

// Never destroyed: a lookup still running when the program ends must not
// find it gone.
NameLookup& Lookup() {
  static auto* lookup = new NameLookup;
  return *lookup;
}

std::string SystemHostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

std::string CanonicalHostName() {
  const std::string host = SystemHostName();
  if (host.empty()) return {};
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* result = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) return {};
  std::string name = result->ai_canonname != nullptr ? result->ai_canonname : "";
  ::freeaddrinfo(result);
  while (!name.empty() && name.back() == '.') name.pop_back();
  // A name without a dot is what servers refuse as not fully qualified.
  if (name.find('.') == std::string::npos) return {};
  return name;
}

void Publish(std::string name) {
  NameLookup& lookup = Lookup();
  {
    std::lock_guard lock(lookup.mutex);
    lookup.name = std::move(name);
    lookup.done = true;
  }
  lookup.done_changed.notify_all();
}

}  // namespace

void StartFullyQualifiedNameLookup() {
  static std::once_flag started;
  std::call_once(started, [] {
    try {
      // Detached: a slow name service must not hold up the program's end.
      std::thread([] { Publish(CanonicalHostName()); }).detach();
    } catch (const std::system_error&) {
      Publish({});
    }
  });
}

std::string HeloName(const std::string& configured, const std::string& local_address_literal) {
  if (!configured.empty()) return configured;
  std::string full = FullyQualifiedHostName();
  if (!full.empty()) return full;
  if (!local_address_literal.empty()) return local_address_literal;
  std::string system = SystemHostName();
  return system.empty() ? "localhost" : system;
}

std::string FullyQualifiedHostName(std::chrono::milliseconds wait) {
  StartFullyQualifiedNameLookup();
  NameLookup& lookup = Lookup();
  std::unique_lock lock(lookup.mutex);
  lookup.done_changed.wait_for(lock, wait, [&] { return lookup.done; });
  return lookup.done ? lookup.name : std::string();
}

String LocalHostName() {
  const std::string name = SystemHostName();
  return FromUtf8(name.empty() ? "localhost" : name);
}

}  // namespace qv::connection
