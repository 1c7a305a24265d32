#include "qv/component/type_library.hpp"

#include <array>
#include <cstdio>
#include <string>
#include <vector>

namespace qv::component {
namespace {

// Conversion between a member's plain type and its Variant form.
template <AutoType T>
struct Conv;

template <>
struct Conv<AutoType::kBoolean> {
  static Boolean From(const Variant& v) { return ToBoolean(v); }
  static Variant To(Boolean b) { return Variant::FromBoolean(b); }
};
template <>
struct Conv<AutoType::kString> {
  static String From(const Variant& v) { return ToText(v); }
  static Variant To(String s) { return Variant(std::move(s)); }
};
template <>
struct Conv<AutoType::kInteger> {
  static Integer From(const Variant& v) { return ToInteger(v); }
  static Variant To(Integer i) { return Variant(i); }
};
template <>
struct Conv<AutoType::kLong> {
  static Long From(const Variant& v) { return ToLong(v); }
  static Variant To(Long i) { return Variant(i); }
};
template <>
struct Conv<AutoType::kDate> {
  static Date From(const Variant& v) { return ToDate(v); }
  static Variant To(Date d) { return Variant(d); }
};
template <>
struct Conv<AutoType::kVariant> {
  static const Variant& From(const Variant& v) { return v; }
  static Variant To(Variant v) { return v; }
};

template <AutoType T, auto Get, auto Put>
constexpr MemberInfo Property(std::string_view name, Long dispid, std::string_view help = {}) {
  MemberInfo member;
  member.name = name;
  member.kind = MemberKind::kProperty;
  member.dispid = dispid;
  member.type = T;
  member.help = help;
  member.get = [](qvSMTP& control) { return Conv<T>::To((control.*Get)()); };
  member.put = [](qvSMTP& control, const Variant& value) { (control.*Put)(Conv<T>::From(value)); };
  return member;
}

constexpr std::array<Parameter, 1> kSendDataParameters = {
    Parameter{"data", AutoType::kVariant, true}};

constexpr MemberInfo SendDataMethod() {
  MemberInfo member;
  member.name = "SendData";
  member.kind = MemberKind::kMethod;
  member.dispid = static_cast<Long>(0x60030018);
  member.type = AutoType::kVoid;
  member.parameters = kSendDataParameters;
  member.call = [](qvSMTP& control, std::span<Variant> arguments) {
    control.SendData(arguments[0]);
    return Variant();
  };
  return member;
}

constexpr MemberInfo SendMethod() {
  MemberInfo member;
  member.name = "Send";
  member.kind = MemberKind::kMethod;
  member.dispid = static_cast<Long>(0x6003002B);
  member.type = AutoType::kInteger;
  member.call = [](qvSMTP& control, std::span<Variant>) { return Variant(control.Send()); };
  return member;
}

using enum AutoType;
using C = qvSMTP;

// Slot order. The properties count down from 0x6803000F; the two methods sit
// between them under identifiers of their own series. The members added for
// ESMTP and TLS follow them all, counting up from 0x68030010.
constexpr std::array<MemberInfo, 26> kMembers = {
    Property<kBoolean, &C::get_Enabled, &C::put_Enabled>(
        "Enabled", 0x6803000F,
        "Returns/sets a value that determines whether an object can respond to user-generated "
        "events."),
    Property<kString, &C::get_RemoteHost, &C::put_RemoteHost>(
        "RemoteHost", 0x6803000E, "Remote host name to deliver message."),
    Property<kString, &C::get_MailFrom, &C::put_MailFrom>(
        "MailFrom", 0x6803000D, "SMTP address of who the message is from."),
    Property<kVariant, &C::get_Body, &C::put_Body>("Body", 0x6803000C, "Body of the message."),
    Property<kString, &C::get_RemoteHostIP, &C::put_RemoteHostIP>("RemoteHostIP", 0x6803000B),
    Property<kString, &C::get_Subject, &C::put_Subject>("Subject", 0x6803000A),
    Property<kDate, &C::get_DateHeader, &C::put_DateHeader>("DateHeader", 0x68030009),
    Property<kString, &C::get_RcptTo, &C::put_RcptTo>("RcptTo", 0x68030008,
                                                      "SMTP address of who the mail is to."),
    Property<kInteger, &C::get_status, &C::put_status>("status", 0x68030007),
    Property<kString, &C::get_XMailer, &C::put_XMailer>("XMailer", 0x68030006),
    Property<kString, &C::get_Priority, &C::put_Priority>("Priority", 0x68030005),
    Property<kString, &C::get_ContentType, &C::put_ContentType>("ContentType", 0x68030004),
    Property<kBoolean, &C::get_Busy, &C::put_Busy>("Busy", 0x68030003),
    SendDataMethod(),
    SendMethod(),
    Property<kString, &C::get_StatusStr, &C::put_StatusStr>("StatusStr", 0x68030002),
    Property<kInteger, &C::get_BodyEvent, &C::put_BodyEvent>("BodyEvent", 0x68030001),
    Property<kInteger, &C::get_Protocol, &C::put_Protocol>(
        "Protocol", 0x68030010,
        "Conversation with the server: 0 HELO, 1 EHLO, 2 STARTTLS required, 3 TLS from the "
        "first byte."),
    Property<kLong, &C::get_Port, &C::put_Port>(
        "Port", 0x68030011, "Server port; 0: 465 for TLS from the first byte, otherwise 25."),
    Property<kString, &C::get_CaFile, &C::put_CaFile>(
        "CaFile", 0x68030012,
        "PEM file of certificate authorities trusted instead of the system's; empty: the "
        "system's."),
    Property<kString, &C::get_UserName, &C::put_UserName>("UserName", 0x68030013,
                                                          "User name for AUTH."),
    Property<kString, &C::get_Password, &C::put_Password>(
        "Password", 0x68030014, "Password for AUTH; write-only, never stored."),
    Property<kString, &C::get_OAuthToken, &C::put_OAuthToken>(
        "OAuthToken", 0x68030015, "OAuth 2.0 bearer token for AUTH; write-only, never stored."),
    Property<kString, &C::get_AuthMechanism, &C::put_AuthMechanism>(
        "AuthMechanism", 0x68030016,
        "AUTH mechanism: empty chooses; PLAIN, LOGIN, XOAUTH2 or OAUTHBEARER forces one."),
    Property<kBoolean, &C::get_AuthInTheClear, &C::put_AuthInTheClear>(
        "AuthInTheClear", 0x68030017,
        "Allows AUTH without TLS to a server on this machine (a loopback address) only."),
    Property<kString, &C::get_MessageId, &C::put_MessageId>(
        "MessageId", 0x68030018,
        "Message-ID of the last message; a value set before Send serves the next one."),
};

constexpr std::array<EventInfo, 3> kEvents = {
    EventInfo{1, "SendBody", Parameter{"iTag", kInteger, true}},
    EventInfo{2, "SendComplete", Parameter{"status", kInteger, true}},
    EventInfo{3, "DebugMessage", Parameter{"msg", kString, true}},
};

constexpr std::array<ImplementedInterface, 2> kQvSmtpInterfaces = {
    ImplementedInterface{"_qvSMTP", impl_type_flag::kDefault},
    ImplementedInterface{"__qvSMTP", impl_type_flag::kDefault | impl_type_flag::kSource},
};

constexpr std::array<TypeInfo, 3> kTypes = {
    TypeInfo{"_qvSMTP",
             TypeKind::kDualInterface,
             kIidQvSmtp,
             1,
             0,
             type_flag::kHidden | type_flag::kDual | type_flag::kNonExtensible |
                 type_flag::kOleAutomation | type_flag::kDispatchable,
             "IDispatch",
             {}},
    // A control that hosts create through the library's class object only.
    TypeInfo{"qvSMTP",
             TypeKind::kCoClass,
             kClsidQvSmtp,
             1,
             0,
             type_flag::kControl,
             {},
             kQvSmtpInterfaces},
    TypeInfo{"__qvSMTP",
             TypeKind::kDispInterface,
             kIidQvSmtpEvents,
             1,
             0,
             type_flag::kHidden | type_flag::kNonExtensible | type_flag::kDispatchable,
             {},
             {}},
};

constexpr TypeLibraryInfo kTypeLibrary = {
    kLibraryName,
    kLibraryDescription,
    {},
    0,
    kLibId,
    kLibraryMajorVersion,
    kLibraryMinorVersion,
    kLibraryLocale,
    kSysKindWin32,
    kLibFlagControl,
    ImportedLibrary{"stdole", "stdole2.tlb", kLibIdStdOle, 2, 0, "IDispatch", kIidIDispatch},
    kTypes,
};

std::string Hex8(std::uint32_t value, bool upper) {
  char text[11];
  std::snprintf(text, sizeof text, upper ? "0x%08X" : "0x%08x", static_cast<unsigned>(value));
  return text;
}

// A GUID as IDL writes it: no braces.
std::string IdlUuid(const Guid& guid) {
  const std::string braced = ToString(guid);
  return braced.substr(1, braced.size() - 2);
}

std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

std::string Version(std::uint16_t major, std::uint16_t minor) {
  return "version(" + std::to_string(major) + "." + std::to_string(minor) + ")";
}

std::string MemberAttributes(const MemberInfo& member, std::string_view kind) {
  std::string out = "[id(" + Hex8(static_cast<std::uint32_t>(member.dispid), false) + ")";
  if (!kind.empty()) {
    out += ", ";
    out += kind;
  }
  if (!member.help.empty()) out += ", helpstring(" + Quoted(member.help) + ")";
  out += "]";
  return out;
}

void AppendInterfaceMembers(std::string& out) {
  const std::string_view indent = "        ";
  for (const MemberInfo& member : kMembers) {
    if (member.kind == MemberKind::kProperty) {
      const std::string type(IdlTypeName(member.type));
      out.append(indent).append(MemberAttributes(member, "propget")).append("\n");
      out.append(indent).append("HRESULT ").append(member.name);
      out.append("([out, retval] ").append(type).append("* );\n");
      out.append(indent).append(MemberAttributes(member, "propput")).append("\n");
      out.append(indent).append("HRESULT ").append(member.name);
      out.append("([in] ").append(type).append(" );\n");
      continue;
    }
    out.append(indent).append(MemberAttributes(member, "")).append("\n");
    out.append(indent).append("HRESULT ").append(member.name).append("(");
    bool first = true;
    for (const Parameter& parameter : member.parameters) {
      if (!first) out += ", ";
      first = false;
      out += parameter.by_reference ? "[in, out] " : "[in] ";
      out.append(IdlTypeName(parameter.type));
      if (parameter.by_reference) out += '*';
      out.append(" ").append(parameter.name);
    }
    if (member.type != AutoType::kVoid) {
      if (!first) out += ", ";
      out.append("[out, retval] ").append(IdlTypeName(member.type)).append("* ");
    }
    out += ");\n";
  }
}

void AppendEventMembers(std::string& out) {
  const std::string_view indent = "            ";
  for (const EventInfo& event : kEvents) {
    out.append(indent).append("[id(" + Hex8(static_cast<std::uint32_t>(event.dispid), false) +
                              ")]\n");
    out.append(indent).append("void ").append(event.name).append("([in, out] ");
    out.append(IdlTypeName(event.parameter.type)).append("* ");
    out.append(event.parameter.name).append(");\n");
  }
}

std::vector<std::string> TypeFlagAttributes(std::uint32_t flags) {
  std::vector<std::string> attributes;
  if (flags & type_flag::kHidden) attributes.emplace_back("hidden");
  if (flags & type_flag::kDual) attributes.emplace_back("dual");
  if (flags & type_flag::kNonExtensible) attributes.emplace_back("nonextensible");
  if (flags & type_flag::kOleAutomation) attributes.emplace_back("oleautomation");
  if (flags & type_flag::kControl) attributes.emplace_back("control");
  return attributes;
}

void AppendTypeAttributes(std::string& out, const TypeInfo& type) {
  std::vector<std::string> attributes;
  // Attributes of a dispinterface that widl does not take; other compilers
  // read them.
  std::vector<std::string> not_for_widl;
  const bool dispinterface = type.kind == TypeKind::kDispInterface;
  if (type.kind == TypeKind::kDualInterface) attributes.emplace_back("odl");
  attributes.push_back("uuid(" + IdlUuid(type.guid) + ")");
  (dispinterface ? not_for_widl : attributes).push_back(Version(type.major, type.minor));
  for (std::string& flag : TypeFlagAttributes(type.flags)) {
    (dispinterface && flag == "nonextensible" ? not_for_widl : attributes).push_back(flag);
  }
  // A component class without the can-create flag is written noncreatable.
  if (type.kind == TypeKind::kCoClass && !(type.flags & type_flag::kCanCreate)) {
    attributes.emplace_back("noncreatable");
  }
  out += "    [\n";
  for (std::size_t i = 0; i < attributes.size(); ++i) {
    out += "      " + attributes[i] + (i + 1 < attributes.size() ? ",\n" : "\n");
  }
  if (!not_for_widl.empty()) {
    out += "#ifndef __WIDL__\n";
    for (const std::string& attribute : not_for_widl) out += "      , " + attribute + "\n";
    out += "#endif\n";
  }
  out += "    ]\n";
}

std::string_view TypeKeyword(TypeKind kind) {
  return kind == TypeKind::kDispInterface ? "dispinterface" : "interface";
}

}  // namespace

std::string_view AutoTypeName(AutoType type) {
  switch (type) {
    case kBoolean:
      return "Boolean";
    case kString:
      return "String";
    case kInteger:
      return "Integer";
    case kDate:
      return "Date";
    case kLong:
      return "Long";
    case kVariant:
      return "Variant";
    case kVoid:
      break;
  }
  return "";
}

std::string_view IdlTypeName(AutoType type) {
  switch (type) {
    case kBoolean:
      return "VARIANT_BOOL";
    case kString:
      return "BSTR";
    case kInteger:
      return "short";
    case kDate:
      return "DATE";
    case kLong:
      return "long";
    case kVariant:
      return "VARIANT";
    case kVoid:
      break;
  }
  return "void";
}

bool SameName(std::string_view table_name, std::u16string_view name) {
  if (table_name.size() != name.size()) return false;
  for (std::size_t i = 0; i < table_name.size(); ++i) {
    char16_t a = static_cast<unsigned char>(table_name[i]);
    char16_t b = name[i];
    if (a >= u'A' && a <= u'Z') a = static_cast<char16_t>(a - u'A' + u'a');
    if (b >= u'A' && b <= u'Z') b = static_cast<char16_t>(b - u'A' + u'a');
    if (a != b) return false;
  }
  return true;
}

std::span<const MemberInfo> Members() { return kMembers; }

const MemberInfo* FindMember(Long dispid) {
  for (const MemberInfo& member : kMembers) {
    if (member.dispid == dispid) return &member;
  }
  return nullptr;
}

const MemberInfo* FindMember(std::u16string_view name) {
  for (const MemberInfo& member : kMembers) {
    if (SameName(member.name, name)) return &member;
  }
  return nullptr;
}

std::span<const EventInfo> Events() { return kEvents; }

const EventInfo* FindEvent(Long dispid) {
  for (const EventInfo& event : kEvents) {
    if (event.dispid == dispid) return &event;
  }
  return nullptr;
}

const TypeLibraryInfo& TypeLibrary() { return kTypeLibrary; }

Variant ConvertValue(AutoType type, const Variant& value) {
  switch (type) {
    case kBoolean:
      return Conv<kBoolean>::To(Conv<kBoolean>::From(value));
    case kString:
      return Conv<kString>::To(Conv<kString>::From(value));
    case kInteger:
      return Conv<kInteger>::To(Conv<kInteger>::From(value));
    case kDate:
      return Conv<kDate>::To(Conv<kDate>::From(value));
    case kLong:
      return Conv<kLong>::To(Conv<kLong>::From(value));
    case kVariant:
    case kVoid:
      break;
  }
  return value;
}

std::string IdlText() {
  const TypeLibraryInfo& lib = kTypeLibrary;
  std::string out;
  out += "// Type library " + std::string(lib.name) + " " + ToString(lib.libid) + "\n\n";
  // IDispatch comes from the imported library; compilers that resolve names
  // before reading it need the declaration as well.
  out += "import \"oaidl.idl\";\n\n";
  out += "[\n";
  out += "  uuid(" + IdlUuid(lib.libid) + "),\n";
  out += "  " + Version(lib.major, lib.minor) + ",\n";
  out += "  helpstring(" + Quoted(lib.help) + "),\n";
  out += "  lcid(" + Hex8(lib.lcid, false) + ")";
  if (lib.lib_flags & kLibFlagControl) out += ",\n  control";
  out += "\n]\n";
  out += "library " + std::string(lib.name) + "\n{\n";
  out += "    // " + std::string(lib.imported.type) + " from " + ToString(lib.imported.libid) +
         " " + std::to_string(lib.imported.major) + "." + std::to_string(lib.imported.minor) + "\n";
  out += "    importlib(" + Quoted(lib.imported.file) + ");\n\n";
  for (const TypeInfo& type : lib.types) {
    if (type.kind != TypeKind::kCoClass) {
      out += "    " + std::string(TypeKeyword(type.kind)) + " " + std::string(type.name) + ";\n";
    }
  }
  for (const TypeInfo& type : lib.types) {
    out += "\n";
    AppendTypeAttributes(out, type);
    switch (type.kind) {
      case TypeKind::kDualInterface:
        out += "    interface " + std::string(type.name) + " : " + std::string(type.base) + " {\n";
        AppendInterfaceMembers(out);
        out += "    };\n";
        break;
      case TypeKind::kCoClass:
        out += "    coclass " + std::string(type.name) + " {\n";
        for (const ImplementedInterface& implemented : type.implemented) {
          std::string flags = "default";
          if (implemented.flags & impl_type_flag::kSource) flags += ", source";
          const TypeInfo* target = nullptr;
          for (const TypeInfo& candidate : lib.types) {
            if (candidate.name == implemented.name) target = &candidate;
          }
          const std::string_view keyword =
              target ? TypeKeyword(target->kind) : std::string_view("interface");
          out += "        [" + flags + "] " + std::string(keyword) + " " +
                 std::string(implemented.name) + ";\n";
        }
        out += "    };\n";
        break;
      case TypeKind::kDispInterface:
        out += "    dispinterface " + std::string(type.name) + " {\n";
        out += "        properties:\n";
        out += "        methods:\n";
        AppendEventMembers(out);
        out += "    };\n";
        break;
    }
  }
  out += "};\n";
  return out;
}

std::string MemberListing() {
  std::string out;
  char line[512];
  std::snprintf(line, sizeof line, "_qvSMTP %s: %zu members in slot order\n",
                ToString(kIidQvSmtp).c_str(), kMembers.size());
  out += line;
  int order = 0;
  for (const MemberInfo& member : kMembers) {
    std::string type;
    if (member.kind == MemberKind::kProperty) {
      type = AutoTypeName(member.type);
    } else {
      type = "(";
      bool first = true;
      for (const Parameter& parameter : member.parameters) {
        if (!first) type += ", ";
        first = false;
        type.append(parameter.name).append(": ").append(AutoTypeName(parameter.type));
        if (parameter.by_reference) type += " by reference";
      }
      type += ") -> ";
      type += member.type == AutoType::kVoid ? "none" : std::string(AutoTypeName(member.type));
    }
    const std::string help = member.help.empty() ? "-" : Quoted(member.help);
    std::snprintf(line, sizeof line, "%2d  %-12s  %-8s  %s (%d)  %s  %s\n", ++order,
                  std::string(member.name).c_str(),
                  member.kind == MemberKind::kProperty ? "property" : "method",
                  Hex8(static_cast<std::uint32_t>(member.dispid), true).c_str(),
                  static_cast<int>(member.dispid), type.c_str(), help.c_str());
    out += line;
  }
  std::snprintf(line, sizeof line, "__qvSMTP %s: %zu events by index\n",
                ToString(kIidQvSmtpEvents).c_str(), kEvents.size());
  out += line;
  for (const EventInfo& event : kEvents) {
    std::snprintf(line, sizeof line, "%2d  %-12s  (%s: %s by reference)\n",
                  static_cast<int>(event.dispid), std::string(event.name).c_str(),
                  std::string(event.parameter.name).c_str(),
                  std::string(AutoTypeName(event.parameter.type)).c_str());
    out += line;
  }
  return out;
}

}  // namespace qv::component
