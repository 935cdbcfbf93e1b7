// Secured channels: the security keys of a Client's options, the client
// certificate, the trust list of server certificates and their application to a
// stack client's configuration.
#pragma once

#include <open62541/client.h>
#include <tessel/fnd/defs/comm_adapter.h>

#include <memory>
#include <string>

namespace velk::quarlink::internal {

class ClientLock;

enum class SecurityMode { None, Sign, SignAndEncrypt };

// What "security_mode", "security_policy" and the certificate and trust keys ask
// for. Parsed on every Connect (mode and policy are part of the registry key); the
// files are read only when a stack client is created.
struct SecuritySettings {
  SecurityMode mode = SecurityMode::None;
  std::string policyName;  // short name ("Basic256Sha256"); empty with mode none
  std::string certificatePath;
  std::string privateKeyPath;
  std::string applicationUri;  // empty: the certificate's, else urn:<host>:quarlink
  std::string trustListDir;
  std::string rejectedDir;
  bool acceptUntrusted = false;

  bool Secure() const { return mode != SecurityMode::None; }
};

// InvalidArgument naming the key when a value is not one of its words.
tessel::fnd::defs::Result ParseSecuritySettings(const tessel::fnd::defs::PropertyMap& properties,
                                                SecuritySettings& out);

// "" for an unsecured session, so its key stays endpoint + "|" + user; otherwise
// "|<mode word>|<policy short name>".
std::string RegistryKeySuffix(const SecuritySettings& settings);

// The warnings every Connect repeats: deprecated policies, unchecked server identity.
void WarnAboutSecurity(const SecuritySettings& settings, const std::string& endpoint);

// The session's certificate, trust list and the verdict of the last server
// certificate check. Lives as long as the session, so the stack client's
// verification plugin and reconnects use the same material.
struct SessionSecurity;

// Loads or creates the client certificate, loads the trust list and configures
// the stack client for the requested mode and policy; the unsecured path touches
// nothing but may warn about a password in clear text. Caller holds clientMutex.
tessel::fnd::defs::Result ApplySecurity(ClientLock& lock, UA_ClientConfig* config, const SecuritySettings& settings,
                                        bool sendsPassword);

// The result of a failed connect: a refused server certificate and a mode or
// policy the server does not offer get messages an operator can act on.
tessel::fnd::defs::Result ExplainConnectFailure(ClientLock& lock, UA_StatusCode status);

}  // namespace velk::quarlink::internal
