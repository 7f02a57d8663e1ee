#pragma once
// The five groups by which the user edits the kinds a scan keeps, and the one-line summary of a
// filter that the status bar shows ("Scan: Images, Documents, Video · Min. 8 KB, Min. 800×600").

#include "recovery/model/RecoveryFilters.h"

#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace vantrel {

enum class FileTypeGroup : std::uint8_t { images, documents, video, audio, archives };

namespace FileTypeGroups {

const std::array<FileTypeGroup, 5>& allCases();
std::string_view rawValue(FileTypeGroup group);
// Exact, case-sensitive match of a case name ("Images" is none).
std::optional<FileTypeGroup> fromRawValue(std::string_view text);
QString title(FileTypeGroup group);
// None for video.
std::optional<QString> footnote(FileTypeGroup group);
// The listed kinds in display order; cr2 and cr3 are not listed, crw stands for them.
std::span<const RecoveredFileKind> kinds(FileTypeGroup group);
// The kinds a listed kind stands for: crw, cr2 and cr3 for crw; the kind itself otherwise.
std::vector<RecoveredFileKind> kindsCovered(RecoveredFileKind listed);

// Some kind covered by one of the group's listed kinds is allowed.
bool isEnabled(FileTypeGroup group, const RecoveryFilters& filters);
// "Scan: " + the enabled groups' titles (or "No file types") + " · " + sizeSummary.
QString enabledSummary(const RecoveryFilters& filters);
// "All sizes", or the byte and dimension minimums ("Min. 8 KB, Min. 800×600").
QString sizeSummary(std::uint64_t minimumByteSize, std::optional<std::int64_t> minimumImageWidth,
                    std::optional<std::int64_t> minimumImageHeight);

} // namespace FileTypeGroups
} // namespace vantrel
