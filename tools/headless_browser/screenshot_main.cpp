// tavrel_mmp_screenshot [--ignore-certificate-errors] [--wait-for EXPRESSION] URL OUT.png:
// opens URL in headless Chromium, waits until EXPRESSION (JavaScript) is true, and writes a PNG
// of the whole page.
#include <chrono>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "headless_browser/headless_chromium.h"

int main(int argc, char** argv) {
  tavrel_mmp::tools::HeadlessChromium::Options options;
  std::string waitFor = "document.readyState === 'complete'";
  std::string url, out;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--ignore-certificate-errors") {
      options.ignoreCertificateErrors = true;
    } else if (argument == "--wait-for" && i + 1 < argc) {
      waitFor = argv[++i];
    } else if (url.empty()) {
      url = argument;
    } else if (out.empty()) {
      out = argument;
    } else {
      url.clear();
      break;
    }
  }
  if (url.empty() || out.empty()) {
    std::cerr << "usage: " << argv[0]
              << " [--ignore-certificate-errors] [--wait-for EXPRESSION] URL OUT.png\n";
    return 2;
  }

  tavrel_mmp::tools::HeadlessChromium browser(options);
  if (!browser.started()) {
    std::cerr << browser.error() << "\n";
    return 1;
  }
  const auto page = browser.openPage(url);
  if (!page) {
    std::cerr << "cannot open " << url << ": " << browser.error() << "\n";
    return 1;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    const auto ready = browser.evaluate(*page, waitFor);
    if (ready && *ready == true) break;
    if (std::chrono::steady_clock::now() > deadline) {
      std::cerr << "the page never satisfied " << waitFor << ": " << browser.error() << "\n";
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const auto png = browser.screenshotPng(*page);
  if (!png) {
    std::cerr << "no screenshot: " << browser.error() << "\n";
    return 1;
  }
  std::ofstream file(out, std::ios::binary);
  file.write(png->data(), static_cast<std::streamsize>(png->size()));
  if (!file.flush()) {
    std::cerr << "cannot write " << out << "\n";
    return 1;
  }
  std::cout << out << " (" << png->size() << " bytes)\n";
  return 0;
}
