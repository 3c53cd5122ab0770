// The store's hashed directories.
//
// Every put holds an exclusive lock on the store's ".lock" from the moment it
// looks at the entries until the store's directory has been flushed. Under
// the lock it writes the entry's new content to ".tmp/new-<pid>", flushes it
// and renames it onto the entry's name, so that a crash at any point leaves
// the old entry or the new one whole. An entry it replaces is kept as
// ".tmp/old-<pid>" until the directory is flushed, so that a put whose flush
// fails can put the store back as it was. Whatever is in ".tmp" under the
// lock was left by a run that died, and is removed: a directory of its own,
// so that finding leftovers costs nothing however many entries the store
// holds. (Stores written before kept them as ".new-*" and ".old-*" beside
// the entries; they are swept once, when ".tmp" is made.)
//
// OpenSSL's lookup reads <hash>.0, <hash>.1, ... and stops at the first
// missing number, so a gap (an entry removed by hand) hides every entry
// after it. Under the lock a put closes the gaps of the names it touches by
// renaming the highest-numbered entries down, one atomic rename each.
#include "hashed_directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

const char lock_name[] = ".lock";
const char unfinished_directory[] = ".tmp";
const char unfinished_prefix[] = "new-";
const char previous_prefix[] = "old-";

// Closes fd after a failure, leaving errno as that failure set it.
void close_keeping_errno(int fd) {
    int saved = errno;
    close(fd);
    errno = saved;
}

struct CloseDir {
    void operator()(DIR* listing) const {
        int saved = errno;
        closedir(listing);
        errno = saved;
    }
};

// A file descriptor closed when it goes out of scope, leaving errno as the
// failure that caused the early return.
struct Descriptor {
    int fd;
    explicit Descriptor(int fd) : fd(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd >= 0) {
            close_keeping_errno(fd);
        }
    }
};

bool fail(int error) {
    errno = error;
    return false;
}

enum Slot { slot_free, slot_taken, slot_match, slot_error };

// What stands under name: nothing, an entry the new one does not replace,
// or one that it does (never asked when replaces is null). A symlink or any
// other non-file is taken, and never read or written through.
Slot examine(int dir, const std::string& name, EntryTest replaces, const void* context) {
    struct stat status;
    if (fstatat(dir, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? slot_free : slot_error;
    }
    if (replaces == nullptr || !S_ISREG(status.st_mode)) {
        return slot_taken;
    }
    Descriptor file(openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.fd < 0) {
        // Replaced by a link since: taken.
        return errno == ELOOP ? slot_taken : slot_error;
    }
    if (fstat(file.fd, &status) != 0) {
        return slot_error;
    }
    if (!S_ISREG(status.st_mode)) {
        return slot_taken;
    }
    int verdict = replaces(file.fd, context);
    return verdict < 0 ? slot_error : verdict > 0 ? slot_match : slot_taken;
}

// The entries base<n> of one family as the lock holder finds them.
struct Family {
    std::string base;
    std::vector<unsigned long> numbers;  // ascending
    bool found = false;                  // whether one of them is replaced
    unsigned long matched = 0;           // and which
};

// How far past the first free number an add looks for entries that a gap,
// made by hand, hides from OpenSSL's lookup.
const unsigned long gap_lookahead = 16;

// The number n of an entry named base<n>, n in decimal as OpenSSL writes it.
bool entry_number(const char* name, const std::string& base, unsigned long* number) {
    if (std::strncmp(name, base.c_str(), base.size()) != 0) {
        return false;
    }
    const char* digits = name + base.size();
    size_t count = std::strspn(digits, "0123456789");
    if (count == 0 || count > 9 || digits[count] != '\0' || (digits[0] == '0' && count > 1)) {
        return false;
    }
    *number = std::strtoul(digits, nullptr, 10);
    return true;
}

// Every name in dir but "." and "..", in listing order.
bool list_names(int dir, std::vector<std::string>* names) {
    int copy = fcntl(dir, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        return false;
    }
    std::unique_ptr<DIR, CloseDir> listing(fdopendir(copy));
    if (!listing) {
        close_keeping_errno(copy);
        return false;
    }
    // The copy shares its place in the directory with the descriptor, which
    // an earlier listing may have left at the end.
    rewinddir(listing.get());
    for (;;) {
        errno = 0;
        struct dirent* entry = readdir(listing.get());
        if (entry == nullptr) {
            return errno == 0;
        }
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names->push_back(entry->d_name);
        }
    }
}

// Every number of base's family in dir, ascending. Lists the whole
// directory, so it is only done when a gap shows that it is needed.
bool list_family(int dir, const std::string& base, std::vector<unsigned long>* numbers) {
    std::vector<std::string> names;
    if (!list_names(dir, &names)) {
        return false;
    }
    numbers->clear();
    for (const std::string& name : names) {
        unsigned long number;
        if (entry_number(name.c_str(), base, &number)) {
            numbers->push_back(number);
        }
    }
    std::sort(numbers->begin(), numbers->end());
    return true;
}

// Finds base's entries and the one that replaces says the new one replaces
// (none when replaces is null). Entries are read from 0 up to the first free
// number; the directory is listed only when an entry stands a little past
// it, behind a gap.
bool scan_family(int dir, const std::string& base, EntryTest replaces, const void* context,
                 Family* family) {
    family->base = base;
    family->numbers.clear();
    family->found = false;
    unsigned long number = 0;
    for (;; ++number) {
        Slot slot = examine(dir, base + std::to_string(number), family->found ? nullptr : replaces,
                            context);
        if (slot == slot_error) {
            return false;
        }
        if (slot == slot_free) {
            break;
        }
        if (slot == slot_match) {
            family->found = true;
            family->matched = number;
        }
        family->numbers.push_back(number);
    }
    bool gap = false;
    for (unsigned long ahead = number + 1; ahead <= number + gap_lookahead && !gap; ++ahead) {
        Slot slot = examine(dir, base + std::to_string(ahead), nullptr, nullptr);
        if (slot == slot_error) {
            return false;
        }
        gap = slot == slot_taken;
    }
    if (!gap) {
        return true;
    }
    if (!list_family(dir, base, &family->numbers)) {
        return false;
    }
    for (unsigned long behind : family->numbers) {
        if (behind > number && !family->found) {
            Slot slot = examine(dir, base + std::to_string(behind), replaces, context);
            if (slot == slot_error) {
                return false;
            }
            if (slot == slot_match) {
                family->found = true;
                family->matched = behind;
            }
        }
    }
    return true;
}

// Renames the entry from to the free name to, atomically, never replacing
// an entry. Where the file system cannot refuse to replace, the lock
// holder's scan has just found to free.
bool move_entry(int dir, const std::string& from, const std::string& to) {
    if (renameat2(dir, from.c_str(), dir, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
    return renameat(dir, from.c_str(), dir, to.c_str()) == 0;
}

// Closes every gap in family's numbering: the highest-numbered entries move
// down into the lowest free numbers, each straight to its final name, so
// that the family runs from 0 without a gap and no entry is ever under two
// names.
bool close_gaps(int dir, Family* family) {
    std::vector<unsigned long>& numbers = family->numbers;
    unsigned long count = numbers.size();
    unsigned long free_number = 0;
    size_t at = 0;
    for (size_t highest = numbers.size(); highest > 0 && numbers[highest - 1] >= count; --highest) {
        while (at < numbers.size() && numbers[at] == free_number) {
            ++at;
            ++free_number;
        }
        unsigned long from = numbers[highest - 1];
        if (!move_entry(dir, family->base + std::to_string(from),
                        family->base + std::to_string(free_number))) {
            return false;
        }
        if (family->found && family->matched == from) {
            family->matched = free_number;
        }
        ++free_number;
    }
    for (unsigned long i = 0; i < count; ++i) {
        numbers[i] = i;
    }
    return true;
}

// Swaps the entry *number with family's highest-numbered one in one atomic
// exchange, so that it can leave the family without opening a gap, and sets
// *number to where it now is. Where the file system cannot exchange names,
// it stays where it is.
bool raise_to_top(int dir, const Family& family, unsigned long* number) {
    unsigned long highest = family.numbers.back();
    if (highest == *number) {
        return true;
    }
    if (renameat2(dir, (family.base + std::to_string(*number)).c_str(), dir,
                  (family.base + std::to_string(highest)).c_str(), RENAME_EXCHANGE) == 0) {
        *number = highest;
        return true;
    }
    return errno == EINVAL || errno == ENOSYS;
}

// Takes the entry number out of family, whose numbers run from 0 without a
// gap, and closes the gap: the highest-numbered entry takes its place in one
// rename, over it when it is still there (present).
bool remove_from_family(int dir, Family* family, unsigned long number, bool present) {
    std::string name = family->base + std::to_string(number);
    unsigned long highest = family->numbers.back();
    family->numbers.pop_back();
    if (highest == number) {
        return !present || unlinkat(dir, name.c_str(), 0) == 0;
    }
    return renameat(dir, (family->base + std::to_string(highest)).c_str(), dir, name.c_str()) == 0;
}

bool any_name(const char*) {
    return true;
}

// What stores written before left beside their entries.
bool is_former_leftover(const char* name) {
    return std::strncmp(name, ".new-", 5) == 0 || std::strncmp(name, ".old-", 5) == 0;
}

// Removes the names of dir that keep says to take. Only the lock holder
// writes such files, so under the lock none of them is in use.
bool remove_names(int dir, bool (*keep)(const char* name)) {
    std::vector<std::string> names;
    if (!list_names(dir, &names)) {
        return false;
    }
    for (const std::string& name : names) {
        if (keep(name.c_str()) && unlinkat(dir, name.c_str(), 0) != 0 && errno != ENOENT) {
            return false;
        }
    }
    return true;
}

// Opens the store's directory of unfinished files, making it when it is not
// there, and empties it of what runs that died left behind.
int open_unfinished_directory(int dir) {
    if (mkdirat(dir, unfinished_directory, 0700) == 0) {
        if (!remove_names(dir, is_former_leftover)) {
            return -1;
        }
    } else if (errno != EEXIST) {
        return -1;
    }
    int unfinished =
        openat(dir, unfinished_directory, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (unfinished < 0) {
        return -1;
    }
    if (!remove_names(unfinished, any_name)) {
        close_keeping_errno(unfinished);
        return -1;
    }
    return unfinished;
}

void discard(int dir, const std::string& name) {
    int saved = errno;
    unlinkat(dir, name.c_str(), 0);
    errno = saved;
}

// Writes the new file name in dir with write, and flushes it to the disk.
bool write_unfinished(int dir, const std::string& name, EntryWriter write, const void* context) {
    int fd = openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    // Entries are readable by every OpenSSL program, whatever the umask.
    bool written = fchmod(fd, 0644) == 0 && write(fd, context) && fsync(fd) == 0;
    if (!written) {
        close_keeping_errno(fd);
    }
    if (!written || close(fd) != 0) {
        discard(dir, name);
        return false;
    }
    return true;
}

// Moves the file from in from_dir to the first free name base<n> in dir
// from number on, never replacing an entry, even one that appeared after the
// scan, and leaves that name in claimed.
bool claim_number(int from_dir, const std::string& from, int dir, const std::string& base,
                  unsigned long number, std::string* claimed) {
    bool can_rename = true;
    for (;; ++number) {
        std::string& name = *claimed = base + std::to_string(number);
        if (can_rename) {
            if (renameat2(from_dir, from.c_str(), dir, name.c_str(), RENAME_NOREPLACE) == 0) {
                return true;
            }
            // File systems without the no-replace rename refuse the flag:
            // a hard link claims the name just as safely.
            if (errno == EINVAL || errno == ENOSYS) {
                can_rename = false;
            } else if (errno != EEXIST) {
                return false;
            }
        }
        if (!can_rename) {
            if (linkat(from_dir, from.c_str(), dir, name.c_str(), 0) == 0) {
                // A name left behind is removed by the next add.
                unlinkat(from_dir, from.c_str(), 0);
                return true;
            }
            if (errno != EEXIST) {
                return false;
            }
        }
    }
}

void flush_keeping_errno(int dir) {
    int saved = errno;
    fsync(dir);
    errno = saved;
}

// Renames unfinished, in tmp, over the entry name in dir and flushes dir.
// Until the flush has succeeded the replaced entry keeps a second name in
// tmp, which puts it back if the flush fails. Where hard links are not
// supported the entry is replaced without that way back.
bool replace_entry(int dir, int tmp, const std::string& unfinished, const std::string& name) {
    std::string previous = previous_prefix + std::to_string(getpid());
    bool kept = linkat(dir, name.c_str(), tmp, previous.c_str(), 0) == 0;
    if (!kept && errno != EPERM && errno != EOPNOTSUPP && errno != EMLINK) {
        discard(tmp, unfinished);
        return false;
    }
    if (renameat(tmp, unfinished.c_str(), dir, name.c_str()) != 0) {
        discard(tmp, unfinished);
        if (kept) {
            discard(tmp, previous);
        }
        return false;
    }
    if (fsync(dir) != 0) {
        if (kept) {
            int saved = errno;
            renameat(tmp, previous.c_str(), dir, name.c_str());
            flush_keeping_errno(dir);
            errno = saved;
        }
        return false;
    }
    if (kept) {
        // A name left behind is removed by the next add.
        unlinkat(tmp, previous.c_str(), 0);
    }
    return true;
}

// $XDG_DATA_HOME, or its default under the user's home directory. Both must
// be absolute: a relative one would put the store wherever the program runs.
bool user_data_directory(std::string* path) {
    const char* data_home = std::getenv("XDG_DATA_HOME");
    if (data_home != nullptr && data_home[0] == '/') {
        *path = data_home;
        return true;
    }
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        *path = std::string(home) + "/.local/share";
        return true;
    }
    struct passwd entry;
    struct passwd* found = nullptr;
    std::vector<char> buffer(4096);
    int error;
    while ((error = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE) {
        buffer.resize(buffer.size() * 2);
    }
    if (error != 0) {
        return fail(error);
    }
    if (found == nullptr || found->pw_dir[0] != '/') {
        return fail(ENOENT);
    }
    *path = std::string(found->pw_dir) + "/.local/share";
    return true;
}

// Makes the directory path's parent know its new entry for good.
bool flush_parent(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string parent = slash == 0 ? "/" : path.substr(0, slash);
    Descriptor dir(open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir.fd >= 0 && fsync(dir.fd) == 0;
}

// Makes path, an absolute directory path, and its missing parents.
bool make_directories(const std::string& path) {
    for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        std::string prefix = path.substr(0, end);
        if (prefix.back() != '/') {
            if (mkdir(prefix.c_str(), 0700) == 0) {
                if (!flush_parent(prefix)) {
                    return false;
                }
            } else if (errno != EEXIST) {
                return false;
            }
        }
        if (end == std::string::npos) {
            return true;
        }
    }
}

}  // namespace

int open_store_directory(const char* name) {
    std::string path;
    if (!user_data_directory(&path)) {
        return -1;
    }
    path += "/certstore/";
    path += name;
    if (!make_directories(path)) {
        return -1;
    }
    return open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

bool put_entry(int dir, const std::string& base, const std::string& former_base, EntryTest replaces,
               EntryWriter write, const void* context) {
    Descriptor lock(openat(dir, lock_name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (lock.fd < 0) {
        return false;
    }
    while (flock(lock.fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    Descriptor tmp(open_unfinished_directory(dir));
    if (tmp.fd < 0) {
        return false;
    }

    Family family;
    if (!scan_family(dir, base, replaces, context, &family) || !close_gaps(dir, &family)) {
        return false;
    }
    if (!former_base.empty()) {
        // The entry found there moves, never copied: should the run die
        // between steps, it is under one name or the other, and no step
        // leaves a gap.
        Family former;
        if (!scan_family(dir, former_base, replaces, context, &former) ||
            !close_gaps(dir, &former)) {
            return false;
        }
        if (former.found) {
            if (family.found) {
                if (!remove_from_family(dir, &former, former.matched, true)) {
                    return false;
                }
            } else {
                unsigned long from = former.matched;
                std::string name;
                if (!raise_to_top(dir, former, &from) ||
                    !claim_number(dir, former_base + std::to_string(from), dir, base,
                                  family.numbers.size(), &name) ||
                    !remove_from_family(dir, &former, from, false)) {
                    return false;
                }
                family.found = true;
                family.matched = family.numbers.size();
                family.numbers.push_back(family.matched);
            }
        }
    }

    std::string unfinished = unfinished_prefix + std::to_string(getpid());
    if (!write_unfinished(tmp.fd, unfinished, write, context)) {
        return false;
    }
    if (!family.found) {
        std::string name;
        if (!claim_number(tmp.fd, unfinished, dir, base, family.numbers.size(), &name)) {
            discard(tmp.fd, unfinished);
            return false;
        }
        if (fsync(dir) != 0) {
            // Not known to be on the disk: take it back.
            discard(dir, name);
            flush_keeping_errno(dir);
            return false;
        }
        return true;
    }
    return replace_entry(dir, tmp.fd, unfinished, base + std::to_string(family.matched));
}
