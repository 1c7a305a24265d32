// The users the sink takes AUTH from, read from a file of "name:password"
// lines (--auth-users). A try-out's accounts: the passwords are held as
// written, so the file must be readable by its owner alone.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qvsmtp {

// A users file that cannot be used; the text names the file, and the line
// for one that is not a user, never what the line holds.
class SinkUsersError : public std::runtime_error {
 public:
  enum class Kind { kUnreadable, kBadLine };
  SinkUsersError(Kind kind, const std::string& message)
      : std::runtime_error(message), kind_(kind) {}
  Kind kind() const noexcept { return kind_; }

 private:
  Kind kind_;
};

class SinkUsers {
 public:
  // One user a line: the name up to the first colon, the password after it
  // (colons and spaces included, a CR before the line end dropped). Empty
  // lines and lines starting with '#' are skipped. Throws SinkUsersError
  // when the file cannot be read, can be read by its group or by others, or
  // holds a line without a colon, an empty name or password, a name twice,
  // or no user at all.
  static SinkUsers Load(const std::filesystem::path& file);
  ~SinkUsers();
  SinkUsers(SinkUsers&&) = default;
  SinkUsers& operator=(SinkUsers&&) = default;

  enum class Verdict { kAccepted, kUnknownUser, kWrongPassword };
  Verdict Check(std::string_view user, std::string_view password) const;
  std::size_t size() const { return passwords_.size(); }

 private:
  SinkUsers() = default;
  std::map<std::string, std::string, std::less<>> passwords_;
};

}  // namespace qvsmtp
