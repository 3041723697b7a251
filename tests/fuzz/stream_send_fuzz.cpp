// Plays an arbitrary streaming receiver against the sender: after a header
// that chooses the file, the receiver answers READY_STREAM and then the
// input (an ACCEPT that may open a session, states, answers), and the line
// hangs up when it runs out.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_util.h"
#include "protocols/velcot/codec.h"
#include "protocols/velcot/records.h"
#include "run/transfer.h"

namespace {

// C, decoded as far as it goes, holds the file's bytes from its ORIGIN (0
// without one) in DATA records, then at most END with its whole-file check
// and QUIT.
bool IsFileInStream(const std::string& c, const std::string& content) {
  CodecDecoder decoder;
  StartDecoder(&decoder, kCodecs);
  RecordReader reader;
  StartRecords(&reader, content.size());
  std::string data, ends;
  uint64_t origin = 0;
  std::vector<uint8_t> s(65536);
  bool right = true;
  for (size_t at = 0; right;) {
    size_t used = 0, made = 0;
    CodecError error = FeedDecoder(&decoder, reinterpret_cast<const uint8_t*>(c.data()) + at,
                                   c.size() - at, &used, s.data(), s.size(), &made);
    at += used;
    right = error == CodecError::kNone;
    for (size_t took = 0; took < made && right;) {
      size_t read = 0;
      Record record;
      RecordEvent event = ReadRecord(&reader, s.data() + took, made - took, &read, &record);
      took += read;
      if (event == RecordEvent::kData)
        data.append(reinterpret_cast<const char*>(record.data), record.length);
      if (event == RecordEvent::kOrigin) origin = record.offset;
      if (event == RecordEvent::kEnd) right = record.crc == Crc32(content);
      if (event == RecordEvent::kEnd || event == RecordEvent::kQuit) ends += char(event);
      right = right && event != RecordEvent::kBroken && event != RecordEvent::kFile &&
              event != RecordEvent::kCancel;
    }
    if (used == 0 && made == 0) break;
  }
  FreeDecoder(&decoder);
  return right && origin <= content.size() &&
         content.compare(size_t(origin), data.size(), data) == 0 && ends.size() <= 2;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < SEND_HEADER_SIZE) return 0;
  int saved = EnterWorkFolder();
  std::string content = MakeSendContent(data);
  FUZZ_REQUIRE(WriteWholeFile(SEND_PATH, content));
  std::string answers(1, FUZZ_READY_STREAM);
  answers.append(reinterpret_cast<const char*>(data) + SEND_HEADER_SIZE, size - SEND_HEADER_SIZE);

  // The receiver answers once the sender has opened: what is on the line
  // before the first START is dropped.
  Peer peer;
  StartPeer(reinterpret_cast<const uint8_t*>(answers.data()), answers.size(), &peer, {{0, 1}});
  TransferResult result = SendFile(peer.port, SEND_PATH, RunSettings{{kNoStallLimit, 0, 0}});
  FinishPeer(&peer);

  // The opening, the field, then frames alone; every byte of data it sends
  // is the file's at that offset, and every END proves the whole file. In
  // a session every segment carries the same C bytes at an offset as every
  // other, and C, decoded as far as it is whole, holds the file's records.
  std::string opening = FUZZ_OPENING + FUZZ_STREAM_FIELD;
  FUZZ_REQUIRE_EQ(peer.heard.substr(0, opening.size()), opening,
                  ShowDifference(peer.heard, opening));
  std::vector<WireFrame> frames = ParseFrames(peer.heard.substr(opening.size()));
  FUZZ_REQUIRE(!frames.empty() && frames[0].type == 'F');
  FUZZ_REQUIRE(frames[0].payload.substr(20) == SEND_PATH);
  FUZZ_REQUIRE_EQ(ToUint(frames[0].payload, 0, 8), uint64_t(content.size()), frames[0].payload);
  std::string c;
  std::vector<bool> have;
  for (const WireFrame& frame : frames) {
    if (frame.type == 'D') {
      uint64_t offset = ToUint(frame.payload, 0, 8);
      FUZZ_REQUIRE(offset + frame.payload.size() - 8 <= content.size());
      FUZZ_REQUIRE(frame.payload.substr(8) ==
                   content.substr(size_t(offset), frame.payload.size() - 8));
    } else if (frame.type == 'E') {
      FUZZ_REQUIRE(frame.payload == FromUint(content.size(), 8) + FromUint(Crc32(content), 4));
    } else if (frame.type == 'd') {
      size_t offset = size_t(ToUint(frame.payload, 0, 4));
      std::string bytes = frame.payload.substr(4);
      if (c.size() < offset + bytes.size()) {
        c.resize(offset + bytes.size());
        have.resize(offset + bytes.size());
      }
      for (size_t i = 0; i < bytes.size(); i++) {
        FUZZ_REQUIRE(!have[offset + i] || c[offset + i] == bytes[i]);
        have[offset + i] = true;
        c[offset + i] = bytes[i];
      }
    } else {
      FUZZ_REQUIRE(std::string("FBw").find(char(frame.type)) != std::string::npos);
    }
  }
  size_t whole = size_t(std::find(have.begin(), have.end(), false) - have.begin());
  FUZZ_REQUIRE(IsFileInStream(c.substr(0, whole), content));
  // Success only on the receiver's word that the whole file is stored.
  if (result == TransferResult::kDone) {
    std::string proof = FromUint(content.size(), 8) + FromUint(Crc32(content), 4);
    bool proved = false;
    for (const WireFrame& answer : ParseFrames(answers.substr(1))) {
      proved = proved || (answer.type == 'S' && answer.payload == proof);
      proved = proved || (answer.type == 's' && answer.sequence == 0 && answer.payload == proof);
    }
    FUZZ_REQUIRE(proved);
    FUZZ_REQUIRE(frames.back().type == 'B');
  }
  FUZZ_REQUIRE(ListDirectory(".") == std::vector<std::string>{SEND_PATH});
  FUZZ_REQUIRE(ReadWholeFile(SEND_PATH) == content);
  EmptyFolder(".");
  LeaveWorkFolder(saved);
  return 0;
}
