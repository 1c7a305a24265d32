// A program outside the project that registers the installed library in a
// JSON registry file and unregisters it again, checking the file each time.
// Exits 0 when both changes landed as they should.
#include <cstdio>
#include <string>

#include "qv/component/exports.hpp"
#include "qv/component/host_services.hpp"
#include "qv/component/registry_file.hpp"

namespace {

bool Registered(const std::string& file) {
  const std::string key = "QVControls1.qvSMTP\\CLSID";
  const auto keys = qv::component::ReadRegistry(file);
  return keys.contains(key) && keys.at(key).at("") == "{2D489641-BC81-11D2-B1A5-00A02454227A}";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: register_one REGISTRY_FILE\n");
    return 64;
  }
  qv::component::RegistryFile registry(argv[1]);
  qv::component::host::SetRegistryStore(&registry);
  const bool registered = DllRegisterServer() == 0 && Registered(argv[1]);
  const bool unregistered = DllUnregisterServer() == 0 && !Registered(argv[1]);
  qv::component::host::SetRegistryStore(nullptr);
  std::printf("registered %s, unregistered %s: %s\n", registered ? "yes" : "no",
              unregistered ? "yes" : "no", qvHostLastError());
  return registered && unregistered ? 0 : 1;
}
