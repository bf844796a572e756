// The console: its error stream for output, standard input for one-line answers.
#pragma once

#include <cstddef>

namespace platform {

// Writes the text's bytes to the console's error stream; failures are ignored.
void ConsoleWrite(const char* text);
// Reads one whole line from standard input without its line end ("\n" or "\r\n"). A line
// longer than size - 1 characters is cut there and the rest of it is passed over. 1 when a line
// was read, 0 at the end of the input (a last line without line end still counts as a line).
int ConsoleReadLine(char* out, size_t size);

// Tests send the console's output to another descriptor; -1 restores standard error.
void SetConsoleErrorFdForTests(int fd);

}  // namespace platform
