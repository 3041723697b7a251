// codec_ratio: how far each file would shrink under the codecs velcot may
// use between two velcots, for bench/run.sh's corpus rows. For each file it
// prints one line, fields separated by tabs:
//
//   NAME SIZE DEFLATE6 DEFLATE6_FRAMED ZSTD3 ZSTD19 CPU_DEFLATE6 CPU_ZSTD3 CPU_ZSTD19
//
// sizes in bytes: the file; raw deflate (no zlib or gzip wrapper) at level 6
// over the whole file; the same stream flushed (Z_SYNC_FLUSH) after every
// 8 KiB of the file, as a stream cut into frames would be; zstd at levels 3
// and 19. Then the CPU seconds each whole-file compression took.
//
// With --session, the files go through velcot's compressed stream (codec.h)
// as one session, on a simulated line: the sender keeps up to 64 KiB of C
// ahead of a line that drains baud/10 bytes a second, flushes only when the
// line would otherwise wait, and is told that rate for its level ladder;
// its own CPU time moves the clock. The receiver decodes C as 1 KiB
// segments. For each line rate and set of codecs one line:
//
//   BAUD CODECS S_BYTES C_BYTES RATIO GOODPUT SEND_S_PER_MIB RECV_S_PER_MIB RUNS LEVELS
//
// GOODPUT is S over the simulated time, in units of baud/10; LEVELS the
// share of S each codec and level took (none, d1..d9, z1..z19).
//
//   codec_ratio [--session] FILE...
#include <time.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "protocols/velcot/codec.h"

namespace {

const size_t kFrameBytes = 8192;  // a streaming data frame's most file bytes

bool ReadWholeFile(const char* path, std::vector<unsigned char>* bytes) {
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

// Raw deflate at level 6; with `flush_every` > 0 the stream is flushed to a
// byte boundary after each so many input bytes. Returns the output's size,
// or 0 if zlib fails.
size_t DeflateSize(const std::vector<unsigned char>& in, size_t flush_every) {
  z_stream z{};
  if (deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return 0;
  std::vector<unsigned char> out(65536);
  size_t total = 0, at = 0;
  size_t piece = flush_every > 0 ? flush_every : in.size();
  int status = Z_OK;
  do {
    size_t n = std::min(piece, in.size() - at);
    z.next_in = const_cast<unsigned char*>(in.data() + at);
    z.avail_in = uInt(n);
    at += n;
    int flush = at == in.size() ? Z_FINISH : Z_SYNC_FLUSH;
    do {
      z.next_out = out.data();
      z.avail_out = uInt(out.size());
      status = deflate(&z, flush);
      total += out.size() - z.avail_out;
    } while (status == Z_OK && z.avail_out == 0);
    if (status == Z_BUF_ERROR) status = Z_OK;  // the flush before had left nothing to write
  } while (at < in.size() && status == Z_OK);
  deflateEnd(&z);
  return status == Z_STREAM_END ? total : 0;
}

size_t ZstdSize(const std::vector<unsigned char>& in, int level) {
  std::vector<unsigned char> out(ZSTD_compressBound(in.size()));
  size_t n = ZSTD_compress(out.data(), out.size(), in.data(), in.size(), level);
  return ZSTD_isError(n) ? 0 : n;
}

double CpuSeconds() {
  return double(clock()) / CLOCKS_PER_SEC;
}

// ---- one session through the compressed stream ----

typedef std::vector<uint8_t> Bytes;

const size_t kAhead = 65536;        // C the sender keeps ready
const size_t kPiece = kFrameBytes;  // S the sender reads at a time
const size_t kSegment = 1024;

double ReadCpuSeconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

std::string DescribeLevels(const CodecEncoder& encoder) {
  std::string shown;
  const char* names[] = {"none", "d", "z", "x"};
  for (int codec = 0; codec < kRunCodecs; codec++) {
    for (int step = 0; step < kMaxSteps; step++) {
      uint64_t bytes = encoder.s_at[codec][step];
      if (bytes == 0) continue;
      std::string name = names[codec];
      if (codec == 1) name += std::to_string(kDeflateLevels[step]);
      if (codec == 2) name += std::to_string(kZstdLevels[step]);
      if (codec == 3) name += std::to_string(kLzmaLevels[step] & 0xFF) + (step == 4 ? "e" : "");
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

// The files as one session at 115200 and 921600, with all codecs, with
// zstd and deflate (where built), and with deflate alone, as velcot.exe
// has it.
// only: one set's name and one rate, for counting its instructions.
int RunSessions(int count, char** paths, const std::string& only, long only_baud) {
  Bytes s;
  for (int i = 0; i < count; i++) {
    if (!ReadWholeFile(paths[i], &s)) {
      perror(paths[i]);
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
  if (ListCodecs(true) & kCodecLzma) sets.insert(sets.begin(), {kCodecs, "lzma"});
  std::vector<long> bauds = {115200L, 921600L};
  if (only_baud != 0) bauds = {only_baud};  // 10: 1 byte/s, where every level fits
  for (long baud : bauds) {
    for (const Codecs& set : sets) {
      if (!only.empty() && only != set.name) continue;
      if (!RunSession(s, baud, set.agreed, set.name)) return 1;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || (argc < 3 && std::string(argv[1]) == "--session")) {
    fprintf(stderr, "usage: codec_ratio [--session [--only lzma|zstd|deflate BAUD]] FILE...\n");
    return 2;
  }
  if (std::string(argv[1]) == "--session") {
    // --session [--only NAME BAUD] FILE...
    if (argc > 5 && std::string(argv[2]) == "--only")
      return RunSessions(argc - 5, argv + 5, argv[3], atol(argv[4]));
    return RunSessions(argc - 2, argv + 2, "", 0);
  }
  for (int i = 1; i < argc; i++) {
    std::vector<unsigned char> bytes;
    if (!ReadWholeFile(argv[i], &bytes)) {
      perror(argv[i]);
      return 1;
    }
    double started = CpuSeconds();
    size_t deflated = DeflateSize(bytes, 0);
    double deflate_cpu = CpuSeconds() - started;
    size_t framed = DeflateSize(bytes, kFrameBytes);
    started = CpuSeconds();
    size_t zstd3 = ZstdSize(bytes, 3);
    double zstd3_cpu = CpuSeconds() - started;
    started = CpuSeconds();
    size_t zstd19 = ZstdSize(bytes, 19);
    double zstd19_cpu = CpuSeconds() - started;
    if (deflated == 0 || framed == 0 || zstd3 == 0 || zstd19 == 0) {
      fprintf(stderr, "codec_ratio: %s: a codec failed\n", argv[i]);
      return 1;
    }
    std::string name = argv[i];
    name = name.substr(name.find_last_of('/') + 1);
    printf("%s\t%zu\t%zu\t%zu\t%zu\t%zu\t%.4f\t%.4f\t%.4f\n", name.c_str(), bytes.size(), deflated,
           framed, zstd3, zstd19, deflate_cpu, zstd3_cpu, zstd19_cpu);
  }
  return 0;
}
