// The automation value types that properties, arguments and events use.
#pragma once

#include <cstdint>
#include <string>

namespace qv {

// Text that carries its own length; lengths and positions count UTF-16 units.
using String = std::u16string;

// Signed 16-bit integer ("Integer") and signed 32-bit integer ("Long").
using Integer = std::int16_t;
using Long = std::int32_t;

// 16-bit flag: true is -1, false is 0. Anything else is neither, which is why
// callers that must match "exactly true" compare with kTrue.
using Boolean = std::int16_t;
inline constexpr Boolean kTrue = -1;
inline constexpr Boolean kFalse = 0;

constexpr Boolean MakeBoolean(bool value) { return value ? kTrue : kFalse; }

}  // namespace qv
