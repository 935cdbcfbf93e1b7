// Node address text: ParseNodeId (its shortcut against the stack's parser) and the object
// a Call derives from a method's address.
#include <optional>
#include <string>

#include "fuzz_support.h"
#include "values/status.h"
#include "values/ua_types.h"

using namespace velk::quarlink::internal;

namespace {

// An id the parser accepted prints to a text that parses back to the same id.
void CheckPrintsBack(const UA_NodeId& id) {
  UaOwned<UA_String> printed;
  FUZZ_CHECK(UA_NodeId_print(&id, printed.get()) == UA_STATUSCODE_GOOD);
  const std::string text(reinterpret_cast<const char*>(printed->data), printed->length);
  UaNodeId again;
  FUZZ_CHECK(ParseNodeId(text, *again));
  FUZZ_CHECK(UA_NodeId_equal(&id, again.get()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  UaNodeId id;
  UaNodeId byStack;
  const bool parsed = ParseNodeId(text, *id);
  // The shortcut for the common forms answers exactly as the stack's parser does.
  FUZZ_CHECK(parsed == ParseNodeIdWithStack(text, *byStack));
  FUZZ_CHECK(UA_NodeId_equal(id.get(), byStack.get()));
  AddressNodeId view;
  FUZZ_CHECK(view.Parse(text) == parsed && UA_NodeId_equal(view.get(), byStack.get()));
  if (parsed) {
    CheckPrintsBack(*id);
  } else {
    FUZZ_CHECK(UA_NodeId_isNull(id.get()));  // a refused text leaves nothing owned
  }
  if (const std::optional<std::string> object = MethodObjectText(text)) {
    FUZZ_CHECK(object->size() < text.size() && text.starts_with(*object) && text[object->size()] == '.');
    UaNodeId objectId;
    if (ParseNodeId(*object, *objectId)) CheckPrintsBack(*objectId);
  }
  return 0;
}
