// Conversions between the control's automation values and Qt's types.
#pragma once

#include <QDateTime>
#include <QString>
#include <QVariant>

#include "qv/core/date.hpp"
#include "qv/core/types.hpp"
#include "qv/core/variant.hpp"
#include "qv/qt/export.hpp"

namespace qv::qt {

inline QString ToQString(const String& text) { return QString::fromStdU16String(text); }
inline String FromQString(const QString& text) { return text.toStdU16String(); }

// A date as local date and time, to the second. An invalid QDateTime for a
// date outside the calendar range.
QV_QT_EXPORT QDateTime ToQDateTime(Date date);
// Local date and time to the second; nullopt for an invalid or out-of-range
// QDateTime.
QV_QT_EXPORT std::optional<Date> FromQDateTime(const QDateTime& time);

// Each automation kind to its Qt type: Empty to an invalid QVariant, Null to
// a null QVariant of type std::nullptr_t, Integer to short, Long to int,
// Single to float, Double to double, Date to QDateTime, String to QString,
// Boolean to bool.
QV_QT_EXPORT QVariant ToQVariant(const Variant& value);
// The reverse; other Qt types through their text form (QVariant::toString),
// and an invalid QVariant as Empty. Integers that fit 32 bits become Long,
// larger ones Double.
QV_QT_EXPORT Variant FromQVariant(const QVariant& value);

}  // namespace qv::qt
