#pragma once

#include <string>

namespace tavrel_mmp {

// Reports the topmost screen at every application activation from now on. Without a key window
// nothing is observed. A later call replaces the observer an earlier one started, so screen
// views are never reported twice.
void startAutomaticScreenTracking();

// Tracks one screen view named `screenName`, unchanged.
void trackScreenView(const std::string& screenName);

}  // namespace tavrel_mmp
