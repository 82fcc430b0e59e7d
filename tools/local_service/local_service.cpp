#include "local_service/local_service.h"
