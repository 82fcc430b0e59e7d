// Products, categories and the user profile made from host dictionaries: the input parsed as
// JSON, taken as one dictionary and, when it is a list, as a list of them.
#include "fuzz_support.h"
#include "tavrel_mmp/product_item.h"
#include "tavrel_mmp/user_info.h"

using namespace tavrel_mmp;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto dictionary = PropertyDictionary::parse(data, data + size, nullptr, false);
  if (dictionary.is_discarded()) return 0;

  const auto product = ProductItem::fromDictionary(dictionary);
  ProductCategory::fromDictionary(dictionary);
  UserInfo::fromDictionary(dictionary)->toDictionary().dump();

  // The host's list, moved rather than copied: copying recurses over any nesting.
  std::vector<PropertyDictionary> list;
  if (dictionary.is_array()) list = std::move(dictionary.get_ref<PropertyDictionary::array_t&>());
  auto products = ProductItem::fromList(list);
  for (const auto& category : ProductCategory::fromList(list)) product->addCategory(category);
  products.push_back(product);
  // Made from parsed JSON, every text is valid UTF-8: the product list always serialises.
  const std::string text = ProductItem::convertToJsonString("list", products);
  fuzz::require(text != "{}");
  return 0;
}
