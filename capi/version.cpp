#include "tavrel_mmp/version.h"
#include "tavrel_mmp/tavrel_mmp_c.h"

const char* tavrel_mmp_version(void) {
  return TAVREL_MMP_VERSION_STRING;
}
