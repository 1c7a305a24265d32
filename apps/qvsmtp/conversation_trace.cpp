#include "conversation_trace.hpp"

#include <cstring>

#include "narration.hpp"

namespace qvsmtp {

namespace {

// A server that sends megabytes of continuation lines keeps only this much.
constexpr std::size_t kReplyLimit = 8192;

void AppendBounded(std::string& to, std::string_view text, std::size_t limit) {
  if (to.size() < limit) to.append(text.substr(0, limit - to.size()));
}

// Cuts bytes into lines: each whole line goes to line_done with its line
// end; text keeps at most limit bytes of a line, extra counts the rest.
template <typename LineDone>
void SplitLines(std::string_view bytes, std::string& text, std::uint64_t& extra, std::size_t limit,
                LineDone line_done) {
  while (!bytes.empty()) {
    const void* found = std::memchr(bytes.data(), '\n', bytes.size());
    const std::size_t end =
        found ? static_cast<std::size_t>(static_cast<const char*>(found) - bytes.data()) + 1
              : bytes.size();
    const std::string_view piece = bytes.substr(0, end);
    const std::size_t kept = std::min(piece.size(), limit - std::min(limit, text.size()));
    text.append(piece.substr(0, kept));
    extra += piece.size() - kept;
    bytes.remove_prefix(end);
    if (found) {
      line_done();
      text.clear();
      extra = 0;
    }
  }
}

// The length of text without an unfinished UTF-8 sequence at its end.
std::size_t WholeCharacters(std::string_view text) {
  for (std::size_t back = 1; back <= 3 && back <= text.size(); ++back) {
    const auto b = static_cast<unsigned char>(text[text.size() - back]);
    if ((b & 0xC0) == 0x80) continue;
    if (b < 0xC2 || b > 0xF4) return text.size();  // no lead byte: nothing unfinished
    const std::size_t length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
    return length > back ? text.size() - back : text.size();
  }
  return text.size();
}

std::string_view WithoutLineEnd(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// A reply line whose fourth character is '-' is followed by more lines of
// the same reply.
bool ContinuesReply(std::string_view line) { return line.size() > 3 && line[3] == '-'; }

}  // namespace

void ServerReplies::Received(std::string_view bytes) {
  std::uint64_t ignored = 0;
  SplitLines(bytes, line_, ignored, kReplyLimit, [this] { EndLine(); });
}

void ServerReplies::EndLine() {
  AppendBounded(reply_, line_, kReplyLimit);
  if (ContinuesReply(line_)) return;
  complete_ = std::move(reply_);
  reply_.clear();
}

std::optional<std::string> ServerReplies::last() const {
  if (!reply_.empty() || !line_.empty()) return AsTheControlDecodes(reply_ + line_);
  if (!complete_.empty()) return AsTheControlDecodes(complete_);
  return std::nullopt;
}

void ConversationPrinter::Sent(std::string_view bytes) {
  SplitLines(bytes, sent_.text, sent_.extra, kShownLineBytes,
             [this] { SentLine(sent_.text, sent_.extra, true); });
}

void ConversationPrinter::Received(std::string_view bytes) {
  const std::string_view shown = bytes.substr(0, kShownReplyBytes - turn_shown_);
  turn_shown_ += shown.size();
  turn_hidden_ += bytes.size() - shown.size();
  bytes = shown;
  SplitLines(bytes, received_.text, received_.extra, kShownLineBytes,
             [this] { ReceivedLine(received_.text, received_.extra); });
  // The control writes the message as soon as a reply begins with 354,
  // before the rest of that reply may have arrived.
  if (data_sent_ && received_.text.size() >= 3 && received_.text.starts_with("354")) {
    data_sent_ = false;
    phase_ = Phase::kHeaders;
  }
}

void ConversationPrinter::Secured(std::string_view description) {
  if (progress_ != nullptr) progress_->Break();
  std::fprintf(out_, "-- TLS started: %s --\n", Printable(description).c_str());
  std::fflush(out_);
}

void ConversationPrinter::SentLine(std::string_view line, std::uint64_t extra, bool whole) {
  const std::string_view shown = WithoutLineEnd(line);
  switch (phase_) {
    case Phase::kCommands:
      EndServerTurn();
      data_sent_ = whole && extra == 0 && (shown == "DATA" || shown == "data");
      Print('C', shown, extra);
      return;
    case Phase::kHeaders:
      if (shown.empty() && extra == 0) phase_ = Phase::kBody;
      Print('C', shown, extra);
      return;
    case Phase::kBody:
      if (whole && shown == "." && extra == 0) {
        EndServerTurn();
        PrintElided();
        Print('C', shown, extra);
        phase_ = Phase::kCommands;
        body_lines_ = 0;
      } else if (body_lines_ < kShownBodyLines) {
        ++body_lines_;
        Print('C', shown, extra);
      } else {
        ++elided_lines_;
        elided_bytes_ += line.size() + extra;
      }
      return;
  }
}

void ConversationPrinter::ReceivedLine(std::string_view line, std::uint64_t extra) {
  std::string_view shown = WithoutLineEnd(line);
  if (data_sent_ && shown.size() >= 3) {
    if (shown.starts_with("354")) phase_ = Phase::kHeaders;
    data_sent_ = false;
  }
  if (extra > 0) {
    // A character the cut split is counted with the rest, not shown as bytes.
    const std::size_t whole = WholeCharacters(shown);
    extra += shown.size() - whole;
    shown = shown.substr(0, whole);
  }
  Print('S', AsTheControlDecodes(shown), extra);
}

void ConversationPrinter::EndServerTurn() {
  if (turn_hidden_ > 0) {
    // The line cut by the limit, then the count of everything after what
    // was shown.
    const std::string_view cut = received_.text;
    const std::size_t whole = WholeCharacters(cut);
    const std::uint64_t hidden = turn_hidden_ + received_.extra + (cut.size() - whole);
    if (whole > 0) ReceivedLine(cut.substr(0, whole), 0);
    received_ = {};
    if (progress_ != nullptr) progress_->Break();
    std::fprintf(out_, "S: ... %s more bytes not shown\n", GroupedNumber(hidden).c_str());
    std::fflush(out_);
  }
  turn_shown_ = 0;
  turn_hidden_ = 0;
}

void ConversationPrinter::Print(char who, std::string_view line, std::uint64_t extra) {
  if (progress_ != nullptr) progress_->Break();
  std::string text = Printable(line);
  if (extra > 0) text += " [" + std::to_string(extra) + " more bytes not shown]";
  std::fprintf(out_, "%c: %s\n", who, text.c_str());
  std::fflush(out_);
}

void ConversationPrinter::PrintElided() {
  if (elided_lines_ == 0) return;
  if (progress_ != nullptr) progress_->Break();
  std::fprintf(out_, "C: [%llu more lines of the body, %llu bytes, not shown]\n",
               static_cast<unsigned long long>(elided_lines_),
               static_cast<unsigned long long>(elided_bytes_));
  std::fflush(out_);
  elided_lines_ = 0;
  elided_bytes_ = 0;
}

void ConversationPrinter::Finish() {
  if (!sent_.text.empty() || sent_.extra > 0) {
    if (phase_ == Phase::kBody && body_lines_ >= kShownBodyLines) {
      ++elided_lines_;
      elided_bytes_ += sent_.text.size() + sent_.extra;
    } else {
      SentLine(sent_.text, sent_.extra, false);
    }
    sent_ = {};
  }
  PrintElided();
  if (turn_hidden_ > 0) {
    EndServerTurn();
  } else if (!received_.text.empty() || received_.extra > 0) {
    ReceivedLine(received_.text, received_.extra);
    received_ = {};
  }
}

void ConversationTrace::OnWire(qv::connection::WireDirection direction, std::string_view bytes) {
  switch (direction) {
    case qv::connection::WireDirection::kReceived:
      replies_.Received(bytes);
      if (verbose_) printer_.Received(bytes);
      return;
    case qv::connection::WireDirection::kSecured:
      // The version and cipher, not text the server sent.
      if (verbose_) printer_.Secured(bytes);
      return;
    case qv::connection::WireDirection::kSent:
      if (verbose_) printer_.Sent(bytes);
      return;
  }
}

}  // namespace qvsmtp
