#include "http/TlsBio.h"

#include "platform/net/Socket.h"

namespace sion {
namespace {

SocketBioState* StateOf(BIO* b) { return static_cast<SocketBioState*>(BIO_get_data(b)); }

int Write(BIO* b, const char* data, int size) {
  BIO_clear_retry_flags(b);
  nimo_net::IoResult r = nimo_net::SendSome(StateOf(b)->fd, data, static_cast<std::size_t>(size));
  if (r.status != nimo_net::Io::Ok) return -1;
  if (r.bytes == 0 && size > 0) {
    BIO_set_retry_write(b);
    return -1;
  }
  return static_cast<int>(r.bytes);
}

int Read(BIO* b, char* buffer, int size) {
  BIO_clear_retry_flags(b);
  SocketBioState* state = StateOf(b);
  nimo_net::IoResult r = nimo_net::RecvSome(state->fd, buffer, static_cast<std::size_t>(size));
  if (r.status == nimo_net::Io::Closed) {
    state->eof = true;
    return 0;
  }
  if (r.status != nimo_net::Io::Ok) return -1;
  if (r.bytes == 0 && size > 0) {
    BIO_set_retry_read(b);
    return -1;
  }
  return static_cast<int>(r.bytes);
}

int Puts(BIO* b, const char* text) {
  int n = 0;
  while (text[n] != '\0') ++n;
  return Write(b, text, n);
}

long Ctrl(BIO* b, int cmd, long, void*) {
  switch (cmd) {
    case BIO_CTRL_FLUSH:
      return 1;  // nothing is buffered here
    case BIO_CTRL_EOF:
      return StateOf(b) != nullptr && StateOf(b)->eof ? 1 : 0;
    default:
      return 0;
  }
}

int Create(BIO* b) {
  BIO_set_data(b, nullptr);
  BIO_set_init(b, 1);
  return 1;
}

int Destroy(BIO* b) {
  BIO_set_data(b, nullptr);
  return 1;
}

}  // namespace

BIO_METHOD* NewSocketBioMethod() {
  BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "nimo socket");
  if (m == nullptr) return nullptr;
  BIO_meth_set_write(m, Write);
  BIO_meth_set_read(m, Read);
  BIO_meth_set_puts(m, Puts);
  BIO_meth_set_ctrl(m, Ctrl);
  BIO_meth_set_create(m, Create);
  BIO_meth_set_destroy(m, Destroy);
  return m;
}

BIO* NewSocketBio(BIO_METHOD* method, SocketBioState* state) {
  BIO* b = BIO_new(method);
  if (b != nullptr) BIO_set_data(b, state);
  return b;
}

}  // namespace sion
