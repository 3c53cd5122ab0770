// How the POSIX certificate store keeps its entries: an OpenSSL hashed
// directory per store, whose entries are named <hash>.<prefix><n> with n
// counting from 0 without gaps. What an entry holds is the caller's concern.
#ifndef CA_IMPORT_PLATFORM_POSIX_HASHED_DIRECTORY_H
#define CA_IMPORT_PLATFORM_POSIX_HASHED_DIRECTORY_H

#include <string>

// Opens the directory of the current user's store name,
// $XDG_DATA_HOME/certstore/<name>, making it and its missing parents (mode
// 0700). XDG_DATA_HOME when absolute, else $HOME/.local/share; HOME from the
// password database when unset, empty or relative. name is one path
// component. Returns the directory's descriptor, or -1 with errno set.
int open_store_directory(const char* name);

// Tells whether the regular file open for reading at fd, standing under one
// of the entry names, is the entry that the one being put replaces: 1 if it
// is, 0 if not, -1 when it cannot be read (errno set).
typedef int (*EntryTest)(int fd, const void* context);

// Writes the new entry's whole content to fd. False on failure, errno set.
typedef bool (*EntryWriter)(int fd, const void* context);

// Puts the content write writes in the store dir under base<n>: over the
// entry that replaces says it replaces, or else under the next free number.
// When former_base is not empty, an entry under it that the new one replaces
// moves under base, leaving no entry of that item under former_base. Every
// gap in the numbers of base and former_base is closed first. The entry is
// mode 0644 whatever the umask. Atomic, durable and exclusive among
// processes sharing the store: when it returns, the entry is on the disk;
// when it fails (errno set), the store holds the entries it held, though a
// gap may have closed. No step lists the whole directory, but for a gap.
bool put_entry(int dir, const std::string& base, const std::string& former_base, EntryTest replaces,
               EntryWriter write, const void* context);

#endif
