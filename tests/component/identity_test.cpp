// The library's version block, registration record, project descriptor and
// resources.
#include "qv/component/library_identity.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <map>

#include "qv/component/bitmap.hpp"
#include "qv/component/type_library.hpp"

namespace qv::component {
namespace {

TEST(VersionBlock, FixedPartAndStringTable) {
  const VersionBlock& block = LibraryVersion();
  EXPECT_EQ(ToString(block.file_version), "1.0.0.21");
  EXPECT_EQ(ToString(block.product_version), "1.0.0.21");
  EXPECT_EQ(block.file_flags, 0u);
  EXPECT_EQ(block.file_os, 0x00000004u);
  EXPECT_EQ(block.file_type, 0x00000002u);
  EXPECT_EQ(block.language, 0x0409);
  EXPECT_EQ(block.code_page, 1200);
  // The table's key is language and code page in hex.
  char key[9];
  std::snprintf(key, sizeof key, "%04X%04X", unsigned{block.language}, unsigned{block.code_page});
  EXPECT_EQ(block.string_table_key, key);
  EXPECT_EQ(block.string_table_key, "040904B0");
  EXPECT_EQ(block.translation_language, 0x0409);
  EXPECT_EQ(block.translation_code_page, 0x04B0);

  std::map<std::string_view, std::string_view> strings;
  for (const VersionString& entry : block.strings) {
    EXPECT_TRUE(strings.emplace(entry.key, entry.value).second) << "twice: " << entry.key;
  }
  const std::map<std::string_view, std::string_view> fixed = {
      {"FileDescription", "SMTP Mail ActiveX Control"},
      {"FileVersion", "1.00.0021"},
      {"ProductVersion", "1.00.0021"},
      {"ProductName", "QVControls1"},
      {"InternalName", "qvControls1"},
      {"OriginalFilename", "qvControls1.ocx"},
      {"OLESelfRegister", ""},
  };
  for (const auto& [name, value] : fixed) {
    ASSERT_TRUE(strings.contains(name)) << name;
    EXPECT_EQ(strings.at(name), value) << name;
  }
  EXPECT_EQ(strings.size(), fixed.size() + 2);
  EXPECT_FALSE(strings.at("CompanyName").empty());
  EXPECT_FALSE(strings.at("LegalCopyright").empty());

  const std::string listing = VersionListing();
  for (const char* text : {"1.0.0.21", "\"1.00.0021\"", "040904B0", "code page 1200",
                           "Translation 0x0409 0x04B0", "OLESelfRegister     \"\""}) {
    EXPECT_NE(listing.find(text), std::string::npos) << text;
  }
}

TEST(RegistrationRecord, EveryItem) {
  const RegistrationRecord& record = Registration();
  EXPECT_EQ(record.libid, kLibId);
  EXPECT_EQ(record.major, 4);
  EXPECT_EQ(record.minor, 0);
  EXPECT_EQ(record.lcid, 0u);
  EXPECT_EQ(record.name, "QVControls1");
  EXPECT_EQ(record.description, "QVControlGroup1");
  EXPECT_TRUE(record.help_dir.empty());
  ASSERT_EQ(record.classes.size(), 1u);
  const RegisteredClass& entry = record.classes[0];
  EXPECT_EQ(entry.name, "qvSMTP");
  EXPECT_TRUE(entry.description.empty());
  EXPECT_EQ(ToString(entry.clsid), "{2D489641-BC81-11D2-B1A5-00A02454227A}");
  EXPECT_EQ(entry.prog_id, "QVControls1.qvSMTP");
  EXPECT_EQ(entry.default_interface.name, "_qvSMTP");
  EXPECT_EQ(entry.default_interface.iid, kIidQvSmtp);
  EXPECT_EQ(entry.event_interface.name, "__qvSMTP");
  EXPECT_EQ(entry.event_interface.iid, kIidQvSmtpEvents);
  EXPECT_TRUE(entry.control);
  EXPECT_EQ(entry.misc_status, 0x00024591u);
  EXPECT_EQ(entry.toolbox_bitmap, 30000);
  EXPECT_EQ(entry.default_icon, 0);
  EXPECT_FALSE(entry.designer_class);
  EXPECT_EQ(entry.threading, ThreadingModel::kApartment);

  // The seven flags, distinct single bits, adding up to the status.
  const auto flags = MiscStatusFlags();
  ASSERT_EQ(flags.size(), 7u);
  std::uint32_t all = 0;
  for (const NamedFlag& flag : flags) {
    EXPECT_EQ(std::popcount(flag.value), 1) << flag.name;
    EXPECT_EQ(all & flag.value, 0u) << flag.name;
    EXPECT_EQ(flag.name.rfind("OLEMISC_", 0), 0u);
    all |= flag.value;
  }
  EXPECT_EQ(all, entry.misc_status);

  const std::string listing = RegistrationListing();
  EXPECT_NE(listing.find("0x00024591 = OLEMISC_RECOMPOSEONRESIZE + OLEMISC_CANTLINKINSIDE + "
                         "OLEMISC_INSIDEOUT + OLEMISC_ACTIVATEWHENVISIBLE + "
                         "OLEMISC_INVISIBLEATRUNTIME + OLEMISC_NOUIACTIVATE + "
                         "OLEMISC_SETCLIENTSITEFIRST"),
            std::string::npos)
      << listing;
  EXPECT_NE(listing.find("qvSMTP (no description)"), std::string::npos);
  EXPECT_NE(listing.find("0 (neutral)"), std::string::npos);
}

TEST(ProjectDescriptor, HoldsTheLibrarysIdentity) {
  const ProjectDescriptor& project = Project();
  EXPECT_EQ(project.name, "QVControls1");
  EXPECT_EQ(project.description, "QVControlGroup1");
  EXPECT_TRUE(project.help_file.empty());
  EXPECT_EQ(project.lcid, 0x0409u);
  EXPECT_EQ(project.threading, ThreadingModel::kApartment);
  ASSERT_EQ(project.designers.size(), 1u);
  EXPECT_EQ(project.designers[0].name, "qvSMTP");
  EXPECT_EQ(project.designers[0].clsid, kClsidQvSmtp);
  EXPECT_EQ(project.designers[0].settings, &DesignSettings());
  EXPECT_EQ(project.designers[0].create, &CreateQvSmtp);
  ASSERT_EQ(project.external_components.size(), 1u);
  EXPECT_EQ(project.external_components[0].library, "MSWINSCK.OCX");
  EXPECT_EQ(project.external_components[0].class_name, "MSWinsockLib.Winsock");
  EXPECT_EQ(ToString(project.external_components[0].clsid),
            "{248DD896-BB45-11CF-9ABC-0080C7E7B78D}");
  EXPECT_EQ(project.external_components[0].instance, "Winsock1");
  EXPECT_EQ(project.registration, &Registration());
}

TEST(Resources, InterfaceRecordsAndToolboxBitmap) {
  const auto resources = LibraryResources();
  ASSERT_EQ(resources.size(), 3u);
  EXPECT_EQ(resources[0].type, "_IID_QVSMTP");
  EXPECT_EQ(resources[0].id, 1);
  const auto iid = InterfaceIdRecord(kIidQvSmtp);
  EXPECT_EQ(resources[0].data, std::vector<std::uint8_t>(iid.begin(), iid.end()));
  EXPECT_EQ(resources[1].type, "_SRCIID_QVSMTP");
  EXPECT_EQ(resources[1].id, 1);
  const auto source = InterfaceIdRecord(kIidQvSmtpEvents);
  EXPECT_EQ(resources[1].data, std::vector<std::uint8_t>(source.begin(), source.end()));
  EXPECT_EQ(resources[2].type, "BITMAP");
  EXPECT_EQ(resources[2].id, 30000);
  // The resource is the .bmp file without its 14-byte file header.
  const auto file = ToolboxBitmapFile();
  EXPECT_EQ(resources[2].data, std::vector<std::uint8_t>(file.begin() + 14, file.end()));
}

}  // namespace
}  // namespace qv::component
