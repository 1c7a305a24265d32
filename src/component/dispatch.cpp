#include "qv/component/dispatch.hpp"

#include <type_traits>

#include "qv/component/hresult.hpp"
#include "qv/core/automation_error.hpp"

namespace qv::component {
namespace {

[[noreturn]] void Fail(HResult status, const char* text) { throw AutomationError(status, text); }

// An argument that does not convert fails as dispatch reports it.
Variant ConvertArgument(AutoType type, const Variant& value) {
  try {
    return ConvertValue(type, value);
  } catch (const AutomationError& error) {
    if (error.number() == error_number::kOverflow) Fail(hresult::kOverflow, "Overflow.");
    Fail(hresult::kTypeMismatch, "Type mismatch.");
  }
}

void CheckCount(std::span<Variant> args, std::size_t expected) {
  if (args.size() != expected) Fail(hresult::kBadParamCount, "Invalid number of parameters.");
}

// The sink sees a Variant of the parameter's type; a value it leaves there
// that does not convert back is no assignment.
template <typename T>
void RaiseTo(DispatchEventSink& sink, Long dispid, T& storage) {
  Variant argument(storage);
  sink.Invoke(dispid, argument);
  try {
    if constexpr (std::is_same_v<T, Integer>) {
      storage = ToInteger(argument);
    } else {
      storage = ToText(argument);
    }
  } catch (const AutomationError&) {
    // Storage of this type cannot hold it: the handler assigned nothing.
  }
}

}  // namespace

std::vector<Long> qvSMTPDispatch::GetIDsOfNames(std::span<const String> names) {
  if (names.empty()) Fail(hresult::kUnknownName, "Unknown name.");
  const MemberInfo* member = FindMember(names.front());
  if (member == nullptr) Fail(hresult::kUnknownName, "Unknown name.");
  std::vector<Long> ids{member->dispid};
  for (std::size_t i = 1; i < names.size(); ++i) {
    Long position = -1;
    for (std::size_t p = 0; p < member->parameters.size(); ++p) {
      const std::string_view parameter = member->parameters[p].name;
      if (!parameter.empty() && SameName(parameter, names[i])) {
        position = static_cast<Long>(p);
      }
    }
    if (position < 0) Fail(hresult::kUnknownName, "Unknown name.");
    ids.push_back(position);
  }
  return ids;
}

Variant qvSMTPDispatch::Invoke(Long dispid, InvokeKind kind, std::span<Variant> args) {
  const MemberInfo* member = FindMember(dispid);
  if (member == nullptr) Fail(hresult::kMemberNotFound, "Member not found.");
  if (member->kind == MemberKind::kMethod) {
    if (kind != InvokeKind::kMethod) Fail(hresult::kMemberNotFound, "Member not found.");
    CheckCount(args, member->parameters.size());
    return member->call(control_, args);
  }
  switch (kind) {
    case InvokeKind::kPropertyGet:
      CheckCount(args, 0);
      return member->get(control_);
    case InvokeKind::kPropertyPut:
      CheckCount(args, 1);
      member->put(control_, ConvertArgument(member->type, args.front()));
      return Variant();
    case InvokeKind::kMethod:
      break;
  }
  Fail(hresult::kMemberNotFound, "Member not found.");
}

void EventDispatcher::SendBody(Integer& iTag) { RaiseTo(sink_, event_id::kSendBody, iTag); }

void EventDispatcher::SendComplete(Integer& status) {
  RaiseTo(sink_, event_id::kSendComplete, status);
}

void EventDispatcher::DebugMessage(String& msg) { RaiseTo(sink_, event_id::kDebugMessage, msg); }

}  // namespace qv::component
