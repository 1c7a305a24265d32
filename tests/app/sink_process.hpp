// A running "qvsmtp sink" on a free loopback port, for the tests that send
// to it.
#pragma once

#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "program_runner.hpp"

namespace qvsmtp::test_support {

class SinkProcess {
 public:
  SinkProcess(const std::string& maildir, std::vector<std::string> more = {}) {
    std::vector<std::string> args{"sink", "--listen", "127.0.0.1:0", "--maildir", maildir};
    args.insert(args.end(), more.begin(), more.end());
    child_ = std::make_unique<Child>(args);
    first_line_ = child_->ReadOutLine();
    static const std::regex listening(R"(^qvsmtp sink: listening on 127\.0\.0\.1:([0-9]+), .*)");
    std::smatch match;
    if (std::regex_match(first_line_, match, listening)) port_ = std::stoi(match[1]);
  }

  int port() const { return port_; }
  const std::string& first_line() const { return first_line_; }
  Child& child() { return *child_; }

 private:
  std::unique_ptr<Child> child_;
  std::string first_line_;
  int port_ = 0;
};

}  // namespace qvsmtp::test_support
