#include "body_stream.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "exit_codes.hpp"
#include "qv/core/text.hpp"

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
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    throw ExitError(exit_code::kNoInput, "cannot read " + name_ + ": " + std::strerror(errno));
  }
}

bool FileSource::WaitReadable(std::chrono::milliseconds limit) {
  pollfd ready{fd_, POLLIN, 0};
  const int n = ::poll(&ready, 1, static_cast<int>(limit.count()));
  // An error shows in the read that follows.
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

void StreamBody(BodySource& source, const PieceWriter& write) {
  // Encoding at most doubles the text, so a read never makes more than two
  // pieces' worth.
  std::vector<char> buffer(kMaxPieceBytes / 2);
  BodyEncoder encoder;
  std::string wire;
  std::uint64_t consumed = 0;

  // at_end: the last pieces; whole: everything made so far, also a short
  // piece (a character cut at its end waits for the rest).
  auto hand_over = [&](bool at_end, bool whole = false) {
    std::size_t offset = 0;
    while (wire.size() - offset >= kMaxPieceBytes || ((at_end || whole) && offset < wire.size())) {
      std::size_t end = offset + std::min(kMaxPieceBytes, wire.size() - offset);
      if (!at_end || end < wire.size()) end = CharacterBoundary(wire, end);
      if (end == offset) break;  // only the start of a character so far
      write(std::string_view(wire).substr(offset, end - offset), consumed);
      offset = end;
    }
    wire.erase(0, offset);
  };

  while (true) {
    // A source that has nothing right now (a pipe that trickles) gets what
    // it gave so far onto the wire rather than held for a whole piece.
    if (!wire.empty() && !source.WaitReadable(std::chrono::milliseconds(0))) {
      hand_over(false, true);
    }
    const std::size_t n = source.Read(buffer.data(), buffer.size());
    if (n == 0) break;
    consumed += n;
    encoder.Encode(std::string_view(buffer.data(), n), wire);
    hand_over(false);
  }
  encoder.Finish(wire);
  hand_over(true);
}

}  // namespace qvsmtp
