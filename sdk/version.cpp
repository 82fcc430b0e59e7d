#include "tavrel_mmp/version.h"
#include "tavrel_mmp/nimbrel.h"

namespace tavrel_mmp {

std::string Nimbrel::version() {
  return TAVREL_MMP_VERSION_STRING;
}

}  // namespace tavrel_mmp
