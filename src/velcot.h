// The command line of velcot.
#ifndef VELCOT_VELCOT_H
#define VELCOT_VELCOT_H

#include <cstdint>

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
};

// The rules of strtoul in base 0, for an unsigned 32-bit result.
uint32_t ParseBaudrate(const char* text);

// Reads options and file names into settings, whose files must have room for
// argc entries. True when help was asked for.
bool ParseArguments(int argc, char** argv, Settings* settings);

// The message for the first missing setting, or nullptr.
const char* FindMissingSetting(const Settings& settings);

// Prints the usage and the defaults.
void PrintHelp();

#endif
