// The property file loader on arbitrary bytes: it loads or throws
// PropertyFileError, and what it loads saves to text that loads back to the
// same text. A loaded record is then restored into a control, as a host does.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "qv/control/qvsmtp.hpp"
#include "qv/core/automation_error.hpp"
#include "qv/host/property_file.hpp"
#include "qv/testing/fake_host.hpp"
#include "qv/testing/fake_socket.hpp"
#include "qv/testing/manual_clock.hpp"
#include "qv/testing/manual_timer.hpp"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

void RestoreControl(qv::MemoryPropertyBag& record) {
  qv::testing::FakeSocket socket;
  qv::testing::ManualTimer timer;
  qv::testing::ManualClock clock;
  qv::testing::FakeHost host;
  qv::qvSMTP control(socket, timer, clock, host);
  control.Initialize();
  try {
    control.ReadProperties(record);
  } catch (const qv::AutomationError&) {
    return;  // a value of the wrong kind: the host reports it
  }
  // Whatever was restored saves again.
  qv::MemoryPropertyBag saved(qv::MemoryPropertyBag::Defaults::kKeep);
  control.WriteProperties(saved);
  Check(saved.size() == 15);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string saved;
  try {
    qv::PropertyFile file = qv::PropertyFile::Parse(text, "fuzz.json");
    saved = file.ToText();
    for (const std::string& name : file.Names()) {
      qv::MemoryPropertyBag* record = file.Find(name);
      Check(record != nullptr);
      RestoreControl(*record);
    }
  } catch (const qv::PropertyFileError& error) {
    Check(error.path() == "fuzz.json");
    Check(!error.problem().empty());
    return 0;
  }
  // What the loader wrote, it reads back, and writes the same way again.
  try {
    const qv::PropertyFile again = qv::PropertyFile::Parse(saved, "saved.json");
    Check(again.ToText() == saved);
  } catch (const qv::PropertyFileError&) {
    __builtin_trap();
  }
  return 0;
}
