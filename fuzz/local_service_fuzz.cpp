// The local service's request handling, called directly: requests separated by NUL bytes, each
// a line "METHOD PATH", header lines "Name: value", an empty line and the body. Requests to
// "/_live/switch" also go to the live page's switch; the live page's state and its lists of
// requests and events end each input.
#include "fuzz_support.h"
#include "local_service/local_service_impl.h"

using namespace tavrel_mmp;

namespace {

httplib::Request requestFrom(std::string_view text) {
  httplib::Request request;
  std::string_view line;
  std::tie(line, text) = fuzz::splitAt(text, '\n');
  const auto [method, path] = fuzz::splitAt(line, ' ');
  request.method = method;
  request.path = path;
  while (!text.empty()) {
    std::tie(line, text) = fuzz::splitAt(text, '\n');
    if (line.empty()) break;
    const auto [name, value] = fuzz::splitAt(line, ':');
    request.headers.emplace(name, value.substr(value.starts_with(' ') ? 1 : 0));
  }
  request.body = text;
  // Ports no TCP connection has: the injected closing finds none to shut.
  request.local_port = request.remote_port = 0;
  return request;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tools::LocalService::Impl service(tools::LocalServiceOptions{});
  service.tokens.push_back("token");
  service.stopping = true;  // an injected delay ends at once
  for (std::string_view rest = fuzz::textOf(data, size); !rest.empty();) {
    std::string_view one;
    std::tie(one, rest) = fuzz::splitAt(rest, '\0');
    const httplib::Request request = requestFrom(one);
    httplib::Response response;
    service.handle(request, response);
    if (request.path == "/_live/switch") service.applySwitch(request.body);
  }
  for (const nlohmann::json& shown :
       {service.liveState(), service.liveRequests(0, {0, 1}), service.liveEvents(0)}) {
    shown.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  }
  return 0;
}
