#include "report.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "platform.h"

void progress_line(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::fflush(stdout);
}

void exit_with_line(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::exit(1);
}

void fatal_error(const char* message) {
    // Writing may itself change the last error code, so take it first.
    DWORD error = GetLastError();
    std::fprintf(stderr, "An error occurred in running the program. \n");
    std::fprintf(stderr, "%s\n", message);
    std::fprintf(stderr, "Error number %x.\n", static_cast<unsigned>(error));
    std::fprintf(stderr, "Program terminating. \n");
    std::exit(1);
}
