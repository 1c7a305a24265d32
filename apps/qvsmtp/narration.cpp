#include "narration.hpp"

#include "qv/core/text.hpp"

namespace qvsmtp {

std::string Printable(std::string_view utf8) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(utf8.size());
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += c;
    }
  }
  return out;
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
}

void Narration::DebugMessage(qv::String& msg) {
  std::string text = qv::ToUtf8(msg);
  if (!quiet_) {
    if (progress_ != nullptr) progress_->Break();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::fprintf(out_, "[%8.3fs] %s\n", seconds, Printable(text).c_str());
    std::fflush(out_);
  }
  messages_.push_back(std::move(text));
}

}  // namespace qvsmtp
