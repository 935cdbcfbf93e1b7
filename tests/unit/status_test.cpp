#include "status.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velk::quarlink::internal {
namespace {

using tessel::fnd::defs::ResultCode;

struct StatusCase {
  UA_StatusCode status;
  ResultCode code;
};

// Written out by value, independently of the stack's constant names.
const std::vector<StatusCase> kMappedStatuses = {
    {0x800A0000, ResultCode::Timeout},
    {0x80850000, ResultCode::Timeout},
    {0x80B20000, ResultCode::Timeout},
    {0x800D0000, ResultCode::NotConnected},
    {0x80220000, ResultCode::NotConnected},
    {0x80250000, ResultCode::NotConnected},
    {0x80260000, ResultCode::NotConnected},
    {0x80270000, ResultCode::NotConnected},
    {0x80860000, ResultCode::NotConnected},
    {0x808A0000, ResultCode::NotConnected},
    {0x80AE0000, ResultCode::NotConnected},
    {0x80010000, ResultCode::InvalidState},
    {0x803A0000, ResultCode::InvalidState},
    {0x803B0000, ResultCode::InvalidState},
    {0x803D0000, ResultCode::InvalidState},
    {0x80AF0000, ResultCode::InvalidState},
    {0x800F0000, ResultCode::InvalidArgument},
    {0x802A0000, ResultCode::InvalidArgument},
    {0x80330000, ResultCode::InvalidArgument},
    {0x80350000, ResultCode::InvalidArgument},
    {0x803C0000, ResultCode::InvalidArgument},
    {0x80530000, ResultCode::InvalidArgument},
    {0x80570000, ResultCode::InvalidArgument},
    {0x80760000, ResultCode::InvalidArgument},
    {0x80AB0000, ResultCode::InvalidArgument},
    {0x80340000, ResultCode::NotFound},
    {0x80750000, ResultCode::NotFound},
    {0x80120000, ResultCode::AccessDenied},
    {0x80130000, ResultCode::AccessDenied},
    {0x801A0000, ResultCode::AccessDenied},
    {0x801F0000, ResultCode::AccessDenied},
    {0x80200000, ResultCode::AccessDenied},
    {0x80210000, ResultCode::AccessDenied},
    {0x80550000, ResultCode::AccessDenied},
    {0x80110000, ResultCode::TypeMismatch},
    {0x80380000, ResultCode::TypeMismatch},
    {0x80390000, ResultCode::TypeMismatch},
    {0x80740000, ResultCode::TypeMismatch},
    {0x80050000, ResultCode::CommunicationError},
    {0x800C0000, ResultCode::CommunicationError},
    {0x800E0000, ResultCode::CommunicationError},
    {0x804F0000, ResultCode::CommunicationError},
    {0x80800000, ResultCode::CommunicationError},
    {0x80820000, ResultCode::CommunicationError},
    {0x80830000, ResultCode::CommunicationError},
    {0x80020000, ResultCode::InternalError},
    {0x80030000, ResultCode::InternalError},
    {0x80040000, ResultCode::InternalError},
};

constexpr UA_StatusCode kUnexpectedError = 0x80010000;

TEST(StatusFromUa, GoodIsOkWithoutMessage) {
  const auto result = StatusFromUa(UA_STATUSCODE_GOOD);
  EXPECT_EQ(result.code, ResultCode::Ok);
  EXPECT_TRUE(result.message.empty());
}

TEST(StatusFromUa, EveryMappedStatusGivesItsCodeAndName) {
  for (const auto& c : kMappedStatuses) {
    SCOPED_TRACE(testing::Message() << std::hex << c.status);
    const auto result = StatusFromUa(c.status);
    EXPECT_EQ(result.code, c.code);
    if (c.status != kUnexpectedError) {
      EXPECT_EQ(result.message, UA_StatusCode_name(c.status));
    }
  }
}

TEST(StatusFromUa, UnexpectedErrorCarriesTheStateHint) {
  EXPECT_EQ(StatusFromUa(kUnexpectedError).message,
            "BadUnexpectedError (server raised an unexpected error; often means the target is not in the right "
            "state for this operation)");
}

TEST(StatusFromUa, NeighboursOfMappedStatusesAreUnknownWithBareName) {
  const std::vector<UA_StatusCode> neighbours = {
      0x80810000,  // BadTcpNotEnoughResources: Bad, but not listed
      0x80340400,  // BadNodeIdUnknown with info bits
      0x80010400,  // BadUnexpectedError with info bits: no hint either
      0x800A0001,  // BadTimeout with a low bit set
      0x40000000,  // Uncertain
      0x40920000,  // UncertainInitialValue
      0x00000400,  // Good with info bits
      0x00A20000,  // GoodSubscriptionTransferred
      0xFFFFFFFF, 0x80000000,
  };
  for (const UA_StatusCode status : neighbours) {
    SCOPED_TRACE(testing::Message() << std::hex << status);
    const auto result = StatusFromUa(status);
    EXPECT_EQ(result.code, ResultCode::Unknown);
    const char* name = UA_StatusCode_name(status);
    EXPECT_EQ(result.message, name ? name : "unknown OPC UA status");
    EXPECT_FALSE(result.message.empty());
  }
}

// Owns the parse target so every case, accepted or refused, is released.
struct ParsedNodeId {
  UA_NodeId id;
  bool ok;
  explicit ParsedNodeId(const std::string& text) : ok(ParseNodeId(text, id)) {}
  ~ParsedNodeId() { UA_NodeId_clear(&id); }
};

TEST(ParseNodeId, AcceptsNumericAndStringIds) {
  const ParsedNodeId numeric("i=85");
  ASSERT_TRUE(numeric.ok);
  EXPECT_EQ(numeric.id.namespaceIndex, 0);
  ASSERT_EQ(numeric.id.identifierType, UA_NODEIDTYPE_NUMERIC);
  EXPECT_EQ(numeric.id.identifier.numeric, 85u);

  const ParsedNodeId named("ns=2;s=Name");
  ASSERT_TRUE(named.ok);
  EXPECT_EQ(named.id.namespaceIndex, 2);
  ASSERT_EQ(named.id.identifierType, UA_NODEIDTYPE_STRING);
  const UA_String& s = named.id.identifier.string;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.data), s.length), "Name");

  const ParsedNodeId largest("ns=65535;i=4294967295");
  ASSERT_TRUE(largest.ok);
  EXPECT_EQ(largest.id.namespaceIndex, 65535);
  EXPECT_EQ(largest.id.identifier.numeric, 4294967295u);
}

TEST(ParseNodeId, RefusedTextLeavesTheNullId) {
  const std::vector<std::string> refused = {
      "",
      "ns=2",
      "ns=2;",
      "i=abc",
      "x=5",
      " i=85",  // no trimming
      "i=85 ",
      "b=!!!",
      "g=not-a-guid",
      "i=",                     // the stack would read i=0
      "i=4294967296",           // would wrap to i=0
      "i=4294967381",           // would wrap to i=85
      "ns=65538;i=1",           // would wrap to ns=2
      "ns=99999999999;s=Name",  // would wrap as well
      std::string("i=85\0x", 6),
  };
  for (const auto& text : refused) {
    SCOPED_TRACE(text);
    UA_NodeId id = UA_NODEID_NUMERIC(7, 7);
    EXPECT_FALSE(ParseNodeId(text, id));
    EXPECT_TRUE(UA_NodeId_isNull(&id));
    UA_NodeId_clear(&id);  // harmless on what a refusal leaves
  }
}

TEST(ParseNodeId, BytesAfterNulArePartOfTheId) {
  const ParsedNodeId parsed(std::string("s=A\0B", 5));
  ASSERT_TRUE(parsed.ok);
  ASSERT_EQ(parsed.id.identifierType, UA_NODEIDTYPE_STRING);
  EXPECT_EQ(parsed.id.identifier.string.length, 3u);
}

TEST(ParseNodeId, HugeTextDoesNotCrash) {
  const ParsedNodeId longName("ns=1;s=" + std::string(1 << 20, 'x'));
  ASSERT_TRUE(longName.ok);
  EXPECT_EQ(longName.id.identifier.string.length, size_t{1} << 20);

  EXPECT_FALSE(ParsedNodeId(std::string(1 << 20, 'i')).ok);
  EXPECT_FALSE(ParsedNodeId("i=" + std::string(1 << 20, '9')).ok);
  EXPECT_FALSE(ParsedNodeId(std::string(1 << 20, '\0')).ok);
}

}  // namespace
}  // namespace velk::quarlink::internal
