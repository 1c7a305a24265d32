#include "qv/testing/fake_socket.hpp"

#include "qv/core/automation_error.hpp"
#include "qv/core/text.hpp"

namespace qv::testing {
namespace {

std::string Describe(const Variant& value) {
  if (value.IsEmpty()) return "<empty>";
  if (const String* text = value.get_if<String>()) return '"' + ToUtf8(*text) + '"';
  return ToUtf8(ToText(value));
}

}  // namespace

void FakeSocket::AcceptConnection() {
  state_ = socket_state::kConnected;
  if (events_ != nullptr) events_->OnConnect();
}

void FakeSocket::ServerSends(std::u16string_view text) {
  incoming_.append(text);
  if (events_ != nullptr) events_->OnDataArrival(static_cast<Long>(incoming_.size()));
}

void FakeSocket::ReportError(Long number, const String& description) {
  state_ = socket_state::kError;
  if (events_ != nullptr) events_->OnError(number, description);
}

void FakeSocket::AllSent() {
  if (events_ != nullptr) events_->OnSendComplete();
}

void FakeSocket::Secure(String description) {
  tls_description_ = std::move(description);
  if (events_ != nullptr && state_ == socket_state::kConnected) events_->OnSecured();
}

void FakeSocket::FailStartTls(Long number, std::string description) {
  start_tls_failure_.emplace(number, std::move(description));
}

void FakeSocket::StartTls(const TlsRequest& request) {
  calls.push_back("StartTls " + ToUtf8(request.server_name) + " " + ToUtf8(request.ca_file));
  if (start_tls_failure_) {
    const auto failure = *start_tls_failure_;
    start_tls_failure_.reset();
    throw AutomationError(failure.first, failure.second);
  }
}

void FakeSocket::FailWrite(int nth, Long number, std::string description) {
  writes_until_failure_ = nth;
  write_failure_number_ = number;
  write_failure_text_ = std::move(description);
}

void FakeSocket::FailConnect(Long number, std::string description) {
  connect_failure_.emplace(number, std::move(description));
}

String FakeSocket::Transcript() const {
  String all;
  for (const String& piece : writes) all += piece;
  return all;
}

std::vector<std::string> FakeSocket::CallsSince(std::size_t mark) const {
  return std::vector<std::string>(calls.begin() + static_cast<std::ptrdiff_t>(mark), calls.end());
}

Integer FakeSocket::State() {
  calls.emplace_back("State");
  return state_;
}

void FakeSocket::Close() {
  calls.emplace_back("Close");
  state_ = socket_state::kClosed;
  incoming_.clear();
  tls_description_.clear();
}

void FakeSocket::WriteSetting(Integer id, const Variant& value) {
  calls.push_back("WriteSetting " + std::to_string(id) + " " + Describe(value));
}

Variant FakeSocket::ReadSetting(Integer id) {
  calls.push_back("ReadSetting " + std::to_string(id));
  if (id == socket_setting::kLocalHostName) return Variant(local_host_name_);
  return Variant(Long{0});
}

void FakeSocket::Connect(const String& remote_host, Integer remote_port) {
  calls.push_back("Connect " + ToUtf8(remote_host) + " " + std::to_string(remote_port));
  if (connect_failure_) {
    const auto failure = *connect_failure_;
    connect_failure_.reset();
    throw AutomationError(failure.first, failure.second);
  }
  state_ = socket_state::kConnecting;
}

void FakeSocket::SendData(const String& text) {
  calls.push_back("SendData " + ToUtf8(text));
  if (writes_until_failure_ > 0 && --writes_until_failure_ == 0) {
    throw AutomationError(write_failure_number_, write_failure_text_);
  }
  writes.push_back(text);
}

void FakeSocket::SendSecret(const String& text, const String& shown) {
  calls.push_back("SendSecret " + ToUtf8(shown));
  if (writes_until_failure_ > 0 && --writes_until_failure_ == 0) {
    throw AutomationError(write_failure_number_, write_failure_text_);
  }
  writes.push_back(text);
}

String FakeSocket::GetData() {
  calls.emplace_back("GetData");
  String data;
  data.swap(incoming_);
  return data;
}

}  // namespace qv::testing
