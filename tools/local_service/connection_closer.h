#pragma once

namespace tavrel_mmp::tools {

// Shuts down, in both directions, this process's TCP connection whose local port is
// `localPort` and whose peer port is `peerPort`; false when there is none. The descriptor
// stays open for its owner, which then finds the connection gone: the peer receives an orderly
// end of stream and no byte of an answer.
bool shutDownConnection(int localPort, int peerPort);

}  // namespace tavrel_mmp::tools
