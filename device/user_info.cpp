#include "tavrel_mmp/user_info.h"

#include <limits>
#include <utility>

namespace tavrel_mmp {
namespace {

std::string textAt(const PropertyDictionary& data, const char* key) {
  const auto entry = data.find(key);
  if (entry == data.end() || !entry->is_string()) return "";
  return entry->get<std::string>();
}

std::int32_t ageAt(const PropertyDictionary& data) {
  const auto entry = data.find("age");
  if (entry == data.end()) return 0;
  if (entry->is_number_unsigned()) {
    const auto value = entry->get<std::uint64_t>();
    return value <= static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())
               ? static_cast<std::int32_t>(value)
               : 0;
  }
  if (entry->is_number_integer()) {
    const auto value = entry->get<std::int64_t>();
    return value >= std::numeric_limits<std::int32_t>::min() &&
                   value <= std::numeric_limits<std::int32_t>::max()
               ? static_cast<std::int32_t>(value)
               : 0;
  }
  return 0;
}

}  // namespace

UserInfo::UserInfo(std::string userId, std::string name, std::string gender, std::string email,
                   std::string phone, std::int32_t age, std::string country, std::string city,
                   std::string deviceToken)
    : userId(std::move(userId)),
      name(std::move(name)),
      gender(std::move(gender)),
      email(std::move(email)),
      phone(std::move(phone)),
      age(age),
      country(std::move(country)),
      city(std::move(city)),
      deviceToken(std::move(deviceToken)) {}

std::shared_ptr<UserInfo> UserInfo::create(std::string userId, std::string name, std::string gender,
                                           std::string email, std::string phone, std::int32_t age,
                                           std::string country, std::string city,
                                           std::string deviceToken) {
  return std::make_shared<UserInfo>(std::move(userId), std::move(name), std::move(gender),
                                    std::move(email), std::move(phone), age, std::move(country),
                                    std::move(city), std::move(deviceToken));
}

PropertyDictionary UserInfo::toDictionary() const {
  return PropertyDictionary{{"userId", userId},   {"name", name},   {"gender", gender},
                            {"email", email},     {"phone", phone}, {"age", age},
                            {"country", country}, {"city", city},   {"firebaseToken", deviceToken}};
}

std::shared_ptr<UserInfo> UserInfo::fromDictionary(const PropertyDictionary& data) {
  if (!data.is_object()) return create("", "", "", "", "", 0, "", "", "");
  return create(textAt(data, "userId"), textAt(data, "name"), textAt(data, "gender"),
                textAt(data, "email"), textAt(data, "phone"), ageAt(data), textAt(data, "country"),
                textAt(data, "city"), textAt(data, "firebaseToken"));
}

}  // namespace tavrel_mmp
