// codec_session: the corpus through velcot's compressed stream as one
// session, on a simulated line. The sender keeps up to 64 KiB of C ahead of
// a line that drains baud/10 bytes a second, flushes only when the line
// would otherwise wait, and is told that rate for its level ladder; its own
// CPU time moves the clock. The receiver decodes C as 1 KiB segments. For
// each line rate and set of codecs it prints one line, fields separated by
// tabs:
//
//   BAUD CODECS S_BYTES C_BYTES RATIO GOODPUT SEND_S_PER_MIB RECV_S_PER_MIB RUNS LEVELS
//
// GOODPUT is S over the simulated time, in units of baud/10; LEVELS the
// share of S each codec and level took (none, d1..d9, z1..z19).
//
//   codec_session FILE...
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "codec.h"

namespace {

typedef std::vector<uint8_t> Bytes;

const size_t kAhead = 65536;  // C the sender keeps ready
const size_t kPiece = 8192;   // S the sender reads at a time
const size_t kSegment = 1024;

double ReadCpuSeconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

bool ReadWholeFile(const char* path, Bytes* bytes) {
  FILE* file = fopen(path, "rb");
  if (file == nullptr) return false;
  unsigned char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, file)) > 0)
    bytes->insert(bytes->end(), buffer, buffer + n);
  bool ok = !ferror(file);
  fclose(file);
  return ok;
}

std::string DescribeLevels(const CodecEncoder& encoder) {
  std::string shown;
  const char* names[] = {"none", "d", "z"};
  for (int codec = 0; codec < 3; codec++) {
    for (int step = 0; step < kMaxSteps; step++) {
      uint64_t bytes = encoder.s_at[codec][step];
      if (bytes == 0) continue;
      std::string name = names[codec];
      if (codec == 1) name += std::to_string(kDeflateLevels[step]);
      if (codec == 2) name += std::to_string(kZstdLevels[step]);
      char share[64];
      snprintf(share, sizeof share, "%s%s:%.0f%%", shown.empty() ? "" : " ", name.c_str(),
               100.0 * double(bytes) / double(encoder.s_bytes));
      shown += share;
    }
  }
  return shown;
}

bool RunSession(const Bytes& s, long baud, uint8_t agreed, const char* codecs) {
  const double rate = double(baud) / 10;
  CodecEncoder encoder;
  StartEncoder(&encoder, agreed, FindPhysicalMemory());
  ReportDrainRate(&encoder, rate);
  Bytes c;
  double now = 0, line_free = 0;  // simulated seconds; when the line has sent all of c
  double send_cpu = 0;
  CodecError error = CodecError::kNone;
  for (size_t at = 0; at < s.size() + kPiece && error == CodecError::kNone; at += kPiece) {
    size_t before = c.size();
    double started = ReadCpuSeconds();
    if (at >= s.size()) {
      error = EndEncoder(&encoder, &c);
    } else {
      error = FeedEncoder(&encoder, s.data() + at, std::min(kPiece, s.size() - at), &c);
      // The line would wait for what the compressor holds.
      if (error == CodecError::kNone && (line_free - now) * rate < kSegment)
        error = FlushEncoder(&encoder, &c);
    }
    double spent = ReadCpuSeconds() - started;
    send_cpu += spent;
    now += spent;
    line_free = std::max(line_free, now) + double(c.size() - before) / rate;
    if ((line_free - now) * rate > kAhead) now = line_free - kAhead / rate;
  }
  if (error != CodecError::kNone) {
    fprintf(stderr, "codec_session: sender: %s\n", DescribeCodecError(error));
    return false;
  }

  CodecDecoder decoder;
  StartDecoder(&decoder, agreed);
  Bytes decoded, room(65536);
  double started = ReadCpuSeconds();
  for (size_t at = 0; at < c.size() && error == CodecError::kNone;) {
    size_t size = std::min(kSegment, c.size() - at), used = 0, made = 0;
    do {
      error = FeedDecoder(&decoder, c.data() + at, size, &used, room.data(), room.size(), &made);
      decoded.insert(decoded.end(), room.begin(), room.begin() + long(made));
      at += used;
      size -= used;
    } while (error == CodecError::kNone && (size > 0 || made == room.size()));
  }
  if (error == CodecError::kNone) error = EndDecoder(&decoder);
  double recv_cpu = ReadCpuSeconds() - started;
  if (error != CodecError::kNone || decoded != s) {
    fprintf(stderr, "codec_session: receiver: %s\n",
            error != CodecError::kNone ? DescribeCodecError(error) : "decoded other bytes");
    return false;
  }
  double mib = double(s.size()) / (1 << 20);
  printf("%ld\t%s\t%zu\t%zu\t%.3f\t%.3f\t%.4f\t%.4f\t%d\t%s\n", baud, codecs, s.size(), c.size(),
         double(s.size()) / double(c.size()), double(s.size()) / (line_free * rate), send_cpu / mib,
         recv_cpu / mib, encoder.runs, DescribeLevels(encoder).c_str());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: codec_session FILE...\n");
    return 2;
  }
  Bytes s;
  for (int i = 1; i < argc; i++) {
    if (!ReadWholeFile(argv[i], &s)) {
      perror(argv[i]);
      return 1;
    }
  }
  struct Codecs {
    uint8_t agreed;
    const char* name;
  };
  std::vector<Codecs> sets = {{kCodecDeflate, "deflate"}};
  if (ListCodecs(true) & kCodecZstd)
    sets.insert(sets.begin(), {kCodecDeflate | kCodecZstd, "zstd"});
  for (long baud : {115200L, 921600L}) {
    for (const Codecs& set : sets) {
      if (!RunSession(s, baud, set.agreed, set.name)) return 1;
    }
  }
  return 0;
}
