// What the socket's wire trace tells the program: the server's last reply,
// kept for the outcome, and for -v the conversation as "C:" and "S:" lines
// with the message body cut short.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "progress.hpp"
#include "qv/connection/socket_options.hpp"

namespace qvsmtp {

// The last reply the server sent: its lines as received, line ends included.
class ServerReplies {
 public:
  void Received(std::string_view bytes);
  // The last whole reply, or the text of a reply still arriving after it,
  // as the control decodes the server's text (AsTheControlDecodes).
  std::optional<std::string> last() const;

 private:
  void EndLine();

  std::string line_;      // the line arriving
  std::string reply_;     // the lines of the reply arriving
  std::string complete_;  // the last whole reply
};

class ConversationPrinter {
 public:
  // Lines of the body shown before the rest is only counted.
  static constexpr int kShownBodyLines = 3;
  // Longer lines are cut, with the count of what was left out.
  static constexpr std::size_t kShownLineBytes = 1000;
  // What the server sends between two commands is shown up to this much; the
  // rest is only counted, so a server cannot fill the terminal or a log.
  static constexpr std::size_t kShownReplyBytes = 8 * 1024;

  // progress (may be null) is broken off before each line.
  ConversationPrinter(std::FILE* out, Progress* progress) : out_(out), progress_(progress) {}

  void SetProgress(Progress* progress) { progress_ = progress; }
  void Sent(std::string_view bytes);
  void Received(std::string_view bytes);
  // A line marking where TLS began: "-- TLS started: VERSION CIPHER --".
  void Secured(std::string_view description);
  // Prints what is left of an unfinished line and the count of an
  // unfinished body.
  void Finish();

 private:
  // One direction's text, cut into lines.
  struct Lines {
    std::string text;         // the line arriving, up to kShownLineBytes
    std::uint64_t extra = 0;  // bytes of it beyond that
  };

  void SentLine(std::string_view line, std::uint64_t extra, bool whole);
  void ReceivedLine(std::string_view line, std::uint64_t extra);
  void Print(char who, std::string_view line, std::uint64_t extra);
  void PrintElided();
  // The client speaks again: the count of what the server's last turn held
  // beyond kShownReplyBytes, and a new turn.
  void EndServerTurn();

  enum class Phase { kCommands, kHeaders, kBody };

  std::FILE* out_;
  Progress* progress_;
  Lines sent_;
  Lines received_;
  Phase phase_ = Phase::kCommands;
  bool data_sent_ = false;  // DATA went out; its 354 starts the message
  int body_lines_ = 0;
  std::uint64_t elided_lines_ = 0;
  std::uint64_t elided_bytes_ = 0;
  std::size_t turn_shown_ = 0;     // bytes of the server's turn shown
  std::uint64_t turn_hidden_ = 0;  // and only counted
};

// Both, fed by the socket's trace; printing only when verbose.
class ConversationTrace {
 public:
  ConversationTrace(bool verbose, Progress* progress)
      : verbose_(verbose), printer_(stderr, progress) {}

  void SetProgress(Progress* progress) { printer_.SetProgress(progress); }
  void OnWire(qv::connection::WireDirection direction, std::string_view bytes);
  void Finish() {
    if (verbose_) printer_.Finish();
  }
  std::optional<std::string> last_reply() const { return replies_.last(); }

 private:
  bool verbose_ = false;
  ServerReplies replies_;
  ConversationPrinter printer_;
};

}  // namespace qvsmtp
