#include "qv/qt/conversions.hpp"

#include <cmath>
#include <cstdint>

namespace qv::qt {

QDateTime ToQDateTime(Date date) {
  const std::optional<CalendarTime> c = ToCalendar(date);
  if (!c) return {};
  return QDateTime(QDate(c->year, c->month, c->day), QTime(c->hour, c->minute, c->second));
}

std::optional<Date> FromQDateTime(const QDateTime& time) {
  if (!time.isValid()) return std::nullopt;
  const QDateTime local = time.toLocalTime();
  const QDate d = local.date();
  const QTime t = local.time();
  return FromCalendar(d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second());
}

QVariant ToQVariant(const Variant& value) {
  struct Visitor {
    QVariant operator()(std::monostate) const { return {}; }
    QVariant operator()(Variant::NullValue) const { return QVariant::fromValue(nullptr); }
    QVariant operator()(Integer v) const { return QVariant::fromValue<short>(v); }
    QVariant operator()(Long v) const { return QVariant::fromValue<int>(v); }
    QVariant operator()(float v) const { return QVariant::fromValue(v); }
    QVariant operator()(double v) const { return QVariant::fromValue(v); }
    QVariant operator()(Date v) const { return ToQDateTime(v); }
    QVariant operator()(const String& v) const { return ToQString(v); }
    QVariant operator()(Variant::BooleanValue v) const { return v.value != kFalse; }
  };
  return std::visit(Visitor{}, value.storage());
}

Variant FromQVariant(const QVariant& value) {
  if (!value.isValid()) return Variant();
  switch (value.metaType().id()) {
    case QMetaType::Nullptr:
      return Variant::Null();
    case QMetaType::Short:
      return Variant(static_cast<Integer>(value.value<short>()));
    case QMetaType::Int:
      return Variant(static_cast<Long>(value.toInt()));
    case QMetaType::Float:
      return Variant(value.toFloat());
    case QMetaType::Double:
      return Variant(value.toDouble());
    case QMetaType::Bool:
      return Variant(value.toBool());
    case QMetaType::QString:
      return Variant(FromQString(value.toString()));
    case QMetaType::QDateTime:
      if (const auto date = FromQDateTime(value.toDateTime())) return Variant(*date);
      return Variant();
    case QMetaType::UShort:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::ULong:
    case QMetaType::ULongLong: {
      bool ok = false;
      const qlonglong n = value.toLongLong(&ok);
      if (ok && n >= INT32_MIN && n <= INT32_MAX) return Variant(static_cast<Long>(n));
      return Variant(value.toDouble());
    }
    default:
      return Variant(FromQString(value.toString()));
  }
}

}  // namespace qv::qt
