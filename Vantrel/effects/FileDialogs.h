#pragma once
// The open, save and folder choices, asked without blocking the main thread: each answers once
// through its completion, on the main thread, with the chosen path or nothing when the user cancelled.

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vantrel {

struct FileDialogOptions {
    std::string title;                         // "Save Scan Catalog"
    std::string prompt;                        // the accepting button: "Save", "Open", "Recover"
    std::string directory;                     // where the dialog starts; empty for the dialog's own choice
    std::string defaultName;                   // the proposed file name (save only)
    std::vector<std::string> fileExtensions;   // without the dot ("vtcat"); empty for any file
    std::string filterName;                    // what the extensions stand for ("Disk images"); may be empty
    bool offersAllFiles = false;               // a second choice of filter: every file
    bool canCreateFolders = true;
};

class FileDialogs {
public:
    using Completion = std::function<void(std::optional<std::string> path)>;

    virtual ~FileDialogs() = default;

    virtual void chooseFileToOpen(const FileDialogOptions& options, Completion done) = 0;
    virtual void chooseFileToSave(const FileDialogOptions& options, Completion done) = 0;
    virtual void chooseFolder(const FileDialogOptions& options, Completion done) = 0;
};

} // namespace vantrel
