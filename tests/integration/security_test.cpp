// Signed and encrypted channels, the client certificate and the trust in the server.
#include <gtest/gtest.h>
#include <mbedtls/sha1.h>
#include <open62541/plugin/create_certificate.h>
#include <sys/stat.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "adapter_helpers.h"
#include "log_capture.h"
#include "notification_recorder.h"
#include "session/session.h"
#include "tcp_proxy.h"
#include "test_pki.h"
#include "test_server.h"

namespace {

namespace fs = std::filesystem;
using namespace tessel::fnd::defs;
using namespace std::chrono_literals;
using ualib_test::LiveSessionWithDigest;
using ualib_test::LogCapture;
using ualib_test::Node;
using ualib_test::NotificationRecorder;
using ualib_test::Options;
using ualib_test::ReadsOk;
using ualib_test::TcpProxy;
using ualib_test::TestServer;
using ualib_test::WaitFor;
using velk::quarlink::Client;
using Properties = std::initializer_list<std::pair<std::string, std::string>>;

std::string Slurp(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

std::string Sha1Hex(const std::string& der) {
  std::array<unsigned char, 20> digest{};
  mbedtls_sha1(reinterpret_cast<const unsigned char*>(der.data()), der.size(), digest.data());
  std::string hex;
  static const char digits[] = "0123456789ABCDEF";
  for (unsigned char byte : digest) hex += {digits[byte >> 4], digits[byte & 15]};
  return hex;
}

// The test binary's own temporary folder.
const fs::path& Root() {
  static const fs::path root = [] {
    std::string pattern = (fs::temp_directory_path() / "ualib-security-XXXXXX").string();
    return fs::path(mkdtemp(pattern.data()));
  }();
  return root;
}

fs::path Dir(const std::string& name) {
  fs::create_directories(Root() / name);
  return Root() / name;
}

Result ConnectWith(Client& client, const std::string& endpoint, Properties properties) {
  EXPECT_EQ(client.Configure(Options(endpoint, properties)).code, ResultCode::Ok);
  return client.Connect();
}

// One secured server for the binary; its certificate lives in the "server" folder.
class SecurityTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server = new TestServer(Secure());
    fs::copy_file(Dir("server") / "server_cert.der", Dir("trusted") / "server.der",
                  fs::copy_options::overwrite_existing);
  }
  static void TearDownTestSuite() {
    delete server;
    fs::remove_all(Root());
  }
  static ualib_test::ServerOptions Secure() {
    ualib_test::ServerOptions options;
    options.extraArgs = {"--secure", Dir("server").string()};
    return options;
  }
  static std::string Trusted() { return Dir("trusted").string(); }

  static TestServer* server;
  LogCapture log{10};
};
TestServer* SecurityTest::server = nullptr;

struct ChannelCase {
  const char* mode;
  const char* policy;
  const char* keySuffix;
  bool deprecated;
  const char* user = "";  // with the password "secret"
};

class SecureChannelTest : public SecurityTest, public ::testing::WithParamInterface<ChannelCase> {};

TEST_P(SecureChannelTest, ConnectsReadsAndDeliversNotifications) {
  const ChannelCase& c = GetParam();
  Client client;
  const Result connected = ConnectWith(client, server->Endpoint(),
                                       {{"security_mode", c.mode},
                                        {"security_policy", c.policy},
                                        {"trust_list", Trusted()},
                                        {"username", c.user},
                                        {"password", "secret"}});
  ASSERT_EQ(connected.code, ResultCode::Ok) << connected.message;
  EXPECT_TRUE(LiveSessionWithDigest(server->Endpoint() + "|" + c.user + c.keySuffix));
  EXPECT_TRUE(ReadsOk(client, Node("Scalar.Int32")));
  NotificationRecorder recorder;
  ASSERT_EQ(client.Subscribe({Node("Counter")}, recorder.Handler(), {}).code, ResultCode::Ok);
  EXPECT_TRUE(WaitFor([&] { return recorder.Count() > 0; }, 10s));
  EXPECT_EQ(log.Contains("is deprecated (SHA-1)"), c.deprecated);
}

INSTANTIATE_TEST_SUITE_P(
    Policies, SecureChannelTest,
    ::testing::Values(
        ChannelCase{"Sign", "", "|sign|Basic256Sha256", false},
        ChannelCase{"sign_and_encrypt", "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256",
                    "|sign_and_encrypt|Basic256Sha256", false},
        ChannelCase{"sign_and_encrypt", "Aes128_Sha256_RsaOaep", "|sign_and_encrypt|Aes128_Sha256_RsaOaep", false},
        ChannelCase{"sign_and_encrypt", "Aes256_Sha256_RsaPss", "|sign_and_encrypt|Aes256_Sha256_RsaPss", false},
        ChannelCase{"sign_and_encrypt", "Basic256", "|sign_and_encrypt|Basic256", true, "operator"},
        ChannelCase{"sign", "Basic128Rsa15", "|sign|Basic128Rsa15", true, "operator"}));

// The proxy sees every byte: encrypted, neither the password nor a value read shows.
// The unsecured Client of the same endpoint and user gets a session of its own.
TEST_F(SecurityTest, EncryptionHidesPasswordAndValuesThatModeNoneExposes) {
  TcpProxy proxy(server->Port());
  proxy.Record();
  const Properties user = {{"username", "operator"}, {"password", "secret"}};
  Client secure, plain;
  ASSERT_EQ(ConnectWith(secure, proxy.Endpoint(),
                        {{"username", "operator"},
                         {"password", "secret"},
                         {"security_mode", "sign_and_encrypt"},
                         {"trust_list", Trusted()}})
                .code,
            ResultCode::Ok);
  const std::string value = "value-under-test-4711";
  WriteRequest write;
  write.items.push_back({Node("Scalar.String"), Value(value), {}});
  ASSERT_EQ(secure.Write(write).items.at(0).code, ResultCode::Ok);
  ASSERT_TRUE(ReadsOk(secure, Node("Scalar.String")));
  EXPECT_EQ(proxy.Recorded().find("secret"), std::string::npos);
  EXPECT_EQ(proxy.Recorded().find(value), std::string::npos);
  EXPECT_FALSE(log.Contains("travels unencrypted"));

  ASSERT_EQ(ConnectWith(plain, proxy.Endpoint(), user).code, ResultCode::Ok);
  ASSERT_TRUE(ReadsOk(plain, Node("Scalar.String")));
  EXPECT_NE(proxy.Recorded().find("secret"), std::string::npos);
  EXPECT_NE(proxy.Recorded().find(value), std::string::npos);
  EXPECT_EQ(log.Count("the password travels unencrypted"), 1u);
  for (const auto& line : log.Lines()) EXPECT_EQ(line.line.find("secret"), std::string::npos) << line.line;

  auto secured = LiveSessionWithDigest(proxy.Endpoint() + "|operator|sign_and_encrypt|Basic256Sha256");
  auto unsecured = LiveSessionWithDigest(proxy.Endpoint() + "|operator");
  ASSERT_TRUE(secured && unsecured);
  EXPECT_NE(secured, unsecured);
}

// The server asks for the password in clear on its sign endpoints: never sent.
TEST_F(SecurityTest, SignChannelNeverCarriesThePasswordInClear) {
  ualib_test::ServerOptions options = Secure();
  options.extraArgs.insert(options.extraArgs.end(), {"--sign-password-policy", "None"});
  TestServer own(options);
  TcpProxy proxy(own.Port());
  proxy.Record();
  Client client;
  const Result result = ConnectWith(
      client, proxy.Endpoint(),
      {{"security_mode", "sign"}, {"trust_list", Trusted()}, {"username", "operator"}, {"password", "secret"}});
  EXPECT_EQ(result.code, ResultCode::AccessDenied);
  EXPECT_NE(result.message.find("only unencrypted"), std::string::npos) << result.message;
  EXPECT_EQ(proxy.Recorded().find("secret"), std::string::npos);
}

TEST_F(SecurityTest, UntrustedServerIsRefusedUntilItsRejectedCertificateIsTrusted) {
  const std::string trust = Dir("empty-trust").string(), rejected = Dir("rejected").string();
  const std::string thumbprint = Sha1Hex(Slurp(Dir("server") / "server_cert.der"));
  const Properties settings = {
      {"security_mode", "sign_and_encrypt"}, {"trust_list", trust}, {"rejected_certificates_dir", rejected}};
  Client client;
  const Result refused = ConnectWith(client, server->Endpoint(), settings);
  EXPECT_EQ(refused.code, ResultCode::AccessDenied);
  EXPECT_NE(refused.message.find(thumbprint), std::string::npos) << refused.message;
  EXPECT_NE(refused.message.find(trust), std::string::npos) << refused.message;
  EXPECT_FALSE(LiveSessionWithDigest(server->Endpoint() + "||sign_and_encrypt|Basic256Sha256"));

  fs::rename(fs::path(rejected) / (thumbprint + ".der"), fs::path(trust) / (thumbprint + ".der"));
  const Result trusted = client.Connect();
  EXPECT_EQ(trusted.code, ResultCode::Ok) << trusted.message;
  // Another trust list is another session, which this server's certificate fails.
  Client other;
  EXPECT_EQ(ConnectWith(other, server->Endpoint(),
                        {{"security_mode", "sign_and_encrypt"},
                         {"trust_list", Dir("other-trust").string()},
                         {"rejected_certificates_dir", rejected}})
                .code,
            ResultCode::AccessDenied);
  client.Disconnect();

  Client careless;
  EXPECT_EQ(ConnectWith(careless, server->Endpoint(),
                        {{"security_mode", "sign"}, {"accept_untrusted_server_certificate", "true"}})
                .code,
            ResultCode::Ok);
  EXPECT_TRUE(log.Contains("the server's identity is not checked"));

  // A Client that checks the server never rides on the session of one that did not.
  Client strict;
  EXPECT_EQ(
      ConnectWith(strict, server->Endpoint(), {{"security_mode", "sign"}, {"trust_list", Dir("strict").string()}}).code,
      ResultCode::AccessDenied);
  EXPECT_TRUE(careless.IsConnected());
}

// Each case starts a server with a certificate made for it.
TEST_F(SecurityTest, ValidityAuthorityAndRevocationDecideTrust) {
  ualib_test::TestAuthority authority;
  const std::string caDir = Dir("ca-trust").string(), crlDir = Dir("crl").string();
  std::ofstream(fs::path(caDir) / "ca.der", std::ios::binary) << authority.Certificate();
  std::ofstream(fs::path(crlDir) / "ca.crl", std::ios::binary) << authority.RevocationList({7});
  const std::string otherUri = "urn:ualib:test:other";
  struct Case {
    const char* name;
    ualib_test::IssuedPair pair;
    bool pinned;  // the server's own certificate in the trust list, else the CA's
    std::vector<std::pair<std::string, std::string>> properties;
    ResultCode code;
    std::string text;  // in the message, or with Ok in the log
  };
  const Case cases[] = {
      {"expired though trusted",
       authority.Issue(otherUri, 3, -30, -1, true),
       true,
       {},
       ResultCode::AccessDenied,
       "has expired: it was valid until"},
      {"not yet valid",
       authority.Issue(otherUri, 4, 1, 30, true),
       true,
       {},
       ResultCode::AccessDenied,
       "is not yet valid"},
      {"expired, accepted on request",
       authority.Issue(otherUri, 5, -30, -1, true),
       true,
       {{"accept_expired_server_certificate", "yes"}},
       ResultCode::Ok,
       "accept_expired_server_certificate is set"},
      {"issued by a trusted CA, another URI than it describes",
       authority.Issue(otherUri, 6, -1, 30),
       false,
       {{"revocation_list", crlDir}},
       ResultCode::Ok,
       "the server describes itself as urn:open62541.server.application"},
      {"revoked by its CA",
       authority.Issue(otherUri, 7, -1, 30),
       false,
       {{"revocation_list", crlDir}},
       ResultCode::AccessDenied,
       "is revoked by a list in " + crlDir},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path serverDir = Dir(std::string("server-") + c.name), trust = Dir(std::string("trust-") + c.name);
    std::ofstream(serverDir / "server_cert.der", std::ios::binary) << c.pair.certificate;
    std::ofstream(serverDir / "server_key.der", std::ios::binary) << c.pair.key;
    fs::copy_file(c.pinned ? serverDir / "server_cert.der" : fs::path(caDir) / "ca.der", trust / "trusted.der");
    ualib_test::ServerOptions options;
    options.extraArgs = {"--secure", serverDir.string()};
    TestServer own(options);
    ConnectionOptions connection = Options(own.Endpoint(), {{"security_mode", "sign"}, {"trust_list", trust.string()}});
    for (const auto& [k, v] : c.properties) connection.properties.Set(k, v);
    Client client;
    ASSERT_EQ(client.Configure(connection).code, ResultCode::Ok);
    const Result result = client.Connect();
    EXPECT_EQ(result.code, c.code) << result.message;
    if (c.code == ResultCode::Ok)
      EXPECT_TRUE(log.Contains(c.text));
    else
      EXPECT_NE(result.message.find(c.text), std::string::npos) << result.message;
  }
}

// Created once (key readable by its owner only), then the same certificate for
// the next Connect and for the reconnect after a restart of the server.
TEST_F(SecurityTest, GeneratedCertificateIsCreatedOnceAndReused) {
  TestServer own(Secure());
  const fs::path cert = Dir("client") / "client.der", key = Dir("client") / "client.key";
  const Properties settings = {{"security_mode", "sign_and_encrypt"},
                               {"trust_list", Trusted()},
                               {"certificate", cert.string()},
                               {"private_key", key.string()},
                               {"reconnect_interval_ms", "100"}};
  // Two sessions (another rejected folder) create the pair at once: one pair results.
  Client first, racer;
  Result raced;
  std::thread other([&] {
    ConnectionOptions options = Options(own.Endpoint(), settings);
    options.properties.Set("rejected_certificates_dir", Dir("client").string());
    racer.Configure(options);
    raced = racer.Connect();
  });
  ASSERT_EQ(ConnectWith(first, own.Endpoint(), settings).code, ResultCode::Ok);
  other.join();
  EXPECT_EQ(raced.code, ResultCode::Ok) << raced.message;
  racer.Disconnect();
  const std::string created = Slurp(cert);
  EXPECT_EQ(log.Count("Created the client certificate " + cert.string() + " (SHA-1 thumbprint " + Sha1Hex(created)),
            1u);
  EXPECT_EQ(fs::status(key).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::status(Dir("server") / "server_key.der").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  first.Disconnect();

  Client second;
  ASSERT_EQ(ConnectWith(second, own.Endpoint(), settings).code, ResultCode::Ok);
  own.Restart(Secure());
  EXPECT_TRUE(log.WaitFor("Reconnect: successful after", 15s));
  EXPECT_TRUE(ReadsOk(second, Node("Scalar.Int32")));
  EXPECT_EQ(log.Count("Created the client certificate"), 1u);
  EXPECT_EQ(Slurp(cert), created);
  // What an operator is shown to trust is what Connect presents.
  const Client::CertificateInfo shown = Client::DescribeClientCertificate(Options(own.Endpoint(), settings));
  EXPECT_EQ(shown.code, ResultCode::Ok) << shown.message;
  EXPECT_EQ(shown.thumbprint, Sha1Hex(created));
  EXPECT_FALSE(shown.created);
}

// A small UA_CreateCertificate pair in DER, written to dir.
void WritePair(const fs::path& dir, const char* uri) {
  UA_String subject = UA_STRING(const_cast<char*>("CN=test"));
  UA_String altName = UA_STRING(const_cast<char*>(uri));
  UA_ByteString key = UA_BYTESTRING_NULL, cert = UA_BYTESTRING_NULL;
  UA_KeyValueMap* params = UA_KeyValueMap_new();
  UA_UInt16 bits = 1024;  // fast to generate; the stack checks no key size here
  UA_KeyValueMap_setScalar(params, UA_QUALIFIEDNAME(0, const_cast<char*>("key-size-bits")), &bits,
                           &UA_TYPES[UA_TYPES_UINT16]);
  const UA_Logger silent{nullptr, nullptr, nullptr};
  const UA_StatusCode status =
      UA_CreateCertificate(&silent, &subject, 1, &altName, 1, UA_CERTIFICATEFORMAT_DER, params, &key, &cert);
  UA_KeyValueMap_delete(params);
  ASSERT_EQ(status, UA_STATUSCODE_GOOD);
  std::ofstream(dir / "cert.der", std::ios::binary)
      .write(reinterpret_cast<char*>(cert.data), static_cast<std::streamsize>(cert.length));
  std::ofstream(dir / "key.der", std::ios::binary)
      .write(reinterpret_cast<char*>(key.data), static_cast<std::streamsize>(key.length));
  fs::copy_file(dir / "key.der", dir / "open.der");
  fs::permissions(dir / "open.der", fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
  fs::permissions(dir / "key.der", fs::perms::owner_read | fs::perms::owner_write);
  UA_ByteString_clear(&key);
  UA_ByteString_clear(&cert);
}

TEST_F(SecurityTest, BadSettingsAreRefusedAndLeaveNoSession) {
  const fs::path a = Dir("pair-a");
  WritePair(a, "URI:urn:test:a");
  // The server's key belongs to another certificate.
  const std::string certA = (a / "cert.der").string(), keyB = (Dir("server") / "server_key.der").string();
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> properties;
    const char* key;
  };
  const Case cases[] = {
      {"unknown mode", {{"security_mode", "encrypt"}}, "security_mode"},
      {"unknown policy", {{"security_mode", "sign"}, {"security_policy", "Basic512"}}, "security_policy"},
      {"policy without mode", {{"security_policy", "Basic256Sha256"}}, "security_policy"},
      {"unclear boolean",
       {{"security_mode", "sign"}, {"accept_untrusted_server_certificate", "maybe"}},
       "accept_untrusted_server_certificate"},
      {"folder missing",
       {{"security_mode", "sign"}, {"certificate", "/nonexistent/c.der"}, {"private_key", "/nonexistent/k.der"}},
       "private_key"},
      {"key of another certificate",
       {{"security_mode", "sign"}, {"certificate", certA}, {"private_key", keyB}},
       "private_key"},
      {"uri not in certificate",
       {{"security_mode", "sign"},
        {"certificate", certA},
        {"private_key", (a / "key.der").string()},
        {"application_uri", "urn:test:b"}},
       "application_uri"},
      {"trust list missing", {{"security_mode", "sign"}, {"trust_list", "/nonexistent"}}, "trust_list"},
      {"not a revocation list", {{"security_mode", "sign"}, {"revocation_list", a.string()}}, "revocation_list"},
      {"key open to others",
       {{"security_mode", "sign"}, {"certificate", certA}, {"private_key", (a / "open.der").string()}},
       "private_key"},
      // Nothing meant for a secured channel may end up on a plain one.
      {"certificate without mode", {{"certificate", certA}}, "certificate"},
      {"private key without mode", {{"private_key", keyB}}, "private_key"},
      {"application uri without mode", {{"application_uri", "urn:test:a"}}, "application_uri"},
      {"trust list without mode", {{"trust_list", Trusted()}}, "trust_list"},
      {"rejected folder without mode", {{"rejected_certificates_dir", Trusted()}}, "rejected_certificates_dir"},
      {"revocation list without mode", {{"revocation_list", Trusted()}}, "revocation_list"},
      {"accept untrusted without mode",
       {{"accept_untrusted_server_certificate", "true"}},
       "accept_untrusted_server_certificate"},
      {"accept expired without mode",
       {{"accept_expired_server_certificate", "on"}},
       "accept_expired_server_certificate"},
      // No channel opens with messages smaller than one chunk.
      {"message size below a chunk", {{"max_message_size", "8191"}}, "max_message_size"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ConnectionOptions options = Options(server->Endpoint());
    for (const auto& [k, v] : c.properties) options.properties.Set(k, v);
    Client client;
    ASSERT_EQ(client.Configure(options).code, ResultCode::Ok);
    const Result result = client.Connect();
    EXPECT_EQ(result.code, ResultCode::InvalidArgument);
    EXPECT_EQ(result.message.rfind(c.key, 0), 0u) << result.message;
    EXPECT_FALSE(client.IsConnected());
    EXPECT_FALSE(LiveSessionWithDigest(server->Endpoint() + "||sign|Basic256Sha256"));
  }
}

TEST_F(SecurityTest, ServerWithoutTheModeNamesWhatItOffers) {
  TestServer plain;
  Client client;
  const Result result = ConnectWith(client, plain.Endpoint(), {{"security_mode", "sign"}, {"trust_list", Trusted()}});
  EXPECT_NE(result.code, ResultCode::Ok);
  EXPECT_NE(result.message.find("it offers: none None"), std::string::npos) << result.message;
}

TEST_F(SecurityTest, DiscoverAndStatusNameTheChannelsSecurityAndCertificate) {
  const DiscoverResult result = Client().Discover(DiscoverRequest{server->Endpoint(), {}});
  ASSERT_EQ(result.code, ResultCode::Ok) << result.message;
  const std::string thumbprint = Sha1Hex(Slurp(Dir("server") / "server_cert.der"));
  size_t secured = 0;
  for (size_t i = 0; i < result.endpoints.size(); ++i) {
    const std::string prefix = "endpoint." + std::to_string(i) + ".";
    if (*result.properties.Get(prefix + "security_mode") == "None") continue;
    ++secured;
    ASSERT_TRUE(result.properties.Get(prefix + "certificate_thumbprint"));
    EXPECT_EQ(*result.properties.Get(prefix + "certificate_thumbprint"), thumbprint);
    EXPECT_LT(*result.properties.Get(prefix + "certificate_not_before"),
              *result.properties.Get(prefix + "certificate_not_after"));
  }
  EXPECT_GE(secured, 2u);

  Client client;
  ASSERT_EQ(ConnectWith(client, server->Endpoint(),
                        {{"security_mode", "sign_and_encrypt"},
                         {"security_policy", "Aes128_Sha256_RsaOaep"},
                         {"trust_list", Trusted()}})
                .code,
            ResultCode::Ok);
  const ConnectionStatus status = client.GetConnectionStatus();
  ASSERT_TRUE(status.info);
  EXPECT_EQ(*status.info->properties.Get("security_mode"), "SignAndEncrypt");
  EXPECT_EQ(*status.info->properties.Get("security_policy"), "Aes128_Sha256_RsaOaep");
}

}  // namespace
