#include "commerce/dictionary_reading.h"
#include "tavrel_mmp/product_item.h"

namespace tavrel_mmp {

ProductCategory::ProductCategory(std::string categoryId, std::string categoryName)
    : categoryId(std::move(categoryId)), categoryName(std::move(categoryName)) {}

PropertyDictionary ProductCategory::toDictionary() const {
  return {{"c_id", categoryId}, {"c_name", categoryName}};
}

std::shared_ptr<ProductCategory> ProductCategory::fromDictionary(
    const PropertyDictionary& dictionary) {
  return std::make_shared<ProductCategory>(textMemberOrEmpty(dictionary, "c_id"),
                                           textMemberOrEmpty(dictionary, "c_name"));
}

std::vector<PropertyDictionary> ProductCategory::convertToArray(
    const std::vector<std::shared_ptr<ProductCategory>>& categories) {
  return dictionariesOf(categories);
}

std::vector<std::shared_ptr<ProductCategory>> ProductCategory::fromList(
    const std::vector<PropertyDictionary>& list) {
  return recordsWithIdentifier(list, &ProductCategory::categoryId);
}

}  // namespace tavrel_mmp
