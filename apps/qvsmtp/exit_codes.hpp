// How the program ends: the send's outcome code (qv::SendOutcome), or one of
// these.
#pragma once

#include <stdexcept>
#include <string>

namespace qvsmtp {

namespace exit_code {
inline constexpr int kUsage = 64;        // bad command line
inline constexpr int kDataError = 65;    // an input file holds bad data
inline constexpr int kNoInput = 66;      // an input file cannot be read
inline constexpr int kUnavailable = 69;  // the sink cannot listen
inline constexpr int kInternal = 70;     // a failure of the program itself
inline constexpr int kCantCreate = 73;   // an output file or folder cannot be written
inline constexpr int kTempFail = 75;     // the server refused for now: try again later
}  // namespace exit_code

// Ends the program with code after one line on standard error.
class ExitError : public std::runtime_error {
 public:
  ExitError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
  int code() const noexcept { return code_; }

 private:
  int code_;
};

}  // namespace qvsmtp
