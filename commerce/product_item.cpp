#include "tavrel_mmp/product_item.h"

#include "commerce/dictionary_reading.h"
#include "core/json_fields.h"
#include "core/logger.h"

namespace tavrel_mmp {
namespace {

// nlohmann's error id for a string that is not valid UTF-8.
constexpr int kInvalidUtf8 = 316;

// An integer quantity; text, fractions and anything else give 1.
std::int64_t quantityOf(const PropertyDictionary& dictionary) {
  JsonFieldReader reader(dictionary, "ProductItem");
  const auto quantity = reader.optionalInt64("p_quantity");
  return reader.ok() && quantity ? *quantity : 1;
}

// The category list; no categories unless the member is a list. Entries that are not
// dictionaries have no identifier and are dropped. Each entry is read where it stands: host data
// may nest far too deeply to be copied.
ProductCategoryList categoriesOf(const PropertyDictionary& dictionary) {
  if (!dictionary.is_object()) return {};
  const auto it = dictionary.find("p_categories");
  if (it == dictionary.end() || !it->is_array()) return {};
  ProductCategoryList categories;
  for (const PropertyDictionary& entry : *it) {
    auto category = ProductCategory::fromDictionary(entry);
    if (!category->categoryId.empty()) categories.push_back(std::move(category));
  }
  return categories;
}

}  // namespace

ProductItem::ProductItem(std::string id, std::string name, std::string image,
                         std::optional<std::string> price, std::optional<std::int64_t> quantity,
                         std::optional<ProductCategoryList> categories)
    : productName(std::move(name)),
      productId(std::move(id)),
      productImage(std::move(image)),
      productPrice(std::move(price).value_or("")),
      productQuantity(quantity.value_or(1)),
      productCategories(std::move(categories).value_or(ProductCategoryList{})) {}

void ProductItem::setQuantity(std::int64_t quantity) {
  productQuantity = quantity;
}

void ProductItem::addCategory(std::shared_ptr<ProductCategory> category) {
  if (category) productCategories.push_back(std::move(category));
}

PropertyDictionary ProductItem::toDictionary() const {
  return {{"p_name", productName},
          {"p_id", productId},
          {"p_img", productImage},
          {"p_price", productPrice},
          {"p_quantity", productQuantity},
          {"p_categories", ProductCategory::convertToArray(productCategories)}};
}

std::shared_ptr<ProductItem> ProductItem::fromDictionary(const PropertyDictionary& dictionary) {
  return std::make_shared<ProductItem>(
      textMemberOrEmpty(dictionary, "p_id"), textMemberOrEmpty(dictionary, "p_name"),
      textMemberOrEmpty(dictionary, "p_img"), textMemberOrEmpty(dictionary, "p_price"),
      quantityOf(dictionary), categoriesOf(dictionary));
}

std::vector<PropertyDictionary> ProductItem::convertToArray(
    const std::vector<std::shared_ptr<ProductItem>>& products) {
  return dictionariesOf(products);
}

std::vector<std::shared_ptr<ProductItem>> ProductItem::fromList(
    const std::vector<PropertyDictionary>& list) {
  return recordsWithIdentifier(list, &ProductItem::productId);
}

std::string ProductItem::convertToJsonString(
    const std::string& listName, const std::vector<std::shared_ptr<ProductItem>>& products) {
  const PropertyDictionary object = {{"products", convertToArray(products)}, {"p_group", listName}};
  try {
    // Strict serialisation: text that is not UTF-8 fails here rather than being altered.
    return object.dump();
  } catch (const nlohmann::json::exception& e) {
    // Text that is not UTF-8 gives the empty object silently; any other failure is written
    // whatever the development flag says, and without the usual prefix.
    if (e.id != kInvalidUtf8) {
      Logger::writeLine(std::string("Error converting array to JSON string: ") + e.what());
    }
    return "{}";
  }
}

}  // namespace tavrel_mmp
