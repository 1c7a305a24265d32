// A socket double that records every operation in order and lets a test play
// the server: accept the connection, send text in any pieces, report an error,
// refuse a write.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "qv/host/socket.hpp"
#include "qv/testing/export.hpp"

namespace qv::testing {

class QV_TESTING_EXPORT FakeSocket final : public Socket {
 public:
  // One recorded operation, e.g. "State", "Close", "WriteSetting 2 0",
  // "Connect mail.example.com 25", "SendData HELO host\r\n", "GetData".
  std::vector<std::string> calls;
  // Every text handed to SendData, one entry per call.
  std::vector<String> writes;

  // Script the server.
  void AcceptConnection();                                   // State 7, then OnConnect
  void ServerSends(std::u16string_view text);                // queued, then OnDataArrival
  void ReportError(Long number, const String& description);  // State 9, then OnError
  void PeerCloses() { state_ = socket_state::kPeerClosing; }
  // The nth SendData from now (1 = the next) throws instead of writing.
  void FailWrite(int nth, Long number = 40006,
                 std::string description =
                     "Wrong protocol or connection state for the "
                     "requested transaction or request");
  // The next Connect throws.
  void FailConnect(Long number, std::string description);
  void SetLocalHostName(String name) { local_host_name_ = std::move(name); }
  void SetState(Integer state) { state_ = state; }
  // Makes the double a socket that reports when written text has left
  // (ReportsSendComplete true); the test then says when, with AllSent.
  void SetReportsSendComplete(bool reports) { reports_send_complete_ = reports; }
  void AllSent();  // OnSendComplete
  // The handshake StartTls began is done: TlsDescription gives description
  // from now on, then OnSecured (for a connected socket).
  void Secure(String description = u"TLSv1.3 TLS_AES_256_GCM_SHA384");
  // The next StartTls throws.
  void FailStartTls(Long number, std::string description);

  // Every written text joined: the wire as the server sees it.
  String Transcript() const;
  // Operations recorded since the mark, and the mark itself.
  std::size_t Mark() const { return calls.size(); }
  std::vector<std::string> CallsSince(std::size_t mark) const;
  SocketEvents* events() const { return events_; }

  // Socket
  void SetEvents(SocketEvents* events) override { events_ = events; }
  Integer State() override;
  void Close() override;
  void WriteSetting(Integer id, const Variant& value) override;
  Variant ReadSetting(Integer id) override;
  void Connect(const String& remote_host, Integer remote_port) override;
  void SendData(const String& text) override;
  // Written as SendData writes; recorded as "SendSecret <shown>".
  void SendSecret(const String& text, const String& shown) override;
  String GetData() override;
  bool ReportsSendComplete() const override { return reports_send_complete_; }
  void RequestSendComplete() override { calls.push_back("RequestSendComplete"); }
  // Recorded as "StartTls <server name> <CA file>"; never refused unless told.
  void StartTls(const TlsRequest& request) override;
  String TlsDescription() override { return tls_description_; }

 private:
  SocketEvents* events_ = nullptr;
  Integer state_ = socket_state::kClosed;
  String incoming_;
  String local_host_name_ = u"client.example.com";
  bool reports_send_complete_ = false;
  int writes_until_failure_ = 0;
  Long write_failure_number_ = 0;
  std::string write_failure_text_;
  std::optional<std::pair<Long, std::string>> connect_failure_;
  std::optional<std::pair<Long, std::string>> start_tls_failure_;
  String tls_description_;
};

}  // namespace qv::testing
