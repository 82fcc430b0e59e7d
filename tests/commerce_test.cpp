#include "commerce/commerce_events.h"

#include <gtest/gtest.h>

#include "events/database_helper.h"
#include "session/storage_helper.h"
#include "support/fake_transport.h"
#include "support/pipeline_fixture.h"
#include "support/test_support.h"
#include "tavrel_mmp/platform/manual_loop.h"
#include "tavrel_mmp/product_item.h"

namespace tavrel_mmp {
namespace {

using nlohmann::json;

TEST(ProductItem, OptionalArgumentsDefaultAndCategoriesKeepTheirOrder) {
  ProductItem product("p1", "Shoe", "img");
  EXPECT_EQ(product.toDictionary(), json::parse(R"({"p_id":"p1","p_name":"Shoe","p_img":"img",
      "p_price":"","p_quantity":1,"p_categories":[]})"));
  product.addCategory(std::make_shared<ProductCategory>("c1", "Feet"));
  product.addCategory(nullptr);
  product.addCategory(std::make_shared<ProductCategory>("c2", "Sale"));
  EXPECT_EQ(product.toDictionary()["p_categories"],
            json::parse(R"([{"c_id":"c1","c_name":"Feet"},{"c_id":"c2","c_name":"Sale"}])"));
}

TEST(ProductItem, FromDictionaryTakesOnlyWellTypedMembers) {
  const json defaults = ProductItem("", "", "").toDictionary();
  auto with = [&](const char* changes) {
    json out = defaults;
    out.update(json::parse(changes));
    return out;
  };
  const std::vector<std::tuple<const char*, json, json>> cases = {
      {"quantity 3", {{"p_quantity", 3}}, with(R"({"p_quantity":3})")},
      {"quantity as text", {{"p_quantity", "3"}}, defaults},
      {"fractional quantity", {{"p_quantity", 2.5}}, defaults},
      {"quantity past 64 bits", {{"p_quantity", 18446744073709551615ull}}, defaults},
      {"mistyped texts", {{"p_price", 9.5}, {"p_name", nullptr}, {"p_img", true}}, defaults},
      {"categories not a list", {{"p_categories", {{"c_id", "c"}}}}, defaults},
      {"not an object", json::array({1, 2}), defaults},
      {"categories without identifiers dropped",
       json::parse(R"({"p_id":"i","p_price":"1.5","p_categories":[{"c_id":"a","c_name":"A"},
           {"c_name":"B"},7,{"c_id":"c","c_name":3}]})"),
       with(R"({"p_id":"i","p_price":"1.5","p_categories":[{"c_id":"a","c_name":"A"},
           {"c_id":"c","c_name":""}]})")},
  };
  for (const auto& [name, input, expected] : cases) {
    EXPECT_EQ(ProductItem::fromDictionary(input)->toDictionary(), expected) << name;
  }

  const auto products = ProductItem::fromList(
      {{{"p_id", "first"}}, {{"p_name", "no id"}}, {{"p_id", 5}}, {{"p_id", "third"}}});
  ASSERT_EQ(products.size(), 2u);
  EXPECT_EQ(products[0]->productId + products[1]->productId, "firstthird");
}

class CommerceEventsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto clock = std::make_shared<platform::ManualClock>();
    testing::installTrackerUnderTest(dir_.path(), clock,
                                     std::make_shared<platform::ManualMainLoop>(clock),
                                     std::make_shared<testing::FakeTransport>());
    StorageHelper::shared().saveAuthData(
        testing::bytes(R"({"responseCode":200,"responseText":"OK","data":{"sessionId":"s",)"
                       R"("token":"t","sessionExpireTimeInSeconds":3600}})"));
  }
  static void clearStore() {
    auto& store = DatabaseHelper::shared();
    store.removeEvents(store.getEvents(100000).value_or(EventList{}));
  }
  testing::TempDir dir_;
  // The data of the one stored event with this name.
  static json trackedData(const std::string& name) {
    json found = nullptr;
    for (const auto& event : DatabaseHelper::shared().getEvents(1000).value_or(EventList{})) {
      if (event->key != name) continue;
      EXPECT_TRUE(found.is_null()) << "more than one " << name;
      found = json::parse(event->data);
    }
    return found;
  }
};

TEST_F(CommerceEventsTest, ProductListIsOneTextPropertyHoldingCompactJson) {
  auto shoe = std::make_shared<ProductItem>("p1", "Shoe", "i", "12.50", 2);
  const std::vector<std::pair<std::vector<std::shared_ptr<ProductItem>>, json>> cases = {
      {{}, json::array()},
      {{shoe, nullptr, shoe}, {shoe->toDictionary(), shoe->toDictionary()}},
  };
  for (const auto& [products, expected] : cases) {
    CommerceEvents::setProductList("home", products);
    const json data = trackedData("tvr_mmp_products");
    ASSERT_EQ(data.size(), 1u);
    const std::string text = data["products"];
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(json::parse(text), (json{{"products", expected}, {"p_group", "home"}}));
    clearStore();
  }
}

TEST_F(CommerceEventsTest, UnserialisableListIsReportedWithoutPrefixAndTrackedAsEmptyObject) {
  auto broken = std::make_shared<ProductItem>("p1", "bad \xFF name", "i");
  const std::string out =
      testing::captureStdout([&] { CommerceEvents::setProductList("home", {broken}); });
  EXPECT_EQ(out.rfind("Error converting array to JSON string: ", 0), 0u) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
  EXPECT_EQ(trackedData("tvr_mmp_products"), (json{{"products", "{}"}}));
}

TEST_F(CommerceEventsTest, RevenueFixedKeysWinOverHostData) {
  const json fixed = {{"orderId", "o-1"}, {"amount", 19.99}, {"currency", "USD"}};
  const std::vector<std::tuple<const char*, std::optional<json>, json>> cases = {
      {"no data", std::nullopt, fixed},
      {"data not a dictionary", json::array({1, 2}), fixed},
      {"data with fixed names",
       json{{"amount", "1"}, {"currency", "EUR"}, {"coupon", "C"}},
       {{"orderId", "o-1"}, {"amount", 19.99}, {"currency", "USD"}, {"coupon", "C"}}},
  };
  for (const auto& [name, data, expected] : cases) {
    CommerceEvents::setRevenue("o-1", 19.99, "USD", data);
    EXPECT_EQ(trackedData("tvr_mmp_revenue"), expected) << name;
    clearStore();
  }
}

}  // namespace
}  // namespace tavrel_mmp
