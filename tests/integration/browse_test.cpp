// Browse against the test server: descriptors, breadth-first order, continuation
// pages, values, leaves that are not expanded, shared nodes and cycles, failing
// parents, cancellation, and other requests running between slices.
#include <gtest/gtest.h>
#include <velk/quarlink/client.h>

#include <atomic>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "adapter_helpers.h"
#include "log_capture.h"
#include "test_server.h"

namespace {

using namespace tessel::fnd::defs;
using namespace std::chrono_literals;
using ualib_test::LogCapture;
using ualib_test::Node;

// (address, parent) of each listed node, in listing order.
using Listing = std::vector<std::pair<std::string, std::string>>;

BrowseRequest BrowseOf(std::optional<std::string> root, bool recursive = false, bool includeValues = false,
                       std::shared_ptr<std::atomic<bool>> cancel = nullptr) {
  BrowseRequest request;
  request.root = std::move(root);
  request.recursive = recursive;
  request.include_values = includeValues;
  if (cancel) request.options.cancel = CancellationToken{std::move(cancel)};
  return request;
}

Listing ListingOf(const std::vector<NodeDescriptor>& nodes) {
  Listing out;
  for (const auto& node : nodes) out.emplace_back(node.address, node.parent.value_or("<none>"));
  return out;
}

const NodeDescriptor* Find(const std::vector<NodeDescriptor>& nodes, const std::string& address) {
  for (const auto& node : nodes)
    if (node.address == address) return &node;
  return nullptr;
}

std::string Folder(int f) { return "Tree.F" + std::to_string(f); }
std::string Member(int f, int n) { return Folder(f) + ".N" + std::to_string(n); }

// Tree breadth first: the ten folders, then their fifteen members each, then the
// members' variables.
Listing TreeListing() {
  Listing out;
  for (int f = 0; f < 10; ++f) out.emplace_back(Node(Folder(f)), Node("Tree"));
  for (int f = 0; f < 10; ++f)
    for (int n = 0; n < 15; ++n) out.emplace_back(Node(Member(f, n)), Node(Folder(f)));
  for (int f = 0; f < 10; ++f)
    for (int n = 0; n < 15; ++n) out.emplace_back(Node(Member(f, n) + ".V"), Node(Member(f, n)));
  return out;
}

class BrowseTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server = new ualib_test::TestServer(); }
  static void TearDownTestSuite() { delete server; }
  BrowseResult Browse(const BrowseRequest& request) { return client->Browse(request); }

  static inline ualib_test::TestServer* server = nullptr;
  std::unique_ptr<velk::quarlink::Client> client = ualib_test::ConnectedClient(server->Endpoint());
  LogCapture log{10};
};

TEST_F(BrowseTest, AnAbsentOrEmptyRootBrowsesTheObjectsFolder) {
  const BrowseResult given = Browse(BrowseOf("ns=0;i=85"));
  EXPECT_EQ(given.code, ResultCode::Ok) << given.message;
  EXPECT_NE(Find(given.nodes, "i=2253"), nullptr);  // the server object, printed without "ns=0;"
  EXPECT_NE(Find(given.nodes, Node("Tree")), nullptr);
  EXPECT_EQ(ListingOf(Browse(BrowseOf(std::nullopt)).nodes), ListingOf(given.nodes));
  EXPECT_EQ(ListingOf(Browse(BrowseOf(std::string())).nodes), ListingOf(given.nodes));
  EXPECT_TRUE(log.Contains("Browse: root=(default) recursive=false include_values=false"));
}

TEST_F(BrowseTest, AnUnusableRootOrAnEarlyCancellationEndsWithoutNodes) {
  const BrowseResult unparseable = Browse(BrowseOf("not a node id", true));
  EXPECT_EQ(unparseable.code, ResultCode::InvalidArgument);
  EXPECT_EQ(unparseable.message, "could not parse root NodeId");
  const BrowseResult cancelled = Browse(BrowseOf(Node("Tree"), true, false, std::make_shared<std::atomic<bool>>(true)));
  EXPECT_EQ(cancelled.code, ResultCode::Cancelled);
  EXPECT_EQ(cancelled.message, "cancelled before start");
  const BrowseResult unknown = Browse(BrowseOf(Node("NoSuchNode"), true));
  EXPECT_EQ(unknown.code, ResultCode::NotFound);
  EXPECT_EQ(unknown.message, "BadNodeIdUnknown");
  EXPECT_TRUE(unparseable.nodes.empty() && cancelled.nodes.empty() && unknown.nodes.empty());
}

TEST_F(BrowseTest, OneLevelListsTheChildrenWithTheirDescriptors) {
  const BrowseResult result = Browse(BrowseOf(Node("Tree")));
  ASSERT_EQ(result.code, ResultCode::Ok) << result.message;
  ASSERT_EQ(result.nodes.size(), 10u);
  for (int f = 0; f < 10; ++f) {
    const NodeDescriptor& node = result.nodes[static_cast<size_t>(f)];
    EXPECT_EQ(node.address, Node(Folder(f)));
    EXPECT_EQ(node.display_name, Folder(f));
    EXPECT_EQ(node.parent, Node("Tree"));
    EXPECT_TRUE(node.expandable);
    EXPECT_FALSE(node.value.has_value());
    EXPECT_EQ(node.properties.Pairs(),
              (std::vector<std::pair<std::string, std::string>>{{"type", "Object"}, {"browse_name", Folder(f)}}));
  }
}

TEST_F(BrowseTest, RecursiveBrowseListsTheTreeBreadthFirstWhileAnotherClientReads) {
  auto reader = ualib_test::ConnectedClient(server->Endpoint());  // the same session
  std::promise<void> browseStarted;
  std::atomic<bool> readDone{false};
  std::thread readerThread([&] {
    if (browseStarted.get_future().wait_for(60s) != std::future_status::ready) return;
    readDone = ualib_test::ReadsOk(*reader, Node(Member(0, 0) + ".V"));
  });
  // The read starts once the browse has logged its start, right before its first slice.
  log.OnLine("Browse: root=", [&] { browseStarted.set_value(); });
  const BrowseResult result = Browse(BrowseOf(Node("Tree"), true, true));
  const bool readDoneBeforeBrowseReturned = readDone;
  readerThread.join();
  EXPECT_EQ(result.code, ResultCode::Ok) << result.message;
  EXPECT_EQ(ListingOf(result.nodes), TreeListing());
  EXPECT_TRUE(readDoneBeforeBrowseReturned) << "the browse kept the session to itself";
}

TEST_F(BrowseTest, ContinuationPagesAreCollectedInOrderAndReleased) {
  Listing expected;
  for (int i = 0; i < 25; ++i)
    expected.emplace_back(Node((i < 10 ? "Paged.C0" : "Paged.C") + std::to_string(i)), Node("Paged"));
  // Three pages each time; more browses than the five continuation points a session
  // gets, which only works if every browse used its point up.
  for (int round = 0; round < 7; ++round) {
    const BrowseResult result = Browse(BrowseOf(Node("Paged"), false, true));
    ASSERT_EQ(result.code, ResultCode::Ok) << "round " << round << ": " << result.message;
    ASSERT_EQ(ListingOf(result.nodes), expected) << "round " << round;
    for (size_t i = 0; i < result.nodes.size(); ++i) {
      ASSERT_TRUE(result.nodes[i].value.has_value()) << result.nodes[i].address;
      EXPECT_EQ(result.nodes[i].value->value, Value(static_cast<int32_t>(i)));
    }
  }
}

TEST_F(BrowseTest, MethodsAndTypesAreListedButNotExpanded) {
  const struct {
    std::string root;
    std::string leaf;
    std::string type;
  } cases[] = {
      {Node("Robot"), Node("Robot.Add"), "Method"},  // its argument properties stay hidden
      {"ns=0;i=88", "i=58", "ObjectType"},
  };
  for (const auto& expected : cases) {
    const BrowseResult result = Browse(BrowseOf(expected.root, true, true));
    ASSERT_EQ(result.code, ResultCode::Ok) << expected.root << ": " << result.message;
    const NodeDescriptor* leaf = Find(result.nodes, expected.leaf);
    ASSERT_NE(leaf, nullptr) << expected.root;
    EXPECT_EQ(*leaf->properties.Get("type"), expected.type);
    EXPECT_FALSE(leaf->expandable) << expected.leaf;
    // Nothing is listed below a leaf.
    for (const auto& node : result.nodes)
      EXPECT_TRUE(node.parent == expected.root || Find(result.nodes, *node.parent)->expandable) << node.address;
  }
}

TEST_F(BrowseTest, SharedNodesAreListedUnderEachParentAndCyclesEnd) {
  const BrowseResult cycle = Browse(BrowseOf(Node("Cycle.A"), true));
  EXPECT_EQ(cycle.code, ResultCode::Ok) << cycle.message;
  // Cycle.A comes back as a child of Cycle.B, but is not expanded a second time.
  EXPECT_EQ(ListingOf(cycle.nodes), (Listing{{Node("Cycle.B"), Node("Cycle.A")}, {Node("Cycle.A"), Node("Cycle.B")}}));

  // The whole Objects folder: both parents of Shared, and the cycle once more below it.
  const BrowseResult all = Browse(BrowseOf(std::nullopt, true));
  EXPECT_EQ(all.code, ResultCode::Ok) << all.message;
  Listing shared, cycleNodes;
  for (const auto& [address, parent] : ListingOf(all.nodes)) {
    if (address == Node("Shared")) shared.emplace_back(address, parent);
    if (address.rfind(Node("Cycle."), 0) == 0) cycleNodes.emplace_back(address, parent);
  }
  EXPECT_EQ(shared, (Listing{{Node("Shared"), Node("ParentA")}, {Node("Shared"), Node("ParentB")}}));
  EXPECT_EQ(cycleNodes, (Listing{{Node("Cycle.A"), "ns=0;i=85"},
                                 {Node("Cycle.B"), Node("Cycle.A")},
                                 {Node("Cycle.A"), Node("Cycle.B")}}));
}

}  // namespace
