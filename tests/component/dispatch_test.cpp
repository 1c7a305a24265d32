// Dispatch by number and name reaches the control's own operations, with the
// same values, errors and event semantics as direct calls.
#include "qv/component/dispatch.hpp"

#include <gtest/gtest.h>

#include "qv/core/date.hpp"
#include "rig.hpp"

namespace qv::component {
namespace {

using testing::ComponentRig;
using testing::ErrorOf;
using testing::RecordingDispatchSink;

struct PutCase {
  const char16_t* name;
  Variant given;
  Variant read_back;                                            // through dispatch
  std::function<bool(qvSMTP&, qv::testing::FakeHost&)> direct;  // the control's own view
};

TEST(DispatchProperties, WritesReachTheControlAndReadBackConverted) {
  const Date date = *ParseDateText(u"2001-03-09 10:00:00");
  const std::vector<PutCase> cases = {
      {u"Enabled", Variant(false), Variant(false),
       [](qvSMTP&, qv::testing::FakeHost& host) { return host.enabled == kFalse; }},
      {u"enabled", Variant(Integer{1}), Variant(true),
       [](qvSMTP&, qv::testing::FakeHost& host) { return host.enabled == kTrue; }},
      {u"RemoteHost", Variant(u"mx.example.org"), Variant(u"mx.example.org"),
       [](qvSMTP& c, auto&) { return c.get_RemoteHost() == u"mx.example.org"; }},
      {u"RemoteHost", Variant(u""), Variant(u""),
       [](qvSMTP& c, auto&) { return c.get_RemoteHost().empty(); }},
      {u"MailFrom", Variant(Integer{42}), Variant(u"42"),
       [](qvSMTP& c, auto&) { return c.get_MailFrom() == u"42"; }},
      // Body keeps the kind it was given.
      {u"Body", Variant(Integer{5}), Variant(Integer{5}),
       [](qvSMTP& c, auto&) { return c.get_Body() == Variant(Integer{5}); }},
      {u"Body", Variant(2.5), Variant(2.5),
       [](qvSMTP& c, auto&) { return c.get_Body() == Variant(2.5); }},
      {u"Subject", Variant(u"Hello"), Variant(u"Hello"),
       [](qvSMTP& c, auto&) { return c.get_Subject() == u"Hello"; }},
      {u"DateHeader", Variant(u"2001-03-09 10:00:00"), Variant(date),
       [date](qvSMTP& c, auto&) { return c.get_DateHeader() == date; }},
      {u"RcptTo", Variant(u"a@x, b@y"), Variant(u"a@x, b@y"),
       [](qvSMTP& c, auto&) { return c.get_RcptTo() == u"a@x, b@y"; }},
      {u"Priority", Variant(u"Urgent"), Variant(u"Urgent"),
       [](qvSMTP& c, auto&) { return c.get_Priority() == u"Urgent"; }},
      {u"BodyEvent", Variant(u"-3"), Variant(Integer{-3}),
       [](qvSMTP& c, auto&) { return c.get_BodyEvent() == -3; }},
  };
  for (const PutCase& c : cases) {
    SCOPED_TRACE(ToUtf8(c.name));
    ComponentRig rig;
    rig.host.changed.clear();
    rig.Put(c.name, c.given);
    EXPECT_TRUE(c.direct(rig.control, rig.host));
    EXPECT_EQ(rig.Get(c.name), c.read_back);
    // One notice, under the member's own spelling.
    ASSERT_EQ(rig.host.changed.size(), 1u);
    EXPECT_EQ(rig.host.changed[0],
              String(FindMember(c.name)->name.begin(), FindMember(c.name)->name.end()));
  }
}

TEST(DispatchProperties, ReadsShowWhatTheControlHolds) {
  ComponentRig rig;
  rig.control.put_Subject(u"Direct");
  rig.control.put_BodyEvent(7);
  rig.host.enabled = kFalse;
  EXPECT_EQ(rig.Get(u"Subject"), Variant(u"Direct"));
  EXPECT_EQ(rig.Get(u"BodyEvent"), Variant(Integer{7}));
  EXPECT_EQ(rig.Get(u"Enabled"), Variant(false));
  EXPECT_EQ(rig.Get(u"status"), Variant(Integer{0}));
  EXPECT_EQ(rig.Get(u"Busy"), Variant(false));
  EXPECT_EQ(rig.Get(u"RemoteHostIP"), Variant(u"0"));
  EXPECT_EQ(rig.Get(u"XMailer"), Variant(u"qvSMTP by Quenvix"));
  EXPECT_EQ(rig.Get(u"ContentType"), Variant(u"text/plain; charset=US-ASCII"));
  EXPECT_EQ(rig.Get(u"StatusStr"), Variant(u""));
  EXPECT_EQ(rig.Get(u"DateHeader"), Variant(rig.clock.Now()));
}

TEST(DispatchProperties, RefusedWritesKeepTheirNumbers) {
  struct Case {
    const char16_t* name;
    Variant value;
    Long at_run_time;
    Long at_design_time;
  };
  const Case cases[] = {
      {u"RemoteHostIP", Variant(u"1.2.3.4"), 393, 0},
      {u"status", Variant(Integer{3}), 393, 0},
      {u"XMailer", Variant(u"other"), 393, 0},
      {u"ContentType", Variant(u"text/html"), 393, 0},
      {u"Busy", Variant(true), 393, 0},
      {u"StatusStr", Variant(u"x"), 393, 394},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ToUtf8(c.name));
    ComponentRig rig;
    const Variant before = rig.Get(c.name);
    rig.host.user_mode = kTrue;
    EXPECT_EQ(ErrorOf([&] { rig.Put(c.name, c.value); }), c.at_run_time);
    rig.host.user_mode = kFalse;
    EXPECT_EQ(ErrorOf([&] { rig.Put(c.name, c.value); }), c.at_design_time);
    EXPECT_EQ(rig.Get(c.name), before);
    EXPECT_TRUE(rig.host.changed.empty());
  }
}

TEST(DispatchErrors, UnknownIdentifiersFindNoMember) {
  ComponentRig rig;
  for (const Long dispid : {Long{-514}, Long{0}, Long{1}, static_cast<Long>(0x68030019),
                            static_cast<Long>(0x60030019)}) {
    for (const InvokeKind kind :
         {InvokeKind::kPropertyGet, InvokeKind::kPropertyPut, InvokeKind::kMethod}) {
      std::vector<Variant> args;
      if (kind == InvokeKind::kPropertyPut) args.emplace_back(true);
      EXPECT_EQ(ErrorOf([&] { rig.dispatch.Invoke(dispid, kind, args); }), hresult::kMemberNotFound)
          << dispid;
    }
  }
  EXPECT_EQ(hresult::kMemberNotFound, static_cast<Long>(0x80020003));
  // The stock identifier does not reach Enabled.
  EXPECT_EQ(rig.host.enabled, kTrue);
}

TEST(DispatchErrors, WrongKindCountOrArgument) {
  struct Case {
    const char16_t* name;
    InvokeKind kind;
    std::vector<Variant> args;
    Long status;
  };
  const std::vector<Case> cases = {
      {u"Send", InvokeKind::kPropertyPut, {Variant(Integer{1})}, hresult::kMemberNotFound},
      {u"SendData", InvokeKind::kPropertyGet, {}, hresult::kMemberNotFound},
      {u"RemoteHost", InvokeKind::kMethod, {}, hresult::kMemberNotFound},
      {u"Subject", InvokeKind::kPropertyGet, {Variant(u"x")}, hresult::kBadParamCount},
      {u"Subject", InvokeKind::kPropertyPut, {}, hresult::kBadParamCount},
      {u"Subject",
       InvokeKind::kPropertyPut,
       {Variant(u"a"), Variant(u"b")},
       hresult::kBadParamCount},
      {u"Send", InvokeKind::kMethod, {Variant(Integer{1})}, hresult::kBadParamCount},
      {u"SendData", InvokeKind::kMethod, {}, hresult::kBadParamCount},
      {u"BodyEvent", InvokeKind::kPropertyPut, {Variant(u"abc")}, hresult::kTypeMismatch},
      {u"BodyEvent", InvokeKind::kPropertyPut, {Variant(Long{40000})}, hresult::kOverflow},
      {u"BodyEvent", InvokeKind::kPropertyPut, {Variant::Null()}, hresult::kTypeMismatch},
      {u"Enabled", InvokeKind::kPropertyPut, {Variant(u"maybe")}, hresult::kTypeMismatch},
      {u"DateHeader", InvokeKind::kPropertyPut, {Variant(u"not a date")}, hresult::kTypeMismatch},
      {u"DateHeader", InvokeKind::kPropertyPut, {Variant(1e9)}, hresult::kOverflow},
      {u"Subject", InvokeKind::kPropertyPut, {Variant::Null()}, hresult::kTypeMismatch},
      // Conversion comes before the control's own check.
      {u"status", InvokeKind::kPropertyPut, {Variant(u"abc")}, hresult::kTypeMismatch},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ToUtf8(c.name));
    ComponentRig rig;
    const Variant body_event = rig.Get(u"BodyEvent");
    const Variant date = rig.Get(u"DateHeader");
    rig.host.changed.clear();
    std::vector<Variant> args = c.args;
    EXPECT_EQ(ErrorOf([&] { rig.dispatch.Invoke(rig.Id(c.name), c.kind, args); }), c.status);
    // Nothing changed and nothing started.
    EXPECT_TRUE(rig.host.changed.empty());
    EXPECT_EQ(rig.Get(u"BodyEvent"), body_event);
    EXPECT_EQ(rig.Get(u"DateHeader"), date);
    EXPECT_FALSE(rig.timer.Enabled());
  }
}

TEST(DispatchNames, CaseInsensitiveWithParameterNames) {
  ComponentRig rig;
  EXPECT_EQ(rig.dispatch.GetIDOfName(u"SEND"), static_cast<Long>(0x6003002B));
  EXPECT_EQ(rig.dispatch.GetIDOfName(u"senddata"), static_cast<Long>(0x60030018));
  EXPECT_EQ(rig.dispatch.GetIDOfName(u"Status"), static_cast<Long>(0x68030007));
  const String names[] = {u"SendData", u"DATA"};
  EXPECT_EQ(rig.dispatch.GetIDsOfNames(names), (std::vector<Long>{0x60030018, 0}));

  EXPECT_EQ(ErrorOf([&] { rig.dispatch.GetIDOfName(u"Recipients"); }), hresult::kUnknownName);
  const String bad_parameter[] = {u"SendData", u"text"};
  EXPECT_EQ(ErrorOf([&] { rig.dispatch.GetIDsOfNames(bad_parameter); }), hresult::kUnknownName);
  const String property_parameter[] = {u"Subject", u"data"};
  EXPECT_EQ(ErrorOf([&] { rig.dispatch.GetIDsOfNames(property_parameter); }),
            hresult::kUnknownName);
  EXPECT_EQ(ErrorOf([&] { rig.dispatch.GetIDsOfNames({}); }), hresult::kUnknownName);
}

TEST(DispatchMethods, SendAndSendDataReachTheConversation) {
  ComponentRig rig;
  rig.Address();
  EXPECT_EQ(rig.Call(u"Send"), Variant(Integer{0}));
  EXPECT_EQ(rig.Get(u"Busy"), Variant(true));
  EXPECT_EQ(rig.Get(u"status"), Variant(Integer{1}));
  EXPECT_EQ(rig.socket.calls.back(), "Connect mail.example.com 25");

  // A second send is refused with 1 while the first goes on.
  EXPECT_EQ(rig.Call(u"Send"), Variant(Integer{1}));
  EXPECT_EQ(rig.Get(u"Busy"), Variant(true));

  rig.socket.AcceptConnection();
  std::vector<Variant> args = {Variant(u"RSET\r\n")};
  EXPECT_EQ(rig.dispatch.Invoke(0x60030018, InvokeKind::kMethod, args), Variant());
  EXPECT_EQ(rig.socket.writes.back(), u"RSET\r\n");
  EXPECT_EQ(args[0], Variant(u"RSET\r\n"));  // the data is the caller's, unchanged

  std::vector<Variant> number = {Variant(Integer{12})};
  rig.dispatch.Invoke(0x60030018, InvokeKind::kMethod, number);
  EXPECT_EQ(rig.socket.writes.back(), u"12");
}

TEST(DispatchMethods, ControlErrorsPassThroughWithTheirNumbers) {
  ComponentRig rig;
  rig.Address();
  rig.socket.FailConnect(10049, "Address is not available from the local machine");
  EXPECT_EQ(ErrorOf([&] { rig.Call(u"Send"); }), 10049);

  ComponentRig writer;
  writer.socket.AcceptConnection();
  writer.socket.FailWrite(1, 40006);
  EXPECT_EQ(ErrorOf([&] { writer.Call(u"SendData", {Variant(u"x")}); }), 40006);
}

TEST(DispatchEvents, AWholeSendRaisesEventsByIndex) {
  ComponentRig rig;
  RecordingDispatchSink sink;
  rig.object->AdviseDispatch(&sink);
  rig.Address();
  rig.Call(u"Send");
  rig.Serve();

  EXPECT_EQ(rig.Get(u"StatusStr"), Variant(u"Success"));
  const auto debug = sink.ArgumentsOf(3);
  ASSERT_FALSE(debug.empty());
  EXPECT_EQ(debug.front(), Variant(u"Connecting to mail.example.com"));
  for (const Variant& message : debug) EXPECT_EQ(message.type(), VarType::kString);
  EXPECT_EQ(sink.ArgumentsOf(2), (std::vector<Variant>{Variant(Integer{0})}));
  EXPECT_TRUE(sink.ArgumentsOf(1).empty());  // BodyEvent 0: the body came from Body
  EXPECT_NE(rig.Transcript().find("\r\nHello\r\n\r\n.\r\n"), std::string::npos);
  for (const auto& [dispid, argument] : sink.seen) EXPECT_NE(FindEvent(dispid), nullptr);
}

TEST(DispatchEvents, SendBodyArgumentIsTheControlsBodyEvent) {
  ComponentRig rig;
  RecordingDispatchSink sink;
  rig.object->AdviseDispatch(&sink);
  rig.Address();
  rig.Put(u"BodyEvent", Variant(Integer{4}));
  sink.act = [&](Long dispid, Variant& argument) {
    if (dispid != event_id::kSendBody) return;
    // The handler writes the body itself, through dispatch, and sets iTag.
    rig.Call(u"SendData", {Variant(u"From the handler\r\n")});
    argument = Variant(Integer{0});
  };
  rig.Call(u"Send");
  rig.Serve();

  EXPECT_EQ(sink.ArgumentsOf(1), (std::vector<Variant>{Variant(Integer{4})}));
  EXPECT_EQ(rig.Get(u"BodyEvent"), Variant(Integer{0}));
  EXPECT_EQ(rig.control.get_BodyEvent(), 0);
  EXPECT_NE(rig.Transcript().find("\r\nFrom the handler\r\n\r\n.\r\n"), std::string::npos);
  EXPECT_EQ(rig.Get(u"status"), Variant(Integer{0}));
}

TEST(DispatchEvents, SendCompleteArgumentIsStatusAtTheEndOnly) {
  ComponentRig rig;
  RecordingDispatchSink sink;
  rig.object->AdviseDispatch(&sink);
  rig.Address();
  sink.act = [](Long dispid, Variant& argument) {
    if (dispid == event_id::kSendComplete) argument = Variant(Integer{9});
  };
  rig.Call(u"Send");
  // Refused second send: the assignment goes to a temporary.
  EXPECT_EQ(rig.Call(u"Send"), Variant(Integer{1}));
  EXPECT_EQ(sink.ArgumentsOf(2), (std::vector<Variant>{Variant(Integer{1})}));
  EXPECT_EQ(rig.Get(u"status"), Variant(Integer{1}));

  // The server never answers: the connection wait times out with 3, and the
  // handler's assignment lands in status.
  rig.clock.Advance(61);
  rig.timer.Tick();
  EXPECT_EQ(sink.ArgumentsOf(2).back(), Variant(Integer{3}));
  EXPECT_EQ(rig.Get(u"status"), Variant(Integer{9}));
  EXPECT_EQ(rig.Get(u"Busy"), Variant(false));
}

TEST(DispatchEvents, AssignmentsThatDoNotConvertAreNoAssignment) {
  ComponentRig rig;
  RecordingDispatchSink sink;
  rig.object->AdviseDispatch(&sink);
  rig.Address();
  rig.Put(u"BodyEvent", Variant(Integer{2}));
  sink.act = [](Long dispid, Variant& argument) {
    if (dispid == event_id::kSendBody) argument = Variant(u"not a number");
    if (dispid == event_id::kDebugMessage) argument = Variant::Null();
    if (dispid == event_id::kSendComplete) argument = Variant(Long{100000});
  };
  rig.Call(u"Send");
  rig.Serve();
  EXPECT_EQ(rig.Get(u"BodyEvent"), Variant(Integer{2}));
  EXPECT_EQ(rig.Get(u"status"), Variant(Integer{0}));
  EXPECT_EQ(rig.Get(u"StatusStr"), Variant(u"Success"));
}

TEST(DispatchEvents, DetachingStopsDelivery) {
  ComponentRig rig;
  RecordingDispatchSink sink;
  rig.object->AdviseDispatch(&sink);
  rig.object->AdviseDispatch(nullptr);
  rig.Address();
  rig.Call(u"Send");
  EXPECT_TRUE(sink.seen.empty());
}

}  // namespace
}  // namespace qv::component
