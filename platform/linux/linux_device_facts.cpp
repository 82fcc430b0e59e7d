#include <openssl/evp.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tavrel_mmp/platform/device_facts.h"

namespace tavrel_mmp::platform {
namespace {

std::string readFirstLine(const char* path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// "en_US.UTF-8" -> language "en-US", region "US".
struct LocaleParts {
  std::string languageTag;
  std::optional<std::string> region;
};

LocaleParts localeParts() {
  const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  std::string locale;
  for (const char* name : names) {
    if (const char* value = std::getenv(name); value && *value) {
      locale = value;
      break;
    }
  }
  locale = locale.substr(0, locale.find_first_of(".@"));
  if (locale.empty() || locale == "C" || locale == "POSIX") return {"en", std::nullopt};
  LocaleParts parts;
  const auto underscore = locale.find('_');
  if (underscore == std::string::npos) {
    parts.languageTag = locale;
  } else {
    parts.region = locale.substr(underscore + 1);
    parts.languageTag = locale.substr(0, underscore) + "-" + *parts.region;
  }
  return parts;
}

struct Battery {
  float level = -1.0f;  // what the phone platform reports when it does not know
  BatteryState state = BatteryState::unknown;
};

BatteryState stateFromStatus(const std::string& status) {
  if (status == "Charging") return BatteryState::charging;
  if (status == "Full") return BatteryState::full;
  if (status == "Discharging") return BatteryState::unplugged;
  // On external power but held below full by a charge threshold: the nearest plugged-in state.
  if (status == "Not charging") return BatteryState::full;
  return BatteryState::unknown;
}

// The first power supply of type "Battery", by directory name.
Battery readBattery(const std::string& powerSupplyDirectory) {
  namespace fs = std::filesystem;
  std::error_code error;
  std::vector<fs::path> supplies;
  for (fs::directory_iterator it(powerSupplyDirectory, error), end; !error && it != end;
       it.increment(error)) {
    supplies.push_back(it->path());
  }
  std::sort(supplies.begin(), supplies.end());
  for (const auto& supply : supplies) {
    if (readFirstLine((supply / "type").c_str()) != "Battery") continue;
    Battery battery;
    battery.state = stateFromStatus(readFirstLine((supply / "status").c_str()));
    const std::string capacity = readFirstLine((supply / "capacity").c_str());
    char* end = nullptr;
    const long percent = std::strtol(capacity.c_str(), &end, 10);
    if (!capacity.empty() && end != capacity.c_str() && percent >= 0 && percent <= 100) {
      battery.level = static_cast<float>(percent) / 100.0f;
    }
    return battery;
  }
  return {};
}

class LinuxDeviceFacts : public DeviceFacts {
 public:
  explicit LinuxDeviceFacts(std::string powerSupplyDirectory)
      : powerSupplyDirectory_(std::move(powerSupplyDirectory)) {
    ::uname(&system_);
  }

  // A stable per-installation UUID derived from the machine identifier, hashed so that the
  // machine identifier itself is never exposed.
  std::optional<std::string> identifierForVendor() override {
    const std::string machineId = readFirstLine("/etc/machine-id");
    if (machineId.empty()) return std::nullopt;
    const std::string input = "tavrel_mmp vendor " + machineId;
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int size = 0;
    EVP_Digest(input.data(), input.size(), digest.data(), &size, EVP_sha256(), nullptr);
    digest[6] = static_cast<unsigned char>((digest[6] & 0x0F) | 0x50);  // name-based UUID
    digest[8] = static_cast<unsigned char>((digest[8] & 0x3F) | 0x80);
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string uuid;
    for (int i = 0; i < 16; ++i) {
      if (i == 4 || i == 6 || i == 8 || i == 10) uuid.push_back('-');
      uuid.push_back(hex[digest[i] >> 4]);
      uuid.push_back(hex[digest[i] & 0x0F]);
    }
    return uuid;
  }

  std::string name() override {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0) return "";
    return host;
  }
  std::string model() override { return system_.machine; }
  std::string machine() override { return system_.machine; }
  std::string systemName() override { return system_.sysname; }
  std::string systemVersion() override { return system_.release; }
  InterfaceIdiom interfaceIdiom() override { return InterfaceIdiom::unspecified; }
  float batteryLevel() override { return readBattery(powerSupplyDirectory_).level; }
  BatteryState batteryState() override { return readBattery(powerSupplyDirectory_).state; }
  std::optional<std::string> carrierName() override { return std::nullopt; }
  std::vector<std::string> preferredLanguages() override { return {localeParts().languageTag}; }
  std::optional<std::string> regionCode() override { return localeParts().region; }

  std::string timeZoneIdentifier() override {
    if (const char* tz = std::getenv("TZ"); tz && *tz) return tz[0] == ':' ? tz + 1 : tz;
    const std::string fromFile = readFirstLine("/etc/timezone");
    if (!fromFile.empty()) return fromFile;
    char target[512] = {};
    const ssize_t n = ::readlink("/etc/localtime", target, sizeof target - 1);
    if (n > 0) {
      const std::string link(target, static_cast<std::size_t>(n));
      const auto zoneinfo = link.find("zoneinfo/");
      if (zoneinfo != std::string::npos) return link.substr(zoneinfo + 9);
    }
    return "UTC";
  }

 private:
  std::string powerSupplyDirectory_;
  struct utsname system_ {};
};

}  // namespace

std::shared_ptr<DeviceFacts> makeLinuxDeviceFacts(std::string powerSupplyDirectory) {
  return std::make_shared<LinuxDeviceFacts>(std::move(powerSupplyDirectory));
}

}  // namespace tavrel_mmp::platform
