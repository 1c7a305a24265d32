// Runs the built qvsmtp as a user would: arguments, standard input, the exit
// status and both output streams, always with a bounded wait.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

namespace qvsmtp::test_support {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

inline const char* ProgramPath() { return QVSMTP_PATH; }

#define QV_REQUIRE_PROGRAM()                                          \
  do {                                                                \
    if (std::string(::qvsmtp::test_support::ProgramPath()).empty()) { \
      GTEST_SKIP() << "built without the qvsmtp program";             \
    }                                                                 \
  } while (false)

struct RunResult {
  int exit_code = -1;  // -1: killed at the time limit
  std::string out;
  std::string err;
  std::chrono::milliseconds elapsed{0};

  // Standard error split into lines.
  std::vector<std::string> ErrLines() const {
    std::vector<std::string> lines;
    std::istringstream in(err);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
  }
};

// A child process of the program with pipes on its three standard streams.
class Child {
 public:
  // extra_env: "NAME=VALUE" entries added to the environment (TZ=UTC is always
  // added so that Date headers are predictable).
  explicit Child(const std::vector<std::string>& args,
                 const std::vector<std::string>& extra_env = {}) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe");
    }
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::string(*e).rfind("TZ=", 0) != 0) env.emplace_back(*e);
    }
    env.emplace_back("TZ=UTC");
    for (const auto& e : extra_env) env.push_back(e);
    std::vector<std::string> argv_text{ProgramPath()};
    argv_text.insert(argv_text.end(), args.begin(), args.end());

    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      ::dup2(err[1], STDERR_FILENO);
      std::vector<char*> argv, envp;
      for (auto& a : argv_text) argv.push_back(a.data());
      argv.push_back(nullptr);
      for (auto& e : env) envp.push_back(e.data());
      envp.push_back(nullptr);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    ::fcntl(in_, F_SETFL, O_NONBLOCK);
    start_ = std::chrono::steady_clock::now();
  }

  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    CloseInput();
    for (int fd : {out_, err_}) {
      if (fd >= 0) ::close(fd);
    }
  }

  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Feeds input to standard input (then closes it, unless keep_input_open:
  // a source that stalls), collects both outputs and waits for the end;
  // kills the child at the limit.
  RunResult Finish(const std::string& input = {}, std::chrono::milliseconds limit = 30s,
                   bool keep_input_open = false) {
    std::size_t written = 0;
    if (input.empty() && !keep_input_open) CloseInput();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (out_ >= 0 || err_ >= 0) {
      std::vector<pollfd> fds;
      if (out_ >= 0) fds.push_back({out_, POLLIN, 0});
      if (err_ >= 0) fds.push_back({err_, POLLIN, 0});
      if (in_ >= 0) fds.push_back({in_, POLLOUT, 0});
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      if (::poll(fds.data(), fds.size(), static_cast<int>(left.count())) <= 0) continue;
      for (const pollfd& p : fds) {
        if (p.revents == 0) continue;
        if (p.fd == in_) {
          const ssize_t n = ::write(in_, input.data() + written, input.size() - written);
          if (n > 0) written += static_cast<std::size_t>(n);
          if (n < 0 && errno != EAGAIN) written = input.size();
          if (written == input.size() && !keep_input_open) CloseInput();
          if (written == input.size() && keep_input_open) std::swap(in_, held_in_);
        } else {
          ReadInto(p.fd == out_ ? out_ : err_, p.fd == out_ ? result_.out : result_.err);
        }
      }
    }
    int status = 0;
    while (true) {
      const pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) break;
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        result_.exit_code = -1;
        return Done();
      }
      std::this_thread::sleep_for(5ms);
    }
    pid_ = -1;
    result_.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return Done();
  }

  // The next line of standard output (without its LF), or "" at the limit.
  std::string ReadOutLine(std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
      const std::size_t end = result_.out.find('\n', out_consumed_);
      if (end != std::string::npos) {
        std::string line = result_.out.substr(out_consumed_, end - out_consumed_);
        out_consumed_ = end + 1;
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (out_ < 0 || left.count() <= 0) return {};
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) > 0) ReadInto(out_, result_.out);
    }
  }

  // Closes the reading end of standard error, as a reader that went away.
  void CloseErrorOutput() {
    if (err_ >= 0) ::close(err_);
    err_ = -1;
  }

  void Signal(int number) {
    if (pid_ > 0) ::kill(pid_, number);
  }

 private:
  void CloseInput() {
    for (int* fd : {&in_, &held_in_}) {
      if (*fd >= 0) ::close(*fd);
      *fd = -1;
    }
  }

  void ReadInto(int& fd, std::string& text) {
    char buffer[65536];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      ::close(fd);
      fd = -1;
    }
  }

  RunResult Done() {
    result_.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start_);
    return result_;
  }

  pid_t pid_ = -1;
  int in_ = -1;
  int held_in_ = -1;  // standard input kept open, with nothing more to write
  int out_ = -1;
  int err_ = -1;
  RunResult result_;
  std::size_t out_consumed_ = 0;
  std::chrono::steady_clock::time_point start_;
};

inline RunResult RunProgram(const std::vector<std::string>& args, const std::string& input = {},
                            std::chrono::milliseconds limit = 30s) {
  Child child(args);
  return child.Finish(input, limit);
}

// A folder of its own, removed at the end.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "qvsmtp-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const fs::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// The files in a folder, sorted.
inline std::vector<fs::path> Files(const fs::path& dir) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace qvsmtp::test_support
