#include "session/session_callback.h"

#include "core/no_destructor.h"
#include "platform/host_callback.h"

namespace tavrel_mmp {
namespace {

platform::HostCallback<const SessionOutcome&>& registered() {
  static NoDestructor<platform::HostCallback<const SessionOutcome&>> callback("session");
  return callback.get();
}

}  // namespace

void SessionCallback::set(Callback callback) {
  registered().set(std::move(callback));
}

void SessionCallback::report(const SessionOutcome& outcome) {
  registered().call(outcome);
}

}  // namespace tavrel_mmp
