// The local measurement service as a peer: what it keeps, what it refuses, how its faults
// answer on the wire, and its live page's endpoints. Spoken to over raw sockets, so every byte
// it sends (or does not send) is seen.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "local_service/local_service.h"

namespace tavrel_mmp {
namespace {

using nlohmann::json;
using tools::Fault;
using tools::LocalService;
using namespace std::chrono_literals;

// What came back on one connection, read until the service closed it.
struct RawReply {
  std::string bytes;

  int status() const {
    return bytes.rfind("HTTP/1.1 ", 0) == 0 ? std::stoi(bytes.substr(9, 3)) : 0;
  }
  std::string body() const {
    const auto end = bytes.find("\r\n\r\n");
    return end == std::string::npos ? "" : bytes.substr(end + 4);
  }
  json envelope() const { return json::parse(body(), nullptr, false); }
};

RawReply exchange(const LocalService& service, const std::string& method, const std::string& path,
                  const std::string& body = "", const std::string& contentType = "application/json",
                  const std::string& extraHeaders = "") {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{.sin_family = AF_INET,
                      .sin_port = htons(static_cast<std::uint16_t>(service.port())),
                      .sin_addr = {htonl(INADDR_LOOPBACK)}};
  const timeval patience{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  RawReply reply;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string request = method + " " + path +
                                " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                                "Content-Type: " +
                                contentType + "\r\nContent-Length: " + std::to_string(body.size()) +
                                "\r\n" + extraHeaders + "\r\n" + body;
    for (std::size_t sent = 0; sent < request.size();) {
      const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    char buffer[65536];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) reply.bytes.append(buffer, n);
  }
  ::close(fd);
  return reply;
}

RawReply post(const LocalService& service, const std::string& path, const std::string& body,
              const std::string& extraHeaders = "") {
  return exchange(service, "POST", path, body, "application/json", extraHeaders);
}

// A granted session's "Authorization" header line.
std::string authorizationHeader(const LocalService& service) {
  const RawReply granted =
      post(service, "/public/partner/auth", R"({"partnerCode":"P","appId":"A","deviceId":"D"})",
           "t: 1\r\nv: " + tools::expectedSignature("P", "A", "D", "1") + "\r\n");
  return "Authorization: " + granted.envelope()["data"]["token"].get<std::string>() + "\r\n";
}

std::string nested(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

// Objects, the events array and an event make three levels around the event's data.
std::string oneEvent(const std::string& idJson, const std::string& dataText) {
  return R"({"events":[{"id":)" + idJson + R"(,"data":)" + dataText + "}]}";
}

TEST(LocalService, KeepsTheLastRequestsWithinItsBoundsAndCountsThemAll) {
  LocalService service;
  ASSERT_TRUE(service.start());
  const std::string small = "/partner/crash/log";
  const std::size_t smallCount = tools::kRetainedRequests + 100;
  std::size_t smallBytes = 0;
  for (std::size_t i = 0; i < smallCount; ++i) {
    smallBytes += std::to_string(i).size();
    post(service, small, std::to_string(i));
  }
  auto kept = service.requests();
  ASSERT_EQ(kept.size(), tools::kRetainedRequests);
  EXPECT_EQ(kept.front().body, "100");
  EXPECT_EQ(kept.back().body, std::to_string(smallCount - 1));
  EXPECT_EQ(service.requestTotals()[small].count, smallCount);
  EXPECT_EQ(service.requestTotals()[small].bytes, smallBytes);
  EXPECT_TRUE(service.waitForRequests(small, smallCount, 0ms));

  // Large bodies: the byte bound drops the oldest first, whatever their path.
  const std::size_t mebibyte = 1u << 20, largeCount = tools::kRetainedBodyBytes / mebibyte + 6;
  for (std::size_t i = 0; i < largeCount; ++i) {
    post(service, "/large", std::string(mebibyte, static_cast<char>('a' + i % 26)));
  }
  kept = service.requests();
  std::size_t keptBytes = 0;
  for (const auto& request : kept) keptBytes += request.body.size();
  EXPECT_LE(keptBytes, tools::kRetainedBodyBytes);
  EXPECT_GT(keptBytes, tools::kRetainedBodyBytes - mebibyte);
  EXPECT_EQ(kept.back().body[0], static_cast<char>('a' + (largeCount - 1) % 26));
  EXPECT_EQ(service.requests(small).size(), 0u);
  EXPECT_EQ(service.requestTotals()["/large"].bytes, largeCount * mebibyte);

  // Too large to take at all: refused, not recorded.
  EXPECT_EQ(post(service, "/large", std::string(tools::kMaxRequestBodyBytes + 1, 'x')).status(),
            413);
  EXPECT_EQ(service.requestTotals()["/large"].count, largeCount);

  // Paths are the client's to invent: past the bound they share one row.
  const std::size_t invented = 300, ownRows = tools::kTrackedPaths - 2;
  for (std::size_t i = 0; i < invented; ++i) post(service, "/invented/" + std::to_string(i), "");
  const auto totals = service.requestTotals();
  EXPECT_EQ(totals.size(), tools::kTrackedPaths + 1);
  EXPECT_EQ(totals.at(tools::kOtherPaths).count, invented - ownRows);

  service.clearRequests();
  EXPECT_TRUE(service.requests().empty());
  EXPECT_TRUE(service.requestTotals().empty());
}

TEST(LocalService, RefusesBodiesNestedTooDeeplyBeforeParsingThem) {
  LocalService service;
  ASSERT_TRUE(service.start());
  const std::string auth = authorizationHeader(service);
  const std::size_t limit = 512;
  const std::string hugeDepth = nested(100000);
  struct Row {
    const char* what;
    std::string path;
    std::string body;
    std::int64_t code;
  };
  const std::vector<Row> rows = {
      {"an event at the limit", "/partner/event/log", oneEvent(R"("at-limit")", nested(limit - 3)),
       200},
      {"an event one level past it", "/partner/event/log",
       oneEvent(R"("past-limit")", nested(limit - 2)), 400},
      {"an event nested far past it", "/partner/event/log", oneEvent(R"("far")", hugeDepth), 400},
      {"brackets and an escaped quote inside a string", "/partner/event/log",
       oneEvent(R"("in-string \" )" + std::string(100000, '[') + R"(")", "{}"), 200},
      {"an escaped backslash ends the string before the brackets", "/partner/event/log",
       oneEvent(R"("backslash\\")", nested(limit)), 400},
      {"a link parameter", "/partner/deeplink/create", R"({"campaign":)" + hugeDepth + "}", 400},
      {"a crash report", "/partner/crash/log", hugeDepth, 400},
      {"an authentication", "/public/partner/auth", hugeDepth, 400},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const RawReply reply = post(service, row.path, row.body, auth);
    ASSERT_EQ(reply.status(), 200) << reply.bytes.substr(0, 200);
    EXPECT_EQ(reply.envelope()["responseCode"], row.code);
  }
  const auto events = service.events();
  EXPECT_TRUE(events.count("at-limit"));
  EXPECT_TRUE(events.count("in-string \" " + std::string(100000, '[')));
  EXPECT_FALSE(events.count("past-limit"));
  // A test reading a refused body back gets null, not a value too deep to copy.
  EXPECT_TRUE(service.requests("/partner/crash/log").at(0).json().is_null());
}

TEST(LocalService, FaultsAnswerOnTheWireAsSet) {
  LocalService service;
  ASSERT_TRUE(service.start());
  const std::string path = "/partner/crash/log";  // unauthorised: answers code 401 when sound
  const auto answeredNormally = [](const RawReply& reply) {
    return reply.status() == 200 && reply.envelope()["responseCode"] == 401;
  };
  struct Row {
    const char* what;
    Fault fault;
    std::function<bool(const RawReply&)> expected;
  };
  const std::vector<Row> rows = {
      {"a status and code",
       {.kind = Fault::Kind::responseCode, .responseCode = 42, .httpStatus = 503},
       [](const RawReply& r) { return r.status() == 503 && r.envelope()["responseCode"] == 42; }},
      {"not JSON",
       {.kind = Fault::Kind::notJson},
       [](const RawReply& r) { return r.status() == 200 && r.envelope().is_discarded(); }},
      {"an answer cut short",
       {.kind = Fault::Kind::closeConnection},
       [](const RawReply& r) {
         return r.status() == 200 && r.bytes.find("Content-Length: 64") != std::string::npos &&
                r.body().size() < 64;
       }},
      {"no answer at all",
       {.kind = Fault::Kind::closeWithoutAnswer},
       [](const RawReply& r) { return r.bytes.empty(); }},
      {"a delay, then the answer",
       {.kind = Fault::Kind::delay, .delaySeconds = 0.05},
       answeredNormally},
  };
  std::size_t sent = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Fault once = row.fault;
    once.times = 1;
    service.setFault(path, once);
    const RawReply faulted = post(service, path, "{}");
    EXPECT_TRUE(row.expected(faulted)) << faulted.bytes;
    EXPECT_TRUE(answeredNormally(post(service, path, "{}"))) << "the fault outlived its times";
    sent += 2;
    EXPECT_EQ(service.requestTotals()[path].count, sent);
  }
  EXPECT_EQ(service.requestTotals()[path].faulted, rows.size());
}

TEST(LocalService, LivePageSwitchesFaultsAndIsNotRecorded) {
  LocalService service;
  ASSERT_TRUE(service.start());
  const std::string crash = "/partner/crash/log";
  const auto change = [&](const std::string& body, const std::string& type = "application/json") {
    return exchange(service, "POST", "/_live/switch", body, type).status();
  };
  struct Row {
    const char* what;
    std::string body;
    std::string type;
    int status;
  };
  const std::vector<Row> refused = {
      {"not sent as JSON (a form from another site)",
       R"({"path":"/partner/crash/log","kind":"notJson"})", "text/plain", 415},
      {"an unknown kind", R"({"path":"/partner/crash/log","kind":"explode"})", "application/json",
       400},
      {"a live path", R"({"path":"/_live/state","kind":"notJson"})", "application/json", 400},
      {"a status out of range",
       R"({"path":"/partner/crash/log","kind":"responseCode",)"
       R"("httpStatus":700})",
       "application/json", 400},
      {"a delay out of range",
       R"({"path":"/partner/crash/log","kind":"delay",)"
       R"("delaySeconds":-1})",
       "application/json", 400},
      {"not an object", "[1]", "application/json", 400},
  };
  for (const Row& row : refused) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(change(row.body, row.type), row.status);
  }
  EXPECT_EQ(post(service, crash, "{}").envelope()["responseCode"], 401) << "a refused switch acted";

  ASSERT_EQ(change(R"({"path":"/partner/crash/log","kind":"responseCode","httpStatus":503,)"
                   R"("responseCode":7})"),
            200);
  const RawReply failed = post(service, crash, "{}");
  EXPECT_EQ(failed.status(), 503);
  EXPECT_EQ(failed.envelope()["responseCode"], 7);

  const RawReply page = exchange(service, "GET", "/");
  EXPECT_EQ(page.status(), 200);
  EXPECT_NE(page.body().find("/_live/state"), std::string::npos);
  const json state = json::parse(exchange(service, "GET", "/_live/state").body());
  EXPECT_EQ(state["faults"][crash]["kind"], "responseCode");
  EXPECT_EQ(state["paths"].at(0)["faulted"], 1);
  EXPECT_EQ(state["recentRequests"].at(0)["outcome"], "HTTP 503, code 7 (injected)");
  EXPECT_EQ(exchange(service, "GET", "/_live/elsewhere").status(), 404);

  ASSERT_EQ(change(R"({"path":"/partner/crash/log","kind":"none"})"), 200);
  EXPECT_EQ(post(service, crash, "{}").envelope()["responseCode"], 401);
  // Only the three posts to the crash path are the library's kind of request.
  const auto recorded = service.requests();
  EXPECT_EQ(recorded.size(), 3u);
  for (const auto& request : recorded) EXPECT_EQ(request.path, crash);
}

}  // namespace
}  // namespace tavrel_mmp
