#include "values/status.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "values/ua_types.h"

namespace velk::quarlink::internal {
namespace {

using tessel::fnd::defs::ResultCode;

// Written out by value, independently of the stack's constant names.
TEST(StatusFromUa, EveryMappedStatusGivesItsCodeAndName) {
  const std::vector<std::pair<ResultCode, std::vector<UA_StatusCode>>> mapped = {
      {ResultCode::Timeout, {0x800A0000, 0x80850000, 0x80B20000}},
      {ResultCode::NotConnected,
       {0x800D0000, 0x80220000, 0x80250000, 0x80260000, 0x80270000, 0x80860000, 0x808A0000, 0x80AE0000}},
      {ResultCode::InvalidState, {0x80010000, 0x803A0000, 0x803B0000, 0x803D0000, 0x80AF0000}},
      {ResultCode::InvalidArgument,
       {0x800F0000, 0x802A0000, 0x80330000, 0x80350000, 0x803C0000, 0x80530000, 0x80570000, 0x80760000, 0x80AB0000}},
      {ResultCode::NotFound, {0x80340000, 0x80750000}},
      {ResultCode::AccessDenied, {0x80120000, 0x80130000, 0x801A0000, 0x801F0000, 0x80200000, 0x80210000, 0x80550000}},
      {ResultCode::TypeMismatch, {0x80110000, 0x80380000, 0x80390000, 0x80740000}},
      {ResultCode::CommunicationError,
       {0x80050000, 0x800C0000, 0x800E0000, 0x804F0000, 0x80800000, 0x80820000, 0x80830000}},
      {ResultCode::InternalError, {0x80020000, 0x80030000, 0x80040000}},
      // Neighbours of mapped statuses: not listed, with info bits, Uncertain, Good with info bits.
      {ResultCode::Unknown, {0x80810000, 0x80340400, 0x80010400, 0x800A0001, 0x40000000, 0x00000400, 0xFFFFFFFF}},
  };
  for (const auto& [code, statuses] : mapped) {
    for (const UA_StatusCode status : statuses) {
      SCOPED_TRACE(testing::Message() << std::hex << status);
      const auto result = StatusFromUa(status);
      EXPECT_EQ(result.code, code);
      const char* name = UA_StatusCode_name(status);
      if (status != 0x80010000) {
        EXPECT_EQ(result.message, name ? name : "unknown OPC UA status");
      }
    }
  }
  EXPECT_EQ(StatusFromUa(UA_STATUSCODE_GOOD).code, ResultCode::Ok);
  EXPECT_EQ(StatusFromUa(UA_STATUSCODE_GOOD).message, "");
  EXPECT_EQ(StatusFromUa(0x80010000).message,
            "BadUnexpectedError (server raised an unexpected error; often means the target is not in the right "
            "state for this operation)");
}

TEST(ParseNodeId, AcceptsWholeIdsAndRefusesWhatTheStackWouldMisread) {
  UA_NodeId id;
  ASSERT_TRUE(ParseNodeId("ns=65535;i=4294967295", id));
  EXPECT_EQ(id.namespaceIndex, 65535);
  EXPECT_EQ(id.identifier.numeric, 4294967295u);
  ASSERT_TRUE(ParseNodeId(std::string("ns=2;s=A\0B", 10), id));  // bytes after a NUL belong to the id
  EXPECT_EQ(id.namespaceIndex, 2);
  ASSERT_EQ(id.identifierType, UA_NODEIDTYPE_STRING);
  EXPECT_EQ(id.identifier.string.length, 3u);
  UA_NodeId_clear(&id);

  // The common forms take a shortcut past the stack's parser; each must read as the
  // stack reads it, and the rarer forms still go the stack's way.
  const std::vector<std::string> accepted = {
      "i=85",          "ns=1;s=Plant.9000",
      "ns=007;i=0012", "ns=4;s=",
      "s=x",           "ns=1;s=a;i=2",
      "ns=2;s= i=5",   "ns=0;i=0",
      "ns=2;b=AAEC",   "ns=1;g=09087e75-8e5e-499b-954f-f2a9603db28a",
  };
  for (const auto& text : accepted) {
    SCOPED_TRACE(text);
    UaNodeId fast;
    UaNodeId byStack;
    ASSERT_TRUE(ParseNodeIdWithStack(text, *byStack));
    ASSERT_TRUE(ParseNodeId(text, *fast));
    EXPECT_TRUE(UA_NodeId_equal(fast.get(), byStack.get()));
    EXPECT_EQ(fast->identifierType, byStack->identifierType);
    AddressNodeId view;
    ASSERT_TRUE(view.Parse(text));
    EXPECT_TRUE(UA_NodeId_equal(view.get(), byStack.get()));
  }

  const std::vector<std::string> refused = {
      "",
      "ns=2;",
      "i=abc",
      " i=85",                  // no trimming
      "i=",                     // the stack would read i=0
      "i=4294967381",           // would wrap to i=85
      "ns=65538;i=1",           // would wrap to ns=2
      "ns=99999999999;s=Name",  // would wrap as well
      std::string("i=85\0x", 6),
      "ns=1;i=1x",
      "ns=;i=1",
      "ns=1i=1",
      "ns=1;i=",
      "ns=1;x=1",
      "ns=1;i=0x10",
      std::string(1 << 20, 'i'),
  };
  for (const auto& text : refused) {
    SCOPED_TRACE(text.substr(0, 40));
    id = UA_NODEID_NUMERIC(7, 7);
    EXPECT_FALSE(ParseNodeId(text, id));
    EXPECT_TRUE(UA_NodeId_isNull(&id));
    EXPECT_FALSE(AddressNodeId().Parse(text));
  }
}

}  // namespace
}  // namespace velk::quarlink::internal
