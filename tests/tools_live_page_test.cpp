// The local service's live page in a real browser (headless Chromium over the DevTools pipe)
// while the library uploads to the service: what arrives shows on the page, payloads included,
// where the browser's text search finds it; a switch flipped on the page changes how the service
// answers the library; the page's filters and its clearing work as a tester uses them.
#include <gtest/gtest.h>

#include <ctime>
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
constexpr const char* kDeferredLink = "app://promo/live-page";

// JavaScript: whether a row of the table body `tableId` has cells reading exactly `cells`.
std::string rowShows(const std::string& tableId, const std::vector<std::string>& cells) {
  return "[...document.querySelectorAll('#" + tableId +
         " tr')].some(tr => { const texts = [...tr.cells].map(c => c.textContent); return " +
         json(cells).dump() + ".every(t => texts.includes(t)); })";
}

// JavaScript: whether the browser's text search (window.find, which also looks into entries not
// opened, and not into what is hidden) finds `text` in the elements matching `where`: the rest
// of the page is hidden while it searches.
std::string searchFinds(const std::string& text, const std::string& where) {
  return "(() => { const targets = new Set(document.querySelectorAll(" + json(where).dump() +
         ")); const keep = new Set(); for (const t of targets)"
         " for (let e = t; e; e = e.parentElement) keep.add(e);"
         " const hidden = []; const hideOthers = (e) => { for (const c of e.children) {"
         " if (targets.has(c)) continue; if (keep.has(c)) { hideOthers(c); continue; }"
         " hidden.push([c, c.style.display]); c.style.display = 'none'; } };"
         " hideOthers(document.body); getSelection().removeAllRanges();"
         " const found = targets.size > 0 && window.find(" +
         json(text).dump() +
         ", true, false, true);"
         " for (const [e, display] of hidden) e.style.display = display; return found; })()";
}

// JavaScript: the entries of list `listId` that are not filtered out.
std::string shownEntries(const std::string& listId) {
  return "[...document.querySelectorAll('#" + listId + " details')].filter(d => !d.hidden)";
}

// JavaScript: the switch row of `path`, for a statement to act on.
std::string switchRow(const std::string& path) {
  return "document.querySelector('#switches tr[data-path=\"" + path + "\"]')";
}

// "14:03:07" in this machine's time zone, as the browser shows the client's event time.
std::string localClock(std::int64_t unixSeconds) {
  const std::time_t t = unixSeconds;
  std::tm parts{};
  localtime_r(&t, &parts);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &parts);
  return text;
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
  service_.setVerifyData(json{{"deeplink", kDeferredLink}});
  ASSERT_TRUE(start());
  browser_.emplace();
  ASSERT_TRUE(browser_->started()) << browser_->error();
  const auto page = browser_->openPage(service_.baseUrl() + "/");
  ASSERT_TRUE(page) << browser_->error();
  page_ = *page;

  Nimbrel::setUserInfo(UserInfo::create("user-live", "Lia Tester", "female", "lia@example.com",
                                        "+4930123", 33, "DE", "Berlin", "push-token"));
  for (int i = 0; i < 3; ++i) {
    Nimbrel::logEvent("live_probe", PropertyDictionary{{"n", i}, {"price", 9.5}, {"sku", "9.5"}});
  }
  // The client's own clock three hours ahead: its event time must not read as the arrival's.
  time_.clock->set(time_.clock->now() + 3 * 3600);
  Nimbrel::logEvent("timed_probe", std::nullopt);
  ASSERT_TRUE(testing::drainEvents(*time_.loop));
  const std::string session = StorageHelper::shared().getAuthData()->data->sessionId;
  EXPECT_TRUE(pageShows(rowShows("events-by-name", {"live_probe", "3"})));
  std::size_t inSession = 0;
  for (const auto& [id, stored] : service_.events())
    inSession += stored.event["sessionId"] == session;
  EXPECT_TRUE(pageShows(rowShows("events-by-session", {session, std::to_string(inSession)})));
  const auto timed = arrived("timed_probe");
  ASSERT_EQ(timed.size(), 1u);
  EXPECT_TRUE(pageShows(shownEntries("event-log") +
                        ".some(d => d.dataset.name === 'timed_probe' && d.querySelector("
                        "'summary span:nth-child(2)').textContent === '" +
                        localClock(timed[0].event["time"].get<std::int64_t>()) + "')"));

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

  // Cleared on the page: the kept events arrive with the next batch.
  ASSERT_TRUE(act(switchRow(kBatchPath) + ".querySelector('button.clear').click()"));
  ASSERT_TRUE(pageShows(switchRow(kBatchPath) +
                        ".querySelector('.now').textContent === 'answers normally'"));
  EXPECT_EQ(arrived("while_failing").size(), 4u);
  EXPECT_TRUE(pageShows(rowShows("events-by-name", {"while_failing", "4"})));

  // An event the service refuses for its content, again and again: set aside by now.
  service_.setRefusedEventKey("poison_probe");
  Nimbrel::logEvent("poison_probe", std::nullopt);
  for (int i = 0; i < 5; ++i) testing::tickAndSettle(*time_.loop);
  EXPECT_TRUE(
      pageShows("[...document.querySelectorAll('#refused-events details')].some(d => "
                "d.textContent.includes('poison_probe') && d.querySelector('.pill.aside'))"));

  const std::string deviceId = *StorageHelper::shared().getDeviceId();
  const struct {
    const char* what;
    std::string text;
    std::string where;
  } findable[] = {
      {"a number property in an event's payload", "\"value\": 9.5", "#event-log"},
      {"a text property, quoted", "sku: \"9.5\"", "#event-log summary"},
      {"the same in the batch that carried it", "\"value\": 9.5", "#request-log"},
      {"a request's headers", "authorization: " + service_.grantedTokens().back(), "#request-log"},
      {"the refused batch, flagged", "HTTP 503, code 500 (injected)",
       "#request-log details.refused"},
      {"the installation's device id", deviceId, "#installations summary"},
      {"its bundle id", "com.tavrel.test", "#installations summary"},
      {"the last profile received", "lia@example.com", "#installations"},
      {"the deferred deep link answered", kDeferredLink, "#deep-links"},
      {"the event the service keeps refusing", "\"key\": \"poison_probe\"", "#refused-events"},
  };
  for (const auto& item : findable) {
    EXPECT_TRUE(pageShows(searchFinds(item.text, item.where)))
        << item.what << ": \"" << item.text << "\" not found in " << item.where;
  }

  // An entry opens on a click; a row of the counts filters the list below it.
  ASSERT_TRUE(act(shownEntries("event-log") + "[0].querySelector('summary').click()"));
  EXPECT_TRUE(pageShows(shownEntries("event-log") + "[0].open"));
  ASSERT_TRUE(
      act("[...document.querySelectorAll('#events-by-name tr')].find(tr => "
          "tr.cells[0].textContent === 'live_probe').click()"));
  EXPECT_TRUE(pageShows(shownEntries("event-log") + ".length === 3 && " +
                        shownEntries("event-log") +
                        ".every(d => d.dataset.name === 'live_probe')"));
  ASSERT_TRUE(
      act("[...document.querySelectorAll('#paths tr')].find(tr => tr.cells[0].textContent "
          "=== '" +
          std::string(kBatchPath) + "').click()"));
  EXPECT_TRUE(pageShows(shownEntries("request-log") + ".length > 0 && " +
                        shownEntries("request-log") + ".every(d => d.dataset.path === '" +
                        kBatchPath + "')"));

  // Cleared on the page: what was received is gone, and the library's session still works.
  ASSERT_TRUE(act("document.querySelector('#clear-data').click()"));
  EXPECT_TRUE(
      pageShows("document.querySelectorAll('#event-log details, #request-log details, "
                "#installations details, #refused-events details').length === 0"));
  EXPECT_EQ(service_.acceptedEventCount(), 0u);
  service_.setRefusedEventKey(std::nullopt);
  EXPECT_EQ(arrived("poison_probe").size(), 1u);
  EXPECT_TRUE(pageShows(rowShows("events-by-name", {"poison_probe", "1"})));

  // The page's own traffic is not counted as the library's.
  for (const auto& request : service_.requests()) {
    EXPECT_NE(request.path, "/");
    EXPECT_NE(request.path.rfind("/_live", 0), 0u) << request.path;
  }
}

}  // namespace
}  // namespace tavrel_mmp
