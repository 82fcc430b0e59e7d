#pragma once

// The names of the library's own events, in one place.
namespace tavrel_mmp::library_events {

inline constexpr const char* kFirstOpen = "tvr_mmp_first_open";
inline constexpr const char* kStartSession = "tvr_mmp_start_session";
inline constexpr const char* kScreenView = "tvr_mmp_screen_view";
inline constexpr const char* kProducts = "tvr_mmp_products";
inline constexpr const char* kRevenue = "tvr_mmp_revenue";

}  // namespace tavrel_mmp::library_events
