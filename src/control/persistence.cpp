// InitProperties, ReadProperties and WriteProperties: the control's record in
// the host's property store.
#include <array>
#include <string>

#include "control/control_internals.hpp"
#include "qv/core/text.hpp"

namespace qv {
namespace {

constexpr std::u16string_view kDefaultText = u"0";
constexpr std::u16string_view kDefaultXMailer = u"qvSMTP by Quenvix";
constexpr std::u16string_view kDefaultPriority = u"Normal";
constexpr std::u16string_view kDefaultContentType = u"text/plain; charset=US-ASCII";

using mail::Properties;

// How an entry is written and restored.
enum class Kind {
  kEnabled,  // Boolean, kept by the host
  kText,     // String member `text`
  kBody,     // the held Variant, unconverted
  kDate,     // DateHeader
  kInteger,  // Integer member `number`
  kBoolean,  // Boolean member `number`
  kPort,     // Port, a Long
};

struct PersistedProperty {
  std::u16string_view key;
  Kind kind;
  // Passed with every read and every write.
  Variant default_value;
  String Properties::*text = nullptr;
  // Boolean shares Integer's 16-bit form, so Busy is reached through this too.
  Integer Properties::*number = nullptr;
  // Entries added after the original fifteen are written only when they hold
  // something else than their default, so a control that does not use them
  // stores exactly the record it always did.
  bool written_when_set = false;
};

PersistedProperty Text(std::u16string_view key, String Properties::*member,
                       std::u16string_view default_text = kDefaultText) {
  return {key, Kind::kText, Variant(default_text), member, nullptr};
}

PersistedProperty Number(std::u16string_view key, Kind kind, Integer Properties::*member) {
  return {key, kind, Variant(Integer{0}), nullptr, member};
}

PersistedProperty Added(PersistedProperty entry) {
  entry.written_when_set = true;
  return entry;
}

// The record, in the order it is read and written.
const std::array<PersistedProperty, 21>& PersistedProperties() {
  static const std::array<PersistedProperty, 21> table = {
      PersistedProperty{u"Enabled", Kind::kEnabled, Variant(true)},
      Text(u"RemoteHost", &Properties::RemoteHost),
      Text(u"MailFrom", &Properties::MailFrom),
      PersistedProperty{u"Body", Kind::kBody, Variant(Integer{0})},
      Text(u"RemoteHostIP", &Properties::RemoteHostIP),
      Text(u"Subject", &Properties::Subject),
      PersistedProperty{u"DateHeader", Kind::kDate, Variant(Integer{0})},
      Text(u"RcptTo", &Properties::RcptTo),
      Number(u"Status", Kind::kInteger, &Properties::status),
      Number(u"Busy", Kind::kBoolean, &Properties::Busy),
      Text(u"XMailer", &Properties::XMailer, kDefaultXMailer),
      Text(u"Priority", &Properties::Priority, kDefaultPriority),
      Text(u"ContentType", &Properties::ContentType, kDefaultContentType),
      Text(u"StatusStr", &Properties::StatusStr, u""),
      Number(u"BodyEvent", Kind::kInteger, &Properties::BodyEvent),
      Added(Number(u"Protocol", Kind::kInteger, &Properties::Protocol)),
      Added(PersistedProperty{u"Port", Kind::kPort, Variant(Long{0})}),
      Added(Text(u"CaFile", &Properties::CaFile, u"")),
      // The password and the token are never stored.
      Added(Text(u"UserName", &Properties::UserName, u"")),
      Added(Text(u"AuthMechanism", &Properties::AuthMechanism, u"")),
      Added({u"AuthInTheClear", Kind::kBoolean, Variant(false), nullptr,
             &Properties::AuthInTheClear}),
  };
  return table;
}

Variant SavedValue(const PersistedProperty& entry, const Properties& properties,
                   ComponentHost& host) {
  switch (entry.kind) {
    case Kind::kEnabled:
      return Variant::FromBoolean(host.Enabled());
    case Kind::kText:
      return Variant(properties.*entry.text);
    case Kind::kBody:
      return properties.Body.Get();
    case Kind::kDate:
      return Variant(properties.DateHeader);
    case Kind::kInteger:
      return Variant(properties.*entry.number);
    case Kind::kBoolean:
      return Variant::FromBoolean(properties.*entry.number);
    case Kind::kPort:
      return Variant(properties.Port);
  }
  return Variant();
}

AutomationError InvalidValue() {
  return AutomationError(error_number::kInvalidPropertyValue, "Invalid property value");
}

// Converts first, so that a value that does not convert changes nothing.
void Restore(const PersistedProperty& entry, const Variant& stored, Properties& properties,
             ComponentHost& host) {
  switch (entry.kind) {
    case Kind::kEnabled:
      host.SetEnabled(ToBoolean(stored));
      return;
    case Kind::kText:
      properties.*entry.text = ToText(stored);
      return;
    case Kind::kBody:
      properties.Body = stored;
      return;
    case Kind::kDate:
      // What WriteProperties stored is already a date and is taken as it is:
      // put_DateHeader accepts any date, so whatever it saved reads back. The
      // range of the conversion applies to numbers and texts only.
      if (const Date* date = stored.get_if<Date>()) {
        properties.DateHeader = *date;
      } else {
        properties.DateHeader = ToDate(stored);
      }
      return;
    case Kind::kInteger: {
      const Integer value = ToInteger(stored);
      if (entry.number == &Properties::Protocol &&
          (value < mail::protocol::kHelo || value > mail::protocol::kLast)) {
        throw InvalidValue();
      }
      properties.*entry.number = value;
      return;
    }
    case Kind::kBoolean:
      properties.*entry.number = ToBoolean(stored);
      return;
    case Kind::kPort: {
      const Long port = ToLong(stored);
      if (port < 0 || port > 65535) throw InvalidValue();
      properties.Port = port;
      return;
    }
  }
}

}  // namespace

void qvSMTP::InitProperties() {
  impl_->properties.RemoteHost = kDefaultText;
  impl_->properties.MailFrom = kDefaultText;
  impl_->properties.Body = Variant(Integer{0});
  impl_->properties.RemoteHostIP = kDefaultText;
  impl_->properties.Subject = kDefaultText;
  impl_->properties.DateHeader = clock_.Now();
  impl_->properties.RcptTo = kDefaultText;
  impl_->properties.status = 0;
  impl_->properties.Busy = kFalse;
  timer_.SetEnabled(false);
  impl_->properties.XMailer = kDefaultXMailer;
  impl_->properties.Priority = kDefaultPriority;
  impl_->properties.ContentType = kDefaultContentType;
  impl_->properties.StatusStr.clear();
  impl_->properties.BodyEvent = 0;
  impl_->properties.Protocol = 0;
  impl_->properties.Port = 0;
  impl_->properties.CaFile.clear();
  impl_->properties.UserName.clear();
  impl_->properties.Password.Clear();
  impl_->properties.OAuthToken.Clear();
  impl_->properties.AuthMechanism.clear();
  impl_->properties.AuthInTheClear = kFalse;
}

void qvSMTP::ReadProperties(PropertyBag& bag) {
  for (const PersistedProperty& entry : PersistedProperties()) {
    const Variant stored = bag.ReadProperty(entry.key, entry.default_value);
    try {
      Restore(entry, stored, impl_->properties, host_);
    } catch (const AutomationError& error) {
      // Same number; the text says which entry could not be restored.
      throw AutomationError(
          error.number(), std::string(error.what()) + " (restoring \"" + ToUtf8(entry.key) + "\")");
    }
  }
}

void qvSMTP::WriteProperties(PropertyBag& bag) {
  for (const PersistedProperty& entry : PersistedProperties()) {
    Variant value = SavedValue(entry, impl_->properties, host_);
    if (entry.written_when_set && value == entry.default_value) continue;
    bag.WriteProperty(entry.key, value, entry.default_value);
  }
}

}  // namespace qv
