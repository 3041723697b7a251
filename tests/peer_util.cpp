#include "peer_util.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "run/transfer.h"
#include "wire_util.h"

Link OpenLink() {
  signal(SIGPIPE, SIG_IGN);  // a peer that hangs up must not kill the test
  int fds[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  return {AdoptPortDescriptor(fds[0]), fds[1]};
}

TransferResult SendFile(PortHandle port, const char* path, uint32_t stall_limit_ms,
                        uint32_t give_up_ms, bool classic) {
  RunSettings settings = {{stall_limit_ms, kOpeningQuietMs, kWatchMs}, classic};
  return SendFile(port, path, settings, give_up_ms);
}

TransferResult ReceiveFile(PortHandle port, uint32_t stall_limit_ms, SeenOpening* opened,
                           bool classic) {
  SeenOpening none = SeenOpening::kNone;
  RunSettings settings = {{stall_limit_ms, kOpeningQuietMs, kWatchMs}, classic};
  TransferResult result = RecvFile(port, settings, opened != nullptr ? opened : &none);
  WaitForByte(port, 0);
  return result;
}

std::ostream& operator<<(std::ostream& out, TransferResult result) {
  return out << "result " << int(result);
}

void CloseLink(const Link& link) {
  CloseComPort(link.ours);
  if (link.theirs >= 0) close(link.theirs);
}

Bytes ReadExact(int fd, size_t n) {
  Bytes bytes(n);
  for (size_t got = 0; got < n;) {
    pollfd wait = {fd, POLLIN, 0};
    if (poll(&wait, 1, 20000) != 1) {
      ADD_FAILURE() << "peer read timed out after " << got << " of " << n << " bytes";
      return Bytes(got);
    }
    ssize_t r = read(fd, bytes.data() + got, n - got);
    if (r <= 0) return Bytes(bytes.begin(), bytes.begin() + got);
    got += size_t(r);
  }
  return bytes;
}

void WriteAll(int fd, const Bytes& bytes) {
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
}

size_t CountPending(int fd) {
  size_t count = 0;
  pollfd wait = {fd, POLLIN, 0};
  uint8_t byte;
  while (poll(&wait, 1, 0) == 1 && read(fd, &byte, 1) == 1)
    count++;
  return count;
}

Bytes Word(uint16_t value) {
  return {uint8_t(value >> 8), uint8_t(value)};
}

uint16_t ToWord(const Bytes& bytes) {
  return uint16_t(bytes[0] << 8 | bytes[1]);
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes SizeField(uint32_t size) {
  return {uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8), uint8_t(size)};
}

const Bytes kOpening = {0x16, 'V', 'C', 'T', kStart};

const Bytes kPeerStreamField = {0, 'V', 'E', 'L', 'C', 'O', 'T', 1, 0, 0, 0, 0};

uint32_t Crc32(const Bytes& bytes) {
  return Crc32(std::string(bytes.begin(), bytes.end()));
}

Bytes BigEndian(uint64_t value, int bytes) {
  Bytes out(size_t(bytes), 0);
  for (int i = bytes - 1; i >= 0; i--, value >>= 8)
    out[size_t(i)] = uint8_t(value);
  return out;
}

uint64_t FromBigEndian(const Bytes& bytes, size_t at, int count) {
  uint64_t value = 0;
  for (int i = 0; i < count; i++)
    value = value << 8 | bytes.at(at + size_t(i));
  return value;
}

Bytes EncodeFrame(uint8_t type, uint8_t sequence, const Bytes& payload) {
  std::string frame =
      EncodeStreamFrame(type, sequence, std::string(payload.begin(), payload.end()));
  return Bytes(frame.begin(), frame.end());
}

bool operator==(const PeerFrame& a, const PeerFrame& b) {
  return a.type == b.type && a.sequence == b.sequence && a.payload == b.payload;
}

std::ostream& operator<<(std::ostream& out, const PeerFrame& frame) {
  out << char(frame.type) << int(frame.sequence) << ":";
  for (uint8_t byte : frame.payload)
    out << ' ' << int(byte);
  return out;
}

PeerFrame ReadPeerFrame(int fd) {
  PeerFrame frame;
  Bytes header = ReadExact(fd, 8);
  if (header.size() < 8) return frame;
  EXPECT_EQ(header[0], 0xF3);
  EXPECT_EQ(header[1], 0x5C);
  Bytes checked(header.begin() + 2, header.begin() + 6);
  EXPECT_EQ(FromBigEndian(header, 6, 2), Crc32(checked) & 0xFFFF);
  frame.type = header[2];
  frame.sequence = header[3];
  frame.payload = ReadExact(fd, size_t(FromBigEndian(header, 4, 2)));
  Bytes trailer = ReadExact(fd, 4);
  EXPECT_EQ(FromBigEndian(trailer, 0, 4), Crc32(Concat(checked, frame.payload)));
  return frame;
}

std::vector<Step> Join(std::vector<std::vector<Step>> parts) {
  std::vector<Step> all;
  for (const auto& part : parts)
    all.insert(all.end(), part.begin(), part.end());
  return all;
}

bool AwaitBytes(int fd, const std::string& want) {
  std::string got;
  while (got.size() < want.size() || got.compare(got.size() - want.size(), want.size(), want)) {
    Bytes byte = ReadExact(fd, 1);
    if (byte.empty()) return false;
    got += char(byte[0]);
  }
  return true;
}

Played PlayAgainst(const std::function<TransferResult(PortHandle)>& transfer,
                   const std::function<void(int fd, const std::atomic<bool>& done)>& peer) {
  Link link = OpenLink();
  std::atomic<bool> done(false);
  Played played;
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  std::thread under_test([&] {
    played.result = transfer(link.ours);
    done = true;
  });
  peer(link.theirs, done);
  under_test.join();
  testing::internal::GetCapturedStdout();
  played.said = testing::internal::GetCapturedStderr();
  CloseLink(link);
  return played;
}
