// Browse against the test server: descriptors, breadth-first order, continuation
// pages, values, leaves that are not expanded, shared nodes and cycles, failing
// parents, cancellation, and other requests running between slices.
#include "browse.h"

#include <gtest/gtest.h>
#include <velk/quarlink/client.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "adapter_helpers.h"
#include "client_impl.h"
#include "log_capture.h"
#include "test_server.h"
#include "ua_types.h"

namespace {

using namespace tessel::fnd::defs;
using namespace std::chrono_literals;
using ualib_test::LogCapture;
using ualib_test::Node;
using velk::quarlink::OpcuaConnection;
using velk::quarlink::internal::ClientLock;
using velk::quarlink::internal::UaOwned;

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
// members' variables. Folders in `failing` contribute no members; only the first
// `membersExpanded` members contribute their variable.
Listing TreeListing(const std::vector<int>& failing = {}, size_t membersExpanded = 150) {
  Listing out;
  for (int f = 0; f < 10; ++f) out.emplace_back(Node(Folder(f)), Node("Tree"));
  std::vector<std::string> members;
  for (int f = 0; f < 10; ++f) {
    if (std::find(failing.begin(), failing.end(), f) != failing.end()) continue;
    for (int n = 0; n < 15; ++n) {
      out.emplace_back(Node(Member(f, n)), Node(Folder(f)));
      members.push_back(Member(f, n));
    }
  }
  for (size_t i = 0; i < members.size() && i < membersExpanded; ++i)
    out.emplace_back(Node(members[i] + ".V"), Node(members[i]));
  return out;
}

// Continuation points kept open on a session with first pages of Paged (25
// children; the test server pages after 10). open62541 grants five per session, so
// holding five makes the browse of every node with a second page fail.
class HeldContinuationPoints {
 public:
  explicit HeldContinuationPoints(std::shared_ptr<OpcuaConnection> session) : session_(std::move(session)) {
    ClientLock lock(*session_);
    for (int i = 0; i < 5; ++i) {
      UA_BrowseDescription description;
      UA_BrowseDescription_init(&description);
      description.nodeId = UA_NODEID_STRING(1, const_cast<char*>("Paged"));
      description.referenceTypeId = UA_NODEID_NUMERIC(0, UA_NS0ID_HIERARCHICALREFERENCES);
      description.includeSubtypes = true;
      UA_BrowseRequest request;
      UA_BrowseRequest_init(&request);
      request.nodesToBrowse = &description;
      request.nodesToBrowseSize = 1;
      UaOwned<UA_BrowseResponse> response;
      __UA_Client_Service(lock.client(), &request, &UA_TYPES[UA_TYPES_BROWSEREQUEST], response.get(),
                          &UA_TYPES[UA_TYPES_BROWSERESPONSE]);
      EXPECT_EQ(response->resultsSize, 1u);
      if (response->resultsSize != 1) return;
      points_.push_back(std::exchange(response->results[0].continuationPoint, UA_ByteString{0, nullptr}));
      EXPECT_GT(points_.back().length, 0u);
    }
  }
  ~HeldContinuationPoints() {
    ClientLock lock(*session_);
    Release(lock.client());
  }

  // Caller holds the session lock.
  void Release(UA_Client* client) {
    if (points_.empty()) return;
    UA_BrowseNextRequest request;
    UA_BrowseNextRequest_init(&request);
    request.releaseContinuationPoints = true;
    request.continuationPoints = points_.data();
    request.continuationPointsSize = points_.size();
    UaOwned<UA_BrowseNextResponse> response;
    __UA_Client_Service(client, &request, &UA_TYPES[UA_TYPES_BROWSENEXTREQUEST], response.get(),
                        &UA_TYPES[UA_TYPES_BROWSENEXTRESPONSE]);
    for (auto& point : points_) UA_ByteString_clear(&point);
    points_.clear();
  }

 private:
  std::shared_ptr<OpcuaConnection> session_;
  std::vector<UA_ByteString> points_;
};

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

TEST_F(BrowseTest, AnUnparseableRootOrAnEarlyCancellationEndsBeforeTheTraversal) {
  const BrowseResult unparseable = Browse(BrowseOf("not a node id", true));
  EXPECT_EQ(unparseable.code, ResultCode::InvalidArgument);
  EXPECT_EQ(unparseable.message, "could not parse root NodeId");
  const BrowseResult cancelled = Browse(BrowseOf(Node("Tree"), true, false, std::make_shared<std::atomic<bool>>(true)));
  EXPECT_EQ(cancelled.code, ResultCode::Cancelled);
  EXPECT_EQ(cancelled.message, "cancelled before start");
  EXPECT_TRUE(unparseable.nodes.empty() && cancelled.nodes.empty());
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

TEST_F(BrowseTest, IncludeValuesReadsVariablesAndSkipsUnreadableOnes) {
  const BrowseResult withValues = Browse(BrowseOf(Node("Scalars"), false, true));
  ASSERT_EQ(withValues.code, ResultCode::Ok) << withValues.message;
  const struct {
    std::string name;
    std::optional<Value> value;  // nullopt: listed without a value
  } cases[] = {
      {"Scalar.Int32", Value(int32_t{-123456})},
      {"Array.Int32.3", Value()},  // read, but arrays convert to the empty value
      {"Fault", std::nullopt},     // its reads fail
  };
  for (const auto& expected : cases) {
    const NodeDescriptor* node = Find(withValues.nodes, Node(expected.name));
    ASSERT_NE(node, nullptr) << expected.name;
    EXPECT_EQ(node->value.has_value(), expected.value.has_value()) << expected.name;
    if (expected.value && node->value) {
      EXPECT_EQ(node->value->value, *expected.value) << expected.name;
    }
  }
  for (const auto& node : Browse(BrowseOf(Node("Scalars"))).nodes) EXPECT_FALSE(node.value) << node.address;
}

TEST_F(BrowseTest, MethodsAndTypesAreListedButNotExpanded) {
  const struct {
    std::string root;
    std::string leaf;
    std::string type;
  } cases[] = {
      {Node("Robot"), Node("Robot.Add"), "Method"},  // its argument properties stay hidden
      {"ns=0;i=88", "i=58", "ObjectType"},
      {"ns=0;i=89", "i=62", "VariableType"},
      {"ns=0;i=90", "i=24", "DataType"},
      {"ns=0;i=91", "i=31", "ReferenceType"},
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

TEST_F(BrowseTest, AFailingParentContributesNothingAndTheFirstFailureIsTheResults) {
  const BrowseResult unknown = Browse(BrowseOf(Node("NoSuchNode"), true));
  EXPECT_EQ(unknown.code, ResultCode::NotFound);
  EXPECT_EQ(unknown.message, "BadNodeIdUnknown");
  EXPECT_TRUE(unknown.nodes.empty());

  // With every continuation point held, Tree (ten children, one page) is listed but
  // each of its folders (fifteen members, two pages) fails.
  HeldContinuationPoints held(ualib_test::SessionOf(server->Endpoint()));
  log.Clear();
  const BrowseResult tree = Browse(BrowseOf(Node("Tree"), true));
  EXPECT_EQ(tree.code, ResultCode::Unknown);
  EXPECT_EQ(tree.message, "BadNoContinuationPoints");
  EXPECT_EQ(ListingOf(tree.nodes), TreeListing({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(log.Count("' failed: BadNoContinuationPoints"), 10u);
}

TEST_F(BrowseTest, CancellationDuringTheFirstSliceKeepsThatSlicesNodes) {
  // Nothing is logged from inside a slice unless a parent fails, so Tree.F0 is made
  // to fail (no continuation point left for its second page) and the flag is set
  // from that line, on the browsing thread, while the first slice holds the lock. The
  // held points are given back at that moment, so the rest of the slice succeeds.
  const auto session = ualib_test::SessionOf(server->Endpoint());
  HeldContinuationPoints held(session);
  auto cancel = std::make_shared<std::atomic<bool>>(false);
  log.OnLine("Browse children of '" + Node(Folder(0)) + "' failed", [&] {
    held.Release(session->client);
    cancel->store(true);
  });
  const BrowseResult result = Browse(BrowseOf(Node("Tree"), true, false, cancel));
  EXPECT_EQ(result.code, ResultCode::Cancelled);
  EXPECT_EQ(result.message, "cancelled mid-traversal");
  // The first slice: Tree, its ten folders (F0 failing) and the first 53 members.
  EXPECT_EQ(ListingOf(result.nodes), TreeListing({0}, velk::quarlink::internal::kParentsPerSlice - 11));
}

}  // namespace
