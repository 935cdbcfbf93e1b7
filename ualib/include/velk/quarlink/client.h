// The OPC UA client adapter: one Client per logical connection of the host.
// Clients that name the same endpoint and user share one OPC UA session.
#pragma once

#include <tessel/fnd/defs/comm_adapter.h>
#include <velk/quarlink/export.h>

#include <memory>
#include <string>
#include <vector>

namespace velk::quarlink {

class VELK_QUARLINK_API Client : public tessel::fnd::defs::ICommAdapter {
 public:
  // Result of ReadDataType: the built-in scalar type's name, or empty.
  struct DataTypeInfo {
    tessel::fnd::defs::ResultCode code = tessel::fnd::defs::ResultCode::Ok;
    std::string message;
    std::string type_name;
  };

  // Opaque; defined inside the library.
  struct Impl;

  Client();
  ~Client() override;
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  tessel::fnd::defs::Capabilities GetCapabilities() const override;
  tessel::fnd::defs::Result Configure(const tessel::fnd::defs::ConnectionOptions& options) override;
  tessel::fnd::defs::Result Connect() override;
  tessel::fnd::defs::Result Disconnect() override;
  tessel::fnd::defs::ConnectionStatus GetConnectionStatus() const override;
  bool IsConnected() const override;
  tessel::fnd::defs::RegistrationToken SetConnectionStateHandler(
      tessel::fnd::defs::ConnectionStateHandler handler) override;
  tessel::fnd::defs::DiscoverResult Discover(const tessel::fnd::defs::DiscoverRequest& request) override;
  tessel::fnd::defs::BrowseResult Browse(const tessel::fnd::defs::BrowseRequest& request) override;
  tessel::fnd::defs::ReadResult Read(const tessel::fnd::defs::ReadRequest& request) override;
  tessel::fnd::defs::WriteResult Write(const tessel::fnd::defs::WriteRequest& request) override;
  tessel::fnd::defs::CallResult Call(const tessel::fnd::defs::CallRequest& request) override;
  tessel::fnd::defs::SubscribeResult Subscribe(const std::vector<std::string>& addresses,
                                               tessel::fnd::defs::SubscriptionHandler handler,
                                               const tessel::fnd::defs::SubscribeOpts& opts) override;
  tessel::fnd::defs::UnsubscribeResult Unsubscribe(const std::vector<std::string>& addresses) override;
  tessel::fnd::defs::Result UnsubscribeAll() override;

  DataTypeInfo ReadDataType(const tessel::fnd::defs::Address& address);

 private:
  std::unique_ptr<Impl> impl;
};

}  // namespace velk::quarlink
