#include "qv/component/hresult.hpp"

#include <cstdio>
#include <string_view>

namespace qv::component {

std::string DescribeHResult(HResult hr) {
  std::string_view meaning;
  switch (hr) {
    case hresult::kOk:
      meaning = "success";
      break;
    case hresult::kFalse:
      meaning = "false";
      break;
    case hresult::kNotImplemented:
      meaning = "not implemented";
      break;
    case hresult::kNoInterface:
      meaning = "no such interface";
      break;
    case hresult::kPointer:
      meaning = "invalid pointer";
      break;
    case hresult::kFail:
      meaning = "failure";
      break;
    case hresult::kUnexpected:
      meaning = "unexpected failure";
      break;
    case hresult::kOutOfMemory:
      meaning = "out of memory";
      break;
    case hresult::kInvalidArg:
      meaning = "invalid argument";
      break;
    case hresult::kMemberNotFound:
      meaning = "member not found";
      break;
    case hresult::kTypeMismatch:
      meaning = "type mismatch";
      break;
    case hresult::kUnknownName:
      meaning = "unknown name";
      break;
    case hresult::kOverflow:
      meaning = "overflow";
      break;
    case hresult::kBadParamCount:
      meaning = "invalid number of parameters";
      break;
    case hresult::kClassNotAvailable:
      meaning = "class not available";
      break;
    case hresult::kSelfRegTypeLib:
      meaning = "type library registration failed";
      break;
    case hresult::kSelfRegClass:
      meaning = "class registration failed";
      break;
    default:
      break;
  }
  char number[16];
  std::snprintf(number, sizeof number, "0x%08X", static_cast<unsigned>(hr));
  std::string text(number);
  if (!meaning.empty()) text.append(" (").append(meaning).append(")");
  return text;
}

}  // namespace qv::component
