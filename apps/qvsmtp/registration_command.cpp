// qvsmtp register / unregister: load the control library and call its
// self-registration entry points against a registry file of our host's.
#include <cstdio>
#include <memory>
#include <string>

#include "commands.hpp"
#include "exit_codes.hpp"
#include "qv/component/hresult.hpp"
#include "qv/component/library_loader.hpp"
#include "qv/component/registry_file.hpp"

namespace qvsmtp {

namespace {

struct RegistrationOptions {
  std::string registry;
  std::string library;
};

int RunRegistration(const RegistrationOptions& o, bool unregister) {
  const std::filesystem::path library =
      o.library.empty() ? qv::component::ThisLibraryPath() : std::filesystem::path(o.library);
  if (library.empty()) throw ExitError(exit_code::kInternal, "cannot find the control library");
  qv::component::RegistryFile registry(o.registry);
  const auto outcome = qv::component::RegisterLibrary(library, registry, unregister);
  if (qv::component::Failed(outcome.status)) {
    // A library that does not load is bad input; anything else is the registry.
    throw ExitError(outcome.status == qv::component::hresult::kFail ? exit_code::kNoInput
                                                                    : exit_code::kCantCreate,
                    outcome.message);
  }
  std::printf("%s %s %s\n", outcome.message.c_str(), unregister ? "from" : "in",
              o.registry.c_str());
  return 0;
}

Command AddRegistrationCommand(CLI::App& program, bool unregister) {
  auto options = std::make_shared<RegistrationOptions>();
  CLI::App* app = program.add_subcommand(
      unregister ? "unregister" : "register",
      unregister ? "Remove what registering published from a registry file"
                 : "Register the control library in a registry file (created when missing)");
  app->add_option("--registry", options->registry, "The registry file")
      ->required()
      ->type_name("FILE");
  app->add_option("--library", options->library,
                  "The library file (default: the one this program uses)")
      ->type_name("FILE");
  return Command{app, [options, unregister] { return RunRegistration(*options, unregister); }};
}

}  // namespace

Command AddRegisterCommand(CLI::App& program) { return AddRegistrationCommand(program, false); }

Command AddUnregisterCommand(CLI::App& program) { return AddRegistrationCommand(program, true); }

}  // namespace qvsmtp
