#include "values/status.h"

#include <array>
#include <charconv>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

namespace velk::quarlink::internal {
namespace {

using tessel::fnd::defs::Result;
using tessel::fnd::defs::ResultCode;

struct StatusMapping {
  UA_StatusCode status;
  ResultCode code;
};

// Matched against the whole 32-bit value: a code with info bits set is a different
// answer from the server and stays Unknown.
constexpr std::array kStatusMappings{
    StatusMapping{UA_STATUSCODE_BADTIMEOUT, ResultCode::Timeout},
    StatusMapping{UA_STATUSCODE_BADREQUESTTIMEOUT, ResultCode::Timeout},
    StatusMapping{UA_STATUSCODE_BADWAITINGFORRESPONSE, ResultCode::Timeout},
    StatusMapping{UA_STATUSCODE_BADSERVERNOTCONNECTED, ResultCode::NotConnected},
    StatusMapping{UA_STATUSCODE_BADSECURECHANNELIDINVALID, ResultCode::NotConnected},
    StatusMapping{UA_STATUSCODE_BADSESSIONIDINVALID, ResultCode::NotConnected},
    StatusMapping{UA_STATUSCODE_BADSESSIONCLOSED, ResultCode::NotConnected},
    StatusMapping{UA_STATUSCODE_BADSESSIONNOTACTIVATED, ResultCode::NotConnected},
    StatusMapping{UA_STATUSCODE_BADSECURECHANNELCLOSED, ResultCode::NotConnected},
    StatusMapping{UA_STATUSCODE_BADNOTCONNECTED, ResultCode::NotConnected},
    StatusMapping{UA_STATUSCODE_BADCONNECTIONCLOSED, ResultCode::NotConnected},
    StatusMapping{UA_STATUSCODE_BADUNEXPECTEDERROR, ResultCode::InvalidState},
    StatusMapping{UA_STATUSCODE_BADNOTREADABLE, ResultCode::InvalidState},
    StatusMapping{UA_STATUSCODE_BADNOTWRITABLE, ResultCode::InvalidState},
    StatusMapping{UA_STATUSCODE_BADNOTSUPPORTED, ResultCode::InvalidState},
    StatusMapping{UA_STATUSCODE_BADINVALIDSTATE, ResultCode::InvalidState},
    StatusMapping{UA_STATUSCODE_BADNOTHINGTODO, ResultCode::InvalidArgument},
    StatusMapping{UA_STATUSCODE_BADREQUESTHEADERINVALID, ResultCode::InvalidArgument},
    StatusMapping{UA_STATUSCODE_BADNODEIDINVALID, ResultCode::InvalidArgument},
    StatusMapping{UA_STATUSCODE_BADATTRIBUTEIDINVALID, ResultCode::InvalidArgument},
    StatusMapping{UA_STATUSCODE_BADOUTOFRANGE, ResultCode::InvalidArgument},
    StatusMapping{UA_STATUSCODE_BADREQUESTTYPEINVALID, ResultCode::InvalidArgument},
    StatusMapping{UA_STATUSCODE_BADUSERSIGNATUREINVALID, ResultCode::InvalidArgument},
    StatusMapping{UA_STATUSCODE_BADARGUMENTSMISSING, ResultCode::InvalidArgument},
    StatusMapping{UA_STATUSCODE_BADINVALIDARGUMENT, ResultCode::InvalidArgument},
    StatusMapping{UA_STATUSCODE_BADNODEIDUNKNOWN, ResultCode::NotFound},
    StatusMapping{UA_STATUSCODE_BADMETHODINVALID, ResultCode::NotFound},
    StatusMapping{UA_STATUSCODE_BADCERTIFICATEINVALID, ResultCode::AccessDenied},
    StatusMapping{UA_STATUSCODE_BADSECURITYCHECKSFAILED, ResultCode::AccessDenied},
    StatusMapping{UA_STATUSCODE_BADCERTIFICATEUNTRUSTED, ResultCode::AccessDenied},
    StatusMapping{UA_STATUSCODE_BADUSERACCESSDENIED, ResultCode::AccessDenied},
    StatusMapping{UA_STATUSCODE_BADIDENTITYTOKENINVALID, ResultCode::AccessDenied},
    StatusMapping{UA_STATUSCODE_BADIDENTITYTOKENREJECTED, ResultCode::AccessDenied},
    StatusMapping{UA_STATUSCODE_BADSECURITYPOLICYREJECTED, ResultCode::AccessDenied},
    StatusMapping{UA_STATUSCODE_BADDATATYPEIDUNKNOWN, ResultCode::TypeMismatch},
    StatusMapping{UA_STATUSCODE_BADDATAENCODINGINVALID, ResultCode::TypeMismatch},
    StatusMapping{UA_STATUSCODE_BADDATAENCODINGUNSUPPORTED, ResultCode::TypeMismatch},
    StatusMapping{UA_STATUSCODE_BADTYPEMISMATCH, ResultCode::TypeMismatch},
    StatusMapping{UA_STATUSCODE_BADCOMMUNICATIONERROR, ResultCode::CommunicationError},
    StatusMapping{UA_STATUSCODE_BADSHUTDOWN, ResultCode::CommunicationError},
    StatusMapping{UA_STATUSCODE_BADSERVERHALTED, ResultCode::CommunicationError},
    StatusMapping{UA_STATUSCODE_BADSERVERURIINVALID, ResultCode::CommunicationError},
    StatusMapping{UA_STATUSCODE_BADTCPMESSAGETOOLARGE, ResultCode::CommunicationError},
    StatusMapping{UA_STATUSCODE_BADTCPINTERNALERROR, ResultCode::CommunicationError},
    StatusMapping{UA_STATUSCODE_BADTCPENDPOINTURLINVALID, ResultCode::CommunicationError},
    StatusMapping{UA_STATUSCODE_BADINTERNALERROR, ResultCode::InternalError},
    StatusMapping{UA_STATUSCODE_BADOUTOFMEMORY, ResultCode::InternalError},
    StatusMapping{UA_STATUSCODE_BADRESOURCEUNAVAILABLE, ResultCode::InternalError},
};

ResultCode ResultCodeOf(UA_StatusCode status) {
  for (const auto& mapping : kStatusMappings) {
    if (mapping.status == status) return mapping.code;
  }
  return ResultCode::Unknown;
}

template <typename T>
bool ReadsWhole(std::string_view digits, T& value) {
  const char* end = digits.data() + digits.size();
  const auto [stop, error] = std::from_chars(digits.data(), end, value);
  return error == std::errc() && stop == end;
}

// The stack's number reader wraps around instead of failing ("ns=65538;i=1" reads as
// ns=2, "i=4294967381" as i=85) and takes "i=" as i=0, which would address a node
// other than the one written. Only called on text the stack accepted, so the
// "ns=<digits>;" prefix, when present, is well formed.
bool NumbersFitTheirFields(std::string_view text) {
  if (text.starts_with("ns=")) {
    const size_t semicolon = text.find(';');
    uint16_t namespaceIndex = 0;
    if (!ReadsWhole(text.substr(3, semicolon - 3), namespaceIndex)) return false;
    text.remove_prefix(semicolon + 1);
  }
  uint32_t numeric = 0;
  return !text.starts_with("i=") || ReadsWhole(text.substr(2), numeric);
}

// The forms nearly every address takes ("ns=1;s=Line.Pump", "ns=2;i=5", "i=85"), read
// without the stack's general parser, which costs more than the rest of an item's way
// through the adapter. Gives what the stack's parser plus the range check above would
// give, or nullopt for any text it does not take on (GUIDs, byte strings, malformed or
// out-of-range numbers), which then goes the general way.
std::optional<UA_NodeId> ParseCommonForm(std::string_view text, bool copyString) {
  UA_UInt16 namespaceIndex = 0;
  if (text.starts_with("ns=")) {
    const size_t semicolon = text.find(';');
    if (semicolon == std::string_view::npos || !ReadsWhole(text.substr(3, semicolon - 3), namespaceIndex))
      return std::nullopt;
    text.remove_prefix(semicolon + 1);
  }
  UA_NodeId id = UA_NODEID_NULL;
  id.namespaceIndex = namespaceIndex;
  if (text.starts_with("i=")) {
    if (!ReadsWhole(text.substr(2), id.identifier.numeric)) return std::nullopt;
    id.identifierType = UA_NODEIDTYPE_NUMERIC;
    return id;
  }
  if (!text.starts_with("s=")) return std::nullopt;
  // Copied as UA_String_copy copies it (an empty identifier gets the stack's sentinel),
  // without its walk through the type description; or a view of the text.
  text.remove_prefix(2);
  UA_String& identifier = id.identifier.string;
  identifier.length = text.size();
  if (text.empty()) {
    identifier.data = static_cast<UA_Byte*>(UA_EMPTY_ARRAY_SENTINEL);
  } else if (!copyString) {
    identifier.data = reinterpret_cast<UA_Byte*>(const_cast<char*>(text.data()));
  } else {
    identifier.data = static_cast<UA_Byte*>(UA_malloc(text.size()));
    if (identifier.data == nullptr) return std::nullopt;
    std::memcpy(identifier.data, text.data(), text.size());
  }
  id.identifierType = UA_NODEIDTYPE_STRING;
  return id;
}

}  // namespace

Result StatusFromUa(UA_StatusCode code) {
  if (code == UA_STATUSCODE_GOOD) return {};
  const char* name = UA_StatusCode_name(code);
  std::string message = name ? name : "unknown OPC UA status";
  // Servers answer BadUnexpectedError for many "wrong moment" refusals; the hint
  // saves the operator a trip to the server's log.
  if (code == UA_STATUSCODE_BADUNEXPECTEDERROR) {
    message +=
        " (server raised an unexpected error; often means the target is not in the right state for this operation)";
  }
  return {ResultCodeOf(code), std::move(message)};
}

bool ParseNodeId(const std::string& text, UA_NodeId& out) {
  if (std::optional<UA_NodeId> common = ParseCommonForm(text, true)) {
    out = *common;
    return true;
  }
  return ParseNodeIdWithStack(text, out);
}

bool ParseNodeIdWithStack(const std::string& text, UA_NodeId& out) {
  out = UA_NODEID_NULL;
  // The stack copies what it keeps, so the text is handed over in place and whole:
  // bytes after a NUL take part in the parse instead of being dropped, so
  // "i=85\0..." is refused rather than read as a different node.
  UA_String view{text.size(), reinterpret_cast<UA_Byte*>(const_cast<char*>(text.data()))};
  const UA_StatusCode rc = UA_NodeId_parse(&out, view);
  if (rc == UA_STATUSCODE_GOOD && NumbersFitTheirFields(text)) return true;
  // Whatever a refused parse left behind is released, so out owns nothing.
  UA_NodeId_clear(&out);
  return false;
}

AddressNodeId::~AddressNodeId() {
  if (owned_) UA_NodeId_clear(&id_);
}

bool AddressNodeId::Parse(const std::string& address) {
  if (owned_) UA_NodeId_clear(&id_);
  owned_ = false;
  if (std::optional<UA_NodeId> common = ParseCommonForm(address, false)) {
    id_ = *common;
    return true;
  }
  owned_ = true;
  return ParseNodeIdWithStack(address, id_);
}

std::optional<std::string> MethodObjectText(const std::string& method) {
  const size_t stringId = method.find("s=");
  const size_t lastDot = method.rfind('.');
  if (stringId == std::string::npos || lastDot == std::string::npos || lastDot <= stringId + 1) return std::nullopt;
  return method.substr(0, lastDot);
}

}  // namespace velk::quarlink::internal
