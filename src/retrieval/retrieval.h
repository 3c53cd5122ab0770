// Item retrieval: a URL's resource, downloaded afresh to a local copy in the
// current directory, read whole into memory, and the copy removed.
#ifndef CA_IMPORT_RETRIEVAL_H
#define CA_IMPORT_RETRIEVAL_H

#include <cstdint>

// The bytes of one downloaded resource, unchanged. The buffer comes from
// new[]; the caller releases it with delete[].
struct LoadedItem {
    unsigned char* bytes;
    std::int32_t length;
};

// An item's two progress formats: the downloading line takes the URL, the
// read line takes nothing.
struct ItemLabels {
    const char* downloading_line;
    const char* read_line;
};

// Fills path, a MAX_PATH buffer, with the current directory, the path
// separator and the URL's text after its last "/", or ends the process.
void make_local_path(const char* url, char* path);

// Returns the whole content of the file at path, or ends the process.
LoadedItem load_file(const char* path);

// Downloads url to the local copy named by make_local_path (into path), reads
// it into memory and removes it, writing the item's progress lines as it goes.
// Returns the item, or ends the process.
LoadedItem fetch_item(const char* url, char* path, const ItemLabels& labels);

#endif
