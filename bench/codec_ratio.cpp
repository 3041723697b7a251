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
//   codec_ratio FILE...
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: codec_ratio FILE...\n");
    return 2;
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
