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
  std::vector<PropertyDictionary> out;
  out.reserve(categories.size());
  for (const auto& category : categories) {
    if (category) out.push_back(category->toDictionary());
  }
  return out;
}

std::vector<std::shared_ptr<ProductCategory>> ProductCategory::fromList(
    const std::vector<PropertyDictionary>& list) {
  std::vector<std::shared_ptr<ProductCategory>> out;
  for (const auto& dictionary : list) {
    auto category = fromDictionary(dictionary);
    if (!category->categoryId.empty()) out.push_back(std::move(category));
  }
  return out;
}

}  // namespace tavrel_mmp
