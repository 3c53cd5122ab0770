// How the program speaks: progress lines on standard output, and the two ways
// a failure ends the process with status 1.
#ifndef CA_IMPORT_REPORT_H
#define CA_IMPORT_REPORT_H

// Writes a progress line with printf formatting on standard output and pushes
// it out at once, so that a log shows which stage a run is in while it waits.
void progress_line(const char* format, ...);

// Writes one line with printf formatting on standard output and ends the
// process with status 1.
[[noreturn]] void exit_with_line(const char* format, ...);

// Writes the four-line failure block, carrying message and the last error
// code, on standard error and ends the process with status 1.
[[noreturn]] void fatal_error(const char* message);

#endif
