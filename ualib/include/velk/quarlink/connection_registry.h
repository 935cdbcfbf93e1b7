// The process-wide table of shared OPC UA sessions, keyed by endpoint, user and
// the settings that decide whom a session trusts.
#pragma once

#include <velk/quarlink/export.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace velk::quarlink {

class OpcuaConnection;

class VELK_QUARLINK_API OpcuaConnectionRegistry {
 public:
  static OpcuaConnectionRegistry& Instance();

  // Guards sessions. Nothing else is ever done while it is held.
  std::mutex mutex;
  // Key: endpoint + "|" + user name for an unsecured session without a password.
  // Any other session's key goes on with "|<mode>|<policy>" when secured and
  // "|#" + a digest, salted per process, of the password and the security keys, so
  // only Clients with the same credentials and trust share a session. Weak: the
  // registry never keeps a session alive; expired entries stay and are reused by
  // the next Connect of the key.
  std::map<std::string, std::weak_ptr<OpcuaConnection>> sessions;
};

}  // namespace velk::quarlink
