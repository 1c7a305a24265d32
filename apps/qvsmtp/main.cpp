// qvsmtp: puts the qvSMTP mail control to work from the command line.
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "commands.hpp"
#include "exit_codes.hpp"
#include "narration.hpp"

#ifndef QVSMTP_VERSION
#define QVSMTP_VERSION "unknown"
#endif

namespace {

// Usage problems are reported as one line.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  // A closed standard error must not end a conversation half-way: writes to
  // it fail instead.
  std::signal(SIGPIPE, SIG_IGN);
  CLI::App program(
      "Send mail through the qvSMTP control, receive it for a try, or describe and register the "
      "control library.",
      "qvsmtp");
  program.set_version_flag("--version", std::string("qvsmtp ") + QVSMTP_VERSION,
                           "Print the version and exit");
  program.require_subcommand(1);
  // An option given twice takes its last value (the commands inherit this).
  program.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  program.footer("Run \"qvsmtp COMMAND --help\" for the options of a command.");

  std::vector<qvsmtp::Command> commands{
      qvsmtp::AddSendCommand(program),     qvsmtp::AddSinkCommand(program),
      qvsmtp::AddDemoCommand(program),     qvsmtp::AddDescribeCommand(program),
      qvsmtp::AddRegisterCommand(program), qvsmtp::AddUnregisterCommand(program)};

  // Named here so that the one line says what was wrong.
  if (argc > 1 && argv[1][0] != '-') {
    bool known = false;
    for (const qvsmtp::Command& command : commands) known |= command.app->check_name(argv[1]);
    if (!known) {
      std::fprintf(
          stderr, "qvsmtp: unknown command \"%s\" (commands: ", qvsmtp::Printable(argv[1]).c_str());
      for (std::size_t i = 0; i < commands.size(); ++i) {
        std::fprintf(stderr, "%s%s", i > 0 ? ", " : "", commands[i].app->get_name().c_str());
      }
      std::fputs(")\n", stderr);
      return qvsmtp::exit_code::kUsage;
    }
  }

  try {
    program.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return program.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return program.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return program.exit(e);
  } catch (const CLI::ParseError& e) {
    std::string where = "qvsmtp";
    for (const qvsmtp::Command& command : commands) {
      if (command.app->parsed()) where += " " + command.app->get_name();
    }
    std::fprintf(stderr, "%s: %s\n", where.c_str(), OneLine(e.what()).c_str());
    return qvsmtp::exit_code::kUsage;
  }

  for (const qvsmtp::Command& command : commands) {
    if (!command.app->parsed()) continue;
    const std::string where = "qvsmtp " + command.app->get_name();
    try {
      return command.run();
    } catch (const qvsmtp::ExitError& e) {
      std::fprintf(stderr, "%s: %s\n", where.c_str(), qvsmtp::Printable(e.what()).c_str());
      return e.code();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s: internal error: %s\n", where.c_str(),
                   qvsmtp::Printable(e.what()).c_str());
      return qvsmtp::exit_code::kInternal;
    }
  }
  return qvsmtp::exit_code::kUsage;
}
