// The stored values of the control's properties (all but Enabled, which the
// host keeps). The mail engine reads them and writes status, Busy and
// StatusStr directly; the control's accessors add the checks and notices.
#pragma once

#include "qv/core/date.hpp"
#include "qv/core/types.hpp"
#include "qv/core/variant.hpp"

namespace qv::mail {

struct Properties {
  String RemoteHost;
  String MailFrom;
  Variant Body;
  String RemoteHostIP;
  String Subject;
  Date DateHeader;
  String RcptTo;
  Integer status = 0;
  String XMailer;
  String Priority;
  String ContentType;
  Boolean Busy = kFalse;
  String StatusStr;
  Integer BodyEvent = 0;
};

}  // namespace qv::mail
