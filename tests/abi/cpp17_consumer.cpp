// A host that builds as C++17 and links only libualib.so: the public headers must
// compile in that dialect, and everything it uses must be exported by the library.
#include <tessel/fnd/log.h>
#include <velk/quarlink/client.h>
#include <velk/quarlink/connection_registry.h>

int main() {
  velk::quarlink::Client client;
  tessel::fnd::defs::ICommAdapter& adapter = client;
  const bool fresh = adapter.GetContractVersion() == 1 && !adapter.IsConnected() &&
                     client.ReadDataType("ns=0;i=85").code == tessel::fnd::defs::ResultCode::NotConnected &&
                     adapter.Connect().code == tessel::fnd::defs::ResultCode::InvalidState;
  const auto& registry = velk::quarlink::OpcuaConnectionRegistry::Instance();
  return fresh && &registry == &velk::quarlink::OpcuaConnectionRegistry::Instance() ? 0 : 1;
}
