#include "qv/host/property_file.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <unordered_set>
#include <utility>

#include "core/utf8_sequence.hpp"
#include "file_io.hpp"
#include "qv/core/text.hpp"

namespace qv {
namespace {

using Json = nlohmann::json;

constexpr std::string_view kFormat = "qvcontrols1-properties";
constexpr std::int64_t kVersion = 1;
constexpr std::size_t kMaxDepth = 32;

std::string Quoted(std::string_view text) { return Json(std::string(text)).dump(); }

// ---------------------------------------------------------------------------
// Reading: a small tree of the document that remembers where each value and
// member name begins, so that every complaint can point into the text.

struct Node;

struct Member {
  std::string name;
  std::size_t name_offset = 0;
  std::unique_ptr<Node> value;
};

struct Node {
  enum class Kind { kNull, kBoolean, kInteger, kFloat, kString, kObject, kArray };
  Kind kind = Kind::kNull;
  std::size_t offset = 0;
  bool boolean = false;
  // kInteger: the value; `huge` when it does not fit (above the int64 range).
  std::int64_t integer = 0;
  bool huge = false;
  // kFloat: the value, and its text as written (for exact Single reading).
  double number = 0.0;
  // kString: the text; kFloat: the number's text.
  std::string text;
  std::vector<Member> members;
  std::vector<Node> items;

  const Member* Find(std::string_view name) const {
    for (const Member& member : members) {
      if (member.name == name) return &member;
    }
    return nullptr;
  }
};

// A character iterator that notes how far the parser has read.
class TrackingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  TrackingIterator(const char* at, const char** furthest) : at_(at), furthest_(furthest) {}
  reference operator*() const { return *at_; }
  TrackingIterator& operator++() {
    ++at_;
    if (at_ > *furthest_) *furthest_ = at_;
    return *this;
  }
  TrackingIterator operator++(int) {
    TrackingIterator before = *this;
    ++*this;
    return before;
  }
  bool operator==(const TrackingIterator& other) const { return at_ == other.at_; }

 private:
  const char* at_;
  const char** furthest_;
};

// Where a failure was found: a byte offset into the text, and what is wrong.
struct Complaint {
  std::size_t offset;
  std::string problem;
};

// Keeps a problem text printable: bytes that are not UTF-8 become \xNN.
std::string Printable(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t length = utf8::CompleteSequenceLength(bytes.data(), bytes.size(), i);
    if (length == 0) {
      const auto byte = static_cast<unsigned char>(bytes[i]);
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
      ++i;
    } else {
      out.append(bytes.substr(i, length));
      i += length;
    }
  }
  return out;
}

class TreeBuilder final : public nlohmann::json_sax<Json> {
 public:
  TreeBuilder(std::string_view text, const char** furthest)
      : text_(text), furthest_(furthest), scanned_(StartOffset(text)) {}

  std::optional<Node> root;
  std::optional<Complaint> complaint;

  bool null() override { return Add(Node{}); }
  bool boolean(bool value) override {
    Node node;
    node.kind = Node::Kind::kBoolean;
    node.boolean = value;
    return Add(std::move(node));
  }
  bool number_integer(number_integer_t value) override {
    Node node;
    node.kind = Node::Kind::kInteger;
    node.integer = value;
    return Add(std::move(node));
  }
  bool number_unsigned(number_unsigned_t value) override {
    Node node;
    node.kind = Node::Kind::kInteger;
    if (value > static_cast<number_unsigned_t>(std::numeric_limits<std::int64_t>::max())) {
      node.huge = true;
    } else {
      node.integer = static_cast<std::int64_t>(value);
    }
    return Add(std::move(node));
  }
  bool number_float(number_float_t value, const string_t& text) override {
    Node node;
    node.kind = Node::Kind::kFloat;
    node.number = value;
    node.text = text;
    return Add(std::move(node));
  }
  bool string(string_t& value) override {
    Node node;
    node.kind = Node::Kind::kString;
    node.text = std::move(value);
    return Add(std::move(node));
  }
  bool binary(binary_t&) override { return false; }  // not produced by text input
  bool start_object(std::size_t) override { return Open(Node::Kind::kObject); }
  bool key(string_t& name) override {
    const std::size_t offset = TokenStart();
    // A set per open object: looking through the members would make a file
    // of many records cost the square of their number.
    if (!open_names_.back().insert(name).second) {
      complaint = Complaint{offset, "member " + Quoted(name) + " appears twice"};
      return false;
    }
    open_.back().members.push_back(Member{std::move(name), offset, nullptr});
    return true;
  }
  bool end_object() override { return Close(); }
  bool start_array(std::size_t) override { return Open(Node::Kind::kArray); }
  bool end_array() override { return Close(); }
  bool parse_error(std::size_t position, const std::string& last_token,
                   const nlohmann::detail::exception& error) override {
    if (error.id == 406) {
      // A number too large for a double: point at the number itself.
      complaint = Complaint{TokenStart(), "the number " + Printable(last_token) +
                                              " is outside the range of a Double"};
      return false;
    }
    // The parser's text is "[json.exception...] parse error at line L, column C:
    // what"; keep only what, the place is reported our way.
    std::string_view what = error.what();
    if (const std::size_t column = what.find("column "); column != std::string_view::npos) {
      if (const std::size_t colon = what.find(": ", column); colon != std::string_view::npos) {
        what.remove_prefix(colon + 2);
      }
    } else if (const std::size_t bracket = what.find("] "); bracket != std::string_view::npos) {
      what.remove_prefix(bracket + 2);
    }
    complaint = Complaint{position > 0 ? position - 1 : 0, "not valid JSON: " + Printable(what)};
    return false;
  }

 private:
  static std::size_t StartOffset(std::string_view text) {
    return text.starts_with("\xEF\xBB\xBF") ? 3 : 0;  // the parser skips a byte order mark
  }

  // Between two parser events there is only white space, ':' and ','; the
  // token that raised this event begins at the first other character.
  std::size_t TokenStart() {
    std::size_t at = scanned_;
    while (at < text_.size() &&
           std::string_view(" \t\r\n:,").find(text_[at]) != std::string_view::npos) {
      ++at;
    }
    scanned_ = static_cast<std::size_t>(*furthest_ - text_.data());
    return at;
  }

  bool Open(Node::Kind kind) {
    Node node;
    node.kind = kind;
    node.offset = TokenStart();
    // A property file nests five deep; far deeper text is damage, and would
    // make the tree costly to take apart.
    if (open_.size() >= kMaxDepth) {
      complaint = Complaint{node.offset, "nested too deeply for a property file"};
      return false;
    }
    open_.push_back(std::move(node));
    open_names_.emplace_back();
    return true;
  }

  bool Add(Node node) {
    node.offset = TokenStart();
    return Place(std::move(node));
  }

  bool Close() {
    scanned_ = static_cast<std::size_t>(*furthest_ - text_.data());
    Node node = std::move(open_.back());
    open_.pop_back();
    open_names_.pop_back();
    return Place(std::move(node));
  }

  bool Place(Node node) {
    if (open_.empty()) {
      root = std::move(node);
    } else if (open_.back().kind == Node::Kind::kObject) {
      open_.back().members.back().value = std::make_unique<Node>(std::move(node));
    } else {
      open_.back().items.push_back(std::move(node));
    }
    return true;
  }

  std::string_view text_;
  const char** furthest_;
  std::size_t scanned_;
  std::vector<Node> open_;
  std::vector<std::unordered_set<std::string>> open_names_;  // member names of each open node
};

// ---------------------------------------------------------------------------
// Checking the tree and turning entries into values.

[[noreturn]] void Complain(std::size_t offset, std::string problem) {
  throw Complaint{offset, std::move(problem)};
}

std::string_view TypeName(VarType type) {
  switch (type) {
    case VarType::kEmpty:
      return "Empty";
    case VarType::kNull:
      return "Null";
    case VarType::kInteger:
      return "Integer";
    case VarType::kLong:
      return "Long";
    case VarType::kSingle:
      return "Single";
    case VarType::kDouble:
      return "Double";
    case VarType::kDate:
      return "Date";
    case VarType::kString:
      return "String";
    case VarType::kBoolean:
      return "Boolean";
  }
  return "";
}

std::optional<VarType> TypeFromName(std::string_view name) {
  for (VarType type :
       {VarType::kEmpty, VarType::kNull, VarType::kInteger, VarType::kLong, VarType::kSingle,
        VarType::kDouble, VarType::kDate, VarType::kString, VarType::kBoolean}) {
    if (TypeName(type) == name) return type;
  }
  return std::nullopt;
}

// A value that JSON numbers cannot hold is written as one of these texts.
std::optional<double> NonFiniteNumber(std::string_view text) {
  if (text == "NaN") return std::numeric_limits<double>::quiet_NaN();
  if (text == "Infinity") return std::numeric_limits<double>::infinity();
  if (text == "-Infinity") return -std::numeric_limits<double>::infinity();
  return std::nullopt;
}

template <typename T>
T WholeNumber(const Node& node, std::string_view what) {
  if (node.kind != Node::Kind::kInteger || node.huge ||
      node.integer < std::numeric_limits<T>::min() ||
      node.integer > std::numeric_limits<T>::max()) {
    Complain(node.offset, std::string(what) + " must be a whole number from " +
                              std::to_string(std::numeric_limits<T>::min()) + " to " +
                              std::to_string(std::numeric_limits<T>::max()));
  }
  return static_cast<T>(node.integer);
}

double DoubleNumber(const Node& node, std::string_view what) {
  if (node.kind == Node::Kind::kString) {
    if (std::optional<double> non_finite = NonFiniteNumber(node.text)) return *non_finite;
  } else if (node.kind == Node::Kind::kInteger && !node.huge) {
    return static_cast<double>(node.integer);
  } else if (node.kind == Node::Kind::kFloat && std::isfinite(node.number)) {
    return node.number;
  } else if (node.kind == Node::Kind::kFloat || node.huge) {
    Complain(node.offset, std::string(what) + " is outside the range of a Double");
  }
  Complain(node.offset,
           std::string(what) + " must be a number, \"NaN\", \"Infinity\" or \"-Infinity\"");
}

float SingleNumber(const Node& node, std::string_view what) {
  const double value = DoubleNumber(node, what);
  if (node.kind != Node::Kind::kFloat) return static_cast<float>(value);
  // Straight from the text: going through double could round twice.
  float single = 0.0f;
  const char* first = node.text.data();
  const char* last = first + node.text.size();
  const bool negative = first != last && *first == '-';
  const auto result = std::from_chars(first + (negative ? 1 : 0), last, single);
  if (result.ec == std::errc() && result.ptr == last) return negative ? -single : single;
  // Too small for a Single is zero (or the nearest denormal), as on reading text.
  if (result.ec == std::errc::result_out_of_range && std::fabs(value) < 1.0) {
    return static_cast<float>(value);
  }
  Complain(node.offset, std::string(what) + " is outside the range of a Single");
}

String Utf16Units(const Node& node) {
  if (node.kind != Node::Kind::kArray) {
    Complain(node.offset, "\"utf16\" must be a list of UTF-16 code units (0 to 65535)");
  }
  String units;
  units.reserve(node.items.size());
  for (const Node& item : node.items) {
    units.push_back(static_cast<char16_t>(WholeNumber<std::uint16_t>(item, "a UTF-16 code unit")));
  }
  return units;
}

// The value of one entry, checked against its type.
Variant EntryValue(const Node& entry, VarType type) {
  const Member* value = entry.Find("value");
  const Member* days = entry.Find("days");
  const Member* utf16 = entry.Find("utf16");
  const std::string type_name(TypeName(type));
  if (days && type != VarType::kDate) Complain(days->name_offset, "only a Date has \"days\"");
  if (utf16 && type != VarType::kString)
    Complain(utf16->name_offset, "only a String has \"utf16\"");

  if (type == VarType::kEmpty || type == VarType::kNull) {
    if (value && value->value->kind != Node::Kind::kNull) {
      Complain(value->value->offset,
               "an " + type_name + " entry has no value (leave out \"value\")");
    }
    return type == VarType::kEmpty ? Variant() : Variant::Null();
  }
  if (!value && !(type == VarType::kDate && days))
    Complain(entry.offset, "the entry has no \"value\"");

  const std::string what =
      "the value of a" + std::string(type == VarType::kInteger ? "n " : " ") + type_name;
  switch (type) {
    case VarType::kInteger:
      return Variant(WholeNumber<Integer>(*value->value, what));
    case VarType::kLong:
      return Variant(WholeNumber<Long>(*value->value, what));
    case VarType::kSingle:
      return Variant(SingleNumber(*value->value, what));
    case VarType::kDouble:
      return Variant(DoubleNumber(*value->value, what));
    case VarType::kBoolean:
      if (value->value->kind != Node::Kind::kBoolean)
        Complain(value->value->offset, what + " must be true or false");
      return Variant(value->value->boolean);
    case VarType::kString: {
      if (value->value->kind != Node::Kind::kString)
        Complain(value->value->offset, what + " must be a text");
      if (utf16) {
        String exact = Utf16Units(*utf16->value);
        if (ToUtf8(exact) == value->value->text) return Variant(std::move(exact));
      }
      return Variant(FromUtf8(value->value->text));
    }
    case VarType::kDate: {
      std::optional<Date> exact;
      if (days) exact = Date{DoubleNumber(*days->value, "\"days\"")};
      if (!value) return Variant(*exact);
      const Node& text = *value->value;
      std::optional<Date> date;
      if (text.kind == Node::Kind::kString) date = ParseDateText(FromUtf8(text.text));
      if (!date) {
        Complain(text.offset, what +
                                  " must be a date text \"YYYY-MM-DD HH:MM:SS\" (or "
                                  "\"YYYY-MM-DD\") from the year 100 to 9999");
      }
      // The exact days hold only while they still read as the text.
      if (exact && FormatDateText(*exact) == FormatDateText(*date)) return Variant(*exact);
      return Variant(*date);
    }
    default:
      break;
  }
  return Variant();
}

const Node& Required(const Node& object, std::string_view name, Node::Kind kind,
                     std::string_view kind_text) {
  const Member* member = object.Find(name);
  if (!member) Complain(object.offset, "missing member " + Quoted(name));
  if (member->value->kind != kind) {
    Complain(member->value->offset, Quoted(name) + " must be " + std::string(kind_text));
  }
  return *member->value;
}

void OnlyMembers(const Node& object, std::initializer_list<std::string_view> names,
                 std::string_view where) {
  for (const Member& member : object.members) {
    if (std::find(names.begin(), names.end(), member.name) == names.end()) {
      Complain(member.name_offset,
               "unknown member " + Quoted(member.name) + " in " + std::string(where));
    }
  }
}

MemoryPropertyBag ReadRecord(const std::string& name, const Node& list) {
  const std::string control = "control " + Quoted(name);
  if (list.kind != Node::Kind::kArray)
    Complain(list.offset, "the record of " + control + " must be a list of entries");
  MemoryPropertyBag record(MemoryPropertyBag::Defaults::kKeep);
  std::vector<std::size_t> key_offsets;
  for (const Node& entry : list.items) {
    if (entry.kind != Node::Kind::kObject) {
      Complain(entry.offset, "an entry of " + control +
                                 " must be an object with \"key\", \"type\" and \"value\"");
    }
    try {
      OnlyMembers(entry, {"key", "type", "value", "days", "utf16"}, "an entry");
      const Node& key = Required(entry, "key", Node::Kind::kString, "a text");
      if (key.text.empty()) Complain(key.offset, "\"key\" is empty");
      const Node& type_name = Required(entry, "type", Node::Kind::kString, "a type name");
      const std::optional<VarType> type = TypeFromName(type_name.text);
      if (!type) {
        Complain(type_name.offset, "unknown type " + Quoted(type_name.text) +
                                       " (one of Empty, Null, Integer, Long, Single, Double, "
                                       "Date, String, Boolean)");
      }
      const String key_text = FromUtf8(key.text);
      if (record.Find(key_text)) {
        Complain(key.offset, "key " + Quoted(key.text) + " appears twice");
      }
      record.Set(key_text, EntryValue(entry, *type));
    } catch (Complaint& complaint) {
      std::string context = control;
      if (const Member* key = entry.Find("key"); key && key->value->kind == Node::Kind::kString) {
        context += ", entry " + Quoted(key->value->text);
      }
      complaint.problem = context + ": " + complaint.problem;
      throw;
    }
  }
  return record;
}

// ---------------------------------------------------------------------------
// Writing.

std::string NumberText(double value) {
  if (std::isnan(value)) return Quoted("NaN");
  if (std::isinf(value)) return Quoted(value < 0 ? "-Infinity" : "Infinity");
  return Json(value).dump();  // shortest text that reads back as the same double
}

std::string SingleText(float value) {
  if (!std::isfinite(value)) return NumberText(value);
  // The shortest text of the float, not of the double it widens to.
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  double shortest = 0.0;
  std::from_chars(buffer, result.ptr, shortest);
  return Json(shortest).dump();
}

std::string EntryText(const String& key, const Variant& value) {
  std::string out =
      "{\"key\": " + Quoted(ToUtf8(key)) + ", \"type\": " + Quoted(TypeName(value.type()));
  const auto member = [&out](std::string_view name, const std::string& text) {
    out += ", ";
    out += Quoted(name);
    out += ": ";
    out += text;
  };
  if (const auto* x = value.get_if<Integer>()) member("value", std::to_string(*x));
  if (const auto* x = value.get_if<Long>()) member("value", std::to_string(*x));
  if (const auto* x = value.get_if<float>()) member("value", SingleText(*x));
  if (const auto* x = value.get_if<double>()) member("value", NumberText(*x));
  if (const auto* x = value.get_if<Variant::BooleanValue>()) {
    member("value", x->value != kFalse ? "true" : "false");
  }
  if (const auto* x = value.get_if<String>()) {
    const std::string text = ToUtf8(*x);
    member("value", Quoted(text));
    // A lone surrogate has no UTF-8 form; the units keep it.
    if (FromUtf8(text) != *x) {
      std::string units = "[";
      for (char16_t unit : *x) {
        if (units.size() > 1) units += ", ";
        units += std::to_string(static_cast<unsigned>(unit));
      }
      member("utf16", units + "]");
    }
  }
  if (const auto* x = value.get_if<Date>()) {
    const std::optional<String> text = FormatDateText(*x);
    if (text) member("value", Quoted(ToUtf8(*text)));
    // Whole seconds read back exactly from the text alone.
    const std::optional<Date> read_back = text ? ParseDateText(*text) : std::nullopt;
    if (!read_back || std::memcmp(&read_back->days, &x->days, sizeof(double)) != 0) {
      member("days", NumberText(x->days));
    }
  }
  return out + "}";
}

}  // namespace

PropertyFileError::PropertyFileError(std::filesystem::path path, std::size_t line,
                                     std::size_t column, std::string problem, Stage stage)
    : std::runtime_error(
          path.string() +
          (line > 0 ? ":" + std::to_string(line) + ":" + std::to_string(column) : std::string()) +
          ": " + problem),
      path_(std::move(path)),
      line_(line),
      column_(column),
      problem_(std::move(problem)),
      stage_(stage) {}

PropertyFile PropertyFile::Parse(std::string_view text, std::filesystem::path path) {
  const auto fail_at = [&](std::size_t offset, const std::string& problem) {
    offset = std::min(offset, text.size());
    const std::string_view before = text.substr(0, offset);
    const std::size_t line_start =
        before.rfind('\n') == std::string_view::npos ? 0 : before.rfind('\n') + 1;
    const std::size_t line =
        1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
    // Columns count characters: every byte but UTF-8 continuation bytes.
    std::size_t column = 1;
    for (std::size_t i = line_start; i < offset; ++i) {
      if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++column;
    }
    throw PropertyFileError(path, line, column, problem);
  };

  if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) {
    throw PropertyFileError(path, "the file is empty; it is not a property file");
  }
  const char* furthest = text.data();
  TreeBuilder builder(text, &furthest);
  Json::sax_parse(TrackingIterator(text.data(), &furthest),
                  TrackingIterator(text.data() + text.size(), &furthest), &builder);
  if (builder.complaint) fail_at(builder.complaint->offset, builder.complaint->problem);
  if (!builder.root) fail_at(text.size(), "not valid JSON");

  PropertyFile file(path);
  try {
    const Node& root = *builder.root;
    if (root.kind != Node::Kind::kObject) {
      Complain(root.offset,
               "not a property file: the document must be an object with \"format\": " +
                   Quoted(kFormat));
    }
    const Member* format = root.Find("format");
    if (!format || format->value->kind != Node::Kind::kString || format->value->text != kFormat) {
      Complain(format ? format->value->offset : root.offset,
               "not a property file: \"format\" must be " + Quoted(kFormat));
    }
    const Node& version = Required(root, "version", Node::Kind::kInteger, "a whole number");
    if (version.huge || version.integer != kVersion) {
      Complain(version.offset,
               "unsupported version " +
                   (version.huge ? std::string("(too large)") : std::to_string(version.integer)) +
                   "; this program reads version " + std::to_string(kVersion));
    }
    OnlyMembers(root, {"format", "version", "controls"}, "the document");
    const Node& controls =
        Required(root, "controls", Node::Kind::kObject, "an object of control records");
    for (const Member& control : controls.members) {
      if (control.name.empty()) Complain(control.name_offset, "a control name is empty");
      file.controls_.emplace_back(control.name, ReadRecord(control.name, *control.value));
    }
  } catch (const Complaint& complaint) {
    fail_at(complaint.offset, complaint.problem);
  }
  return file;
}

namespace {

PropertyFileError Unreadable(const std::filesystem::path& path, const file_io::FileError& e) {
  return PropertyFileError(path, std::string("cannot read the file: ") + e.what(),
                           PropertyFileError::Stage::kReading);
}

}  // namespace

PropertyFile PropertyFile::Load(const std::filesystem::path& path) {
  std::string text;
  try {
    text = file_io::ReadWholeFile(path, PropertyFile::kMaxFileSize);
  } catch (const file_io::FileError& e) {
    throw Unreadable(path, e);
  }
  return Parse(text, path);
}

PropertyFile PropertyFile::LoadOrNew(const std::filesystem::path& path) {
  std::string text;
  try {
    text = file_io::ReadWholeFile(path, PropertyFile::kMaxFileSize);
  } catch (const file_io::FileError& e) {
    // Missing, or a symbolic link to a file not made yet: Save creates it.
    if (e.number() == ENOENT) return PropertyFile(path);
    throw Unreadable(path, e);
  }
  return Parse(text, path);
}

MemoryPropertyBag& PropertyFile::Record(std::string_view name) {
  for (auto& [control, record] : controls_) {
    if (control == name) return record;
  }
  controls_.emplace_back(std::string(name), MemoryPropertyBag(MemoryPropertyBag::Defaults::kKeep));
  return controls_.back().second;
}

const MemoryPropertyBag* PropertyFile::Find(std::string_view name) const {
  for (const auto& [control, record] : controls_) {
    if (control == name) return &record;
  }
  return nullptr;
}

MemoryPropertyBag* PropertyFile::Find(std::string_view name) {
  return const_cast<MemoryPropertyBag*>(std::as_const(*this).Find(name));
}

bool PropertyFile::Remove(std::string_view name) {
  return std::erase_if(controls_, [name](const auto& control) { return control.first == name; }) >
         0;
}

std::vector<std::string> PropertyFile::Names() const {
  std::vector<std::string> names;
  for (const auto& control : controls_) names.push_back(control.first);
  return names;
}

std::string PropertyFile::ToText() const {
  std::string out = "{\n  \"format\": " + Quoted(kFormat) +
                    ",\n  \"version\": " + std::to_string(kVersion) + ",\n  \"controls\": {";
  for (std::size_t c = 0; c < controls_.size(); ++c) {
    const auto& [name, record] = controls_[c];
    out += c == 0 ? "\n" : ",\n";
    out += "    " + Quoted(name) + ": [";
    const auto& entries = record.entries();
    for (std::size_t e = 0; e < entries.size(); ++e) {
      out += e == 0 ? "\n" : ",\n";
      out += "      " + EntryText(entries[e].key, entries[e].value);
    }
    out += entries.empty() ? "]" : "\n    ]";
  }
  out += controls_.empty() ? "}\n}\n" : "\n  }\n}\n";
  return out;
}

static_assert(static_cast<int>(PropertyFile::SaveStep::kTempCreated) ==
                  static_cast<int>(file_io::SaveStep::kTempCreated) &&
              static_cast<int>(PropertyFile::SaveStep::kTempWritten) ==
                  static_cast<int>(file_io::SaveStep::kTempWritten) &&
              static_cast<int>(PropertyFile::SaveStep::kBeforeRename) ==
                  static_cast<int>(file_io::SaveStep::kBeforeRename));

void PropertyFile::Save() const {
  const std::string text = ToText();
  try {
    file_io::SaveAtomically(path_, text, [this](file_io::SaveStep step, const auto& temp) {
      if (save_hook_) save_hook_(static_cast<SaveStep>(step), temp);
    });
  } catch (const file_io::FileError& e) {
    throw PropertyFileError(path_, std::string("cannot save: ") + e.what(),
                            PropertyFileError::Stage::kSaving);
  }
}

}  // namespace qv
