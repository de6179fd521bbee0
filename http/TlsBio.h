// An OpenSSL BIO over one of our non-blocking sockets. Unlike OpenSSL's socket
// BIO it writes with MSG_NOSIGNAL, so a peer that resets the connection cannot
// kill the game with SIGPIPE.
#pragma once

#include <openssl/bio.h>

namespace sion {

// What a BIO of this method reads from and writes to; owned by the connection.
struct SocketBioState {
  int fd = -1;
  bool eof = false;  // the peer closed; lets OpenSSL tell a close from a failure
};

// The method, made once by TlsContext.
BIO_METHOD* NewSocketBioMethod();

// A BIO of that method over state (not owned).
BIO* NewSocketBio(BIO_METHOD* method, SocketBioState* state);

}  // namespace sion
