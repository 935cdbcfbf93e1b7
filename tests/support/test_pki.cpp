#include "test_pki.h"

#include <mbedtls/asn1write.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/oid.h>
#include <mbedtls/pk.h>
#include <mbedtls/rsa.h>
#include <mbedtls/sha256.h>
#include <mbedtls/x509_crt.h>

#include <array>
#include <chrono>
#include <ctime>
#include <stdexcept>

namespace ualib_test {
namespace {

constexpr const char* kCaName = "CN=ualib test CA,O=ualib";

void Check(int status, const char* what) {
  if (status < 0) throw std::runtime_error(std::string("test PKI: ") + what + " failed");
}

// "YYYYMMDDhhmmss" (certificates) or "YYMMDDhhmmssZ" (revocation lists), days from now.
std::string TimeFromNow(int days, const char* format) {
  const std::time_t when = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()) + days * 86400L;
  std::tm parts{};
  gmtime_r(&when, &parts);
  std::array<char, 32> text{};
  std::strftime(text.data(), text.size(), format, &parts);
  return text.data();
}

struct Key {
  mbedtls_pk_context pk;
  Key() { mbedtls_pk_init(&pk); }
  ~Key() { mbedtls_pk_free(&pk); }
};

}  // namespace

struct TestAuthority::State {
  mbedtls_entropy_context entropy;
  mbedtls_ctr_drbg_context drbg;
  Key key;
  std::string certificate;
  std::string subject;  // the DER of its name, the issuer of what it signs
  State() {
    mbedtls_entropy_init(&entropy);
    mbedtls_ctr_drbg_init(&drbg);
    Check(mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy, nullptr, 0), "seed");
  }
  ~State() {
    mbedtls_ctr_drbg_free(&drbg);
    mbedtls_entropy_free(&entropy);
  }
  void Generate(Key& out) {
    Check(mbedtls_pk_setup(&out.pk, mbedtls_pk_info_from_type(MBEDTLS_PK_RSA)), "pk setup");
    Check(mbedtls_rsa_gen_key(mbedtls_pk_rsa(out.pk), mbedtls_ctr_drbg_random, &drbg, 2048, 65537), "RSA key");
  }
  std::string Write(Key& subjectKey, Key& issuerKey, const std::string& subjectName, const std::string& uri, int serial,
                    int fromDays, int untilDays, bool ca) {
    mbedtls_x509write_cert crt;
    mbedtls_x509write_crt_init(&crt);
    mbedtls_x509write_crt_set_version(&crt, MBEDTLS_X509_CRT_VERSION_3);
    mbedtls_x509write_crt_set_md_alg(&crt, MBEDTLS_MD_SHA256);
    mbedtls_x509write_crt_set_subject_key(&crt, &subjectKey.pk);
    mbedtls_x509write_crt_set_issuer_key(&crt, &issuerKey.pk);
    unsigned char serialByte = static_cast<unsigned char>(serial);
    std::array<unsigned char, 4096> buffer{};
    mbedtls_x509_san_list san{};
    san.node.type = MBEDTLS_X509_SAN_UNIFORM_RESOURCE_IDENTIFIER;
    san.node.san.unstructured_name.p = reinterpret_cast<unsigned char*>(const_cast<char*>(uri.data()));
    san.node.san.unstructured_name.len = uri.size();
    const int usage = ca ? MBEDTLS_X509_KU_KEY_CERT_SIGN | MBEDTLS_X509_KU_CRL_SIGN
                         : MBEDTLS_X509_KU_DIGITAL_SIGNATURE | MBEDTLS_X509_KU_NON_REPUDIATION |
                               MBEDTLS_X509_KU_KEY_ENCIPHERMENT | MBEDTLS_X509_KU_DATA_ENCIPHERMENT;
    int length = 0;
    if (mbedtls_x509write_crt_set_subject_name(&crt, subjectName.c_str()) == 0 &&
        mbedtls_x509write_crt_set_issuer_name(&crt, ca || &subjectKey == &issuerKey ? subjectName.c_str() : kCaName) ==
            0 &&
        mbedtls_x509write_crt_set_serial_raw(&crt, &serialByte, 1) == 0 &&
        mbedtls_x509write_crt_set_validity(&crt, TimeFromNow(fromDays, "%Y%m%d%H%M%S").c_str(),
                                           TimeFromNow(untilDays, "%Y%m%d%H%M%S").c_str()) == 0 &&
        mbedtls_x509write_crt_set_basic_constraints(&crt, ca ? 1 : 0, -1) == 0 &&
        mbedtls_x509write_crt_set_key_usage(&crt, static_cast<unsigned int>(usage)) == 0 &&
        (uri.empty() || mbedtls_x509write_crt_set_subject_alternative_name(&crt, &san) == 0))
      length = mbedtls_x509write_crt_der(&crt, buffer.data(), buffer.size(), mbedtls_ctr_drbg_random, &drbg);
    mbedtls_x509write_crt_free(&crt);
    Check(length > 0 ? 0 : -1, "certificate");
    return std::string(reinterpret_cast<char*>(buffer.data() + buffer.size() - length), static_cast<size_t>(length));
  }
};

TestAuthority::TestAuthority() : state_(std::make_unique<State>()) {
  state_->Generate(state_->key);
  state_->certificate = state_->Write(state_->key, state_->key, kCaName, "", 1, -1, 365, true);
  mbedtls_x509_crt parsed;
  mbedtls_x509_crt_init(&parsed);
  Check(mbedtls_x509_crt_parse_der(&parsed, reinterpret_cast<const unsigned char*>(state_->certificate.data()),
                                   state_->certificate.size()),
        "parse CA");
  state_->subject.assign(reinterpret_cast<char*>(parsed.subject_raw.p), parsed.subject_raw.len);
  mbedtls_x509_crt_free(&parsed);
}

TestAuthority::~TestAuthority() = default;

const std::string& TestAuthority::Certificate() const { return state_->certificate; }

IssuedPair TestAuthority::Issue(const std::string& uri, int serial, int fromDays, int untilDays,
                                bool selfSigned) const {
  Key key;
  state_->Generate(key);
  IssuedPair pair;
  pair.certificate = state_->Write(key, selfSigned ? key : state_->key, "CN=ualib test server,O=ualib", uri, serial,
                                   fromDays, untilDays, false);
  std::array<unsigned char, 4096> buffer{};
  const int length = mbedtls_pk_write_key_der(&key.pk, buffer.data(), buffer.size());
  Check(length, "key");
  pair.key.assign(reinterpret_cast<char*>(buffer.data() + buffer.size() - length), static_cast<size_t>(length));
  return pair;
}

// Written back to front, as mbedtls's writers go.
std::string TestAuthority::RevocationList(const std::vector<int>& serials) const {
  std::array<unsigned char, 8192> buffer{};
  unsigned char* const start = buffer.data();
  unsigned char* p = start + buffer.size();
  auto time = [&](int days) {
    const std::string text = TimeFromNow(days, "%y%m%d%H%M%SZ");
    return mbedtls_asn1_write_tagged_string(&p, start, MBEDTLS_ASN1_UTC_TIME, text.data(), text.size());
  };
  auto sequence = [&](int length) {
    length += mbedtls_asn1_write_len(&p, start, static_cast<size_t>(length));
    return length + mbedtls_asn1_write_tag(&p, start, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE);
  };
  auto algorithm = [&] {
    return mbedtls_asn1_write_algorithm_identifier(&p, start, MBEDTLS_OID_PKCS1_SHA256,
                                                   MBEDTLS_OID_SIZE(MBEDTLS_OID_PKCS1_SHA256), 0);
  };
  int revoked = 0;
  for (int serial : serials) {
    int entry = time(-1);
    entry += mbedtls_asn1_write_int(&p, start, serial);
    revoked += sequence(entry);
  }
  int tbs = sequence(revoked);
  tbs += time(30);  // next update
  tbs += time(-1);  // this update
  p -= state_->subject.size();
  std::copy(state_->subject.begin(), state_->subject.end(), p);
  tbs += static_cast<int>(state_->subject.size());
  tbs += algorithm();
  tbs += mbedtls_asn1_write_int(&p, start, 1);  // version 2
  tbs = sequence(tbs);
  const std::string signedPart(reinterpret_cast<char*>(p), static_cast<size_t>(tbs));

  std::array<unsigned char, 32> hash{};
  Check(mbedtls_sha256(reinterpret_cast<const unsigned char*>(signedPart.data()), signedPart.size(), hash.data(), 0),
        "hash");
  std::array<unsigned char, MBEDTLS_PK_SIGNATURE_MAX_SIZE> signature{};
  size_t signatureLength = 0;
  Check(mbedtls_pk_sign(&state_->key.pk, MBEDTLS_MD_SHA256, hash.data(), hash.size(), signature.data(),
                        signature.size(), &signatureLength, mbedtls_ctr_drbg_random, &state_->drbg),
        "sign");
  p = start + buffer.size();  // the whole list: tbs, algorithm, signature
  int tail = mbedtls_asn1_write_bitstring(&p, start, signature.data(), signatureLength * 8);
  tail += algorithm();
  p -= signedPart.size();
  std::copy(signedPart.begin(), signedPart.end(), p);
  const int total = sequence(tail + tbs);
  return std::string(reinterpret_cast<char*>(p), static_cast<size_t>(total));
}

}  // namespace ualib_test
