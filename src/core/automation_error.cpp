#include "qv/core/automation_error.hpp"

#include <cstdint>

namespace qv {
namespace {

// Dispatch statuses arrive as the signed form of their 32-bit pattern.
constexpr Long Status(std::uint32_t pattern) { return static_cast<Long>(pattern); }

}  // namespace

std::string DefaultErrorText(Long number) {
  switch (number) {
    case error_number::kInvalidProcedureCall:
      return "Invalid procedure call or argument";
    case error_number::kOverflow:
      return "Overflow";
    case 7:
      return "Out of memory";
    case error_number::kTypeMismatch:
      return "Type mismatch";
    case error_number::kInvalidUseOfNull:
      return "Invalid use of Null";
    case error_number::kCannotSetAtRunTime:
      return "Property cannot be set while the container runs";
    case error_number::kCannotSetAtDesignTime:
      return "Property cannot be set at design time";
    case Status(0x80020003):
      return "Member not found";
    case Status(0x80020005):
      return "Type mismatch";
    case Status(0x80020006):
      return "Unknown name";
    case Status(0x80020008):
      return "Bad variable type";
    case Status(0x8002000A):
      return "Out of present range";
    case Status(0x8002000E):
      return "Invalid number of parameters";
    case Status(0x80040111):
      return "Class not available";
    case Status(0x80004001):
      return "Not implemented";
    case Status(0x80004005):
      return "Unspecified error";
    case Status(0x8007000E):
      return "Out of memory";
    case Status(0x80070057):
      return "Invalid argument";
    default:
      return "Automation error " + std::to_string(number);
  }
}

}  // namespace qv
