#include "protocols/velcot/codec.h"

#include <algorithm>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#include <unistd.h>
#endif

#include "base/wire.h"

#if VELCOT_ZSTD
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_estimateCStreamSize_usingCParams
#include <zstd.h>
#include <zstd_errors.h>
#endif

#if VELCOT_LZMA
#include <lzma.h>
struct LzmaCoder {
  lzma_stream stream = LZMA_STREAM_INIT;
  lzma_options_lzma options{};
};
#endif

namespace {

typedef std::vector<uint8_t> Bytes;

// The compressor's time: this thread's CPU time where the clock is fine
// enough; on Windows, whose thread times move in 15.6 ms steps, the wall
// clock, which only overstates it.
double ReadCpuSeconds() {
#ifdef _WIN32
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return double(now.QuadPart) / double(frequency.QuadPart);
#else
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
#endif
}

// Ends an lzma coder. zstd's and lzma's coders are kept one at a time:
// each holds a window of up to 8 MiB (a compressor, up to 100 MiB).
void DropLzma(LzmaCoder** lzma) {
#if VELCOT_LZMA
  if (*lzma != nullptr) lzma_end(&(*lzma)->stream);
  delete *lzma;
#endif
  *lzma = nullptr;
}

size_t FindHistorySize(RunCodec codec) {
  return codec == RunCodec::kZstd || codec == RunCodec::kLzma ? kZstdHistory : kDeflateHistory;
}

// What an end keeps of S for the runs it may be asked to prime.
size_t FindHistoryKept(uint8_t agreed) {
  if (agreed & (kCodecZstd | kCodecLzma)) return kZstdHistory;
  return agreed & kCodecDeflate ? kDeflateHistory : 0;
}

// Appends to the history and drops what is older than kept, a quarter of
// it at a time.
void KeepHistory(Bytes* history, size_t kept, const uint8_t* bytes, size_t size) {
  if (kept == 0 || size == 0) return;
  if (size >= kept) {
    history->assign(bytes + size - kept, bytes + size);
    return;
  }
  history->insert(history->end(), bytes, bytes + size);
  if (history->size() > kept + kept / 4) history->erase(history->begin(), history->end() - kept);
}

size_t CountPrimed(RunCodec codec, const Bytes& history) {
  return codec == RunCodec::kNone ? 0 : std::min(FindHistorySize(codec), history.size());
}

bool IsAgreed(uint8_t agreed, RunCodec codec) {
  return codec == RunCodec::kNone || (codec == RunCodec::kDeflate && (agreed & kCodecDeflate)) ||
         (codec == RunCodec::kZstd && (agreed & kCodecZstd)) ||
         (codec == RunCodec::kLzma && (agreed & kCodecLzma));
}

#if VELCOT_ZSTD
ZSTD_compressionParameters FindZstdParameters(int level) {
  ZSTD_compressionParameters parameters = ZSTD_getCParams(level, ZSTD_CONTENTSIZE_UNKNOWN, 0);
  parameters.windowLog = std::min(parameters.windowLog, kZstdWindowLogMax);
  return parameters;
}
#endif

#if VELCOT_LZMA
// A step's LZMA2 options, the dictionary cut to 8 MiB.
bool FindLzmaOptions(int step, lzma_options_lzma* options) {
  if (lzma_lzma_preset(options, kLzmaLevels[step])) return false;
  options->dict_size = std::min<uint32_t>(options->dict_size, 8u << 20);
  return true;
}

// The dictionary size of the size byte, as .xz's LZMA2 filter property.
uint32_t FindLzmaDictionary(uint8_t size_byte) {
  return (2u | (size_byte & 1u)) << (size_byte / 2 + 11);
}
#endif

// ---- the sender ----

// Counts the compressor's time since started.
void CountCpu(CodecEncoder* e, double started) {
  double spent = ReadCpuSeconds() - started;
  e->window_cpu += spent;
  e->cpu_seconds += spent;
}

void Emit(CodecEncoder* e, const uint8_t* bytes, size_t size, Bytes* c) {
  c->insert(c->end(), bytes, bytes + size);
  e->c_bytes += size;
  e->window_out += size;
}

void WriteChunk(CodecEncoder* e, const uint8_t* bytes, size_t size, Bytes* c) {
  uint8_t length[kVarintMax];
  Emit(e, length, PutVarint(length, size), c);
  Emit(e, bytes, size, c);
}

// Runs deflate over its input with flush until it has written all it will.
CodecError RunDeflate(CodecEncoder* e, int flush, Bytes* c) {
  uint8_t out[16384];
  int status;
  do {
    e->deflate.next_out = out;
    e->deflate.avail_out = sizeof out;
    status = deflate(&e->deflate, flush);
    if (status == Z_STREAM_ERROR) return CodecError::kCodecFailed;
    Emit(e, out, sizeof out - e->deflate.avail_out, c);
  } while (e->deflate.avail_out == 0);
  return CodecError::kNone;
}

CodecError RunZstd(CodecEncoder* e, const uint8_t* s, size_t size, int mode, Bytes* c) {
#if VELCOT_ZSTD
  uint8_t out[16384];
  ZSTD_inBuffer in = {s, size, 0};
  for (;;) {
    ZSTD_outBuffer buffer = {out, sizeof out, 0};
    size_t left = ZSTD_compressStream2(e->zstd, &buffer, &in, ZSTD_EndDirective(mode));
    if (ZSTD_isError(left)) return CodecError::kCodecFailed;
    Emit(e, out, buffer.pos, c);
    if (mode == ZSTD_e_continue ? in.pos == in.size : left == 0) return CodecError::kNone;
  }
#else
  (void)e, (void)s, (void)size, (void)mode, (void)c;
  return CodecError::kNotAgreed;
#endif
}

// action: LZMA_RUN, LZMA_SYNC_FLUSH or LZMA_FINISH.
CodecError RunLzma(CodecEncoder* e, const uint8_t* s, size_t size, int action, Bytes* c) {
#if VELCOT_LZMA
  uint8_t out[16384];
  lzma_stream* stream = &e->lzma->stream;
  stream->next_in = s;
  stream->avail_in = size;
  for (;;) {
    stream->next_out = out;
    stream->avail_out = sizeof out;
    lzma_ret status = lzma_code(stream, lzma_action(action));
    if (status != LZMA_OK && status != LZMA_STREAM_END) return CodecError::kCodecFailed;
    Emit(e, out, sizeof out - stream->avail_out, c);
    if (action == LZMA_RUN ? stream->avail_in == 0 && stream->avail_out > 0
                           : status == LZMA_STREAM_END)
      return CodecError::kNone;
  }
#else
  (void)e, (void)s, (void)size, (void)action, (void)c;
  return CodecError::kNotAgreed;
#endif
}

// Opens the lzma coder for a run at the encoder's step; *size_byte is the
// dictionary's.
CodecError OpenLzma(CodecEncoder* e, const uint8_t* priming, size_t primed, uint8_t* size_byte) {
#if VELCOT_LZMA
#if VELCOT_ZSTD
  ZSTD_freeCCtx(e->zstd);
  e->zstd = nullptr;
#endif
  if (e->lzma == nullptr) e->lzma = new LzmaCoder;
  e->prefix.assign(priming, priming + primed);
  lzma_options_lzma* options = &e->lzma->options;
  if (!FindLzmaOptions(e->step, options)) return CodecError::kCodecFailed;
  options->preset_dict = primed > 0 ? e->prefix.data() : nullptr;
  options->preset_dict_size = uint32_t(primed);
  lzma_filter filters[] = {{LZMA_FILTER_LZMA2, options}, {LZMA_VLI_UNKNOWN, nullptr}};
  if (lzma_raw_encoder(&e->lzma->stream, filters) != LZMA_OK ||
      lzma_properties_encode(filters, size_byte) != LZMA_OK)
    return CodecError::kCodecFailed;
  return CodecError::kNone;
#else
  (void)e, (void)priming, (void)primed, (void)size_byte;
  return CodecError::kNotAgreed;
#endif
}

CodecError OpenRun(CodecEncoder* e, RunCodec codec, Bytes* c) {
  size_t primed = CountPrimed(codec, e->history);
  const uint8_t* priming = e->history.data() + e->history.size() - primed;
  if (codec == RunCodec::kDeflate) {
    if (e->deflate_ready) deflateEnd(&e->deflate);
    e->deflate = z_stream{};
    e->deflate_ready = deflateInit2(&e->deflate, kDeflateLevels[e->step], Z_DEFLATED, -15, 9,
                                    e->deflate_strategy) == Z_OK;
    if (!e->deflate_ready) return CodecError::kCodecFailed;
    if (primed > 0 && deflateSetDictionary(&e->deflate, priming, uInt(primed)) != Z_OK)
      return CodecError::kCodecFailed;
  } else if (codec == RunCodec::kZstd) {
#if VELCOT_ZSTD
    DropLzma(&e->lzma);
    if (e->zstd == nullptr) e->zstd = ZSTD_createCCtx();
    if (e->zstd == nullptr) return CodecError::kCodecFailed;
    ZSTD_CCtx_reset(e->zstd, ZSTD_reset_session_and_parameters);
    e->prefix.assign(priming, priming + primed);
    int level = kZstdLevels[e->step];
    if (ZSTD_isError(ZSTD_CCtx_setParameter(e->zstd, ZSTD_c_compressionLevel, level)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(e->zstd, ZSTD_c_windowLog,
                                            int(FindZstdParameters(level).windowLog))) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(e->zstd, ZSTD_c_contentSizeFlag, 0)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(e->zstd, ZSTD_c_checksumFlag, 0)) ||
        (primed > 0 && ZSTD_isError(ZSTD_CCtx_refPrefix(e->zstd, e->prefix.data(), primed))))
      return CodecError::kCodecFailed;
#endif
  }
  uint8_t size_byte = 0;
  if (codec == RunCodec::kLzma) {
    CodecError error = OpenLzma(e, priming, primed, &size_byte);
    if (error != CodecError::kNone) return error;
  }
  if (codec == RunCodec::kZstd || codec == RunCodec::kLzma) e->since_reload = 0;
  uint8_t header = uint8_t(uint8_t(codec) | (primed > 0 ? kPrimingHistory << 4 : 0));
  Emit(e, &header, 1, c);
  if (codec == RunCodec::kLzma) Emit(e, &size_byte, 1, c);
  e->run = codec;
  e->run_open = true;
  e->runs++;
  e->window_in = e->window_out = 0;
  e->window_cpu = 0;
  return CodecError::kNone;
}

CodecError EndRun(CodecEncoder* e, Bytes* c) {
  CodecError error = CodecError::kNone;
  if (e->run == RunCodec::kNone) {
    if (!e->chunk.empty()) WriteChunk(e, e->chunk.data(), e->chunk.size(), c);
    e->chunk.clear();
    const uint8_t end = 0;
    Emit(e, &end, 1, c);
  } else if (e->run == RunCodec::kDeflate) {
    e->deflate.avail_in = 0;
    error = RunDeflate(e, Z_FINISH, c);
  } else if (e->run == RunCodec::kLzma) {
    error = RunLzma(e, nullptr, 0, 3 /* LZMA_FINISH */, c);
  } else {
#if VELCOT_ZSTD
    error = RunZstd(e, nullptr, 0, ZSTD_e_end, c);
#endif
  }
  e->run_open = false;
  e->unflushed = false;
  return error;
}

// Gives bytes of S to the open run.
CodecError RunBytes(CodecEncoder* e, const uint8_t* s, size_t size, Bytes* c) {
  KeepHistory(&e->history, FindHistoryKept(e->agreed), s, size);
  e->s_at[int(e->run)][e->run == RunCodec::kNone ? 0 : e->step] += size;
  e->since_reload += size;
  e->unflushed = true;
  if (e->run == RunCodec::kNone) {
    e->none_since_sample += size;
    while (size > 0) {
      if (e->chunk.empty() && size >= kChunkMax) {
        WriteChunk(e, s, kChunkMax, c);
        s += kChunkMax;
        size -= kChunkMax;
        continue;
      }
      size_t take = std::min(size, kChunkMax - e->chunk.size());
      e->chunk.insert(e->chunk.end(), s, s + take);
      s += take;
      size -= take;
      if (e->chunk.size() == kChunkMax) {
        WriteChunk(e, e->chunk.data(), kChunkMax, c);
        e->chunk.clear();
      }
    }
    return CodecError::kNone;
  }
  e->window_in += size;
  double started = ReadCpuSeconds();
  CodecError error;
  if (e->run == RunCodec::kDeflate) {
    e->deflate.next_in = const_cast<uint8_t*>(s);
    e->deflate.avail_in = uInt(size);
    error = RunDeflate(e, Z_NO_FLUSH, c);
  } else if (e->run == RunCodec::kLzma) {
    error = RunLzma(e, s, size, 0 /* LZMA_RUN */, c);
  } else {
    error = RunZstd(e, s, size, 0 /* ZSTD_e_continue */, c);
  }
  CountCpu(e, started);
  return error;
}

// The bytes a sample makes at a codec's step, in a context of its own;
// the sample's size when the codec fails. Deflate tries its strategies and
// keeps the better one for its runs.
size_t PackSample(CodecEncoder* e, RunCodec codec, int step, const Bytes& sample) {
  size_t packed = sample.size();
  if (codec == RunCodec::kDeflate) {
    for (int strategy : {Z_DEFAULT_STRATEGY, Z_FILTERED}) {
      z_stream z{};
      if (deflateInit2(&z, kDeflateLevels[step], Z_DEFLATED, -15, 9, strategy) != Z_OK) continue;
      Bytes out(deflateBound(&z, uLong(sample.size())));
      z.next_in = const_cast<uint8_t*>(sample.data());
      z.avail_in = uInt(sample.size());
      z.next_out = out.data();
      z.avail_out = uInt(out.size());
      if (deflate(&z, Z_FINISH) == Z_STREAM_END && out.size() - z.avail_out < packed) {
        packed = out.size() - z.avail_out;
        e->deflate_strategy = strategy;
      }
      deflateEnd(&z);
    }
  } else if (codec == RunCodec::kZstd) {
#if VELCOT_ZSTD
    Bytes out(ZSTD_compressBound(sample.size()));
    size_t n =
        ZSTD_compress(out.data(), out.size(), sample.data(), sample.size(), kZstdLevels[step]);
    if (!ZSTD_isError(n)) packed = n;
#endif
  } else if (codec == RunCodec::kLzma) {
#if VELCOT_LZMA
    lzma_options_lzma options;
    if (!FindLzmaOptions(step, &options)) return packed;
    // The whole sample fits a dictionary of its own size.
    options.dict_size = uint32_t(std::max<size_t>(sample.size(), LZMA_DICT_SIZE_MIN));
    lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    Bytes out(lzma_stream_buffer_bound(sample.size()));
    size_t n = 0;
    if (lzma_raw_buffer_encode(filters, nullptr, sample.data(), sample.size(), out.data(), &n,
                               out.size()) == LZMA_OK)
      packed = std::min(packed, n + 1);
#endif
  }
  return packed;
}

// Samples every 4 MiB of a none run, or more often where a sample costs
// under 0.1% of the line's time for the input between two: once both the
// line's rate and a sample's cost are known, whichever came last. (A run
// that began before the rate was known would otherwise wait 4 MiB.)
void SpaceSamples(CodecEncoder* e) {
  if (e->sample_cpu <= 0 || e->drain_rate <= 0) return;
  double spacing = 1000 * e->sample_cpu * e->drain_rate;
  e->sample_spacing =
      uint64_t(std::max(double(kLevelWindow), std::min(spacing, double(kSampleEvery))));
}

// Chooses the next run from the sample held back, then gives it the
// sample: the agreed codec that packs it smallest at its strongest step,
// at the step its cost allows; a none run where none saves 10%.
CodecError ChooseRun(CodecEncoder* e, Bytes* c) {
  Bytes sample;
  sample.swap(e->sample);
  e->sampling = false;
  double started = ReadCpuSeconds();
  RunCodec best = RunCodec::kNone;
  size_t best_packed = sample.size();
  double best_cpu = 0;
  for (RunCodec codec : {RunCodec::kDeflate, RunCodec::kZstd, RunCodec::kLzma}) {
    int top = e->steps_of[int(codec)] - 1;
    if (top < 0 || sample.empty()) continue;
    double tried = ReadCpuSeconds();
    size_t packed = PackSample(e, codec, top, sample);
    double cpu = (ReadCpuSeconds() - tried) / double(sample.size());
    if (packed < best_packed) {
      best = codec;
      best_packed = packed;
      best_cpu = cpu;
    }
    // What the cheapest codec cannot shrink by 3% (random data, pictures,
    // archives) the dearer ones hardly shrink either, at many times its
    // cost: a delay at the start of every such run.
    if (packed * 100 > sample.size() * 97) break;
  }
  double spent = ReadCpuSeconds() - started;
  e->cpu_seconds += spent;
  if (sample.size() == kSampleSize) {
    e->sample_cpu = spent;
    SpaceSamples(e);
  }
  CodecError error;
  if (best != RunCodec::kNone && best_packed * 10 <= sample.size() * 9) {
    static const int kStartSteps[] = {0, kDeflateStartStep, kZstdStartStep, kLzmaStartStep};
    int top = e->steps_of[int(best)] - 1;
    double ratio = double(sample.size()) / double(best_packed);
    e->preferred = best;
    e->steps = top + 1;
    int step = ChooseStartStep(top, kStartSteps[int(best)], best_cpu, ratio, e->drain_rate);
    error = SwitchEncoder(e, best, step, c);
  } else {
    error = SwitchEncoder(e, RunCodec::kNone, 0, c);
  }
  if (error == CodecError::kNone) error = RunBytes(e, sample.data(), sample.size(), c);
  // A short sample (a flush came first) chooses again from the next input.
  e->none_since_sample = sample.size() == kSampleSize ? 0 : e->sample_spacing;
  sample.clear();
  e->sample.swap(sample);
  return error;
}

// Writes what the open run holds of the input so far.
CodecError FlushRun(CodecEncoder* e, Bytes* c) {
  if (!e->run_open || !e->unflushed) return CodecError::kNone;
  CodecError error = CodecError::kNone;
  double started = ReadCpuSeconds();
  if (e->run == RunCodec::kNone) {
    if (!e->chunk.empty()) WriteChunk(e, e->chunk.data(), e->chunk.size(), c);
    e->chunk.clear();
  } else if (e->run == RunCodec::kDeflate) {
    e->deflate.avail_in = 0;
    error = RunDeflate(e, Z_SYNC_FLUSH, c);
  } else if (e->run == RunCodec::kLzma) {
    error = RunLzma(e, nullptr, 0, 1 /* LZMA_SYNC_FLUSH */, c);
  } else {
#if VELCOT_ZSTD
    error = RunZstd(e, nullptr, 0, ZSTD_e_flush, c);
#endif
  }
  CountCpu(e, started);
  e->unflushed = false;
  return error;
}

// At the end of a window of input: a none run for data that does not
// shrink, else the ladder's step.
CodecError LookAtLevel(CodecEncoder* e, Bytes* c) {
  // The compressor holds up to a block of input: without a flush the
  // window's output would be that of input before it. A flush per 64 KiB
  // of input costs no measurable ratio.
  CodecError error = FlushRun(e, c);
  if (error != CodecError::kNone) return error;
  double* cpu_at = e->cpu_at[int(e->run)];
  // The stream's ratio so far, not the window's: a stretch that shrinks
  // far more than the rest passes while the line sends what is ready, and
  // each change of level costs a reload of the history.
  LadderInput in = {e->step,
                    e->steps,
                    cpu_at,
                    e->window_cpu / double(e->window_in),
                    double(e->s_bytes) / double(std::max<uint64_t>(e->c_bytes, 1)),
                    e->drain_rate};
  cpu_at[e->step] = in.cpu_per_byte;
  bool shrinks = e->window_out * 100 < e->window_in * 97;
  // A window that shrank more than 64 times (zeros, a disk image's free
  // space) takes the line next to no time, so the compressor's share of it
  // says nothing of the level: it stays.
  bool tiny = e->window_out * 64 < e->window_in;
  e->window_in = e->window_out = 0;
  e->window_cpu = 0;
  int step = !shrinks ? -1 : tiny ? e->step : ChooseLadderStep(in);
  if (step == e->step) return CodecError::kNone;
  if (step < 0) {
    e->none_since_sample = 0;
    return SwitchEncoder(e, RunCodec::kNone, 0, c);
  }
  if (step > e->step && e->run != RunCodec::kDeflate && e->since_reload < kStepUpEvery)
    return CodecError::kNone;
  return SwitchEncoder(e, e->run, step, c);
}

// ---- the receiver ----

CodecError Fail(CodecDecoder* d, CodecError error) {
  d->broken = error;
  return error;
}

CodecError OpenDecoderRun(CodecDecoder* d, uint8_t header) {
  RunCodec codec = RunCodec(header & 0x0F);
  uint8_t priming = header >> 4;
  if ((header & 0x0F) > 3 || priming > kPrimingHistory ||
      (codec == RunCodec::kNone && priming != 0))
    return CodecError::kBadHeader;
  if (!IsAgreed(d->agreed, codec)) return CodecError::kNotAgreed;
  size_t primed = priming == kPrimingHistory ? CountPrimed(codec, d->history) : 0;
  const uint8_t* bytes = d->history.data() + d->history.size() - primed;
  if (codec == RunCodec::kNone) {
    d->state = CodecDecoder::State::kLength;
    d->length = 0;
    d->length_bytes = 0;
  } else if (codec == RunCodec::kDeflate) {
    if (!d->inflate_ready) {
      d->inflate = z_stream{};
      d->inflate_ready = inflateInit2(&d->inflate, -15) == Z_OK;
      if (!d->inflate_ready) return CodecError::kCodecFailed;
    } else if (inflateReset(&d->inflate) != Z_OK) {
      return CodecError::kCodecFailed;
    }
    if (primed > 0 && inflateSetDictionary(&d->inflate, bytes, uInt(primed)) != Z_OK)
      return CodecError::kCodecFailed;
    d->state = CodecDecoder::State::kDeflate;
  } else if (codec == RunCodec::kZstd) {
#if VELCOT_ZSTD
    DropLzma(&d->lzma);
    if (d->zstd == nullptr) {
      d->zstd = ZSTD_createDCtx();
      if (d->zstd == nullptr ||
          ZSTD_isError(ZSTD_DCtx_setParameter(d->zstd, ZSTD_d_windowLogMax, kZstdWindowLogMax)))
        return CodecError::kCodecFailed;
    }
    ZSTD_DCtx_reset(d->zstd, ZSTD_reset_session_only);
    d->prefix.assign(bytes, bytes + primed);
    if (primed > 0 && ZSTD_isError(ZSTD_DCtx_refPrefix(d->zstd, d->prefix.data(), primed)))
      return CodecError::kCodecFailed;
    d->magic_checked = 0;
    d->state = CodecDecoder::State::kZstd;
#endif
  } else {
    d->prefix.assign(bytes, bytes + primed);
    d->state = CodecDecoder::State::kLzmaDictionary;
  }
  return CodecError::kNone;
}

// An lzma run's dictionary size byte: at most 8 MiB, the receiver's bound.
CodecError OpenLzmaDecoder(CodecDecoder* d, uint8_t size_byte) {
#if VELCOT_LZMA
  if (size_byte > kLzmaDictionaryMax) return CodecError::kWindowTooLarge;
#if VELCOT_ZSTD
  ZSTD_freeDCtx(d->zstd);
  d->zstd = nullptr;
#endif
  if (d->lzma == nullptr) d->lzma = new LzmaCoder;
  lzma_options_lzma* options = &d->lzma->options;
  if (lzma_lzma_preset(options, 0)) return CodecError::kCodecFailed;
  options->dict_size = FindLzmaDictionary(size_byte);
  options->preset_dict = d->prefix.empty() ? nullptr : d->prefix.data();
  options->preset_dict_size = uint32_t(d->prefix.size());
  lzma_filter filters[] = {{LZMA_FILTER_LZMA2, options}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_ret status = lzma_raw_decoder(&d->lzma->stream, filters);
  if (status != LZMA_OK) return CodecError::kCodecFailed;
  d->state = CodecDecoder::State::kLzma;
  return CodecError::kNone;
#else
  (void)d, (void)size_byte;
  return CodecError::kNotAgreed;
#endif
}

CodecError LzmaStep(CodecDecoder* d, const uint8_t* c, size_t size, uint8_t* s, size_t space,
                    size_t* took, size_t* got) {
#if VELCOT_LZMA
  lzma_stream* stream = &d->lzma->stream;
  stream->next_in = c;
  stream->avail_in = size;
  stream->next_out = s;
  stream->avail_out = space;
  lzma_ret status = lzma_code(stream, LZMA_RUN);
  *took = size - stream->avail_in;
  *got = space - stream->avail_out;
  if (status == LZMA_STREAM_END) d->state = CodecDecoder::State::kHeader;
  if (status == LZMA_OK || status == LZMA_STREAM_END || status == LZMA_BUF_ERROR)
    return CodecError::kNone;
  return status == LZMA_MEM_ERROR ? CodecError::kCodecFailed : CodecError::kUndecodable;
#else
  (void)d, (void)c, (void)size, (void)s, (void)space, (void)took, (void)got;
  return CodecError::kNotAgreed;
#endif
}

// One step of a compressed run: *took bytes of C, *got bytes of S.
CodecError InflateStep(CodecDecoder* d, const uint8_t* c, size_t size, uint8_t* s, size_t space,
                       size_t* took, size_t* got) {
  size_t in = std::min<size_t>(size, 1u << 30), out = std::min<size_t>(space, 1u << 30);
  d->inflate.next_in = const_cast<uint8_t*>(c);
  d->inflate.avail_in = uInt(in);
  d->inflate.next_out = s;
  d->inflate.avail_out = uInt(out);
  int status = inflate(&d->inflate, Z_NO_FLUSH);
  *took = in - d->inflate.avail_in;
  *got = out - d->inflate.avail_out;
  if (status == Z_STREAM_END) d->state = CodecDecoder::State::kHeader;
  if (status == Z_MEM_ERROR || status == Z_STREAM_ERROR) return CodecError::kCodecFailed;
  if (status == Z_DATA_ERROR || status == Z_NEED_DICT) return CodecError::kUndecodable;
  return CodecError::kNone;
}

CodecError ZstdStep(CodecDecoder* d, const uint8_t* c, size_t size, uint8_t* s, size_t space,
                    size_t* took, size_t* got) {
#if VELCOT_ZSTD
  // Only a frame as the sender writes it: today's format (no skippable or
  // legacy frame), no content size, no checksum, no dictionary. Frames
  // with a content size take another path through zstd, which finds
  // faults elsewhere.
  static const uint8_t kStart[5] = {0x28, 0xB5, 0x2F, 0xFD, 0x00};
  static const uint8_t kMask[5] = {0xFF, 0xFF, 0xFF, 0xFF, 0xE7};
  for (size_t i = d->magic_checked; i < sizeof kStart && i - d->magic_checked < size; i++) {
    if ((c[i - d->magic_checked] & kMask[i]) != kStart[i]) return CodecError::kUndecodable;
  }
  ZSTD_inBuffer in = {c, size, 0};
  ZSTD_outBuffer out = {s, space, 0};
  size_t left = ZSTD_decompressStream(d->zstd, &out, &in);
  *took = in.pos;
  *got = out.pos;
  d->magic_checked += std::min(in.pos, sizeof kStart - d->magic_checked);
  if (ZSTD_isError(left)) {
    ZSTD_ErrorCode code = ZSTD_getErrorCode(left);
    if (code == ZSTD_error_frameParameter_windowTooLarge) return CodecError::kWindowTooLarge;
    return code == ZSTD_error_memory_allocation ? CodecError::kCodecFailed
                                                : CodecError::kUndecodable;
  }
  if (left == 0) d->state = CodecDecoder::State::kHeader;
  return CodecError::kNone;
#else
  (void)d, (void)c, (void)size, (void)s, (void)space, (void)took, (void)got;
  return CodecError::kNotAgreed;
#endif
}

// One byte of a none run's chunk length.
CodecError ReadLengthByte(CodecDecoder* d, uint8_t byte) {
  if (d->length_bytes == 0 && byte == 0x80) return CodecError::kUndecodable;
  d->length = d->length << 7 | (byte & 0x7F);
  d->length_bytes++;
  if (d->length > kChunkMax) return CodecError::kUndecodable;
  if (byte & 0x80) return CodecError::kNone;
  d->state = d->length == 0 ? CodecDecoder::State::kHeader : CodecDecoder::State::kBody;
  d->length_bytes = 0;
  return CodecError::kNone;
}

}  // namespace

uint8_t ListCodecs(bool compression) {
  if (!compression) return 0;
  uint8_t codecs = kCodecDeflate;
#if VELCOT_ZSTD
  codecs |= kCodecZstd;
#endif
#if VELCOT_LZMA
  codecs |= kCodecLzma;
#endif
  return codecs;
}

const char* DescribeCodecError(CodecError error) {
  switch (error) {
    case CodecError::kNone:
      return "no error";
    case CodecError::kNotAgreed:
      return "a run in a codec that was not agreed";
    case CodecError::kBadHeader:
      return "a run header of no known codec or priming";
    case CodecError::kUndecodable:
      return "data that does not decode";
    case CodecError::kWindowTooLarge:
      return "a zstd window or lzma dictionary larger than 8 MiB";
    case CodecError::kTooMuchOutput:
      return "more data than was asked for";
    case CodecError::kTruncated:
      return "it ends inside a run";
    case CodecError::kCodecFailed:
      return "the codec failed (out of memory)";
  }
  return "unknown error";
}

int ChooseLadderStep(const LadderInput& in) {
  if (in.drain_rate <= 0) return in.step;
  double share = in.cpu_per_byte * in.drain_rate * in.ratio;
  if (share > 0.5) {
    for (int step = in.step - 1; step >= 0; step--) {
      double cost =
          in.cpu_at[step] > 0 ? in.cpu_at[step] : in.cpu_per_byte / double(1 << (in.step - step));
      if (cost * in.drain_rate * in.ratio <= 0.5) return step;
    }
    if (in.step > 0) return 0;
    // Compressing costs c x L of the line's time per byte and saves 1 - 1/r.
    return share >= in.ratio - 1 ? -1 : 0;
  }
  if (in.step + 1 < in.steps) {
    double next = in.cpu_at[in.step + 1] > 0 ? in.cpu_at[in.step + 1] : in.cpu_per_byte * 2;
    if (next * in.drain_rate * in.ratio <= 0.25) return in.step + 1;
  }
  return in.step;
}

int ChooseStartStep(int top, int start_step, double c_top, double ratio, double drain_rate) {
  if (drain_rate <= 0 || ratio > 64) return std::min(start_step, top);
  for (int step = top; step > 0; step--) {
    if (c_top / double(1 << (top - step)) * drain_rate * ratio <= 0.5) return step;
  }
  return 0;
}

int CountLzmaSteps(uint64_t memory) {
  int steps = 0;
#if VELCOT_LZMA
  for (int step = 0; step < int(sizeof kLzmaLevels / sizeof kLzmaLevels[0]); step++) {
    lzma_options_lzma options;
    if (!FindLzmaOptions(step, &options)) break;
    lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    uint64_t needs = lzma_raw_encoder_memusage(filters);
    if (needs == UINT64_MAX || (memory > 0 && needs > memory / 8)) break;
    steps++;
  }
#else
  (void)memory;
#endif
  return steps;
}

int CountZstdSteps(uint64_t memory) {
  int steps = 0;
#if VELCOT_ZSTD
  for (int level : kZstdLevels) {
    if (memory > 0 && ZSTD_estimateCStreamSize_usingCParams(FindZstdParameters(level)) > memory / 8)
      break;
    steps++;
  }
#else
  (void)memory;
#endif
  return steps;
}

uint64_t FindPhysicalMemory() {
#ifdef _WIN32
  MEMORYSTATUSEX status;
  status.dwLength = sizeof status;
  return GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : 0;
#else
  long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
  return pages > 0 && page > 0 ? uint64_t(pages) * uint64_t(page) : 0;
#endif
}

void StartEncoder(CodecEncoder* e, uint8_t agreed, uint64_t memory) {
  e->agreed = agreed & ListCodecs(true);
  if (e->agreed & kCodecDeflate)
    e->steps_of[int(RunCodec::kDeflate)] = int(sizeof kDeflateLevels / sizeof kDeflateLevels[0]);
  if (e->agreed & kCodecZstd) e->steps_of[int(RunCodec::kZstd)] = CountZstdSteps(memory);
  if (e->agreed & kCodecLzma) e->steps_of[int(RunCodec::kLzma)] = CountLzmaSteps(memory);
  // Until a sample chooses: the strongest codec, at its start step.
  const int starts[] = {0, kDeflateStartStep, kZstdStartStep, kLzmaStartStep};
  for (int codec = 1; codec < kRunCodecs; codec++) {
    if (e->steps_of[codec] == 0) continue;
    e->preferred = RunCodec(codec);
    e->steps = e->steps_of[codec];
    e->step = std::min(starts[codec], e->steps - 1);
  }
  e->sampling = e->preferred != RunCodec::kNone;
}

void ReportDrainRate(CodecEncoder* e, double bytes_per_second) {
  e->drain_rate = bytes_per_second;
  SpaceSamples(e);
}

CodecError FeedEncoder(CodecEncoder* e, const uint8_t* s, size_t size, Bytes* c) {
  e->s_bytes += size;
  CodecError error = CodecError::kNone;
  while (size > 0 && error == CodecError::kNone) {
    if (e->sampling) {
      size_t take = std::min(size, kSampleSize - e->sample.size());
      e->sample.insert(e->sample.end(), s, s + take);
      s += take;
      size -= take;
      if (e->sample.size() == kSampleSize) error = ChooseRun(e, c);
      continue;
    }
    if (!e->run_open && (error = OpenRun(e, RunCodec::kNone, c)) != CodecError::kNone) break;
    size_t piece = size;
    bool none = e->run == RunCodec::kNone;
    if (none && e->preferred != RunCodec::kNone)
      piece = size_t(std::min<uint64_t>(
          piece, e->sample_spacing - std::min(e->sample_spacing, e->none_since_sample)));
    if (!none) piece = std::min(piece, kLevelWindow - size_t(e->window_in));
    if (piece > 0) error = RunBytes(e, s, piece, c);
    s += piece;
    size -= piece;
    if (error != CodecError::kNone) break;
    if (!none && e->window_in >= kLevelWindow) {
      error = LookAtLevel(e, c);
    } else if (none && e->preferred != RunCodec::kNone &&
               e->none_since_sample >= e->sample_spacing) {
      e->sampling = true;
    }
  }
  return error;
}

CodecError FlushEncoder(CodecEncoder* e, Bytes* c) {
  CodecError error = CodecError::kNone;
  if (e->sampling && !e->sample.empty()) error = ChooseRun(e, c);
  return error != CodecError::kNone ? error : FlushRun(e, c);
}

CodecError SwitchEncoder(CodecEncoder* e, RunCodec codec, int step, Bytes* c) {
  if (!IsAgreed(e->agreed, codec) || (codec != RunCodec::kNone && codec != e->preferred))
    return CodecError::kNotAgreed;
  if (codec != RunCodec::kNone) step = std::max(0, std::min(step, e->steps - 1));
  if (e->run_open && e->run == codec) {
    if (codec == RunCodec::kNone || step == e->step) return CodecError::kNone;
    if (codec == RunCodec::kDeflate) {
      double started = ReadCpuSeconds();
      // Z_BUF_ERROR: the old level's last block wants more room first.
      int status = Z_BUF_ERROR;
      for (int tries = 0; status == Z_BUF_ERROR && tries < 64; tries++) {
        uint8_t out[16384];
        e->deflate.avail_in = 0;
        e->deflate.next_out = out;
        e->deflate.avail_out = sizeof out;
        status = deflateParams(&e->deflate, kDeflateLevels[step], Z_DEFAULT_STRATEGY);
        Emit(e, out, sizeof out - e->deflate.avail_out, c);
      }
      CountCpu(e, started);
      if (status != Z_OK) return CodecError::kCodecFailed;
      e->step = step;
      return CodecError::kNone;
    }
  }
  if (e->run_open) {
    double started = ReadCpuSeconds();
    CodecError error = EndRun(e, c);
    CountCpu(e, started);
    if (error != CodecError::kNone) return error;
  }
  if (codec != RunCodec::kNone) e->step = step;
  return OpenRun(e, codec, c);
}

CodecError EndEncoder(CodecEncoder* e, Bytes* c) {
  CodecError error = CodecError::kNone;
  if (e->sampling && !e->sample.empty()) error = ChooseRun(e, c);
  if (error == CodecError::kNone && e->run_open) {
    double started = ReadCpuSeconds();
    error = EndRun(e, c);
    CountCpu(e, started);
  }
  FreeEncoder(e);
  return error;
}

void FreeEncoder(CodecEncoder* e) {
  if (e->deflate_ready) deflateEnd(&e->deflate);
  e->deflate_ready = false;
#if VELCOT_ZSTD
  ZSTD_freeCCtx(e->zstd);
#endif
  e->zstd = nullptr;
  DropLzma(&e->lzma);
  e->run_open = false;
  for (Bytes* bytes : {&e->history, &e->prefix, &e->chunk, &e->sample})
    Bytes().swap(*bytes);
}

void StartDecoder(CodecDecoder* d, uint8_t agreed) {
  d->agreed = agreed & ListCodecs(true);
}

CodecError FeedDecoder(CodecDecoder* d, const uint8_t* c, size_t size, size_t* used, uint8_t* s,
                       size_t room, size_t* made) {
  *used = *made = 0;
  if (d->broken != CodecError::kNone) return d->broken;
  for (;;) {
    // The room this step may fill: the caller's, or one byte past its limit.
    size_t space = room - *made;
    uint64_t allowed = d->s_limit - d->s_bytes;
    if (allowed < space) space = size_t(allowed) + 1;
    const uint8_t* in = c + *used;
    size_t left = size - *used;
    uint8_t* out = s + *made;
    size_t took = 0, got = 0;
    CodecError error = CodecError::kNone;
    switch (d->state) {
      case CodecDecoder::State::kHeader:
      case CodecDecoder::State::kLength:
      case CodecDecoder::State::kLzmaDictionary:
        if (left == 0) return CodecError::kNone;
        took = 1;
        error = d->state == CodecDecoder::State::kHeader   ? OpenDecoderRun(d, in[0])
                : d->state == CodecDecoder::State::kLength ? ReadLengthByte(d, in[0])
                                                           : OpenLzmaDecoder(d, in[0]);
        break;
      case CodecDecoder::State::kBody:
        got = took = std::min({size_t(d->length), left, space});
        if (got == 0) return CodecError::kNone;
        memcpy(out, in, got);
        d->length -= uint32_t(got);
        if (d->length == 0) d->state = CodecDecoder::State::kLength;
        break;
      case CodecDecoder::State::kDeflate:
      case CodecDecoder::State::kZstd:
      case CodecDecoder::State::kLzma:
        if (space == 0) return CodecError::kNone;
        error = d->state == CodecDecoder::State::kDeflate
                    ? InflateStep(d, in, left, out, space, &took, &got)
                : d->state == CodecDecoder::State::kZstd
                    ? ZstdStep(d, in, left, out, space, &took, &got)
                    : LzmaStep(d, in, left, out, space, &took, &got);
        if (error == CodecError::kNone && took == 0 && got == 0) return CodecError::kNone;
        break;
    }
    *used += took;
    *made += got;
    d->c_bytes += took;
    d->s_bytes += got;
    KeepHistory(&d->history, FindHistoryKept(d->agreed), out, got);
    if (error == CodecError::kNone && d->s_bytes > d->s_limit) error = CodecError::kTooMuchOutput;
    if (error != CodecError::kNone) return Fail(d, error);
  }
}

CodecError EndDecoder(CodecDecoder* d) {
  CodecError error = d->broken;
  if (error == CodecError::kNone && d->state != CodecDecoder::State::kHeader)
    error = CodecError::kTruncated;
  FreeDecoder(d);
  return error;
}

void FreeDecoder(CodecDecoder* d) {
  if (d->inflate_ready) inflateEnd(&d->inflate);
  d->inflate_ready = false;
#if VELCOT_ZSTD
  ZSTD_freeDCtx(d->zstd);
#endif
  d->zstd = nullptr;
  DropLzma(&d->lzma);
  Bytes().swap(d->history);
  Bytes().swap(d->prefix);
}
