#include "certificate_names.hpp"

#include <arpa/inet.h>
#include <openssl/x509v3.h>

#include <string_view>
#include <utility>
#include <vector>

namespace qv::connection {

std::string CertificateNames(X509* cert) {
  constexpr std::size_t kShown = 8;
  constexpr std::size_t kLongest = 255;
  std::vector<std::string> names;
  const auto add = [&names](std::string_view name) {
    std::string shown(name.substr(0, kLongest));
    for (char& c : shown) {
      if (c < 0x21 || c > 0x7e) c = '?';
    }
    names.push_back(std::move(shown));
  };
  if (auto* entries = static_cast<GENERAL_NAMES*>(
          X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr))) {
    for (int i = 0; i < sk_GENERAL_NAME_num(entries); ++i) {
      const GENERAL_NAME* entry = sk_GENERAL_NAME_value(entries, i);
      if (entry->type == GEN_DNS) {
        const ASN1_IA5STRING* dns = entry->d.dNSName;
        add({reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns)),
             static_cast<std::size_t>(ASN1_STRING_length(dns))});
      } else if (entry->type == GEN_IPADD) {
        const ASN1_OCTET_STRING* ip = entry->d.iPAddress;
        const int length = ASN1_STRING_length(ip);
        char text[INET6_ADDRSTRLEN] = {};
        if ((length == 4 || length == 16) &&
            inet_ntop(length == 4 ? AF_INET : AF_INET6, ASN1_STRING_get0_data(ip), text,
                      sizeof text) != nullptr) {
          add(text);
        }
      }
    }
    GENERAL_NAMES_free(entries);
  }
  if (names.empty()) {
    const X509_NAME* subject = X509_get_subject_name(cert);
    const int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (const ASN1_STRING* cn =
            at < 0 ? nullptr : X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at))) {
      add({reinterpret_cast<const char*>(ASN1_STRING_get0_data(cn)),
           static_cast<std::size_t>(ASN1_STRING_length(cn))});
    }
  }
  std::string text;
  for (std::size_t i = 0; i < names.size() && i < kShown; ++i) {
    text += (i == 0 ? "" : ", ") + names[i];
  }
  if (names.size() > kShown) text += " and " + std::to_string(names.size() - kShown) + " more";
  return text;
}

}  // namespace qv::connection
