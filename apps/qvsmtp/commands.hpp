// The program's commands. Each adds itself to the command line and returns
// what runs it once the line has been parsed.
#pragma once

#include <chrono>
#include <functional>

#include <CLI/CLI.hpp>

#include "narration.hpp"
#include "qv/runtime/event_loop.hpp"

namespace qvsmtp {

struct Command {
  CLI::App* app = nullptr;
  // Returns the exit status; throws ExitError for the program's own failures.
  std::function<int()> run;
};

Command AddSendCommand(CLI::App& program);
Command AddSinkCommand(CLI::App& program);
Command AddDemoCommand(CLI::App& program);
Command AddDescribeCommand(CLI::App& program);
Command AddRegisterCommand(CLI::App& program);
Command AddUnregisterCommand(CLI::App& program);

// Steps the loop until the send is complete, running between_slices about
// ten times a second. Throws ExitError (70) when the loop runs out of work
// first.
void RunUntilComplete(qv::runtime::EventLoop& loop, const Narration& narration,
                      const std::function<void()>& between_slices = {});

}  // namespace qvsmtp
