#include "credentials.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "exit_codes.hpp"

namespace qvsmtp {

namespace {

constexpr const char* kNotUtf8 = "is not UTF-8 text";
constexpr const char* kControl = "holds a control character";

// What is wrong with a secret's text, or null: the control sends it as
// UTF-8, and a control character (a NUL above all) would change what the
// server reads.
const char* TextProblem(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      if (lead < 0x20 || lead == 0x7F) return kControl;
      ++i;
      continue;
    }
    std::size_t length = 0;
    char32_t code = 0;
    char32_t least = 0;
    if ((lead & 0xE0) == 0xC0) {
      length = 2;
      code = lead & 0x1F;
      least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      code = lead & 0x0F;
      least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      code = lead & 0x07;
      least = 0x10000;
    } else {
      return kNotUtf8;
    }
    if (i + length > text.size()) return kNotUtf8;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return kNotUtf8;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return kNotUtf8;
    if (code < 0xA0) return kControl;
    i += length;
  }
  return nullptr;
}

class FileCloser {
 public:
  explicit FileCloser(int fd) : fd_(fd) {}
  ~FileCloser() { ::close(fd_); }
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;

 private:
  int fd_;
};

volatile std::sig_atomic_t g_prompt_signal = 0;

void NotePromptSignal(int number) { g_prompt_signal = number; }

// While the echo is off: a signal ends the wait for the line, so the
// terminal is restored before the signal ends the program.
class PromptSignals {
 public:
  PromptSignals() {
    struct sigaction note {};
    note.sa_handler = NotePromptSignal;
    sigemptyset(&note.sa_mask);
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
      ::sigaction(kSignals[i], &note, &saved_[i]);
    }
  }
  ~PromptSignals() {
    for (std::size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &saved_[i], nullptr);
  }
  PromptSignals(const PromptSignals&) = delete;
  PromptSignals& operator=(const PromptSignals&) = delete;

 private:
  static constexpr std::array<int, 3> kSignals{SIGINT, SIGTERM, SIGHUP};
  std::array<struct sigaction, 3> saved_{};
};

}  // namespace

void Wipe(std::string& text) {
  ::explicit_bzero(text.data(), text.size());
  text.clear();
}

void Wipe(std::u16string& text) {
  ::explicit_bzero(text.data(), text.size() * sizeof(char16_t));
  text.clear();
}

void SecretText::Clear() { Wipe(text_); }

void ReadSecretFile(const std::string& option, const std::string& path, SecretText& secret) {
  const auto fail = [&](int code, const std::string& problem) {
    secret.Clear();
    throw ExitError(code, option + ": " + path + ": " + problem);
  };
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) fail(exit_code::kNoInput, std::string("cannot read it: ") + std::strerror(errno));
  const FileCloser closer(fd);
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    fail(exit_code::kNoInput, std::string("cannot read it: ") + std::strerror(errno));
  }
  if (S_ISDIR(status.st_mode)) fail(exit_code::kNoInput, std::strerror(EISDIR));
  // A pipe (a password manager's output through <(...)) belongs to this
  // process; a file other users can read has already given the secret away.
  if (S_ISREG(status.st_mode) && (status.st_mode & (S_IRGRP | S_IROTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    fail(exit_code::kNoInput, std::string("can be read by other users (mode ") + mode +
                                  "); make it the owner's alone: chmod 600 " + path);
  }

  std::string& text = secret.buffer();
  text.clear();
  char chunk[4096];
  bool line_ended = false;
  while (!line_ended && text.size() <= kMaxSecretBytes) {
    const std::size_t room = std::min(sizeof chunk, kMaxSecretBytes + 1 - text.size());
    const ssize_t n = ::read(fd, chunk, room);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::explicit_bzero(chunk, sizeof chunk);
      fail(exit_code::kNoInput, std::string("cannot read it: ") + std::strerror(error));
    }
    if (n == 0) break;
    const auto* end =
        static_cast<const char*>(std::memchr(chunk, '\n', static_cast<std::size_t>(n)));
    text.append(chunk, end != nullptr ? static_cast<std::size_t>(end - chunk)
                                      : static_cast<std::size_t>(n));
    line_ended = end != nullptr;
  }
  ::explicit_bzero(chunk, sizeof chunk);
  if (!text.empty() && text.back() == '\r') text.pop_back();
  if (text.size() > kMaxSecretBytes) {
    fail(exit_code::kDataError,
         "its first line is longer than " + std::to_string(kMaxSecretBytes) + " bytes");
  }
  if (text.empty()) fail(exit_code::kDataError, "its first line is empty");
  if (const char* problem = TextProblem(text)) {
    fail(exit_code::kDataError, std::string("its first line ") + problem);
  }
}

bool ReadSecretVariable(const char* name, SecretText& secret) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return false;
  const std::string_view text(value);
  std::string problem;
  if (text.size() > kMaxSecretBytes) {
    problem = "is longer than " + std::to_string(kMaxSecretBytes) + " bytes";
  } else if (const char* wrong = TextProblem(text)) {
    problem = wrong;
  }
  if (!problem.empty()) throw ExitError(exit_code::kUsage, std::string(name) + " " + problem);
  secret.buffer().assign(text);
  return true;
}

void PromptForSecret(const std::string& prompt, const std::string& what, SecretText& secret) {
  termios saved{};
  if (::tcgetattr(STDIN_FILENO, &saved) != 0) {
    throw ExitError(
        exit_code::kUsage,
        "cannot ask for the " + what + ": standard input is no terminal: " + std::strerror(errno));
  }
  std::string& text = secret.buffer();
  text.clear();
  bool line_ended = false;
  {
    g_prompt_signal = 0;
    const PromptSignals signals;
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;  // the Enter key still moves to a new line
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    while (g_prompt_signal == 0) {
      char c = 0;
      const ssize_t n = ::read(STDIN_FILENO, &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      if (c == '\n') {
        line_ended = true;
        break;
      }
      // Past the limit the rest of the line is read and dropped.
      if (text.size() <= kMaxSecretBytes) text.push_back(c);
      c = 0;
    }
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  }
  if (!line_ended) std::fputc('\n', stderr);
  if (g_prompt_signal != 0) {
    secret.Clear();
    std::fflush(stderr);
    std::raise(g_prompt_signal);
  }
  if (!text.empty() && text.back() == '\r') text.pop_back();
  std::string problem;
  if (text.empty()) {
    problem = "no " + what + " was typed";
  } else if (text.size() > kMaxSecretBytes) {
    problem = "the " + what + " typed is longer than " + std::to_string(kMaxSecretBytes) + " bytes";
  } else if (const char* wrong = TextProblem(text)) {
    problem = "the " + what + " typed " + wrong;
  }
  if (!problem.empty()) {
    secret.Clear();
    throw ExitError(exit_code::kUsage, problem);
  }
}

}  // namespace qvsmtp
