// The message body in its wire form, made piece by piece from a stream of
// UTF-8 text, for a SendBody handler that writes the body itself.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "qv/core/types.hpp"

namespace qvsmtp {

// Most UTF-8 bytes behind one piece handed to SendData: large enough that
// the socket writes a piece straight to the kernel, one system call each.
inline constexpr std::size_t kMaxPieceBytes = 1024 * 1024;
// Bytes of the source read at a time.
inline constexpr std::size_t kReadBytes = 128 * 1024;

// Where body text comes from.
class BodySource {
 public:
  virtual ~BodySource() = default;
  // Up to size bytes into buffer; 0 at the end. Throws ExitError on a read
  // failure.
  virtual std::size_t Read(char* buffer, std::size_t size) = 0;
  // Total bytes, when known in advance.
  virtual std::optional<std::uint64_t> Size() const = 0;
  // Waits at most limit for text (or the end) to read; false when none came.
  virtual bool WaitReadable(std::chrono::milliseconds /*limit*/) { return true; }
  // What the source is, for messages ("standard input", a path).
  virtual std::string Describe() const { return "the body text"; }
};

class TextSource final : public BodySource {
 public:
  explicit TextSource(std::string text) : text_(std::move(text)) {}
  std::size_t Read(char* buffer, std::size_t size) override;
  std::optional<std::uint64_t> Size() const override { return text_.size(); }

 private:
  std::string text_;
  std::size_t offset_ = 0;
};

// A file, or standard input for "-". The file is opened at once.
class FileSource final : public BodySource {
 public:
  // Throws ExitError (66) naming the file when it cannot be opened. A regular
  // file's size is taken here: a file that ends before it (cut short while
  // it was read) is a read failure, not the end of the body, so a message
  // is never ended half-way as if it were whole.
  explicit FileSource(const std::string& path);
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  std::size_t Read(char* buffer, std::size_t size) override;
  std::optional<std::uint64_t> Size() const override { return size_; }
  // Polls the file: a pipe or terminal may have nothing yet.
  bool WaitReadable(std::chrono::milliseconds limit) override;
  // The path, or "standard input".
  std::string Describe() const override { return name_; }

 private:
  int fd_ = -1;
  bool owned_ = false;
  std::string name_;
  std::optional<std::uint64_t> size_;
  std::uint64_t read_ = 0;
};

// Reads all of source; throws as Read does.
std::string ReadAll(BodySource& source);

// Reads all of source as UTF-8 text (decoded as the control decodes text),
// a piece at a time: memory is the text, not the text twice. bytes_read is
// the size of the source.
qv::String ReadAllText(BodySource& source, std::uint64_t& bytes_read);

// A file's text ends with the line end of its last line; the control ends the
// body's last line itself, so that one would make an empty line. Drops one
// CR LF or LF at the end of text.
void DropFinalLineEnd(qv::String& text);

// Reads source to its end and hands its wire form to write in order, as
// pieces of at most kMaxPieceBytes UTF-8 bytes that never split a character
// (each decodes alone as the whole text would). consumed is how many bytes
// of source were read so far. Memory stays a few pieces whatever the size
// of the source. When the source has nothing to read at the moment, what was
// read so far is handed over first. drop_final_line_end: one CR LF or LF at
// the very end of the source is left out, as DropFinalLineEnd does.
using PieceWriter = std::function<void(std::string_view piece, std::uint64_t consumed)>;
void StreamBody(BodySource& source, const PieceWriter& write, bool drop_final_line_end = false);

}  // namespace qvsmtp
