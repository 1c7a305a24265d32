#include "sink/sink_tls.hpp"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qvsmtp {

namespace {

namespace fs = std::filesystem;

constexpr long kValidDays = 30;

template <typename T, void (*Free)(T*)>
struct Freer {
  void operator()(T* p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Freer<X509, X509_free>>;
using Bio = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;

[[noreturn]] void Fail(const std::string& what) {
  const std::string reasons = TakeTlsErrors();
  throw SinkTlsError(reasons.empty() ? what : what + ": " + reasons);
}

// A certificate in the file that has not expired.
bool StillValid(const fs::path& certificate_file) {
  Bio in(BIO_new_file(certificate_file.c_str(), "r"));
  if (!in) return false;
  Certificate certificate(PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr));
  ERR_clear_error();
  return certificate && X509_cmp_current_time(X509_get0_notAfter(certificate.get())) > 0;
}

void AddExtension(X509* certificate, X509V3_CTX& context, int nid, const char* value) {
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  if (extension == nullptr || X509_add_ext(certificate, extension, -1) != 1) {
    X509_EXTENSION_free(extension);
    Fail("cannot make the throwaway certificate");
  }
  X509_EXTENSION_free(extension);
}

// Written beside the target, then renamed over it: a reader never sees half
// a file. mode 0600 for the key.
template <typename Write>
void WriteFileAtomically(const fs::path& target, mode_t mode, Write write) {
  const fs::path part = target.string() + ".part";
  const int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) {
    throw SinkTlsError("cannot write " + part.string() + ": " + std::strerror(errno));
  }
  ::fchmod(fd, mode);
  std::FILE* file = ::fdopen(fd, "w");
  if (file == nullptr) {
    ::close(fd);
    throw SinkTlsError("cannot write " + part.string() + ": " + std::strerror(errno));
  }
  const bool written = write(file) == 1;
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed || std::rename(part.c_str(), target.c_str()) != 0) {
    const int error = errno;
    ::unlink(part.c_str());
    Fail("cannot write " + target.string() +
         (written ? std::string(": ") + std::strerror(error) : std::string()));
  }
}

}  // namespace

std::string TakeTlsErrors() {
  std::string text;
  while (const unsigned long code = ERR_get_error()) {
    char reason[256];
    ERR_error_string_n(code, reason, sizeof reason);
    if (!text.empty()) text += "; ";
    text += reason;
  }
  return text;
}

std::shared_ptr<SinkTls> SinkTls::Load(const std::string& certificate_file,
                                       const std::string& key_file) {
  // The system's reason alone, rather than OpenSSL's three layers of it.
  for (const std::string* file : {&certificate_file, &key_file}) {
    std::error_code ec;
    if (fs::is_directory(*file, ec)) {
      throw SinkTlsError("cannot read " + *file + ": " + std::strerror(EISDIR));
    }
    if (::access(file->c_str(), R_OK) != 0) {
      throw SinkTlsError("cannot read " + *file + ": " + std::strerror(errno));
    }
  }
  ERR_clear_error();
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  if (context == nullptr) Fail("cannot set up TLS");
  std::shared_ptr<SinkTls> tls(new SinkTls(context));
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  if (SSL_CTX_use_certificate_chain_file(context, certificate_file.c_str()) != 1) {
    Fail("cannot use the certificate " + certificate_file);
  }
  if (SSL_CTX_use_PrivateKey_file(context, key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
    Fail("cannot use the key " + key_file);
  }
  if (SSL_CTX_check_private_key(context) != 1) {
    Fail("the key " + key_file + " does not belong to the certificate " + certificate_file);
  }
  return tls;
}

SinkTls::~SinkTls() { SSL_CTX_free(context_); }

ThrowawayCertificate MakeThrowawayCertificate(const fs::path& dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) throw SinkTlsError("cannot create the folder " + dir.string() + ": " + ec.message());
  ThrowawayCertificate files{fs::absolute(dir / "cert.pem"), fs::absolute(dir / "key.pem"), false};
  if (fs::exists(files.key, ec) && StillValid(files.certificate)) return files;

  ERR_clear_error();
  Key key(EVP_EC_gen("P-256"));
  Certificate certificate(X509_new());
  if (!key || !certificate) Fail("cannot make the throwaway certificate");
  X509* x = certificate.get();
  unsigned char serial[16];
  BIGNUM* number = nullptr;
  if (RAND_bytes(serial, sizeof serial) != 1) Fail("cannot make the throwaway certificate");
  serial[0] &= 0x7F;  // a positive serial number
  number = BN_bin2bn(serial, sizeof serial, nullptr);
  const bool serial_set = number != nullptr && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(x));
  BN_free(number);
  X509_NAME* name = X509_get_subject_name(x);
  if (!serial_set || X509_set_version(x, X509_VERSION_3) != 1 ||
      X509_gmtime_adj(X509_getm_notBefore(x), -3600) == nullptr ||
      X509_time_adj_ex(X509_getm_notAfter(x), kValidDays, 0, nullptr) == nullptr ||
      X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>("qvsmtp sink throwaway"),
                                 -1, -1, 0) != 1 ||
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>("localhost"), -1, -1,
                                 0) != 1 ||
      X509_set_issuer_name(x, name) != 1 || X509_set_pubkey(x, key.get()) != 1) {
    Fail("cannot make the throwaway certificate");
  }
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, x, x, nullptr, nullptr, 0);
  // Its own issuer: a sender trusts it as the one CA of its --ca-file.
  AddExtension(x, context, NID_basic_constraints, "critical,CA:TRUE");
  AddExtension(x, context, NID_subject_key_identifier, "hash");
  AddExtension(x, context, NID_authority_key_identifier, "keyid:always");
  AddExtension(x, context, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1,IP:::1");
  if (X509_sign(x, key.get(), EVP_sha256()) == 0) Fail("cannot sign the throwaway certificate");

  WriteFileAtomically(files.key, 0600, [&](std::FILE* file) {
    return PEM_write_PrivateKey(file, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  });
  WriteFileAtomically(files.certificate, 0644,
                      [&](std::FILE* file) { return PEM_write_X509(file, x); });
  files.made = true;
  return files;
}

}  // namespace qvsmtp
