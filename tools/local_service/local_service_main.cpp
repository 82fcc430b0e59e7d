// tavrel_mmp_service [--host H] [--port N] [--cert FILE --key FILE]: runs the local measurement
// service, prints its base URL and its live page's, then every request it receives until SIGINT
// or SIGTERM.
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>

#include "local_service/local_service.h"

int main(int argc, char** argv) {
  tavrel_mmp::tools::LocalServiceOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (i + 1 >= argc) {
      std::cerr << "usage: " << argv[0] << " [--host H] [--port N] [--cert FILE --key FILE]\n";
      return 2;
    }
    const std::string value = argv[++i];
    if (flag == "--host") {
      options.host = value;
    } else if (flag == "--port") {
      options.port = std::atoi(value.c_str());
    } else if (flag == "--cert") {
      options.certificatePath = value;
    } else if (flag == "--key") {
      options.privateKeyPath = value;
    } else {
      std::cerr << "unknown option " << flag << "\n";
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
    std::cerr << "cannot listen on " << options.host << ":" << options.port << "\n";
    return 1;
  }
  std::cout << service.baseUrl() << "\nlive page: " << service.baseUrl() << "/" << std::endl;

  int received = 0;
  sigwait(&signals, &received);
  service.stop();
  return 0;
}
