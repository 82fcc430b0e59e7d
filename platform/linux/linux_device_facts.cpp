#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "core/uuid_text.h"
#include "tavrel_mmp/platform/bundle_info.h"
#include "tavrel_mmp/platform/linux_device_facts.h"

namespace tavrel_mmp::platform {
namespace {

std::string readFirstLine(const char* path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// The 16 bytes of a machine id file's line (32 hexadecimal digits); none for anything else, such
// as the "uninitialized" of an image not yet booted.
std::optional<std::array<unsigned char, 16>> machineIdBytes(const std::string& line) {
  long size = 0;
  const std::unique_ptr<unsigned char, void (*)(unsigned char*)> decoded(
      line.size() == 32 ? OPENSSL_hexstr2buf(line.c_str(), &size) : nullptr,
      [](unsigned char* bytes) { OPENSSL_free(bytes); });
  std::array<unsigned char, 16> bytes{};
  if (!decoded) ERR_clear_error();  // no stale error for the thread's next OpenSSL call
  if (!decoded || size != static_cast<long>(bytes.size())) return std::nullopt;
  std::copy_n(decoded.get(), bytes.size(), bytes.begin());
  return bytes;
}

// The vendor of a reverse-DNS bundle identifier: all but its last part ("com.example" of
// "com.example.app"); an identifier with no such part is its own vendor.
std::string vendorOf(const std::string& bundleIdentifier) {
  const auto lastDot = bundleIdentifier.rfind('.');
  if (lastDot == std::string::npos || lastDot == 0) return bundleIdentifier;
  return bundleIdentifier.substr(0, lastDot);
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
  LinuxDeviceFacts(std::string powerSupplyDirectory, std::string machineIdPath)
      : powerSupplyDirectory_(std::move(powerSupplyDirectory)),
        machineIdPath_(std::move(machineIdPath)) {
    ::uname(&system_);
  }

  // The per-vendor identifier, made the way systemd makes application-specific machine ids:
  // HMAC-SHA256 keyed by the machine id over the vendor, as a UUID. One vendor's apps share it;
  // other vendors' apps, and anything that reads the machine id itself, cannot link it to theirs.
  std::optional<std::string> identifierForVendor() override {
    const auto machineId = machineIdBytes(readFirstLine(machineIdPath_.c_str()));
    const auto vendor = vendorOf(bundleInfo().bundleIdentifier().value_or(""));
    if (!machineId || vendor.empty()) return std::nullopt;
    std::array<unsigned char, EVP_MAX_MD_SIZE> mac{};
    unsigned int size = 0;
    if (!HMAC(EVP_sha256(), machineId->data(), static_cast<int>(machineId->size()),
              reinterpret_cast<const unsigned char*>(vendor.data()), vendor.size(), mac.data(),
              &size)) {
      return std::nullopt;
    }
    std::array<std::uint8_t, 16> bytes{};
    std::copy_n(mac.begin(), bytes.size(), bytes.begin());
    return uuidV4Text(bytes);
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
  std::string machineIdPath_;
  struct utsname system_ {};
};

}  // namespace

std::shared_ptr<DeviceFacts> makeLinuxDeviceFacts(std::string powerSupplyDirectory,
                                                  std::string machineIdPath) {
  return std::make_shared<LinuxDeviceFacts>(std::move(powerSupplyDirectory),
                                            std::move(machineIdPath));
}

}  // namespace tavrel_mmp::platform
