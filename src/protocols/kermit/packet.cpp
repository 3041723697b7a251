#include "protocols/kermit/packet.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

// ---- block checks ----

uint16_t UpdateKermitCrc(uint16_t crc, const uint8_t* bytes, size_t length) {
  // Four bits at a time: two small steps per byte instead of a table.
  for (size_t i = 0; i < length; i++) {
    unsigned q = (crc ^ bytes[i]) & 0x0F;
    crc = uint16_t((crc >> 4) ^ (q * 0x1081));
    q = (crc ^ (bytes[i] >> 4)) & 0x0F;
    crc = uint16_t((crc >> 4) ^ (q * 0x1081));
  }
  return crc;
}

static unsigned SumBytes(const uint8_t* bytes, size_t length) {
  unsigned sum = 0;
  for (size_t i = 0; i < length; i++)
    sum += bytes[i];
  return sum;
}

// Type 1 folds the sum's top two bits into its low six.
static uint8_t FoldSum(unsigned sum) {
  return KermitChar(int((sum + ((sum & 0xC0) >> 6)) & 0x3F));
}

void FormKermitCheck(int type, const uint8_t* bytes, size_t length, uint8_t* out) {
  if (type == 3) {
    uint16_t crc = UpdateKermitCrc(0, bytes, length);
    out[0] = KermitChar((crc >> 12) & 0x0F);
    out[1] = KermitChar((crc >> 6) & 0x3F);
    out[2] = KermitChar(crc & 0x3F);
  } else if (type == 2) {
    unsigned sum = SumBytes(bytes, length) & 07777;
    out[0] = KermitChar(int(sum >> 6) & 0x3F);
    out[1] = KermitChar(int(sum & 0x3F));
  } else {
    out[0] = FoldSum(SumBytes(bytes, length));
  }
}

// ---- packets ----

// An extended header: LEN blank, SEQ, TYPE, the two length characters and
// their own check.
constexpr size_t kLongHeader = 7;

KermitBytes FormKermitPacket(const KermitPacket& packet, int check, int maxl) {
  size_t checks = size_t(CountCheckCharacters(check));
  size_t counted = 2 + packet.data.size() + checks;
  KermitBytes out = {kKermitMark};
  if (counted <= size_t(std::min(maxl, kKermitNormalMax))) {
    out.push_back(KermitChar(int(counted)));
    out.push_back(KermitChar(packet.seq));
    out.push_back(packet.type);
  } else {
    size_t extended = packet.data.size() + checks;
    out.push_back(KermitChar(0));
    out.push_back(KermitChar(packet.seq));
    out.push_back(packet.type);
    out.push_back(KermitChar(int(extended / 95)));
    out.push_back(KermitChar(int(extended % 95)));
    out.push_back(FoldSum(SumBytes(out.data() + 1, 5)));
  }
  out.insert(out.end(), packet.data.begin(), packet.data.end());
  uint8_t sum[3];
  FormKermitCheck(check, out.data() + 1, out.size() - 1, sum);
  out.insert(out.end(), sum, sum + checks);
  return out;
}

static bool IsSequenceCharacter(uint8_t c) {
  return c >= KermitChar(0) && c <= KermitChar(63);
}

static bool IsTypeCharacter(uint8_t c) {
  return c > ' ' && c < 0x7F;
}

long MeasureKermitPacket(const uint8_t* bytes, size_t length, int check, size_t longest) {
  long checks = CountCheckCharacters(check);
  if (length < 2) return 0;
  int len = KermitValue(bytes[1]);
  if (len != 0) {
    // A normal packet: LEN counts SEQ, TYPE, data and check.
    if (len < 2 + checks || len > kKermitNormalMax || size_t(len) + 2 > longest) return -1;
    if (length >= 4 && (!IsSequenceCharacter(bytes[2]) || !IsTypeCharacter(bytes[3]))) return -1;
    return 2 + len;
  }
  if (length < kLongHeader) return 0;
  if (!IsSequenceCharacter(bytes[2]) || !IsTypeCharacter(bytes[3]) ||
      FoldSum(SumBytes(bytes + 1, 5)) != bytes[6]) {
    return -1;
  }
  int x1 = KermitValue(bytes[4]), x2 = KermitValue(bytes[5]);
  if (x1 < 0 || x1 > 95 || x2 < 0 || x2 > 94) return -1;
  long extended = x1 * 95 + x2;
  if (extended < checks || extended > 95 * 95 || size_t(extended) + kLongHeader > longest)
    return -1;
  return long(kLongHeader) + extended;
}

bool ReadKermitPacket(const uint8_t* bytes, size_t length, int check, KermitPacket* packet) {
  size_t checks = size_t(CountCheckCharacters(check));
  size_t header = KermitValue(bytes[1]) == 0 ? kLongHeader : 4;
  if (length < header + checks || !IsSequenceCharacter(bytes[2]) || !IsTypeCharacter(bytes[3])) {
    return false;
  }
  uint8_t sum[3];
  FormKermitCheck(check, bytes + 1, length - 1 - checks, sum);
  if (memcmp(sum, bytes + length - checks, checks) != 0) return false;
  packet->seq = KermitValue(bytes[2]);
  packet->type = bytes[3];
  packet->data.assign(bytes + header, bytes + length - checks);
  return true;
}

// ---- data encoding ----

static bool IsControl(int c) {
  return (c & 0x7F) < 0x20 || (c & 0x7F) == 0x7F;
}

std::bitset<256> ListLineControls() {
  std::bitset<256> line;
  for (int c : {0x00, 0x01, 0x03, 0x0A, 0x0D, 0x11, 0x13}) {
    line[size_t(c)] = true;
    line[size_t(c | 0x80)] = true;
  }
  return line;
}

std::bitset<256> ListPacketControls() {
  std::bitset<256> packet = ListLineControls();
  for (int c = 0; c < 0x80; c++)
    packet[size_t(c)] = packet[size_t(c)] || IsControl(c);
  return packet;
}

// One byte's group without a repeat count: the 8th-bit prefix, the control
// prefix, the character.
static size_t EncodeByte(const KermitCoding& coding, uint8_t byte, uint8_t* out) {
  size_t n = 0;
  if (coding.ebq != 0 && (byte & 0x80) != 0) {
    out[n++] = coding.ebq;
    byte &= 0x7F;
  }
  uint8_t low = byte & 0x7F;
  if (coding.prefixed[byte] && IsControl(byte)) {
    out[n++] = coding.ctlq;
    byte ^= 0x40;
  } else if (low == coding.ctlq || (coding.ebq != 0 && low == coding.ebq) ||
             (coding.rptq != 0 && low == coding.rptq)) {
    out[n++] = coding.ctlq;
  }
  out[n++] = byte;
  return n;
}

void EncodeKermitData(const KermitCoding& coding, const uint8_t* bytes, size_t length, size_t* at,
                      size_t room, KermitBytes* out) {
  while (*at < length) {
    uint8_t byte = bytes[*at];
    uint8_t group[5];
    size_t single = EncodeByte(coding, byte, group + 2);
    size_t run = 1;
    while (coding.rptq != 0 && run < 94 && *at + run < length && bytes[*at + run] == byte)
      run++;
    // A repeat count costs two characters: worth it once the run's own
    // groups would take more.
    bool repeat = run * single > 2 + single;
    size_t taken = repeat ? 2 + single : single;
    if (out->size() + taken > room) return;
    if (repeat) {
      out->push_back(coding.rptq);
      out->push_back(KermitChar(int(run)));
    }
    out->insert(out->end(), group + 2, group + 2 + single);
    *at += repeat ? run : 1;
  }
}

bool DecodeKermitData(const KermitCoding& coding, const uint8_t* field, size_t length,
                      KermitBytes* out) {
  size_t i = 0;
  while (i < length) {
    uint8_t c = field[i++];
    int count = 1;
    if (coding.rptq != 0 && c == coding.rptq) {
      if (i + 1 >= length) return false;
      count = KermitValue(field[i++]);
      if (count < 0 || count > 94) return false;
      c = field[i++];
    }
    uint8_t high = 0;
    if (coding.ebq != 0 && c == coding.ebq) {
      if (i >= length) return false;
      high = 0x80;
      c = field[i++];
    }
    if (c == coding.ctlq) {
      if (i >= length) return false;
      c = field[i++];
      uint8_t low = c & 0x7F;
      if ((low >= 0x40 && low <= 0x5F) || low == 0x3F) c ^= 0x40;
    }
    out->insert(out->end(), size_t(count), uint8_t(c | high));
  }
  return true;
}

// ---- Send-Init ----

// Where each field is in the Send-Init data.
enum InitField { kMaxl, kTime, kNpad, kPadc, kEol, kQctl, kQbin, kChkt, kRept, kCapas };

// The control character a PADC field carries: ctl(x), x with bit 6 flipped.
static uint8_t Flip(uint8_t c) {
  return c ^ 0x40;
}

// WHATAMI's bits: the field is meaningful, names go literally, files in
// binary.
constexpr int kWhatamiValid = 32;
constexpr int kWhatamiLiteral = 4;
constexpr int kWhatamiBinary = 2;

KermitBytes FormKermitInit(const KermitInit& init) {
  KermitBytes out = {KermitChar(init.maxl),
                     KermitChar(init.time),
                     KermitChar(init.npad),
                     Flip(init.padc),
                     KermitChar(init.eol),
                     init.qctl,
                     init.qbin,
                     uint8_t('0' + init.chkt),
                     init.rept,
                     KermitChar(init.capas)};
  out.push_back(KermitChar(init.window));
  out.push_back(KermitChar(init.maxlx / 95));
  out.push_back(KermitChar(init.maxlx % 95));
  if (init.whatami) {
    // No checkpointing ("0" and three blanks' worth), then WHATAMI.
    const uint8_t kNoCheckpoints[] = {'0', '_', '_', '_'};
    out.insert(out.end(), kNoCheckpoints, kNoCheckpoints + 4);
    out.push_back(KermitChar(kWhatamiValid | kWhatamiLiteral | kWhatamiBinary));
    // The system UNIX: a sender of a system alike sends names and files as
    // they are, which is what velcot stores everywhere.
    out.insert(out.end(), {KermitChar(2), 'U', '1'});
  }
  return out;
}

// A prefix character: printable and none of the characters with a meaning
// of their own.
static bool IsPrefixCharacter(uint8_t c) {
  return (c >= 33 && c <= 62) || (c >= 96 && c <= 126);
}

KermitInit ReadKermitInit(const uint8_t* field, size_t length) {
  KermitInit init;
  auto has = [&](size_t at) { return at < length && field[at] != ' '; };
  if (has(kMaxl)) init.maxl = std::clamp(KermitValue(field[kMaxl]), 10, kKermitNormalMax);
  if (has(kTime)) init.time = std::clamp(KermitValue(field[kTime]), 0, 94);
  if (has(kNpad)) init.npad = std::clamp(KermitValue(field[kNpad]), 0, 94);
  if (has(kPadc)) init.padc = Flip(field[kPadc]);
  // The end of line is a control character; anything else is no request.
  if (has(kEol) && KermitValue(field[kEol]) < 32) init.eol = uint8_t(KermitValue(field[kEol]));
  if (has(kQctl) && IsPrefixCharacter(field[kQctl])) init.qctl = field[kQctl];
  if (has(kQbin)) init.qbin = field[kQbin];
  if (has(kChkt)) init.chkt = field[kChkt] >= '1' && field[kChkt] <= '3' ? field[kChkt] - '0' : 0;
  if (has(kRept)) init.rept = field[kRept];
  // CAPAS takes as many characters as have bit 0 set, and one more.
  size_t at = kCapas;
  if (at < length) init.capas = KermitValue(field[at]) & 0x3F;
  while (at < length && (KermitValue(field[at]) & 1) != 0)
    at++;
  at++;
  bool windows = (init.capas & kCanWindows) != 0;
  if (windows && has(at)) init.window = std::clamp(KermitValue(field[at]), 1, 31);
  if ((init.capas & kCanLongPackets) != 0 && has(at + 1) && at + 2 < length) {
    int maxlx = KermitValue(field[at + 1]) * 95 + KermitValue(field[at + 2]);
    if (maxlx > 0) init.maxlx = std::clamp(maxlx, 10, kKermitLongMax);
  }
  return init;
}

KermitAgreement AgreeKermit(const KermitInit& ours, const KermitInit& theirs, bool sending,
                            const std::bitset<256>& prefixed) {
  KermitAgreement a;
  const KermitInit& sender = sending ? ours : theirs;
  const KermitInit& receiver = sending ? theirs : ours;
  a.check = sender.chkt == receiver.chkt && sender.chkt != 0 ? sender.chkt : 1;
  int both = ours.capas & theirs.capas;
  a.window = (both & kCanWindows) != 0 ? std::min(ours.window, theirs.window) : 1;
  a.attributes = (both & kCanAttributes) != 0;
  a.maxl_out = theirs.maxl;
  a.maxlx_out = (both & kCanLongPackets) != 0 ? theirs.maxlx : 0;
  // 8th-bit prefixing: one end names the prefix and the other agrees
  // ('Y') or names the same one.
  uint8_t ebq = 0;
  if (IsPrefixCharacter(ours.qbin) && (theirs.qbin == 'Y' || theirs.qbin == ours.qbin)) {
    ebq = ours.qbin;
  } else if (IsPrefixCharacter(theirs.qbin) && ours.qbin == 'Y') {
    ebq = theirs.qbin;
  }
  uint8_t rptq = ours.rept == theirs.rept && IsPrefixCharacter(ours.rept) ? ours.rept : 0;
  if (rptq == ebq || rptq == ours.qctl || rptq == theirs.qctl) rptq = 0;
  if (ebq == ours.qctl || ebq == theirs.qctl) ebq = 0;
  a.eighth_bit = ebq != 0;
  a.out = {ours.qctl, ebq, rptq, prefixed};
  a.in = {theirs.qctl, ebq, rptq, {}};
  return a;
}

size_t CountDataRoom(const KermitAgreement& agreement) {
  int checks = CountCheckCharacters(agreement.check);
  int room = agreement.maxlx_out > 0 ? agreement.maxlx_out - checks
                                     : std::min(agreement.maxl_out, kKermitNormalMax) - 2 - checks;
  // Each group is at most five characters: never too small to hold one.
  return size_t(std::max(room, 5));
}

// ---- attributes ----

std::string FormKermitDate(int64_t mtime) {
  time_t seconds = time_t(mtime);
  struct tm local;
#ifdef _WIN32
  if (localtime_s(&local, &seconds) != 0) return "";
#else
  if (localtime_r(&seconds, &local) == nullptr) return "";
#endif
  char text[32];
  strftime(text, sizeof text, "%Y%m%d %H:%M:%S", &local);
  return text;
}

bool ReadKermitDate(const std::string& text, int64_t* mtime) {
  // [yy]yymmdd, then optionally hh:mm[:ss].
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9')
    digits++;
  if (digits != 8 && digits != 6) return false;
  struct tm local = {};
  int year = std::stoi(text.substr(0, digits - 4));
  local.tm_year = (digits == 6 ? (year < 70 ? 2000 + year : 1900 + year) : year) - 1900;
  local.tm_mon = std::stoi(text.substr(digits - 4, 2)) - 1;
  local.tm_mday = std::stoi(text.substr(digits - 2, 2));
  std::string rest = text.substr(digits);
  if (!rest.empty()) {
    int hours = 0, minutes = 0, seconds = 0;
    int n = 0;
    if (sscanf(rest.c_str(), " %2d:%2d%n:%2d%n", &hours, &minutes, &n, &seconds, &n) < 2 ||
        size_t(n) != rest.size()) {
      return false;
    }
    local.tm_hour = hours;
    local.tm_min = minutes;
    local.tm_sec = seconds;
  }
  if (local.tm_mon < 0 || local.tm_mon > 11 || local.tm_mday < 1 || local.tm_mday > 31 ||
      local.tm_hour > 23 || local.tm_min > 59 || local.tm_sec > 60) {
    return false;
  }
  local.tm_isdst = -1;
  time_t seconds = mktime(&local);
  if (seconds == time_t(-1)) return false;
  *mtime = int64_t(seconds);
  return true;
}

static void PutAttribute(KermitBytes* out, char tag, const std::string& value) {
  out->push_back(uint8_t(tag));
  out->push_back(KermitChar(int(value.size())));
  out->insert(out->end(), value.begin(), value.end());
}

KermitBytes FormKermitAttributes(uint64_t size, int64_t mtime, uint32_t mode) {
  KermitBytes out;
  PutAttribute(&out, '"', "B8");  // binary, 8-bit bytes
  PutAttribute(&out, '!', std::to_string((size + 1023) / 1024));
  PutAttribute(&out, '1', std::to_string(size));
  std::string date = FormKermitDate(mtime);
  if (!date.empty()) PutAttribute(&out, '#', date);
#ifndef _WIN32
  char octal[8];
  snprintf(octal, sizeof octal, "%o", unsigned(mode & 0777));
  PutAttribute(&out, '.', "U1");  // a UNIX system: the protection below is its mode
  PutAttribute(&out, ',', octal);
#else
  (void)mode;
#endif
  return out;
}

// A decimal count of at most 64 bits.
static bool ReadCount(const std::string& text, uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t digit = uint64_t(c - '0');
    if (n > (UINT64_MAX - digit) / 10) return false;
    n = n * 10 + digit;
  }
  *value = n;
  return true;
}

void ReadKermitAttributes(const uint8_t* field, size_t length, KermitFileFacts* facts) {
  std::string system;
  for (size_t at = 0; at + 1 < length;) {
    char tag = char(field[at]);
    size_t size = size_t(std::max(KermitValue(field[at + 1]), 0));
    if (at + 2 + size > length) return;
    std::string value(field + at + 2, field + at + 2 + size);
    at += 2 + size;
    if (tag == '1') {
      facts->sized = ReadCount(value, &facts->size);
      facts->size_invalid = !facts->sized;
    } else if (tag == '#') {
      facts->timed = ReadKermitDate(value, &facts->mtime);
    } else if (tag == '"') {
      facts->text = !value.empty() && value[0] == 'A';
    } else if (tag == '.') {
      system = value;
    } else if (tag == ',' && !system.empty() && system[0] == 'U') {
      // A UNIX sender's protection is its mode in octal.
      char* end = nullptr;
      unsigned long mode = strtoul(value.c_str(), &end, 8);
      facts->moded = !value.empty() && *end == '\0' && mode <= 07777;
      facts->mode = uint32_t(mode & 0777);
    }
  }
}
