// What the HTTPS server and the live view do to their sockets beyond cpp-httplib: POSIX
// (ServerSockets_posix.cpp) or Winsock (ServerSockets_win.cpp). A socket is the number
// httplib or OpenSSL hands over (a Windows socket handle fits in it).
#pragma once

#include <cstdint>

namespace nimo_sandbox {

// A client that leaves early must not end the process on our next write.
void IgnoreBrokenPipes();
// The listener's port is ours alone: a second sandbox on it must fail, not share it.
void ClaimPortAlone(std::intptr_t sock);
// Writes leave at once instead of waiting for the client's delayed ACK.
void SendWithoutDelay(std::intptr_t sock);
// Ends both directions: the write that follows fails and nothing is answered.
void CutConnection(std::intptr_t sock);
// True when the client closed its side or the connection failed.
bool PeerLeft(std::intptr_t sock);

}  // namespace nimo_sandbox
