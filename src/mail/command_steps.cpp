// The command steps: each announces itself, writes one command line and hands
// over to the wait for its reply.
#include "mail/message_text.hpp"
#include "mail/recipient_list.hpp"
#include "mail/session.hpp"
#include "qv/core/automation_error.hpp"

namespace qv::mail {

void Session::WriteHelo() {
  const Generation generation = generation_;
  RaiseDebugMessage(u"Sending HELO");
  if (generation_ != generation) return;
  // Read after the handler has run, at the moment of the step.
  const String local_host = ToText(socket_.ReadSetting(socket_setting::kLocalHostName));
  socket_.SendData(u"HELO " + local_host + u"\r\n");
  session_state_ = session_state::kWaitHeloAck;
  MarkStateStart();
}

void Session::WriteMailFrom() {
  String parameters;
  declared_8bitmime_ = false;
  planned_message_id_.clear();
  if (Esmtp() && !WriteMailFromParameters(parameters)) return;
  const Generation generation = generation_;
  RaiseDebugMessage(u"Sending FROM: " + properties_.MailFrom);
  if (generation_ != generation) return;
  String commands = u"MAIL FROM: <" + WithoutControlCharacters(properties_.MailFrom) + u">" +
                    parameters + u"\r\n";
  // RFC 2920: a server that offers PIPELINING takes the envelope and DATA in
  // one write, and its replies come back in order; the waits take them one
  // by one as before. The messages come in the order they always did.
  if (Esmtp() && Offers(u"PIPELINING")) {
    for (String pending = pending_recipients_; !pending.empty();) {
      const String entry = CutNextRecipient(pending);
      RaiseDebugMessage(u"Sending RCPT: " + entry);
      if (generation_ != generation) return;
      commands += u"RCPT TO: <" + EnvelopeAddress(entry) + u">\r\n";
    }
    RaiseDebugMessage(u"Sending DATA");
    if (generation_ != generation) return;
    commands += u"DATA\r\n";
    pipelined_ = true;
  }
  socket_.SendData(commands);
  session_state_ = session_state::kWaitFromAck;
  MarkStateStart();
}

void Session::WriteNextRecipient() {
  if (pending_recipients_.empty()) {
    session_state_ = session_state::kSendDataCommand;
    if (!pipelined_) reply_buffer_.clear();  // else the reply to DATA may be there
    return;
  }
  const String entry = CutNextRecipient(pending_recipients_);
  if (pipelined_) {  // written with MAIL FROM: its reply is next
    session_state_ = session_state::kWaitRcptAck;
    MarkStateStart();
    return;
  }
  const Generation generation = generation_;
  RaiseDebugMessage(u"Sending RCPT: " + entry);
  if (generation_ != generation) return;
  socket_.SendData(u"RCPT TO: <" + EnvelopeAddress(entry) + u">\r\n");
  session_state_ = session_state::kWaitRcptAck;
  MarkStateStart();
}

void Session::WriteDataCommand() {
  if (pipelined_) {
    session_state_ = session_state::kWaitDataAck;
    MarkStateStart();
    return;
  }
  const Generation generation = generation_;
  RaiseDebugMessage(u"Sending DATA");
  if (generation_ != generation) return;
  socket_.SendData(u"DATA\r\n");
  session_state_ = session_state::kWaitDataAck;
  MarkStateStart();
}

void Session::QuitAndFinish(Integer code, String text) {
  // A DATA written ahead and not yet answered may be answered with 354:
  // QUIT would then be read as the message. Closing leaves the server an
  // unfinished message, which it drops.
  const bool data_unanswered = pipelined_ && session_state_ != session_state::kWaitDataAck;
  if (socket_.State() == socket_state::kConnected && !data_unanswered) {
    const Generation generation = generation_;
    RaiseDebugMessage(u"Sending QUIT command.");
    if (generation_ != generation) return;
    try {
      socket_.SendData(u"QUIT\r\n");
    } catch (const std::exception&) {
      // The server has already answered; QUIT is a courtesy, and a lost
      // connection now must not turn that answer into a socket error.
    }
  }
  FinishSession(code, std::move(text));
}

void Session::SendData(const Variant& data) {
  if (stream_encoder_) return SendDataUtf8(ToUtf8(ToText(data)));
  if (const String* text = data.get_if<String>()) {
    socket_.SendData(*text);  // no copy of a large body
    return;
  }
  socket_.SendData(ToText(data));
}

void Session::SendDataUtf8(std::string_view data) {
  if (!stream_encoder_) return socket_.SendUtf8(data);
  std::string encoded;
  stream_encoder_->Encode(data, encoded);
  if (!encoded.empty()) socket_.SendUtf8(encoded);
}

}  // namespace qv::mail
