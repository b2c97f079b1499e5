#include "telemetry/core/Internals/Ingestion/TLCollectorIngestion.h"

#include <gtest/gtest.h>

#include <sstream>

#include "telemetry/core/Internals/Ingestion/TLTicketCache.h"
#include "telemetry/core/Internals/Storage/TLLogDBStorage.h"
#include "telemetry/core/Internals/Util/TLUtility+StringFormatting.h"
#include "telemetry/core/Internals/Util/TLUtility.h"
#include "tests/support/FakeIngestionServer.h"
#include "tests/support/RawHttpResponder.h"
#include "tests/telemetry/support/TLIngestionFixtures.h"
#include "tests/telemetry/support/TLLogRecorder.h"

namespace {

std::shared_ptr<TLLog> logWithTokens(const std::string& userId, std::vector<std::string> tokens) {
  auto log = test::startServiceLog(userId);
  for (const auto& token : tokens) log->addTransmissionTargetToken(token);
  return log;
}

std::string linesOf(const TLLogContainer& container) {
  std::string lines;
  for (const auto& log : container.logs()) {
    lines += *TLUtility::jsonStringFromObject(*log->serializeToDictionary(), false) + "\n";
  }
  return lines;
}

class TLCollectorIngestionTest : public testing::Test {
 protected:
  TLCollectorIngestionTest() { TLTicketCache::sharedInstance().clearCache(); }
  ~TLCollectorIngestionTest() override { TLTicketCache::sharedInstance().clearCache(); }

  std::shared_ptr<TLCollectorIngestion> make() { return TLCollectorIngestion::create(server.baseURL(), {1, 1, 1}); }

  // Sends `container` and answers the request the server saw.
  test::RecordedRequest send(const std::shared_ptr<TLLogContainer>& container) {
    const std::size_t answered = completions.count();
    ingestion->sendAsync(container, std::nullopt, completions.handler());
    EXPECT_TRUE(completions.waitFor(answered + 1));
    return server.requests().back();
  }

  test::ScriptedNetwork network;
  test::FakeIngestionServer server;
  test::CompletionRecorder completions;
  std::shared_ptr<TLCollectorIngestion> ingestion = make();
};

TEST_F(TLCollectorIngestionTest, PostsOneJsonLinePerLogWithTheBatchsTokens) {
  auto batch = test::containerOf("B1", {logWithTokens("first", {"A-token"}), logWithTokens("second", {"B-token"}),
                                        logWithTokens("third", {"A-token"})});
  const auto before = static_cast<long long>(TLUtility::nowInMilliseconds());
  const auto request = send(batch);
  const auto after = static_cast<long long>(TLUtility::nowInMilliseconds());

  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.path, "/Collector/1.0");
  EXPECT_EQ(request.query, "");
  EXPECT_EQ(ingestion->sendURL()->absoluteString(), server.baseURL() + "/Collector/1.0");
  EXPECT_EQ(request.body, linesOf(*batch));
  const auto first = request.body.find("first"), second = request.body.find("second"), third = request.body.find("third");
  EXPECT_TRUE(first < second && second < third) << request.body;
  EXPECT_EQ(std::count(request.body.begin(), request.body.end(), '\n'), 3);
  EXPECT_EQ(request.body.back(), '\n');

  EXPECT_EQ(request.header("Content-Type"), "application/x-json-stream; charset=utf-8");
  EXPECT_EQ(request.header("Client-Version"), "Collector-Cpp-no-" + TLUtility::sdkVersion() + "-no");
  EXPECT_EQ(request.header("apikey"), "A-token,B-token");
  const long long uploadTime = std::stoll(request.header("Upload-Time").value_or("0"));
  EXPECT_TRUE(uploadTime >= before && uploadTime <= after) << uploadTime;
  EXPECT_EQ(request.header("Tickets"), std::nullopt);
  EXPECT_EQ(completions.outcomes().back().callId, "B1");
  EXPECT_EQ(completions.outcomes().back().status, 200);
}

TEST_F(TLCollectorIngestionTest, ALogWithoutTokensSendsAnEmptyApiKey) {
  // Read off the wire: an empty header is easily lost on the way.
  test::RawHttpResponder collector("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
  auto plain = TLCollectorIngestion::create(collector.baseURL(), {1, 1, 1});
  plain->sendAsync(test::container("B1"), std::nullopt, completions.handler());
  ASSERT_TRUE(completions.waitFor(1));
  ASSERT_EQ(collector.requestCount(), 1u);
  const std::string text = collector.requests().at(0);
  EXPECT_NE(text.find("\r\napikey:\r\n"), std::string::npos) << text;
}

TEST_F(TLCollectorIngestionTest, TicketsCarryTheNamedKeysThatHaveATicket) {
  TLTicketCache::sharedInstance().setTicket("d:token-one", "key-one");
  const auto request = send(test::containerOf(
      "B1", {test::commonSchemaLog("ikey-token", "first", {"key-one", "key-missing"}),
             test::commonSchemaLog("ikey-token", "second", {"key-one"})}));
  const auto tickets = request.header("Tickets");
  ASSERT_TRUE(tickets);
  EXPECT_EQ(test::parseJson(*tickets), foundation::Value(foundation::Dictionary{{"key-one", "d:token-one"}}));
}

// The path of a real batch: common-schema logs stored, loaded back (the store restores their
// tokens, the archive their ticket keys) and sent as they come out of the store.
TEST_F(TLCollectorIngestionTest, StoredCommonSchemaLogsGoOutWithTheirTokensTicketsAndJson) {
  TLTicketCache::sharedInstance().setTicket("p:ticket", "key-one");
  TLLogDBStorage store;
  for (const auto& [token, name] : {std::pair{"aaa-token-1", "first.event"}, {"bbb-token-2", "second_event"},
                                    {"aaa-token-1", "third9"}}) {
    ASSERT_TRUE(store.saveLog(test::commonSchemaLog(token, name, {"key-one"}), "Analytics/one", TLFlagsNormal));
  }
  std::shared_ptr<TLLogContainer> batch;
  store.loadLogsWithGroupId("Analytics/one", 10, std::nullopt, std::nullopt, std::nullopt,
                            [&](const auto& logs, const auto& batchId) { batch = test::containerOf(*batchId, logs); });
  ASSERT_TRUE(batch);
  ASSERT_EQ(batch->logs().size(), 3u);

  const auto request = send(batch);
  EXPECT_EQ(request.header("apikey"), "aaa-token-1,bbb-token-2");
  EXPECT_EQ(request.header("Tickets"), R"({"key-one":"p:ticket"})");
  std::istringstream lines(request.body);
  std::vector<std::string> names;
  for (std::string line; std::getline(lines, line);) {
    const foundation::Value json = test::parseJson(line);
    EXPECT_EQ(json["ver"], foundation::Value("3.0")) << line;
    EXPECT_EQ(json["ext"]["protocol"]["ticketKeys"], foundation::Value(foundation::Array{"key-one"})) << line;
    EXPECT_FALSE(json.dictionaryValue().contains("type")) << "a base-log key leaked into " << line;
    names.push_back(json["name"].stringValue());
  }
  EXPECT_EQ(names, (std::vector<std::string>{"first.event", "second_event", "third9"}));
  EXPECT_EQ(request.body, linesOf(*batch));
}

TEST_F(TLCollectorIngestionTest, BodiesFrom1400BytesOnAreGzipped) {
  for (const std::size_t length : {1399u, 1400u}) {
    auto batch = test::containerWithBodyLength("B" + std::to_string(length), length,
                                               [](const TLLogContainer& c) { return linesOf(c).size(); });
    const auto request = send(batch);
    EXPECT_EQ(request.gzipped, length == 1400) << length;
    EXPECT_EQ(request.header("Content-Encoding").has_value(), length == 1400) << length;
    EXPECT_EQ(request.body, linesOf(*batch));
  }
}

TEST_F(TLCollectorIngestionTest, InvalidContainersAreRefusedAtOnce) {
  ingestion->sendAsync(test::containerOf("B-empty", {}), std::nullopt, completions.handler());
  ASSERT_EQ(completions.count(), 1u);
  EXPECT_EQ(completions.outcomes().at(0).callId, "B-empty");
  EXPECT_EQ(completions.outcomes().at(0).error->code(), TLLogInvalidContainerErrorCode);
  test::pumpFor(0.1);
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(TLCollectorIngestionTest, LoggedHeadersHideTokensAndTickets) {
  const std::string token = std::string(60, 'a') + "-TOKEN-8";  // 68 characters
  EXPECT_EQ(TLCollectorIngestion::obfuscateTargetTokens(token + ",short"),
            std::string(60, '*') + "-TOKEN-8,*****");
  EXPECT_EQ(TLCollectorIngestion::obfuscateTickets(R"({"key-one":"d:token-one","key-two":"p:x"})"),
            R"({"key-one":"d:***","key-two":"p:***"})");

  test::LogLevelScope verbose(TLLogLevelVerbose);
  test::TLLogRecorder log;
  TLTicketCache::sharedInstance().setTicket("d:secret-ticket", "key-one");
  const auto request = send(test::containerOf("B1", {test::commonSchemaLog(token, "event", {"key-one"})}));
  EXPECT_EQ(request.header("apikey"), token);
  EXPECT_EQ(request.header("Tickets"), R"({"key-one":"d:secret-ticket"})");
  std::string headersLine;
  for (const auto& entry : log.entries()) {
    if (entry.message.rfind("Headers: ", 0) == 0) headersLine = entry.message;
  }
  EXPECT_NE(headersLine.find("apikey = " + std::string(60, '*') + "-TOKEN-8"), std::string::npos) << headersLine;
  EXPECT_NE(headersLine.find(R"(Tickets = {"key-one":"d:***"})"), std::string::npos) << headersLine;
  EXPECT_EQ(headersLine.find("secret-ticket"), std::string::npos);
}

TEST(TLTicketCacheTest, StoresReplacesAndRemovesTickets) {
  TLTicketCache cache;
  EXPECT_EQ(cache.ticketFor("never"), std::nullopt);
  cache.setTicket("p:one", "key");
  cache.setTicket("p:two", "key");
  EXPECT_EQ(cache.ticketFor("key"), "p:two");
  cache.setTicket(std::nullopt, "key");
  EXPECT_EQ(cache.ticketFor("key"), std::nullopt);
  cache.setTicket("p:three", "other");
  cache.clearCache();
  EXPECT_EQ(cache.ticketFor("other"), std::nullopt);
  EXPECT_EQ(&TLTicketCache::sharedInstance(), &TLTicketCache::sharedInstance());
}

}  // namespace
