// What the fuzz targets share: a start-up that sends the standard output
// nowhere, checks that stop the run, a scripted peer on a socketpair, a
// scratch folder, and the file the sender target sends.
#ifndef VELCOT_TESTS_FUZZ_UTIL_H
#define VELCOT_TESTS_FUZZ_UTIL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "../file_util.h"
#include "ports/commdev.h"

// A broken invariant: says which and aborts, which libFuzzer records as a
// crash with its input.
#define FUZZ_REQUIRE(condition)                                           \
  do {                                                                    \
    if (!(condition)) FailCheck(#condition, __FILE__, __LINE__, nullptr); \
  } while (0)
#define FUZZ_REQUIRE_EQ(actual, expected, shown)                                \
  do {                                                                          \
    if (!((actual) == (expected)))                                              \
      FailCheck(#actual " == " #expected, __FILE__, __LINE__, (shown).c_str()); \
  } while (0)

[[noreturn]] void FailCheck(const char* condition, const char* file, int line, const char* detail);

// Where two byte strings part, with some bytes of each from there in hex,
// for failure messages.
std::string ShowDifference(const std::string& actual, const std::string& expected);

// A point in the script where the peer stops writing until the end under
// test has written heard bytes in all (SIZE_MAX: until it closes its end),
// as a sender waits for READY after START.
struct Pause {
  size_t after;  // bytes of the script written by then
  size_t heard;
};

// The other end of a link: a thread writes the script into it, stopping at
// each pause, then shuts its sending side, and keeps reading what the port
// under test writes until that end is closed, so neither side ever blocks
// on the other.
struct Peer {
  PortHandle port = kInvalidPortHandle;  // the end under test, blocking
  int theirs = -1;
  std::string script;
  std::vector<Pause> pauses;  // in script order
  std::string heard;          // complete once FinishPeer has returned
  std::thread thread;
};

// Starts the peer with the script; aborts when no link can be made.
void StartPeer(const uint8_t* script, size_t size, Peer* peer,
               const std::vector<Pause>& pauses = {});

// Closes the end under test and waits for the peer to finish.
void FinishPeer(Peer* peer);

// A fresh folder for one process, made on first use under $TMPDIR (or
// /tmp), with an empty "work" folder inside; removed when the process exits.
const std::string& FindScratchRoot();

// Runs inside the work folder: saves the current directory and enters the
// work folder, which must be empty. Returns the fd that LeaveWorkFolder
// goes back to. libFuzzer itself keeps using its own working directory.
int EnterWorkFolder();
void LeaveWorkFolder(int saved);

// Removes everything inside a folder.
void EmptyFolder(const std::string& path);

// Wire integers, most significant byte first.
uint16_t ToWord(const uint8_t* bytes);
uint32_t ToDword(const uint8_t* bytes);
std::string FromWord(uint16_t value);
std::string FromDword(uint32_t value);

// ---- the streaming exchange, written apart from the program's code ----

// What a velcot sender writes before READY, the field it writes after
// READY_STREAM (0xC5), and the environment variable that forces the
// classic exchange.
#define FUZZ_OPENING std::string("\x16VCT\x99", 5)
#define FUZZ_STREAM_FIELD std::string("\0VELCOT\x01\0\0\0\0", 12)
#define FUZZ_READY_STREAM '\xC5'

uint32_t Crc32(const std::string& bytes);

struct WireFrame {
  uint8_t type;
  uint8_t sequence;
  std::string payload;
};

std::string EncodeFrame(uint8_t type, uint8_t sequence, const std::string& payload);

// Every frame in bytes that passes both its checks, in order; garbage
// between them skipped.
std::vector<WireFrame> ParseFrames(const std::string& bytes);

uint64_t ToUint(const std::string& bytes, size_t at, int count);
std::string FromUint(uint64_t value, int count);

// The sender target's input: three bytes choose the file, the rest are the
// receiver's answers.
#define SEND_HEADER_SIZE 3
#define SEND_MAX_SIZE 2100  // three blocks, the last one short
#define SEND_PATH "velcot-sample.bin"

// The file the sender target sends for a header.
std::string MakeSendContent(const uint8_t* header);

#endif
