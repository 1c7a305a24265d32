// A TLS server in the same process, on memory buffers, with certificates
// made on the spot: the peer that the TLS filter's tests and its fuzz
// target script, byte by byte.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "support/manual_loop.hpp"
#include "support/scripted_transport.hpp"

namespace qv::test_support {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;

inline Key NewKey() { return Key(EVP_EC_gen("P-256"), EVP_PKEY_free); }

// A certificate for key, signed by issuer_key (itself when no issuer), valid
// from days_from to days_to around now, with a subjectAltName when given.
inline Cert NewCert(EVP_PKEY* key, const char* common_name, X509* issuer, EVP_PKEY* issuer_key,
                    long days_from, long days_to, const char* alt_name, bool ca) {
  Cert cert(X509_new(), X509_free);
  X509_set_version(cert.get(), 2);
  static long serial = 1;
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), days_from * 86400);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), days_to * 86400);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(common_name), -1, -1, 0);
  X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
  X509V3_CTX context;
  X509V3_set_ctx(&context, issuer ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
  const auto add = [&](int nid, const char* value) {
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    X509_add_ext(cert.get(), extension, -1);
    X509_EXTENSION_free(extension);
  };
  add(NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
  if (alt_name != nullptr) add(NID_subject_alt_name, alt_name);
  X509_sign(cert.get(), issuer_key ? issuer_key : key, EVP_sha256());
  return cert;
}

// A TLS server on memory buffers, fed what the client wrote.
class Server {
 public:
  // shared: a context of the test's, whose ticket keys outlive this server.
  Server(X509* cert, EVP_PKEY* key, SSL_CTX* shared = nullptr) {
    ctx_ = shared != nullptr ? shared : SSL_CTX_new(TLS_server_method());
    if (shared != nullptr) SSL_CTX_up_ref(shared);
    SSL_CTX_use_certificate(ctx_, cert);
    SSL_CTX_use_PrivateKey(ctx_, key);
    ssl_ = SSL_new(ctx_);
    SSL_set_bio(ssl_, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
    SSL_set_accept_state(ssl_);
  }
  ~Server() {
    SSL_free(ssl_);
    SSL_CTX_free(ctx_);
  }
  // Takes the client's bytes; returns the server's answer and what it read.
  std::string Take(const std::string& bytes, std::string& clear) {
    BIO_write(SSL_get_rbio(ssl_), bytes.data(), static_cast<int>(bytes.size()));
    if (!SSL_is_init_finished(ssl_)) SSL_do_handshake(ssl_);
    char buffer[4096];
    int n;
    while ((n = SSL_read(ssl_, buffer, sizeof buffer)) > 0) clear.append(buffer, n);
    return Drain();
  }
  std::string Say(const std::string& clear) {
    SSL_write(ssl_, clear.data(), static_cast<int>(clear.size()));
    return Drain();
  }
  // The server's close_notify: it says no more.
  std::string Close() {
    SSL_shutdown(ssl_);
    return Drain();
  }
  // Whether the client's close_notify has been read.
  bool HeardClose() const { return (SSL_get_shutdown(ssl_) & SSL_RECEIVED_SHUTDOWN) != 0; }

 private:
  std::string Drain() {
    std::string out;
    char buffer[4096];
    int n;
    while ((n = BIO_read(SSL_get_wbio(ssl_), buffer, sizeof buffer)) > 0) out.append(buffer, n);
    return out;
  }
  SSL_CTX* ctx_;
  SSL* ssl_;
};

// Carries the handshake between a filter's transport and server until
// neither has more to say.
inline void Handshake(ManualLoop& loop, TransportScript& script, Server& server,
                      std::string& clear) {
  for (int round = 0; round < 6 && !script.wire.empty(); ++round) {
    const std::string answer = server.Take(std::exchange(script.wire, {}), clear);
    if (!answer.empty()) script.Receive(answer);
    loop.RunPosted();
  }
}

// A CA, a server certificate it signed for localhost, and the CA's file.
struct Pki {
  Pki() {
    const int fd = mkstemp(path);
    FILE* file = fdopen(fd, "w");
    PEM_write_X509(file, ca.get());
    fclose(file);
  }
  ~Pki() { unlink(path); }
  Key ca_key = NewKey();
  Cert ca = NewCert(ca_key.get(), "test CA", nullptr, nullptr, -1, 2, nullptr, true);
  Key key = NewKey();
  Cert cert = NewCert(key.get(), "server", ca.get(), ca_key.get(), -1, 2,
                      "DNS:localhost,IP:127.0.0.1", false);
  char path[32] = "/tmp/qv-tls-ca-XXXXXX";
};

// One Pki for a whole process (certificates are slow to make); its CA file
// goes when the process ends.
inline const Pki& SharedPki() {
  static const Pki* const pki = new Pki;
  static const int removing = std::atexit([] { unlink(SharedPki().path); });
  static_cast<void>(removing);
  return *pki;
}

}  // namespace qv::test_support
