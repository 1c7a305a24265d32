// The Body on its way to the wire: its transparent form followed by CR LF,
// encoded to UTF-8 in one pass, a piece at a time, from text shared with the
// property. No copy of the body is ever made, so a long body costs no fresh
// memory, and a host that assigns Body meanwhile changes nothing being sent.
#pragma once

#include <cstddef>
#include <memory>

#include "qv/core/types.hpp"
#include "qv/host/socket.hpp"

namespace qv::mail {

class BodyText final : public OutgoingText {
 public:
  // text must not be empty.
  explicit BodyText(std::shared_ptr<const String> text) : text_(std::move(text)) {}

  std::size_t Encode(char* out, std::size_t room) override;
  std::size_t Remaining() const override;
  // What Encode gives in all, as UTF-16.
  String Whole() const override;

 private:
  std::shared_ptr<const String> text_;
  std::size_t position_ = 0;
  bool line_start_ = true;
  bool after_cr_ = false;
  bool ended_ = false;  // the closing CR LF is out
};

}  // namespace qv::mail
