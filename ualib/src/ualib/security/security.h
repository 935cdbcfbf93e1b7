// Secured channels: the security keys of a Client's options, the client
// certificate, the trust list of server certificates and their application to a
// stack client's configuration.
#pragma once

#include <open62541/client.h>
#include <tessel/fnd/defs/comm_adapter.h>

#include <memory>
#include <string>

namespace velk::quarlink::internal {

struct SdkLogSettings;

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
  std::string revocationListDir;
  bool acceptUntrusted = false;
  bool acceptExpired = false;

  bool Secure() const { return mode != SecurityMode::None; }
};

// InvalidArgument naming the key when a value is not one of its words, or when a
// security key is given without a security_mode that would use it.
tessel::fnd::defs::Result ParseSecuritySettings(const tessel::fnd::defs::PropertyMap& properties,
                                                SecuritySettings& out);

// Clients share a session only when everything that decides whom the session
// trusts and who it claims to be is the same. An unsecured session without a
// password keeps the key endpoint + "|" + user; any other gains "|<mode>|<policy>"
// when secured and "|#" + a digest salted per process, from which no password can
// be recovered.
std::string RegistryKey(const std::string& endpoint, const std::string& username, const std::string& password,
                        const SecuritySettings& settings);

// The warnings every Connect repeats: deprecated policies, unchecked server identity
// or validity. Each starts with "Security warning for <endpoint>: ".
void WarnAboutSecurity(const SecuritySettings& settings, const std::string& endpoint);

// The session's certificate, trust list and the verdict of the last server
// certificate check. Lives as long as the session, so the stack client's
// verification plugin and reconnects use the same material.
struct SessionSecurity;

// What the security code uses of the session it configures. The caller holds the
// session lock for as long as it is used.
struct SecuredSession {
  std::shared_ptr<SessionSecurity>& security;  // null for an unsecured session
  const std::string& endpoint;
  SdkLogSettings& sdkLog;  // where a probe client of the session logs
};

// Loads or creates the client certificate, loads the trust list and configures
// the stack client for the requested mode and policy; the unsecured path touches
// nothing but may warn about a password in clear text.
tessel::fnd::defs::Result ApplySecurity(const SecuredSession& session, UA_ClientConfig* config,
                                        const SecuritySettings& settings, bool sendsPassword);

// The client certificate a secured session with these settings presents: loaded,
// or created from the paths when they name no files yet, or generated once for the
// process without paths, exactly as ApplySecurity does. endpoint names the Client
// in log lines.
struct ClientCertificate {
  std::string der;
  std::string applicationUri;
  bool created = false;  // the files were created by this call
};
tessel::fnd::defs::Result LoadClientCertificate(const SecuritySettings& settings, const std::string& endpoint,
                                                ClientCertificate& out);

// Warns when the connected server's certificate does not name the application URI
// the server describes itself with.
void CheckServerApplicationUri(const SecuredSession& session, UA_Client* client);

// The result of a failed connect: a refused server certificate and a mode or
// policy the server does not offer get messages an operator can act on.
tessel::fnd::defs::Result ExplainConnectFailure(const SecuredSession& session, UA_StatusCode status);

}  // namespace velk::quarlink::internal
