// read, write, datatype, call and status: one request each, one line per item.
#include <velk/quarlink/client.h>

#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "commands.h"
#include "errors.h"
#include "output.h"
#include "values.h"

namespace quarlink {
namespace {

using tessel::fnd::defs::CallArgument;
using tessel::fnd::defs::ResultCode;
using tessel::fnd::defs::Value;

Json ResultJson(ResultCode code, const std::string& message) {
  return {{"result", ResultCodeName(code)}, {"message", message}};
}

// Where "NODE=VALUE" splits: past an optional "ns=N;" or "nsu=URI;" the identifier
// ("i=", "s=", "g=" or "b=") runs to the next '=', except that a base64 identifier
// keeps its '=' padding. A string identifier that holds '=' cannot be written this way.
size_t AssignmentSplit(const std::string& text) {
  size_t start = 0;
  if (text.rfind("ns=", 0) == 0 || text.rfind("nsu=", 0) == 0) {
    start = text.find(';');
    if (start == std::string::npos) return std::string::npos;
    ++start;
  }
  if (start + 2 > text.size() || text[start + 1] != '=') return std::string::npos;
  const bool base64 = text[start] == 'b';
  start += 2;
  size_t split = text.find('=', start);
  while (base64 && split < text.size() && (split - start) % 4 != 0 && text[split] == '=') ++split;
  return split < text.size() && text[split] == '=' ? split : std::string::npos;
}

Value ParseOrThrow(const std::string& what, const std::string& typeName, const std::string& text) {
  try {
    return ParseValue(typeName, text);
  } catch (const ValueSyntaxError& error) {
    throw UsageError(what + ": " + error.what());
  }
}

// The source and the server time of a value read with time stamps; nothing where
// the server sent none.
struct Times {
  std::optional<std::string> source;
  std::optional<std::string> server;
};

Times TimesOf(const tessel::fnd::defs::DataValue* value) {
  Times times;
  if (!value) return times;
  if (value->timestamp) times.source = TimeText(*value->timestamp);
  const std::string* server = value->properties.Get("server_timestamp");
  if (server) times.server = TimeText(std::stoll(*server));
  return times;
}

void PrintItem(Table& table, bool json, const std::string& address, const tessel::fnd::defs::DataValue* value,
               ResultCode code, const std::string& message, bool timestamps = false) {
  const std::string type = value ? DataValueTypeName(*value) : "";
  const Times times = timestamps ? TimesOf(value) : Times();
  if (json) {
    Json line = {{"address", address}};
    line["value"] = value ? DataValueToJson(*value) : Json();
    line["type"] = type.empty() ? Json() : Json(type);
    line.update(ResultJson(code, message));
    if (timestamps) {
      line["source_time"] = times.source ? Json(*times.source) : Json();
      line["server_time"] = times.server ? Json(*times.server) : Json();
    }
    PrintLine(stdout, DumpJson(line));
    return;
  }
  std::vector<std::string> row{address, value ? DataValueToText(*value) : "-", type.empty() ? "-" : type,
                               ResultText(code, message)};
  if (timestamps) {
    row.push_back(times.source.value_or("-"));
    row.push_back(times.server.value_or("-"));
  }
  table.Add(std::move(row));
}

// The value to write for each assignment, or the failure that keeps it from being sent.
struct PreparedWrite {
  std::optional<Value> value;
  ResultCode code = ResultCode::Ok;
  std::string message;
};

// The node's data type decides how the text reads; a TYPE: prefix only where it cannot.
PreparedWrite PrepareWrite(velk::quarlink::Client& client, const Assignment& assignment) {
  const velk::quarlink::Client::DataTypeInfo info = client.ReadDataType(assignment.node);
  if (info.code != ResultCode::Ok) return {std::nullopt, info.code, info.message};
  const std::optional<TypedText> typed = SplitTypedText(assignment.text);
  if (info.type_name.empty()) {
    // Other types go as text (or fields), which the library converts by the node's type;
    // TYPE: names one of the twelve for a node whose type does not (BaseDataType).
    if (!typed) return {ParseTypedText(assignment.text), ResultCode::Ok, ""};
    return {ParseOrThrow(assignment.node, typed->typeName, typed->text), ResultCode::Ok, ""};
  }
  if (typed) {
    const std::string prefix = assignment.text.substr(0, assignment.text.size() - typed->text.size());
    const std::string quoted = info.type_name == "String" ? " (a string that starts with it is written as a JSON "
                                                            "string: \"" +
                                                                prefix + "...\")"
                                                          : "";
    throw UsageError(assignment.node + ": the node's data type (" + info.type_name + ") decides the type: write " +
                     assignment.node + "=VALUE without '" + prefix + "'" + quoted);
  }
  return {ParseOrThrow(assignment.node, info.type_name, assignment.text), ResultCode::Ok, ""};
}

// The capability flags by the names status prints them under.
std::vector<std::pair<std::string, bool>> CapabilityFlags(const tessel::fnd::defs::Capabilities& capabilities) {
  return {{"discovery", capabilities.supports_discovery},
          {"browse", capabilities.supports_browse},
          {"read", capabilities.supports_read},
          {"write", capabilities.supports_write},
          {"call", capabilities.supports_call},
          {"subscribe", capabilities.supports_subscribe},
          {"unsubscribe", capabilities.supports_unsubscribe},
          {"connection_state", capabilities.supports_connection_state},
          {"cancellation", capabilities.supports_cancellation}};
}

// The session's security: mode, policy and, on a secured channel, the SHA-1 of the
// certificate the server presents for them (from its endpoint list).
struct SessionSecurity {
  std::string mode;
  std::string policy;
  std::string serverThumbprint;
};

std::optional<SessionSecurity> SecurityOf(Context& context, const tessel::fnd::defs::ConnectionStatus& status) {
  if (!status.info) return std::nullopt;
  const std::string* mode = status.info->properties.Get("security_mode");
  const std::string* policy = status.info->properties.Get("security_policy");
  if (!mode || !policy) return std::nullopt;
  SessionSecurity security{*mode, *policy, ""};
  if (*mode == "None") return security;
  tessel::fnd::defs::DiscoverRequest request;
  request.filter = context.session.Endpoint();
  request.options = context.session.Request();
  const tessel::fnd::defs::DiscoverResult offered = context.session.Client().Discover(request);
  for (size_t i = 0; i < offered.endpoints.size(); ++i) {
    const std::string key = "endpoint." + std::to_string(i) + ".";
    const std::string* offeredMode = offered.properties.Get(key + "security_mode");
    const std::string* offeredPolicy = offered.properties.Get(key + "security_policy");
    const std::string* thumbprint = offered.properties.Get(key + "certificate_thumbprint");
    if (offeredMode && *offeredMode == *mode && offeredPolicy && *offeredPolicy == *policy && thumbprint) {
      security.serverThumbprint = *thumbprint;
      break;
    }
  }
  return security;
}

}  // namespace

int RequestFailed(Context& context, const std::string& what, ResultCode code, const std::string& message) {
  if (code == ResultCode::Cancelled) throw Interrupted();
  if (code == ResultCode::Timeout) context.unresponsive = true;
  PrintLine(stderr, "quarlink: " + what + " failed: " + ResultText(code, message));
  return kExitItemFailed;
}

int RunRead(Context& context, const ReadOptions& options) {
  tessel::fnd::defs::ReadRequest request;
  request.options = context.session.Request();
  if (options.timestamps) request.options.properties.Set("timestamps", "both");
  for (const std::string& node : options.nodes) request.items.push_back({node, options.attribute});
  const tessel::fnd::defs::ReadResult result = context.session.Client().Read(request);
  if (result.code != ResultCode::Ok) return RequestFailed(context, "read", result.code, result.message);
  Table table;
  int exitCode = kExitOk;
  for (const auto& item : result.items) {
    PrintItem(table, context.json, item.address, item.value ? &*item.value : nullptr, item.code, item.message,
              options.timestamps);
    if (item.code != ResultCode::Ok) exitCode = kExitItemFailed;
  }
  table.Print(stdout);
  if (context.interrupts.Interrupted()) throw Interrupted();
  return exitCode;
}

std::vector<Assignment> ParseAssignments(const std::vector<std::string>& arguments) {
  std::vector<Assignment> assignments;
  for (const std::string& argument : arguments) {
    const size_t split = AssignmentSplit(argument);
    if (split == std::string::npos) throw UsageError("write takes NODE=VALUE, not '" + argument + "'");
    assignments.push_back({argument.substr(0, split), argument.substr(split + 1)});
  }
  return assignments;
}

int RunWrite(Context& context, const std::vector<Assignment>& assignments) {
  velk::quarlink::Client& client = context.session.Client();
  // Every value is checked before the first one is sent.
  std::vector<PreparedWrite> prepared;
  for (const Assignment& assignment : assignments) prepared.push_back(PrepareWrite(client, assignment));

  tessel::fnd::defs::WriteRequest request;
  request.options = context.session.Request();
  for (size_t i = 0; i < assignments.size(); ++i) {
    if (prepared[i].value) request.items.push_back({assignments[i].node, *prepared[i].value, ""});
  }
  tessel::fnd::defs::WriteResult result;
  if (!request.items.empty()) result = client.Write(request);
  if (result.code != ResultCode::Ok) return RequestFailed(context, "write", result.code, result.message);

  Table table;
  int exitCode = kExitOk;
  auto written = result.items.begin();
  for (size_t i = 0; i < assignments.size(); ++i) {
    PreparedWrite& item = prepared[i];
    if (item.value && written != result.items.end()) {
      item.code = written->code;
      item.message = written->message;
      ++written;
    }
    tessel::fnd::defs::DataValue sent;
    if (item.value) sent.value = *item.value;
    PrintItem(table, context.json, assignments[i].node, item.value ? &sent : nullptr, item.code, item.message);
    if (item.code != ResultCode::Ok) exitCode = kExitItemFailed;
  }
  table.Print(stdout);
  if (context.interrupts.Interrupted()) throw Interrupted();
  return exitCode;
}

int RunStatus(Context& context) {
  velk::quarlink::Client& client = context.session.Client();
  const tessel::fnd::defs::ConnectionStatus status = client.GetConnectionStatus();
  const tessel::fnd::defs::Capabilities capabilities = client.GetCapabilities();
  const auto flags = CapabilityFlags(capabilities);
  const int exitCode = status.state == tessel::fnd::defs::ConnectionState::Connected ? kExitOk : kExitItemFailed;
  const std::optional<SessionSecurity> security = SecurityOf(context, status);
  if (context.json) {
    Json line = {{"endpoint", context.session.Endpoint()}, {"state", StateName(status.state)}};
    line.update(ResultJson(status.code, status.message));
    if (status.info) {
      line["adapter"] = status.info->adapter;
      line["adapter_version"] = status.info->adapter_version;
      line["contract_version"] = status.info->contract_version;
    }
    if (security) {
      line["security"] = {
          {"mode", security->mode},
          {"policy", security->policy},
          {"server_certificate_sha1", security->serverThumbprint.empty() ? Json() : Json(security->serverThumbprint)}};
    }
    Json& supported = line["capabilities"];
    for (const auto& [name, flag] : flags) supported[name] = flag;
    supported["max_batch_size"] = capabilities.max_batch_size;
    PrintLine(stdout, DumpJson(line));
    return exitCode;
  }
  Table table;
  table.Add({"endpoint", context.session.Endpoint()});
  table.Add({"state", StateName(status.state) + (status.message.empty() ? "" : " (" + status.message + ")")});
  if (status.info) {
    table.Add({"adapter", status.info->adapter + " " + status.info->adapter_version + ", contract " +
                              std::to_string(status.info->contract_version)});
  }
  if (security) {
    table.Add({"security", security->mode == "None" ? "None" : security->mode + " " + security->policy});
    if (!security->serverThumbprint.empty()) table.Add({"server certificate", "SHA-1 " + security->serverThumbprint});
  }
  std::string supported;
  std::string unsupported;
  for (const auto& [name, flag] : flags) (flag ? supported : unsupported) += (name + " ");
  table.Add({"supports", supported.empty() ? "-" : supported.substr(0, supported.size() - 1)});
  table.Add({"does not support", unsupported.empty() ? "-" : unsupported.substr(0, unsupported.size() - 1)});
  if (capabilities.max_batch_size > 0) table.Add({"max batch size", std::to_string(capabilities.max_batch_size)});
  table.Print(stdout);
  return exitCode;
}

int RunDataType(Context& context, const std::vector<std::string>& nodes) {
  Table table;
  int exitCode = kExitOk;
  for (const std::string& node : nodes) {
    const velk::quarlink::Client::DataTypeInfo info = context.session.Client().ReadDataType(node);
    if (info.code != ResultCode::Ok) exitCode = kExitItemFailed;
    if (context.json) {
      Json line = {{"address", node}};
      line["type"] = info.type_name.empty() ? Json() : Json(info.type_name);
      line.update(ResultJson(info.code, info.message));
      PrintLine(stdout, DumpJson(line));
    } else {
      table.Add({node, info.type_name.empty() ? "-" : info.type_name, ResultText(info.code, info.message)});
    }
    if (context.interrupts.Interrupted()) throw Interrupted();
  }
  table.Print(stdout);
  return exitCode;
}

std::vector<CallArgument> ParseCallArguments(const std::vector<std::string>& arguments) {
  std::vector<CallArgument> inputs;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string label = "call argument " + std::to_string(i + 1);
    // A structure's fields need no type: the library encodes them by the method's argument.
    if (arguments[i].starts_with("{") && arguments[i].ends_with("}")) {
      inputs.push_back({"", ParseTypedText(arguments[i])});
      continue;
    }
    std::optional<TypedText> typed = SplitTypedText(arguments[i]);
    if (!typed) throw UsageError(label + " '" + arguments[i] + "' needs its type: TYPE:VALUE, as in Double:2.5");
    inputs.push_back({"", ParseOrThrow(label, typed->typeName, typed->text)});
  }
  return inputs;
}

int RunCall(Context& context, const CallOptions& options, const std::vector<CallArgument>& inputs) {
  tessel::fnd::defs::CallRequest request;
  request.method = options.method;
  request.inputs = inputs;
  request.options = context.session.Request();
  if (options.object) request.options.properties.Set("object", *options.object);
  const tessel::fnd::defs::CallResult result = context.session.Client().Call(request);
  if (context.json) {
    Json line = {{"method", options.method}};
    line.update(ResultJson(result.code, result.message));
    line["outputs"] = Json::array();
    for (const auto& output : result.outputs) {
      const std::string type = DataValueTypeName(output.value);
      line["outputs"].push_back(
          {{"value", DataValueToJson(output.value)}, {"type", type.empty() ? Json() : Json(type)}});
    }
    PrintLine(stdout, DumpJson(line));
  }
  if (result.code != ResultCode::Ok)
    return RequestFailed(context, "call " + options.method, result.code, result.message);
  if (context.json) return kExitOk;
  if (result.outputs.empty()) PrintLine(stdout, options.method + "  Ok (no outputs)");
  Table table;
  for (size_t i = 0; i < result.outputs.size(); ++i) {
    const tessel::fnd::defs::DataValue& value = result.outputs[i].value;
    const std::string type = DataValueTypeName(value);
    table.Add({"output " + std::to_string(i), DataValueToText(value), type.empty() ? "-" : type});
  }
  table.Print(stdout);
  return kExitOk;
}

}  // namespace quarlink
