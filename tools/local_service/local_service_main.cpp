// tavrel_mmp_service [--host H] [--port N] [--cert FILE --key FILE]: runs the local measurement
// service, prints its base URL and its live page's, then every request it receives until SIGINT
// or SIGTERM. Without --port it takes any free port; with one, a tester keeps one address
// across runs.
#include <charconv>
#include <csignal>
#include <iostream>
#include <string>

#include "local_service/local_service.h"

namespace {

constexpr const char* kUsage = " [--host H] [--port N] [--cert FILE --key FILE]\n";

// A port number 1-65535, or none.
std::optional<int> portNumber(const std::string& text) {
  int port = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (error != std::errc() || end != text.data() + text.size() || port < 1 || port > 65535) {
    return std::nullopt;
  }
  return port;
}

}  // namespace

int main(int argc, char** argv) {
  tavrel_mmp::tools::LocalServiceOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--help" || flag == "-h") {
      std::cout << "usage: " << argv[0] << kUsage;
      return 0;
    }
    if (i + 1 >= argc) {
      std::cerr << "usage: " << argv[0] << kUsage;
      return 2;
    }
    const std::string value = argv[++i];
    if (flag == "--host") {
      options.host = value;
    } else if (flag == "--port") {
      const auto port = portNumber(value);
      if (!port) {
        std::cerr << "--port takes a port number from 1 to 65535, not \"" << value << "\"\n";
        return 2;
      }
      options.port = *port;
    } else if (flag == "--cert") {
      options.certificatePath = value;
    } else if (flag == "--key") {
      options.privateKeyPath = value;
    } else {
      std::cerr << "unknown option " << flag << "\nusage: " << argv[0] << kUsage;
      return 2;
    }
  }

  // Blocked before the service starts its threads, so only sigwait below receives them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  tavrel_mmp::tools::LocalService service(options);
  service.setRequestListener([](const tavrel_mmp::tools::RecordedRequest& request) {
    std::cout << request.method << " " << request.path << "\n";
    for (const auto& [name, value] : request.headers)
      std::cout << "  " << name << ": " << value << "\n";
    std::cout << "  " << request.body << std::endl;
  });
  if (!service.start()) {
    std::cerr << "cannot listen on " << options.host << ":" << options.port
              << (options.port != 0 ? " (is another service on that port?)" : "") << "\n";
    return 1;
  }
  std::cout << service.baseUrl() << "\nlive page: " << service.baseUrl() << "/" << std::endl;

  int received = 0;
  sigwait(&signals, &received);
  service.stop();
  return 0;
}
