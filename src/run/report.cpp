#include "report.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "platform.h"

// Output that cannot be written (a reader that went away) never stops a run,
// so what the writes return is not looked at.
void progress_line(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    (void)std::vprintf(format, arguments);
    va_end(arguments);
    (void)std::fflush(stdout);
}

void exit_with_line(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    (void)std::vprintf(format, arguments);
    va_end(arguments);
    std::exit(1);
}

void fatal_error(const char* message) {
    // Writing may itself change the last error code, so take it first.
    DWORD error = GetLastError();
    (void)std::fprintf(stderr, "An error occurred in running the program. \n");
    (void)std::fprintf(stderr, "%s\n", message);
    (void)std::fprintf(stderr, "Error number %x.\n", static_cast<unsigned>(error));
    (void)std::fprintf(stderr, "Program terminating. \n");
    std::exit(1);
}
