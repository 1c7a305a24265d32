// What every TLS filter of the process shares: the contexts, one per trust
// choice, and the newest session each server gave; and OpenSSL's reason for
// a failure, as a user reads it. Internal to the connection library.
#pragma once

#include <openssl/ssl.h>

#include <map>
#include <mutex>
#include <string>

namespace qv::connection {

// OpenSSL's reason for the last failure, for a text a user can act on; the
// thread's error queue is left empty.
std::string LastErrorText();

// A context is made per trust choice (the CA file as it is now, or the
// system's store) and lives as long as the process: reading a trust store
// costs more than a handshake. Sessions are kept by server name, port and
// trust choice, the newest one each server gave. Safe from any thread.
class SharedTls {
 public:
  static SharedTls& Instance();

  // The context for ca_file (empty: the system's store), made on first use,
  // and the key of its trust choice; nullptr with error set when the trust
  // store cannot be read.
  SSL_CTX* Context(const std::string& ca_file, std::string& key, std::string& error);

  // The session to offer the server keyed so: a new reference, or nullptr.
  SSL_SESSION* Session(const std::string& server);

  // Where a connection's SSL holds the key its sessions are kept under.
  static int KeyIndex();

 private:
  static int OnNewSession(SSL* ssl, SSL_SESSION* session);

  std::mutex mutex_;
  std::map<std::string, SSL_CTX*> contexts_;
  std::map<std::string, SSL_SESSION*> sessions_;
};

}  // namespace qv::connection
