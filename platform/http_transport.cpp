#include "tavrel_mmp/platform/http_transport.h"

#include <utility>

#include "core/no_destructor.h"
#include "platform/provider_slot.h"
#include "tavrel_mmp/platform/curl_transport.h"

namespace tavrel_mmp::platform {

namespace {

std::shared_ptr<HttpTransport> makeDefault() {
  return makeCurlTransport();
}

// Leaked on purpose: the transport and its worker must outlive every static destructor.
ProviderSlot<HttpTransport>& slot() {
  static NoDestructor<ProviderSlot<HttpTransport>> s(&makeDefault);
  return s.get();
}

}  // namespace

HttpTransport& httpTransport() {
  return slot().get();
}

void installHttpTransport(std::shared_ptr<HttpTransport> transport) {
  slot().install(std::move(transport));
}

}  // namespace tavrel_mmp::platform
