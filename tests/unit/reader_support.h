// Helpers for the tests of the reading side: byte builders, in-memory
// streams, time-zone and callback guards.
#pragma once
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include "extract/payload.h"
#include "platform/host_hooks.h"

namespace reader_test {

typedef std::vector<uint8_t> Bytes;

inline void Put16(Bytes* b, uint32_t v) {
  b->push_back((uint8_t)v);
  b->push_back((uint8_t)(v >> 8));
}

inline void Put32(Bytes* b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b->push_back((uint8_t)(v >> (8 * i)));
}

inline void PutText(Bytes* b, const std::string& s) { b->insert(b->end(), s.begin(), s.end()); }

inline Bytes Cat(const Bytes& a, const Bytes& b) {
  Bytes r = a;
  r.insert(r.end(), b.begin(), b.end());
  return r;
}

// A read-only stream over a copy of the bytes (kept alive by the object).
class MemStream {
 public:
  explicit MemStream(const Bytes& bytes) : data_(bytes) {
    // fmemopen refuses a zero-sized buffer on some C libraries; an empty
    // stream is a temporary file instead.
    if (data_.empty())
      file_ = tmpfile();
    else
      file_ = fmemopen(data_.data(), data_.size(), "rb");
  }
  ~MemStream() {
    if (file_) fclose(file_);
  }
  FILE* get() const { return file_; }
  // Hands the stream to an owner that closes it.
  FILE* release() {
    FILE* f = file_;
    file_ = nullptr;
    return f;
  }
  long pos() const { return ftell(file_); }

 private:
  Bytes data_;
  FILE* file_;
};

// Sets TZ for the life of the object and restores the previous value.
class TzGuard {
 public:
  explicit TzGuard(const char* zone) {
    const char* old = getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~TzGuard() {
    if (had_)
      setenv("TZ", old_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  bool had_;
  std::string old_;
};

// Records the messages the core shows through PlatShowError and the
// progress positions it sends; resets the host callbacks when done.
struct Captured {
  std::vector<std::string> texts, captions;
  std::vector<uint32_t> positions;
};
inline Captured* g_captured = nullptr;

class CaptureGuard {
 public:
  CaptureGuard() {
    g_captured = &captured;
    HostCallbacks c;
    memset(&c, 0, sizeof c);
    c.error = [](const char* text, const char* caption) {
      g_captured->texts.push_back(text);
      g_captured->captions.push_back(caption);
    };
    c.progress = [](uint32_t position) { g_captured->positions.push_back(position); };
    HostSetCallbacks(&c);
  }
  ~CaptureGuard() {
    HostSetCallbacks(nullptr);
    g_captured = nullptr;
  }
  Captured captured;
};

// A file's bytes (none when it cannot be read).
inline Bytes ReadWholeFile(const std::string& path) {
  Bytes bytes;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return bytes;
  int c;
  while ((c = getc(f)) != EOF) bytes.push_back((uint8_t)c);
  fclose(f);
  return bytes;
}

// A fixture file's bytes ("" when missing).
inline Bytes ReadFixture(const std::string& relative) {
  return ReadWholeFile(std::string(VEMO_SOURCE_DIR) + "/tests/fixtures/" + relative);
}

// MS-DOS date and time as one 32-bit value (date in the high half).
inline uint32_t DosTime(uint32_t year, uint32_t month, uint32_t day, uint32_t hour, uint32_t minute,
                        uint32_t second) {
  uint32_t date = ((year - 1980) << 9) | (month << 5) | day;
  uint32_t time = (hour << 11) | (minute << 5) | (second / 2);
  return (date << 16) | time;
}

}  // namespace reader_test
