// Secured channels: parsing the security keys, the client certificate (loaded,
// or created once and reused), the trust list and the check of the server's
// certificate that this library enforces itself. The stack's own default check
// accepts every certificate, so it is always replaced.
#include "security/security.h"

#include <fcntl.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/sha1.h>
#include <mbedtls/sha256.h>
#include <mbedtls/x509_crl.h>
#include <mbedtls/x509_crt.h>
#include <open62541/client_config_default.h>
#include <open62541/client_highlevel.h>
#include <open62541/plugin/create_certificate.h>
#include <open62541/plugin/pki_default.h>
#include <open62541/plugin/securitypolicy_default.h>
#include <sys/file.h>
#include <sys/stat.h>
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
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <vector>

#include "logging/log.h"
#include "logging/sdk_log.h"
#include "values/status.h"
#include "values/ua_types.h"

namespace velk::quarlink::internal {

using tessel::fnd::defs::PropertyMap;
using tessel::fnd::defs::Result;
using tessel::fnd::defs::ResultCode;

namespace {

struct Certificate {
  mbedtls_x509_crt crt;
  Certificate() { mbedtls_x509_crt_init(&crt); }
  ~Certificate() { mbedtls_x509_crt_free(&crt); }
  Certificate(const Certificate&) = delete;
  Certificate& operator=(const Certificate&) = delete;
};

struct RevocationLists {
  mbedtls_x509_crl crl;
  RevocationLists() { mbedtls_x509_crl_init(&crl); }
  ~RevocationLists() { mbedtls_x509_crl_free(&crl); }
  RevocationLists(const RevocationLists&) = delete;
  RevocationLists& operator=(const RevocationLists&) = delete;
  bool Empty() const { return crl.raw.len == 0; }
};

}  // namespace

enum class Refusal { Untrusted, Expired, NotYetValid, IssuerOutsideValidity, Revoked };

struct SessionSecurity {
  std::set<std::string> trusted;  // SHA-1 thumbprints of the trust list's certificates
  Certificate authorities;        // the same certificates, as the anchors of CA-issued chains
  RevocationLists revoked;
  std::string trustListDir;
  std::string rejectedDir;
  std::string revocationListDir;
  bool acceptUntrusted = false;
  bool acceptExpired = false;
  bool sendsPassword = false;
  SecurityMode mode = SecurityMode::None;
  std::string policyName;
  // The last server certificate the check refused, and why.
  std::optional<Refusal> refusal;
  std::string refusedThumbprint;
  std::string refusedDetail;  // the validity date a time refusal names
  std::string refusedFile;
  std::string serverCertificate;  // DER of the last one accepted
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
bool WriteFile(const std::string& path, const UA_ByteString& data, mode_t mode, int createFlags = O_TRUNC) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | createFlags, mode);
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
  bool created = false;  // the files were created just now
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
  UALIB_LOG(
      kWarning,
      "Security warning for {}: no certificate configured; using one generated for this process (SHA-1 thumbprint {}); "
      "the server sees a new certificate on every start",
      endpoint, Thumbprint(out.certificate));
  return {};
}

bool EndsWithPem(const std::string& path) { return Lower(path).ends_with(".pem"); }

// Written under a temporary name and renamed into place: a file of the final name
// is always complete.
bool WriteInPlace(const std::string& path, const UA_ByteString& data, mode_t mode) {
  const std::string temporary = path + ".partial";
  ::unlink(temporary.c_str());  // left by a process that died while writing
  if (WriteFile(temporary, data, mode, O_EXCL) && ::rename(temporary.c_str(), path.c_str()) == 0) return true;
  const int failure = errno;
  ::unlink(temporary.c_str());
  errno = failure;
  return false;
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

// Held while a process looks for the pair and creates it, so two hosts starting at
// once cannot both create one and leave a key beside the other's certificate.
// Closing the descriptor releases it.
std::unique_ptr<Descriptor> LockFolderOf(const std::string& path) {
  std::string folder = std::filesystem::path(path).parent_path().string();
  if (folder.empty()) folder = ".";
  auto lock = std::make_unique<Descriptor>(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // Without the lock (an unreadable folder) creating fails on its own anyway.
  if (lock->Get() >= 0) ::flock(lock->Get(), LOCK_EX);
  return lock;
}

Result CreateCredentialFiles(const SecuritySettings& settings) {
  const std::string uri = EffectiveUri(settings.applicationUri);
  UaOwned<UA_String> key, certificate;
  const UA_CertificateFormat format =
      EndsWithPem(settings.certificatePath) ? UA_CERTIFICATEFORMAT_PEM : UA_CERTIFICATEFORMAT_DER;
  const UA_StatusCode status = CreateCertificate(uri, format, key, certificate);
  if (status != UA_STATUSCODE_GOOD) return StatusFromUa(status);
  // The key before the certificate, so a certificate on disk always has its key.
  if (!WriteInPlace(settings.privateKeyPath, *key, 0600))
    return Invalid(fmt::format("private_key: cannot create {}: {}", settings.privateKeyPath, std::strerror(errno)));
  if (!WriteInPlace(settings.certificatePath, *certificate, 0644))
    return Invalid(fmt::format("certificate: cannot create {}: {}", settings.certificatePath, std::strerror(errno)));
  return {};
}

Result CreateCredentialFilesIfAbsent(const SecuritySettings& settings, bool& created) {
  namespace fs = std::filesystem;
  const std::unique_ptr<Descriptor> lock = LockFolderOf(settings.privateKeyPath);
  std::error_code error;
  if (fs::exists(settings.certificatePath, error) || fs::exists(settings.privateKeyPath, error)) return {};
  created = true;
  return CreateCredentialFiles(settings);
}

// A key others can read is as good as theirs.
Result CheckKeyFileMode(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || (info.st_mode & (S_IRWXG | S_IRWXO)) == 0) return {};
  return Invalid(fmt::format("private_key: {} is accessible to group or others (mode {:04o}); chmod 600 it", path,
                             info.st_mode & 07777));
}

Result FileCredentials(const SecuritySettings& settings, Credentials& out) {
  bool created = false;
  if (Result result = CreateCredentialFilesIfAbsent(settings, created); result.code != ResultCode::Ok) return result;
  if (Result result = CheckKeyFileMode(settings.privateKeyPath); result.code != ResultCode::Ok) return result;
  std::string certData, keyData;
  if (!ReadFile(settings.certificatePath, certData))
    return Invalid(fmt::format("certificate: cannot read {}", settings.certificatePath));
  if (!ReadFile(settings.privateKeyPath, keyData))
    return Invalid(fmt::format("private_key: cannot read {}", settings.privateKeyPath));
  Result result = ToCredentials(certData, keyData, settings.applicationUri, out);
  if (result.code != ResultCode::Ok) return result;
  out.created = created;
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

// Every file of the directory that holds certificates; others are skipped. Each
// certificate is trusted by its thumbprint, and as the issuer of others.
Result LoadTrustList(const std::string& dir, SessionSecurity& security) {
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
    for (const mbedtls_x509_crt* c = &certificates.crt; c && c->raw.len > 0; c = c->next) {
      security.trusted.insert(Thumbprint(c->raw.p, c->raw.len));
      mbedtls_x509_crt_parse_der(&security.authorities.crt, c->raw.p, c->raw.len);
    }
  }
  return {};
}

// Unlike the trust list, a file that is not a revocation list is refused: skipping
// it would silently trust what it revokes.
Result LoadRevocationLists(const std::string& dir, RevocationLists& lists) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::directory_iterator entries(dir, error);
  if (error) return Invalid(fmt::format("revocation_list: cannot read {}: {}", dir, error.message()));
  for (const fs::directory_entry& entry : entries) {
    if (!entry.is_regular_file(error)) continue;
    std::string data;
    if (!ReadFile(entry.path().string(), data) ||
        mbedtls_x509_crl_parse(&lists.crl, Bytes(data), ParseLength(data)) != 0)
      return Invalid(fmt::format("revocation_list: {} is not a certificate revocation list", entry.path().string()));
  }
  return {};
}

// --- The stack's certificate verification plugin, backed by SessionSecurity ---

void RecordRejection(SessionSecurity& security, const UA_ByteString& der, Refusal refusal, std::string detail) {
  security.refusal = refusal;
  security.refusedThumbprint = Thumbprint(der.data, der.length);
  security.refusedDetail = std::move(detail);
  security.refusedFile.clear();
  if (security.rejectedDir.empty()) return;
  const std::string path =
      (std::filesystem::path(security.rejectedDir) / (security.refusedThumbprint + ".der")).string();
  if (WriteFile(path, der, 0644)) {
    security.refusedFile = path;
  } else {
    UALIB_LOG(kWarning, "Cannot write the rejected server certificate to {}: {}", path, std::strerror(errno));
  }
}

std::string TimeText(const mbedtls_x509_time& time) {
  return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02} UTC", time.year, time.mon, time.day, time.hour, time.min,
                     time.sec);
}

// Servers of the SHA-1 policies often carry SHA-1 signed or 1024-bit certificates;
// which algorithms a channel may use is the security policy's business.
const mbedtls_x509_crt_profile kAnyAlgorithm{0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 1024};

// Trusted: inside its validity period (unless accept_expired_server_certificate)
// and either in the trust list itself or issued by a certificate of it, not
// revoked by a list of that issuer.
std::optional<Refusal> Judge(SessionSecurity& security, mbedtls_x509_crt& certificate, std::string& detail) {
  if (!security.acceptExpired && mbedtls_x509_time_is_past(&certificate.valid_to)) {
    detail = TimeText(certificate.valid_to);
    return Refusal::Expired;
  }
  if (!security.acceptExpired && mbedtls_x509_time_is_future(&certificate.valid_from)) {
    detail = TimeText(certificate.valid_from);
    return Refusal::NotYetValid;
  }
  uint32_t flags = MBEDTLS_X509_BADCERT_NOT_TRUSTED;
  if (security.authorities.crt.raw.len > 0)
    mbedtls_x509_crt_verify_with_profile(&certificate, &security.authorities.crt,
                                         security.revoked.Empty() ? nullptr : &security.revoked.crl, &kAnyAlgorithm,
                                         nullptr, &flags, nullptr, nullptr);
  if (flags & MBEDTLS_X509_BADCERT_REVOKED) return Refusal::Revoked;
  if (security.trusted.count(Thumbprint(certificate.raw.p, certificate.raw.len)) > 0) return std::nullopt;
  // A list past its next update still revokes what it names; one that fails its
  // signature check is ignored.
  flags &= ~(MBEDTLS_X509_BADCRL_EXPIRED | MBEDTLS_X509_BADCRL_FUTURE | MBEDTLS_X509_BADCRL_NOT_TRUSTED);
  constexpr uint32_t kOutsideValidity = MBEDTLS_X509_BADCERT_EXPIRED | MBEDTLS_X509_BADCERT_FUTURE;
  if (security.acceptExpired) flags &= ~kOutsideValidity;
  if (flags == 0) return std::nullopt;
  return (flags & MBEDTLS_X509_BADCERT_NOT_TRUSTED) ? Refusal::Untrusted : Refusal::IssuerOutsideValidity;
}

UA_StatusCode RefusalStatus(Refusal refusal) {
  switch (refusal) {
    case Refusal::Expired:
    case Refusal::NotYetValid:
      return UA_STATUSCODE_BADCERTIFICATETIMEINVALID;
    case Refusal::IssuerOutsideValidity:
      return UA_STATUSCODE_BADCERTIFICATEISSUERTIMEINVALID;
    case Refusal::Revoked:
      return UA_STATUSCODE_BADCERTIFICATEREVOKED;
    case Refusal::Untrusted:
      break;
  }
  return UA_STATUSCODE_BADCERTIFICATEUNTRUSTED;
}

UA_StatusCode VerifyServerCertificate(const UA_CertificateVerification* cv, const UA_ByteString* certificate) noexcept {
  auto* security = cv ? static_cast<SessionSecurity*>(cv->context) : nullptr;
  if (!security || !certificate) return UA_STATUSCODE_BADINTERNALERROR;
  try {
    Certificate parsed;
    // The stack hands over what the server sent; a chain starts with its own.
    const std::string data(reinterpret_cast<const char*>(certificate->data), certificate->length);
    std::optional<Refusal> refusal = Refusal::Untrusted;
    std::string detail;
    const bool parsedOk = ParseCertificates(data, parsed);
    if (parsedOk && !security->acceptUntrusted) refusal = Judge(*security, parsed.crt, detail);
    if (!refusal || security->acceptUntrusted) {
      security->serverCertificate =
          parsedOk ? std::string(reinterpret_cast<const char*>(parsed.crt.raw.p), parsed.crt.raw.len) : std::string();
      return UA_STATUSCODE_GOOD;
    }
    UA_ByteString der{parsed.crt.raw.len > 0 ? parsed.crt.raw.len : certificate->length,
                      parsed.crt.raw.len > 0 ? parsed.crt.raw.p : certificate->data};
    RecordRejection(*security, der, *refusal, std::move(detail));
    return RefusalStatus(*refusal);
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

UA_StatusCode AppendPolicy(UA_SecurityPolicy*& policies, size_t& size, const std::string& name,
                           const UA_ByteString& cert, const UA_ByteString& key, const UA_Logger* logging) {
  auto* grown = static_cast<UA_SecurityPolicy*>(UA_realloc(policies, sizeof(UA_SecurityPolicy) * (size + 1)));
  if (!grown) return UA_STATUSCODE_BADOUTOFMEMORY;
  policies = grown;
  const UA_StatusCode status = name == "Basic256" ? UA_SecurityPolicy_Basic256(&grown[size], cert, key, logging)
                                                  : UA_SecurityPolicy_Basic128Rsa15(&grown[size], cert, key, logging);
  if (status == UA_STATUSCODE_GOOD) ++size;
  return status;
}

// The stack's default encryption setup leaves out the SHA-1 policies; a Client
// that names one explicitly gets it added, for the channel and for the user token
// (which the server may ask to encrypt with the channel's policy).
UA_StatusCode AddDeprecatedPolicy(UA_ClientConfig* config, const std::string& name, const UA_ByteString& cert,
                                  const UA_ByteString& key) {
  const UA_StatusCode status =
      AppendPolicy(config->securityPolicies, config->securityPoliciesSize, name, cert, key, config->logging);
  if (status != UA_STATUSCODE_GOOD) return status;
  return AppendPolicy(config->authSecurityPolicies, config->authSecurityPoliciesSize, name, cert, key, config->logging);
}

Result ConfigureSecureChannel(const SecuredSession& session, UA_ClientConfig* config, const SecuritySettings& settings,
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
  InstallVerification(config, *session.security);
  // The default encryption setup writes its own URI here; it must be the one in
  // the certificate, or the server refuses the session.
  SetString(config->clientDescription.applicationUri, credentials.applicationUri);
  // Left open, the stack would pick any endpoint the server offers, None included.
  config->securityMode = StackMode(settings.mode);
  SetString(config->securityPolicyUri, uri);
  // A sign channel does not hide a token the server asks for unencrypted: demand
  // the channel's policy for it; a server that offers only that fails the connect.
  if (settings.mode == SecurityMode::Sign && session.security->sendsPassword)
    SetString(config->authSecurityPolicyUri, uri);
  UALIB_LOG(kDebug, "Security for {}: mode={} policy={} certificate SHA-1 {} application_uri={}", session.endpoint,
            ModeWord(settings.mode), settings.policyName, Thumbprint(credentials.certificate),
            credentials.applicationUri);
  return {};
}

struct EndpointSurvey {
  std::string offered;   // "<mode> <policy>" of every endpoint
  bool matches = false;  // one has the Client's mode and policy
  // Every user-name token of those endpoints would travel unencrypted.
  bool passwordOnlyInClear = false;
};

bool PasswordOnlyInClear(const UA_EndpointDescription& endpoint) {
  bool clear = false;
  for (size_t i = 0; i < endpoint.userIdentityTokensSize; ++i) {
    const UA_UserTokenPolicy& token = endpoint.userIdentityTokens[i];
    if (token.tokenType != UA_USERTOKENTYPE_USERNAME) continue;
    const std::string uri =
        token.securityPolicyUri.length > 0 ? AsString(token.securityPolicyUri) : AsString(endpoint.securityPolicyUri);
    if (uri != std::string(kPolicyPrefix) + "None") return false;
    clear = true;
  }
  return clear;
}

EndpointSurvey SurveyEndpoints(const SecuredSession& session) {
  EndpointSurvey survey;
  UA_Client* probe = UA_Client_new();
  if (!probe) return survey;
  UA_ClientConfig* config = UA_Client_getConfig(probe);
  UA_ClientConfig_setDefault(config);
  if (config->logging) {
    config->logging->log = SdkLog;
    config->logging->context = &session.sdkLog;
  }
  size_t count = 0;
  UA_EndpointDescription* endpoints = nullptr;
  if (UA_Client_getEndpoints(probe, session.endpoint.c_str(), &count, &endpoints) == UA_STATUSCODE_GOOD) {
    UaArray owned(endpoints, count, &UA_TYPES[UA_TYPES_ENDPOINTDESCRIPTION]);
    const std::string wanted = kPolicyPrefix + session.security->policyName;
    for (size_t i = 0; i < count; ++i) {
      const UA_EndpointDescription& e = endpoints[i];
      std::string policy = AsString(e.securityPolicyUri);
      if (policy.rfind(kPolicyPrefix, 0) == 0) policy.erase(0, std::strlen(kPolicyPrefix));
      const SecurityMode mode = e.securityMode == UA_MESSAGESECURITYMODE_SIGN             ? SecurityMode::Sign
                                : e.securityMode == UA_MESSAGESECURITYMODE_SIGNANDENCRYPT ? SecurityMode::SignAndEncrypt
                                                                                          : SecurityMode::None;
      if (mode == session.security->mode && AsString(e.securityPolicyUri) == wanted) {
        survey.passwordOnlyInClear = (!survey.matches || survey.passwordOnlyInClear) && PasswordOnlyInClear(e);
        survey.matches = true;
      }
      survey.offered += fmt::format("{}{} {}", survey.offered.empty() ? "" : ", ", ModeWord(mode), policy);
    }
  }
  UA_Client_delete(probe);
  return survey;
}

std::string RefusalMessage(const SessionSecurity& security) {
  const std::string subject = fmt::format("server certificate (SHA-1 thumbprint {})", security.refusedThumbprint);
  std::string message;
  switch (*security.refusal) {
    case Refusal::Expired:
      message = fmt::format("{} has expired: it was valid until {}", subject, security.refusedDetail);
      break;
    case Refusal::NotYetValid:
      message = fmt::format("{} is not yet valid: it is valid from {}", subject, security.refusedDetail);
      break;
    case Refusal::IssuerOutsideValidity:
      message = fmt::format("{} was issued by a CA certificate that has expired or is not yet valid", subject);
      break;
    case Refusal::Revoked:
      message = fmt::format("{} is revoked by a list in {}", subject, security.revocationListDir);
      break;
    case Refusal::Untrusted:
      message = fmt::format(
          "{} is not trusted: {}", subject,
          security.trustListDir.empty()
              ? std::string("no trust_list is set; put it into one")
              : fmt::format("put it (or its issuer's certificate) into the trust list {}", security.trustListDir));
      break;
  }
  if (!security.refusedFile.empty()) message += fmt::format(" (the certificate was saved as {})", security.refusedFile);
  return message;
}

// A digest of fields that cannot run into one another, salted with random bytes
// drawn once per process: equal only for equal fields, and no password can be
// recovered from it outside the process.
std::string SaltedDigest(std::initializer_list<std::string_view> fields) {
  static const std::array<uint32_t, 8> salt = [] {
    std::random_device device;
    std::array<uint32_t, 8> bytes{};
    for (uint32_t& word : bytes) word = device();
    return bytes;
  }();
  std::string input(reinterpret_cast<const char*>(salt.data()), sizeof salt);
  for (std::string_view field : fields) {
    input += std::to_string(field.size()) + ":";
    input += field;
  }
  std::array<unsigned char, 32> digest{};
  mbedtls_sha256(Bytes(input), input.size(), digest.data(), 0);
  mbedtls_platform_zeroize(input.data(), input.size());
  std::string hex;
  for (size_t i = 0; i < 16; ++i) hex += fmt::format("{:02x}", digest[i]);
  return hex;
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
  for (auto [key, flag] : {std::pair{"accept_untrusted_server_certificate", &s.acceptUntrusted},
                           std::pair{"accept_expired_server_certificate", &s.acceptExpired}}) {
    const std::string* text = properties.Get(key);
    if (text && !ParseStrictBool(*text, *flag)) return Invalid(fmt::format("{}: not a boolean: '{}'", key, *text));
    if (*flag && !s.Secure()) return Invalid(fmt::format("{}: needs security_mode sign or sign_and_encrypt", key));
  }
  for (auto [key, field] :
       {std::pair{"certificate", &s.certificatePath}, std::pair{"private_key", &s.privateKeyPath},
        std::pair{"application_uri", &s.applicationUri}, std::pair{"trust_list", &s.trustListDir},
        std::pair{"rejected_certificates_dir", &s.rejectedDir}, std::pair{"revocation_list", &s.revocationListDir}}) {
    *field = Get(properties, key);
    // Nothing meant for a secured channel may quietly end up on a plain one.
    if (!field->empty() && !s.Secure())
      return Invalid(fmt::format("{}: needs security_mode sign or sign_and_encrypt", key));
  }
  out = std::move(s);
  return {};
}

std::string RegistryKey(const std::string& endpoint, const std::string& username, const std::string& password,
                        const SecuritySettings& s) {
  std::string key = endpoint + "|" + username;
  if (!s.Secure() && password.empty()) return key;
  if (s.Secure()) key += fmt::format("|{}|{}", ModeWord(s.mode), s.policyName);
  return key + "|#" +
         SaltedDigest({endpoint, username, password, ModeWord(s.mode), s.policyName, s.certificatePath,
                       s.privateKeyPath, s.applicationUri, s.trustListDir, s.rejectedDir, s.revocationListDir,
                       s.acceptUntrusted ? "1" : "0", s.acceptExpired ? "1" : "0"});
}

void WarnAboutSecurity(const SecuritySettings& settings, const std::string& endpoint) {
  if (!settings.Secure()) return;
  if (Deprecated(settings.policyName))
    UALIB_LOG(kWarning, "Security warning for {}: security_policy {} is deprecated (SHA-1); prefer Basic256Sha256",
              endpoint, settings.policyName);
  if (settings.acceptUntrusted)
    UALIB_LOG(kWarning,
              "Security warning for {}: accept_untrusted_server_certificate is set; the server's identity is not "
              "checked",
              endpoint);
  if (settings.acceptExpired)
    UALIB_LOG(kWarning,
              "Security warning for {}: accept_expired_server_certificate is set; a server certificate outside its "
              "validity period is accepted",
              endpoint);
}

Result ApplySecurity(const SecuredSession& session, UA_ClientConfig* config, const SecuritySettings& settings,
                     bool sendsPassword) {
  session.security.reset();
  if (!settings.Secure()) {
    if (sendsPassword)
      UALIB_LOG(kWarning, "Security warning for {}: the password travels unencrypted (security_mode none)",
                session.endpoint);
    return {};
  }
  auto security = std::make_shared<SessionSecurity>();
  security->trustListDir = settings.trustListDir;
  security->rejectedDir = settings.rejectedDir;
  security->revocationListDir = settings.revocationListDir;
  security->acceptUntrusted = settings.acceptUntrusted;
  security->acceptExpired = settings.acceptExpired;
  security->sendsPassword = sendsPassword;
  security->mode = settings.mode;
  security->policyName = settings.policyName;
  if (!settings.trustListDir.empty()) {
    if (Result result = LoadTrustList(settings.trustListDir, *security); result.code != ResultCode::Ok) return result;
  }
  if (!settings.revocationListDir.empty()) {
    if (Result result = LoadRevocationLists(settings.revocationListDir, security->revoked);
        result.code != ResultCode::Ok)
      return result;
  }
  Credentials credentials;
  if (Result result = LoadCredentials(settings, session.endpoint, credentials); result.code != ResultCode::Ok)
    return result;
  session.security = std::move(security);
  return ConfigureSecureChannel(session, config, settings, credentials);
}

Result LoadClientCertificate(const SecuritySettings& settings, const std::string& endpoint, ClientCertificate& out) {
  Credentials credentials;
  if (Result result = LoadCredentials(settings, endpoint, credentials); result.code != ResultCode::Ok) return result;
  out.der = std::move(credentials.certificate);
  out.applicationUri = std::move(credentials.applicationUri);
  out.created = credentials.created;
  return {};
}

// The server's own URI is the first entry of its ServerArray.
void CheckServerApplicationUri(const SecuredSession& session, UA_Client* client) {
  if (!session.security) return;
  UaOwned<UA_Variant> servers;
  Certificate certificate;
  if (UA_Client_readValueAttribute(client, UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER_SERVERARRAY), servers.get()) !=
          UA_STATUSCODE_GOOD ||
      !UA_Variant_hasArrayType(servers.get(), &UA_TYPES[UA_TYPES_STRING]) || servers->arrayLength == 0 ||
      !ParseCertificates(session.security->serverCertificate, certificate))
    return;
  const std::string described = AsString(static_cast<const UA_String*>(servers->data)[0]);
  if (described.empty()) return;
  const std::vector<std::string> uris = UrisOf(certificate);
  if (std::find(uris.begin(), uris.end(), described) != uris.end()) return;
  UALIB_LOG(kWarning,
            "Security warning for {}: the server describes itself as {}, but its certificate names {}; is it the "
            "server you meant?",
            session.endpoint, described, uris.empty() ? std::string("no application URI") : uris.front());
}

Result ExplainConnectFailure(const SecuredSession& session, UA_StatusCode status) {
  Result mapped = StatusFromUa(status);
  if (!session.security) return mapped;
  SessionSecurity& security = *session.security;
  if (security.refusal) return {ResultCode::AccessDenied, RefusalMessage(security)};
  const EndpointSurvey survey = SurveyEndpoints(session);
  if (survey.matches && survey.passwordOnlyInClear && security.sendsPassword && security.mode == SecurityMode::Sign)
    return {ResultCode::AccessDenied,
            "the server takes the password over a sign channel only unencrypted; refused (use security_mode "
            "sign_and_encrypt)"};
  if (survey.matches || survey.offered.empty()) return mapped;
  mapped.message =
      fmt::format("the server offers no endpoint with security_mode {} and security_policy {}; it offers: {}",
                  ModeWord(security.mode), security.policyName, survey.offered);
  return mapped;
}

}  // namespace velk::quarlink::internal
