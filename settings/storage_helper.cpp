#include "settings/storage_helper.h"

#include <array>
#include <charconv>
#include <memory>
#include <mutex>

#include "core/logger.h"
#include "core/no_destructor.h"
#include "core/uuid_text.h"
#include "platform/per_process.h"
#include "settings/settings_keys.h"
#include "tavrel_mmp/platform/device_facts.h"
#include "tavrel_mmp/platform/preferences_store.h"
#include "tavrel_mmp/platform/secure_random.h"

namespace tavrel_mmp {
namespace {

using namespace settings_keys;

platform::PreferencesStore& store() {
  return platform::preferencesStore();
}

// A value stored as bytes under a text key is read as its bytes' text, as the platform store
// would hand back whatever object it holds.
std::optional<std::string> asText(const std::optional<platform::PreferenceValue>& value) {
  if (!value) return std::nullopt;
  if (const auto* text = std::get_if<std::string>(&*value)) return *text;
  return std::nullopt;
}

// The decoded authentication record, refreshed when this process changes it. Every request and
// every tracked event reads it, so it is decoded once per change rather than once per read,
// and shared rather than copied: a reader holds its snapshot while a change replaces it.
struct AuthCache {
  std::mutex mutex;
  const platform::PreferencesStore* source = nullptr;  // the store it was read from
  std::shared_ptr<const AuthData> decoded;
};

std::shared_ptr<const AuthData> shareDecoded(std::optional<AuthData> decoded) {
  if (!decoded) return nullptr;
  return std::make_shared<const AuthData>(std::move(*decoded));
}

// A forked child decodes the record again from its own store.
AuthCache& authCache() {
  static platform::PerProcess<AuthCache> cache;
  return cache.get();
}

void forgetAuthCache() {
  std::lock_guard<std::mutex> lock(authCache().mutex);
  authCache().source = nullptr;
}

}  // namespace

StorageHelper& StorageHelper::shared() {
  static NoDestructor<StorageHelper> instance;
  return instance.get();
}

void StorageHelper::save(const std::string& value, const std::string& key) {
  store().setText(key, value);
  if (key == kAuthData) forgetAuthCache();
}

std::optional<std::string> StorageHelper::getValue(const std::string& key) {
  return asText(store().value(key));
}

StoredText StorageHelper::read(const std::string& key) {
  const platform::PreferenceRead found = store().read(key);
  return StoredText{found.known, asText(found.value)};
}

void StorageHelper::deleteValue(const std::string& key) {
  store().remove(key);
  if (key == kAuthData) forgetAuthCache();
}

std::string StorageHelper::getText(const std::string& key) {
  return getValue(key).value_or("");
}

void StorageHelper::savePartnerCode(const std::string& value) {
  save(value, kPartnerCode);
}
std::string StorageHelper::getPartnerCode() {
  return getText(kPartnerCode);
}
// The app secret is never whole in a log line: the logger knows it from here on.
void StorageHelper::saveAppSecret(const std::string& value) {
  Logger::addSecret(value);
  save(value, kAppSecret);
}
std::string StorageHelper::getAppSecret() {
  std::string secret = getText(kAppSecret);
  Logger::addSecret(secret);
  return secret;
}
void StorageHelper::saveBaseUrl(const std::string& value) {
  save(value, kBaseUrl);
}
std::string StorageHelper::getBaseUrl() {
  return getText(kBaseUrl);
}
void StorageHelper::saveDeeplink(const std::string& value) {
  save(value, kDeeplink);
}
std::string StorageHelper::getDeeplink() {
  return getText(kDeeplink);
}

std::int64_t StorageHelper::parseInteger(const std::string& text) {
  if (text.empty()) return 0;
  const char* begin = text.data();
  // An explicit "+" sign is accepted as well as "-"; nothing else may surround the digits.
  if (*begin == '+' && text.size() > 1 && text[1] != '-') ++begin;
  const char* end = text.data() + text.size();
  std::int64_t value = 0;
  const auto [stop, error] = std::from_chars(begin, end, value, 10);
  if (error != std::errc() || stop != end) return 0;
  return value;
}

void StorageHelper::saveInteger(const std::string& key, std::int64_t value) {
  save(std::to_string(value), key);
}

std::int64_t StorageHelper::getInteger(const std::string& key) {
  return parseInteger(getValue(key).value_or("0"));
}

void StorageHelper::saveLastEventTime(std::int64_t value) {
  saveInteger(kLastEventTime, value);
}
std::int64_t StorageHelper::getLastEventTime() {
  return getInteger(kLastEventTime);
}
void StorageHelper::saveExpireTime(std::int64_t value) {
  saveInteger(kExpireTime, value);
}
std::int64_t StorageHelper::getExpireTime() {
  return getInteger(kExpireTime);
}
void StorageHelper::saveDeeplinkExpireTime(std::int64_t value) {
  saveInteger(kDeeplinkExpireTime, value);
}
std::int64_t StorageHelper::getDeeplinkExpireTime() {
  return getInteger(kDeeplinkExpireTime);
}

void StorageHelper::saveAuthData(const std::vector<std::uint8_t>& body) {
  std::lock_guard<std::mutex> lock(authCache().mutex);
  store().setBytes(kAuthData, body);
  authCache().source = &store();
  authCache().decoded = shareDecoded(AuthData::decode(body));
}

std::optional<AuthData> StorageHelper::getAuthData() {
  const auto snapshot = authSnapshot();
  if (!snapshot) return std::nullopt;
  return *snapshot;
}

std::shared_ptr<const AuthData> StorageHelper::authSnapshot() {
  // The store is read under the cache's lock, so a change made meanwhile is never overwritten
  // by an older reading.
  AuthCache& cache = authCache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  if (cache.source == &store()) return cache.decoded;
  cache.decoded.reset();
  const platform::PreferenceRead found = store().read(kAuthData);
  // Nothing is kept while the record cannot be read: the next reader tries again.
  if (!found.known) return nullptr;
  if (const auto& value = found.value) {
    if (const auto* bytes = std::get_if<std::vector<std::uint8_t>>(&*value)) {
      cache.decoded = shareDecoded(AuthData::decode(*bytes));
    } else {
      const auto& text = std::get<std::string>(*value);
      cache.decoded =
          shareDecoded(AuthData::decode(std::vector<std::uint8_t>(text.begin(), text.end())));
    }
  }
  cache.source = &store();
  return cache.decoded;
}

void StorageHelper::removeAuthData() {
  std::lock_guard<std::mutex> lock(authCache().mutex);
  store().remove(kAuthData);
  authCache().source = &store();
  authCache().decoded.reset();
}

std::optional<std::string> StorageHelper::getDeviceId() {
  const StoredText stored = read(kDeviceId);
  if (!stored.known) return std::nullopt;
  if (stored.text && !stored.text->empty()) return *stored.text;
  // Claimed rather than written: while the file cannot be read no identifier is made up (the
  // stored one would be found later), and of two processes starting together both keep the
  // first one stored. An empty identifier is stored too, so that the next read tries again.
  const std::string generated = platform::deviceFacts().identifierForVendor().value_or("");
  const auto claim = store().claimText(kDeviceId, generated, "");
  if (!claim) return std::nullopt;
  return claim->value;
}

void StorageHelper::resetInstallation() {
  platform::PreferenceChanges changes;
  for (const auto& entry : kEntries) {
    if (entry.scope == Scope::installation) changes[entry.key] = std::nullopt;
  }
  std::array<std::uint8_t, 16> bytes{};
  platform::secureRandom().fill(bytes.data(), bytes.size());
  changes[kDeviceId] = uuidV4Text(bytes);
  std::lock_guard<std::mutex> lock(authCache().mutex);
  store().applyTogether(changes);
  authCache().source = &store();
  authCache().decoded.reset();
}

std::optional<platform::PreferenceClaim> StorageHelper::claim(const std::string& key,
                                                              const std::string& value,
                                                              const std::string& unset) {
  return store().claimText(key, value, unset);
}

bool StorageHelper::flush() {
  return store().flush();
}

}  // namespace tavrel_mmp
