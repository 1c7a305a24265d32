// The published face of qvSMTP: every member's identifier, kind, type and help
// string, the events, the type library's identity, and the IDL text.
#include "qv/component/type_library.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace qv::component {
namespace {

struct ExpectedMember {
  const char* name;
  MemberKind kind;
  std::uint32_t dispid;
  long decimal;
  AutoType type;
  const char* help;  // "" for none
};

using enum AutoType;
constexpr MemberKind kProp = MemberKind::kProperty;
constexpr MemberKind kMeth = MemberKind::kMethod;

// The interface as published, in slot order.
const std::vector<ExpectedMember> kPublished = {
    {"Enabled", kProp, 0x6803000F, 1745027087, kBoolean,
     "Returns/sets a value that determines whether an object can respond to user-generated "
     "events."},
    {"RemoteHost", kProp, 0x6803000E, 1745027086, kString, "Remote host name to deliver message."},
    {"MailFrom", kProp, 0x6803000D, 1745027085, kString,
     "SMTP address of who the message is from."},
    {"Body", kProp, 0x6803000C, 1745027084, kVariant, "Body of the message."},
    {"RemoteHostIP", kProp, 0x6803000B, 1745027083, kString, ""},
    {"Subject", kProp, 0x6803000A, 1745027082, kString, ""},
    {"DateHeader", kProp, 0x68030009, 1745027081, kDate, ""},
    {"RcptTo", kProp, 0x68030008, 1745027080, kString, "SMTP address of who the mail is to."},
    {"status", kProp, 0x68030007, 1745027079, kInteger, ""},
    {"XMailer", kProp, 0x68030006, 1745027078, kString, ""},
    {"Priority", kProp, 0x68030005, 1745027077, kString, ""},
    {"ContentType", kProp, 0x68030004, 1745027076, kString, ""},
    {"Busy", kProp, 0x68030003, 1745027075, kBoolean, ""},
    {"SendData", kMeth, 0x60030018, 1610809368, kVoid, ""},
    {"Send", kMeth, 0x6003002B, 1610809387, kInteger, ""},
    {"StatusStr", kProp, 0x68030002, 1745027074, kString, ""},
    {"BodyEvent", kProp, 0x68030001, 1745027073, kInteger, ""},
    {"Protocol", kProp, 0x68030010, 1745027088, kInteger,
     "Conversation with the server: 0 HELO, 1 EHLO, 2 STARTTLS required, 3 TLS from the first "
     "byte."},
    {"Port", kProp, 0x68030011, 1745027089, kLong,
     "Server port; 0: 465 for TLS from the first byte, otherwise 25."},
    {"CaFile", kProp, 0x68030012, 1745027090, kString,
     "PEM file of certificate authorities trusted instead of the system's; empty: the system's."},
    {"UserName", kProp, 0x68030013, 1745027091, kString, "User name for AUTH."},
    {"Password", kProp, 0x68030014, 1745027092, kString,
     "Password for AUTH; write-only, never stored."},
    {"OAuthToken", kProp, 0x68030015, 1745027093, kString,
     "OAuth 2.0 bearer token for AUTH; write-only, never stored."},
    {"AuthMechanism", kProp, 0x68030016, 1745027094, kString,
     "AUTH mechanism: empty chooses; PLAIN, LOGIN, XOAUTH2 or OAUTHBEARER forces one."},
    {"AuthInTheClear", kProp, 0x68030017, 1745027095, kBoolean,
     "Allows AUTH without TLS to a server on this machine (a loopback address) only."},
    {"MessageId", kProp, 0x68030018, 1745027096, kString,
     "Message-ID of the last message; a value set before Send serves the next one."},
};

TEST(MemberTable, EveryMemberAsPublishedInSlotOrder) {
  const auto members = Members();
  ASSERT_EQ(members.size(), kPublished.size());
  for (std::size_t i = 0; i < kPublished.size(); ++i) {
    const ExpectedMember& want = kPublished[i];
    const MemberInfo& got = members[i];
    SCOPED_TRACE(want.name);
    EXPECT_EQ(got.name, want.name);
    EXPECT_EQ(got.kind, want.kind);
    EXPECT_EQ(static_cast<std::uint32_t>(got.dispid), want.dispid);
    EXPECT_EQ(got.dispid, want.decimal);
    EXPECT_EQ(got.type, want.type);
    EXPECT_EQ(got.help, want.help);
    // Each property has both a reader and a writer; methods have neither.
    EXPECT_EQ(got.get != nullptr, want.kind == kProp);
    EXPECT_EQ(got.put != nullptr, want.kind == kProp);
    EXPECT_EQ(got.call != nullptr, want.kind == kMeth);
  }
  const auto& send_data = members[13];
  ASSERT_EQ(send_data.parameters.size(), 1u);
  EXPECT_EQ(send_data.parameters[0].name, "data");
  EXPECT_EQ(send_data.parameters[0].type, kVariant);
  EXPECT_TRUE(send_data.parameters[0].by_reference);
  EXPECT_TRUE(members[14].parameters.empty());
}

TEST(MemberTable, EventsByIndex) {
  struct Want {
    long dispid;
    const char* name;
    const char* parameter;
    AutoType type;
  };
  const Want published[] = {{1, "SendBody", "iTag", kInteger},
                            {2, "SendComplete", "status", kInteger},
                            {3, "DebugMessage", "msg", kString}};
  const auto events = Events();
  ASSERT_EQ(events.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(events[i].dispid, published[i].dispid);
    EXPECT_EQ(events[i].name, published[i].name);
    EXPECT_EQ(events[i].parameter.name, published[i].parameter);
    EXPECT_EQ(events[i].parameter.type, published[i].type);
    EXPECT_TRUE(events[i].parameter.by_reference);
    EXPECT_EQ(FindEvent(published[i].dispid), &events[i]);
  }
  EXPECT_EQ(FindEvent(0), nullptr);
  EXPECT_EQ(FindEvent(4), nullptr);
}

TEST(MemberTable, LookupByIdentifierAndName) {
  for (const ExpectedMember& want : kPublished) {
    const MemberInfo* by_id = FindMember(static_cast<Long>(want.dispid));
    ASSERT_NE(by_id, nullptr) << want.name;
    EXPECT_EQ(by_id->name, want.name);
  }
  // The stock enabled identifier and the default member find nothing.
  EXPECT_EQ(FindMember(Long{-514}), nullptr);
  EXPECT_EQ(FindMember(Long{0}), nullptr);
  EXPECT_EQ(FindMember(static_cast<Long>(0x68030019)), nullptr);

  EXPECT_EQ(FindMember(u"SEND")->name, "Send");
  EXPECT_EQ(FindMember(u"remotehostip")->name, "RemoteHostIP");
  EXPECT_EQ(FindMember(u"Status")->name, "status");
  EXPECT_EQ(FindMember(u"SendDat"), nullptr);
  EXPECT_EQ(FindMember(u"SendDataX"), nullptr);
  EXPECT_EQ(FindMember(u""), nullptr);
  // Non-ASCII letters do not fold onto ASCII ones.
  EXPECT_EQ(FindMember(u"S\u0119nd"), nullptr);
}

TEST(TypeLibraryData, IdentityFlagsAndImport) {
  const TypeLibraryInfo& lib = TypeLibrary();
  EXPECT_EQ(lib.name, "QVControls1");
  EXPECT_EQ(lib.help, "QVControlGroup1");
  EXPECT_TRUE(lib.help_file.empty());
  EXPECT_EQ(lib.help_context, 0u);
  EXPECT_EQ(ToString(lib.libid), "{2D48963F-BC81-11D2-B1A5-00A02454227A}");
  EXPECT_EQ(lib.major, 4);
  EXPECT_EQ(lib.minor, 0);
  EXPECT_EQ(lib.lcid, 0x0409u);
  EXPECT_EQ(lib.syskind, kSysKindWin32);
  EXPECT_EQ(lib.lib_flags, kLibFlagControl);
  EXPECT_EQ(lib.imported.type, "IDispatch");
  EXPECT_EQ(ToString(lib.imported.libid), "{00020430-0000-0000-C000-000000000046}");
  EXPECT_EQ(lib.imported.major, 2);
  EXPECT_EQ(lib.imported.minor, 0);

  ASSERT_EQ(lib.types.size(), 3u);
  const TypeInfo& dual = lib.types[0];
  EXPECT_EQ(dual.name, "_qvSMTP");
  EXPECT_EQ(dual.kind, TypeKind::kDualInterface);
  EXPECT_EQ(ToString(dual.guid), "{0FCCB117-C20A-11D2-B1A5-00A02454227A}");
  EXPECT_EQ(dual.flags, 0x11D0u);  // hidden, dual, nonextensible, oleautomation, dispatchable
  EXPECT_EQ(dual.base, "IDispatch");

  const TypeInfo& coclass = lib.types[1];
  EXPECT_EQ(coclass.name, "qvSMTP");
  EXPECT_EQ(coclass.kind, TypeKind::kCoClass);
  EXPECT_EQ(ToString(coclass.guid), "{2D489641-BC81-11D2-B1A5-00A02454227A}");
  EXPECT_EQ(coclass.flags, type_flag::kControl);
  EXPECT_EQ(coclass.flags & type_flag::kCanCreate, 0u);
  ASSERT_EQ(coclass.implemented.size(), 2u);
  EXPECT_EQ(coclass.implemented[0].name, "_qvSMTP");
  EXPECT_EQ(coclass.implemented[0].flags, impl_type_flag::kDefault);
  EXPECT_EQ(coclass.implemented[1].name, "__qvSMTP");
  EXPECT_EQ(coclass.implemented[1].flags, impl_type_flag::kDefault | impl_type_flag::kSource);

  const TypeInfo& events = lib.types[2];
  EXPECT_EQ(events.name, "__qvSMTP");
  EXPECT_EQ(events.kind, TypeKind::kDispInterface);
  EXPECT_EQ(ToString(events.guid), "{0FCCB118-C20A-11D2-B1A5-00A02454227A}");
  EXPECT_EQ(events.flags, 0x1090u);  // hidden, nonextensible, dispatchable
  for (const TypeInfo& type : lib.types) {
    EXPECT_EQ(type.major, 1);
    EXPECT_EQ(type.minor, 0);
  }
}

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(value));
  return text;
}

std::string HelpPart(const ExpectedMember& member) {
  return *member.help ? std::string(", helpstring(\"") + member.help + "\")" : std::string();
}

TEST(IdlText, DeclaresEveryMemberWithItsIdentifierAndHelp) {
  const std::string idl = IdlText();
  for (const ExpectedMember& member : kPublished) {
    SCOPED_TRACE(member.name);
    const std::string id = "[id(" + Hex(member.dispid) + ")";
    if (member.kind == kProp) {
      const std::string get = id + ", propget" + HelpPart(member) + "]\n        HRESULT " +
                              member.name + "([out, retval] ";
      const std::string put =
          id + ", propput" + HelpPart(member) + "]\n        HRESULT " + member.name + "([in] ";
      EXPECT_NE(idl.find(get), std::string::npos);
      EXPECT_NE(idl.find(put), std::string::npos);
    } else {
      EXPECT_NE(idl.find(id + "]\n        HRESULT " + member.name + "("), std::string::npos);
    }
  }
  EXPECT_NE(idl.find("HRESULT SendData([in, out] VARIANT* data);"), std::string::npos);
  EXPECT_NE(idl.find("HRESULT Send([out, retval] short* );"), std::string::npos);
  EXPECT_NE(idl.find("HRESULT DateHeader([in] DATE );"), std::string::npos);
  EXPECT_NE(idl.find("HRESULT Busy([out, retval] VARIANT_BOOL* );"), std::string::npos);
  EXPECT_NE(idl.find("void SendBody([in, out] short* iTag);"), std::string::npos);
  EXPECT_NE(idl.find("void SendComplete([in, out] short* status);"), std::string::npos);
  EXPECT_NE(idl.find("void DebugMessage([in, out] BSTR* msg);"), std::string::npos);
  EXPECT_NE(idl.find("HRESULT Port([in] long );"), std::string::npos);
  // Two accessors a property, one declaration a method: 2 * 24 + 2 + 3 events.
  const std::regex id_attribute(R"(\[id\(0x[0-9a-f]{8}\))");
  const auto count = std::distance(std::sregex_iterator(idl.begin(), idl.end(), id_attribute),
                                   std::sregex_iterator());
  EXPECT_EQ(count, 53);
  // Members appear in slot order.
  std::size_t last = 0;
  for (const ExpectedMember& member : kPublished) {
    const std::size_t at = idl.find(" " + std::string(member.name) + "(");
    ASSERT_NE(at, std::string::npos) << member.name;
    EXPECT_GT(at, last) << member.name;
    last = at;
  }
}

TEST(IdlText, LibraryAndTypeAttributes) {
  const std::string idl = IdlText();
  const auto contains = [&](const std::string& text) {
    return idl.find(text) != std::string::npos;
  };
  EXPECT_TRUE(
      contains("[\n  uuid(2D48963F-BC81-11D2-B1A5-00A02454227A),\n  version(4.0),\n"
               "  helpstring(\"QVControlGroup1\"),\n  lcid(0x00000409),\n  control\n]\nlibrary "
               "QVControls1\n{"));
  EXPECT_TRUE(contains("importlib(\"stdole2.tlb\");"));
  EXPECT_TRUE(contains(
      "      odl,\n      uuid(0FCCB117-C20A-11D2-B1A5-00A02454227A),\n      version(1.0),\n"
      "      hidden,\n      dual,\n      nonextensible,\n      oleautomation\n    ]\n"
      "    interface _qvSMTP : IDispatch {"));
  // Without the can-create flag the class is written noncreatable.
  EXPECT_TRUE(
      contains("      uuid(2D489641-BC81-11D2-B1A5-00A02454227A),\n      version(1.0),\n"
               "      control,\n      noncreatable\n    ]\n    coclass qvSMTP {\n"
               "        [default] interface _qvSMTP;\n"
               "        [default, source] dispinterface __qvSMTP;\n    };"));
  // The event interface's version and nonextensible, guarded from widl,
  // which does not take them there.
  EXPECT_TRUE(
      contains("      uuid(0FCCB118-C20A-11D2-B1A5-00A02454227A),\n      hidden\n#ifndef __WIDL__\n"
               "      , version(1.0)\n      , nonextensible\n#endif\n    ]\n"
               "    dispinterface __qvSMTP {"));
  EXPECT_LT(idl.find("import \"oaidl.idl\";"), idl.find("\nlibrary QVControls1\n"));
  // The event interface is declared before the class names it.
  EXPECT_LT(idl.find("    dispinterface __qvSMTP;"), idl.find("coclass qvSMTP"));
  // Brackets and braces balance.
  EXPECT_EQ(std::count(idl.begin(), idl.end(), '['), std::count(idl.begin(), idl.end(), ']'));
  EXPECT_EQ(std::count(idl.begin(), idl.end(), '{'), std::count(idl.begin(), idl.end(), '}'));
  EXPECT_EQ(std::count(idl.begin(), idl.end(), '('), std::count(idl.begin(), idl.end(), ')'));
}

// An IDL compiler turns the text into a type library; skipped where none is
// installed (widl comes with Debian's wine64-tools).
TEST(IdlText, CompilesToATypeLibrary) {
  const char* widl = nullptr;
  for (const char* candidate : {"/usr/bin/widl", "/usr/bin/widl-stable", "/usr/lib/wine/widl"}) {
    if (::access(candidate, X_OK) == 0) {
      widl = candidate;
      break;
    }
  }
  const std::string includes = "/usr/include/wine/wine/windows";
  const std::string libraries = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows";
  if (widl == nullptr || ::access((includes + "/oaidl.idl").c_str(), R_OK) != 0 ||
      ::access((libraries + "/stdole2.tlb").c_str(), R_OK) != 0) {
    GTEST_SKIP() << "no IDL compiler with the automation declarations";
  }
  std::string folder = (std::filesystem::temp_directory_path() / "qv-idl-XXXXXX").string();
  ASSERT_NE(::mkdtemp(folder.data()), nullptr);
  const std::string idl_file = folder + "/qvcontrols1.idl";
  const std::string tlb_file = folder + "/qvcontrols1.tlb";
  std::ofstream(idl_file) << IdlText();
  const std::string command = std::string(widl) + " -I" + includes + " -L" + libraries + " -t -o " +
                              tlb_file + " " + idl_file + " 2>&1";
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  EXPECT_EQ(::pclose(pipe), 0) << output;
  std::ifstream tlb(tlb_file, std::ios::binary);
  std::string magic(4, '\0');
  tlb.read(magic.data(), 4);
  EXPECT_EQ(magic, "MSFT");
  std::filesystem::remove_all(folder);
}

TEST(MemberListing, OneLinePerMemberAndEvent) {
  const std::string listing = MemberListing();
  for (const ExpectedMember& member : kPublished) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(member.dispid));
    const std::string line_part = std::string(hex) + " (" + std::to_string(member.decimal) + ")";
    EXPECT_NE(listing.find(line_part), std::string::npos) << member.name;
  }
  EXPECT_NE(listing.find(" 1  SendBody      (iTag: Integer by reference)"), std::string::npos);
  EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 2 + 26 + 3);
}

}  // namespace
}  // namespace qv::component
