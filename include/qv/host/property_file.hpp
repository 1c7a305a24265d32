// A property file: the records of one or more controls, by name, in a UTF-8
// JSON document that keeps the kind of every value and the order of entries.
//
//   {
//     "format": "qvcontrols1-properties",
//     "version": 1,
//     "controls": {
//       "qvSMTP1": [
//         {"key": "Enabled", "type": "Boolean", "value": true},
//         {"key": "Body", "type": "Integer", "value": 0},
//         {"key": "DateHeader", "type": "Date", "value": "2001-03-09 07:05:03",
//          "days": 36959.29517361111},
//         ...
//       ]
//     }
//   }
//
// Types: "Empty" and "Null" (no value), "Integer", "Long", "Single", "Double"
// (numbers; "NaN", "Infinity" and "-Infinity" as text), "Date", "String",
// "Boolean". Some values carry an exact form beside the readable one: a Date
// its "days", a String holding a lone surrogate its UTF-16 units as "utf16".
// The exact form is used only while the readable value is unchanged, so a
// hand edit of "value" always wins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qv/host/memory_property_bag.hpp"
#include "qv/propertyfile/export.hpp"

namespace qv {

// A property file that cannot be read, understood or saved. what() is
// "FILE:LINE:COLUMN: PROBLEM", or "FILE: PROBLEM" when no place applies.
class QV_PROPERTYFILE_EXPORT PropertyFileError : public std::runtime_error {
 public:
  // Where the failure arose: the file could not be read (missing, not a
  // regular file, larger than the limit, an I/O error), its text is not a
  // valid property file, or it could not be saved.
  enum class Stage { kReading, kParsing, kSaving };

  PropertyFileError(std::filesystem::path path, std::size_t line, std::size_t column,
                    std::string problem, Stage stage = Stage::kParsing);
  PropertyFileError(std::filesystem::path path, std::string problem, Stage stage = Stage::kParsing)
      : PropertyFileError(std::move(path), 0, 0, std::move(problem), stage) {}

  const std::filesystem::path& path() const noexcept { return path_; }
  // 1-based; 0 when the problem has no place in the text. Columns count
  // characters, not bytes.
  std::size_t line() const noexcept { return line_; }
  std::size_t column() const noexcept { return column_; }
  const std::string& problem() const noexcept { return problem_; }
  Stage stage() const noexcept { return stage_; }

 private:
  std::filesystem::path path_;
  std::size_t line_;
  std::size_t column_;
  std::string problem_;
  Stage stage_;
};

class QV_PROPERTYFILE_EXPORT PropertyFile {
 public:
  // The largest file Load reads (64 MiB).
  static constexpr std::uint64_t kMaxFileSize = std::uint64_t{64} << 20;

  // The points of a save at which a test hook runs (see SetSaveHook).
  enum class SaveStep {
    kTempCreated,   // the temporary file exists, still empty
    kTempWritten,   // all text written, not yet flushed to disk
    kBeforeRename,  // flushed; the old file is still in place
  };
  using SaveHook = std::function<void(SaveStep step, const std::filesystem::path& temp)>;

  // An empty file to be saved at path; nothing is read.
  explicit PropertyFile(std::filesystem::path path) : path_(std::move(path)) {}

  // Reads and checks the whole file. Throws PropertyFileError when it is
  // missing, unreadable, not JSON, or not a valid property file; nothing is
  // written in any case. Only a regular file of at most kMaxFileSize bytes is
  // read: a FIFO, device or folder is refused at once, without waiting on it,
  // and a larger file before any of it is read.
  static PropertyFile Load(const std::filesystem::path& path);
  // As Load, but a file that does not exist (or a symbolic link to one that
  // does not exist yet) gives an empty PropertyFile.
  // Every other failure still throws, so a damaged file is never replaced.
  static PropertyFile LoadOrNew(const std::filesystem::path& path);
  // Reads text as the content of the file at path (named in errors).
  static PropertyFile Parse(std::string_view text, std::filesystem::path path);

  const std::filesystem::path& path() const { return path_; }

  // The record of the named control; an empty one is added at the end when
  // there is none. Records keep every value written, defaults included, so the
  // file shows the whole record. The reference stays valid until the next
  // Record or Remove call.
  MemoryPropertyBag& Record(std::string_view name);
  // nullptr when the file holds no record of that name.
  const MemoryPropertyBag* Find(std::string_view name) const;
  MemoryPropertyBag* Find(std::string_view name);
  bool Remove(std::string_view name);
  // Control names in file order.
  std::vector<std::string> Names() const;

  // The JSON text, ending with a newline.
  std::string ToText() const;

  // Writes the text to a temporary file beside the file, flushes it to disk
  // and renames it over the file, so the old content survives any failure.
  // A symbolic link is followed, whether its target exists or not: the target
  // is replaced or created and the link stays. A target that exists but is
  // not a regular file is refused. SIGHUP, SIGINT, SIGQUIT and SIGTERM are
  // held back in the calling thread while the temporary file exists, so an
  // interrupted save leaves no temporary file. Throws PropertyFileError
  // naming the file and the cause.
  void Save() const;

  // Runs hook at each SaveStep of later saves; a hook that throws stops the
  // save there, as a crash or a full disk would (the temporary file is removed
  // and the exception passes on). For tests.
  void SetSaveHook(SaveHook hook) { save_hook_ = std::move(hook); }

 private:
  std::filesystem::path path_;
  std::vector<std::pair<std::string, MemoryPropertyBag>> controls_;
  SaveHook save_hook_;
};

}  // namespace qv
