// The property file: exact round trips of every kind, hand-edited and damaged
// files, and saves that fail part way.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "qv/core/text.hpp"
#include "qv/host/property_file.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Same kind and the same bits (NaN matches NaN); Variant's == would miss -0.0
// and refuse NaN.
::testing::AssertionResult SameValue(const Variant& a, const Variant& b) {
  if (a.type() != b.type()) {
    return ::testing::AssertionFailure()
           << "kinds " << static_cast<int>(a.type()) << " and " << static_cast<int>(b.type());
  }
  const auto same_bits = [](double x, double y) {
    return (std::isnan(x) && std::isnan(y)) || std::memcmp(&x, &y, sizeof x) == 0;
  };
  bool same = a == b;
  if (const auto* x = a.get_if<double>()) same = same_bits(*x, *b.get_if<double>());
  if (const auto* x = a.get_if<float>()) same = same_bits(*x, *b.get_if<float>());
  if (const auto* x = a.get_if<Date>()) same = same_bits(x->days, b.get_if<Date>()->days);
  if (same) return ::testing::AssertionSuccess();
  std::ostringstream text;
  text.precision(17);
  if (const auto* x = a.get_if<double>()) text << *x << " vs " << *b.get_if<double>();
  if (const auto* x = a.get_if<float>()) text << *x << " vs " << *b.get_if<float>();
  if (const auto* x = a.get_if<Date>()) text << x->days << " vs " << b.get_if<Date>()->days;
  return ::testing::AssertionFailure() << "values differ " << text.str();
}

class PropertyFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string name = (fs::temp_directory_path() / "qv-propfile-XXXXXX").string();
    ASSERT_NE(::mkdtemp(name.data()), nullptr);
    dir_ = name;
    path_ = dir_ / "props.json";
  }
  void TearDown() override { fs::remove_all(dir_); }

  static void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  static std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::vector<std::string> DirectoryNames() const {
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(dir_)) names.push_back(item.path().filename());
    return names;
  }

  fs::path dir_;
  fs::path path_;
};

// Edge values of every kind.
const Variant kValues[] = {
    Variant(),
    Variant::Null(),
    Variant(Integer{0}),
    Variant(Integer{-32768}),
    Variant(Integer{32767}),
    Variant(Long{-2147483647 - 1}),
    Variant(Long{2147483647}),
    Variant(0.1f),
    Variant(-0.0f),
    Variant(std::numeric_limits<float>::max()),
    Variant(std::numeric_limits<float>::denorm_min()),
    Variant(16777217.0f),
    Variant(static_cast<float>(kNaN)),
    Variant(static_cast<float>(-kInf)),
    Variant(0.1),
    Variant(1.0 / 3.0),
    Variant(-0.0),
    Variant(5.0),
    Variant(std::numeric_limits<double>::max()),
    Variant(std::numeric_limits<double>::denorm_min()),
    Variant(9007199254740993.0),
    Variant(kNaN),
    Variant(kInf),
    Variant(-kInf),
    Variant(Date{0.0}),
    Variant(Date{36959.29517361111}),  // a clock reading, between seconds
    Variant(Date{36959.0 + 1.0 / 3.0}),
    Variant(Date{-1.25}),
    Variant(Date{-0.5}),
    Variant(Date{0.5}),
    Variant(Date{1e10}),  // no calendar date
    Variant(Date{kNaN}),
    Variant(u""),
    Variant(u"plain"),
    Variant(u"quote \" backslash \\ slash / tab \t nul \0 end"),
    Variant(u"control \x01\x1f del \x7f"),
    Variant(u"\u00e9\u4e2d\U0001F600"),
    Variant(u"lone high \xD800 here"),
    Variant(u"lone low \xDC00"),
    Variant(u"ends high \xDBFF"),
    Variant(u"\xDC00\xD800 reversed pair"),
    Variant(u"\xFFFD is a real replacement character"),
    Variant(true),
    Variant(false),
};

TEST_F(PropertyFileTest, EveryKindComesBackExactlyThroughTheDisk) {
  PropertyFile out(path_);
  MemoryPropertyBag& record = out.Record("qvSMTP1");
  for (std::size_t i = 0; i < std::size(kValues); ++i) {
    record.WriteProperty(u"Key" + FromUtf8(std::to_string(i)), kValues[i], Variant(Integer{0}));
  }
  out.Save();

  const PropertyFile in = PropertyFile::Load(path_);
  const MemoryPropertyBag* read = in.Find("qvSMTP1");
  ASSERT_NE(read, nullptr);
  ASSERT_EQ(read->size(), std::size(kValues));
  for (std::size_t i = 0; i < std::size(kValues); ++i) {
    EXPECT_EQ(read->entries()[i].key, u"Key" + FromUtf8(std::to_string(i)));
    EXPECT_TRUE(SameValue(read->entries()[i].value, kValues[i])) << "value " << i;
  }
  // A loaded file saves to the same text.
  EXPECT_EQ(in.ToText(), out.ToText());
}

TEST_F(PropertyFileTest, TheTextIsReadableJsonWithOneEntryALine) {
  PropertyFile file(path_);
  MemoryPropertyBag& record = file.Record("qvSMTP1");
  record.WriteProperty(u"Enabled", Variant(true), Variant(true));
  record.WriteProperty(u"Body", Variant(0.1), Variant(Integer{0}));
  record.WriteProperty(u"DateHeader", Variant(Date{36959.0}), Variant(Integer{0}));
  record.WriteProperty(u"Subject", Variant(u"caf\u00e9"), Variant(u"0"));
  file.Record("qvSMTP2");
  EXPECT_EQ(
      file.ToText(),
      "{\n"
      "  \"format\": \"qvcontrols1-properties\",\n"
      "  \"version\": 1,\n"
      "  \"controls\": {\n"
      "    \"qvSMTP1\": [\n"
      "      {\"key\": \"Enabled\", \"type\": \"Boolean\", \"value\": true},\n"
      "      {\"key\": \"Body\", \"type\": \"Double\", \"value\": 0.1},\n"
      "      {\"key\": \"DateHeader\", \"type\": \"Date\", \"value\": \"2001-03-09 00:00:00\"},\n"
      "      {\"key\": \"Subject\", \"type\": \"String\", \"value\": \"caf\xC3\xA9\"}\n"
      "    ],\n"
      "    \"qvSMTP2\": []\n"
      "  }\n"
      "}\n");
}

TEST_F(PropertyFileTest, KeepsSeveralControlsAndTheirEntriesInOrder) {
  PropertyFile out(path_);
  out.Record("second").WriteProperty(u"Z", Variant(Integer{1}), Variant());
  out.Record("first").WriteProperty(u"B", Variant(Integer{2}), Variant());
  out.Record("first").WriteProperty(u"A", Variant(Integer{3}), Variant());
  out.Record("second").WriteProperty(u"Z", Variant(Integer{4}), Variant());
  out.Save();
  PropertyFile in = PropertyFile::Load(path_);
  EXPECT_EQ(in.Names(), (std::vector<std::string>{"second", "first"}));
  const std::vector<MemoryPropertyBag::Entry> first = {{u"B", Variant(Integer{2})},
                                                       {u"A", Variant(Integer{3})}};
  EXPECT_EQ(in.Find("first")->entries(), first);
  EXPECT_EQ(in.Find("second")->ReadProperty(u"Z", Variant()), Variant(Integer{4}));
  EXPECT_EQ(in.Find("third"), nullptr);
  EXPECT_TRUE(in.Remove("second"));
  EXPECT_EQ(in.Names(), std::vector<std::string>{"first"});
}

TEST_F(PropertyFileTest, RecordsKeepValuesEqualToTheirDefaults) {
  PropertyFile file(path_);
  file.Record("c").WriteProperty(u"RemoteHost", Variant(u"0"), Variant(u"0"));
  ASSERT_NE(file.Find("c")->Find(u"RemoteHost"), nullptr);
}

TEST_F(PropertyFileTest, ReadsAHandWrittenFile) {
  // Byte order mark, free layout, members in any order, Empty with a null value.
  const std::string text =
      "\xEF\xBB\xBF{ \"version\" : 1, \"controls\" : { \"qvSMTP1\" : [\n"
      "  { \"type\": \"Integer\", \"key\": \"Status\", \"value\": -4 },\n"
      "  {\"key\": \"Body\", \"type\": \"Long\", \"value\": 100000},\n"
      "  {\"key\": \"S\", \"type\": \"Single\", \"value\": 1.1},\n"
      "  {\"key\": \"D\", \"type\": \"Double\", \"value\": 7},\n"
      "  {\"key\": \"N\", \"type\": \"Double\", \"value\": \"-Infinity\"},\n"
      "  {\"key\": \"DateHeader\", \"type\": \"Date\", \"value\": \"2001-04-19\"},\n"
      "  {\"key\": \"T\", \"type\": \"Date\", \"value\": \"2001-04-19T12:00:00\"},\n"
      "  {\"key\": \"Subject\", \"type\": \"String\", \"value\": \"\\u00e9\\ud83d\\ude00\"},\n"
      "  {\"key\": \"Busy\", \"type\": \"Boolean\", \"value\": true},\n"
      "  {\"key\": \"E\", \"type\": \"Empty\", \"value\": null},\n"
      "  {\"key\": \"U\", \"type\": \"Null\"}\n"
      "] }, \"format\": \"qvcontrols1-properties\" }";
  WriteText(path_, text);
  PropertyFile file = PropertyFile::Load(path_);
  const MemoryPropertyBag& r = *file.Find("qvSMTP1");
  const std::vector<MemoryPropertyBag::Entry> expected = {
      {u"Status", Variant(Integer{-4})},
      {u"Body", Variant(Long{100000})},
      {u"S", Variant(1.1f)},
      {u"D", Variant(7.0)},
      {u"N", Variant(-kInf)},
      {u"DateHeader", Variant(Date{37000.0})},
      {u"T", Variant(Date{37000.5})},
      {u"Subject", Variant(u"\u00e9\U0001F600")},
      {u"Busy", Variant(true)},
      {u"E", Variant()},
      {u"U", Variant::Null()},
  };
  EXPECT_EQ(r.entries(), expected);
}

TEST_F(PropertyFileTest, AnEditedReadableValueWinsOverItsExactForm) {
  const std::string text =
      "{\"format\": \"qvcontrols1-properties\", \"version\": 1, \"controls\": {\"c\": [\n"
      // Unedited: the exact forms hold.
      "{\"key\": \"A\", \"type\": \"Date\", \"value\": \"2001-03-09 07:05:03\", \"days\": "
      "36959.29517361111},\n"
      "{\"key\": \"B\", \"type\": \"String\", \"value\": \"a\xEF\xBF\xBD\", \"utf16\": [97, "
      "55296]},\n"
      // Edited by hand, exact forms left stale.
      "{\"key\": \"C\", \"type\": \"Date\", \"value\": \"2001-04-19 12:00:00\", \"days\": "
      "36959.29517361111},\n"
      "{\"key\": \"D\", \"type\": \"String\", \"value\": \"edited\", \"utf16\": [97, 55296]},\n"
      // Only the exact form.
      "{\"key\": \"E\", \"type\": \"Date\", \"days\": \"NaN\"}\n"
      "]}}";
  const PropertyFile file = PropertyFile::Parse(text, "edited.json");
  const MemoryPropertyBag& r = *file.Find("c");
  EXPECT_TRUE(SameValue(*r.Find(u"A"), Variant(Date{36959.29517361111})));
  EXPECT_EQ(*r.Find(u"B"), Variant(u"a\xD800"));
  EXPECT_EQ(*r.Find(u"C"), Variant(Date{37000.5}));
  EXPECT_EQ(*r.Find(u"D"), Variant(u"edited"));
  EXPECT_TRUE(SameValue(*r.Find(u"E"), Variant(Date{kNaN})));
}

// --- damaged files --------------------------------------------------------

struct Damage {
  const char* name;
  std::string text;
  std::size_t line;
  std::size_t column;
  const char* problem;  // part of the problem text
};

void PrintTo(const Damage& d, std::ostream* os) { *os << d.name; }

const std::string kHead =
    "{\"format\": \"qvcontrols1-properties\", \"version\": 1, \"controls\": {\"c\": [\n";
const std::string kTail = "\n]}}";

std::string WithEntries(const std::string& entries) { return kHead + entries + kTail; }

// An entry on line 2 whose value is value_json; the failure points at the value.
Damage BadValue(const char* name, const std::string& type, const std::string& value_json,
                const char* problem) {
  const std::string prefix = "{\"key\": \"K\", \"type\": \"" + type + "\", \"value\": ";
  return {name, WithEntries(prefix + value_json + "}"), 2, prefix.size() + 1, problem};
}

const std::string kVersionPrefix = "{\"format\": \"qvcontrols1-properties\", \"version\": ";

const Damage kDamages[] = {
    {"Empty", "", 0, 0, "the file is empty"},
    {"OnlySpaces", " \n\t\n", 0, 0, "the file is empty"},
    {"NotJson", "hello", 1, 1, "not valid JSON"},
    {"Truncated", kHead + "{\"key\": \"K\"", 2, 12, "not valid JSON"},
    {"TrailingComma", WithEntries("{\"key\": \"K\", \"type\": \"Empty\"},"), 3, 1,
     "not valid JSON"},
    {"GarbageAfterDocument", WithEntries("") + "x", 3, 4, "not valid JSON"},
    {"BadUtf8", WithEntries("{\"key\": \"K\", \"type\": \"String\", \"value\": \"a\xFF\"}"), 2, 43,
     "\\xFF"},
    {"LoneSurrogateEscape",
     WithEntries("{\"key\": \"K\", \"type\": \"String\", \"value\": \"\\ud800\"}"), 2, 48,
     "surrogate"},
    {"TopLevelList", "[1]", 1, 1, "not a property file"},
    {"OtherFormat", "{\"format\": \"other\", \"version\": 1, \"controls\": {}}", 1, 12,
     "not a property file"},
    {"NoFormat", "{\"version\": 1, \"controls\": {}}", 1, 1, "not a property file"},
    {"LaterVersion", kVersionPrefix + "2, \"controls\": {}}", 1, kVersionPrefix.size() + 1,
     "unsupported version 2"},
    {"VersionAsText", kVersionPrefix + "\"1\", \"controls\": {}}", 1, kVersionPrefix.size() + 1,
     "\"version\" must be a whole number"},
    {"NoControls", "{\"format\": \"qvcontrols1-properties\", \"version\": 1}", 1, 1,
     "missing member \"controls\""},
    {"UnknownTopMember", kVersionPrefix + "1, \"controls\": {}, \"extra\": 0}", 1,
     kVersionPrefix.size() + 20, "unknown member \"extra\""},
    {"RecordNotAList",
     "{\"format\": \"qvcontrols1-properties\", \"version\": 1, \"controls\": {\"c\": {}}}", 1, 70,
     "must be a list of entries"},
    {"DuplicateControl",
     "{\"format\": \"qvcontrols1-properties\", \"version\": 1, \"controls\": {\"c\": [],\n"
     "\"c\": []}}",
     2, 1, "member \"c\" appears twice"},
    // Three levels are open before line 2; its 30th bracket would be the 33rd.
    {"NestedTooDeeply", WithEntries(std::string(100000, '[')), 2, 30, "nested too deeply"},
    {"EntryNotAnObject", WithEntries("5"), 2, 1, "must be an object"},
    {"EntryWithoutValue", WithEntries("{\"key\": \"Status\", \"type\": \"Integer\"}"), 2, 1,
     "entry \"Status\": the entry has no \"value\""},
    {"EntryWithoutKey", WithEntries("{\"type\": \"Integer\", \"value\": 1}"), 2, 1,
     "missing member \"key\""},
    {"EmptyKey", WithEntries("{\"key\": \"\", \"type\": \"Integer\", \"value\": 1}"), 2, 9,
     "\"key\" is empty"},
    {"UnknownType", WithEntries("{\"key\": \"K\", \"type\": \"Int\", \"value\": 1}"), 2, 22,
     "unknown type \"Int\""},
    {"MisspelledMember", WithEntries("{\"key\": \"K\", \"type\": \"Integer\", \"vaule\": 1}"), 2,
     33, "unknown member \"vaule\""},
    {"DuplicateMember",
     WithEntries("{\"key\": \"K\", \"type\": \"Integer\", \"value\": 1, \"value\": 2}"), 2, 45,
     "member \"value\" appears twice"},
    {"DuplicateKey",
     WithEntries("{\"key\": \"Status\", \"type\": \"Integer\", \"value\": 1},\n"
                 "{\"key\": \"Status\", \"type\": \"Integer\", \"value\": 2}"),
     3, 9, "key \"Status\" appears twice"},
    {"ColumnsCountCharacters",
     WithEntries("{\"key\": \"\xC3\xA9\xC3\xA9\xC3\xA9\", \"type\": \"Bogus\", \"value\": 1}"), 2,
     24, "unknown type \"Bogus\""},
    {"DaysOnAString",
     WithEntries("{\"key\": \"K\", \"type\": \"String\", \"value\": \"x\", \"days\": 1}"), 2, 46,
     "only a Date has \"days\""},
    {"Utf16UnitTooLarge",
     WithEntries("{\"key\": \"K\", \"type\": \"String\", \"value\": \"x\", \"utf16\": [70000]}"), 2,
     56, "a UTF-16 code unit must be a whole number from 0 to 65535"},
    BadValue("IntegerTooLarge", "Integer", "40000", "from -32768 to 32767"),
    BadValue("IntegerWithFraction", "Integer", "1.5", "from -32768 to 32767"),
    BadValue("IntegerAsText", "Integer", "\"5\"", "from -32768 to 32767"),
    BadValue("IntegerHuge", "Integer", "18446744073709551615", "from -32768 to 32767"),
    BadValue("LongTooLarge", "Long", "2147483648", "from -2147483648 to 2147483647"),
    BadValue("SingleTooLarge", "Single", "1e39", "outside the range of a Single"),
    BadValue("SingleAsText", "Single", "\"x\"", "must be a number"),
    BadValue("DoubleAsText", "Double", "\"abc\"", "must be a number"),
    BadValue("DoubleOverflow", "Double", "1e999", "outside the range of a Double"),
    BadValue("DoubleNull", "Double", "null", "must be a number"),
    BadValue("DateImpossible", "Date", "\"2001-02-30 00:00:00\"", "must be a date text"),
    BadValue("DateNoDate", "Date", "\"yesterday\"", "must be a date text"),
    BadValue("DateAsNumber", "Date", "5", "must be a date text"),
    BadValue("StringAsNumber", "String", "5", "must be a text"),
    BadValue("BooleanAsText", "Boolean", "\"true\"", "must be true or false"),
    BadValue("BooleanAsNumber", "Boolean", "1", "must be true or false"),
    BadValue("EmptyWithValue", "Empty", "0", "has no value"),
    BadValue("NullWithValue", "Null", "\"x\"", "has no value"),
};

class DamagedFile : public PropertyFileTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(DamagedFile, FailsNamingTheFileThePlaceAndTheProblem) {
  const Damage& damage = GetParam();
  WriteText(path_, damage.text);
  try {
    PropertyFile::Load(path_);
    FAIL() << "loaded";
  } catch (const PropertyFileError& e) {
    EXPECT_EQ(e.path(), path_);
    EXPECT_EQ(e.line(), damage.line) << e.what();
    EXPECT_EQ(e.column(), damage.column) << e.what();
    EXPECT_NE(e.problem().find(damage.problem), std::string::npos) << e.what();
    const std::string place = damage.line == 0
                                  ? path_.string() + ": "
                                  : path_.string() + ":" + std::to_string(damage.line) + ":" +
                                        std::to_string(damage.column) + ": ";
    EXPECT_EQ(std::string(e.what()), place + e.problem());
  }
  // Loading never writes.
  EXPECT_EQ(ReadText(path_), damage.text);
  EXPECT_THROW(PropertyFile::LoadOrNew(path_), PropertyFileError);
  EXPECT_EQ(ReadText(path_), damage.text);
  EXPECT_EQ(DirectoryNames(), std::vector<std::string>{"props.json"});
}

INSTANTIATE_TEST_SUITE_P(Inputs, DamagedFile, ::testing::ValuesIn(kDamages),
                         [](const ::testing::TestParamInfo<Damage>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(PropertyFileTest, EntryProblemsNameTheControlAndTheKey) {
  WriteText(path_, WithEntries("{\"key\": \"Status\", \"type\": \"Integer\", \"value\": 40000}"));
  try {
    PropertyFile::Load(path_);
    FAIL() << "loaded";
  } catch (const PropertyFileError& e) {
    EXPECT_EQ(e.problem().rfind("control \"c\", entry \"Status\": ", 0), 0u) << e.what();
  }
}

TEST_F(PropertyFileTest, AMissingFileFailsButLoadOrNewStartsEmpty) {
  try {
    PropertyFile::Load(path_);
    FAIL() << "loaded";
  } catch (const PropertyFileError& e) {
    EXPECT_EQ(e.line(), 0u);
    EXPECT_NE(e.problem().find("No such file"), std::string::npos) << e.what();
  }
  const PropertyFile file = PropertyFile::LoadOrNew(path_);
  EXPECT_TRUE(file.Names().empty());
  EXPECT_EQ(file.path(), path_);
  EXPECT_FALSE(fs::exists(path_));
}

TEST_F(PropertyFileTest, ADirectoryIsNotReadable) {
  EXPECT_THROW(PropertyFile::Load(dir_), PropertyFileError);
  EXPECT_THROW(PropertyFile::LoadOrNew(dir_), PropertyFileError);
}

// --- saving ---------------------------------------------------------------

TEST_F(PropertyFileTest, ASaveStoppedAtAnyStepLeavesTheOldFileAndNoTemporaryFile) {
  const std::string old_text = "{\"old\": true}";  // even a foreign file survives
  for (PropertyFile::SaveStep stop :
       {PropertyFile::SaveStep::kTempCreated, PropertyFile::SaveStep::kTempWritten,
        PropertyFile::SaveStep::kBeforeRename}) {
    SCOPED_TRACE(static_cast<int>(stop));
    WriteText(path_, old_text);
    PropertyFile file(path_);
    file.Record("c").WriteProperty(u"Subject", Variant(u"new"), Variant(u"0"));
    std::string temp_text;
    file.SetSaveHook([&](PropertyFile::SaveStep step, const fs::path& temp) {
      EXPECT_EQ(temp.parent_path(), dir_);
      if (step == PropertyFile::SaveStep::kBeforeRename) temp_text = ReadText(temp);
      if (step == stop) throw std::runtime_error("crash");
    });
    EXPECT_THROW(file.Save(), std::runtime_error);
    EXPECT_EQ(ReadText(path_), old_text);
    EXPECT_EQ(DirectoryNames(), std::vector<std::string>{"props.json"});
    if (stop == PropertyFile::SaveStep::kBeforeRename) {
      // Everything was on disk before the rename would have happened.
      EXPECT_EQ(temp_text, file.ToText());
    }
  }
}

TEST_F(PropertyFileTest, ASaveReplacesTheFileAndKeepsItsPermissions) {
  WriteText(path_, "old");
  ASSERT_EQ(::chmod(path_.c_str(), 0640), 0);
  PropertyFile file(path_);
  file.Record("c").WriteProperty(u"Subject", Variant(u"new"), Variant(u"0"));
  file.Save();
  EXPECT_EQ(ReadText(path_), file.ToText());
  EXPECT_EQ(fs::status(path_).permissions() & fs::perms::mask,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(DirectoryNames(), std::vector<std::string>{"props.json"});
}

TEST_F(PropertyFileTest, ASaveThroughASymbolicLinkReplacesItsTarget) {
  const fs::path target = dir_ / "real.json";
  WriteText(target, "old");
  fs::create_symlink("real.json", path_);
  PropertyFile file(path_);
  file.Record("c");
  file.Save();
  EXPECT_TRUE(fs::is_symlink(path_));
  EXPECT_EQ(ReadText(target), file.ToText());
}

TEST_F(PropertyFileTest, ASaveIntoAMissingFolderFailsNamingTheFile) {
  const fs::path path = dir_ / "missing" / "props.json";
  PropertyFile file(path);
  try {
    file.Save();
    FAIL() << "saved";
  } catch (const PropertyFileError& e) {
    EXPECT_EQ(e.path(), path);
    EXPECT_EQ(e.problem().rfind("cannot save", 0), 0u) << e.what();
    EXPECT_NE(e.problem().find("No such file"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

// --- hostile input ----------------------------------------------------------

// What is not a regular file is refused at once, never waited on or read
// without end; a link to a file not made yet is followed like a live one.
TEST_F(PropertyFileTest, HostileFilesAreRefusedAtOnceAndLinksAlwaysFollowed) {
  enum class Op { kLoad, kLoadOrNew, kSave };
  struct Case {
    const char* name;
    std::function<fs::path()> make;  // gives the path to use
    Op op;
    const char* problem;  // part of the expected problem; nullptr: succeeds
  };
  const auto fifo = [this] {
    EXPECT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    return dir_ / "fifo";
  };
  const auto oversized = [this] {
    WriteText(path_, "");
    fs::resize_file(path_, PropertyFile::kMaxFileSize + 1);  // sparse: costs no disk
    return path_;
  };
  const auto link_to = [this](bool target_exists) {
    if (target_exists) WriteText(dir_ / "real.json", "old");
    fs::create_symlink("real.json", path_);
    return path_;
  };
  const Case cases[] = {
      {"FIFO", fifo, Op::kLoad, "cannot read the file: it is a FIFO, not a regular file"},
      {"FIFO, or new", fifo, Op::kLoadOrNew, "it is a FIFO"},
      {"FIFO as the target", fifo, Op::kSave, "cannot save: it is a FIFO"},
      {"device", [] { return fs::path("/dev/zero"); }, Op::kLoad, "it is a character device"},
      {"folder", [this] { return dir_; }, Op::kLoadOrNew, "it is a folder"},
      {"folder as the target", [this] { return dir_; }, Op::kSave, "it is a folder"},
      {"over the limit", oversized, Op::kLoad,
       "it is larger than the limit of 67108864 bytes (64 MiB)"},
      {"live link", [&] { return link_to(true); }, Op::kSave, nullptr},
      {"dangling link", [&] { return link_to(false); }, Op::kSave, nullptr},
      {"dangling link, or new", [&] { return link_to(false); }, Op::kLoadOrNew, nullptr},
  };
  ::alarm(30);  // a blocking open would otherwise hang the suite
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = c.make();
    try {
      PropertyFile file = c.op == Op::kLoad        ? PropertyFile::Load(path)
                          : c.op == Op::kLoadOrNew ? PropertyFile::LoadOrNew(path)
                                                   : PropertyFile(path);
      file.Record("c").Set(u"Subject", Variant(u"new"));
      if (c.op != Op::kLoad) file.Save();
      EXPECT_EQ(c.problem, nullptr) << "no failure";
      EXPECT_TRUE(fs::is_symlink(path));
      EXPECT_EQ(ReadText(dir_ / "real.json"), file.ToText());
    } catch (const PropertyFileError& e) {
      ASSERT_NE(c.problem, nullptr) << e.what();
      EXPECT_NE(e.problem().find(c.problem), std::string::npos) << e.what();
      EXPECT_EQ(e.stage(), c.op == Op::kSave ? PropertyFileError::Stage::kSaving
                                             : PropertyFileError::Stage::kReading);
    }
    for (const auto& item : fs::directory_iterator(dir_)) fs::remove(item.path());
  }
  ::alarm(0);
}

// A signal that would end the program mid-save takes effect after it: the
// new file is in place and no temporary file is left.
TEST_F(PropertyFileTest, ASaveInterruptedBySIGINTOrSIGTERMLeavesNoTemporaryFile) {
  for (int signal : {SIGINT, SIGTERM}) {
    for (PropertyFile::SaveStep at :
         {PropertyFile::SaveStep::kTempCreated, PropertyFile::SaveStep::kTempWritten,
          PropertyFile::SaveStep::kBeforeRename}) {
      SCOPED_TRACE(std::to_string(signal) + " at step " + std::to_string(static_cast<int>(at)));
      WriteText(path_, "old");
      PropertyFile file(path_);
      file.Record("c").Set(u"Subject", Variant(u"new"));
      file.SetSaveHook([signal, at](PropertyFile::SaveStep step, const fs::path&) {
        if (step == at) ::raise(signal);
      });
      EXPECT_EXIT(
          {
            std::signal(signal, SIG_DFL);
            file.Save();
            std::_Exit(0);
          },
          ::testing::KilledBySignal(signal), "");
      EXPECT_EQ(DirectoryNames(), std::vector<std::string>{"props.json"});
      EXPECT_EQ(ReadText(path_), file.ToText());
    }
  }
}

TEST_F(PropertyFileTest, LoadOrNewKeepsTheOtherControlsOfAnExistingFile) {
  PropertyFile first(path_);
  first.Record("a").WriteProperty(u"K", Variant(Integer{1}), Variant());
  first.Save();
  PropertyFile second = PropertyFile::LoadOrNew(path_);
  second.Record("b").WriteProperty(u"K", Variant(Integer{2}), Variant());
  second.Save();
  EXPECT_EQ(PropertyFile::Load(path_).Names(), (std::vector<std::string>{"a", "b"}));
}

}  // namespace
}  // namespace qv
