#include "qv/runtime/program_host.hpp"

#include <algorithm>
#include <utility>

#include "qv/core/automation_error.hpp"

namespace qv::runtime {

void ProgramHost::PropertyChanged(std::u16string_view name) {
  ++change_count_;
  if (std::find(changed_.begin(), changed_.end(), name) == changed_.end()) {
    changed_.emplace_back(name);
  }
}

std::string ProgramHost::ErrorText(Long number) {
  const auto own = error_texts_.find(number);
  return own != error_texts_.end() ? own->second : DefaultErrorText(number);
}

void ProgramHost::SetErrorText(Long number, std::string text) {
  error_texts_[number] = std::move(text);
}

}  // namespace qv::runtime
