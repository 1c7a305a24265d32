// Saves a control's properties to a property file and restores them into a
// second control, printing both.
//
//   property_file_example [FILE]          save, restore and print (default
//                                         ./qvsmtp-properties.json)
//   property_file_example --load FILE     restore FILE (edited by hand, say)
//                                         and print
//   --control NAME                        the record to use (default qvSMTP1)
//
// Other controls' records in FILE are kept. A file that cannot be read or
// understood is reported and left as it is.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "qv/component/factory.hpp"
#include "qv/control/qvsmtp.hpp"
#include "qv/core/text.hpp"
#include "qv/host/property_file.hpp"
#include "qv/testing/fake_host.hpp"
#include "qv/testing/fake_socket.hpp"
#include "qv/testing/manual_timer.hpp"

namespace {

// A control with doubles for the socket, timer and host, and the real clock,
// created as the library's class object creates it (Initialize is sent).
struct Control {
  qv::testing::FakeSocket socket;
  qv::testing::ManualTimer timer;
  qv::SystemClock clock;
  qv::testing::FakeHost host;
  std::unique_ptr<qv::component::ControlObject> object =
      qv::component::CreateQvSmtp(socket, timer, clock, host);
  qv::qvSMTP& control = object->control();
};

std::string KindName(const qv::Variant& value) {
  static constexpr const char* kNames[] = {"Empty",  "Null", "Integer", "Long",   "Single",
                                           "Double", "Date", "String",  "Boolean"};
  return kNames[value.storage().index()];
}

std::string Describe(const qv::Variant& value) {
  if (value.IsNull() || value.IsEmpty()) return KindName(value);
  if (const auto* date = value.get_if<qv::Date>()) {
    char days[40];
    std::snprintf(days, sizeof days, "%.17g", date->days);
    const std::optional<qv::String> text = qv::FormatDateText(*date);
    return "Date " + (text ? qv::ToUtf8(*text) + " (" + days + ")" : std::string(days));
  }
  const std::string text = qv::ToUtf8(qv::ToText(value));
  return KindName(value) + " " + (value.get_if<qv::String>() ? "\"" + text + "\"" : text);
}

void Print(std::string_view title, qv::qvSMTP& c) {
  const std::pair<const char*, qv::Variant> rows[] = {
      {"Enabled", qv::Variant::FromBoolean(c.get_Enabled())},
      {"RemoteHost", c.get_RemoteHost()},
      {"MailFrom", c.get_MailFrom()},
      {"Body", c.get_Body()},
      {"RemoteHostIP", c.get_RemoteHostIP()},
      {"Subject", c.get_Subject()},
      {"DateHeader", c.get_DateHeader()},
      {"RcptTo", c.get_RcptTo()},
      {"status", c.get_status()},
      {"Busy", qv::Variant::FromBoolean(c.get_Busy())},
      {"XMailer", c.get_XMailer()},
      {"Priority", c.get_Priority()},
      {"ContentType", c.get_ContentType()},
      {"StatusStr", c.get_StatusStr()},
      {"BodyEvent", c.get_BodyEvent()},
  };
  std::cout << title << ":\n";
  for (const auto& [name, value] : rows) {
    std::printf("  %-13s %s\n", name, Describe(value).c_str());
  }
}

int Usage() {
  std::cerr << "usage: property_file_example [--control NAME] [FILE]\n"
               "       property_file_example [--control NAME] --load FILE\n";
  return 2;
}

// Restores the named record of the file into a new control and prints it.
void Restore(const std::filesystem::path& path, const std::string& name) {
  qv::PropertyFile file = qv::PropertyFile::Load(path);
  qv::MemoryPropertyBag* record = file.Find(name);
  if (record == nullptr) throw qv::PropertyFileError(path, "no control named \"" + name + "\"");
  Control restored;
  try {
    restored.control.ReadProperties(*record);
  } catch (const qv::AutomationError& error) {
    throw qv::PropertyFileError(path, "control \"" + name + "\": " + error.what() + " (error " +
                                          std::to_string(error.number()) + ")");
  }
  Print(name + " restored from " + path.string(), restored.control);
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path path = "qvsmtp-properties.json";
  std::string name = "qvSMTP1";
  bool load_only = false;
  bool have_path = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--load") {
      load_only = true;
    } else if (arg == "--control" && i + 1 < argc) {
      name = argv[++i];
    } else if (!arg.starts_with("-") && !have_path) {
      path = arg;
      have_path = true;
    } else {
      return Usage();
    }
  }
  if (load_only && !have_path) return Usage();

  try {
    if (!load_only) {
      Control original;
      original.control.InitProperties();
      original.control.put_RemoteHost(u"mail.example.com");
      original.control.put_MailFrom(u"sender@example.com");
      original.control.put_RcptTo(u"one@example.com, two@example.com");
      original.control.put_Subject(u"Caf\u00e9 \U0001F600");
      original.control.put_Body(qv::Variant(qv::Long{100000}));
      original.control.put_Priority(u"Urgent");
      original.control.put_BodyEvent(-1);
      Print(name + " as saved", original.control);

      // Other records in an existing file stay; a damaged file stops here.
      qv::PropertyFile file = qv::PropertyFile::LoadOrNew(path);
      original.control.WriteProperties(file.Record(name));
      file.Save();
      std::cout << "saved to " << path.string() << "\n\n";
    }
    Restore(path, name);
  } catch (const qv::PropertyFileError& error) {
    std::cerr << "error: " << error.what() << "\n";
    return 1;
  } catch (const qv::AutomationError& error) {
    std::cerr << "error " << error.number() << ": " << error.what() << "\n";
    return 1;
  }
  return 0;
}
