// Status codes of the component model: 32-bit values, negative on failure. The
// dispatch statuses also travel as the number of an AutomationError.
#pragma once

#include <cstdint>
#include <string>

#include "qv/component/export.hpp"

namespace qv::component {

using HResult = std::int32_t;

constexpr HResult MakeHResult(std::uint32_t bits) { return static_cast<HResult>(bits); }
constexpr bool Succeeded(HResult hr) { return hr >= 0; }
constexpr bool Failed(HResult hr) { return hr < 0; }

namespace hresult {
inline constexpr HResult kOk = 0;
inline constexpr HResult kFalse = 1;
inline constexpr HResult kNotImplemented = MakeHResult(0x80004001);
inline constexpr HResult kNoInterface = MakeHResult(0x80004002);
inline constexpr HResult kPointer = MakeHResult(0x80004003);
inline constexpr HResult kFail = MakeHResult(0x80004005);
inline constexpr HResult kUnexpected = MakeHResult(0x8000FFFF);
inline constexpr HResult kOutOfMemory = MakeHResult(0x8007000E);
inline constexpr HResult kInvalidArg = MakeHResult(0x80070057);

// Dispatch.
inline constexpr HResult kMemberNotFound = MakeHResult(0x80020003);
inline constexpr HResult kTypeMismatch = MakeHResult(0x80020005);
inline constexpr HResult kUnknownName = MakeHResult(0x80020006);
inline constexpr HResult kOverflow = MakeHResult(0x8002000A);
inline constexpr HResult kBadParamCount = MakeHResult(0x8002000E);

// Class objects and self-registration.
inline constexpr HResult kClassNotAvailable = MakeHResult(0x80040111);
inline constexpr HResult kSelfRegTypeLib = MakeHResult(0x80040200);
inline constexpr HResult kSelfRegClass = MakeHResult(0x80040201);
}  // namespace hresult

// "0x80040111 (class not available)"; unknown codes show the number alone.
QV_COMPONENT_EXPORT std::string DescribeHResult(HResult hr);

}  // namespace qv::component
