// The search registry's bounded memory of cancels, and the search requests
// of an in-process core: what they count, and a search thread that cannot
// be started.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <string>
#include <system_error>
#include <vector>

#include "InProcessCore.h"
#include "events/PayloadBlock.h"
#include "events/SearchHandler.h"
#include "events/Statistics.h"

using namespace km::core;
using namespace dvrtest;

namespace {

constexpr uint32_t kRequest = 0x00050001;
constexpr std::size_t kMax = SearchHandler::kMaxCancelled;

TEST(CancelledIds, AreForgottenOldestFirstBeyondTheBound) {
  SearchHandler registry;
  for (uint32_t id = 1; id <= kMax + 300; ++id) registry.cancel(id);
  EXPECT_EQ(registry.cancelledCount(), kMax);
  EXPECT_FALSE(registry.isCancelled(1));
  EXPECT_FALSE(registry.isCancelled(300));
  EXPECT_TRUE(registry.isCancelled(301));
  EXPECT_TRUE(registry.isCancelled(kMax + 300));
  // A repeated cancel changes nothing.
  registry.cancel(kMax + 300);
  EXPECT_EQ(registry.cancelledCount(), kMax);
}

TEST(CancelledIds, OfASearchStillRunningOrAboutToStartAreKept) {
  SearchHandler registry;
  registry.searchThreadStarting(7);  // announced, not yet running
  registry.searchThreadStarting(8);
  registry.cancel(7);
  registry.cancel(8);
  for (uint32_t id = 100; id < 100 + 3 * kMax; ++id) registry.cancel(id);
  EXPECT_TRUE(registry.isCancelled(7));
  EXPECT_TRUE(registry.isCancelled(8));
  EXPECT_EQ(registry.cancelledCount(), kMax);

  // Once the search has ended, its cancel ages like any other.
  registry.searchThreadEnded(7);
  for (uint32_t id = 100000; id < 100000 + kMax; ++id) registry.cancel(id);
  EXPECT_FALSE(registry.isCancelled(7));
  EXPECT_TRUE(registry.isCancelled(8));
  registry.searchThreadEnded(8);
  registry.waitForSearchThreads();
}

TEST(CancelledIds, AReusedIdStartsUncancelledAndIsRememberedAgainWhenCancelled) {
  SearchHandler registry;
  for (int round = 0; round < 5000; ++round) {
    registry.cancel(kRequest);
    ASSERT_TRUE(registry.isCancelled(kRequest));
    EXPECT_TRUE(registry.beginRequest(kRequest));  // not called from a search thread
    ASSERT_FALSE(registry.isCancelled(kRequest));
  }
  EXPECT_EQ(registry.cancelledCount(), 0u);
  // The stale order entries left by the rounds above do not make it forget
  // a fresh cancel early.
  registry.cancel(kRequest);
  for (uint32_t id = 1; id < kMax; ++id) registry.cancel(id);
  EXPECT_TRUE(registry.isCancelled(kRequest));
  registry.cancel(kMax);
  EXPECT_FALSE(registry.isCancelled(kRequest));
}

TEST(SearchRegistry, AThreadWaitingForItsPreviousPayloadGivesUpOnACancelOfItsOwnRequestOnly) {
  SearchHandler registry;
  const int first = 1, second = 2;
  int32_t answer = -1;
  std::atomic<bool> secondPosted{false};
  registry.searchThreadStarting(kRequest);
  std::thread provider([&] {
    registry.enterSearchThread(kRequest);
    EXPECT_EQ(registry.admitAnswer(kRequest, &first, 4), 0);
    secondPosted = true;
    answer = registry.admitAnswer(kRequest, &second, 4);  // waits: `first` is still alive
    registry.leaveSearchThread();
    registry.searchThreadEnded(kRequest);
  });
  ASSERT_TRUE(eventually([&] { return secondPosted.load(); }));
  registry.cancel(kRequest + 1);  // another request's cancel leaves it waiting
  registry.blockFreed(&second);   // and so does the end of a block it does not wait for
  registry.cancel(kRequest);
  provider.join();
  EXPECT_EQ(answer, 1);
  registry.waitForSearchThreads();
}

// ---- an in-process core --------------------------------------------------------

class SearchRequests : public ::testing::Test {
 protected:
  InstallTree tree;
  InProcessCore core;
  const uint32_t requests0 = searchRequests.load();
  const uint32_t results0 = searchResults.load();
  const uint32_t bytes0 = searchResultBytes.load();

  void TearDown() override { searchThreadLauncher = original; }

  static int32_t postRequest(uint32_t source, uint32_t requestId, const std::string& payload) {
    EventParms e = makeEvent(DVR_TYPE_VIDEO, DVR_FLAG_STORED, source, payload);
    e.requestId = requestId;
    return post(&e);
  }
  bool searchesReturned(size_t count) {
    return eventually([&] { return tree.journalLines({"search-return "}).size() >= count; });
  }

  SearchThreadLauncher original = searchThreadLauncher;
};

TEST_F(SearchRequests, CountRequestsStartedAndAnswersAdmittedWithTheirBytes) {
  core.addPlugin(tree, "tp_full", "p6.so",
                 {{"id", "0x60000"},
                  {"onSearch", "post type=1 flags=0x4000000 source=0x60000 req=search tag=a text=12345;"
                               "post type=1 flags=0x4000000 source=0x60000 req=search nopayload=1 tag=b"}});
  EXPECT_EQ(postRequest(0, kRequest, "query"), 0);
  ASSERT_TRUE(searchesReturned(1));
  EXPECT_EQ(searchRequests.load(), requests0 + 1);
  EXPECT_EQ(searchResults.load(), results0 + 2);
  EXPECT_EQ(searchResultBytes.load(), bytes0 + 5);

  // Neither an empty request nor a non-request counts; a request nobody serves does.
  EXPECT_EQ(postRequest(0, kRequest, ""), 0);
  EXPECT_EQ(postRequest(0x00000007, 0, "no id"), 0);  // an ordinary event, queued
  EXPECT_EQ(postRequest(DVR_SOURCE_CORE, kRequest, "core"), 1);  // an answer from nowhere
  EXPECT_EQ(searchRequests.load(), requests0 + 1);
  core->withdrawSearchProviders();
  EXPECT_EQ(postRequest(0x00001234, kRequest, "nobody"), 0);
  EXPECT_EQ(searchRequests.load(), requests0 + 2);
  EXPECT_EQ(tree.journalLines({"OnSearch "}).size(), 1u);
}

TEST_F(SearchRequests, AThreadThatCannotBeStartedIsLoggedAndTheOtherProvidersAreStillServed) {
  core.addPlugin(tree, "tp_full", "p6.so", {{"id", "0x60000"}});
  core.addPlugin(tree, "tp_full", "p7.so", {{"id", "0x70000"}});
  static int launches;
  launches = 0;
  searchThreadLauncher = [](std::function<void()> body) {
    if (launches++ == 0) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    std::thread(std::move(body)).detach();
  };
  EXPECT_EQ(postRequest(0, kRequest, "query"), 0);
  ASSERT_TRUE(searchesReturned(1));
  EXPECT_EQ(tree.journalLines({"p6.so OnSearch "}).size(), 0u);
  EXPECT_EQ(tree.journalLines({"p7.so OnSearch ", "req=0x50001"}).size(), 1u);
  EXPECT_EQ(searchRequests.load(), requests0 + 1);

  std::vector<std::string> errors;
  for (const QueuedEvent& event : core.drainQueue()) {
    if (event.record.type == DVR_TYPE_LOG && event.record.param == 75) errors.push_back(event.payload);
  }
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("Search thread for 06:p6 not started: ", 0), 0u) << errors[0];
  core->threadWaiters.waitForSearchThreads();

  // The failed thread does not keep the cancel of its request alive.
  for (uint32_t id = 1; id <= kMax; ++id) core->threadWaiters.cancel(0x00090000 + id);
  core->threadWaiters.cancel(kRequest);
  for (uint32_t id = 1; id <= kMax; ++id) core->threadWaiters.cancel(0x000A0000 + id);
  EXPECT_FALSE(core->threadWaiters.isCancelled(kRequest));
}

}  // namespace
