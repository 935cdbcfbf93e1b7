#include "security/certificate_info.h"

#include <fmt/format.h>
#include <mbedtls/sha1.h>
#include <mbedtls/x509_crt.h>

#include <array>

namespace velk::quarlink::internal {
namespace {

class ParsedCertificate {
 public:
  ParsedCertificate() { mbedtls_x509_crt_init(&crt_); }
  ~ParsedCertificate() { mbedtls_x509_crt_free(&crt_); }
  ParsedCertificate(const ParsedCertificate&) = delete;
  ParsedCertificate& operator=(const ParsedCertificate&) = delete;
  mbedtls_x509_crt* Get() { return &crt_; }

 private:
  mbedtls_x509_crt crt_;
};

std::string Iso(const mbedtls_x509_time& t) {
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", t.year, t.mon, t.day, t.hour, t.min, t.sec);
}

}  // namespace

std::optional<CertificateInfo> DescribeCertificate(std::string_view der) {
  if (der.empty()) return std::nullopt;
  const auto* bytes = reinterpret_cast<const unsigned char*>(der.data());
  ParsedCertificate certificate;
  if (mbedtls_x509_crt_parse_der(certificate.Get(), bytes, der.size()) != 0) return std::nullopt;
  CertificateInfo info;
  std::array<unsigned char, 20> digest{};
  if (mbedtls_sha1(bytes, der.size(), digest.data()) != 0) return std::nullopt;
  for (unsigned char byte : digest) info.thumbprint += fmt::format("{:02X}", byte);
  std::array<char, 512> subject{};
  if (mbedtls_x509_dn_gets(subject.data(), subject.size(), &certificate.Get()->subject) > 0) {
    info.subject = subject.data();
  }
  info.notBefore = Iso(certificate.Get()->valid_from);
  info.notAfter = Iso(certificate.Get()->valid_to);
  return info;
}

}  // namespace velk::quarlink::internal
