// The names a server's certificate is for, as a status shows them.
// Internal to the connection library.
#pragma once

#include <openssl/x509.h>

#include <string>

namespace qv::connection {

// Its DNS and IP entries, or its common name when it has neither (the one a
// verifier then checks): at most eight, then "and N more", each made
// printable and cut at 255 characters, since the server wrote them.
// "a.example, 192.0.2.1"; empty when it names nothing.
std::string CertificateNames(X509* cert);

}  // namespace qv::connection
