// A host that builds tavrel_mmp as a subproject. It only starts the library: without a
// measurement service, what it records waits for a later start.
#include <iostream>

#include <tavrel_mmp/tavrel_mmp.h>

int main() {
  tavrel_mmp::Nimbrel::intSDK("SUBPROJECT_PARTNER", "subproject-placeholder-secret");
  tavrel_mmp::Nimbrel::logEvent("subproject_started", tavrel_mmp::PropertyDictionary{});
  std::cout << "subproject: linked tavrel_mmp " << tavrel_mmp::Nimbrel::version() << ", tracking "
            << (tavrel_mmp::Nimbrel::isTrackingEnabled() ? "on" : "off") << std::endl;
  return 0;
}
