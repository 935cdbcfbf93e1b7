// Several items in one request ("max_items_per_request"): callers see exactly what
// they see when every item is a request of its own.
#include <gtest/gtest.h>
#include <velk/quarlink/client.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "adapter_helpers.h"
#include "log_capture.h"
#include "test_server.h"

namespace {

using namespace tessel::fnd::defs;
using ualib_test::ConnectedClient;
using ualib_test::LogCapture;
using ualib_test::Node;
using ualib_test::TestServer;

// Good, unparsable and unknown nodes, a failing one and a repeat; gathered by 3
// they span three requests.
const std::vector<std::string> kMixed = {Node("Scalar.Int32"), "garbage",   Node("DoesNotExist"), Node("Scalar.Int16"),
                                         Node("Fault"),        "ns=1;x=no", Node("Scalar.Int32")};

template <typename Item>
std::string Describe(const std::string& family, const Item& item) {
  std::string text =
      family + " " + item.address + ": " + std::to_string(static_cast<int>(item.code)) + " " + item.message;
  if constexpr (requires { item.value; }) {
    if (item.value) text += " value#" + std::to_string(item.value->value.index());
  }
  return text;
}

// What every gathering family answers for the mixed list, and a recursive browse
// with values of a tree whose nodes need several pages.
std::vector<std::string> Answers(const std::string& endpoint, const std::string& setting) {
  auto client = ConnectedClient(endpoint, {{"max_items_per_request", setting}});
  std::vector<std::string> lines;
  ReadRequest read;
  WriteRequest write;
  for (const std::string& address : kMixed) {
    read.items.push_back({address, {}});
    write.items.push_back({address, Value(int16_t{-1234}), {}});  // the Int16 initial value
  }
  for (const auto& item : client->Read(read).items) lines.push_back(Describe("read", item));
  for (const auto& item : client->Write(write).items) lines.push_back(Describe("write", item));
  for (const auto& item : client->Subscribe(kMixed, [](const Notification&) {}, {}).items)
    lines.push_back(Describe("subscribe", item));
  for (const auto& item : client->Unsubscribe(kMixed).items) lines.push_back(Describe("unsubscribe", item));
  BrowseRequest browse;
  browse.root = Node("Tree");
  browse.recursive = browse.include_values = true;
  for (const auto& node : client->Browse(browse).nodes)
    lines.push_back("browse " + node.address + " under " + node.parent.value_or("") + (node.value ? " value" : ""));
  return lines;
}

class BatchingTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server = new TestServer(); }
  static void TearDownTestSuite() { delete server; }
  static inline TestServer* server = nullptr;
};

TEST_F(BatchingTest, GatheredRequestsAnswerItemForItemAsSingleOnes) {
  const std::vector<std::string> single = Answers(server->Endpoint(), "1");
  ASSERT_GT(single.size(), 200u);  // the tree was browsed
  EXPECT_EQ(Answers(server->Endpoint(), "3"), single);
  EXPECT_EQ(Answers(server->Endpoint(), "0"), single);
}

// Set while the second item's failure is logged, that is after the first request
// (three items) returned: the third item went with it, the fourth is cancelled.
TEST_F(BatchingTest, CancellationIsSeenBetweenRequests) {
  LogCapture log;
  auto client = ConnectedClient(server->Endpoint(), {{"max_items_per_request", "3"}});
  WriteRequest writes;
  for (const char* node : {"Scalar.Int32", "ReadOnly", "Scalar.Int16", "Scalar.Byte"})
    writes.items.push_back({Node(node), Value(int16_t{-1234}), {}});
  auto flag = std::make_shared<std::atomic<bool>>(false);
  writes.options.cancel = CancellationToken{flag};
  log.OnLine("Write '" + Node("ReadOnly") + "' failed", [&] { flag->store(true); });
  std::vector<int> codes;
  for (const auto& item : client->Write(writes).items) codes.push_back(static_cast<int>(item.code));
  EXPECT_EQ(codes, (std::vector<int>{8, 4, 0, 10}));
}

// A server that takes two nodes per request gets requests of two, also when the
// setting asks for more; a larger request would be refused whole.
TEST_F(BatchingTest, TheServersOperationLimitSplitsRequests) {
  LogCapture log;
  ualib_test::ServerOptions limited;
  limited.extraArgs = {"--operation-limit", "2"};
  TestServer small(limited);
  EXPECT_EQ(Answers(small.Endpoint(), "0"), Answers(server->Endpoint(), "1"));
  EXPECT_TRUE(log.Contains("read=2 write=2 monitored_items=2 browse=2"));
}

// A server that refuses large requests without advertising its limit: every
// refused request is sent again in halves, and callers see the single answers.
TEST_F(BatchingTest, ARequestRefusedAsTooLargeIsSplit) {
  LogCapture log;
  TestServer hidden({.stateDelayMs = 0, .omit = {}, .extraArgs = {"--unadvertised-limit", "2"}});
  EXPECT_EQ(Answers(hidden.Endpoint(), "0"), Answers(server->Endpoint(), "1"));
  EXPECT_TRUE(log.Contains("read=1000 write=1000 monitored_items=1000 browse=1000"));
  EXPECT_TRUE(log.Contains("sending them in halves"));
}

}  // namespace
