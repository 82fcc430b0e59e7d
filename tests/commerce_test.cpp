#include "commerce/commerce_events.h"

#include <gtest/gtest.h>

#include <cmath>

#include "events/database_helper.h"
#include "support/test_support.h"
#include "tavrel_mmp/nimbrel.h"
#include "tavrel_mmp/product_item.h"

namespace tavrel_mmp {
namespace {

using nlohmann::json;

TEST(ProductItem, FromDictionaryTakesOnlyWellTypedMembers) {
  const json defaults = ProductItem("", "", "").toDictionary();
  for (const json& wrong : {json{{"p_quantity", "3"}}, json{{"p_quantity", 2.5}},
                            json{{"p_quantity", 18446744073709551615ull}},
                            json{{"p_price", 9.5}, {"p_name", nullptr}, {"p_img", true}},
                            json{{"p_categories", {{"c_id", "c"}}}}, json::array({1, 2})})
    EXPECT_EQ(ProductItem::fromDictionary(wrong)->toDictionary(), defaults) << wrong;
  // Categories without an identifier are dropped; so are products, from a list.
  const json given = json::parse(R"({"p_id":"i","p_price":"1.5","p_quantity":3,"p_categories":
      [{"c_id":"a","c_name":"A"},{"c_name":"B"},7,{"c_id":"c","c_name":3}]})");
  EXPECT_EQ(ProductItem::fromDictionary(given)->toDictionary()["p_categories"],
            json::parse(R"([{"c_id":"a","c_name":"A"},{"c_id":"c","c_name":""}])"));
  EXPECT_EQ(ProductItem::fromDictionary(given)->productQuantity, 3);
  const auto products = ProductItem::fromList(
      {{{"p_id", "first"}}, {{"p_name", "no id"}}, {{"p_id", 5}}, {{"p_id", "third"}}});
  ASSERT_EQ(products.size(), 2u);
  EXPECT_EQ(products[0]->productId + products[1]->productId, "firstthird");
}

class CommerceEventsTest : public testing::OfflineTest {
 protected:
  // The data of the one stored event with this name, which then leaves the store.
  static json takeTracked(const std::string& name) {
    json found = nullptr;
    auto& store = DatabaseHelper::shared();
    for (const auto& event : store.getEvents(1000).value_or(EventList{})) {
      EXPECT_TRUE(event->key == name && found.is_null()) << event->key;
      found = json::parse(event->data);
    }
    store.removeEvents(store.getEvents(1000).value_or(EventList{}));
    return found;
  }
};

TEST_F(CommerceEventsTest, DeepHostDataAndNonFiniteAmountsCostNothingElse) {
  // Built in place: copying would recurse as deeply as the data nests.
  const auto nest = [](json& root) {
    json* cursor = &(root = json::object());
    for (int i = 0; i < 100'000; ++i) cursor = &((*cursor)["d"] = json::object());
  };
  json deep;
  nest(deep);
  std::optional<json> deepOptional(std::in_place);
  nest(*deepOptional);

  Nimbrel::logEvent("deep", deep);
  EXPECT_EQ(takeTracked("deep"), json::object());
  Nimbrel::logEvent("deep", deepOptional);
  EXPECT_EQ(takeTracked("deep"), json::object());
  for (double amount : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
    Nimbrel::setRevenue("o-1", amount, "USD", deep);
    EXPECT_EQ(takeTracked("tvr_mmp_revenue"),
              (json{{"orderId", "o-1"}, {"amount", nullptr}, {"currency", "USD"}}));
  }
  json product = {{"p_id", "p"}, {"p_categories", {{{"c_id", "c"}}, nullptr}}};
  nest(product["p_categories"][1]);
  EXPECT_EQ(ProductItem::fromDictionary(product)->productCategories.size(), 1u);
}

}  // namespace
}  // namespace tavrel_mmp
