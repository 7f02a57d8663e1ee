#pragma once
// Opening a folder the way root must when someone else could have changed the way to it: an absolute
// path is walked one name at a time from "/", no name may be a symbolic link (the last one included),
// "." and ".." are refused, and, where asked, every folder on the way must be one that only root can
// change (a folder owned by root that neither group nor others may write, or one whose sticky bit
// keeps others from renaming what is not theirs). What is opened is then the very folder that name
// showed at that moment: a later rename or swap of any folder on the way does not change it.

#include "platform/UniqueFd.h"

#include <optional>
#include <string>
#include <sys/types.h>

namespace vantrel::FolderWithoutLinks {

enum class Trust {
    anyOwner,  // only links are refused
    rootOnly,  // and folders others than root can change, on the way and at the end
};

struct Opened {
    UniqueFd fd;                        // O_PATH, close-on-exec; invalid when refused
    std::optional<std::string> refusal;  // why not, naming the offending folder
    dev_t device = 0;                   // the folder's device and inode when opened
    ino_t inode = 0;
};

Opened open(const std::string& path, Trust trust = Trust::anyOwner);

} // namespace vantrel::FolderWithoutLinks
