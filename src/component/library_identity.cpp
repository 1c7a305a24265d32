#include "qv/component/library_identity.hpp"

#include <cstdio>

#include "qv/component/bitmap.hpp"
#include "qv/component/type_library.hpp"
#include "qv/host/timer.hpp"

namespace qv::component {
namespace {

constexpr std::array<VersionString, 9> kVersionStrings = {{
    {"CompanyName", "The QVControls1 developers"},
    {"FileDescription", "SMTP Mail ActiveX Control"},
    {"FileVersion", "1.00.0021"},
    {"InternalName", "qvControls1"},
    {"LegalCopyright", "Copyright (C) The QVControls1 developers"},
    {"OriginalFilename", "qvControls1.ocx"},
    {"ProductName", "QVControls1"},
    {"ProductVersion", "1.00.0021"},
    // Present and empty: the library registers itself.
    {"OLESelfRegister", ""},
}};

constexpr VersionBlock kVersionBlock = {
    .file_version = {1, 0, 0, 21},
    .product_version = {1, 0, 0, 21},
    .file_flags_mask = 0x3F,
    .file_flags = 0,
    .file_os = kFileOsWindows32,
    .file_type = kFileTypeDll,
    .file_subtype = 0,
    .language = 0x0409,
    .code_page = 1200,
    .string_table_key = "040904B0",
    .strings = kVersionStrings,
    .translation_language = 0x0409,
    .translation_code_page = 0x04B0,
};

constexpr DesignTimeSettings kDesignSettings = {
    .control =
        {
            .width = kControlWidth,
            .height = kControlHeight,
            .back_color = 0x00FF8080,
            .picture_width = 24,
            .picture_height = 22,
            .picture_colours = 16,
            .appearance = 1,
            .can_get_focus = false,
            .invisible_at_run_time = true,
        },
    .timer = {.name = "mailTimer", .interval = kMailTimerInterval, .enabled = false},
    .socket =
        {
            .name = "Winsock1",
            .class_name = "MSWinsockLib.Winsock",
            .extent_x = 741,
            .extent_y = 741,
            .version = 393216,
            .cleared = socket_setting::kClearedBeforeConnect,
        },
};

constexpr std::array<NamedFlag, 7> kMiscStatusFlags = {{
    {"OLEMISC_RECOMPOSEONRESIZE", ole_misc::kRecomposeOnResize},
    {"OLEMISC_CANTLINKINSIDE", ole_misc::kCantLinkInside},
    {"OLEMISC_INSIDEOUT", ole_misc::kInsideOut},
    {"OLEMISC_ACTIVATEWHENVISIBLE", ole_misc::kActivateWhenVisible},
    {"OLEMISC_INVISIBLEATRUNTIME", ole_misc::kInvisibleAtRuntime},
    {"OLEMISC_NOUIACTIVATE", ole_misc::kNoUiActivate},
    {"OLEMISC_SETCLIENTSITEFIRST", ole_misc::kSetClientSiteFirst},
}};

constexpr std::uint32_t kQvSmtpMiscStatus =
    ole_misc::kRecomposeOnResize | ole_misc::kCantLinkInside | ole_misc::kInsideOut |
    ole_misc::kActivateWhenVisible | ole_misc::kInvisibleAtRuntime | ole_misc::kNoUiActivate |
    ole_misc::kSetClientSiteFirst;

constexpr std::string_view kQvSmtpProgId = "QVControls1.qvSMTP";

constexpr std::array<RegisteredClass, 1> kRegisteredClasses = {{{
    .name = "qvSMTP",
    .description = {},
    .clsid = kClsidQvSmtp,
    .prog_id = kQvSmtpProgId,
    .default_interface = {"_qvSMTP", kIidQvSmtp},
    .event_interface = {"__qvSMTP", kIidQvSmtpEvents},
    .control = true,
    .misc_status = kQvSmtpMiscStatus,
    .toolbox_bitmap = kToolboxBitmapId,
    .default_icon = 0,
    .designer_class = false,
    .threading = ThreadingModel::kApartment,
}}};

constexpr RegistrationRecord kRegistration = {
    .libid = kLibId,
    .major = kLibraryMajorVersion,
    .minor = kLibraryMinorVersion,
    .lcid = 0,
    .name = kLibraryName,
    .description = kLibraryDescription,
    .help_dir = {},
    .classes = kRegisteredClasses,
};

constexpr std::array<DesignerEntry, 1> kDesigners = {{
    {"qvSMTP", kClsidQvSmtp, &kDesignSettings, &CreateQvSmtp},
}};

constexpr std::array<ExternalComponent, 1> kExternalComponents = {{
    {"MSWINSCK.OCX", "MSWinsockLib.Winsock", MakeGuid("{248DD896-BB45-11CF-9ABC-0080C7E7B78D}"),
     "Winsock1"},
}};

constexpr ProjectDescriptor kProject = {
    .name = kLibraryName,
    .description = kLibraryDescription,
    .help_file = {},
    .lcid = kLibraryLocale,
    .threading = ThreadingModel::kApartment,
    .designers = kDesigners,
    .external_components = kExternalComponents,
    .registration = &kRegistration,
};

std::string Hex(std::uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, static_cast<unsigned>(value));
  return text;
}

void Line(std::string& out, std::string_view label, std::string_view value) {
  char text[64];
  std::snprintf(text, sizeof text, "%-22.*s", static_cast<int>(label.size()), label.data());
  out.append(text).append(value).append("\n");
}

std::string_view ThreadingName(ThreadingModel model) {
  switch (model) {
    case ThreadingModel::kApartment:
      break;
  }
  return "Apartment";
}

}  // namespace

const VersionBlock& LibraryVersion() { return kVersionBlock; }

std::string ToString(const FileVersion& version) {
  return std::to_string(version.major) + "." + std::to_string(version.minor) + "." +
         std::to_string(version.build) + "." + std::to_string(version.revision);
}

std::string VersionListing() {
  const VersionBlock& block = kVersionBlock;
  std::string out;
  Line(out, "FileVersion", ToString(block.file_version));
  Line(out, "ProductVersion", ToString(block.product_version));
  Line(out, "FileFlagsMask", Hex(block.file_flags_mask, 8));
  Line(out, "FileFlags", Hex(block.file_flags, 8));
  Line(out, "FileOS", Hex(block.file_os, 8) + " (32-bit Windows)");
  Line(out, "FileType", Hex(block.file_type, 8) + " (dynamic library)");
  Line(out, "FileSubtype", Hex(block.file_subtype, 8));
  Line(out, "StringFileInfo",
       std::string(block.string_table_key) + " (language " + Hex(block.language, 4) +
           ", code page " + std::to_string(block.code_page) + ")");
  for (const VersionString& entry : block.strings) {
    // Appended piece by piece: g++ 12 at -O3 misreads "literal" + string as
    // an overlapping copy (-Wrestrict).
    std::string key = "  ";
    key += entry.key;
    std::string value = "\"";
    value += entry.value;
    value += '"';
    Line(out, key, value);
  }
  Line(out, "VarFileInfo",
       "Translation " + Hex(block.translation_language, 4) + " " +
           Hex(block.translation_code_page, 4));
  return out;
}

std::array<std::uint8_t, 20> InterfaceIdRecord(const Guid& iid) {
  std::array<std::uint8_t, 20> record{16, 0, 0, 0};
  const auto bytes = ToBytes(iid);
  std::copy(bytes.begin(), bytes.end(), record.begin() + 4);
  return record;
}

std::vector<Resource> LibraryResources() {
  std::vector<Resource> resources;
  const auto iid = InterfaceIdRecord(kIidQvSmtp);
  const auto source_iid = InterfaceIdRecord(kIidQvSmtpEvents);
  resources.push_back({"_IID_QVSMTP", 1, {iid.begin(), iid.end()}});
  resources.push_back({"_SRCIID_QVSMTP", 1, {source_iid.begin(), source_iid.end()}});
  resources.push_back({"BITMAP", kToolboxBitmapId, EncodeDib(ToolboxImage())});
  return resources;
}

const DesignTimeSettings& DesignSettings() { return kDesignSettings; }

std::span<const NamedFlag> MiscStatusFlags() { return kMiscStatusFlags; }

const RegistrationRecord& Registration() { return kRegistration; }

std::string RegistrationListing() {
  const RegistrationRecord& record = kRegistration;
  std::string out;
  Line(out, "type library", ToString(record.libid));
  Line(out, "  version", std::to_string(record.major) + "." + std::to_string(record.minor));
  Line(out, "  locale", std::to_string(record.lcid) + (record.lcid == 0 ? " (neutral)" : ""));
  Line(out, "  name", record.name);
  Line(out, "  description", "\"" + std::string(record.description) + "\"");
  Line(out, "  help directory", record.help_dir.empty() ? "(none)" : record.help_dir);
  Line(out, "classes", std::to_string(record.classes.size()));
  for (const RegisteredClass& entry : record.classes) {
    Line(out, "class",
         std::string(entry.name) + (entry.description.empty()
                                        ? " (no description)"
                                        : " \"" + std::string(entry.description) + "\""));
    Line(out, "  CLSID", ToString(entry.clsid));
    Line(out, "  ProgID", entry.prog_id);
    Line(out, "  default interface",
         std::string(entry.default_interface.name) + " " + ToString(entry.default_interface.iid));
    Line(out, "  event interface",
         std::string(entry.event_interface.name) + " " + ToString(entry.event_interface.iid));
    Line(out, "  kind", entry.control ? "control" : "class");
    std::string flags = Hex(entry.misc_status, 8);
    const char* separator = " = ";
    for (const NamedFlag& flag : kMiscStatusFlags) {
      if (entry.misc_status & flag.value) {
        flags.append(separator).append(flag.name);
        separator = " + ";
      }
    }
    Line(out, "  misc status", flags);
    Line(out, "  toolbox bitmap", std::to_string(entry.toolbox_bitmap));
    Line(out, "  default icon",
         entry.default_icon == 0 ? "(none)" : std::to_string(entry.default_icon));
    Line(out, "  designer class", entry.designer_class ? "yes" : "no");
    Line(out, "  threading model", ThreadingName(entry.threading));
  }
  return out;
}

const ProjectDescriptor& Project() { return kProject; }

}  // namespace qv::component
