// A server that sends what servers in the field sometimes do: values at the edges,
// hierarchies too wide, deep or cyclic for a naive walk, data types no decoder should
// follow to the end, a method that answers late and subscriptions that vanish. Every
// answer is the documented one, and the process stays within a fixed memory bound.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <velk/quarlink/client.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "adapter_helpers.h"
#include "log_capture.h"
#include "notification_recorder.h"
#include "test_server.h"

namespace {

using namespace tessel::fnd::defs;
using namespace std::chrono_literals;
using ualib_test::Node;

// Several copies of the 16 MiB string and of the million-element array at once,
// and nothing the size of a claimed 2^31-element array. The sanitizers' shadow
// memory comes on top.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long kMaxResidentKiB = 4L << 20;  // 4 GiB
constexpr bool kSanitized = true;
#else
constexpr long kMaxResidentKiB = 1L << 20;  // 1 GiB
constexpr bool kSanitized = false;
#endif

class HostileTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Subscriptions are dropped every 3 s: the first notification of the 16 MB
    // string must fit between two drops also on a loaded machine under sanitizers.
    server_ = new ualib_test::TestServer(
        ualib_test::ServerOptions{0, {}, {"--hostile", "--slow-call-ms", "30000", "--drop-subscriptions-ms", "3000"}});
    plain_ = ualib_test::ConnectedClient(server_->Endpoint()).release();
    typed_ = ualib_test::ConnectedClient(server_->Endpoint(), {{"typed_values", "yes"}}).release();
  }
  static void TearDownTestSuite() {
    delete typed_;
    delete plain_;
    delete server_;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    EXPECT_LT(usage.ru_maxrss, kMaxResidentKiB) << "peak resident memory in KiB";
  }

  static ualib_test::TestServer* server_;
  static velk::quarlink::Client* plain_;  // the twelve scalars only
  static velk::quarlink::Client* typed_;  // typed_values on, the same session
};

ualib_test::TestServer* HostileTest::server_ = nullptr;
velk::quarlink::Client* HostileTest::plain_ = nullptr;
velk::quarlink::Client* HostileTest::typed_ = nullptr;

using Check = bool (*)(const Value&);

struct ReadCase {
  const char* node;
  bool typed;
  ResultCode code;
  const char* message;  // a part of the item's message
  Check value;          // holds for the value of an item that reads Ok
};

bool IsEmpty(const Value& v) { return std::holds_alternative<std::monostate>(v); }
template <typename T, int kSign>
bool IsInfinite(const Value& v) {
  return std::holds_alternative<T>(v) && std::isinf(std::get<T>(v)) && std::signbit(std::get<T>(v)) == (kSign < 0);
}
template <typename T>
bool IsNaN(const Value& v) {
  return std::holds_alternative<T>(v) && std::isnan(std::get<T>(v));
}
// DateTimes beyond the host's range saturate (to within the 100 ns of a DateTime tick).
template <int kSign>
bool IsSaturated(const Value& v) {
  const auto* ns = std::get_if<int64_t>(&v);
  return ns != nullptr && (kSign < 0 ? *ns < std::numeric_limits<int64_t>::min() + 100
                                     : *ns > std::numeric_limits<int64_t>::max() - 100);
}

const ReadCase kReads[] = {
    {"Hostile.MillionInt32", false, ResultCode::Ok, "", IsEmpty},
    {"Hostile.MillionInt32", true, ResultCode::Ok, "",
     [](const Value& v) {
       const auto* all = std::get_if<std::vector<int32_t>>(&v);
       return all != nullptr && all->size() == 1'000'000 && all->back() == 999'999;
     }},
    {"Hostile.String16M", false, ResultCode::Ok, "",
     [](const Value& v) {
       const auto* text = std::get_if<std::string>(&v);
       return text != nullptr && text->size() == (16u << 20) && text->find_first_not_of('x') == std::string::npos;
     }},
    {"Hostile.NaN", false, ResultCode::Ok, "", IsNaN<double>},
    {"Hostile.FloatNaN", false, ResultCode::Ok, "", IsNaN<float>},
    {"Hostile.Infinity", false, ResultCode::Ok, "", IsInfinite<double, 1>},
    {"Hostile.NegativeInfinity", false, ResultCode::Ok, "", IsInfinite<double, -1>},
    {"Hostile.DateTimeMin", false, ResultCode::Ok, "", IsEmpty},
    {"Hostile.DateTimeMin", true, ResultCode::Ok, "", IsSaturated<-1>},
    {"Hostile.DateTimeMax", true, ResultCode::Ok, "", IsSaturated<1>},
    // No host alternative: empty, and still Ok.
    {"Hostile.DiagnosticInfo", true, ResultCode::Ok, "", IsEmpty},
    {"Hostile.DataValue", true, ResultCode::Ok, "", IsEmpty},
    {"Hostile.VariantArray", true, ResultCode::Ok, "", IsEmpty},
    {"Hostile.UnknownStructure", true, ResultCode::Ok, "", IsEmpty},
    // Structures no decoder should follow: refused, the rest of the batch unharmed.
    {"Hostile.DeepStructure", false, ResultCode::Ok, "", IsEmpty},
    {"Hostile.DeepStructure", true, ResultCode::Unknown, "BadEncodingLimitsExceeded", nullptr},
    {"Hostile.ClaimMax", true, ResultCode::Unknown, "BadEncodingLimitsExceeded", nullptr},
    // 2^31 is a negative length on the wire: a null array, not a claim to believe.
    {"Hostile.Claim2G", true, ResultCode::Ok, "", IsEmpty},
};

TEST_F(HostileTest, EdgeValuesReadAsDocumented) {
  for (const ReadCase& c : kReads) {
    SCOPED_TRACE(std::string(c.node) + (c.typed ? " (typed)" : ""));
    // Between two ordinary nodes: a hostile item must not spoil its neighbours.
    ReadRequest request;
    for (const std::string name : {"Hostile.NaN", c.node, "Hostile.Infinity"})
      request.items.push_back({Node(name), ""});
    const ReadResult result = (c.typed ? typed_ : plain_)->Read(request);
    ASSERT_EQ(result.code, ResultCode::Ok) << result.message;
    ASSERT_EQ(result.items.size(), 3u);
    const ReadItemResult& item = result.items[1];
    EXPECT_EQ(item.code, c.code) << item.message;
    EXPECT_NE(item.message.find(c.message), std::string::npos) << item.message;
    if (c.value != nullptr) {
      ASSERT_TRUE(item.value.has_value());
      EXPECT_TRUE(c.value(item.value->value)) << "value alternative " << item.value->value.index();
    }
    EXPECT_EQ(result.items[0].code, ResultCode::Ok);
    EXPECT_EQ(result.items[2].code, ResultCode::Ok);
  }
}

struct BrowseCase {
  const char* root;
  bool recursive;
  ResultCode code;
  size_t nodes;
  bool values = false;  // with include_values, through the typed Client
  // Tens of thousands of requests: minutes under the sanitizers, which the short
  // walks through the same code already cover.
  bool long_walk = false;
};

const BrowseCase kBrowses[] = {
    {"Hostile.Wide", false, ResultCode::Ok, 100'000, false, true},
    // Ring.0 -> Ring.1 -> ... -> Ring.49 -> Ring.0: every ring node once, then no further.
    {"Hostile.Ring.0", true, ResultCode::Ok, 50},
    {"Hostile.Chain.0", true, ResultCode::Ok, 49'999, false, true},
    // Paging that outlasts any real server ends with a failure, not with the process.
    {"Hostile.Endless", false, ResultCode::Unknown, 0, false, true},
    // Every hostile value at once: a value that cannot be converted leaves its node
    // without one, the browse stays Ok.
    {"Hostile", false, ResultCode::Ok, 20, true},
};

TEST_F(HostileTest, HierarchiesBrowseToAnEnd) {
  for (const BrowseCase& c : kBrowses) {
    SCOPED_TRACE(c.root);
    if (kSanitized && c.long_walk) continue;
    BrowseRequest request;
    request.root = Node(c.root);
    request.recursive = c.recursive;
    request.include_values = c.values;
    const BrowseResult result = (c.values ? typed_ : plain_)->Browse(request);
    EXPECT_EQ(result.code, c.code) << result.message;
    EXPECT_EQ(result.nodes.size(), c.nodes);
  }
}

TEST_F(HostileTest, ACallThatTimesOutLeavesTheSessionUsable) {
  CallRequest late;
  late.method = Node("Hostile.SlowCall");
  late.options.timeout = 300ms;
  const CallResult result = plain_->Call(late);
  EXPECT_EQ(result.code, ResultCode::Timeout) << result.message;
  // The late answer still arrives while these run; the session takes it in its stride.
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(ualib_test::ReadsOk(*plain_, Node("Hostile.NaN")));
  EXPECT_EQ(plain_->Call(late).code, ResultCode::Timeout);
  EXPECT_TRUE(ualib_test::ReadsOk(*typed_, Node("Hostile.NaN")));
}

TEST_F(HostileTest, HostileValuesAreNotifiedAsTheyRead) {
  ualib_test::NotificationRecorder notes;
  const std::vector<std::string> nodes{Node("Hostile.String16M"), Node("Hostile.MillionInt32"),
                                       Node("Hostile.DeepStructure"), Node("Hostile.ClaimMax"), Node("Hostile.NaN")};
  const SubscribeResult result = typed_->Subscribe(nodes, notes.Handler(), {});
  ASSERT_EQ(result.code, ResultCode::Ok) << result.message;
  for (const SubscribeItemResult& item : result.items) EXPECT_EQ(item.code, ResultCode::Ok) << item.address;
  // The first notification of each carries the value as a Read of it gives it.
  ASSERT_TRUE(ualib_test::WaitFor(
      [&] {
        for (const std::string& node : nodes)
          if (notes.CountFor(node) == 0) return false;
        return true;
      },
      30s));
  for (const Notification& n : notes.All()) {
    SCOPED_TRACE(n.address);
    const ReadItemResult read = ualib_test::ReadOne(*typed_, n.address).items.at(0);
    EXPECT_EQ(n.value.code, read.code) << n.value.message;
    if (read.value) {
      EXPECT_EQ(n.value.value.index(), read.value->value.index());
    }
  }
  EXPECT_EQ(typed_->Unsubscribe(nodes).code, ResultCode::Ok);
}

TEST_F(HostileTest, ASubscriptionTheServerDeletesDeliversAgain) {
  ualib_test::LogCapture log;
  auto lastArrival = std::make_shared<std::atomic<int64_t>>(0);
  const auto handler = [lastArrival](const Notification&) {
    lastArrival->store(std::chrono::steady_clock::now().time_since_epoch().count());
  };
  SubscribeOpts options;
  options.properties.Set("publishing_interval_ms", "50");
  options.properties.Set("sampling_interval_ms", "10");
  ASSERT_EQ(plain_->Subscribe({Node("Counter")}, handler, options).code, ResultCode::Ok);
  const char* kDropped = "was dropped; re-creating it";
  ASSERT_TRUE(log.WaitFor(kDropped, 15s));
  ASSERT_TRUE(ualib_test::WaitFor([&] { return log.Count(kDropped) >= 2; }, 15s));
  const int64_t afterSecondDrop = std::chrono::steady_clock::now().time_since_epoch().count();
  EXPECT_TRUE(ualib_test::WaitFor([&] { return lastArrival->load() > afterSecondDrop; }, 10s));
  EXPECT_EQ(plain_->UnsubscribeAll().code, ResultCode::Ok);
}

}  // namespace
