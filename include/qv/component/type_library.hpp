// The automation description of qvSMTP: the members of its default interface
// _qvSMTP in slot order, the events of __qvSMTP, and the type library
// QVControls1 that holds both. One table each: dispatch, the IDL text and the
// member listing all read these.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "qv/component/export.hpp"
#include "qv/component/guid.hpp"
#include "qv/control/qvsmtp.hpp"
#include "qv/core/types.hpp"
#include "qv/core/variant.hpp"

namespace qv::component {

// Identities of the library and its types.
inline constexpr std::string_view kLibraryName = "QVControls1";
inline constexpr std::string_view kLibraryDescription = "QVControlGroup1";
inline constexpr std::uint16_t kLibraryMajorVersion = 4;
inline constexpr std::uint16_t kLibraryMinorVersion = 0;
inline constexpr std::uint32_t kLibraryLocale = 0x0409;
inline constexpr Guid kLibId = MakeGuid("{2D48963F-BC81-11D2-B1A5-00A02454227A}");
inline constexpr Guid kClsidQvSmtp = MakeGuid("{2D489641-BC81-11D2-B1A5-00A02454227A}");
inline constexpr Guid kIidQvSmtp = MakeGuid("{0FCCB117-C20A-11D2-B1A5-00A02454227A}");
inline constexpr Guid kIidQvSmtpEvents = MakeGuid("{0FCCB118-C20A-11D2-B1A5-00A02454227A}");
// The standard automation library and the dispatch interface taken from it.
inline constexpr Guid kLibIdStdOle = MakeGuid("{00020430-0000-0000-C000-000000000046}");
inline constexpr Guid kIidIDispatch = MakeGuid("{00020400-0000-0000-C000-000000000046}");

// The automation types the interfaces use; kVoid is "no result".
enum class AutoType { kVoid, kBoolean, kString, kInteger, kDate, kVariant, kLong };

// "Boolean", "String", "Integer", "Date", "Variant", "Long", "" for kVoid.
QV_COMPONENT_EXPORT std::string_view AutoTypeName(AutoType type);
// The matching IDL type: VARIANT_BOOL, BSTR, short, DATE, VARIANT, long, void.
QV_COMPONENT_EXPORT std::string_view IdlTypeName(AutoType type);

enum class MemberKind { kProperty, kMethod };

// How a member is invoked, numbered as dispatch numbers the flags.
enum class InvokeKind : std::uint16_t { kMethod = 1, kPropertyGet = 2, kPropertyPut = 4 };

struct QV_COMPONENT_EXPORT Parameter {
  std::string_view name;  // empty: unnamed
  AutoType type = AutoType::kVoid;
  bool by_reference = false;  // in and out
};

struct QV_COMPONENT_EXPORT MemberInfo {
  std::string_view name;
  MemberKind kind = MemberKind::kProperty;
  Long dispid = 0;
  // The property's type, or the method's result (kVoid: none).
  AutoType type = AutoType::kVoid;
  std::span<const Parameter> parameters;  // methods only
  std::string_view help;                  // empty: none

  // The operations on the control. Property writers take a value already
  // converted to the property's type; a method receives its arguments as
  // given, by reference.
  Variant (*get)(qvSMTP& control) = nullptr;
  void (*put)(qvSMTP& control, const Variant& value) = nullptr;
  Variant (*call)(qvSMTP& control, std::span<Variant> arguments) = nullptr;
};

// The seventeen members of _qvSMTP, in slot order.
QV_COMPONENT_EXPORT std::span<const MemberInfo> Members();
// nullptr when no member has the identifier (the stock enabled identifier
// -514 and 0 among them).
QV_COMPONENT_EXPORT const MemberInfo* FindMember(Long dispid);
// Names are matched without regard to case, as automation names are.
QV_COMPONENT_EXPORT const MemberInfo* FindMember(std::u16string_view name);
QV_COMPONENT_EXPORT bool SameName(std::string_view table_name, std::u16string_view name);

struct QV_COMPONENT_EXPORT EventInfo {
  Long dispid = 0;  // also the 1-based index by which the control raises it
  std::string_view name;
  Parameter parameter;
};

// The three events of __qvSMTP in index order.
QV_COMPONENT_EXPORT std::span<const EventInfo> Events();
QV_COMPONENT_EXPORT const EventInfo* FindEvent(Long dispid);

enum class TypeKind { kDualInterface, kCoClass, kDispInterface };

namespace type_flag {
inline constexpr std::uint32_t kCanCreate = 0x0002;
inline constexpr std::uint32_t kHidden = 0x0010;
inline constexpr std::uint32_t kControl = 0x0020;
inline constexpr std::uint32_t kDual = 0x0040;
inline constexpr std::uint32_t kNonExtensible = 0x0080;
inline constexpr std::uint32_t kOleAutomation = 0x0100;
inline constexpr std::uint32_t kDispatchable = 0x1000;
}  // namespace type_flag

namespace impl_type_flag {
inline constexpr std::uint32_t kDefault = 0x1;
inline constexpr std::uint32_t kSource = 0x2;
}  // namespace impl_type_flag

inline constexpr std::uint32_t kLibFlagControl = 0x2;
inline constexpr int kSysKindWin32 = 1;

struct QV_COMPONENT_EXPORT ImplementedInterface {
  std::string_view name;
  std::uint32_t flags = 0;  // impl_type_flag
};

struct QV_COMPONENT_EXPORT TypeInfo {
  std::string_view name;
  TypeKind kind = TypeKind::kDualInterface;
  Guid guid;
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  std::uint32_t flags = 0;                            // type_flag
  std::string_view base;                              // interfaces: the base interface
  std::span<const ImplementedInterface> implemented;  // component classes
};

struct QV_COMPONENT_EXPORT ImportedLibrary {
  std::string_view name;
  std::string_view file;
  Guid libid;
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  std::string_view type;  // the one type taken from it
  Guid type_guid;
};

struct QV_COMPONENT_EXPORT TypeLibraryInfo {
  std::string_view name;
  std::string_view help;
  std::string_view help_file;  // empty: none
  std::uint32_t help_context = 0;
  Guid libid;
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  std::uint32_t lcid = 0;
  int syskind = kSysKindWin32;
  std::uint32_t lib_flags = 0;
  ImportedLibrary imported;
  std::span<const TypeInfo> types;
};

QV_COMPONENT_EXPORT const TypeLibraryInfo& TypeLibrary();

// The value converted to the automation type as an argument is converted.
// Throws AutomationError: 13 (type mismatch), 6 (overflow), 94 (Null), 5 (a
// date without calendar date as text). kVariant and kVoid take it unchanged.
QV_COMPONENT_EXPORT Variant ConvertValue(AutoType type, const Variant& value);

// The interface-definition text of the type library: the same interfaces,
// identifiers, flags and help strings.
QV_COMPONENT_EXPORT std::string IdlText();

// One line per member in slot order: order, name, kind, identifier (hex and
// decimal), type and help string; then the events.
QV_COMPONENT_EXPORT std::string MemberListing();

}  // namespace qv::component
