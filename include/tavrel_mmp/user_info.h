#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tavrel_mmp/export.h"
#include "tavrel_mmp/property_dictionary.h"

namespace tavrel_mmp {

/// The host's signed-in user. No field is optional and none is validated.
class TAVREL_MMP_EXPORT UserInfo {
 public:
  UserInfo(std::string userId, std::string name, std::string gender, std::string email,
           std::string phone, std::int32_t age, std::string country, std::string city,
           std::string deviceToken);

  static std::shared_ptr<UserInfo> create(std::string userId, std::string name, std::string gender,
                                          std::string email, std::string phone, std::int32_t age,
                                          std::string country, std::string city,
                                          std::string deviceToken);

  /// The nine entries; `deviceToken` travels as "firebaseToken".
  PropertyDictionary toDictionary() const;
  /// Takes each entry of the right kind (text, or an integer within 32 bits for "age"); anything
  /// missing or of another kind gives "" or 0.
  static std::shared_ptr<UserInfo> fromDictionary(const PropertyDictionary& data);

  std::string userId;
  std::string name;
  std::string gender;
  std::string email;
  std::string phone;
  std::int32_t age;
  std::string country;
  std::string city;
  std::string deviceToken;
};

}  // namespace tavrel_mmp
