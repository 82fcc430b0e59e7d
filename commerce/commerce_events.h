#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tavrel_mmp/product_item.h"
#include "tavrel_mmp/property_dictionary.h"

namespace tavrel_mmp {

// The product-list and revenue events.
class CommerceEvents {
 public:
  // Tracks "tvr_mmp_products" with {"products": <JSON text of the list>}.
  static void setProductList(const std::string& listName,
                             const std::vector<std::shared_ptr<ProductItem>>& products);
  // Tracks "tvr_mmp_revenue" with the host's data and the three fixed keys, which win.
  // An amount that is not a finite number (no JSON number can hold it) is sent as null.
  static void setRevenue(const std::string& orderId, double amount, const std::string& currency,
                         const PropertyDictionary& data);
};

}  // namespace tavrel_mmp
