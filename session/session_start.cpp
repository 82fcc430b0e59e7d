#include "session/session_start.h"

namespace tavrel_mmp {

// The session start (device report, first open, session deep link, start-of-session event,
// deep-link retention, crash upload) is built on top of authentication; until it lands, an
// accepted authentication only stores its record.
void SessionStart::begin(const AuthData&) {}

}  // namespace tavrel_mmp
