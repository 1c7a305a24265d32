#include "sink/maildir_store.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <system_error>
#include <utility>

#include "file_io.hpp"
#include "qv/connection/host_name.hpp"
#include "qv/core/text.hpp"

namespace qvsmtp {

namespace fs = std::filesystem;
using qv::file_io::FileDescriptor;
using qv::file_io::FileError;
using qv::testing::SinkEnvelope;
using qv::testing::SinkMessage;

namespace {

[[noreturn]] void FailErrno(const std::string& what) {
  const int number = errno;
  throw FileError(what + ": " + std::error_code(number, std::generic_category()).message(), number);
}

// The host part of a Maildir name may not hold "/" or ":".
std::string MaildirHostName() {
  std::string out;
  for (char c : qv::ToUtf8(qv::connection::LocalHostName())) {
    if (c == '/') {
      out += "\\057";
    } else if (c == ':') {
      out += "\\072";
    } else {
      out += c;
    }
  }
  return out;
}

class MaildirMessage final : public SinkMessage {
 public:
  MaildirMessage(FileDescriptor fd, fs::path temp, fs::path target)
      : fd_(std::move(fd)), temp_(std::move(temp)), target_(std::move(target)) {}

  ~MaildirMessage() override {
    fd_.Reset();
    if (!committed_) ::unlink(temp_.c_str());
  }

  void Append(std::string_view bytes) override {
    qv::file_io::WriteAll(fd_.get(), bytes, temp_.string());
  }

  std::string Commit() override {
    // The 250 hands over responsibility: the bytes must be on disk first.
    if (::fsync(fd_.get()) != 0) FailErrno("cannot flush " + temp_.string());
    if (!fd_.Close()) FailErrno("cannot close " + temp_.string());
    // link() refuses to replace an existing file, which rename() would do.
    if (::link(temp_.c_str(), target_.c_str()) == 0) {
      ::unlink(temp_.c_str());
    } else if ((errno != EPERM && errno != ENOTSUP && errno != EXDEV) ||
               ::rename(temp_.c_str(), target_.c_str()) != 0) {
      FailErrno("cannot move " + temp_.string() + " into new/");
    }
    committed_ = true;
    // And so must its name in new/.
    qv::file_io::FlushFolder(target_.parent_path());
    return target_.string();
  }

 private:
  FileDescriptor fd_;
  fs::path temp_;
  fs::path target_;
  bool committed_ = false;
};

}  // namespace

MaildirStore::MaildirStore(fs::path dir) : dir_(std::move(dir)), host_(MaildirHostName()) {
  for (const char* sub : {"tmp", "new", "cur"}) fs::create_directories(dir_ / sub);
}

std::unique_ptr<SinkMessage> MaildirStore::Begin(const SinkEnvelope&) {
  const long long seconds = static_cast<long long>(std::time(nullptr));
  const long pid = static_cast<long>(::getpid());
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string name = std::to_string(seconds) + "." + std::to_string(pid) + "_" +
                             std::to_string(++sequence_) + "." + host_;
    fs::path temp = dir_ / "tmp" / name;
    fs::path target = dir_ / "new" / name;
    FileDescriptor fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd) {
      if (errno == EEXIST) continue;
      FailErrno("cannot create " + temp.string());
    }
    struct stat existing;
    if (::stat(target.c_str(), &existing) == 0) {  // left by an earlier process
      fd.Reset();
      ::unlink(temp.c_str());
      continue;
    }
    return std::make_unique<MaildirMessage>(std::move(fd), std::move(temp), std::move(target));
  }
  throw FileError("no unique message name is free in " + (dir_ / "tmp").string(), EEXIST);
}

}  // namespace qvsmtp
