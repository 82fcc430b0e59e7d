#include "tavrel_mmp/platform/http_transport.h"

#include <utility>

#include "platform/provider_slot.h"

namespace tavrel_mmp::platform {

namespace {

std::shared_ptr<HttpTransport> makeDefault() {
  return makeCurlTransport();
}

// Leaked on purpose: the transport and its worker must outlive every static destructor.
ProviderSlot<HttpTransport>& slot() {
  static auto* s = new ProviderSlot<HttpTransport>(&makeDefault);
  return *s;
}

}  // namespace

HttpTransport& httpTransport() {
  return slot().get();
}

void installHttpTransport(std::shared_ptr<HttpTransport> transport) {
  slot().install(std::move(transport));
}

}  // namespace tavrel_mmp::platform
