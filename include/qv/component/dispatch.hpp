// Dispatch by number and name for qvSMTP, and events taken by number.
//
// Invoke reaches the same operations as the control's own members. Failures
// are AutomationErrors: a dispatch status (negative number, see hresult.hpp)
// for an unknown name or identifier, a wrong argument count or an argument
// that cannot be converted; the control's own numbered errors (393, 394, ...)
// pass through with their numbers.
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "qv/component/export.hpp"
#include "qv/component/type_library.hpp"
#include "qv/control/qvsmtp.hpp"
#include "qv/core/types.hpp"
#include "qv/core/variant.hpp"
#include "qv/mail/events.hpp"

namespace qv::component {

// The dispatch side of a control. Abstract so that a host that only loads the
// library at run time reaches it through the object itself.
class QV_COMPONENT_EXPORT Dispatch {
 public:
  // The identifier of names[0], then those of its parameters named in
  // names[1..] (their 0-based positions). Throws kUnknownName when any name is
  // unknown.
  virtual std::vector<Long> GetIDsOfNames(std::span<const String> names) = 0;
  // Arguments in declaration order; a by-reference parameter receives the
  // argument itself, so what the member assigns is in args afterwards. The
  // result is Empty for members without one.
  virtual Variant Invoke(Long dispid, InvokeKind kind, std::span<Variant> args) = 0;

  // Shorthands.
  Long GetIDOfName(std::u16string_view name) {
    const String names[] = {String(name)};
    return GetIDsOfNames(names).front();
  }
  Variant Get(Long dispid) { return Invoke(dispid, InvokeKind::kPropertyGet, {}); }
  void Put(Long dispid, Variant value) {
    Invoke(dispid, InvokeKind::kPropertyPut, std::span<Variant>(&value, 1));
  }

 protected:
  ~Dispatch() = default;
};

class QV_COMPONENT_EXPORT qvSMTPDispatch final : public Dispatch {
 public:
  // The control must outlive the dispatcher.
  explicit qvSMTPDispatch(qvSMTP& control) : control_(control) {}

  std::vector<Long> GetIDsOfNames(std::span<const String> names) override;
  Variant Invoke(Long dispid, InvokeKind kind, std::span<Variant> args) override;

 private:
  qvSMTP& control_;
};

// A sink that takes events by number, with the one argument by reference.
class QV_COMPONENT_EXPORT DispatchEventSink {
 public:
  virtual void Invoke(Long dispid, Variant& argument) = 0;

 protected:
  ~DispatchEventSink() = default;
};

// Turns the control's events into calls of a DispatchEventSink under their
// 1-based indexes. The sink gets a Variant of the event's parameter type; what
// it leaves there goes back into the control's storage when it converts to
// that type (an Integer for SendBody and SendComplete). A value that does not
// convert is no assignment: the storage keeps its value.
class QV_COMPONENT_EXPORT EventDispatcher final : public qvSMTPEvents {
 public:
  explicit EventDispatcher(DispatchEventSink& sink) : sink_(sink) {}

  void SendBody(Integer& iTag) override;
  void SendComplete(Integer& status) override;
  void DebugMessage(String& msg) override;

 private:
  DispatchEventSink& sink_;
};

}  // namespace qv::component
