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

  // Result of DescribeClientCertificate.
  struct CertificateInfo {
    tessel::fnd::defs::ResultCode code = tessel::fnd::defs::ResultCode::Ok;
    std::string message;
    std::string thumbprint;  // SHA-1 of the DER bytes, 40 upper-case hex digits
    std::string subject;     // "CN=..., O=..."
    std::string application_uri;
    std::string not_before;  // UTC, "2026-12-07T10:00:00Z"
    std::string not_after;
    std::string path;      // the "certificate" property; empty: generated for this process only
    bool created = false;  // the certificate and key files were created by this call
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

  // The client certificate a secured Connect with the same options presents, loaded
  // or created exactly as Connect does, without a server: so it can be trusted on the
  // server before the first Connect. Without "security_mode" the options are read as
  // for "sign_and_encrypt"; "none" presents no certificate (InvalidArgument).
  static CertificateInfo DescribeClientCertificate(const tessel::fnd::defs::ConnectionOptions& options);

 private:
  std::unique_ptr<Impl> impl;
};

}  // namespace velk::quarlink
