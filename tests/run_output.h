// The lines a run writes, as the tests of either build expect them.
#ifndef CA_IMPORT_TESTS_RUN_OUTPUT_H
#define CA_IMPORT_TESTS_RUN_OUTPUT_H

#include <cstdio>
#include <string>

// The lines an item ("AC" or "CRL") writes up to its download.
inline std::string item_head(const std::string& item, const std::string& url,
                             const std::string& path) {
    std::string label = item == "AC" ? "Downloading AC   : " : "Downloading CRL  : ";
    return label + url + "\nto local file : " + path + "\n";
}

// All five lines of an item fetched into memory.
inline std::string item_lines(const std::string& item, const std::string& url,
                              const std::string& path) {
    return item_head(item, url, path) + "Downloaded OK\nRead " + item +
           " to memory\nDelete local file\n";
}

const std::string opened_line = "Opened the CA system store\n";
const std::string cert_added_line = "AC is added to the CA store\n";
const std::string crl_added_line = "CRL is added to the CA store\n";
const std::string store_lines = opened_line + cert_added_line + crl_added_line;

// A failed download's line, which has no line end.
inline std::string download_error(unsigned code) {
    char text[64];
    std::snprintf(text, sizeof text, "An error occured : error code = %x", code);
    return text;
}

// The block a store failure writes on standard error.
inline std::string failure_block(const std::string& message, const std::string& error_number) {
    return "An error occurred in running the program. \n" + message + "\nError number " +
           error_number + ".\nProgram terminating. \n";
}

#endif
