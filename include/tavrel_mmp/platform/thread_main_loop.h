#pragma once

#include <memory>

#include "tavrel_mmp/platform/main_loop.h"

namespace tavrel_mmp::platform {

/// The Linux provider: a library-owned thread standing in for the main thread.
std::shared_ptr<MainLoop> makeThreadMainLoop();

}  // namespace tavrel_mmp::platform
