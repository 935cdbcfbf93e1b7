// cert show: the client certificate an operator puts into the server's trust list,
// without a server (the server need not trust the client yet).
#include <velk/quarlink/client.h>

#include <string>

#include "commands.h"
#include "errors.h"
#include "output.h"
#include "session.h"
#include "values.h"

namespace quarlink {

using tessel::fnd::defs::ResultCode;

int RunCertShow(const GlobalOptions& options) {
  tessel::fnd::defs::ConnectionOptions connection;
  connection.endpoint = options.endpoint;
  connection.properties = ConnectionProperties(options);
  // Without files the library makes a certificate for this process alone: nothing
  // another run would present, so nothing worth trusting.
  if (const std::string* path = connection.properties.Get("certificate"); !path || path->empty()) {
    throw UsageError(
        "cert show needs -o certificate=PATH -o private_key=PATH (both files are created when neither exists)");
  }
  InstallLogger(options);
  const velk::quarlink::Client::CertificateInfo info = velk::quarlink::Client::DescribeClientCertificate(connection);
  if (info.code == ResultCode::InvalidArgument) throw UsageError(info.message);
  if (info.code != ResultCode::Ok) {
    PrintLine(stderr, "quarlink: cert show failed: " + ResultText(info.code, info.message));
    return kExitItemFailed;
  }
  if (options.json) {
    PrintLine(stdout, DumpJson({{"certificate", info.path},
                                {"created", info.created},
                                {"sha1_thumbprint", info.thumbprint},
                                {"subject", info.subject},
                                {"application_uri", info.application_uri},
                                {"not_before", info.not_before},
                                {"not_after", info.not_after}}));
    return kExitOk;
  }
  Table table;
  table.Add({"certificate", info.path + (info.created ? " (created now)" : "")});
  table.Add({"SHA-1 thumbprint", info.thumbprint});
  table.Add({"subject", info.subject});
  table.Add({"application URI", info.application_uri});
  table.Add({"valid from", info.not_before});
  table.Add({"valid until", info.not_after});
  table.Print(stdout);
  return kExitOk;
}

}  // namespace quarlink
