// Library-internal file handling shared by the stores that keep files (the
// property file, the registry file, the program's Maildir): one way to read a
// whole file safely and one way to replace a file atomically. Not installed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qv::file_io {

// A file operation that failed. what() says what was attempted and why
// ("cannot open the file: Permission denied"); number() is the errno behind
// it, or 0 when the file was refused by a check of our own.
class FileError : public std::runtime_error {
 public:
  FileError(const std::string& what, int number) : std::runtime_error(what), number_(number) {}
  int number() const noexcept { return number_; }

 private:
  int number_;
};

// Owns a file descriptor and closes it once.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { Reset(); }
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.Release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes now; false (errno set) when close failed, which for a written file
  // can be the first report of a lost write.
  bool Close();
  void Reset();

 private:
  int fd_ = -1;
};

// The largest file the stores read: far above any real property or registry
// file, far below what would exhaust memory.
inline constexpr std::uint64_t kMaxReadSize = std::uint64_t{64} << 20;

// Opens path for reading. A FIFO or device is refused at once rather than
// waited on (the open does not block), and so is a folder. Throws FileError;
// number() is ENOENT for a missing file.
FileDescriptor OpenRegularFile(const std::filesystem::path& path);

// The whole content of a regular file of at most max_size bytes; a larger
// file is refused before any of it is read. Throws FileError.
std::string ReadWholeFile(const std::filesystem::path& path, std::uint64_t max_size = kMaxReadSize);

// Writes all of text to fd, going on after interruptions. Throws FileError
// naming what.
void WriteAll(int fd, std::string_view text, const std::string& what);

// The file a save to path replaces: path itself, or what its chain of
// symbolic links leads to, whether or not that exists yet. A link is never
// replaced by a file.
std::filesystem::path SaveTarget(const std::filesystem::path& path);

// Flushes a folder's entries to disk, so that a file created, renamed or
// linked into it survives a crash. Best effort: some file systems refuse to
// flush a folder, and the files' content is safe anyway.
void FlushFolder(const std::filesystem::path& folder);

// Points of SaveAtomically at which a hook runs (for tests that stop a save).
enum class SaveStep {
  kTempCreated,   // the temporary file exists, still empty
  kTempWritten,   // all text written, not yet flushed to disk
  kBeforeRename,  // flushed; the old file is still in place
};
using SaveHook = std::function<void(SaveStep step, const std::filesystem::path& temp)>;

// Replaces the content of the file at path with text as one step: a
// temporary file beside it (same folder, same file system) gets the old
// file's permissions (0644 for a new file) and the text, is flushed to disk
// and renamed over the file, and then the folder is flushed so that the
// rename itself survives a crash. Symbolic links are followed (SaveTarget).
// An existing target that is not a regular file is refused.
//
// SIGHUP, SIGINT, SIGQUIT and SIGTERM are held back in the calling thread
// from the creation of the temporary file until it is renamed or removed, so
// that an interrupted save leaves either the old or the new file and no
// temporary one; a signal that arrived meanwhile takes effect afterwards.
// Throws FileError; the old file is then unchanged and the temporary file
// removed. A hook that throws stops the save in the same way.
void SaveAtomically(const std::filesystem::path& path, std::string_view text,
                    const SaveHook& hook = {});

}  // namespace qv::file_io
