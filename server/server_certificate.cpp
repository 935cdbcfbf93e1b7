#include "server_certificate.h"

#include <fcntl.h>
#include <open62541/plugin/create_certificate.h>
#include <open62541/plugin/pki_default.h>
#include <open62541/server_config_default.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>

namespace quarlink_demo {
namespace {

struct ByteString {
  UA_ByteString value = UA_BYTESTRING_NULL;
  ~ByteString() { UA_ByteString_clear(&value); }
};

bool Load(const std::string& path, ByteString& out) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return false;
  }
  std::string data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (data.empty() || UA_ByteString_allocBuffer(&out.value, data.size()) != UA_STATUSCODE_GOOD) {
    return false;
  }
  std::copy(data.begin(), data.end(), out.value.data);
  return true;
}

// The mode also applies to a file that was there before.
bool Save(const std::string& path, const UA_ByteString& data, mode_t mode) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) {
    return false;
  }
  bool written = ::fchmod(fd, mode) == 0;
  for (size_t done = 0; written && done < data.length;) {
    const ssize_t n = ::write(fd, data.data + done, data.length - done);
    written = n > 0;
    done += written ? static_cast<size_t>(n) : 0;
  }
  return ::close(fd) == 0 && written;
}

UA_StatusCode Create(const std::string& certPath, const std::string& keyPath, ByteString& cert, ByteString& key) {
  UA_String subject[] = {UA_STRING(const_cast<char*>("CN=quarlink-demo-server")),
                         UA_STRING(const_cast<char*>("O=ualib"))};
  UA_String altNames[] = {UA_STRING(const_cast<char*>("URI:urn:open62541.server.application")),
                          UA_STRING(const_cast<char*>("DNS:localhost"))};
  UA_KeyValueMap* params = UA_KeyValueMap_new();
  UA_UInt16 bits = 2048;
  UA_KeyValueMap_setScalar(params, UA_QUALIFIEDNAME(0, const_cast<char*>("key-size-bits")), &bits,
                           &UA_TYPES[UA_TYPES_UINT16]);
  const UA_Logger silent{nullptr, nullptr, nullptr};
  UA_StatusCode status =
      UA_CreateCertificate(&silent, subject, 2, altNames, 2, UA_CERTIFICATEFORMAT_DER, params, &key.value, &cert.value);
  UA_KeyValueMap_delete(params);
  if (status == UA_STATUSCODE_GOOD && !(Save(keyPath, key.value, 0600) && Save(certPath, cert.value, 0644))) {
    status = UA_STATUSCODE_BADINTERNALERROR;
  }
  return status;
}

}  // namespace

UA_StatusCode ConfigureSecureServer(UA_ServerConfig& config, uint16_t port, const std::string& dir) {
  const std::string certPath = dir + "/server_cert.der";
  const std::string keyPath = dir + "/server_key.der";
  ByteString cert;
  ByteString key;
  if (!(Load(certPath, cert) && Load(keyPath, key))) {
    UA_StatusCode status = Create(certPath, keyPath, cert, key);
    if (status != UA_STATUSCODE_GOOD) {
      return status;
    }
  }
  UA_StatusCode status = UA_ServerConfig_setDefaultWithSecurityPolicies(&config, port, &cert.value, &key.value, nullptr,
                                                                        0, nullptr, 0, nullptr, 0);
  if (status != UA_STATUSCODE_GOOD) {
    return status;
  }
  // The deprecated policies are not among the stack's defaults; clients may still
  // ask for them by name.
  status = UA_ServerConfig_addSecurityPolicyBasic128Rsa15(&config, &cert.value, &key.value) |
           UA_ServerConfig_addSecurityPolicyBasic256(&config, &cert.value, &key.value);
  for (const char* policy : {"Basic128Rsa15", "Basic256"}) {
    const std::string uri = std::string("http://opcfoundation.org/UA/SecurityPolicy#") + policy;
    for (UA_MessageSecurityMode mode : {UA_MESSAGESECURITYMODE_SIGN, UA_MESSAGESECURITYMODE_SIGNANDENCRYPT}) {
      status |= UA_ServerConfig_addEndpoint(&config, UA_STRING(const_cast<char*>(uri.c_str())), mode);
    }
  }
  if (status != UA_STATUSCODE_GOOD) {
    return status;
  }
  // Client trust is not what the tests exercise; the client's check of the server is.
  config.secureChannelPKI.clear(&config.secureChannelPKI);
  UA_CertificateVerification_AcceptAll(&config.secureChannelPKI);
  config.sessionPKI.clear(&config.sessionPKI);
  UA_CertificateVerification_AcceptAll(&config.sessionPKI);
  return UA_STATUSCODE_GOOD;
}

}  // namespace quarlink_demo
