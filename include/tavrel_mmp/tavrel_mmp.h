#pragma once

/// @file
/// Everything a host application uses: the facade and its options, the property dictionary,
/// user and product types, deep links, touch detection, and the platform provider interfaces
/// (with their `install...` functions) for hosts that supply their own services. The test clocks
/// (`tavrel_mmp/testing/manual_time.h`, library `tavrel_mmp_testing`) are not included.

#include "tavrel_mmp/consent_state.h"
#include "tavrel_mmp/deep_link_builder.h"
#include "tavrel_mmp/deep_link_handler.h"
#include "tavrel_mmp/deep_link_parameters.h"
#include "tavrel_mmp/detect_window_touch.h"
#include "tavrel_mmp/nimbrel.h"
#include "tavrel_mmp/nimbrel_deep_link_delegate.h"
#include "tavrel_mmp/nimbrel_options.h"
#include "tavrel_mmp/product_item.h"
#include "tavrel_mmp/property_dictionary.h"
#include "tavrel_mmp/user_info.h"
#include "tavrel_mmp/version.h"

#include "tavrel_mmp/platform/bundle_info.h"
#include "tavrel_mmp/platform/clock.h"
#include "tavrel_mmp/platform/device_facts.h"
#include "tavrel_mmp/platform/documents_directory.h"
#include "tavrel_mmp/platform/http_transport.h"
#include "tavrel_mmp/platform/json.h"
#include "tavrel_mmp/platform/main_loop.h"
#include "tavrel_mmp/platform/preferences_store.h"
#include "tavrel_mmp/platform/secure_random.h"
#include "tavrel_mmp/platform/ui_toolkit.h"
