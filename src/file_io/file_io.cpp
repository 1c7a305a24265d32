#include "file_io.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace qv::file_io {
namespace {

namespace fs = std::filesystem;

std::string ErrnoText(int number) {
  return std::error_code(number, std::generic_category()).message();
}

[[noreturn]] void FailErrno(const std::string& what) {
  const int number = errno;
  throw FileError(what + ": " + ErrnoText(number), number);
}

std::string KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a plain file";
}

[[noreturn]] void RefuseKind(mode_t mode) {
  throw FileError("it is " + KindOf(mode) + ", not a regular file", 0);
}

// Holds back the signals that end a program by default when sent from a
// terminal or a service manager, so a temporary file cannot be left behind
// by them; pending ones take effect when the mask is restored.
class TerminationSignalsHeld {
 public:
  TerminationSignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) sigaddset(&held, signal);
    ::pthread_sigmask(SIG_BLOCK, &held, &before_);
  }
  ~TerminationSignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
  TerminationSignalsHeld(const TerminationSignalsHeld&) = delete;
  TerminationSignalsHeld& operator=(const TerminationSignalsHeld&) = delete;

 private:
  sigset_t before_;
};

// The temporary file of a save: removed unless it was renamed into place.
class TempFile {
 public:
  TempFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
  ~TempFile() {
    fd_.Reset();
    if (!kept_) ::unlink(path_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const std::string& path() const { return path_; }
  FileDescriptor& fd() { return fd_; }
  void Keep() { kept_ = true; }

 private:
  std::string path_;
  FileDescriptor fd_;
  bool kept_ = false;
};

}  // namespace

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    Reset();
    fd_ = other.Release();
  }
  return *this;
}

bool FileDescriptor::Close() {
  const int fd = Release();
  return fd < 0 || ::close(fd) == 0;
}

void FileDescriptor::Reset() {
  if (fd_ >= 0) ::close(Release());
}

FileDescriptor OpenRegularFile(const fs::path& path) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) {
    const int number = errno;
    throw FileError(ErrnoText(number), number);
  }
  struct stat info;
  if (::fstat(fd.get(), &info) != 0) FailErrno("cannot examine it");
  if (!S_ISREG(info.st_mode)) RefuseKind(info.st_mode);
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    FailErrno("cannot prepare it for reading");
  }
  return fd;
}

std::string ReadWholeFile(const fs::path& path, std::uint64_t max_size) {
  const FileDescriptor fd = OpenRegularFile(path);
  struct stat info;
  if (::fstat(fd.get(), &info) != 0) FailErrno("cannot examine it");
  const auto too_large = [max_size] {
    return FileError("it is larger than the limit of " + std::to_string(max_size) + " bytes (" +
                         std::to_string(max_size >> 20) + " MiB)",
                     0);
  };
  if (static_cast<std::uint64_t>(info.st_size) > max_size) throw too_large();
  std::string content;
  content.reserve(static_cast<std::size_t>(info.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      FailErrno("cannot read it");
    }
    // The file may have grown since it was examined.
    if (content.size() + static_cast<std::size_t>(got) > max_size) throw too_large();
    content.append(buffer, static_cast<std::size_t>(got));
  }
  return content;
}

void WriteAll(int fd, std::string_view text, const std::string& what) {
  while (!text.empty()) {
    const ssize_t put = ::write(fd, text.data(), text.size());
    if (put < 0) {
      if (errno == EINTR) continue;
      FailErrno("cannot write " + what);
    }
    text.remove_prefix(static_cast<std::size_t>(put));
  }
}

void FlushFolder(const fs::path& folder) {
  const FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd) ::fsync(fd.get());
}

fs::path SaveTarget(const fs::path& path) {
  // Resolved by hand: a dangling link leads to the file it names, which the
  // save then creates, just as for a link whose file exists.
  fs::path target = path;
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code error;
    if (fs::symlink_status(target, error).type() != fs::file_type::symlink) return target;
    const fs::path next = fs::read_symlink(target, error);
    if (error) {
      throw FileError("cannot follow the symbolic link " + target.string() + ": " + error.message(),
                      error.value());
    }
    target = next.is_absolute() ? next : target.parent_path() / next;
  }
  throw FileError("cannot follow " + path.string() + ": " + ErrnoText(ELOOP), ELOOP);
}

void SaveAtomically(const fs::path& path, std::string_view text, const SaveHook& hook) {
  const fs::path target = SaveTarget(path);
  mode_t mode = 0644;
  struct stat existing;
  if (::stat(target.c_str(), &existing) == 0) {
    if (!S_ISREG(existing.st_mode)) RefuseKind(existing.st_mode);
    mode = existing.st_mode & 07777;  // the new file gets the old one's permissions
  } else if (errno != ENOENT) {
    FailErrno("cannot examine " + target.string());
  }
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");

  const TerminationSignalsHeld held;
  // Beside the file, so that the rename stays within one file system.
  std::string temp_name = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
  const int fd = ::mkostemp(temp_name.data(), O_CLOEXEC);
  if (fd < 0) FailErrno("cannot create a temporary file in " + folder.string());
  TempFile temp(temp_name, fd);
  const auto step = [&hook, &temp](SaveStep at) {
    if (hook) hook(at, temp.path());
  };
  step(SaveStep::kTempCreated);
  if (::fchmod(fd, mode) != 0) FailErrno("cannot set the permissions of " + temp_name);
  WriteAll(fd, text, temp_name);
  step(SaveStep::kTempWritten);
  if (::fsync(fd) != 0) FailErrno("cannot flush " + temp_name + " to disk");
  if (!temp.fd().Close()) FailErrno("cannot close " + temp_name);
  step(SaveStep::kBeforeRename);
  if (::rename(temp_name.c_str(), target.c_str()) != 0) {
    FailErrno("cannot rename " + temp_name + " over " + target.string());
  }
  temp.Keep();
  FlushFolder(folder);
}

}  // namespace qv::file_io
