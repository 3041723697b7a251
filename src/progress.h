// progress: the line each end keeps up to date while a file travels.
#ifndef VELCOT_PROGRESS_H
#define VELCOT_PROGRESS_H

#include <cstdint>
#include <string>

// One drawing of the progress line, carriage return included.
std::string FormatProgress(const char* name, uint64_t total, uint64_t done, int error, bool utf8);
void PrintProgress(const char* name, uint64_t total, uint64_t done, int error);

// The name with the bytes a terminal would act on escaped, for this
// console's character set (EscapeForTerminal).
std::string EscapeForConsole(const char* name);

// Closes the line with a line feed if one was drawn, and flushes the output
// stream, so that a message on the error stream comes after it.
void EndProgress(bool drawn);

#endif
