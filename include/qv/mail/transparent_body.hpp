// The body in its transparent wire form, made from text that may arrive in
// pieces split anywhere: every bare CR, bare LF or CR LF becomes CR LF, and a
// line that begins with "." gets a second one, so that no body line can end
// the data early or lose its dot. Works on UTF-16 (the control's Body) and on
// UTF-8 bytes (a host that streams a body itself) alike.
#pragma once

#include <string>
#include <string_view>

namespace qv::mail {

template <typename Char>
class TransparentBody {
 public:
  // Appends the transparent form of the next piece of text.
  void Encode(std::basic_string_view<Char> text, std::basic_string<Char>& out) {
    const Char* p = text.data();
    const Char* const end = p + text.size();
    while (p < end) {
      if (after_cr_) {
        after_cr_ = false;
        if (*p == Char('\n')) {  // the LF of a CR LF already written
          ++p;
          continue;
        }
      }
      if (line_start_) {
        if (*p == Char('.')) out.push_back(Char('.'));
        line_start_ = false;
      }
      // Copy the run of ordinary characters in one go.
      const Char* run = p;
      while (p < end && *p != Char('\r') && *p != Char('\n')) ++p;
      out.append(run, p);
      if (p == end) break;
      after_cr_ = *p == Char('\r');
      ++p;
      out.push_back(Char('\r'));
      out.push_back(Char('\n'));
      line_start_ = true;
    }
  }

  // Starts a new body. Nothing is ever held back, so nothing is written.
  void Finish(std::basic_string<Char>& /*out*/) {
    line_start_ = true;
    after_cr_ = false;
  }

 private:
  bool line_start_ = true;
  bool after_cr_ = false;
};

}  // namespace qv::mail
