// The marketing names of the models the service distinguishes.
#include <initializer_list>
#include <utility>

#include "core/no_destructor.h"
#include "device/device_info.h"

namespace tavrel_mmp {
namespace {

struct Row {
  const char* name;
  std::initializer_list<const char*> identifiers;
};

const std::initializer_list<Row> kRows = {
    {"iPhone Simulator", {"i386", "x86_64", "arm64"}},
    {"iPod Touch", {"iPod1,1", "iPod2,1", "iPod3,1", "iPod4,1", "iPod5,1", "iPod7,1", "iPod9,1"}},
    {"iPhone", {"iPhone1,1"}},
    {"iPhone 3G", {"iPhone1,2"}},
    {"iPhone 3GS", {"iPhone2,1"}},
    {"iPad", {"iPad1,1", "iPad3,1", "iPad3,2", "iPad3,3", "iPad3,4", "iPad3,5", "iPad3,6"}},
    {"iPad 2", {"iPad2,1", "iPad2,2", "iPad2,3", "iPad2,4"}},
    {"iPhone 4", {"iPhone3,1", "iPhone3,2", "iPhone3,3"}},
    {"iPhone 4S", {"iPhone4,1"}},
    {"iPhone 5", {"iPhone5,1", "iPhone5,2"}},
    {"iPad Mini", {"iPad2,5", "iPad2,6", "iPad2,7"}},
    {"iPhone 5c", {"iPhone5,3", "iPhone5,4"}},
    {"iPhone 5s", {"iPhone6,1", "iPhone6,2"}},
    {"iPhone 6 Plus", {"iPhone7,1"}},
    {"iPhone 6", {"iPhone7,2"}},
    {"iPhone 6s", {"iPhone8,1"}},
    {"iPhone 6s Plus", {"iPhone8,2"}},
    {"iPhone SE", {"iPhone8,4", "iPhone12,8", "iPhone14,6"}},
    {"iPhone 7", {"iPhone9,1", "iPhone9,3"}},
    {"iPhone 7 Plus", {"iPhone9,2", "iPhone9,4"}},
    {"iPhone X", {"iPhone10,3", "iPhone10,6"}},
    {"iPhone 8", {"iPhone10,1", "iPhone10,4"}},
    {"iPhone 8 Plus", {"iPhone10,2", "iPhone10,5"}},
    {"iPhone XS", {"iPhone11,2"}},
    {"iPhone XS Max", {"iPhone11,4", "iPhone11,6"}},
    {"iPhone XR", {"iPhone11,8"}},
    {"iPhone 11", {"iPhone12,1"}},
    {"iPhone 11 Pro", {"iPhone12,3"}},
    {"iPhone 11 Pro Max", {"iPhone12,5"}},
    {"iPhone 12 mini", {"iPhone13,1"}},
    {"iPhone 12", {"iPhone13,2"}},
    {"iPhone 12 Pro", {"iPhone13,3"}},
    {"iPhone 12 Pro Max", {"iPhone13,4"}},
    {"iPhone 13 mini", {"iPhone14,4"}},
    {"iPhone 13", {"iPhone14,5"}},
    {"iPhone 13 Pro", {"iPhone14,2"}},
    {"iPhone 13 Pro Max", {"iPhone14,3"}},
    {"iPhone 14", {"iPhone14,7"}},
    {"iPhone 14 Plus", {"iPhone14,8"}},
    {"iPhone 14 Pro", {"iPhone15,2"}},
    {"iPhone 14 Pro Max", {"iPhone15,3"}},
    {"iPad Air", {"iPad4,1", "iPad4,2", "iPad4,3"}},
    {"iPad Mini 2", {"iPad4,4", "iPad4,5", "iPad4,6"}},
    {"iPad Mini 3", {"iPad4,7", "iPad4,8", "iPad4,9"}},
    {"iPad Mini 4", {"iPad5,1", "iPad5,2"}},
    {"iPad Air 2", {"iPad5,3", "iPad5,4"}},
    {"iPad Pro 9.7-inch", {"iPad6,3", "iPad6,4"}},
    {"iPad Pro 12.9-inch", {"iPad6,7", "iPad6,8", "iPad7,1", "iPad7,2"}},
    {"iPad (5th generation)", {"iPad6,11", "iPad6,12"}},
    {"iPad Pro 10.5-inch", {"iPad7,3", "iPad7,4"}},
    {"iPad (6th generation)", {"iPad7,5", "iPad7,6"}},
    {"iPad (7th generation)", {"iPad7,11", "iPad7,12"}},
    {"iPad Pro 11-inch (3rd generation)", {"iPad8,1", "iPad8,2", "iPad8,3", "iPad8,4"}},
    {"iPad Pro 12.9-inch (3rd generation)", {"iPad8,5", "iPad8,6", "iPad8,7", "iPad8,8"}},
    {"iPad Mini 5", {"iPad11,1", "iPad11,2"}},
    {"iPad Air (3rd generation)", {"iPad11,3", "iPad11,4"}},
    {"iPad Air (4th generation)", {"iPad13,1", "iPad13,2"}},
    {"Apple TV", {"AppleTV2,1", "AppleTV3,1", "AppleTV3,2", "AppleTV5,3"}},
    {"Apple TV 4K", {"AppleTV6,2"}},
};

}  // namespace

const std::map<std::string, std::string>& DeviceInfo::deviceNames() {
  static NoDestructor<std::map<std::string, std::string>> names([] {
    std::map<std::string, std::string> table;
    for (const Row& row : kRows) {
      for (const char* identifier : row.identifiers) table.emplace(identifier, row.name);
    }
    return table;
  }());
  return names.get();
}

}  // namespace tavrel_mmp
