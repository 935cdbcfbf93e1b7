// Browse against the test server: descriptors, breadth-first order, continuation
// pages, values, leaves that are not expanded, shared nodes and cycles, failing
// parents, cancellation, and other requests running between slices.
#include "browse.h"

#include <gtest/gtest.h>
#include <velk/quarlink/client.h>
#include <velk/quarlink/connection_registry.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "adapter_helpers.h"
#include "client_impl.h"
#include "log_capture.h"
#include "test_server.h"
#include "ua_types.h"

namespace {

using namespace tessel::fnd::defs;
using namespace std::chrono_literals;
using ualib_test::ConnectedClient;
using ualib_test::LogCapture;
using ualib_test::Node;
using ualib_test::TestServer;
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

std::string Property(const NodeDescriptor& node, const std::string& key) {
  const std::string* value = node.properties.Get(key);
  return value ? *value : "<absent>";
}

const NodeDescriptor* Find(const std::vector<NodeDescriptor>& nodes, const std::string& address) {
  for (const auto& node : nodes)
    if (node.address == address) return &node;
  return nullptr;
}

size_t CountUnder(const std::vector<NodeDescriptor>& nodes, const std::string& parent) {
  size_t count = 0;
  for (const auto& node : nodes) count += node.parent == parent ? 1 : 0;
  return count;
}

// The debug lines of Browse, without those of the session machinery.
std::vector<std::string> BrowseLines(const LogCapture& log) {
  std::vector<std::string> out;
  for (auto& text : log.Texts(10))
    if (text.rfind("Browse", 0) == 0) out.push_back(std::move(text));
  return out;
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

std::shared_ptr<OpcuaConnection> SessionOf(const std::string& endpoint) {
  auto& registry = velk::quarlink::OpcuaConnectionRegistry::Instance();
  std::lock_guard<std::mutex> lock(registry.mutex);
  const auto entry = registry.sessions.find(endpoint + "|");
  return entry == registry.sessions.end() ? nullptr : entry->second.lock();
}

// Continuation points kept open on a session with first pages of Paged (25
// children; the test server pages after 10). open62541 grants five per session, so
// holding five makes the browse of every node with a second page fail.
class HeldContinuationPoints {
 public:
  HeldContinuationPoints(std::shared_ptr<OpcuaConnection> session, size_t count) : session_(std::move(session)) {
    ClientLock lock(*session_);
    for (size_t i = 0; i < count; ++i) points_.push_back(FirstPageOfPaged(lock.client()));
  }
  ~HeldContinuationPoints() {
    ClientLock lock(*session_);
    if (lock.client()) Release(lock.client());
  }
  HeldContinuationPoints(const HeldContinuationPoints&) = delete;
  HeldContinuationPoints& operator=(const HeldContinuationPoints&) = delete;

  // Caller holds the session lock.
  void Release(UA_Client* client) {
    if (points_.empty()) return;
    std::vector<UA_ByteString> views;
    for (auto& point : points_) views.push_back(*point);
    UA_BrowseNextRequest request;
    UA_BrowseNextRequest_init(&request);
    request.releaseContinuationPoints = true;
    request.continuationPoints = views.data();
    request.continuationPointsSize = views.size();
    UaOwned<UA_BrowseNextResponse> response;
    __UA_Client_Service(client, &request, &UA_TYPES[UA_TYPES_BROWSENEXTREQUEST], response.get(),
                        &UA_TYPES[UA_TYPES_BROWSENEXTRESPONSE]);
    EXPECT_EQ(response->responseHeader.serviceResult, UA_STATUSCODE_GOOD);
    points_.clear();
  }

 private:
  static UaOwned<UA_ByteString> FirstPageOfPaged(UA_Client* client) {
    UA_BrowseDescription description;
    UA_BrowseDescription_init(&description);
    description.nodeId = UA_NODEID_STRING(1, const_cast<char*>("Paged"));
    description.browseDirection = UA_BROWSEDIRECTION_FORWARD;
    description.referenceTypeId = UA_NODEID_NUMERIC(0, UA_NS0ID_HIERARCHICALREFERENCES);
    description.includeSubtypes = true;
    description.resultMask = UA_BROWSERESULTMASK_ALL;
    UA_BrowseRequest request;
    UA_BrowseRequest_init(&request);
    request.nodesToBrowse = &description;
    request.nodesToBrowseSize = 1;
    UaOwned<UA_BrowseResponse> response;
    __UA_Client_Service(client, &request, &UA_TYPES[UA_TYPES_BROWSEREQUEST], response.get(),
                        &UA_TYPES[UA_TYPES_BROWSERESPONSE]);
    UaOwned<UA_ByteString> point;
    if (response->resultsSize == 1) UA_ByteString_copy(&response->results[0].continuationPoint, point.get());
    EXPECT_GT(point->length, 0u) << "Paged was expected to need a second page";
    return point;
  }

  std::shared_ptr<OpcuaConnection> session_;
  std::vector<UaOwned<UA_ByteString>> points_;
};

// Installed as the process logger for its lifetime: records the adapter's lines and,
// the first time a line contains the trigger, runs an action on the logging thread,
// which lets a test act at an exact point inside a browse.
class LineHook {
 public:
  LineHook(std::string trigger, std::function<void()> action)
      : sink_(std::make_shared<Sink>(std::move(trigger), std::move(action))) {
    tessel::fnd::SetLogger(sink_);
  }
  ~LineHook() {
    tessel::fnd::SetLogger(nullptr);
    std::lock_guard<std::mutex> lock(sink_->mutex);
    sink_->active = false;
  }
  LineHook(const LineHook&) = delete;
  LineHook& operator=(const LineHook&) = delete;

  size_t Count(const std::string& fragment) const {
    std::lock_guard<std::mutex> lock(sink_->mutex);
    return static_cast<size_t>(std::count_if(sink_->lines.begin(), sink_->lines.end(), [&](const std::string& line) {
      return line.find(fragment) != std::string::npos;
    }));
  }

 private:
  struct Sink final : tessel::fnd::Logger {
    Sink(std::string triggerText, std::function<void()> onTrigger)
        : trigger(std::move(triggerText)), action(std::move(onTrigger)) {
      level = 10;
    }
    void Emit(int, const std::string& line) override {
      std::function<void()> fire;
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (!active) return;
        lines.push_back(line);
        if (!fired && line.find(trigger) != std::string::npos) {
          fired = true;
          fire = action;
        }
      }
      if (fire) fire();
    }
    const std::string trigger;
    const std::function<void()> action;
    std::mutex mutex;
    std::vector<std::string> lines;
    bool fired = false;
    bool active = true;
  };
  std::shared_ptr<Sink> sink_;
};

TEST(BrowseWithoutSessionTest, IsRejectedWithAWarning) {
  TestServer server;
  auto disconnected = ConnectedClient(server.Endpoint());
  ASSERT_EQ(disconnected->Disconnect().code, ResultCode::Ok);
  velk::quarlink::Client neverConnected;
  for (velk::quarlink::Client* client : {disconnected.get(), &neverConnected}) {
    LogCapture log(10);
    const BrowseResult result = client->Browse(BrowseOf(Node("Tree"), true));
    EXPECT_EQ(result.code, ResultCode::NotConnected);
    EXPECT_EQ(result.message, "not connected");
    EXPECT_TRUE(result.nodes.empty());
    EXPECT_EQ(log.Texts(30), std::vector<std::string>{"Browse rejected: not connected"});
    EXPECT_TRUE(BrowseLines(log).empty());
  }
}

class BrowseTest : public ::testing::Test {
 protected:
  BrowseResult Browse(const BrowseRequest& request) { return client->Browse(request); }

  TestServer server;
  std::unique_ptr<velk::quarlink::Client> client = ConnectedClient(server.Endpoint());
};

TEST_F(BrowseTest, AnAbsentOrEmptyRootBrowsesTheObjectsFolder) {
  LogCapture log(10);
  const BrowseResult absent = Browse(BrowseOf(std::nullopt));
  const BrowseResult empty = Browse(BrowseOf(std::string()));
  const BrowseResult given = Browse(BrowseOf("ns=0;i=85"));

  for (const BrowseResult* result : {&absent, &empty, &given}) {
    EXPECT_EQ(result->code, ResultCode::Ok) << result->message;
    // More than one page: the Objects folder holds the server object and all test nodes.
    EXPECT_GT(result->nodes.size(), 10u);
    EXPECT_EQ(CountUnder(result->nodes, "ns=0;i=85"), result->nodes.size());
    EXPECT_NE(Find(result->nodes, "i=2253"), nullptr);  // the server object, printed without "ns=0;"
    EXPECT_NE(Find(result->nodes, Node("Tree")), nullptr);
  }
  EXPECT_EQ(ListingOf(absent.nodes), ListingOf(given.nodes));
  EXPECT_EQ(ListingOf(empty.nodes), ListingOf(given.nodes));
  EXPECT_EQ(BrowseLines(log),
            (std::vector<std::string>{"Browse: root=(default) recursive=false include_values=false",
                                      "Browse: root= recursive=false include_values=false",
                                      "Browse: root=ns=0;i=85 recursive=false include_values=false"}));
}

TEST_F(BrowseTest, AnUnparseableRootOrAnEarlyCancellationEndsBeforeTheTraversal) {
  const struct {
    BrowseRequest request;
    ResultCode code;
    std::string message;
    std::vector<std::string> lines;
  } cases[] = {
      {BrowseOf("not a node id", true),
       ResultCode::InvalidArgument,
       "could not parse root NodeId",
       {"Browse: root=not a node id recursive=true include_values=false"}},
      {BrowseOf(Node("Tree"), true, false, std::make_shared<std::atomic<bool>>(true)),
       ResultCode::Cancelled,
       "cancelled before start",
       {"Browse cancelled before start"}},
  };
  for (const auto& expected : cases) {
    LogCapture log(10);
    const BrowseResult result = Browse(expected.request);
    EXPECT_EQ(result.code, expected.code) << expected.message;
    EXPECT_EQ(result.message, expected.message);
    EXPECT_TRUE(result.nodes.empty()) << expected.message;
    EXPECT_EQ(BrowseLines(log), expected.lines);
  }
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
    // The browse name without its namespace index.
    EXPECT_EQ(node.properties.Pairs(),
              (std::vector<std::pair<std::string, std::string>>{{"type", "Object"}, {"browse_name", Folder(f)}}));
  }
}

TEST_F(BrowseTest, RecursiveBrowseListsTheWholeTreeBreadthFirst) {
  const BrowseResult result = Browse(BrowseOf(Node("Tree"), true));
  EXPECT_EQ(result.code, ResultCode::Ok) << result.message;
  EXPECT_EQ(ListingOf(result.nodes), TreeListing());
  const NodeDescriptor* variable = Find(result.nodes, Node(Member(9, 14) + ".V"));
  ASSERT_NE(variable, nullptr);
  EXPECT_EQ(Property(*variable, "type"), "Variable");
  EXPECT_TRUE(variable->expandable);
}

TEST_F(BrowseTest, AnotherClientsReadRunsBetweenSlices) {
  auto reader = ConnectedClient(server.Endpoint());  // same endpoint and user: the same session
  std::promise<void> browseStarted;
  std::atomic<bool> readDone{false};
  ReadResult read;
  std::thread readerThread([&] {
    if (browseStarted.get_future().wait_for(60s) != std::future_status::ready) return;
    read = reader->Read(ReadRequest{{{Node(Member(0, 0) + ".V"), {}}}, {}});
    readDone = true;
  });
  BrowseResult result;
  bool readDoneBeforeBrowseReturned = false;
  {
    // The read starts once the browse has logged its start, right before its first slice.
    LineHook hook("Browse: root=", [&] { browseStarted.set_value(); });
    result = Browse(BrowseOf(Node("Tree"), true, true));
    readDoneBeforeBrowseReturned = readDone;
  }
  readerThread.join();

  EXPECT_EQ(result.code, ResultCode::Ok) << result.message;
  EXPECT_EQ(ListingOf(result.nodes), TreeListing());
  EXPECT_TRUE(readDoneBeforeBrowseReturned) << "the browse kept the session to itself";
  ASSERT_EQ(read.items.size(), 1u);
  ASSERT_TRUE(read.items[0].value.has_value()) << read.items[0].message;
  EXPECT_EQ(read.items[0].value->value, Value(int32_t{0}));
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
      {"Scalar.String", Value(std::string("hello"))},
      {"Array.Int32.3", Value()},  // read, but arrays convert to the empty value
      {"Fault", std::nullopt},     // its reads fail
  };
  for (const auto& expected : cases) {
    const NodeDescriptor* node = Find(withValues.nodes, Node(expected.name));
    ASSERT_NE(node, nullptr) << expected.name;
    EXPECT_EQ(Property(*node, "type"), "Variable") << expected.name;
    ASSERT_EQ(node->value.has_value(), expected.value.has_value()) << expected.name;
    if (!expected.value) continue;
    EXPECT_EQ(node->value->value, *expected.value) << expected.name;
    EXPECT_EQ(node->value->code, ResultCode::Ok) << expected.name;
    EXPECT_FALSE(node->value->timestamp.has_value()) << expected.name;
  }

  const BrowseResult withoutValues = Browse(BrowseOf(Node("Scalars")));
  EXPECT_EQ(ListingOf(withoutValues.nodes), ListingOf(withValues.nodes));
  for (const auto& node : withoutValues.nodes) EXPECT_FALSE(node.value.has_value()) << node.address;
}

TEST_F(BrowseTest, MethodsAndTypesAreListedButNotExpanded) {
  const struct {
    std::string root;
    std::string leaf;
    std::string type;
  } cases[] = {
      {Node("Robot"), Node("Robot.Add"), "Method"},  // its argument properties stay hidden
      {"ns=0;i=88", "i=58", "ObjectType"},           // ObjectTypes folder: BaseObjectType
      {"ns=0;i=89", "i=62", "VariableType"},         // VariableTypes folder: BaseVariableType
      {"ns=0;i=90", "i=24", "DataType"},             // DataTypes folder: BaseDataType
      {"ns=0;i=91", "i=31", "ReferenceType"},        // ReferenceTypes folder: References
  };
  for (const auto& expected : cases) {
    const BrowseResult result = Browse(BrowseOf(expected.root, true, true));
    ASSERT_EQ(result.code, ResultCode::Ok) << expected.root << ": " << result.message;
    const NodeDescriptor* leaf = Find(result.nodes, expected.leaf);
    ASSERT_NE(leaf, nullptr) << expected.root;
    EXPECT_EQ(Property(*leaf, "type"), expected.type);
    EXPECT_FALSE(leaf->expandable) << expected.leaf;
    EXPECT_FALSE(leaf->value.has_value()) << expected.leaf;
    for (const auto& node : result.nodes) {
      if (!node.expandable) {
        EXPECT_EQ(CountUnder(result.nodes, node.address), 0u) << node.address << " was expanded";
      }
    }
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
  Listing shared;
  Listing cycleNodes;
  for (const auto& [address, parent] : ListingOf(all.nodes)) {
    if (address == Node("Shared")) shared.emplace_back(address, parent);
    if (address.rfind(Node("Cycle."), 0) == 0) cycleNodes.emplace_back(address, parent);
  }
  EXPECT_EQ(shared, (Listing{{Node("Shared"), Node("ParentA")}, {Node("Shared"), Node("ParentB")}}));
  EXPECT_EQ(cycleNodes, (Listing{{Node("Cycle.A"), "ns=0;i=85"},
                                 {Node("Cycle.B"), Node("Cycle.A")},
                                 {Node("Cycle.A"), Node("Cycle.B")}}));
}

TEST_F(BrowseTest, AFailingParentContributesNothingAndItsFailureIsTheResults) {
  LogCapture log(10);
  const BrowseResult unknown = Browse(BrowseOf(Node("NoSuchNode"), true));
  EXPECT_EQ(unknown.code, ResultCode::NotFound);
  EXPECT_EQ(unknown.message, "BadNodeIdUnknown");
  EXPECT_TRUE(unknown.nodes.empty());
  EXPECT_EQ(log.Count("Browse children of '" + Node("NoSuchNode") + "' failed: BadNodeIdUnknown"), 1u);

  // With every continuation point held, Tree (ten children, one page) is listed but
  // each of its folders (fifteen members, two pages) fails.
  HeldContinuationPoints held(SessionOf(server.Endpoint()), 5);
  log.Clear();
  const BrowseResult tree = Browse(BrowseOf(Node("Tree"), true));
  EXPECT_EQ(tree.code, ResultCode::Unknown);
  EXPECT_EQ(tree.message, "BadNoContinuationPoints");
  EXPECT_EQ(ListingOf(tree.nodes), TreeListing({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  std::vector<std::string> expectedLines{"Browse: root=" + Node("Tree") + " recursive=true include_values=false"};
  for (int f = 0; f < 10; ++f)
    expectedLines.push_back("Browse children of '" + Node(Folder(f)) + "' failed: BadNoContinuationPoints");
  EXPECT_EQ(BrowseLines(log), expectedLines);
}

TEST_F(BrowseTest, BrowseChildrenAppendsAllPagesOrNothingForAnUnknownNode) {
  const auto session = SessionOf(server.Endpoint());
  ASSERT_NE(session, nullptr);
  ClientLock lock(*session);
  std::vector<NodeDescriptor> out(1);  // what was there before stays
  EXPECT_EQ(velk::quarlink::internal::BrowseChildren(lock.connection(), UA_NODEID_STRING(1, const_cast<char*>("Nope")),
                                                     "p", out, [] { return false; }),
            UA_STATUSCODE_BADNODEIDUNKNOWN);
  EXPECT_EQ(out.size(), 1u);
  EXPECT_EQ(velk::quarlink::internal::BrowseChildren(lock.connection(), UA_NODEID_STRING(1, const_cast<char*>("Paged")),
                                                     "p", out, [] { return false; }),
            UA_STATUSCODE_GOOD);
  ASSERT_EQ(out.size(), 26u);
  EXPECT_EQ(out[25].address, Node("Paged.C24"));
  EXPECT_EQ(out[25].parent, "p");
}

TEST_F(BrowseTest, CancellationIsSeenBeforeTheNextPage) {
  // Nothing is logged from inside a slice unless a parent fails, so Tree.F0 is made
  // to fail (no continuation point left for its second page) and the flag is set
  // from that line, on the browsing thread, while the first slice holds the lock. The
  // held points are given back at that moment.
  const auto session = SessionOf(server.Endpoint());
  ASSERT_NE(session, nullptr);
  HeldContinuationPoints held(session, 5);
  auto cancel = std::make_shared<std::atomic<bool>>(false);
  LineHook hook("Browse children of '" + Node(Folder(0)) + "' failed", [&] {
    held.Release(session->client);
    cancel->store(true);
  });
  const BrowseResult result = Browse(BrowseOf(Node("Tree"), true, false, cancel));

  EXPECT_EQ(result.code, ResultCode::Cancelled);
  EXPECT_EQ(result.message, "cancelled mid-traversal");
  // F1's second page is never asked for: Tree's ten folders are all there is.
  EXPECT_EQ(ListingOf(result.nodes), TreeListing({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 0));
  EXPECT_EQ(hook.Count("Browse cancelled mid-traversal (10 nodes already discovered, 8 parents in queue)"), 1u);
}

}  // namespace
