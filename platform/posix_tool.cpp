// The host tool's system needs on glibc: fopencookie makes a stream that
// counts what is written to it.
#include <string.h>
#include <unistd.h>

#include <new>

#include "platform/host_system.h"

namespace {

struct Counter {
  int fd;
  uint64_t* count;
};

ssize_t CountingWrite(void* cookie, const char* data, size_t size) {
  Counter* c = static_cast<Counter*>(cookie);
  size_t done = 0;
  while (c->fd >= 0 && done < size) {
    ssize_t n = write(c->fd, data + done, size - done);
    if (n < 0) return done > 0 ? (ssize_t)done : -1;
    done += (size_t)n;
  }
  *c->count += size;
  return (ssize_t)size;
}

// Only "where am I" is answered: the byte count, so that ftell works.
int CountingSeek(void* cookie, off64_t* offset, int whence) {
  Counter* c = static_cast<Counter*>(cookie);
  if (whence != SEEK_CUR || *offset != 0) return -1;
  *offset = (off64_t)*c->count;
  return 0;
}

int CountingClose(void* cookie) {
  delete static_cast<Counter*>(cookie);
  return 0;
}

}  // namespace

FILE* HostCountingStream(int fd, uint64_t* count) {
  Counter* c = new (std::nothrow) Counter{fd, count};
  if (!c) return nullptr;
  cookie_io_functions_t io;
  memset(&io, 0, sizeof io);
  io.write = CountingWrite;
  io.seek = CountingSeek;
  io.close = CountingClose;
  FILE* stream = fopencookie(c, "wb", io);
  if (!stream) delete c;
  return stream;
}
