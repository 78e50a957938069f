// Compression of a run's file members on several threads, written in order.
#pragma once
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "pack/archive.h"

// What was written for one file member's data.
struct MemberData {
  bool compressed = false;  // false: stored as it is
  uint64_t packed_size = 0;
  uint16_t crc = 0;
};

// Members are cut into segments at fixed offsets (SEGMENT_BYTES); worker
// threads read and compress the segments ahead of the writer, at most a
// few per thread at a time, each with its own bounded buffers, which are
// kept from one segment to the next for the whole run. The writer joins a
// member's segments in order, so the bytes are the same whatever the
// number of threads.
class CompressPipeline {
 public:
  // members: the run's members, asked for in order; method: dictionary,
  // level and threads.
  CompressPipeline(const std::vector<MemberSource>& members, const PackMethod& method);
  ~CompressPipeline();
  CompressPipeline(const CompressPipeline&) = delete;
  CompressPipeline& operator=(const CompressPipeline&) = delete;

  // Writes member index's data (a file member; members are asked for in
  // order) at out's position: compressed when that makes it smaller, else
  // stored. False with a message when the file cannot be read, changed size
  // while it was packed, or the output cannot be written.
  bool WriteData(size_t index, FILE* out, const ProgressHook& progress, MemberData* data, std::string* error);

 private:
  struct Impl;
  Impl* impl_;
};
