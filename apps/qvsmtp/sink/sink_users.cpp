#include "sink/sink_users.hpp"

#include <openssl/crypto.h>
#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qvsmtp {

namespace {

[[noreturn]] void Unusable(const std::filesystem::path& file, const std::string& why) {
  throw SinkUsersError(SinkUsersError::Kind::kUnreadable, file.string() + ": " + why);
}

[[noreturn]] void BadLine(const std::filesystem::path& file, int number, const std::string& why) {
  throw SinkUsersError(SinkUsersError::Kind::kBadLine,
                       file.string() + ":" + std::to_string(number) + ": " + why);
}

}  // namespace

SinkUsers SinkUsers::Load(const std::filesystem::path& file) {
  // The mode is checked on the file opened, so what is read is what was checked.
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Unusable(file, std::strerror(errno));
  std::string text;
  struct stat info {};
  int err = ::fstat(fd, &info) == 0 ? 0 : errno;
  if (err == 0 && S_ISREG(info.st_mode) && (info.st_mode & (S_IRWXG | S_IRWXO)) == 0) {
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) err = errno;
      if (n <= 0) break;
      text.append(buffer, static_cast<std::size_t>(n));
    }
    OPENSSL_cleanse(buffer, sizeof buffer);
  }
  ::close(fd);
  if (err != 0) Unusable(file, std::strerror(err));
  if (!S_ISREG(info.st_mode)) Unusable(file, "not a regular file");
  if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    Unusable(file, std::string("its passwords can be read by other users (mode ") + mode +
                       "); make it the owner's alone with chmod 600");
  }
  SinkUsers users;
  std::string_view rest = text;
  int number = 0;
  try {
    while (!rest.empty()) {
      ++number;
      const std::size_t end = std::min(rest.find('\n'), rest.size());
      std::string_view line = rest.substr(0, end);
      rest.remove_prefix(std::min(end + 1, rest.size()));
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (line.empty() || line.front() == '#') continue;
      const std::size_t colon = line.find(':');
      if (colon == std::string_view::npos) BadLine(file, number, "not name:password");
      if (colon == 0) BadLine(file, number, "the user name is empty");
      if (colon + 1 == line.size()) BadLine(file, number, "the password is empty");
      const std::string_view name = line.substr(0, colon);
      if (users.passwords_.contains(name)) BadLine(file, number, "the user name is used before");
      users.passwords_.emplace(name, line.substr(colon + 1));
    }
  } catch (...) {
    OPENSSL_cleanse(text.data(), text.size());
    throw;
  }
  OPENSSL_cleanse(text.data(), text.size());
  if (users.passwords_.empty()) Unusable(file, "no user in it");
  return users;
}

SinkUsers::~SinkUsers() {
  for (auto& [name, password] : passwords_) OPENSSL_cleanse(password.data(), password.size());
}

SinkUsers::Verdict SinkUsers::Check(std::string_view user, std::string_view password) const {
  const auto found = passwords_.find(user);
  if (found == passwords_.end()) return Verdict::kUnknownUser;
  const std::string& expected = found->second;
  // Compared in a time that does not tell how much of it was right.
  const bool same = expected.size() == password.size() &&
                    CRYPTO_memcmp(expected.data(), password.data(), password.size()) == 0;
  return same ? Verdict::kAccepted : Verdict::kWrongPassword;
}

}  // namespace qvsmtp
