#pragma once

#include "tavrel_mmp/deep_link_builder.h"
#include "tavrel_mmp/tavrel_mmp_c.h"

namespace tavrel_mmp::capi {

// The builder's completion that hands its outcome to a C completion as JSON text: exactly one
// non-NULL text per call. An empty completion when `completion` is NULL.
DeepLinkBuilder::Completion linkCompletion(tavrel_mmp_link_completion completion, void* user);

}  // namespace tavrel_mmp::capi
