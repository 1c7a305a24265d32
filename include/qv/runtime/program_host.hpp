// The component host for a program that uses the control directly: it keeps
// what a form would keep for the control and lets the program read it back.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "qv/core/types.hpp"
#include "qv/host/component_host.hpp"
#include "qv/runtime/export.hpp"

namespace qv::runtime {

class QV_RUNTIME_EXPORT ProgramHost final : public ComponentHost {
 public:
  // Run time (UserMode true); switch to design time with SetUserMode(false).
  Boolean UserMode() override { return MakeBoolean(user_mode_); }
  void SetUserMode(bool user_mode) { user_mode_ = user_mode; }

  // Names of the properties changed since the last MarkSaved, each once, in the
  // order of their first change. (A list of every notice would grow without
  // bound in a program that sets Body for each message.)
  void PropertyChanged(std::u16string_view name) override;
  const std::vector<String>& ChangedProperties() const { return changed_; }
  // Notices received in total.
  long ChangeCount() const { return change_count_; }
  // True when a property has changed since the last MarkSaved.
  bool Dirty() const { return !changed_.empty(); }
  // The program has saved the control (WriteProperties).
  void MarkSaved() { changed_.clear(); }

  Boolean Enabled() override { return enabled_; }
  void SetEnabled(Boolean enabled) override { enabled_ = enabled; }

  // The size the control last took, in twips (0 until it sets one).
  void SetWidth(Long twips) override { width_ = twips; }
  void SetHeight(Long twips) override { height_ = twips; }
  Long Width() const { return width_; }
  Long Height() const { return height_; }

  // The program's own text for a number, else DefaultErrorText.
  std::string ErrorText(Long number) override;
  void SetErrorText(Long number, std::string text);

 private:
  bool user_mode_ = true;
  Boolean enabled_ = kTrue;
  Long width_ = 0;
  Long height_ = 0;
  std::vector<String> changed_;
  long change_count_ = 0;
  std::map<Long, std::string> error_texts_;
};

}  // namespace qv::runtime
