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
  socket_.SendData(u"MAIL FROM: <" + WithoutControlCharacters(properties_.MailFrom) + u">" +
                   parameters + u"\r\n");
  session_state_ = session_state::kWaitFromAck;
  MarkStateStart();
}

void Session::WriteNextRecipient() {
  if (pending_recipients_.empty()) {
    session_state_ = session_state::kSendDataCommand;
    reply_buffer_.clear();
    return;
  }
  const String entry = CutNextRecipient(pending_recipients_);
  const Generation generation = generation_;
  RaiseDebugMessage(u"Sending RCPT: " + entry);
  if (generation_ != generation) return;
  socket_.SendData(u"RCPT TO: <" + EnvelopeAddress(entry) + u">\r\n");
  session_state_ = session_state::kWaitRcptAck;
  MarkStateStart();
}

void Session::WriteDataCommand() {
  const Generation generation = generation_;
  RaiseDebugMessage(u"Sending DATA");
  if (generation_ != generation) return;
  socket_.SendData(u"DATA\r\n");
  session_state_ = session_state::kWaitDataAck;
  MarkStateStart();
}

void Session::QuitAndFinish(Integer code, String text) {
  if (socket_.State() == socket_state::kConnected) {
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
