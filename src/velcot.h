// The command line of velcot.
#ifndef VELCOT_VELCOT_H
#define VELCOT_VELCOT_H

#include <cstdint>
#include <string>

#include "ports/commdev.h"

constexpr char kDefaultPort[] = "COM1";
constexpr uint32_t kDefaultBaudrate = 9600;
constexpr char kDefaultMode[] = "8N1";

// The run's settings. A missing setting is nullptr, or 0 for the baud rate.
struct Settings {
  const char* port;
  uint32_t baudrate;
  const char* mode;
  const char** files;  // entries point into argv; room for argc entries
  int file_count;
  bool classic_only = false;          // the classic exchange only (kClassicVariable)
  bool compression = true;            // compression between velcots (kCompressionVariable)
  const char* protocol = nullptr;     // --protocol: nullptr for velcot's own
  const char* output_name = nullptr;  // -o: where a file that arrives without a name goes

  const char* baudrate_text = nullptr;  // -b as given, to say what is wrong with it
  const char* flow = nullptr;           // --flow: none, rtscts or xonxoff
  const char* dtr = nullptr;            // --dtr: on or off
  const char* rts = nullptr;            // --rts: on or off
  const char* start = nullptr;  // --start: typed, with a carriage return, before the first opening
  const char* existing = nullptr;  // --existing: replace, keep or rename
  const char* unknown = nullptr;   // the first option velcot does not define
  bool escape_all = false;         // --escape-all: ZMODEM escapes every control character
};

// What the command line asks for.
enum class Request { kRun, kHelp, kVersion, kUnknownOption };

// The rules of strtoul in base 0, for an unsigned 32-bit result.
uint32_t ParseBaudrate(const char* text);

// Reads options and file names into settings, whose files must have room for
// argc entries. Help and the version win wherever they stand; an option
// velcot does not define (a '-' and a letter, or "--" and a word) is kept in
// settings->unknown. After "--" every argument is a file name.
Request ParseArguments(int argc, char** argv, Settings* settings);

// The message for the first missing setting, or nullptr.
const char* FindMissingSetting(const Settings& settings);

// What is wrong with a -b value that strtoul's rules would take in part or
// not at all ("not a number", "\"x\" after the number", ...), or "".
std::string DescribeBadBaudrate(const char* text);

// What is wrong with a mode string, data bits 5 to 8 included, or "".
std::string DescribeBadMode(const char* mode);

// Every setting checked before anything is opened, the first fault only:
// the line that says what is wrong, then the message the run ends with
// ("missing baudrate", "couldn't configure port", ...); "" when the run
// can start. *control is set from --flow, --dtr and --rts.
std::string FindBadSetting(const Settings& settings, LineControl* control);

// Prints the usage and the defaults.
void PrintHelp();

// Prints the version and the web address.
void PrintVersion();

#endif
