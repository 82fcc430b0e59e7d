#include "events/global_properties.h"

#include <memory>
#include <mutex>

#include "core/json_depth.h"
#include "core/logger.h"
#include "events/tracking_event.h"
#include "platform/per_process.h"
#include "settings/settings_keys.h"
#include "settings/storage_helper.h"

namespace tavrel_mmp {
namespace {

using Shared = std::shared_ptr<const PropertyDictionary>;

// Read from the settings on first use (again later while they cannot be read); every change is
// a new dictionary, so a recording thread merges from the one it took without holding the lock.
struct Current {
  std::mutex mutex;
  bool loaded = false;
  Shared properties = std::make_shared<const PropertyDictionary>(PropertyDictionary::object());
};

Current& current() {
  static platform::PerProcess<Current> state(&Current::mutex,
                                             [](Current& made, const Current& inherited) {
                                               made.loaded = inherited.loaded;
                                               made.properties = inherited.properties;
                                             });
  return state.get();
}

// Under the lock.
void loadOnce(Current& state) {
  if (state.loaded) return;
  const StoredText stored = StorageHelper::shared().read(settings_keys::kGlobalProperties);
  if (!stored.known) return;
  state.loaded = true;
  if (!stored.text) return;
  auto parsed = PropertyDictionary::parse(*stored.text, nullptr, false);
  if (parsed.is_object()) state.properties = std::make_shared<const PropertyDictionary>(parsed);
}

Shared snapshot() {
  auto& state = current();
  std::lock_guard<std::mutex> lock(state.mutex);
  loadOnce(state);
  return state.properties;
}

template <class Change>
void change(Change changeCopy) {
  auto& state = current();
  std::lock_guard<std::mutex> lock(state.mutex);
  loadOnce(state);
  auto changed = std::make_shared<PropertyDictionary>(*state.properties);
  changeCopy(*changed);
  state.properties = changed;
  auto& storage = StorageHelper::shared();
  storage.save(changed->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
               settings_keys::kGlobalProperties);
  if (!storage.flush()) Logger::log("The global properties are not yet on disk; written soon");
}

}  // namespace

void GlobalProperties::set(const PropertyDictionary& properties) {
  if (!properties.is_object() || nestedDeeperThan(properties)) {
    return Logger::log("setGlobalProperties: a dictionary (nested at most " +
                       std::to_string(kMaxJsonDepth) + " levels) is expected; nothing changed");
  }
  change([&](PropertyDictionary& all) {
    for (const auto& [key, value] : properties.items()) all[key] = value;
  });
}

void GlobalProperties::unset(const std::string& key) {
  change([&](PropertyDictionary& all) { all.erase(key); });
}

std::optional<PropertyDictionary> GlobalProperties::forHostEvent(const PropertyDictionary& data,
                                                                 bool realtime) {
  if (!data.is_object() && !data.is_null()) return std::nullopt;
  const Shared globals = snapshot();
  if (globals->empty() && !realtime) return std::nullopt;
  if (nestedDeeperThan(data)) return std::nullopt;
  PropertyDictionary merged = *globals;
  if (data.is_object()) {
    for (const auto& [key, value] : data.items()) merged[key] = value;
  }
  if (realtime) merged[TrackingEvent::realtimeKey] = true;
  return merged;
}

}  // namespace tavrel_mmp
