// What an operator needs to recognise a certificate: its SHA-1 thumbprint, subject
// and validity, read from the DER bytes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velk::quarlink::internal {

struct CertificateInfo {
  std::string thumbprint;  // SHA-1 of the DER bytes, 40 upper-case hex digits
  std::string subject;     // "CN=..., O=..."
  std::string notBefore;   // UTC, "2026-12-07T10:00:00Z"
  std::string notAfter;
};

// Nothing when the bytes are not one DER certificate.
std::optional<CertificateInfo> DescribeCertificate(std::string_view der);

}  // namespace velk::quarlink::internal
