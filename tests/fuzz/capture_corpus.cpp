// Writes the fuzz targets' seed inputs. The sender's and the receiver's
// inputs are captured from real exchanges: SendFile and RecvFile run in
// two threads, joined by a relay that records both directions and can add
// noise or damage a byte on the way.
//
// Each scenario runs twice: in the classic exchange (forced) for recv and
// send, and in the streaming one for stream_recv and stream_send, whose
// seeds start after the agreement (the targets play that part).
//
// The decoder's seeds are streams the sender's encoder writes, and a few
// written by hand.
//
//   capture_corpus FOLDER     writes FOLDER/{recv,send,stream_recv,stream_send,codec_recv,args,
//                             name}/*
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_util.h"
#include "protocols/velcot/codec.h"
#include "run/transfer.h"

namespace fs = std::filesystem;

namespace {

struct Scenario {
  const char* name;
  std::vector<std::pair<std::string, std::string>> files;  // sent in order: name, content
  std::string noise;         // on the line before the sender's first byte
  std::string reply_noise;   // on the line before the receiver's first byte
  long damaged = -1;         // offset of a sender byte damaged on the way
  std::string blocking_dir;  // a folder the receiver has under a file's name
  bool for_sender = false;   // also a seed of the sender's target
  uint8_t header[SEND_HEADER_SIZE] = {};
};

struct Capture {
  std::string to_receiver;
  std::string to_sender;
};

// The driver's send mode: files in order, back to back in a session where
// the receiver agrees, until one ends the run.
void RunSender(PortHandle port, const std::vector<std::string>* paths, RunSettings settings) {
  SendRun run;
  for (const std::string& path : *paths)
    run.pending.push_back({path.c_str(), false, nullptr});
  while (!run.pending.empty()) {
    TransferResult result = SendFiles(port, &run, settings);
    if (result == TransferResult::kDeclined || result == TransferResult::kPortLost) break;
  }
  CloseComPort(port);
}

// The driver's receive mode.
void RunReceiver(PortHandle port, RunSettings settings) {
  SeenOpening opened = SeenOpening::kNone;
  for (;;) {
    TransferResult result = RecvFile(port, settings, &opened);
    if (result != TransferResult::kDone && result != TransferResult::kNotStored) break;
  }
  CloseComPort(port);
}

bool Forward(int from, int to, std::string* record, const std::string& noise, long damaged) {
  char buffer[4096];
  ssize_t n = read(from, buffer, sizeof buffer);
  if (n <= 0) {
    shutdown(to, SHUT_WR);
    return false;
  }
  std::string bytes(buffer, size_t(n));
  if (record->empty()) bytes = noise + bytes;
  size_t sent_before = record->size() - (record->empty() ? 0 : noise.size());
  if (damaged >= 0 && size_t(damaged) >= sent_before && size_t(damaged) < sent_before + size_t(n)) {
    bytes[(record->empty() ? noise.size() : 0) + size_t(damaged) - sent_before] ^= 0x20;
  }
  record->append(bytes);
  return write(to, bytes.data(), bytes.size()) == ssize_t(bytes.size());
}

// Copies between the sender's and the receiver's links until both ends
// have closed, recording each direction as the other end got it.
void RunRelay(int sender, int receiver, const Scenario& scenario, Capture* capture) {
  bool sender_open = true, receiver_open = true;
  while (sender_open || receiver_open) {
    pollfd wait[2] = {{sender_open ? sender : -1, POLLIN, 0},
                      {receiver_open ? receiver : -1, POLLIN, 0}};
    if (poll(wait, 2, -1) < 0) continue;
    if (wait[0].revents != 0) {
      sender_open =
          Forward(sender, receiver, &capture->to_receiver, scenario.noise, scenario.damaged);
    }
    if (wait[1].revents != 0) {
      receiver_open = Forward(receiver, sender, &capture->to_sender, scenario.reply_noise, -1);
    }
  }
}

// With the waits of a fast line, in the classic exchange alone if asked.
Capture RunScenario(const Scenario& scenario, bool classic) {
  const RunSettings settings = {{kNoStallLimit, 20, 200}, classic};
  EmptyFolder(".");
  fs::create_directory("out");
  std::vector<std::string> paths;
  for (const auto& [name, content] : scenario.files) {
    paths.push_back("out/" + name);
    FUZZ_REQUIRE(WriteWholeFile(paths.back(), content));
  }
  if (!scenario.blocking_dir.empty()) fs::create_directory(scenario.blocking_dir);
  int a[2], b[2];
  FUZZ_REQUIRE(socketpair(AF_UNIX, SOCK_STREAM, 0, a) == 0);
  FUZZ_REQUIRE(socketpair(AF_UNIX, SOCK_STREAM, 0, b) == 0);
  Capture capture;
  std::thread sender(RunSender, AdoptPortDescriptor(a[0]), &paths, settings);
  std::thread receiver(RunReceiver, AdoptPortDescriptor(b[0]), settings);
  RunRelay(a[1], b[1], scenario, &capture);
  sender.join();
  receiver.join();
  close(a[1]);
  close(b[1]);
  return capture;
}

std::string Pattern(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; i++)
    bytes[i] = char((i * 7 + seed * 13 + i / 100) & 0xFF);
  return bytes;
}

// A scenario whose one file is the sender target's file for this header.
Scenario ForSender(const char* name, uint16_t size, uint8_t seed) {
  Scenario scenario;
  scenario.name = name;
  scenario.for_sender = true;
  scenario.header[0] = uint8_t(size >> 8);
  scenario.header[1] = uint8_t(size & 0xFF);
  scenario.header[2] = seed;
  scenario.files = {{SEND_PATH, MakeSendContent(scenario.header)}};
  return scenario;
}

Scenario ForReceiver(const char* name, std::vector<std::pair<std::string, std::string>> files) {
  Scenario scenario;
  scenario.name = name;
  scenario.files = std::move(files);
  return scenario;
}

std::vector<Scenario> MakeScenarios() {
  const long first_block = 1 + kNameFieldSize + 4;  // START, name field, size field
  std::vector<Scenario> scenarios;
  scenarios.push_back(ForSender("small", 100, 1));
  scenarios.push_back(ForSender("empty", 0, 0));
  scenarios.push_back(ForSender("one-block", 1024, 2));
  scenarios.push_back(ForSender("three-blocks", 2100, 3));
  Scenario damaged_block = ForSender("damaged-block", 2100, 4);
  damaged_block.damaged = first_block + kBlockSize + 2 + 100;
  scenarios.push_back(damaged_block);
  Scenario damaged_checksum = ForSender("damaged-checksum", 1500, 5);
  damaged_checksum.damaged = first_block + kBlockSize + 1;
  scenarios.push_back(damaged_checksum);
  Scenario noise = ForSender("noise", 300, 6);
  noise.noise = std::string("AT\r\x00\xFF\x33\xCC", 7);
  noise.reply_noise = std::string("\x99\xCC\x00", 3);
  scenarios.push_back(noise);
  Scenario folder = ForSender("declined-folder", 50, 7);
  folder.blocking_dir = "velcot-s.bin";
  scenarios.push_back(folder);

  scenarios.push_back(
      ForReceiver("two-files", {{"report.txt", Pattern(2500, 8)}, {"notes.md", "hi\n"}}));
  scenarios.push_back(ForReceiver("long-names", {{"verylongname1.txt", Pattern(40, 9)},
                                                 {"verylongname2.txt", Pattern(30, 10)},
                                                 {"abcdefgh.txt", Pattern(12, 11)}}));
  // Full blocks only: the START of the next file comes in the watch after it.
  scenarios.push_back(ForReceiver("full-blocks", {{"a.bin", Pattern(2048, 15)}, {"b.txt", "b"}}));
  scenarios.push_back(ForReceiver("windows-device", {{"notes.txt", "a"}, {"nul.txt", "b"}}));
  scenarios.push_back(ForReceiver("control-byte", {{"bell\a.txt", "ring"}}));
  scenarios.push_back(ForReceiver("dot-name", {{"..x", ""}, {".profile", Pattern(5, 12)}}));
  // The names of what the receiver's target has in its folder.
  scenarios.push_back(ForReceiver(
      "furnished-names", {{"old.txt", "new"}, {"link.txt", Pattern(20, 14)}, {"dir", "x"}}));
  Scenario damaged_name = ForReceiver("damaged-name", {{"name.bin", Pattern(1100, 13)}});
  damaged_name.damaged = 1;  // stored as Name.bin
  scenarios.push_back(damaged_name);
  return scenarios;
}

void WriteSeed(const fs::path& folder, const std::string& name, const std::string& bytes) {
  fs::create_directories(folder);
  FUZZ_REQUIRE(WriteWholeFile((folder / name).string(), bytes));
}

// Command lines from the help text and the parser's rules, NUL-separated.
void WriteArgumentSeeds(const fs::path& folder) {
  const std::vector<std::pair<const char*, std::string>> seeds = {
      {"send", std::string("-p\0COM2\0-b\0115200\0-m\07E2\0report.txt\0notes.md", 41)},
      {"help", std::string("a.txt\0-?\0-p", 11)},
      {"hex-baudrate", std::string("-b\0 0x1C200\0-m\08n1", 19)},
      {"octal-negative", std::string("-b\0-0377\0-b\0+4294967296\0-b\0-1", 30)},
      {"missing", std::string("-m\0-p\0-b", 8)},
      {"port-called-h", std::string("-p\0-h\0-b\0--5\0-m\0", 16)},
  };
  for (const auto& [name, bytes] : seeds)
    WriteSeed(folder, name, bytes);
}

// Paths and received names, from the 8.3 rules and the unsafe names.
void WriteNameSeeds(const fs::path& folder) {
  const std::vector<std::pair<const char*, std::string>> seeds = {
      {"plain", "readme.txt"},       {"long", "verylongname.txt"},
      {"full", "abcdefgh.txt"},      {"two-dots", "archive.tar.gz"},
      {"leading-dot", ".profile"},   {"drive", "C:\\data\\report.txt"},
      {"parent", "..\\up.txt"},      {"posix-dirs", "/tmp/dir/x.html"},
      {"device", "con .txt"},        {"superscript", "COM\xC2\xB9.log"},
      {"latin1", "\xE4\x1b[2J.txt"},
  };
  for (const auto& [name, bytes] : seeds)
    WriteSeed(folder, name, bytes);
}

// What the sender's encoder makes of noise, the noise's end again and
// text, flushed after every flush_every bytes: none runs, then a primed run.
std::string EncodeSeed(uint8_t agreed, size_t flush_every) {
  std::string s;
  for (uint32_t state = 16; s.size() < 3000; state = state * 1103515245u + 12345u)
    s += char(state >> 23);
  s += s.substr(2000);
  for (int i = 0; s.size() < 5800; i++)
    s += "line " + std::to_string(i * 37 % 1000) + ": temperature " + std::to_string(i % 7) + "\n";
  CodecEncoder encoder;
  StartEncoder(&encoder, agreed, 1ull << 32);
  std::vector<uint8_t> c;
  for (size_t at = 0; at < s.size(); at += flush_every) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(s.data()) + at;
    FUZZ_REQUIRE(FeedEncoder(&encoder, bytes, std::min(flush_every, s.size() - at), &c) ==
                     CodecError::kNone &&
                 FlushEncoder(&encoder, &c) == CodecError::kNone);
  }
  FUZZ_REQUIRE(EndEncoder(&encoder, &c) == CodecError::kNone);
  return std::string(c.begin(), c.end());
}

// Two bytes choose the codecs agreed (bit 0 deflate, bit 1 zstd) and the
// pieces, the limit and the room; the stream follows.
void WriteCodecSeeds(const fs::path& folder) {
  const std::vector<std::pair<const char*, std::string>> seeds = {
      {"deflate", "\x05\x4A" + EncodeSeed(kCodecDeflate, 6000)},
      {"deflate-primed", "\x0D\xFA" + EncodeSeed(kCodecDeflate, 1000)},
      {"zstd", "\x13\x5A" + EncodeSeed(kCodecZstd, 6000)},
      {"zstd-primed", "\x1B\x8A" + EncodeSeed(kCodecZstd, 1000)},
      {"zstd-window-16m",
       std::string("\x27\x6A\x02\x28\xB5\x2F\xFD\x00\x70\x09\x00\x00x\x00\x00", 15)},
      {"bad-headers", std::string("\x03\x11\x00\x84\x80\x01\x21\x10\x03", 9)},
  };
  for (const auto& [name, bytes] : seeds)
    WriteSeed(folder, name, bytes);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  fs::path out = fs::absolute(argv[1]);
  FUZZ_REQUIRE(freopen("/dev/null", "w", stdout) != nullptr);  // progress lines
  int saved = EnterWorkFolder();
  for (const Scenario& scenario : MakeScenarios()) {
    std::string header(reinterpret_cast<const char*>(scenario.header), SEND_HEADER_SIZE);
    Capture capture = RunScenario(scenario, true);
    WriteSeed(out / "recv", scenario.name, capture.to_receiver);
    if (scenario.for_sender) WriteSeed(out / "send", scenario.name, header + capture.to_sender);
    if (scenario.damaged >= 0) continue;  // an offset into the classic exchange
    capture = RunScenario(scenario, false);
    std::string agreed = FUZZ_OPENING + FUZZ_STREAM_FIELD;
    size_t opened = capture.to_receiver.find(agreed);
    size_t answered = capture.to_sender.find(FUZZ_READY_STREAM);
    if (opened == std::string::npos || answered == std::string::npos) continue;
    WriteSeed(out / "stream_recv", scenario.name,
              capture.to_receiver.substr(opened + agreed.size()));
    if (scenario.for_sender) {
      WriteSeed(out / "stream_send", scenario.name,
                header + capture.to_sender.substr(answered + 1));
    }
  }
  EmptyFolder(".");
  LeaveWorkFolder(saved);
  WriteArgumentSeeds(out / "args");
  WriteNameSeeds(out / "name");
  WriteCodecSeeds(out / "codec_recv");
  return 0;
}
