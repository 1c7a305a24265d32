#include "qv/connection/tls_filter.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <array>
#include <utility>

#include "address_literal.hpp"
#include "certificate_names.hpp"
#include "shared_tls.hpp"

namespace qv::connection {

namespace {

// Encrypted bytes held for the transport below before the filter takes no
// more clear text: enough to keep a fast connection busy, bounded so that a
// peer that stops reading holds no more than this.
constexpr std::size_t kHighWater = 256 * 1024;
// The buffers between OpenSSL and the filter, each way.
constexpr std::size_t kPairBuffer = 64 * 1024;
// Clear text handed to OpenSSL at once: one record.
constexpr std::size_t kRecord = 16 * 1024;

}  // namespace

class TlsFilter::Engine final : public TransportEvents {
 public:
  Engine(Loop& loop, std::unique_ptr<Transport> below, TlsSettings settings)
      : loop_(loop), below_(std::move(below)), settings_(std::move(settings)) {
    below_->SetEvents(this);
    Setup();
  }

  ~Engine() {
    *alive_ = false;
    if (below_) below_->SetEvents(nullptr);
    if (ssl_ != nullptr) SSL_free(ssl_);  // frees the inner end of the pair
    if (network_ != nullptr) BIO_free(network_);
    if (ctx_ != nullptr) SSL_CTX_free(ctx_);  // only a context of its own
  }

  void SetUpper(TransportEvents* events) { upper_ = events; }
  void Connect(const std::string& host, std::uint16_t port) { below_->Connect(host, port); }

  void StartHandshake() { PostDrive(); }

  std::size_t Write(std::span<const std::string_view> pieces) {
    std::size_t taken = 0;
    std::size_t offered = 0;
    for (const std::string_view piece : pieces) offered += piece.size();
    if (!done_ || failed_ || shutting_down_) {
      upper_wants_writable_ = offered > 0;
      return 0;
    }
    for (const std::string_view piece : pieces) {
      std::size_t at = 0;
      while (at < piece.size()) {
        // Stop only while the transport below holds records back: it then
        // reports when it drains. Had it taken them all, it would never say
        // so, and the owner would wait for writability forever.
        if (out_.size() >= kHighWater) {
          Flush();
          if (!out_.empty()) break;
        }
        const int chunk = static_cast<int>(std::min(piece.size() - at, kRecord));
        const int n = SSL_write(ssl_, piece.data() + at, chunk);
        if (n > 0) {
          at += static_cast<std::size_t>(n);
          taken += static_cast<std::size_t>(n);
          MoveOut();
          continue;
        }
        if (SSL_get_error(ssl_, n) != SSL_ERROR_WANT_WRITE || !MoveOut()) {
          // Reported from the loop, as the transport's own failures are.
          PostFail(tls_error::kHandshakeFailed, "TLS failed while sending: " + LastErrorText());
          return taken;
        }
      }
      if (at < piece.size()) break;
    }
    Flush();
    if (taken < offered) upper_wants_writable_ = true;
    return taken;
  }

  void SetReading(bool reading) {
    reading_ = reading;
    // Records held back here came before anything the transport would read
    // next: it reads again once they have gone in (Drive).
    if (!reading || held_.empty()) below_->SetReading(reading);
    // Records already decrypted wait in OpenSSL: they follow from the loop.
    if (reading && done_) PostDrive();
  }

  long Unacknowledged() {
    const long below = below_->Unacknowledged();
    if (below < 0) return below;
    return below + static_cast<long>(out_.size() + BIO_ctrl_pending(network_));
  }

  std::string LocalAddressLiteral() { return below_->LocalAddressLiteral(); }

  void ShutdownSend() {
    if (shutting_down_) return;
    shutting_down_ = true;
    if (done_ && !failed_) {
      SSL_shutdown(ssl_);  // close_notify
      MoveOut();
    }
    Flush();
    if (out_.empty()) below_->ShutdownSend();
  }

  const TlsSession& session() const { return session_; }

  // --- The transport below ----------------------------------------------------

  void OnTransportResolved() override {
    if (upper_) upper_->OnTransportResolved();
  }

  // Implicit TLS: the handshake begins as soon as the connection stands.
  void OnTransportConnected() override { Drive(); }

  void OnTransportReceived(std::string_view bytes) override {
    if (!held_.empty()) {
      // Behind what is held back, in the order it came.
      held_.append(bytes);
      below_->SetReading(false);
      if (reading_ && done_) PostDrive();
      return;
    }
    Feed(bytes);
  }

  void OnTransportWritable() override {
    Flush();
    if (!out_.empty()) return;
    if (shutting_down_) return below_->ShutdownSend();
    if (std::exchange(upper_wants_writable_, false) && upper_) upper_->OnTransportWritable();
  }

  void OnTransportPeerClosed() override {
    if (!done_) {
      return Fail(tls_error::kClosedInHandshake,
                  "The server ended the connection during the TLS handshake");
    }
    // Text OpenSSL still holds, or the filter holds back while the owner
    // reads nothing, came before the end: the end follows it (Drive).
    peer_closed_ = true;
    Drive();
  }

  void OnTransportFailed(Long number, const std::string& description) override {
    failed_ = true;
    if (upper_) upper_->OnTransportFailed(number, description);
  }

 private:
  void Setup() {
    SSL_CTX* ctx = nullptr;
    if (settings_.verify) {
      std::string error;
      std::string trust;
      ctx = SharedTls::Instance().Context(settings_.ca_file, trust, error);
      if (ctx == nullptr) return SetupFailed(error);
      session_key_ = settings_.server_name + "\n" + std::to_string(settings_.port) + "\n" + trust;
    } else {
      // Unverified connections share nothing.
      ctx_ = ctx = SSL_CTX_new(TLS_client_method());
      if (ctx_ == nullptr) return SetupFailed("TLS is not available: " + LastErrorText());
      SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
    }
    ssl_ = SSL_new(ctx);
    if (ssl_ != nullptr && settings_.verify) {
      SSL_set_verify(ssl_, SSL_VERIFY_PEER, nullptr);
      SSL_set_ex_data(ssl_, SharedTls::KeyIndex(), &session_key_);
      if (SSL_SESSION* offered = SharedTls::Instance().Session(session_key_)) {
        SSL_set_session(ssl_, offered);
        SSL_SESSION_free(offered);
      }
    }
    BIO* inner = nullptr;
    if (ssl_ == nullptr || BIO_new_bio_pair(&inner, kPairBuffer, &network_, kPairBuffer) != 1) {
      return SetupFailed("TLS is not available: " + LastErrorText());
    }
    SSL_set_bio(ssl_, inner, inner);
    SSL_set_connect_state(ssl_);
    SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    const std::string& name = settings_.server_name;
    const bool address = IsIpAddress(name);
    if (!address && !name.empty()) SSL_set_tlsext_host_name(ssl_, name.c_str());
    if (settings_.verify) {
      const int named = address ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), name.c_str())
                                : SSL_set1_host(ssl_, name.c_str());
      if (named != 1) return SetupFailed("No server name to check the certificate against");
    }
  }

  void SetupFailed(std::string text) {
    setup_error_ = std::move(text);
    ERR_clear_error();
  }

  void PostDrive() {
    loop_.Post([alive = std::weak_ptr<bool>(alive_), this] {
      if (!alive.expired()) Drive();
    });
  }

  void PostFail(Long number, std::string text) {
    loop_.Post([alive = std::weak_ptr<bool>(alive_), this, number, text = std::move(text)] {
      if (!alive.expired()) Fail(number, text);
    });
  }

  // Hands the server's bytes to OpenSSL as far as its buffer takes them,
  // moving the handshake or the clear text on after each part.
  void Feed(std::string_view bytes) {
    ++feeding_;
    struct Done {
      int& feeding;
      ~Done() { --feeding; }
    } done{feeding_};
    while (!bytes.empty() && !failed_) {
      const int n = BIO_write(network_, bytes.data(), static_cast<int>(bytes.size()));
      if (n > 0) bytes.remove_prefix(static_cast<std::size_t>(n));
      if (!Drive()) return;
      if (n <= 0 && BIO_ctrl_get_write_guarantee(network_) == 0) {
        // OpenSSL's buffer is full and the owner fetches nothing: the rest
        // waits here, and the transport stops reading, until it does.
        below_->SetReading(false);
        held_.append(bytes);
        return;
      }
    }
  }

  // Moves the handshake on, or the clear text up; false once failed.
  bool Drive() {
    if (failed_) return false;
    if (!setup_error_.empty()) {
      Fail(tls_error::kSetupFailed, setup_error_);
      return false;
    }
    if (!done_) {
      const int r = SSL_do_handshake(ssl_);
      MoveOut();
      Flush();
      if (r != 1) {
        const int error = SSL_get_error(ssl_, r);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return true;
        HandshakeFailed();
        return false;
      }
      done_ = true;
      session_.version = SSL_get_version(ssl_);
      session_.cipher = SSL_CIPHER_get_name(SSL_get_current_cipher(ssl_));
      session_.resumed = SSL_session_reused(ssl_) == 1;
      if (upper_) upper_->OnTransportConnected();
      if (failed_ || !upper_) return !failed_;
    }
    std::array<char, kRecord> clear{};
    bool drained = false;  // every whole record read
    while (reading_ && !failed_) {
      const int n = SSL_read(ssl_, clear.data(), static_cast<int>(clear.size()));
      if (n > 0) {
        if (upper_) upper_->OnTransportReceived({clear.data(), static_cast<std::size_t>(n)});
        continue;
      }
      const int error = SSL_get_error(ssl_, n);
      MoveOut();  // a key update or a ticket may want an answer
      Flush();
      if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        drained = true;
        break;
      }
      if (error == SSL_ERROR_ZERO_RETURN) {
        TellEnd();
        break;
      }
      Fail(tls_error::kHandshakeFailed, "TLS failed while receiving: " + LastErrorText());
      return false;
    }
    if (reading_ && !held_.empty() && BIO_ctrl_get_write_guarantee(network_) > 0) {
      std::string held = std::move(held_);
      held_.clear();
      Feed(held);
      if (held_.empty() && reading_ && !failed_) {
        below_->SetReading(true);
        if (peer_closed_ && feeding_ == 0) TellEnd();  // its last Drive read all
      }
    } else if (drained && peer_closed_ && held_.empty() && feeding_ == 0) {
      TellEnd();  // after the last of the text
    }
    return !failed_;
  }

  // The owner hears of the connection's end once: by the server's
  // close_notify, or by the transport's end once the text before it is up.
  void TellEnd() {
    if (std::exchange(told_end_, true) || !upper_) return;
    upper_->OnTransportPeerClosed();
  }

  void HandshakeFailed() {
    const long verdict = SSL_get_verify_result(ssl_);
    if (verdict == X509_V_OK || !settings_.verify) {
      return Fail(tls_error::kHandshakeFailed, "TLS handshake failed: " + LastErrorText());
    }
    ERR_clear_error();
    const std::string reason = X509_verify_cert_error_string(verdict);
    switch (verdict) {
      case X509_V_ERR_HOSTNAME_MISMATCH:
      case X509_V_ERR_IP_ADDRESS_MISMATCH: {
        // Which names it does hold tells a user whether the server is
        // known by another name or is not the server at all.
        std::string text = "The server's certificate is not for " + settings_.server_name;
        const STACK_OF(X509)* chain = SSL_get_peer_cert_chain(ssl_);
        const std::string names =
            sk_X509_num(chain) > 0 ? CertificateNames(sk_X509_value(chain, 0)) : "";
        if (!names.empty()) text += ": it is for " + names;
        return Fail(tls_error::kNameMismatch, text);
      }
      case X509_V_ERR_CERT_HAS_EXPIRED:
      case X509_V_ERR_CERT_NOT_YET_VALID:
        return Fail(tls_error::kExpired, "The server's certificate is not valid now: " + reason);
      default:
        return Fail(tls_error::kUntrusted, "The server's certificate is not trusted: " + reason);
    }
  }

  void Fail(Long number, const std::string& text) {
    if (failed_) return;
    failed_ = true;
    if (upper_) upper_->OnTransportFailed(number, text);
  }

  // From OpenSSL's side of the pair into out_; false when nothing was there.
  bool MoveOut() {
    bool moved = false;
    while (const std::size_t pending = BIO_ctrl_pending(network_)) {
      const std::size_t at = out_.size();
      out_.resize(at + pending);
      const int n = BIO_read(network_, out_.data() + at, static_cast<int>(pending));
      out_.resize(at + static_cast<std::size_t>(std::max(n, 0)));
      if (n <= 0) break;
      moved = true;
    }
    return moved;
  }

  // Hands out_ to the transport below, as much as it takes now.
  void Flush() {
    if (out_.empty()) return;
    const std::string_view piece[1] = {out_};
    out_.erase(0, below_->Write(piece));
  }

  Loop& loop_;
  std::unique_ptr<Transport> below_;
  TlsSettings settings_;
  TransportEvents* upper_ = nullptr;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  SSL_CTX* ctx_ = nullptr;  // an unverified connection's own; others share one
  std::string session_key_;
  SSL* ssl_ = nullptr;
  BIO* network_ = nullptr;  // the filter's end of the pair
  std::string setup_error_;
  std::string out_;   // encrypted, not yet taken by the transport below
  std::string held_;  // encrypted, waiting while the owner fetches nothing
  TlsSession session_;
  bool done_ = false;
  bool failed_ = false;
  bool reading_ = true;
  bool upper_wants_writable_ = false;
  bool shutting_down_ = false;
  bool peer_closed_ = false;  // the transport read the connection's end
  bool told_end_ = false;
  int feeding_ = 0;  // Feed calls under way: more text may follow
};

TlsFilter::TlsFilter(Loop& loop, std::unique_ptr<Transport> below, TlsSettings settings)
    : engine_(std::make_unique<Engine>(loop, std::move(below), std::move(settings))) {}

TlsFilter::~TlsFilter() = default;

void TlsFilter::SetEvents(TransportEvents* events) { engine_->SetUpper(events); }
void TlsFilter::Connect(const std::string& host, std::uint16_t port) {
  engine_->Connect(host, port);
}
void TlsFilter::StartHandshake() { engine_->StartHandshake(); }
std::size_t TlsFilter::Write(std::span<const std::string_view> pieces) {
  return engine_->Write(pieces);
}
void TlsFilter::SetReading(bool reading) { engine_->SetReading(reading); }
long TlsFilter::Unacknowledged() { return engine_->Unacknowledged(); }
std::string TlsFilter::LocalAddressLiteral() { return engine_->LocalAddressLiteral(); }
void TlsFilter::ShutdownSend() { engine_->ShutdownSend(); }
const TlsSession& TlsFilter::session() const { return engine_->session(); }

}  // namespace qv::connection
