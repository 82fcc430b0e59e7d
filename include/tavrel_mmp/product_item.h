#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tavrel_mmp/export.h"
#include "tavrel_mmp/property_dictionary.h"

namespace tavrel_mmp {

/// A product category, as reported with a product ("c_id", "c_name").
class TAVREL_MMP_EXPORT ProductCategory {
 public:
  ProductCategory(std::string categoryId, std::string categoryName);

  std::string categoryId;
  std::string categoryName;

  /// Exactly {"c_id", "c_name"}, both text.
  PropertyDictionary toDictionary() const;

  /// Text members are taken as they are; anything missing or of another type gives "".
  static std::shared_ptr<ProductCategory> fromDictionary(const PropertyDictionary& dictionary);
  /// Same order; empty entries (null pointers) are skipped.
  static std::vector<PropertyDictionary> convertToArray(
      const std::vector<std::shared_ptr<ProductCategory>>& categories);
  /// Keeps only the categories whose identifier is not empty, in order.
  static std::vector<std::shared_ptr<ProductCategory>> fromList(
      const std::vector<PropertyDictionary>& list);
};

using ProductCategoryList = std::vector<std::shared_ptr<ProductCategory>>;

/// A product the host reports in a product list.
class TAVREL_MMP_EXPORT ProductItem {
 public:
  /// Price "" and quantity 1 unless given; no categories unless given.
  ProductItem(std::string id, std::string name, std::string image,
              std::optional<std::string> price = std::nullopt,
              std::optional<std::int64_t> quantity = std::nullopt,
              std::optional<ProductCategoryList> categories = std::nullopt);

  std::string productName;
  std::string productId;
  std::string productImage;
  std::string productPrice;  ///< text, never a number
  std::int64_t productQuantity = 1;
  ProductCategoryList productCategories;

  void setQuantity(std::int64_t quantity);
  /// Appends at the end; an empty pointer is ignored.
  void addCategory(std::shared_ptr<ProductCategory> category);

  /// Exactly the six keys "p_name", "p_id", "p_img", "p_price", "p_quantity" (integer) and
  /// "p_categories" (list of category dictionaries).
  PropertyDictionary toDictionary() const;

  /// Never fails: missing or mistyped members give "", quantity 1 and no categories.
  static std::shared_ptr<ProductItem> fromDictionary(const PropertyDictionary& dictionary);
  /// Same order; empty entries (null pointers) are skipped.
  static std::vector<PropertyDictionary> convertToArray(
      const std::vector<std::shared_ptr<ProductItem>>& products);
  /// Keeps only the products whose identifier is not empty, in order.
  static std::vector<std::shared_ptr<ProductItem>> fromList(
      const std::vector<PropertyDictionary>& list);

  /// Compact JSON text of {"products": [...], "p_group": listName}; "{}" when it cannot be
  /// serialised.
  static std::string convertToJsonString(const std::string& listName,
                                         const std::vector<std::shared_ptr<ProductItem>>& products);
};

}  // namespace tavrel_mmp
