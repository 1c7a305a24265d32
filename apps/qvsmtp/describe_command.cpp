// qvsmtp describe: the library's published face as text (IDL, members,
// registration record, version block) and its two images as .bmp files.
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "commands.hpp"
#include "exit_codes.hpp"
#include "qv/component/bitmap.hpp"
#include "qv/component/library_identity.hpp"
#include "qv/component/type_library.hpp"

namespace qvsmtp {

namespace {

struct DescribeOptions {
  bool idl = false;
  bool members = false;
  bool registration = false;
  bool version = false;
  std::string toolbox_bitmap;
  std::string picture;
};

void WriteBitmap(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw ExitError(exit_code::kCantCreate, "cannot write " + path);
}

int RunDescribe(const DescribeOptions& o) {
  const bool files = !o.toolbox_bitmap.empty() || !o.picture.empty();
  // Without a choice, every text.
  const bool all = !o.idl && !o.members && !o.registration && !o.version && !files;
  std::vector<std::string> texts;
  if (all || o.idl) texts.push_back(qv::component::IdlText());
  if (all || o.members) texts.push_back(qv::component::MemberListing());
  if (all || o.registration) texts.push_back(qv::component::RegistrationListing());
  if (all || o.version) texts.push_back(qv::component::VersionListing());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i > 0) std::fputs("\n", stdout);
    std::fwrite(texts[i].data(), 1, texts[i].size(), stdout);
  }
  std::fflush(stdout);
  if (!o.toolbox_bitmap.empty()) WriteBitmap(o.toolbox_bitmap, qv::component::ToolboxBitmapFile());
  if (!o.picture.empty()) WriteBitmap(o.picture, qv::component::PictureBitmapFile());
  return 0;
}

}  // namespace

Command AddDescribeCommand(CLI::App& program) {
  auto options = std::make_shared<DescribeOptions>();
  CLI::App* app = program.add_subcommand(
      "describe",
      "Print what the control library publishes about itself, or write its images; without "
      "options, print every text");
  app->add_flag("--idl", options->idl, "The type library as interface-definition text");
  app->add_flag("--members", options->members,
                "The members of _qvSMTP in slot order and the events of __qvSMTP");
  app->add_flag("--registration", options->registration,
                "The registration record that self-registration publishes");
  app->add_flag("--version", options->version, "The library's version block");
  app->add_option("--toolbox-bitmap", options->toolbox_bitmap,
                  "Write the toolbox image (16 x 15, 24 bits) as a .bmp file")
      ->type_name("FILE");
  app->add_option("--picture", options->picture,
                  "Write the design-time picture (24 x 22, 16 colours) as a .bmp file")
      ->type_name("FILE");
  return Command{app, [options] { return RunDescribe(*options); }};
}

}  // namespace qvsmtp
