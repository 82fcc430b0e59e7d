#pragma once

#include <random>

#include "local_service/local_service.h"

namespace tavrel_mmp::soak {

// Changes what the service does wrong, at random: clears every fault, or sets one of each kind
// it knows (an error status with a refusing code, an answer that is not JSON, an answer cut
// short, a close without answering, a delay) on a path the library calls, for a few requests or
// until the next change. Batches are picked most often.
void changeFaultsAtRandom(tools::LocalService& service, std::mt19937& random);

}  // namespace tavrel_mmp::soak
