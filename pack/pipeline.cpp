// The compression pipeline: a dispatcher (the writer's thread) hands out
// segments in member order to a fixed set of job slots; workers read each
// segment with the window history before it (pread on the member's file,
// opened once) and compress it; the writer takes the jobs back in the same
// order, joins the bits and writes them.
//
// Why the bytes never depend on the thread count: a segment's compressed
// form depends only on its bytes, its history (the window before it, read
// again from the file) and whether it ends the member; no state passes from
// one segment to the next but the bits' place in the member, which the
// writer settles when it joins them in order (ChooseEnding picks the last
// segment's ending by where it lands). A compressor's tables carry nothing
// over either: each segment starts at a fresh place in its position space.
//
// How the work divides: every member of more than one segment gives one
// job per 1 MiB, and small members one job each, at every level; the
// workers take the jobs in turn, up to 2N + 1 in flight (N threads), so a
// worker never waits for the writer while a job is queued. The writer's own
// share (the CRC, joining the bits, writing) is 6-7 instructions a byte,
// 1-3% of what the compressors do at level 1 to 5; the speedup on N threads
// is bounded by that and by the last jobs of a run (a member of two segments
// keeps at most two threads busy).
#include "pack/pipeline.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <algorithm>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "decode/bitio.h"

namespace {

// Opens a member's file without following a link that took the collected
// file's place, and checks that it is the very file collected: another
// file's bytes never become this member. -1 with a message on failure.
int OpenMember(const MemberSource& m, std::string* error) {
  int fd = open(m.disk_path.c_str(), O_RDONLY | O_CLOEXEC | (m.through_link ? 0 : O_NOFOLLOW));
  if (fd < 0) {
    *error = "'" + m.disk_path + "': cannot be opened: " + (errno == ELOOP ? "it is now a symbolic link" : strerror(errno));
    return -1;
  }
  struct stat st;
  if (m.inode != 0 && (fstat(fd, &st) != 0 || (uint64_t)st.st_dev != m.device || (uint64_t)st.st_ino != m.inode)) {
    close(fd);
    *error = "'" + m.disk_path + "': was replaced by another file while it was being packed";
    return -1;
  }
  return fd;
}

// Reads exactly n bytes at offset; false on an error or a short file.
bool ReadAt(int fd, uint8_t* buf, size_t n, uint64_t offset) {
  while (n > 0) {
    ssize_t got = pread(fd, buf, n, (off_t)offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    buf += got;
    n -= (size_t)got;
    offset += (uint64_t)got;
  }
  return true;
}

// True when the file holds a byte at offset (it grew).
bool HasByteAt(int fd, uint64_t offset) {
  uint8_t b;
  ssize_t got;
  do {
    got = pread(fd, &b, 1, (off_t)offset);
  } while (got < 0 && errno == EINTR);
  return got != 0;
}

struct Job {
  size_t member = 0;
  uint64_t offset = 0;  // of the segment in the member
  size_t size = 0;
  size_t history = 0;
  bool final = false;
  int fd = -1;
  bool done = false;
  bool failed = false;  // the file changed size or could not be read
  bool no_memory = false;
  // History, then the segment: history + size bytes of input_room. Not
  // zeroed when allocated: the read fills it, and first touches its pages
  // on the worker's core.
  std::unique_ptr<uint8_t[]> input;
  size_t input_room = 0;
  uint8_t* begin() const { return input.get(); }
  uint8_t* end() const { return input.get() + history + size; }
  SegmentCode code;
};

}  // namespace

struct CompressPipeline::Impl {
  const std::vector<MemberSource>& members;
  PackMethod method;
  int threads;
  std::vector<std::unique_ptr<Job>> slots;
  std::vector<Job*> free_slots;
  std::deque<Job*> in_order;  // handed out, in member order
  std::deque<Job*> queue;     // waiting for a worker
  std::vector<int> fds;       // open files, by member
  std::vector<std::string> open_errors;
  size_t next_member = 0;     // the dispatcher's place
  uint64_t next_offset = 0;
  std::mutex mutex;
  std::condition_variable work_ready, job_done;
  bool stopping = false;
  std::vector<std::thread> workers;
  std::unique_ptr<Compressor> own;  // the writer's, when it compresses alone
  size_t reported = 0;  // workers that have built their compressor or failed to
  size_t ready = 0;     // those that built one (and still have it)
  size_t shed = 0;      // compressors still to give up, memory being short
  std::condition_variable worker_reported;
  std::vector<uint8_t> joined;
  bool out_of_memory = false;  // not even one compressor could be made
  // The last window of bytes of the member's segment just written: the next
  // segment was read with them as its history, and must have read the same.
  std::vector<uint8_t> tail;

  Impl(const std::vector<MemberSource>& m, const PackMethod& pm)
      : members(m), method(pm), threads(pm.threads < 1 ? 1 : pm.threads), fds(m.size(), -1),
        open_errors(m.size()) {
    if (g_crc_table[1] == 0) BuildCrcTable();
    // Each worker builds its own compressor, all at once (a compressor's
    // tables take 10-20 ms to allocate and clear: one after another they
    // held up the first segments), and frees it as it stops; the segments'
    // buffers are allocated in Dispatch, on the writer's thread. Storing
    // (lh0) needs neither. Where memory or threads run short, the run goes
    // on with as many as could be had; with none, every member to compress
    // fails (out_of_memory).
    try {
      tail.reserve(MaxDistance(pm.dict_bits > 0 ? pm.dict_bits : 1));
    } catch (const std::bad_alloc&) {
      // The tail grows as it is assigned; short of memory, that fails the
      // member.
    }
    if (method.dict_bits > 0 && threads > 1) {
      for (int i = 0; i < threads; ++i) {
        try {
          workers.emplace_back([this] { Work(); });
        } catch (const std::system_error&) {
          break;
        }
      }
      std::unique_lock<std::mutex> lock(mutex);
      worker_reported.wait(lock, [this] { return reported == workers.size(); });
      if (ready > 0 && ready < workers.size()) {
        // The memory ran out: one compressor fewer leaves room for the
        // segments' buffers.
        size_t keep = ready - 1;
        shed = 1;
        work_ready.notify_all();
        worker_reported.wait(lock, [this, keep] { return ready == keep; });
      }
    }
    if (ready < 2) {  // the writer compresses alone
      StopWorkers();
      if (method.dict_bits > 0) {
        try {
          own.reset(new Compressor(method.dict_bits, method.level));
        } catch (const std::bad_alloc&) {
          out_of_memory = true;
        }
      }
    }
    threads = ready >= 2 ? (int)ready : 1;
    size_t count = threads == 1 ? 1 : 2 * (size_t)threads + 1;
    for (size_t i = 0; i < count; ++i) {
      slots.emplace_back(new Job);
      free_slots.push_back(slots.back().get());
    }
  }

  void StopWorkers() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
    }
    work_ready.notify_all();
    for (std::thread& t : workers) t.join();
    workers.clear();
    stopping = false;
    threads = 1;
  }

  ~Impl() {
    StopWorkers();
    for (int fd : fds)
      if (fd >= 0) close(fd);
  }

  bool Compressible(const MemberSource& m) const {
    return method.dict_bits > 0 && !m.directory && m.link_target.empty() && m.copy_path.empty() && m.size > 0;
  }

  static void Run(Job* job, Compressor* compressor) {
    if (!ReadAt(job->fd, job->begin(), job->history + job->size, job->offset - job->history) ||
        (job->final && HasByteAt(job->fd, job->offset + job->size))) {
      job->failed = true;
      return;
    }
    try {
      compressor->Compress(job->begin(), job->history, job->size, job->final, &job->code);
    } catch (const std::bad_alloc&) {  // output past the room reserved for it
      job->no_memory = true;
    }
  }

  void Work() {
    std::unique_ptr<Compressor> compressor;
    try {
      compressor.reset(new Compressor(method.dict_bits, method.level));
    } catch (const std::bad_alloc&) {
      // One worker fewer.
    }
    std::unique_lock<std::mutex> lock(mutex);
    ++reported;
    if (compressor) ++ready;
    worker_reported.notify_one();
    if (!compressor) return;
    for (;;) {
      work_ready.wait(lock, [this] { return stopping || shed > 0 || !queue.empty(); });
      if (stopping) return;
      if (shed > 0) {
        --shed;
        compressor.reset();
        --ready;
        worker_reported.notify_one();
        return;
      }
      Job* job = queue.front();
      queue.pop_front();
      lock.unlock();
      Run(job, compressor.get());
      lock.lock();
      job->done = true;
      job_done.notify_all();
    }
  }

  // Hands out segments while a slot is free.
  void Dispatch() {
    for (;;) {
      while (next_member < members.size() && (!Compressible(members[next_member]) ||
                                               next_offset >= members[next_member].size)) {
        ++next_member;
        next_offset = 0;
      }
      if (next_member >= members.size() || free_slots.empty()) return;
      const MemberSource& m = members[next_member];
      if (next_offset == 0) {
        fds[next_member] = OpenMember(m, &open_errors[next_member]);
        if (fds[next_member] < 0) {
          next_offset = m.size;  // nothing to hand out
          continue;
        }
      }
      Job* job = free_slots.back();
      free_slots.pop_back();
      job->member = next_member;
      job->offset = next_offset;
      job->size = (size_t)std::min<uint64_t>(SEGMENT_BYTES, m.size - next_offset);
      job->history = HistoryBytes(method.dict_bits, next_offset);
      job->final = next_offset + job->size == m.size;
      job->fd = fds[next_member];
      job->done = job->failed = job->no_memory = false;
      // Room for the input and for output somewhat larger than it. Short of
      // memory, the slot is given up while others are busy (fewer segments
      // in flight); with none busy, the segment fails.
      try {
        if (job->input_room < job->history + job->size) {
          job->input.reset();
          job->input_room = 0;
          job->input.reset(new uint8_t[job->history + job->size]);
          job->input_room = job->history + job->size;
        }
        for (int k = 0; k < (job->final ? 3 : 1); ++k)
          job->code.endings[k].bits.bytes.reserve(job->size + job->size / 8 + 4096);
      } catch (const std::bad_alloc&) {
        *job = Job();
        if (!in_order.empty()) return;
        job->member = next_member;
        job->no_memory = true;
        job->done = true;
        job->size = (size_t)std::min<uint64_t>(SEGMENT_BYTES, m.size - next_offset);
        next_offset += job->size;
        in_order.push_back(job);
        continue;
      }
      next_offset += job->size;
      in_order.push_back(job);
      if (threads > 1) {
        std::lock_guard<std::mutex> lock(mutex);
        queue.push_back(job);
        work_ready.notify_one();
      }
    }
  }

  // The next job in order, compressed.
  Job* Next() {
    Job* job = in_order.front();
    in_order.pop_front();
    if (job->no_memory) return job;
    if (threads == 1) {
      Run(job, own.get());
    } else {
      std::unique_lock<std::mutex> lock(mutex);
      job_done.wait(lock, [job] { return job->done; });
    }
    return job;
  }

  void Release(Job* job) {
    free_slots.push_back(job);
    Dispatch();
  }

  void CloseFile(size_t index) {
    if (fds[index] >= 0) close(fds[index]);
    fds[index] = -1;
  }
};

CompressPipeline::CompressPipeline(const std::vector<MemberSource>& members, const PackMethod& method)
    : impl_(new Impl(members, method)) {}

CompressPipeline::~CompressPipeline() { delete impl_; }

namespace {

std::string NoMemory() { return "not enough memory to compress (fewer threads, -j, need less)"; }

std::string WriteError() { return std::string("cannot write the output: ") + strerror(errno); }

// Stores the file's size bytes at out's position; its CRC into crc.
bool Store(int fd, uint64_t size, FILE* out, const ProgressHook* progress, std::vector<uint8_t>* buf,
           uint16_t* crc, const std::string& changed, std::string* error) {
  buf->resize(1u << 16);
  *crc = 0;
  for (uint64_t done = 0; done < size;) {
    size_t n = (size_t)std::min<uint64_t>(size - done, buf->size());
    if (!ReadAt(fd, buf->data(), n, done)) {
      *error = changed;
      return false;
    }
    if (fwrite(buf->data(), 1, n, out) != n) {
      *error = WriteError();
      return false;
    }
    *crc = ContinueCrc16(*crc, buf->data(), n);
    if (progress && *progress) (*progress)(n, false);
    done += n;
  }
  if (HasByteAt(fd, size)) {
    *error = changed;
    return false;
  }
  return true;
}

}  // namespace

bool CompressPipeline::WriteData(size_t index, FILE* out, const ProgressHook& progress, MemberData* data,
                                 std::string* error) {
  Impl& p = *impl_;
  const MemberSource& m = p.members[index];
  const std::string changed = "'" + m.disk_path + "': the file changed size while it was being packed";
  p.Dispatch();
  *data = MemberData();
  if (!p.Compressible(m)) {
    int fd = OpenMember(m, error);
    if (fd < 0) return false;
    bool ok = Store(fd, m.size, out, &progress, &p.joined, &data->crc, changed, error);
    close(fd);
    data->packed_size = m.size;
    return ok;
  }
  if (p.out_of_memory) {
    *error = NoMemory();
    return false;
  }
  if (p.fds[index] < 0) {
    *error = p.open_errors[index];
    return false;
  }
  off_t data_at = ftello(out);
  BitJoiner joiner(&p.joined);
  p.joined.clear();
  uint64_t written = 0;
  uint16_t crc = 0;
  bool ok = true, smaller = true;
  for (uint64_t offset = 0; offset < m.size;) {
    Job* job = p.Next();
    offset += job->size;
    if (job->failed) {
      if (ok) *error = changed;
      ok = false;
    }
    // Each segment reads its history again, after the segment before it
    // was read: a file rewritten in place meanwhile would give codes that
    // copy bytes the decoder never had, under a CRC of other bytes.
    if (job->no_memory) {
      if (ok) *error = NoMemory();
      ok = false;
    }
    if (ok && job->history && memcmp(p.tail.data(), job->begin(), job->history) != 0) {
      *error = "'" + m.disk_path + "': the file changed while it was being packed";
      ok = false;
    }
    if (ok && !job->final) {
      size_t keep = HistoryBytes(p.method.dict_bits, offset);
      p.tail.assign(job->end() - (ptrdiff_t)keep, job->end());
    }
    if (ok) {
      crc = ContinueCrc16(crc, job->begin() + job->history, job->size);
      if (progress) progress(job->size, false);
    }
    if (ok && smaller) {
      joiner.Append(ChooseEnding(job->code, joiner.BitCount()));
      if (job->final) joiner.Finish();
      if (fwrite(p.joined.data(), 1, p.joined.size(), out) != p.joined.size()) {
        *error = WriteError();
        ok = false;
      }
      written += p.joined.size();
      p.joined.clear();
      if (written >= m.size) smaller = false;
    }
    p.Release(job);
  }
  if (ok && !smaller) {
    // Stored after all: read again from the start, over what compression
    // wrote, and cut off what it wrote past the stored data.
    ok = fseeko(out, data_at, SEEK_SET) == 0;
    if (!ok) *error = WriteError();
    if (ok) ok = Store(p.fds[index], m.size, out, nullptr, &p.joined, &crc, changed, error);
    if (ok && (fflush(out) != 0 || ftruncate(fileno(out), ftello(out)) != 0)) {
      *error = WriteError();
      ok = false;
    }
    written = m.size;
  }
  p.CloseFile(index);
  if (!ok) return false;
  data->compressed = smaller;
  data->packed_size = written;
  data->crc = crc;
  return true;
}
