// Secured channels: parsing the security keys, the client certificate (loaded,
// or created once and reused), the trust list and the check of the server's
// certificate that this library enforces itself. The stack's own default check
// accepts every certificate, so it is always replaced.
#include "security/security.h"

#include <fcntl.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>
#include <mbedtls/sha1.h>
#include <mbedtls/x509_crt.h>
#include <open62541/client_config_default.h>
#include <open62541/plugin/create_certificate.h>
#include <open62541/plugin/pki_default.h>
#include <open62541/plugin/securitypolicy_default.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <vector>

#include "logging/log.h"
#include "logging/sdk_log.h"
#include "session/session.h"
#include "values/status.h"
#include "values/ua_types.h"

namespace velk::quarlink::internal {

using tessel::fnd::defs::PropertyMap;
using tessel::fnd::defs::Result;
using tessel::fnd::defs::ResultCode;

struct SessionSecurity {
  std::set<std::string> trusted;  // SHA-1 thumbprints of the trust list's certificates
  std::string trustListDir;
  std::string rejectedDir;
  bool acceptUntrusted = false;
  SecurityMode mode = SecurityMode::None;
  std::string policyName;
  // The last server certificate the check refused; cleared before each connect.
  std::string rejectedThumbprint;
  std::string rejectedFile;
};

namespace {

constexpr const char* kPolicyPrefix = "http://opcfoundation.org/UA/SecurityPolicy#";
constexpr std::array kPolicies{"Basic256Sha256", "Aes128_Sha256_RsaOaep", "Aes256_Sha256_RsaPss", "Basic256",
                               "Basic128Rsa15"};

Result Invalid(std::string message) { return {ResultCode::InvalidArgument, std::move(message)}; }

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string Get(const PropertyMap& properties, std::string_view key) {
  const std::string* value = properties.Get(key);
  return value ? *value : std::string();
}

const char* ModeWord(SecurityMode mode) {
  switch (mode) {
    case SecurityMode::Sign:
      return "sign";
    case SecurityMode::SignAndEncrypt:
      return "sign_and_encrypt";
    case SecurityMode::None:
      break;
  }
  return "none";
}

bool ParseMode(const std::string& text, SecurityMode& mode) {
  const std::string word = Lower(text);
  if (word == "none")
    mode = SecurityMode::None;
  else if (word == "sign")
    mode = SecurityMode::Sign;
  else if (word == "sign_and_encrypt")
    mode = SecurityMode::SignAndEncrypt;
  else
    return false;
  return true;
}

// A short name or a full policy URI; "None" only says what the mode says already.
bool ParsePolicy(const std::string& text, std::string& name) {
  std::string candidate = text;
  if (candidate.rfind(kPolicyPrefix, 0) == 0) candidate.erase(0, std::strlen(kPolicyPrefix));
  for (const char* known : kPolicies) {
    if (Lower(candidate) == Lower(known)) {
      name = known;
      return true;
    }
  }
  if (Lower(candidate) == "none") {
    name.clear();
    return true;
  }
  return false;
}

// Unlike the other switches, an unknown word here is refused: reading it as true
// would silently turn off the server's identity check.
bool ParseStrictBool(const std::string& text, bool& value) {
  const std::string word = Lower(text);
  if (word == "" || word == "0" || word == "false" || word == "no" || word == "off")
    value = false;
  else if (word == "1" || word == "true" || word == "yes" || word == "on")
    value = true;
  else
    return false;
  return true;
}

bool Deprecated(const std::string& policyName) { return policyName == "Basic256" || policyName == "Basic128Rsa15"; }

// --- Certificates and keys through mbedtls ---

struct Certificate {
  mbedtls_x509_crt crt;
  Certificate() { mbedtls_x509_crt_init(&crt); }
  ~Certificate() { mbedtls_x509_crt_free(&crt); }
  Certificate(const Certificate&) = delete;
  Certificate& operator=(const Certificate&) = delete;
};

struct PrivateKey {
  mbedtls_pk_context pk;
  PrivateKey() { mbedtls_pk_init(&pk); }
  ~PrivateKey() { mbedtls_pk_free(&pk); }
  PrivateKey(const PrivateKey&) = delete;
  PrivateKey& operator=(const PrivateKey&) = delete;
};

struct Random {
  mbedtls_entropy_context entropy;
  mbedtls_ctr_drbg_context drbg;
  bool ready = false;
  Random() {
    mbedtls_entropy_init(&entropy);
    mbedtls_ctr_drbg_init(&drbg);
    ready = mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy, nullptr, 0) == 0;
  }
  ~Random() {
    mbedtls_ctr_drbg_free(&drbg);
    mbedtls_entropy_free(&entropy);
  }
  Random(const Random&) = delete;
  Random& operator=(const Random&) = delete;
};

const unsigned char* Bytes(const std::string& data) { return reinterpret_cast<const unsigned char*>(data.data()); }

// PEM text must reach mbedtls with its terminating zero counted.
size_t ParseLength(const std::string& data) {
  return data.find("-----BEGIN") != std::string::npos ? data.size() + 1 : data.size();
}

bool ParseCertificates(const std::string& data, Certificate& out) {
  return mbedtls_x509_crt_parse(&out.crt, Bytes(data), ParseLength(data)) == 0 && out.crt.raw.len > 0;
}

std::string Thumbprint(const unsigned char* der, size_t length) {
  std::array<unsigned char, 20> digest{};
  if (mbedtls_sha1(der, length, digest.data()) != 0) return "unknown";
  std::string hex;
  for (unsigned char byte : digest) hex += fmt::format("{:02X}", byte);
  return hex;
}

std::string Thumbprint(const std::string& der) { return Thumbprint(Bytes(der), der.size()); }

bool ReadFile(const std::string& path, std::string& out) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::ostringstream content;
  content << file.rdbuf();
  out = content.str();
  return !file.bad();
}

// The key file is readable by its owner only, from the moment it exists.
bool WriteFile(const std::string& path, const UA_ByteString& data, mode_t mode) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  size_t written = 0;
  while (written < data.length) {
    const ssize_t n = ::write(fd, data.data + written, data.length - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  const bool closed = ::close(fd) == 0;
  return written == data.length && closed;
}

std::vector<std::string> UrisOf(const Certificate& certificate) {
  std::vector<std::string> uris;
  for (const mbedtls_x509_sequence* san = &certificate.crt.subject_alt_names; san; san = san->next) {
    if (san->buf.p && (san->buf.tag & MBEDTLS_ASN1_TAG_VALUE_MASK) == MBEDTLS_X509_SAN_UNIFORM_RESOURCE_IDENTIFIER)
      uris.emplace_back(reinterpret_cast<const char*>(san->buf.p), san->buf.len);
  }
  return uris;
}

std::string HostName() {
  std::array<char, 256> name{};
  if (gethostname(name.data(), name.size() - 1) != 0 || name[0] == '\0') return "localhost";
  return name.data();
}

// The client's certificate and key in DER, as the stack's policies take them.
struct Credentials {
  std::string certificate;
  std::string key;
  std::string applicationUri;
};

// Parses both files' contents (DER or PEM), checks that they belong together and
// that the certificate names the application URI.
Result ToCredentials(const std::string& certData, const std::string& keyData, const std::string& wantedUri,
                     Credentials& out) {
  Certificate certificate;
  if (!ParseCertificates(certData, certificate)) return Invalid("certificate: not an X.509 certificate");
  Random random;
  PrivateKey key;
  if (!random.ready || mbedtls_pk_parse_key(&key.pk, Bytes(keyData), ParseLength(keyData), nullptr, 0,
                                            mbedtls_ctr_drbg_random, &random.drbg) != 0)
    return Invalid("private_key: not a private key (or one protected by a password)");
  if (mbedtls_pk_check_pair(&certificate.crt.pk, &key.pk, mbedtls_ctr_drbg_random, &random.drbg) != 0)
    return Invalid("private_key: the key does not belong to the certificate");
  std::vector<unsigned char> buffer(16384);
  const int length = mbedtls_pk_write_key_der(&key.pk, buffer.data(), buffer.size());
  if (length <= 0) return Invalid("private_key: the key cannot be encoded");
  const std::vector<std::string> uris = UrisOf(certificate);
  if (wantedUri.empty()) {
    out.applicationUri = uris.empty() ? "urn:" + HostName() + ":quarlink" : uris.front();
  } else if (std::find(uris.begin(), uris.end(), wantedUri) == uris.end()) {
    return Invalid(fmt::format("application_uri: {} is not the URI of the certificate ({})", wantedUri,
                               uris.empty() ? "it names none" : uris.front()));
  } else {
    out.applicationUri = wantedUri;
  }
  out.certificate.assign(reinterpret_cast<const char*>(certificate.crt.raw.p), certificate.crt.raw.len);
  out.key.assign(reinterpret_cast<const char*>(buffer.data() + buffer.size() - static_cast<size_t>(length)),
                 static_cast<size_t>(length));
  return {};
}

// A self-signed certificate for the application URI, in PEM or DER.
UA_StatusCode CreateCertificate(const std::string& applicationUri, UA_CertificateFormat format, UaOwned<UA_String>& key,
                                UaOwned<UA_String>& certificate) {
  const std::string host = HostName();
  const std::string commonName = "CN=quarlink@" + host;
  const std::string uri = "URI:" + applicationUri;
  const std::string dns = "DNS:" + host;
  UA_String subject[] = {UA_STRING(const_cast<char*>(commonName.c_str())), UA_STRING(const_cast<char*>("O=quarlink"))};
  UA_String altNames[] = {UA_STRING(const_cast<char*>(uri.c_str())), UA_STRING(const_cast<char*>(dns.c_str()))};
  UA_KeyValueMap* params = UA_KeyValueMap_new();
  if (!params) return UA_STATUSCODE_BADOUTOFMEMORY;
  UA_UInt16 bits = 2048;
  UA_UInt16 days = 3650;
  UA_KeyValueMap_setScalar(params, UA_QUALIFIEDNAME(0, const_cast<char*>("key-size-bits")), &bits,
                           &UA_TYPES[UA_TYPES_UINT16]);
  UA_KeyValueMap_setScalar(params, UA_QUALIFIEDNAME(0, const_cast<char*>("expires-in-days")), &days,
                           &UA_TYPES[UA_TYPES_UINT16]);
  // The stack insists on a logger; its lines about the creation add nothing to ours.
  const UA_Logger silent{nullptr, nullptr, nullptr};
  const UA_StatusCode status =
      UA_CreateCertificate(&silent, subject, 2, altNames, 2, format, params, key.get(), certificate.get());
  UA_KeyValueMap_delete(params);
  return status;
}

std::string AsString(const UA_String& bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data), bytes.length);
}

std::string EffectiveUri(const std::string& wanted) {
  return wanted.empty() ? "urn:" + HostName() + ":quarlink" : wanted;
}

// Without paths: one certificate per application URI for the whole process, so
// the sessions and reconnects of one run present the same identity.
Result ProcessCredentials(const SecuritySettings& settings, const std::string& endpoint, Credentials& out) {
  static std::mutex mutex;
  static std::map<std::string, Credentials> generated;
  const std::string uri = EffectiveUri(settings.applicationUri);
  std::lock_guard<std::mutex> lock(mutex);
  if (auto known = generated.find(uri); known != generated.end()) {
    out = known->second;
    return {};
  }
  UaOwned<UA_String> key, certificate;
  const UA_StatusCode status = CreateCertificate(uri, UA_CERTIFICATEFORMAT_DER, key, certificate);
  if (status != UA_STATUSCODE_GOOD) return StatusFromUa(status);
  Result result = ToCredentials(AsString(*certificate), AsString(*key), uri, out);
  if (result.code != ResultCode::Ok) return result;
  generated.emplace(uri, out);
  UALIB_LOG(kWarning,
            "Connect to {}: no certificate configured; using one generated for this process (SHA-1 thumbprint {}); "
            "the server sees a new certificate on every start",
            endpoint, Thumbprint(out.certificate));
  return {};
}

bool EndsWithPem(const std::string& path) { return Lower(path).ends_with(".pem"); }

Result CreateCredentialFiles(const SecuritySettings& settings) {
  const std::string uri = EffectiveUri(settings.applicationUri);
  UaOwned<UA_String> key, certificate;
  const UA_CertificateFormat format =
      EndsWithPem(settings.certificatePath) ? UA_CERTIFICATEFORMAT_PEM : UA_CERTIFICATEFORMAT_DER;
  const UA_StatusCode status = CreateCertificate(uri, format, key, certificate);
  if (status != UA_STATUSCODE_GOOD) return StatusFromUa(status);
  // O_CREAT without O_EXCL: a second process may have raced us here, and then
  // both write a matching pair; the key before the certificate, so a certificate
  // on disk always has its key.
  if (!WriteFile(settings.privateKeyPath, *key, 0600))
    return Invalid(fmt::format("private_key: cannot create {}: {}", settings.privateKeyPath, std::strerror(errno)));
  if (!WriteFile(settings.certificatePath, *certificate, 0644))
    return Invalid(fmt::format("certificate: cannot create {}: {}", settings.certificatePath, std::strerror(errno)));
  return {};
}

Result FileCredentials(const SecuritySettings& settings, Credentials& out) {
  namespace fs = std::filesystem;
  std::error_code error;
  const bool haveCert = fs::exists(settings.certificatePath, error);
  const bool haveKey = fs::exists(settings.privateKeyPath, error);
  bool created = false;
  if (!haveCert && !haveKey) {
    if (Result result = CreateCredentialFiles(settings); result.code != ResultCode::Ok) return result;
    created = true;
  }
  std::string certData, keyData;
  if (!ReadFile(settings.certificatePath, certData))
    return Invalid(fmt::format("certificate: cannot read {}", settings.certificatePath));
  if (!ReadFile(settings.privateKeyPath, keyData))
    return Invalid(fmt::format("private_key: cannot read {}", settings.privateKeyPath));
  Result result = ToCredentials(certData, keyData, settings.applicationUri, out);
  if (result.code != ResultCode::Ok) return result;
  if (created)
    UALIB_LOG(kInfo, "Created the client certificate {} (SHA-1 thumbprint {}) and its key {}; trust it on the server",
              settings.certificatePath, Thumbprint(out.certificate), settings.privateKeyPath);
  return {};
}

Result LoadCredentials(const SecuritySettings& settings, const std::string& endpoint, Credentials& out) {
  const bool cert = !settings.certificatePath.empty();
  const bool key = !settings.privateKeyPath.empty();
  if (cert != key)
    return Invalid(cert ? "private_key: missing (certificate is set)" : "certificate: missing (private_key is set)");
  return cert ? FileCredentials(settings, out) : ProcessCredentials(settings, endpoint, out);
}

// Every file of the directory that holds certificates; others are skipped.
Result LoadTrustList(const std::string& dir, std::set<std::string>& trusted) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::directory_iterator entries(dir, error);
  if (error) return Invalid(fmt::format("trust_list: cannot read {}: {}", dir, error.message()));
  for (const fs::directory_entry& entry : entries) {
    std::string data;
    Certificate certificates;
    if (!entry.is_regular_file(error) || !ReadFile(entry.path().string(), data) ||
        !ParseCertificates(data, certificates)) {
      UALIB_LOG(kDebug, "Trust list {}: skipping {} (no certificate)", dir, entry.path().filename().string());
      continue;
    }
    for (const mbedtls_x509_crt* c = &certificates.crt; c && c->raw.len > 0; c = c->next)
      trusted.insert(Thumbprint(c->raw.p, c->raw.len));
  }
  return {};
}

// --- The stack's certificate verification plugin, backed by SessionSecurity ---

void RecordRejection(SessionSecurity& security, const UA_ByteString& der) {
  security.rejectedThumbprint = Thumbprint(der.data, der.length);
  security.rejectedFile.clear();
  if (security.rejectedDir.empty()) return;
  const std::string path =
      (std::filesystem::path(security.rejectedDir) / (security.rejectedThumbprint + ".der")).string();
  if (WriteFile(path, der, 0644)) {
    security.rejectedFile = path;
  } else {
    UALIB_LOG(kWarning, "Cannot write the rejected server certificate to {}: {}", path, std::strerror(errno));
  }
}

UA_StatusCode VerifyServerCertificate(const UA_CertificateVerification* cv, const UA_ByteString* certificate) noexcept {
  auto* security = cv ? static_cast<SessionSecurity*>(cv->context) : nullptr;
  if (!security || !certificate) return UA_STATUSCODE_BADINTERNALERROR;
  try {
    if (security->acceptUntrusted) return UA_STATUSCODE_GOOD;
    Certificate parsed;
    // The stack hands over what the server sent; a chain starts with its own.
    const std::string data(reinterpret_cast<const char*>(certificate->data), certificate->length);
    if (ParseCertificates(data, parsed) &&
        security->trusted.count(Thumbprint(parsed.crt.raw.p, parsed.crt.raw.len)) > 0)
      return UA_STATUSCODE_GOOD;
    UA_ByteString der{parsed.crt.raw.len > 0 ? parsed.crt.raw.len : certificate->length,
                      parsed.crt.raw.len > 0 ? parsed.crt.raw.p : certificate->data};
    RecordRejection(*security, der);
    return UA_STATUSCODE_BADCERTIFICATEUNTRUSTED;
  } catch (...) {
    return UA_STATUSCODE_BADINTERNALERROR;
  }
}

// The URI check belongs to the server's side of the handshake; the client's own
// certificate is checked against its URI at Connect.
UA_StatusCode AcceptApplicationUri(const UA_CertificateVerification*, const UA_ByteString*, const UA_String*) noexcept {
  return UA_STATUSCODE_GOOD;
}

// The session owns the context; the stack only lets go of it.
void ReleaseVerification(UA_CertificateVerification* cv) noexcept { cv->context = nullptr; }

void InstallVerification(UA_ClientConfig* config, SessionSecurity& security) {
  UA_CertificateVerification& cv = config->certificateVerification;
  auto expiration = cv.getExpirationDate;
  auto subject = cv.getSubjectName;
  if (cv.clear) cv.clear(&cv);
  cv.context = &security;
  cv.verifyCertificate = VerifyServerCertificate;
  cv.verifyApplicationURI = AcceptApplicationUri;
  cv.getExpirationDate = expiration;
  cv.getSubjectName = subject;
  cv.clear = ReleaseVerification;
  cv.logging = config->logging;
}

UA_MessageSecurityMode StackMode(SecurityMode mode) {
  return mode == SecurityMode::Sign ? UA_MESSAGESECURITYMODE_SIGN : UA_MESSAGESECURITYMODE_SIGNANDENCRYPT;
}

void SetString(UA_String& target, const std::string& value) {
  UA_String_clear(&target);
  target = UA_String_fromChars(value.c_str());
}

// The stack's default encryption setup leaves out the SHA-1 policies; a Client
// that names one explicitly gets it added.
UA_StatusCode AddDeprecatedPolicy(UA_ClientConfig* config, const std::string& name, const UA_ByteString& cert,
                                  const UA_ByteString& key) {
  const size_t size = config->securityPoliciesSize;
  auto* grown =
      static_cast<UA_SecurityPolicy*>(UA_realloc(config->securityPolicies, sizeof(UA_SecurityPolicy) * (size + 1)));
  if (!grown) return UA_STATUSCODE_BADOUTOFMEMORY;
  config->securityPolicies = grown;
  const UA_StatusCode status = name == "Basic256"
                                   ? UA_SecurityPolicy_Basic256(&grown[size], cert, key, config->logging)
                                   : UA_SecurityPolicy_Basic128Rsa15(&grown[size], cert, key, config->logging);
  if (status == UA_STATUSCODE_GOOD) config->securityPoliciesSize = size + 1;
  return status;
}

Result ConfigureSecureChannel(ClientLock& lock, UA_ClientConfig* config, const SecuritySettings& settings,
                              const Credentials& credentials) {
  const UA_ByteString cert{credentials.certificate.size(), const_cast<UA_Byte*>(Bytes(credentials.certificate))};
  const UA_ByteString key{credentials.key.size(), const_cast<UA_Byte*>(Bytes(credentials.key))};
  const UA_StatusCode status = UA_ClientConfig_setDefaultEncryption(config, cert, key, nullptr, 0, nullptr, 0);
  if (status != UA_STATUSCODE_GOOD) return StatusFromUa(status);
  const std::string uri = kPolicyPrefix + settings.policyName;
  bool available = false;
  for (size_t i = 0; i < config->securityPoliciesSize; ++i)
    available = available || AsString(config->securityPolicies[i].policyUri) == uri;
  if (!available && Deprecated(settings.policyName)) {
    if (const UA_StatusCode added = AddDeprecatedPolicy(config, settings.policyName, cert, key);
        added != UA_STATUSCODE_GOOD)
      return StatusFromUa(added);
    available = true;
  }
  if (!available) return Invalid(fmt::format("security_policy: {} is not supported by the stack", settings.policyName));
  InstallVerification(config, *lock->security);
  // The default encryption setup writes its own URI here; it must be the one in
  // the certificate, or the server refuses the session.
  SetString(config->clientDescription.applicationUri, credentials.applicationUri);
  // Left open, the stack would pick any endpoint the server offers, None included.
  config->securityMode = StackMode(settings.mode);
  SetString(config->securityPolicyUri, uri);
  UALIB_LOG(kDebug, "Security for {}: mode={} policy={} certificate SHA-1 {} application_uri={}",
            lock.session().endpoint(), ModeWord(settings.mode), settings.policyName,
            Thumbprint(credentials.certificate), credentials.applicationUri);
  return {};
}

std::string OfferedEndpoints(ClientLock& lock, bool& matches) {
  matches = false;
  UA_Client* probe = UA_Client_new();
  if (!probe) return "";
  UA_ClientConfig* config = UA_Client_getConfig(probe);
  UA_ClientConfig_setDefault(config);
  if (config->logging) {
    config->logging->log = SdkLog;
    config->logging->context = &lock->sdkLog;
  }
  size_t count = 0;
  UA_EndpointDescription* endpoints = nullptr;
  std::string offered;
  if (UA_Client_getEndpoints(probe, lock.session().endpoint().c_str(), &count, &endpoints) == UA_STATUSCODE_GOOD) {
    UaArray owned(endpoints, count, &UA_TYPES[UA_TYPES_ENDPOINTDESCRIPTION]);
    const std::string wanted = kPolicyPrefix + lock->security->policyName;
    for (size_t i = 0; i < count; ++i) {
      const UA_EndpointDescription& e = endpoints[i];
      std::string policy = AsString(e.securityPolicyUri);
      if (policy.rfind(kPolicyPrefix, 0) == 0) policy.erase(0, std::strlen(kPolicyPrefix));
      const SecurityMode mode = e.securityMode == UA_MESSAGESECURITYMODE_SIGN             ? SecurityMode::Sign
                                : e.securityMode == UA_MESSAGESECURITYMODE_SIGNANDENCRYPT ? SecurityMode::SignAndEncrypt
                                                                                          : SecurityMode::None;
      matches = matches || (mode == lock->security->mode && AsString(e.securityPolicyUri) == wanted);
      offered += fmt::format("{}{} {}", offered.empty() ? "" : ", ", ModeWord(mode), policy);
    }
  }
  UA_Client_delete(probe);
  return offered;
}

}  // namespace

Result ParseSecuritySettings(const PropertyMap& properties, SecuritySettings& out) {
  SecuritySettings s;
  // An empty value counts as absent, as for the user name.
  auto given = [&](std::string_view key) {
    const std::string* value = properties.Get(key);
    return value && !value->empty() ? value : nullptr;
  };
  if (const std::string* mode = given("security_mode"); mode && !ParseMode(*mode, s.mode))
    return Invalid(fmt::format("security_mode: unknown mode '{}' (none, sign or sign_and_encrypt)", *mode));
  const std::string* policy = given("security_policy");
  if (policy && !ParsePolicy(*policy, s.policyName))
    return Invalid(fmt::format("security_policy: unknown policy '{}'", *policy));
  if (s.Secure() && s.policyName.empty()) {
    if (policy) return Invalid("security_policy: None cannot sign or encrypt");
    s.policyName = "Basic256Sha256";
  }
  if (!s.Secure() && !s.policyName.empty())
    return Invalid(fmt::format("security_policy: {} needs security_mode sign or sign_and_encrypt", s.policyName));
  const std::string* accept = properties.Get("accept_untrusted_server_certificate");
  if (accept && !ParseStrictBool(*accept, s.acceptUntrusted))
    return Invalid(fmt::format("accept_untrusted_server_certificate: not a boolean: '{}'", *accept));
  s.certificatePath = Get(properties, "certificate");
  s.privateKeyPath = Get(properties, "private_key");
  s.applicationUri = Get(properties, "application_uri");
  s.trustListDir = Get(properties, "trust_list");
  s.rejectedDir = Get(properties, "rejected_certificates_dir");
  out = std::move(s);
  return {};
}

std::string RegistryKeySuffix(const SecuritySettings& settings) {
  if (!settings.Secure()) return "";
  return fmt::format("|{}|{}", ModeWord(settings.mode), settings.policyName);
}

void WarnAboutSecurity(const SecuritySettings& settings, const std::string& endpoint) {
  if (!settings.Secure()) return;
  if (Deprecated(settings.policyName))
    UALIB_LOG(kWarning, "Connect to {}: security_policy {} is deprecated (SHA-1); prefer Basic256Sha256", endpoint,
              settings.policyName);
  if (settings.acceptUntrusted)
    UALIB_LOG(kWarning,
              "Connect to {}: accept_untrusted_server_certificate is set; the server's identity is not checked",
              endpoint);
}

Result ApplySecurity(ClientLock& lock, UA_ClientConfig* config, const SecuritySettings& settings, bool sendsPassword) {
  lock->security.reset();
  if (!settings.Secure()) {
    if (sendsPassword)
      UALIB_LOG(kWarning, "Connect to {}: the password travels unencrypted (security_mode none)",
                lock.session().endpoint());
    return {};
  }
  auto security = std::make_shared<SessionSecurity>();
  security->trustListDir = settings.trustListDir;
  security->rejectedDir = settings.rejectedDir;
  security->acceptUntrusted = settings.acceptUntrusted;
  security->mode = settings.mode;
  security->policyName = settings.policyName;
  if (!settings.trustListDir.empty()) {
    if (Result result = LoadTrustList(settings.trustListDir, security->trusted); result.code != ResultCode::Ok)
      return result;
  }
  Credentials credentials;
  if (Result result = LoadCredentials(settings, lock.session().endpoint(), credentials); result.code != ResultCode::Ok)
    return result;
  lock->security = std::move(security);
  return ConfigureSecureChannel(lock, config, settings, credentials);
}

Result ExplainConnectFailure(ClientLock& lock, UA_StatusCode status) {
  Result mapped = StatusFromUa(status);
  if (!lock->security) return mapped;
  SessionSecurity& security = *lock->security;
  if (!security.rejectedThumbprint.empty()) {
    std::string message =
        fmt::format("server certificate (SHA-1 thumbprint {}) is not trusted: ", security.rejectedThumbprint);
    message += security.trustListDir.empty() ? std::string("no trust_list is set; put it into one")
                                             : fmt::format("put it into the trust list {}", security.trustListDir);
    if (!security.rejectedFile.empty())
      message += fmt::format(" (the certificate was saved as {})", security.rejectedFile);
    return {ResultCode::AccessDenied, std::move(message)};
  }
  bool matches = true;
  const std::string offered = OfferedEndpoints(lock, matches);
  if (matches || offered.empty()) return mapped;
  mapped.message =
      fmt::format("the server offers no endpoint with security_mode {} and security_policy {}; it offers: {}",
                  ModeWord(security.mode), security.policyName, offered);
  return mapped;
}

}  // namespace velk::quarlink::internal
