// Read and Write against the test server: value types, per-item failures,
// cancellation, the timing line and hostile input.
#include <gtest/gtest.h>
#include <velk/quarlink/client.h>

#include <atomic>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "adapter_helpers.h"
#include "log_capture.h"
#include "test_server.h"

namespace {

using namespace tessel::fnd::defs;
using namespace std::chrono_literals;
using ualib_test::ConnectedClient;
using ualib_test::LogCapture;
using ualib_test::Node;
using ualib_test::TestServer;

ReadRequest ReadOf(const std::vector<std::string>& addresses) {
  ReadRequest request;
  for (const auto& address : addresses) request.items.push_back({address, {}});
  return request;
}

WriteRequest WriteOf(const std::vector<std::pair<std::string, Value>>& items) {
  WriteRequest request;
  for (const auto& [address, value] : items) request.items.push_back({address, value, {}});
  return request;
}

std::shared_ptr<std::atomic<bool>> CancelFlag(RequestOptions& options, bool set = false) {
  auto flag = std::make_shared<std::atomic<bool>>(set);
  options.cancel = CancellationToken{flag};
  return flag;
}

// The value of a one-item read, failing the test when the read failed.
Value ReadValue(velk::quarlink::Client& client, const std::string& address) {
  const ReadResult result = client.Read(ReadOf({address}));
  EXPECT_EQ(result.items.size(), 1u);
  if (result.items.size() != 1 || !result.items[0].value) {
    ADD_FAILURE() << address << ": " << (result.items.empty() ? "no item" : result.items[0].message);
    return {};
  }
  return result.items[0].value->value;
}

void ExpectItem(const ReadItemResult& item, ResultCode code, const std::string& message) {
  EXPECT_EQ(item.code, code) << item.address << ": " << item.message;
  EXPECT_EQ(item.message, message) << item.address;
  EXPECT_FALSE(item.value.has_value()) << item.address;
}

void ExpectItem(const WriteItemResult& item, ResultCode code, const std::string& message) {
  EXPECT_EQ(item.code, code) << item.address << ": " << item.message;
  EXPECT_EQ(item.message, message) << item.address;
}

// A logger that sets a cancellation flag, on the requesting thread, as soon as a
// line containing the trigger is logged: a flip at an exact point of a batch.
class FlagOnLine final : public tessel::fnd::Logger {
 public:
  FlagOnLine(std::string trigger, std::shared_ptr<std::atomic<bool>> flag)
      : trigger_(std::move(trigger)), flag_(std::move(flag)) {
    level = 10;
  }
  void Emit(int, const std::string& line) override {
    if (line.find(trigger_) != std::string::npos) flag_->store(true);
  }

 private:
  std::string trigger_;
  std::shared_ptr<std::atomic<bool>> flag_;
};

class ReadWriteTest : public ::testing::Test {
 protected:
  TestServer server;
  std::unique_ptr<velk::quarlink::Client> client = ConnectedClient(server.Endpoint());
};

struct ScalarCase {
  std::string node;
  Value initial;  // as the server holds it at start
  Value written;
};

// One row per supported type, each with the exact alternative it arrives as. A
// function, not a namespace-scope constant: GCC 12 tries to constant-evaluate such
// a table of variants and runs out of memory.
std::vector<ScalarCase> Scalars() {
  return {
      {"Scalar.Boolean", true, false},
      {"Scalar.SByte", int8_t{-5}, int8_t{-128}},
      {"Scalar.Byte", uint8_t{200}, uint8_t{255}},
      {"Scalar.Int16", int16_t{-1234}, int16_t{32767}},
      {"Scalar.UInt16", uint16_t{54321}, uint16_t{1}},
      {"Scalar.Int32", int32_t{-123456}, int32_t{-2147483647 - 1}},
      {"Scalar.UInt32", uint32_t{3000000000U}, uint32_t{4294967295U}},
      {"Scalar.Int64", int64_t{-9000000000000LL}, int64_t{9223372036854775807LL}},
      {"Scalar.UInt64", uint64_t{18000000000000000000ULL}, uint64_t{18446744073709551615ULL}},
      {"Scalar.Float", 3.5f, -0.125f},
      {"Scalar.Double", -2.25, 1e300},
      {"Scalar.String", std::string("hello"), std::string("wörld")},
  };
}

TEST_F(ReadWriteTest, EveryScalarTypeRoundTripsWithItsExactAlternative) {
  const std::vector<ScalarCase> kScalars = Scalars();
  std::vector<std::string> addresses;
  for (const auto& row : kScalars) addresses.push_back(Node(row.node));
  const ReadResult before = client->Read(ReadOf(addresses));
  ASSERT_EQ(before.code, ResultCode::Ok);
  ASSERT_EQ(before.items.size(), kScalars.size());
  for (size_t i = 0; i < kScalars.size(); ++i) {
    const ReadItemResult& item = before.items[i];
    EXPECT_EQ(item.address, addresses[i]);
    ASSERT_TRUE(item.value) << item.address << ": " << item.message;
    EXPECT_EQ(item.value->value, kScalars[i].initial) << item.address;
    EXPECT_EQ(item.value->code, ResultCode::Ok);
    EXPECT_FALSE(item.value->timestamp.has_value());
  }

  std::vector<std::pair<std::string, Value>> writes;
  for (const auto& row : kScalars) writes.emplace_back(Node(row.node), row.written);
  const WriteResult written = client->Write(WriteOf(writes));
  ASSERT_EQ(written.code, ResultCode::Ok);
  ASSERT_EQ(written.items.size(), kScalars.size());
  for (const auto& item : written.items) ExpectItem(item, ResultCode::Ok, "");

  const ReadResult after = client->Read(ReadOf(addresses));
  ASSERT_EQ(after.items.size(), kScalars.size());
  for (size_t i = 0; i < kScalars.size(); ++i) {
    ASSERT_TRUE(after.items[i].value) << addresses[i];
    EXPECT_EQ(after.items[i].value->value, kScalars[i].written) << addresses[i];
  }
}

TEST_F(ReadWriteTest, ArraysAndUnsupportedTypesReadAsEmptyValues) {
  const std::vector<std::string> addresses = {Node("Array.Int32.3"),        Node("Array.Int32.1"),
                                              Node("Array.Int32.0"),        Node("Scalar.DateTime"),
                                              Node("Scalar.LocalizedText"), Node("Scalar.ByteString")};
  const ReadResult result = client->Read(ReadOf(addresses));
  ASSERT_EQ(result.items.size(), addresses.size());
  for (const auto& item : result.items) {
    EXPECT_EQ(item.code, ResultCode::Ok) << item.address << ": " << item.message;
    ASSERT_TRUE(item.value.has_value()) << item.address;
    EXPECT_EQ(item.value->value.index(), 0u) << item.address;
  }
}

TEST_F(ReadWriteTest, StringsKeepEmbeddedNulBytesBothWays) {
  EXPECT_EQ(ReadValue(*client, Node("Scalar.StringWithNul")), Value(std::string("a\0b", 3)));

  // Every byte is sent: cutting at the NUL would store a different value than
  // the one written and still report success.
  const WriteResult written = client->Write(WriteOf({{Node("Scalar.String"), std::string("a\0b", 3)}}));
  ASSERT_EQ(written.items.size(), 1u);
  ExpectItem(written.items[0], ResultCode::Ok, "");
  EXPECT_EQ(ReadValue(*client, Node("Scalar.String")), Value(std::string("a\0b", 3)));
}

TEST_F(ReadWriteTest, FailedReadItemsLeaveTheOthersAndTheTopLevelAlone) {
  LogCapture log;
  const ReadResult result = client->Read(
      ReadOf({Node("Scalar.Int32"), "ns=1;x=nonsense", Node("DoesNotExist"), Node("Fault"), Node("Scalar.Double")}));
  EXPECT_EQ(result.code, ResultCode::Ok);
  EXPECT_EQ(result.message, "");
  ASSERT_EQ(result.items.size(), 5u);
  ASSERT_TRUE(result.items[0].value);
  EXPECT_EQ(result.items[0].value->value, Value(int32_t{-123456}));
  ExpectItem(result.items[1], ResultCode::InvalidArgument, "could not parse NodeId");
  ExpectItem(result.items[2], ResultCode::NotFound, "BadNodeIdUnknown");
  ExpectItem(result.items[3], ResultCode::InternalError, "BadInternalError");
  ASSERT_TRUE(result.items[4].value);
  EXPECT_EQ(result.items[4].value->value, Value(-2.25));

  EXPECT_EQ(log.Count("Read: could not parse NodeId 'ns=1;x=nonsense'"), 1u);
  EXPECT_EQ(log.Count("Read '" + Node("DoesNotExist") + "' failed: BadNodeIdUnknown"), 1u);
  EXPECT_EQ(log.Count("Read '" + Node("Fault") + "' failed: BadInternalError"), 1u);
}

TEST_F(ReadWriteTest, FailedWriteItemsLeaveTheOthersAndAreNotSentWhenUnconvertible) {
  LogCapture log;
  const WriteResult result = client->Write(WriteOf({
      {Node("Scalar.Int16"), int16_t{7}},
      {"not a node id", int32_t{1}},
      {"not a node id either", std::vector<double>{1.0}},
      {Node("DoesNotExist"), int32_t{1}},
      {Node("ReadOnly"), int32_t{8}},
      {Node("Scalar.Int32"), 1.5},  // a Double for an Int32 variable
      {Node("Scalar.Int32"), std::vector<double>{1.0}},
      {Node("Scalar.Int32"), Value{}},
      {Node("Scalar.UInt16"), uint16_t{9}},
  }));
  EXPECT_EQ(result.code, ResultCode::Ok);
  ASSERT_EQ(result.items.size(), 9u);
  ExpectItem(result.items[0], ResultCode::Ok, "");
  ExpectItem(result.items[1], ResultCode::InvalidArgument, "could not parse NodeId");
  ExpectItem(result.items[2], ResultCode::InvalidArgument, "could not parse NodeId");  // the address is checked first
  ExpectItem(result.items[3], ResultCode::NotFound, "BadNodeIdUnknown");
  ExpectItem(result.items[4], ResultCode::InvalidState, "BadNotWritable");
  ExpectItem(result.items[5], ResultCode::TypeMismatch, "BadTypeMismatch");
  ExpectItem(result.items[6], ResultCode::TypeMismatch, "value type not supported by current converter");
  ExpectItem(result.items[7], ResultCode::TypeMismatch, "value type not supported by current converter");
  ExpectItem(result.items[8], ResultCode::Ok, "");

  EXPECT_EQ(ReadValue(*client, Node("Scalar.Int16")), Value(int16_t{7}));
  EXPECT_EQ(ReadValue(*client, Node("Scalar.Int32")), Value(int32_t{-123456}));
  EXPECT_EQ(ReadValue(*client, Node("ReadOnly")), Value(int32_t{7}));
  EXPECT_EQ(ReadValue(*client, Node("Scalar.UInt16")), Value(uint16_t{9}));
  EXPECT_EQ(log.Count("Write '" + Node("Scalar.Int32") + "': unsupported Value type"), 2u);
  EXPECT_EQ(log.Count("Write: could not parse NodeId 'not a node id'"), 1u);
  EXPECT_EQ(log.Count("Write '" + Node("ReadOnly") + "' failed: BadNotWritable"), 1u);
}

TEST_F(ReadWriteTest, EmptyBatchesAnswerOkAndLogTheirCount) {
  LogCapture log;
  const ReadResult read = client->Read(ReadRequest{});
  EXPECT_EQ(read.code, ResultCode::Ok);
  EXPECT_TRUE(read.items.empty());
  const WriteResult written = client->Write(WriteRequest{});
  EXPECT_EQ(written.code, ResultCode::Ok);
  EXPECT_TRUE(written.items.empty());
  EXPECT_EQ(log.Count("Read: 0 items"), 1u);
  EXPECT_EQ(log.Count("Read timing [0 items]: "), 1u);
  EXPECT_EQ(log.Count("sdk_call=0.0ms"), 1u);
  EXPECT_EQ(log.Count("Write: 0 items"), 1u);
}

TEST_F(ReadWriteTest, TimingLineAddsUpAndCountsTheItems) {
  LogCapture log;
  client->Read(ReadOf({Node("Slow.1"), "garbage", Node("Slow.2")}));
  std::vector<std::string> lines;
  for (const auto& text : log.Texts(10))
    if (text.starts_with("Read timing")) lines.push_back(text);
  ASSERT_EQ(lines.size(), 1u);
  const std::regex shape(R"(Read timing \[3 items\]: mutex_wait=(\d+\.\d)ms sdk_call=(\d+\.\d)ms total=(\d+\.\d)ms)");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(lines[0], match, shape)) << lines[0];
  const double wait = std::stod(match[1]);
  const double sdk = std::stod(match[2]);
  const double total = std::stod(match[3]);
  // Each Slow read takes the server 50 ms; the unparsable item never reaches the stack.
  EXPECT_GE(sdk, 100.0);
  EXPECT_LE(wait + sdk, total + 0.1);  // each figure is rounded to 0.1 ms on its own
}

TEST_F(ReadWriteTest, CancellationBeforeStartAnswersWithoutItemsEvenForEmptyBatches) {
  LogCapture log;
  ReadRequest read = ReadOf({Node("Scalar.Int32")});
  CancelFlag(read.options, true);
  const ReadResult readResult = client->Read(read);
  EXPECT_EQ(readResult.code, ResultCode::Cancelled);
  EXPECT_EQ(readResult.message, "cancelled before start");
  EXPECT_TRUE(readResult.items.empty());

  WriteRequest emptyWrite;
  CancelFlag(emptyWrite.options, true);
  const WriteResult writeResult = client->Write(emptyWrite);
  EXPECT_EQ(writeResult.code, ResultCode::Cancelled);
  EXPECT_EQ(writeResult.message, "cancelled before start");
  EXPECT_TRUE(writeResult.items.empty());

  EXPECT_EQ(log.Count("Read cancelled before start"), 1u);
  EXPECT_EQ(log.Count("Write cancelled before start"), 1u);
  EXPECT_EQ(log.Count("Read timing"), 0u);
}

TEST_F(ReadWriteTest, TokenWithoutFlagOrWithClearedFlagIsNotCancelled) {
  ReadRequest nullFlag = ReadOf({Node("Scalar.Int32")});
  nullFlag.options.cancel = CancellationToken{};
  const ReadResult first = client->Read(nullFlag);
  EXPECT_EQ(first.code, ResultCode::Ok);
  ASSERT_EQ(first.items.size(), 1u);
  EXPECT_EQ(first.items[0].code, ResultCode::Ok);

  WriteRequest clearedFlag = WriteOf({{Node("Scalar.Int32"), int32_t{5}}});
  CancelFlag(clearedFlag.options, false);
  const WriteResult second = client->Write(clearedFlag);
  EXPECT_EQ(second.code, ResultCode::Ok);
  ASSERT_EQ(second.items.size(), 1u);
  EXPECT_EQ(second.items[0].code, ResultCode::Ok);
}

TEST_F(ReadWriteTest, FlagSetMidBatchCancelsEveryRemainingItem) {
  std::vector<std::string> addresses = {Node("Scalar.Int32"), Node("Fault"), Node("Scalar.Int16"), Node("Scalar.Byte")};
  ReadRequest read = ReadOf(addresses);
  auto readFlag = CancelFlag(read.options);
  WriteRequest write = WriteOf({{Node("Scalar.Int32"), int32_t{1}},
                                {Node("ReadOnly"), int32_t{2}},
                                {Node("Scalar.Int16"), int16_t{3}},
                                {Node("Scalar.Byte"), uint8_t{4}}});
  auto writeFlag = CancelFlag(write.options);
  ReadResult readResult;
  WriteResult writeResult;
  {
    // The flag goes up while the second item's failure is logged.
    tessel::fnd::SetLogger(std::make_shared<FlagOnLine>("Read '" + Node("Fault") + "' failed", readFlag));
    readResult = client->Read(read);
    tessel::fnd::SetLogger(std::make_shared<FlagOnLine>("Write '" + Node("ReadOnly") + "' failed", writeFlag));
    writeResult = client->Write(write);
    tessel::fnd::SetLogger(nullptr);
  }
  ASSERT_EQ(readResult.items.size(), 4u);
  EXPECT_EQ(readResult.code, ResultCode::Ok);
  EXPECT_EQ(readResult.items[0].code, ResultCode::Ok);
  EXPECT_EQ(readResult.items[1].code, ResultCode::InternalError);
  for (size_t i = 2; i < 4; ++i) {
    ExpectItem(readResult.items[i], ResultCode::Cancelled, "cancelled mid-batch");
    EXPECT_EQ(readResult.items[i].address, addresses[i]);
  }
  ASSERT_EQ(writeResult.items.size(), 4u);
  EXPECT_EQ(writeResult.code, ResultCode::Ok);
  EXPECT_EQ(writeResult.items[0].code, ResultCode::Ok);
  EXPECT_EQ(writeResult.items[1].code, ResultCode::InvalidState);
  for (size_t i = 2; i < 4; ++i) ExpectItem(writeResult.items[i], ResultCode::Cancelled, "cancelled mid-batch");
  // The cancelled writes were not sent.
  EXPECT_EQ(ReadValue(*client, Node("Scalar.Int16")), Value(int16_t{-1234}));
}

TEST_F(ReadWriteTest, FlagFlippedByAnotherThreadStopsASlowBatch) {
  LogCapture log;
  std::vector<std::string> addresses = {Node("Slow.1"), Node("Fault")};
  for (int round = 0; round < 2; ++round)
    for (int i = 1; i <= 5; ++i) addresses.push_back(Node("Slow." + std::to_string(i)));
  ReadRequest request = ReadOf(addresses);
  auto flag = CancelFlag(request.options);
  std::thread canceller([&] {
    // Flips while the batch is reading the 50 ms nodes after the Fault item.
    if (log.WaitFor("Read '" + Node("Fault") + "' failed", 30s)) flag->store(true);
  });
  const ReadResult result = client->Read(request);
  canceller.join();

  ASSERT_EQ(result.items.size(), addresses.size());
  EXPECT_EQ(result.code, ResultCode::Ok);
  size_t done = 0;
  while (done < result.items.size() && result.items[done].code != ResultCode::Cancelled) ++done;
  EXPECT_GE(done, 2u);                   // the flag went up only after the second item
  EXPECT_LT(done, result.items.size());  // and long before the last of ten 50 ms reads
  for (size_t i = 0; i < done; ++i) {
    if (i == 1) continue;
    const int32_t slowIndex = i == 0 ? 1 : static_cast<int32_t>((i - 2) % 5 + 1);
    ASSERT_TRUE(result.items[i].value) << addresses[i];
    EXPECT_EQ(result.items[i].value->value, Value(slowIndex)) << addresses[i];
  }
  for (size_t i = done; i < result.items.size(); ++i)
    ExpectItem(result.items[i], ResultCode::Cancelled, "cancelled mid-batch");
  EXPECT_EQ(log.Count("Read cancelled mid-batch at '"), result.items.size() - done);
}

TEST_F(ReadWriteTest, HostileInputNeitherCrashesNorHangsNorHarmsTheSession) {
  std::vector<std::string> addresses;
  for (int i = 0; i < 10000; ++i) {
    switch (i % 4) {
      case 0:
        addresses.push_back(Node("Scalar.Int32"));
        break;
      case 1:
        addresses.push_back("ns=1;s=" + std::to_string(i));
        break;
      case 2:
        addresses.push_back(std::string("ns=1;s=Scalar.Int32\0tail", 24));
        break;
      default:
        addresses.push_back(std::string(1, static_cast<char>(i % 256)));
        break;
    }
  }
  const auto start = std::chrono::steady_clock::now();
  const ReadResult big = client->Read(ReadOf(addresses));
  ASSERT_EQ(big.items.size(), addresses.size());
  for (size_t i = 0; i < addresses.size(); ++i) {
    ASSERT_EQ(big.items[i].address, addresses[i]);
    // An address with a NUL in it never reads the node named before the NUL.
    ASSERT_EQ(big.items[i].code == ResultCode::Ok, i % 4 == 0) << i << ": " << big.items[i].message;
  }

  std::vector<std::pair<std::string, Value>> writes;
  for (int i = 0; i < 10000; ++i)
    writes.emplace_back(addresses[i], i % 2 ? Value(int32_t{i}) : Value(std::vector<int32_t>{i}));
  const WriteResult bigWrite = client->Write(WriteOf(writes));
  ASSERT_EQ(bigWrite.items.size(), writes.size());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 120s);

  const std::string huge = "ns=1;s=" + std::string(1 << 20, 'x');
  const ReadResult hugeRead = client->Read(ReadOf({huge, Node("Scalar.Int32")}));
  ASSERT_EQ(hugeRead.items.size(), 2u);
  EXPECT_NE(hugeRead.items[0].code, ResultCode::Ok);
  const WriteResult hugeWrite =
      client->Write(WriteOf({{huge, int32_t{1}}, {Node("Scalar.Int32"), std::string(1 << 20, 'y')}}));
  ASSERT_EQ(hugeWrite.items.size(), 2u);
  EXPECT_NE(hugeWrite.items[0].code, ResultCode::Ok);

  // The session still serves ordinary requests afterwards.
  ASSERT_TRUE(ualib_test::WaitFor(
      [&] {
        const ReadResult probe = client->Read(ReadOf({Node("Scalar.Int32")}));
        return probe.items.size() == 1 && probe.items[0].code == ResultCode::Ok;
      },
      30s, 50ms));
}

struct AlternativeCase {
  std::string node;  // a variable whose type matches the alternative; empty when it has none
  Value value;
};

// Every alternative of Value: the twelve scalars are written to their variables, the
// rest must be refused locally.
std::vector<AlternativeCase> EveryAlternative() {
  PropertyMap map;
  map.Set("k", "v");
  return {
      {"", Value{}},
      {"Scalar.Boolean", true},
      {"Scalar.Int32", int32_t{11}},
      {"Scalar.UInt32", uint32_t{12}},
      {"Scalar.Int64", int64_t{13}},
      {"Scalar.UInt64", uint64_t{14}},
      {"Scalar.Float", 1.5f},
      {"Scalar.Double", 2.5},
      {"Scalar.String", std::string("s")},
      {"", std::vector<uint8_t>{1}},
      {"", std::vector<bool>{true}},
      {"", std::vector<int32_t>{1}},
      {"", std::vector<uint32_t>{1}},
      {"", std::vector<int64_t>{1}},
      {"", std::vector<uint64_t>{1}},
      {"", std::vector<float>{1.f}},
      {"", std::vector<double>{1.0}},
      {"", std::vector<std::string>{"x"}},
      {"", map},
      {"Scalar.Int16", int16_t{19}},
      {"Scalar.UInt16", uint16_t{20}},
      {"Scalar.SByte", int8_t{21}},
      {"Scalar.Byte", uint8_t{22}},
      {"", std::vector<int16_t>{1}},
      {"", std::vector<uint16_t>{1}},
      {"", std::vector<int8_t>{1}},
  };
}

TEST_F(ReadWriteTest, EveryValueAlternativeIsWrittenOrRefusedLocally) {
  const auto cases = EveryAlternative();
  ASSERT_EQ(cases.size(), std::variant_size_v<Value>);
  std::vector<std::pair<std::string, Value>> writes;
  for (const auto& c : cases) writes.emplace_back(Node(c.node.empty() ? "Scalar.Int32" : c.node), c.value);
  const WriteResult result = client->Write(WriteOf(writes));
  ASSERT_EQ(result.items.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE("alternative " + std::to_string(i));
    if (cases[i].node.empty()) {
      ExpectItem(result.items[i], ResultCode::TypeMismatch, "value type not supported by current converter");
    } else {
      ExpectItem(result.items[i], ResultCode::Ok, "");
      EXPECT_EQ(ReadValue(*client, Node(cases[i].node)), cases[i].value);
    }
  }
}

}  // namespace
