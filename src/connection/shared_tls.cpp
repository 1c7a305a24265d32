#include "shared_tls.hpp"

#include <openssl/err.h>

#include <fstream>
#include <iterator>

namespace qv::connection {

std::string LastErrorText() {
  const unsigned long code = ERR_peek_last_error();
  ERR_clear_error();
  if (code == 0) return "the server's answer was not TLS";
  const char* reason = ERR_reason_error_string(code);
  return reason != nullptr ? reason : "error " + std::to_string(code);
}

SharedTls& SharedTls::Instance() {
  static SharedTls* shared = new SharedTls;  // never destroyed: filters may outlive statics
  return *shared;
}

SSL_CTX* SharedTls::Context(const std::string& ca_file, std::string& key, std::string& error) {
  key = ca_file;
  if (!ca_file.empty()) {
    // By what the file holds now: a file changed on disk is trusted as it
    // is, and a new file at an old path is not mistaken for the old one.
    std::ifstream in(ca_file, std::ios::binary);
    key += '\n';
    key.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  if (const auto found = contexts_.find(key); found != contexts_.end()) return found->second;
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) {
    error = "TLS is not available: " + LastErrorText();
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  const int loaded = ca_file.empty() ? SSL_CTX_set_default_verify_paths(ctx)
                                     : SSL_CTX_load_verify_locations(ctx, ca_file.c_str(), nullptr);
  if (loaded != 1) {
    error = "The CA file " + ca_file + " cannot be read: " + LastErrorText();
    SSL_CTX_free(ctx);
    return nullptr;
  }
  // Sessions are kept here, by server, not in OpenSSL's own cache, which
  // is keyed by session id and would not find them again for a new
  // connection.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(ctx, &SharedTls::OnNewSession);
  contexts_.emplace(key, ctx);
  return ctx;
}

SSL_SESSION* SharedTls::Session(const std::string& server) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto found = sessions_.find(server);
  if (found == sessions_.end()) return nullptr;

  if (SSL_SESSION_is_resumable(found->second) != 1) {
    SSL_SESSION_free(found->second);
    sessions_.erase(found);
    return nullptr;
  }
  SSL_SESSION_up_ref(found->second);
  return found->second;
}

int SharedTls::KeyIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

// OpenSSL hands over a session the server gave (TLS 1.3 sends them after
// the handshake). A copy is kept: OpenSSL marks the connection's own one
// spent when that connection ends without a close_notify, and one
// connection's ending says nothing about the session's worth.
int SharedTls::OnNewSession(SSL* ssl, SSL_SESSION* session) {
  const auto* key = static_cast<const std::string*>(SSL_get_ex_data(ssl, KeyIndex()));
  if (key == nullptr || SSL_get_verify_result(ssl) != X509_V_OK) return 0;
  SSL_SESSION* copy = SSL_SESSION_dup(session);
  if (copy == nullptr) return 0;
  SharedTls& shared = Instance();
  const std::lock_guard<std::mutex> lock(shared.mutex_);
  SSL_SESSION*& slot = shared.sessions_[*key];
  if (slot != nullptr) SSL_SESSION_free(slot);
  slot = copy;
  return 0;
}

}  // namespace qv::connection
