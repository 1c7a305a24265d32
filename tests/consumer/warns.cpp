// The parent project's own code, with a warning under -Wall: it builds, and
// silently, however the library it links is built.
#include "qv/component/registry_file.hpp"

int main() {
  int unused = 0;
  const qv::component::RegistryFile registry("registry.json");
  return registry.path().empty() ? 1 : 0;
}
