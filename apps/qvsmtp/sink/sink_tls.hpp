// The sink's side of TLS: the server certificate it presents (for STARTTLS
// and for TLS from the first byte), and a throwaway self-signed one for a
// try-out on this machine. OpenSSL is used directly here: the sink is the
// program's own server, not part of the libraries.
#pragma once

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

struct ssl_ctx_st;

namespace qvsmtp {

// A certificate or key that cannot be read or used, or one that cannot be
// made; the text names the file and OpenSSL's reason.
class SinkTlsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A server context holding one certificate chain and its key; TLS 1.2 at
// least, no client certificate asked for.
class SinkTls {
 public:
  // Throws SinkTlsError when a file cannot be read, holds no PEM
  // certificate or key, or the key does not belong to the certificate.
  static std::shared_ptr<SinkTls> Load(const std::string& certificate_file,
                                       const std::string& key_file);
  ~SinkTls();
  SinkTls(const SinkTls&) = delete;
  SinkTls& operator=(const SinkTls&) = delete;

  ssl_ctx_st* context() const { return context_; }

 private:
  explicit SinkTls(ssl_ctx_st* context) : context_(context) {}
  ssl_ctx_st* context_;
};

struct ThrowawayCertificate {
  std::filesystem::path certificate;  // cert.pem: also what a sender trusts (--ca-file)
  std::filesystem::path key;          // key.pem, readable by its owner alone
  bool made = false;                  // false: a valid pair already in the folder was kept
};

// A self-signed certificate for localhost, 127.0.0.1 and ::1 in dir
// (created when missing), valid for 30 days. A pair the folder already holds
// is kept while its certificate has not expired, so that senders who trust
// it go on trusting it. Throws SinkTlsError when the folder or the files
// cannot be written.
ThrowawayCertificate MakeThrowawayCertificate(const std::filesystem::path& dir);

// OpenSSL's latest error reasons on one line, the queue emptied.
std::string TakeTlsErrors();

}  // namespace qvsmtp
