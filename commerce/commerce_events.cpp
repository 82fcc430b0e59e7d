#include "commerce/commerce_events.h"

#include <cmath>

#include "core/dictionary_merge.h"
#include "core/json_depth.h"
#include "core/logger.h"
#include "events/library_events.h"
#include "events/tracking_event.h"

namespace tavrel_mmp {

void CommerceEvents::setProductList(const std::string& listName,
                                    const std::vector<std::shared_ptr<ProductItem>>& products) {
  // The receiver reads one text property holding JSON, not a nested object.
  const std::string json = ProductItem::convertToJsonString(listName, products);
  TrackingEvent::trackEvent(library_events::kProducts, PropertyDictionary{{"products", json}});
}

void CommerceEvents::setRevenue(const std::string& orderId, double amount,
                                const std::string& currency, const PropertyDictionary& data) {
  PropertyDictionary event = PropertyDictionary::object();
  if (nestedDeeperThan(data)) {
    Logger::log("Revenue data nesting deeper than " + std::to_string(kMaxJsonDepth) +
                " levels is left out");
  } else {
    mergeInto(event, data);
  }
  PropertyDictionary amountValue;  // null
  if (std::isfinite(amount)) {
    amountValue = amount;
  } else {
    Logger::log("A revenue amount that is not a finite number is sent as null");
  }
  mergeInto(event, PropertyDictionary{
                       {"orderId", orderId}, {"amount", amountValue}, {"currency", currency}});
  TrackingEvent::trackEvent(library_events::kRevenue, event);
}

}  // namespace tavrel_mmp
