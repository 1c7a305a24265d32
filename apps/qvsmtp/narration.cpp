#include "narration.hpp"

#include <cstdio>

#include "qv/core/text.hpp"

namespace qvsmtp {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

void AppendByteEscape(unsigned char byte, std::string& out) {
  out += "\\x";
  out += kHex[byte >> 4];
  out += kHex[byte & 0xF];
}

// Characters a terminal acts on rather than shows: C1 controls (U+009B starts
// a control sequence like ESC [), the bidirectional marks, embeddings,
// overrides and isolates, which reorder the text around them, and the line
// and paragraph separators.
bool IsTerminalControl(char32_t c) {
  return (c >= 0x80 && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
         (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0x2028 || c == 0x2029;
}

// The length of the well-formed UTF-8 sequence at the front of text and its
// character, or 0 when it is not one.
std::size_t DecodeOne(std::string_view text, char32_t& c) {
  const auto b0 = static_cast<unsigned char>(text[0]);
  std::size_t length = 0;
  char32_t min = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2, c = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3, c = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4, c = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if ((b & 0xC0) != 0x80) return 0;
    c = (c << 6) | (b & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

std::string Printable(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  while (!utf8.empty()) {
    const char c = utf8.front();
    const auto byte = static_cast<unsigned char>(c);
    std::size_t taken = 1;
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      AppendByteEscape(byte, out);
    } else if (byte < 0x80) {
      out += c;
    } else {
      char32_t code = 0;
      taken = DecodeOne(utf8, code);
      if (taken == 0) {
        // Not UTF-8: each byte is shown by its value.
        taken = 1;
        AppendByteEscape(byte, out);
      } else if (IsTerminalControl(code)) {
        char text[12];
        std::snprintf(text, sizeof text, "\\u%04X", static_cast<unsigned>(code));
        out += text;
      } else {
        out.append(utf8.substr(0, taken));
      }
    }
    utf8.remove_prefix(taken);
  }
  return out;
}

std::string TerminalSafeJson(std::string_view json) {
  std::string out;
  out.reserve(json.size());
  while (!json.empty()) {
    const auto byte = static_cast<unsigned char>(json.front());
    char32_t code = byte;
    std::size_t taken = 1;
    if (byte >= 0x80) taken = DecodeOne(json, code);
    if (taken == 0) {
      // No dump writes this: kept as it is.
      taken = 1;
      code = 0;
    }
    if (code == 0x7F || IsTerminalControl(code)) {
      char text[12];
      std::snprintf(text, sizeof text, "\\u%04X", static_cast<unsigned>(code));
      out += text;
    } else {
      out.append(json.substr(0, taken));
    }
    json.remove_prefix(taken);
  }
  return out;
}

std::string AsTheControlDecodes(std::string_view bytes) { return qv::ToUtf8(qv::FromUtf8(bytes)); }

std::string GroupedNumber(std::uint64_t number) {
  std::string digits = std::to_string(number);
  for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, 1, ',');
  return digits;
}

std::string OutcomeLine(qv::Integer status, const qv::String& status_str) {
  std::string text = qv::ToUtf8(status_str);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return "status " + std::to_string(status) + ": " + Printable(text);
}

void Narration::Start() {
  start_ = std::chrono::steady_clock::now();
  complete_ = false;
  messages_.clear();
}

void Narration::SendBody(qv::Integer& iTag) {
  if (send_body_) send_body_(iTag);
}

void Narration::SendComplete(qv::Integer& status) {
  if (complete_) return;
  complete_ = true;
  status_ = status;
  elapsed_ = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start_);
  if (on_complete_) on_complete_();
}

void Narration::DebugMessage(qv::String& msg) {
  std::string text = qv::ToUtf8(msg);
  if (!quiet_) {
    if (progress_ != nullptr) progress_->Break();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::string shown = Printable(text);
    if (port_ != 0 && text.starts_with("Connecting to ")) {
      shown += " (port " + std::to_string(port_) + ")";
    }
    std::fprintf(out_, "[%8.3fs] %s\n", seconds, shown.c_str());
    std::fflush(out_);
  }
  messages_.push_back(std::move(text));
}

}  // namespace qvsmtp
