// The local service's live page in a real browser (headless Chromium over the DevTools pipe)
// while the library uploads to the service: what arrives shows on the page, and a switch
// flipped on the page changes how the service answers the library.
#include <gtest/gtest.h>

#include <filesystem>

#include "headless_browser/headless_chromium.h"
#include "settings/storage_helper.h"
#include "support/test_support.h"
#include "tavrel_mmp/nimbrel.h"

namespace tavrel_mmp {
namespace {

using nlohmann::json;
using tools::HeadlessChromium;
using namespace std::chrono_literals;

constexpr const char* kBatchPath = "/partner/event/log";

// JavaScript: whether a row of the table body `tableId` has cells reading exactly `cells`.
std::string rowShows(const std::string& tableId, const std::vector<std::string>& cells) {
  return "[...document.querySelectorAll('#" + tableId +
         " tr')].some(tr => { const texts = [...tr.cells].map(c => c.textContent); return " +
         json(cells).dump() + ".every(t => texts.includes(t)); })";
}

// JavaScript: the switch row of `path`, for a statement to act on.
std::string switchRow(const std::string& path) {
  return "document.querySelector('#switches tr[data-path=\"" + path + "\"]')";
}

class LivePage : public testing::ServiceTest {
 protected:
  // Waits until the page makes `expression` true (the page polls the service on its own).
  bool pageShows(const std::string& expression) {
    return testing::waitUntil(
        [&] {
          const auto value = browser_->evaluate(page_, expression);
          return value && *value == true;
        },
        20s);
  }
  bool act(const std::string& statements) {
    const auto done = browser_->evaluate(page_, "(() => { " + statements + "; return true; })()");
    return done && *done == true;
  }

  std::optional<HeadlessChromium> browser_;
  std::string page_;
};

TEST_F(LivePage, ShowsWhatArrivesAndItsSwitchesReachTheLibrary) {
  if (!std::filesystem::exists(HeadlessChromium::kDefaultExecutable)) {
    GTEST_SKIP() << HeadlessChromium::kDefaultExecutable
                 << " is missing; scripts/setup.sh installs Debian's chromium";
  }
  ASSERT_TRUE(start());
  browser_.emplace();
  ASSERT_TRUE(browser_->started()) << browser_->error();
  const auto page = browser_->openPage(service_.baseUrl() + "/");
  ASSERT_TRUE(page) << browser_->error();
  page_ = *page;

  for (int i = 0; i < 3; ++i) Nimbrel::logEvent("live_probe", PropertyDictionary{{"n", i}});
  ASSERT_TRUE(testing::drainEvents(*time_.loop));
  const std::string session = StorageHelper::shared().getAuthData()->data->sessionId;
  EXPECT_TRUE(pageShows(rowShows("events-by-name", {"live_probe", "3"})));
  std::size_t inSession = 0;
  for (const auto& [id, stored] : service_.events())
    inSession += stored.event["sessionId"] == session;
  EXPECT_TRUE(pageShows(rowShows("events-by-session", {session, std::to_string(inSession)})));

  // The batch path switched to fail on the page, as a user would.
  ASSERT_TRUE(act("const row = " + switchRow(kBatchPath) +
                  "; row.querySelector('select.kind').value = 'responseCode'"
                  "; row.querySelector('input.http').value = '503'"
                  "; row.querySelector('button.apply').click()"))
      << browser_->error();
  ASSERT_TRUE(pageShows(switchRow(kBatchPath) +
                        ".querySelector('.now').textContent === 'fail: HTTP 503, code 500'"));
  const std::size_t accepted = service_.acceptedEventCount();
  for (int i = 0; i < 4; ++i) Nimbrel::logEvent("while_failing", PropertyDictionary{{"n", i}});
  testing::tickAndSettle(*time_.loop);
  EXPECT_EQ(service_.acceptedEventCount(), accepted);
  EXPECT_EQ(testing::pendingEventCount(), 4u) << "the library let go of a failed batch";
  EXPECT_EQ(service_.requestTotals()[kBatchPath].faulted, 1u);
  EXPECT_TRUE(pageShows(rowShows("requests", {kBatchPath, "HTTP 503, code 500 (injected)"})));

  // Cleared on the page: the kept events arrive with the next batch.
  ASSERT_TRUE(act(switchRow(kBatchPath) + ".querySelector('button.clear').click()"));
  ASSERT_TRUE(pageShows(switchRow(kBatchPath) +
                        ".querySelector('.now').textContent === 'answers normally'"));
  EXPECT_EQ(arrived("while_failing").size(), 4u);
  EXPECT_TRUE(pageShows(rowShows("events-by-name", {"while_failing", "4"})));

  // The page's own traffic is not counted as the library's.
  for (const auto& request : service_.requests()) {
    EXPECT_NE(request.path, "/");
    EXPECT_NE(request.path.rfind("/_live", 0), 0u) << request.path;
  }
}

}  // namespace
}  // namespace tavrel_mmp
