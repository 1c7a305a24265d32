// InitProperties, ReadProperties and WriteProperties against recording, failing,
// in-memory and file stores.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "qv/control/qvsmtp.hpp"
#include "qv/core/text.hpp"
#include "qv/host/memory_property_bag.hpp"
#include "qv/host/property_file.hpp"
#include "qv/testing/fake_host.hpp"
#include "qv/testing/fake_socket.hpp"
#include "qv/testing/manual_clock.hpp"
#include "qv/testing/manual_timer.hpp"

namespace qv {

static void PrintTo(const Variant& v, std::ostream* os) {
  static constexpr const char* kNames[] = {"Empty",  "Null", "Integer", "Long",   "Single",
                                           "Double", "Date", "String",  "Boolean"};
  *os << kNames[v.storage().index()];
  if (const auto* d = v.get_if<double>()) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.17g", *d);
    *os << ' ' << buffer;
  } else if (const auto* date = v.get_if<Date>()) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.17g", date->days);
    *os << ' ' << buffer;
  } else if (!v.IsNull() && !v.IsEmpty()) {
    *os << " \"" << ToUtf8(ToText(v)) << '"';
  }
}

namespace testing {
namespace {

constexpr std::array<std::u16string_view, 15> kKeys = {
    u"Enabled", u"RemoteHost", u"MailFrom",    u"Body",      u"RemoteHostIP",
    u"Subject", u"DateHeader", u"RcptTo",      u"Status",    u"Busy",
    u"XMailer", u"Priority",   u"ContentType", u"StatusStr", u"BodyEvent"};

constexpr Date kNow{36959.29517361111};  // 9 March 2001 07:05:03
constexpr Date kStoredDate{37000.5};     // 19 April 2001 12:00:00

struct Control {
  FakeSocket socket;
  ManualTimer timer;
  ManualClock clock{kNow};
  FakeHost host;
  qvSMTP control{socket, timer, clock, host};
};

// The fifteen values in key order, as the control reports them.
std::vector<Variant> Snapshot(qvSMTP& c) {
  return {Variant::FromBoolean(c.get_Enabled()),
          Variant(c.get_RemoteHost()),
          Variant(c.get_MailFrom()),
          c.get_Body(),
          Variant(c.get_RemoteHostIP()),
          Variant(c.get_Subject()),
          Variant(c.get_DateHeader()),
          Variant(c.get_RcptTo()),
          Variant(c.get_status()),
          Variant::FromBoolean(c.get_Busy()),
          Variant(c.get_XMailer()),
          Variant(c.get_Priority()),
          Variant(c.get_ContentType()),
          Variant(c.get_StatusStr()),
          Variant(c.get_BodyEvent())};
}

// A record unlike every default, as a store could hold it.
std::vector<Variant> StoredValues(const Variant& body = Variant(u"Hello")) {
  return {Variant(false),
          Variant(u"mail.example.com"),
          Variant(u"from@example.com"),
          body,
          Variant(u"192.0.2.7"),
          Variant(u"Subject \u00e9\U0001F600"),
          Variant(kStoredDate),
          Variant(u"a@example.com, b@example.com"),
          Variant(Integer{-4}),
          Variant(true),
          Variant(u"Other mailer"),
          Variant(u"Urgent"),
          Variant(u"text/html"),
          Variant(u"Last send failed"),
          Variant(Integer{7})};
}

MemoryPropertyBag BagOf(const std::vector<Variant>& values) {
  MemoryPropertyBag bag(MemoryPropertyBag::Defaults::kKeep);
  for (std::size_t i = 0; i < kKeys.size(); ++i) bag.Set(kKeys[i], values[i]);
  return bag;
}

const std::vector<Variant> kDefaultColumn = {Variant(true),
                                             Variant(u"0"),
                                             Variant(u"0"),
                                             Variant(Integer{0}),
                                             Variant(u"0"),
                                             Variant(u"0"),
                                             Variant(Date{0.0}),
                                             Variant(u"0"),
                                             Variant(Integer{0}),
                                             Variant(false),
                                             Variant(u"qvSMTP by Quenvix"),
                                             Variant(u"Normal"),
                                             Variant(u"text/plain; charset=US-ASCII"),
                                             Variant(u""),
                                             Variant(Integer{0})};

// Records every call, answers reads from an inner bag, and fails on the key
// named in fail_key (before touching the inner bag).
class RecordingBag final : public PropertyBag {
 public:
  struct Call {
    String key;
    Variant value;  // written value; Empty for reads
    Variant default_value;
  };
  std::vector<Call> reads;
  std::vector<Call> writes;
  MemoryPropertyBag inner{MemoryPropertyBag::Defaults::kKeep};
  std::optional<String> fail_key;

  Variant ReadProperty(std::u16string_view key, const Variant& default_value) override {
    reads.push_back({String(key), Variant(), default_value});
    if (fail_key == key) throw std::runtime_error("store read failed");
    return inner.ReadProperty(key, default_value);
  }
  void WriteProperty(std::u16string_view key, const Variant& value,
                     const Variant& default_value) override {
    writes.push_back({String(key), value, default_value});
    if (fail_key == key) throw std::runtime_error("store write failed");
    inner.WriteProperty(key, value, default_value);
  }
};

// The defaults passed with every read and write, in key order.
const std::vector<Variant> kPassedDefaults = {Variant(true),
                                              Variant(u"0"),
                                              Variant(u"0"),
                                              Variant(Integer{0}),
                                              Variant(u"0"),
                                              Variant(u"0"),
                                              Variant(Integer{0}),
                                              Variant(u"0"),
                                              Variant(Integer{0}),
                                              Variant(Integer{0}),
                                              Variant(u"qvSMTP by Quenvix"),
                                              Variant(u"Normal"),
                                              Variant(u"text/plain; charset=US-ASCII"),
                                              Variant(u""),
                                              Variant(Integer{0})};

TEST(InitProperties, GivesTheInitialColumnWithTheClockTimeAndStopsTheTimer) {
  Control c;
  c.host.enabled = kFalse;  // not InitProperties' to change
  c.timer.SetEnabled(true);
  c.timer.enabled_history.clear();
  c.clock.Set(Date{kNow.days + 1.5});
  c.control.InitProperties();

  std::vector<Variant> expected = kDefaultColumn;
  expected[0] = Variant(false);
  expected[6] = Variant(Date{kNow.days + 1.5});
  EXPECT_EQ(Snapshot(c.control), expected);
  EXPECT_EQ(c.timer.enabled_history, std::vector<bool>{false});
  EXPECT_TRUE(c.host.changed.empty());
  EXPECT_TRUE(c.socket.calls.empty());
}

// A timer that refuses, to show how far InitProperties got.
class RefusingTimer final : public Timer {
 public:
  void SetEvents(TimerEvents*) override {}
  void SetEnabled(bool) override { throw AutomationError(5, "timer refused"); }
  bool Enabled() override { return false; }
  void SetInterval(Long) override {}
  Long Interval() override { return kMailTimerInterval; }
};

TEST(InitProperties, AFailingTimerLeavesTheLaterInitialValuesUnset) {
  FakeSocket socket;
  RefusingTimer timer;
  ManualClock clock{kNow};
  FakeHost host;
  qvSMTP control{socket, timer, clock, host};
  EXPECT_THROW(control.InitProperties(), AutomationError);
  // Steps before the timer are done, the header texts and BodyEvent after it are not.
  EXPECT_EQ(control.get_RcptTo(), u"0");
  EXPECT_EQ(control.get_DateHeader(), kNow);
  EXPECT_EQ(control.get_XMailer(), u"");
  EXPECT_EQ(control.get_ContentType(), u"");
}

TEST(ReadProperties, AnEmptyStoreGivesTheDefaultColumn) {
  Control c;
  c.control.Initialize();
  c.host.enabled = kFalse;
  MemoryPropertyBag empty;
  c.control.ReadProperties(empty);
  EXPECT_EQ(Snapshot(c.control), kDefaultColumn);
  EXPECT_EQ(c.control.get_Body().type(), VarType::kInteger);
}

// The entries added for ESMTP and TLS, read after the original fifteen and
// written only when they differ from their defaults.
const struct AddedEntry {
  std::u16string_view key;
  Variant default_value;
  Variant set_value;
} kAddedEntries[] = {
    {u"Protocol", Variant(Integer{0}), Variant(Integer{2})},
    {u"Port", Variant(Long{0}), Variant(Long{587})},
    {u"CaFile", Variant(u""), Variant(u"/etc/relay-ca.pem")},
    {u"UserName", Variant(u""), Variant(u"ann")},
    {u"AuthMechanism", Variant(u""), Variant(u"LOGIN")},
    {u"AuthInTheClear", Variant(false), Variant(true)},
};

TEST(ReadProperties, ReadsEveryKeyInOrderWithItsDefault) {
  Control c;
  RecordingBag bag;
  c.control.ReadProperties(bag);
  ASSERT_EQ(bag.reads.size(), kKeys.size() + std::size(kAddedEntries));
  for (std::size_t i = 0; i < kKeys.size(); ++i) {
    EXPECT_EQ(bag.reads[i].key, kKeys[i]);
    EXPECT_EQ(bag.reads[i].default_value, kPassedDefaults[i]) << ToUtf8(kKeys[i]);
  }
  for (std::size_t i = 0; i < std::size(kAddedEntries); ++i) {
    EXPECT_EQ(bag.reads[kKeys.size() + i].key, kAddedEntries[i].key);
    EXPECT_EQ(bag.reads[kKeys.size() + i].default_value, kAddedEntries[i].default_value);
  }
  EXPECT_TRUE(bag.writes.empty());
}

TEST(AddedEntries, WrittenOnlyWhenSetAndReadBackOrRefusedOutOfRange) {
  for (const AddedEntry& entry : kAddedEntries) {
    SCOPED_TRACE(ToUtf8(entry.key));
    Control c;
    c.control.Initialize();
    c.control.InitProperties();
    MemoryPropertyBag set;
    set.Set(entry.key, entry.set_value);
    c.control.ReadProperties(set);
    RecordingBag written;
    c.control.WriteProperties(written);
    // The original record, then this one entry.
    ASSERT_EQ(written.writes.size(), kKeys.size() + 1);
    EXPECT_EQ(written.writes.back().key, entry.key);
    EXPECT_EQ(written.writes.back().value, entry.set_value);
    EXPECT_EQ(written.writes.back().default_value, entry.default_value);
  }
  // The secrets are never written, whatever they hold.
  Control secret;
  secret.control.put_Password(u"s3cret");
  secret.control.put_OAuthToken(u"t0ken");
  RecordingBag written;
  secret.control.WriteProperties(written);
  for (const auto& write : written.writes) {
    EXPECT_NE(write.key, u"Password");
    EXPECT_NE(write.key, u"OAuthToken");
  }
  const struct {
    std::u16string_view key;
    Variant stored;
  } out_of_range[] = {
      {u"Protocol", Variant(Integer{4})},
      {u"Protocol", Variant(Integer{-1})},
      {u"Port", Variant(Long{65536})},
      {u"Port", Variant(Long{-1})},
  };
  for (const auto& bad : out_of_range) {
    Control c;
    MemoryPropertyBag bag;
    bag.Set(bad.key, bad.stored);
    try {
      c.control.ReadProperties(bag);
      ADD_FAILURE() << ToUtf8(bad.key) << " restored out of range";
    } catch (const AutomationError& error) {
      EXPECT_EQ(error.number(), 380);
      EXPECT_NE(std::string(error.what()).find(ToUtf8(bad.key)), std::string::npos);
    }
  }
}

TEST(ReadProperties, StoresDirectlyWithoutNoticesOrRefusals) {
  Control c;
  c.control.Initialize();
  c.control.InitProperties();
  c.host.user_mode = kTrue;  // the refused properties would throw 393 through their writers
  MemoryPropertyBag bag = BagOf(StoredValues());
  c.clock.Advance(3600);
  c.control.ReadProperties(bag);
  EXPECT_EQ(Snapshot(c.control), StoredValues());
  EXPECT_TRUE(c.host.changed.empty());
  EXPECT_EQ(c.host.enabled, kFalse);
  // The stored date, not the clock's.
  EXPECT_EQ(c.control.get_DateHeader(), kStoredDate);
}

TEST(ReadProperties, AStoredBusyRestoresBusyAndSendThenRefuses) {
  Control c;
  c.control.Initialize();
  MemoryPropertyBag bag;
  bag.Set(u"Busy", Variant(true));
  c.control.ReadProperties(bag);
  EXPECT_EQ(c.control.get_Busy(), kTrue);
  const std::size_t mark = c.socket.Mark();
  EXPECT_EQ(c.control.Send(), 1);
  EXPECT_TRUE(c.socket.CallsSince(mark).empty());
}

TEST(ReadProperties, ConvertsStoredValuesToThePropertyTypes) {
  Control c;
  MemoryPropertyBag bag;
  bag.Set(u"Enabled", Variant(Integer{0}));
  bag.Set(u"RemoteHost", Variant(Integer{25}));
  bag.Set(u"Body", Variant(2.5));
  bag.Set(u"DateHeader", Variant(u"2001-04-19 12:00:00"));
  bag.Set(u"Status", Variant(u"12"));
  bag.Set(u"Busy", Variant(Integer{5}));
  bag.Set(u"XMailer", Variant(true));
  bag.Set(u"BodyEvent", Variant(2.5));  // rounds half to even
  c.control.ReadProperties(bag);
  EXPECT_EQ(c.host.enabled, kFalse);
  EXPECT_EQ(c.control.get_RemoteHost(), u"25");
  EXPECT_EQ(c.control.get_Body(), Variant(2.5));  // unconverted
  EXPECT_EQ(c.control.get_DateHeader(), kStoredDate);
  EXPECT_EQ(c.control.get_status(), 12);
  EXPECT_EQ(c.control.get_Busy(), kTrue);
  EXPECT_EQ(c.control.get_XMailer(), u"True");
  EXPECT_EQ(c.control.get_BodyEvent(), 2);
}

struct BadValueCase {
  const char* name;
  std::u16string_view key;
  Variant stored;
  Long error;
};

class ReadPropertiesBadValue : public ::testing::TestWithParam<BadValueCase> {};

TEST_P(ReadPropertiesBadValue, StopsAtThatEntryKeepingTheLaterValues) {
  const BadValueCase& bad = GetParam();
  Control c;
  c.control.Initialize();
  const std::vector<Variant> before = Snapshot(c.control);
  std::vector<Variant> stored = StoredValues();
  const std::size_t at =
      static_cast<std::size_t>(std::find(kKeys.begin(), kKeys.end(), bad.key) - kKeys.begin());
  stored[at] = bad.stored;
  MemoryPropertyBag bag = BagOf(stored);
  try {
    c.control.ReadProperties(bag);
    FAIL() << "no error";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), bad.error);
    EXPECT_NE(std::string(e.what()).find(ToUtf8(bad.key)), std::string::npos) << e.what();
  }
  const std::vector<Variant> after = Snapshot(c.control);
  for (std::size_t i = 0; i < kKeys.size(); ++i) {
    EXPECT_EQ(after[i], i < at ? stored[i] : before[i]) << ToUtf8(kKeys[i]);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Conversions, ReadPropertiesBadValue,
    ::testing::Values(BadValueCase{"StatusTooLarge", u"Status", Variant(Long{32768}), 6},
                      BadValueCase{"StatusTooSmall", u"Status", Variant(-32768.6), 6},
                      BadValueCase{"StatusNoNumber", u"Status", Variant(u"four"), 13},
                      BadValueCase{"StatusNull", u"Status", Variant::Null(), 94},
                      BadValueCase{"BodyEventTooLarge", u"BodyEvent", Variant(1e6), 6},
                      BadValueCase{"BodyEventNoNumber", u"BodyEvent", Variant(u"x"), 13},
                      BadValueCase{"DateHeaderNoDate", u"DateHeader", Variant(u"tomorrow"), 13},
                      BadValueCase{"DateHeaderImpossible", u"DateHeader",
                                   Variant(u"2001-02-30 00:00:00"), 13},
                      BadValueCase{"DateHeaderOutOfRange", u"DateHeader", Variant(1e7), 6},
                      BadValueCase{"BusyNoBoolean", u"Busy", Variant(u"maybe"), 13},
                      BadValueCase{"EnabledNull", u"Enabled", Variant::Null(), 94},
                      BadValueCase{"SubjectNull", u"Subject", Variant::Null(), 94}),
    [](const ::testing::TestParamInfo<BadValueCase>& info) { return info.param.name; });

TEST(ReadProperties, AFailingStoreReadEndsAtThatEntry) {
  for (std::size_t at = 0; at < kKeys.size(); ++at) {
    SCOPED_TRACE(ToUtf8(kKeys[at]));
    Control c;
    c.control.Initialize();
    const std::vector<Variant> before = Snapshot(c.control);
    RecordingBag bag;
    bag.inner = BagOf(StoredValues());
    bag.fail_key = String(kKeys[at]);
    EXPECT_THROW(c.control.ReadProperties(bag), std::runtime_error);
    EXPECT_EQ(bag.reads.size(), at + 1);
    const std::vector<Variant> after = Snapshot(c.control);
    for (std::size_t i = 0; i < kKeys.size(); ++i) {
      EXPECT_EQ(after[i], i < at ? StoredValues()[i] : before[i]) << ToUtf8(kKeys[i]);
    }
  }
}

TEST(WriteProperties, WritesEveryKeyInOrderWithItsKindAndDefault) {
  Control c;
  MemoryPropertyBag source = BagOf(StoredValues(Variant(Long{70000})));
  c.control.ReadProperties(source);
  RecordingBag bag;
  c.control.WriteProperties(bag);
  ASSERT_EQ(bag.writes.size(), kKeys.size());
  const std::vector<Variant> expected = StoredValues(Variant(Long{70000}));
  for (std::size_t i = 0; i < kKeys.size(); ++i) {
    SCOPED_TRACE(ToUtf8(kKeys[i]));
    EXPECT_EQ(bag.writes[i].key, kKeys[i]);
    EXPECT_EQ(bag.writes[i].value, expected[i]);
    EXPECT_EQ(bag.writes[i].default_value, kPassedDefaults[i]);
  }
  EXPECT_TRUE(bag.reads.empty());
  EXPECT_TRUE(c.host.changed.empty());
}

TEST(WriteProperties, AFailingStoreWriteEndsAtThatEntry) {
  for (std::size_t at = 0; at < kKeys.size(); ++at) {
    SCOPED_TRACE(ToUtf8(kKeys[at]));
    Control c;
    c.control.Initialize();
    c.control.InitProperties();
    RecordingBag bag;
    bag.fail_key = String(kKeys[at]);
    EXPECT_THROW(c.control.WriteProperties(bag), std::runtime_error);
    ASSERT_EQ(bag.writes.size(), at + 1);
    EXPECT_EQ(bag.inner.size(), at);
  }
}

// Every kind a Body can hold, each through every store.
const Variant kBodies[] = {
    Variant(),
    Variant::Null(),
    Variant(Integer{-32768}),
    Variant(Long{2147483647}),
    Variant(0.1f),
    Variant(1.0 / 3.0),
    Variant(Date{-1.25}),
    Variant(u"Line 1\r\nLine 2 \u00e9 \U0001F600 \xD800"),
    Variant(true),
    Variant(false),
};

enum class Store { kMemoryLeavingOutDefaults, kMemoryKeepingDefaults, kFile };

class RoundTrip : public ::testing::TestWithParam<std::tuple<Store, std::size_t>> {
 protected:
  void TearDown() override {
    if (!directory_.empty()) std::filesystem::remove_all(directory_);
  }
  std::filesystem::path File() {
    std::string name = (std::filesystem::temp_directory_path() / "qv-persist-XXXXXX").string();
    directory_ = ::mkdtemp(name.data());
    return directory_ / "props.json";
  }

 private:
  std::filesystem::path directory_;
};

TEST_P(RoundTrip, WritingThenReadingGivesBackAllFifteenValues) {
  const auto [store, body_index] = GetParam();
  const std::vector<Variant> values = StoredValues(kBodies[body_index]);

  Control first;
  first.control.Initialize();
  MemoryPropertyBag source = BagOf(values);
  first.control.ReadProperties(source);
  ASSERT_EQ(Snapshot(first.control), values);

  Control second;
  second.control.Initialize();
  if (store == Store::kFile) {
    const std::filesystem::path path = File();
    PropertyFile out(path);
    first.control.WriteProperties(out.Record("qvSMTP1"));
    out.Save();
    PropertyFile in = PropertyFile::Load(path);
    ASSERT_NE(in.Find("qvSMTP1"), nullptr);
    second.control.ReadProperties(*in.Find("qvSMTP1"));
  } else {
    MemoryPropertyBag bag(store == Store::kMemoryKeepingDefaults
                              ? MemoryPropertyBag::Defaults::kKeep
                              : MemoryPropertyBag::Defaults::kLeaveOut);
    first.control.WriteProperties(bag);
    second.control.ReadProperties(bag);
  }
  EXPECT_EQ(Snapshot(second.control), values);
}

INSTANTIATE_TEST_SUITE_P(AllStoresAndBodies, RoundTrip,
                         ::testing::Combine(::testing::Values(Store::kMemoryLeavingOutDefaults,
                                                              Store::kMemoryKeepingDefaults,
                                                              Store::kFile),
                                            ::testing::Range<std::size_t>(0, std::size(kBodies))));

// A date needs no conversion to be restored as a date, so every value that
// put_DateHeader accepts comes back, bit for bit, from a memory store and
// from a property file's text.
TEST(RoundTrip, EveryDateThatAssignmentAcceptsComesBack) {
  const double kInf = std::numeric_limits<double>::infinity();
  const double days[] = {
      std::numeric_limits<double>::quiet_NaN(), 3e6,          -700000.0,       kInf, -kInf, -0.0,
      std::numeric_limits<double>::max(),       kMaxDateDays, kStoredDate.days};
  for (const double value : days) {
    SCOPED_TRACE(value);
    Control first;
    first.control.Initialize();
    first.control.put_DateHeader(Date{value});
    MemoryPropertyBag bag;
    first.control.WriteProperties(bag);
    PropertyFile file("unused.json");
    first.control.WriteProperties(file.Record("c"));
    PropertyFile read_back = PropertyFile::Parse(file.ToText(), "unused.json");
    for (PropertyBag* store : std::initializer_list<PropertyBag*>{&bag, read_back.Find("c")}) {
      Control second;
      second.control.Initialize();
      second.control.ReadProperties(*store);
      const double restored = second.control.get_DateHeader().days;
      EXPECT_TRUE(std::memcmp(&restored, &value, sizeof value) == 0) << restored;
    }
  }
}

TEST(RoundTrip, TheDefaultColumnSurvivesAStoreThatLeavesOutDefaults) {
  Control first;
  first.control.Initialize();
  MemoryPropertyBag empty;
  first.control.ReadProperties(empty);
  MemoryPropertyBag bag;
  first.control.WriteProperties(bag);
  Control second;
  second.control.Initialize();
  second.control.ReadProperties(bag);
  EXPECT_EQ(Snapshot(second.control), kDefaultColumn);
}

}  // namespace
}  // namespace testing
}  // namespace qv
