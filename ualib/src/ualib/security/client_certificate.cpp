// Client::DescribeClientCertificate: the client certificate as an operator trusts it,
// with no server involved.
#include <velk/quarlink/client.h>

#include "logging/log.h"
#include "security/certificate_info.h"
#include "security/security.h"

namespace velk::quarlink {

using tessel::fnd::defs::ConnectionOptions;
using tessel::fnd::defs::Result;
using tessel::fnd::defs::ResultCode;

namespace {

Client::CertificateInfo Failure(const ConnectionOptions& options, Result result) {
  UALIB_LOG(internal::kWarning, "DescribeClientCertificate for {} failed: {}", options.endpoint, result.message);
  Client::CertificateInfo info;
  info.code = result.code;
  info.message = std::move(result.message);
  return info;
}

}  // namespace

Client::CertificateInfo Client::DescribeClientCertificate(const ConnectionOptions& options) {
  UALIB_TRACE();
  // The certificate matters only on a secured channel; asking for it implies one.
  tessel::fnd::defs::PropertyMap properties = options.properties;
  const std::string* mode = properties.Get("security_mode");
  if (!mode || mode->empty()) properties.Set("security_mode", "sign_and_encrypt");
  internal::SecuritySettings settings;
  if (Result invalid = internal::ParseSecuritySettings(properties, settings); invalid.code != ResultCode::Ok)
    return Failure(options, std::move(invalid));
  if (!settings.Secure())
    return Failure(options, {ResultCode::InvalidArgument, "security_mode: none presents no client certificate"});
  internal::ClientCertificate certificate;
  if (Result failed = internal::LoadClientCertificate(settings, options.endpoint, certificate);
      failed.code != ResultCode::Ok)
    return Failure(options, std::move(failed));
  const std::optional<internal::CertificateInfo> described = internal::DescribeCertificate(certificate.der);
  if (!described) return Failure(options, {ResultCode::InternalError, "the client certificate cannot be described"});
  CertificateInfo info;
  info.thumbprint = described->thumbprint;
  info.subject = described->subject;
  info.application_uri = certificate.applicationUri;
  info.not_before = described->notBefore;
  info.not_after = described->notAfter;
  info.path = settings.certificatePath;
  info.created = certificate.created;
  return info;
}

}  // namespace velk::quarlink
