// The certificate of the test server's secured endpoints.
#pragma once

#include <open62541/server.h>

#include <string>

namespace quarlink_demo {

// Offers every security policy of the stack beside None, with the certificate
// and key kept in dir (server_cert.der, server_key.der): created on the first
// start, reused afterwards, so a restarted server keeps its identity. Every client
// certificate is accepted.
UA_StatusCode ConfigureSecureServer(UA_ServerConfig& config, uint16_t port, const std::string& dir);

}  // namespace quarlink_demo
