// What the library declares about itself: its version block, resources,
// design-time settings, registration record and the project descriptor that
// its entry points hand to the component host.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "qv/component/export.hpp"
#include "qv/component/factory.hpp"
#include "qv/component/guid.hpp"
#include "qv/core/types.hpp"
#include "qv/host/socket.hpp"

namespace qv::component {

// --- Version block -------------------------------------------------------

struct QV_COMPONENT_EXPORT FileVersion {
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  std::uint16_t build = 0;
  std::uint16_t revision = 0;
};

struct QV_COMPONENT_EXPORT VersionString {
  std::string_view key;
  std::string_view value;
};

inline constexpr std::uint32_t kFileOsWindows32 = 0x00000004;
inline constexpr std::uint32_t kFileTypeDll = 0x00000002;

struct QV_COMPONENT_EXPORT VersionBlock {
  FileVersion file_version;
  FileVersion product_version;
  std::uint32_t file_flags_mask = 0;
  std::uint32_t file_flags = 0;
  std::uint32_t file_os = 0;
  std::uint32_t file_type = 0;
  std::uint32_t file_subtype = 0;
  std::uint16_t language = 0;
  std::uint16_t code_page = 0;
  std::string_view string_table_key;  // language and code page in hex
  std::span<const VersionString> strings;
  std::uint16_t translation_language = 0;
  std::uint16_t translation_code_page = 0;
};

QV_COMPONENT_EXPORT const VersionBlock& LibraryVersion();
// "1.0.0.21".
QV_COMPONENT_EXPORT std::string ToString(const FileVersion& version);
// The version block as text, one entry a line.
QV_COMPONENT_EXPORT std::string VersionListing();

// --- Resources -----------------------------------------------------------

struct QV_COMPONENT_EXPORT Resource {
  std::string_view type;
  int id = 0;
  std::vector<std::uint8_t> data;
};

inline constexpr int kToolboxBitmapId = 30000;

// 20 bytes: the length 16 as a little-endian 32-bit number, then the IID as
// it lies in memory.
QV_COMPONENT_EXPORT std::array<std::uint8_t, 20> InterfaceIdRecord(const Guid& iid);

// _IID_QVSMTP 1, _SRCIID_QVSMTP 1 and the toolbox bitmap (BITMAP 30000, as a
// device-independent bitmap without file header).
QV_COMPONENT_EXPORT std::vector<Resource> LibraryResources();

// --- Design-time settings ------------------------------------------------

struct QV_COMPONENT_EXPORT ControlDesign {
  Long width = 0;                // twips
  Long height = 0;               // twips
  std::uint32_t back_color = 0;  // automation colour 0x00BBGGRR
  int picture_width = 0;         // pixels of the design-time picture
  int picture_height = 0;
  int picture_colours = 0;
  // The three settings the designer data carries unnamed.
  Integer appearance = 0;  // 1: three-dimensional
  bool can_get_focus = false;
  bool invisible_at_run_time = false;
};

struct QV_COMPONENT_EXPORT TimerDesign {
  std::string_view name;
  Long interval = 0;  // milliseconds
  bool enabled = false;
};

struct QV_COMPONENT_EXPORT SocketDesign {
  std::string_view name;
  std::string_view class_name;
  Long extent_x = 0;  // 0.01 mm
  Long extent_y = 0;
  Long version = 0;
  // Everything else is stored as zero or no text: no remote host, remote port
  // or local port, the default protocol (TCP). Cleared in this order.
  std::span<const socket_setting::Cleared> cleared;
};

struct QV_COMPONENT_EXPORT DesignTimeSettings {
  ControlDesign control;
  TimerDesign timer;
  SocketDesign socket;
};

QV_COMPONENT_EXPORT const DesignTimeSettings& DesignSettings();

// --- Registration record -------------------------------------------------

enum class ThreadingModel { kApartment };

struct QV_COMPONENT_EXPORT NamedFlag {
  std::string_view name;
  std::uint32_t value = 0;
};

namespace ole_misc {
inline constexpr std::uint32_t kRecomposeOnResize = 0x00000001;
inline constexpr std::uint32_t kCantLinkInside = 0x00000010;
inline constexpr std::uint32_t kInsideOut = 0x00000080;
inline constexpr std::uint32_t kActivateWhenVisible = 0x00000100;
inline constexpr std::uint32_t kInvisibleAtRuntime = 0x00000400;
inline constexpr std::uint32_t kNoUiActivate = 0x00004000;
inline constexpr std::uint32_t kSetClientSiteFirst = 0x00020000;
}  // namespace ole_misc

// The seven flags of the class's miscellaneous status, by name.
QV_COMPONENT_EXPORT std::span<const NamedFlag> MiscStatusFlags();

struct QV_COMPONENT_EXPORT InterfaceRef {
  std::string_view name;
  Guid iid;
};

struct QV_COMPONENT_EXPORT RegisteredClass {
  std::string_view name;
  std::string_view description;  // empty: none
  Guid clsid;
  std::string_view prog_id;
  InterfaceRef default_interface;
  InterfaceRef event_interface;
  bool control = false;
  std::uint32_t misc_status = 0;
  int toolbox_bitmap = 0;  // resource id
  int default_icon = 0;    // 0: none
  bool designer_class = false;
  ThreadingModel threading = ThreadingModel::kApartment;
};

struct QV_COMPONENT_EXPORT RegistrationRecord {
  Guid libid;
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  std::uint32_t lcid = 0;  // locale the type library is registered under
  std::string_view name;
  std::string_view description;
  std::string_view help_dir;  // empty: none
  std::span<const RegisteredClass> classes;
};

QV_COMPONENT_EXPORT const RegistrationRecord& Registration();
// The record as text, one item a line.
QV_COMPONENT_EXPORT std::string RegistrationListing();

// --- Project descriptor --------------------------------------------------

struct QV_COMPONENT_EXPORT DesignerEntry {
  std::string_view name;
  Guid clsid;
  const DesignTimeSettings* settings = nullptr;
  CreateControlFn create = nullptr;
};

struct QV_COMPONENT_EXPORT ExternalComponent {
  std::string_view library;
  std::string_view class_name;
  Guid clsid;
  std::string_view instance;
};

struct QV_COMPONENT_EXPORT ProjectDescriptor {
  std::string_view name;
  std::string_view description;
  std::string_view help_file;  // empty: none
  std::uint32_t lcid = 0;
  ThreadingModel threading = ThreadingModel::kApartment;
  std::span<const DesignerEntry> designers;
  std::span<const ExternalComponent> external_components;
  const RegistrationRecord* registration = nullptr;
};

// The library's one descriptor; its address is what the host services see.
QV_COMPONENT_EXPORT const ProjectDescriptor& Project();

}  // namespace qv::component
