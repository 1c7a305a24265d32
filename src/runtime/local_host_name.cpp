#include "local_host_name.hpp"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include <asio/ip/host_name.hpp>

#include "qv/core/text.hpp"
#include "qv/runtime/asio_socket.hpp"

namespace qv::runtime {

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

std::string CanonicalHostName() {
  std::error_code ec;
  const std::string host = asio::ip::host_name(ec);
  if (ec || host.empty()) return {};
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

namespace detail {

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

std::string AddressLiteral(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return AddressLiteral(asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()));
  }
  if (address.is_v4()) return "[" + address.to_string() + "]";
  std::string text = address.to_string();
  if (const auto zone = text.find('%'); zone != std::string::npos) text.erase(zone);
  return "[IPv6:" + text + "]";
}

}  // namespace detail

std::string FullyQualifiedHostName(std::chrono::milliseconds wait) {
  detail::StartFullyQualifiedNameLookup();
  NameLookup& lookup = Lookup();
  std::unique_lock lock(lookup.mutex);
  lookup.done_changed.wait_for(lock, wait, [&] { return lookup.done; });
  return lookup.done ? lookup.name : std::string();
}

String LocalHostName() {
  std::error_code ec;
  std::string name = asio::ip::host_name(ec);
  if (ec || name.empty()) name = "localhost";
  return FromUtf8(name);
}

}  // namespace qv::runtime
