#include "body_stream.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "exit_codes.hpp"
#include "narration.hpp"
#include "qv/core/text.hpp"
#include "qv/mail/body_encoder.hpp"

namespace qvsmtp {

std::size_t TextSource::Read(char* buffer, std::size_t size) {
  const std::size_t n = std::min(size, text_.size() - offset_);
  std::memcpy(buffer, text_.data() + offset_, n);
  offset_ += n;
  return n;
}

FileSource::FileSource(const std::string& path) {
  if (path == "-") {
    fd_ = STDIN_FILENO;
    name_ = "standard input";
  } else {
    name_ = path;
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
      throw ExitError(exit_code::kNoInput, "cannot read " + path + ": " + std::strerror(errno));
    }
    owned_ = true;
  }
  struct stat info;
  if (::fstat(fd_, &info) == 0) {
    if (S_ISDIR(info.st_mode)) {
      if (owned_) ::close(fd_);
      fd_ = -1;
      throw ExitError(exit_code::kNoInput, "cannot read " + name_ + ": " + std::strerror(EISDIR));
    }
    if (S_ISREG(info.st_mode)) size_ = static_cast<std::uint64_t>(info.st_size);
  }
}

FileSource::~FileSource() {
  if (owned_ && fd_ >= 0) ::close(fd_);
}

std::size_t FileSource::Read(char* buffer, std::size_t size) {
  while (true) {
    const ssize_t n = ::read(fd_, buffer, size);
    if (n > 0) read_ += static_cast<std::uint64_t>(n);
    if (n == 0 && size > 0 && size_ && read_ < *size_) {
      throw ExitError(exit_code::kNoInput,
                      name_ + " was cut short while it was read: it ended after " +
                          GroupedNumber(read_) + " of the " + GroupedNumber(*size_) +
                          " bytes it held at the start");
    }
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    throw ExitError(exit_code::kNoInput, "cannot read " + name_ + ": " + std::strerror(errno));
  }
}

bool FileSource::WaitReadable(std::chrono::milliseconds limit) {
  if (size_) return true;  // a regular file never makes a reader wait
  pollfd ready{fd_, POLLIN, 0};
  const int n = ::poll(&ready, 1, static_cast<int>(limit.count()));
  // A signal is no text: the read would wait for text that may never come,
  // and the caller would not see the signal. Another error shows in the read
  // that follows.
  if (n < 0 && errno == EINTR) return false;
  return n != 0;
}

std::string ReadAll(BodySource& source) {
  std::string text;
  if (const auto size = source.Size()) text.reserve(static_cast<std::size_t>(*size));
  std::vector<char> buffer(64 * 1024);
  while (const std::size_t n = source.Read(buffer.data(), buffer.size()))
    text.append(buffer.data(), n);
  return text;
}

qv::String ReadAllText(BodySource& source, std::uint64_t& bytes_read) {
  qv::String text;
  // Decoding never makes more characters than bytes; capacity never written
  // is never touched, so it costs no memory.
  if (const auto size = source.Size()) text.reserve(static_cast<std::size_t>(*size));
  std::vector<char> buffer(64 * 1024);
  qv::Utf8StreamDecoder decoder;
  bytes_read = 0;
  while (const std::size_t n = source.Read(buffer.data(), buffer.size())) {
    bytes_read += n;
    decoder.Decode(std::string_view(buffer.data(), n), text);
  }
  decoder.Flush(text);
  return text;
}

void DropFinalLineEnd(qv::String& text) {
  if (!text.ends_with(u'\n')) return;
  text.pop_back();
  if (text.ends_with(u'\r')) text.pop_back();
}

namespace {

// The cut at or before limit that splits no character: before the lead byte
// of a sequence that would run past limit. A piece cut there decodes alone
// as the whole text would.
std::size_t CharacterBoundary(std::string_view wire, std::size_t limit) {
  for (std::size_t back = 1; back <= 3 && back <= limit; ++back) {
    const auto b = static_cast<unsigned char>(wire[limit - back]);
    if ((b & 0xC0) == 0x80) continue;  // a continuation byte
    const std::size_t length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    return length > back ? limit - back : limit;
  }
  return limit;  // no lead byte close enough: nothing to keep together
}

}  // namespace

void StreamBody(BodySource& source, const PieceWriter& write, bool drop_final_line_end) {
  // Reads of a few pieces at a time, encoded straight into one buffer, both
  // reused for the whole body: fewer system calls, memory that stays in the
  // cache. The wire buffer holds what a read can make (twice the read at
  // most) behind what is held back: less than a piece.
  // The read goes behind what was held back of the last one: a line end that
  // may turn out to be the source's last.
  constexpr std::size_t kHeldBack = 2;
  std::vector<char> buffer(kHeldBack + kReadBytes);
  std::size_t kept = 0;  // bytes of buffer held back from the last read
  std::vector<char> wire(kMaxPieceBytes + qv::BodyEncoder::MaxEncodedSize(kHeldBack + kReadBytes));
  std::size_t held = 0;  // bytes of wire not yet handed over
  // Line ends and leading dots as the control makes its own Body.
  qv::BodyEncoder encoder;
  std::uint64_t consumed = 0;

  // Hands over wire in pieces of at most kMaxPieceBytes that split no
  // character; a short last piece only when whole (everything so far) or
  // at_end. What is left moves to the front.
  auto hand_over = [&](bool at_end, bool whole = false) {
    const std::string_view made(wire.data(), held);
    std::size_t offset = 0;
    while (held - offset >= kMaxPieceBytes || ((at_end || whole) && offset < held)) {
      std::size_t end = offset + std::min(kMaxPieceBytes, held - offset);
      if (!at_end || end < held) end = CharacterBoundary(made, end);
      if (end == offset) break;  // only the start of a character so far
      write(made.substr(offset, end - offset), consumed);
      offset = end;
    }
    std::memmove(wire.data(), wire.data() + offset, held - offset);
    held -= offset;
  };

  while (true) {
    // A source that has nothing right now (a pipe that trickles) gets what
    // it gave so far onto the wire rather than held for a whole piece.
    if (held > 0 && !source.WaitReadable(std::chrono::milliseconds(0))) {
      hand_over(false, true);
    }
    const std::size_t n = source.Read(buffer.data() + kept, kReadBytes);
    std::string_view text(buffer.data(), kept + n);
    if (n == 0) {
      // One line end at the very end is left out; a lone CR stays.
      if (drop_final_line_end && text.ends_with('\n')) text = {};
    } else if (drop_final_line_end) {
      kept = text.ends_with("\r\n") ? 2 : text.ends_with('\n') || text.ends_with('\r') ? 1 : 0;
      text.remove_suffix(kept);
    }
    consumed += n;
    held = static_cast<std::size_t>(encoder.Encode(text, wire.data() + held) - wire.data());
    if (n == 0) break;
    std::memmove(buffer.data(), buffer.data() + text.size(), kept);
    hand_over(false);
  }
  hand_over(true);
}

}  // namespace qvsmtp
