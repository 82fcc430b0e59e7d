#include "tavrel_mmp/tavrel_mmp_c.h"

#include <memory>
#include <utility>
#include <vector>

#include "capi/c_arguments.h"
#include "capi/link_completion.h"
#include "tavrel_mmp/deep_link_builder.h"
#include "tavrel_mmp/nimbrel.h"
#include "tavrel_mmp/nimbrel_deep_link_delegate.h"
#include "tavrel_mmp/nimbrel_options.h"

using tavrel_mmp::Nimbrel;
using tavrel_mmp::PropertyDictionary;
using tavrel_mmp::capi::atBoundary;
using tavrel_mmp::capi::CallSite;
using tavrel_mmp::capi::jsonArgument;
using tavrel_mmp::capi::JsonShape;
using tavrel_mmp::capi::textArgument;

namespace {

// Sets `flag` from a boolean member of the options; a member of another kind is reported and
// leaves the default.
void readFlag(CallSite site, const PropertyDictionary& options, const char* key, bool& flag) {
  const auto it = options.find(key);
  if (it == options.end()) return;
  if (it->is_boolean()) {
    flag = it->get<bool>();
  } else {
    tavrel_mmp::Logger::log(std::string(site.function) + ": options_json member \"" + key +
                            "\" is not a boolean; its default is kept");
  }
}

// Sets `text` from a text member of the options; null leaves it unset, another kind is reported.
void readText(CallSite site, const PropertyDictionary& options, const char* key,
              std::optional<std::string>& text) {
  const auto it = options.find(key);
  if (it == options.end() || it->is_null()) return;
  if (it->is_string()) {
    text = it->get<std::string>();
  } else {
    tavrel_mmp::Logger::warning(std::string(site.function) + ": options_json member \"" + key +
                                "\" is not a text; it stays unset");
  }
}

// Says which members of the user profile were not taken as given (of another kind than the
// header says), and what they were read as.
void reportUserMembers(CallSite site, const PropertyDictionary& given,
                       const tavrel_mmp::UserInfo& user) {
  const PropertyDictionary taken = user.toDictionary();
  for (const auto& [key, value] : given.items()) {
    const auto kept = taken.find(key);
    if (kept == taken.end() || *kept == value) continue;
    tavrel_mmp::Logger::log(std::string(site.function) + ": user_json member \"" + key +
                            "\" is of another kind; taken as " + kept->dump());
  }
}

}  // namespace

void tavrel_mmp_init(const char* partner_code, const char* app_secret, const char* options_json) {
  const CallSite site{__func__};
  atBoundary(site, [&] {
    const std::string partnerCode = textArgument(site, "partner_code", partner_code);
    const std::string appSecret = textArgument(site, "app_secret", app_secret);
    const auto given = jsonArgument(site, "options_json", options_json, JsonShape::object, true);
    if (!given) return Nimbrel::intSDK(partnerCode, appSecret);
    auto options = std::make_shared<tavrel_mmp::NimbrelOptions>();
    readFlag(site, *given, "showLog", options->showLog);
    readFlag(site, *given, "autoTrackingScreen", options->autoTrackingScreen);
    readFlag(site, *given, "crashReporting", options->crashReporting);
    readText(site, *given, "bundleId", options->bundleId);
    readText(site, *given, "appVersion", options->appVersion);
    readText(site, *given, "dataDirectory", options->dataDirectory);
    Nimbrel::intSDK(partnerCode, appSecret, options);
  });
}

void tavrel_mmp_log_event(const char* name, const char* data_json) {
  const CallSite site{__func__};
  atBoundary(site, [&] {
    Nimbrel::logEvent(textArgument(site, "name", name),
                      jsonArgument(site, "data_json", data_json, JsonShape::object, true));
  });
}

void tavrel_mmp_set_dev_mode(int on) {
  Nimbrel::setDevMode(on != 0);
}

void tavrel_mmp_set_current_screen(const char* screen_name) {
  const CallSite site{__func__};
  atBoundary(site,
             [&] { Nimbrel::setCurrentScreen(textArgument(site, "screen_name", screen_name)); });
}

void tavrel_mmp_record_error(const char* name, const char* stack_trace) {
  const CallSite site{__func__};
  atBoundary(site, [&] {
    Nimbrel::recordError(textArgument(site, "name", name),
                         textArgument(site, "stack_trace", stack_trace));
  });
}

void tavrel_mmp_set_user_info(const char* user_json) {
  const CallSite site{__func__};
  atBoundary(site, [&] {
    const auto given = jsonArgument(site, "user_json", user_json, JsonShape::object, false);
    if (!given) return Nimbrel::setUserInfo(nullptr);
    const auto user = tavrel_mmp::UserInfo::fromDictionary(*given);
    reportUserMembers(site, *given, *user);
    Nimbrel::setUserInfo(user);
  });
}

void tavrel_mmp_set_revenue(const char* order_id, double amount, const char* currency,
                            const char* data_json) {
  const CallSite site{__func__};
  atBoundary(site, [&] {
    Nimbrel::setRevenue(textArgument(site, "order_id", order_id), amount,
                        textArgument(site, "currency", currency),
                        jsonArgument(site, "data_json", data_json, JsonShape::object, true));
  });
}

void tavrel_mmp_set_product_list(const char* list_name, const char* products_json) {
  const CallSite site{__func__};
  atBoundary(site, [&] {
    const std::string listName = textArgument(site, "list_name", list_name);
    auto products = jsonArgument(site, "products_json", products_json, JsonShape::array, false);
    // Moved out, never copied: a copy of host data recurses as deeply as the data nests.
    std::vector<PropertyDictionary> dictionaries;
    if (products) {
      for (auto& product : *products) dictionaries.push_back(std::move(product));
    }
    const auto items = tavrel_mmp::ProductItem::fromList(dictionaries);
    if (items.size() != dictionaries.size()) {
      tavrel_mmp::Logger::log(std::string(site.function) +
                              ": products without \"p_id\" left out: " +
                              std::to_string(dictionaries.size() - items.size()));
    }
    Nimbrel::setProductList(listName, items);
  });
}

void tavrel_mmp_handle_deeplink(tavrel_mmp_deeplink_callback callback, void* user) {
  atBoundary(CallSite{__func__}, [&] {
    if (callback == nullptr) return Nimbrel::handleDeeplink(nullptr);
    Nimbrel::handleDeeplink(
        [callback, user](const std::string& deeplink) { callback(deeplink.c_str(), user); });
  });
}

void tavrel_mmp_open_url(const char* url) {
  const CallSite site{__func__};
  atBoundary(site, [&] {
    tavrel_mmp::NimbrelDeepLinkDelegate::shared().application(
        nullptr, tavrel_mmp::URL(textArgument(site, "url", url)), PropertyDictionary::object());
  });
}

void tavrel_mmp_create_link(const char* params_json, tavrel_mmp_link_completion completion,
                            void* user) {
  const CallSite site{__func__};
  atBoundary(site, [&] {
    const auto params = jsonArgument(site, "params_json", params_json, JsonShape::object, false);
    const PropertyDictionary none = PropertyDictionary::object();
    // Posted where it stands: a copy of host data recurses as deeply as the data nests.
    tavrel_mmp::DeepLinkBuilder().create(params ? *params : none,
                                         tavrel_mmp::capi::linkCompletion(completion, user));
  });
}

void tavrel_mmp_shorten_link(const char* long_link, const char* name, const char* short_link_slug,
                             tavrel_mmp_link_completion completion, void* user) {
  const CallSite site{__func__};
  atBoundary(site, [&] {
    tavrel_mmp::DeepLinkBuilder().createShortLink(
        textArgument(site, "long_link", long_link), textArgument(site, "name", name),
        textArgument(site, "short_link_slug", short_link_slug),
        tavrel_mmp::capi::linkCompletion(completion, user));
  });
}
