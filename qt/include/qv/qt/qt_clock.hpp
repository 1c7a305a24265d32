// The host's clock from Qt: local date and time and the zone's offset as Qt's
// time-zone data gives them (TZ applies).
#pragma once

#include "qv/host/clock.hpp"
#include "qv/qt/export.hpp"

namespace qv::qt {

class QV_QT_EXPORT QtClock final : public Clock {
 public:
  Date Now() override;
  double SecondsSinceMidnight() override;
  int UtcOffsetMinutes(Date local) override;
};

}  // namespace qv::qt
