// A component host double: switches UserMode, records PropertyChanged names
// and size assignments, keeps the control's enabled state.
#pragma once

#include <string>
#include <vector>

#include "qv/host/component_host.hpp"
#include "qv/testing/export.hpp"

namespace qv::testing {

class QV_TESTING_EXPORT FakeHost final : public ComponentHost {
 public:
  Boolean user_mode = kTrue;
  Boolean enabled = kTrue;
  std::vector<String> changed;          // PropertyChanged names in order
  std::vector<std::string> size_calls;  // "Height 330", "Width 360"
  int user_mode_queries = 0;

  Boolean UserMode() override {
    ++user_mode_queries;
    return user_mode;
  }
  void PropertyChanged(std::u16string_view name) override { changed.emplace_back(name); }
  Boolean Enabled() override { return enabled; }
  void SetEnabled(Boolean value) override { enabled = value; }
  void SetWidth(Long twips) override { size_calls.push_back("Width " + std::to_string(twips)); }
  void SetHeight(Long twips) override { size_calls.push_back("Height " + std::to_string(twips)); }
  std::string ErrorText(Long number) override;
};

}  // namespace qv::testing
