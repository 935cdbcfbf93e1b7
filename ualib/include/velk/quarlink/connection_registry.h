// The process-wide table of shared OPC UA sessions, keyed by endpoint and user.
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
  // Key: endpoint + "|" + user name. Weak: the registry never keeps a session
  // alive; expired entries stay and are reused by the next Connect of the key.
  std::map<std::string, std::weak_ptr<OpcuaConnection>> sessions;
};

}  // namespace velk::quarlink
