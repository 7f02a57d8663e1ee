#pragma once
// What the filter sidebar shows and does, as plain functions over the filter: the state of each group's
// checkbox, the effect of a click on it or on a kind's switch, the kind labels and the parsing of the
// size fields. The widget only applies these.

#include "Vantrel/model/FileTypeGroup.h"

#include <QString>

#include <optional>
#include <set>

namespace vantrel::FilterSidebarLogic {

enum class GroupSelection : std::uint8_t { none, all, some };

// A listed kind is on when every kind it covers is allowed.
bool isKindOn(const RecoveryFilters& filters, RecoveredFileKind listed);
// Turns every kind the listed kind covers on or off.
RecoveryFilters withKind(RecoveryFilters filters, RecoveredFileKind listed, bool on);
// How many of the group's listed kinds are on: none, all or some.
GroupSelection groupSelection(const RecoveryFilters& filters, FileTypeGroup group);
// all → every covered kind off; none or some → every covered kind on.
RecoveryFilters toggledGroup(RecoveryFilters filters, FileTypeGroup group);
// "square", "checkmark.square.fill", "minus.square.fill".
QString groupCheckboxSymbol(GroupSelection selection);
// The label of a kind's switch ("CRW (Canon RAW)", "MP3 (ID3)"); only "Unknown" is translated.
QString kindLabel(RecoveredFileKind kind);
void toggleExpanded(std::set<FileTypeGroup>& expanded, FileTypeGroup group);

// The minimum byte size typed by the user, as an integer of the locale ("8,192" or "8192"); nothing for
// text that is no such number, is negative or does not fit 64 bits (the field keeps its value).
std::optional<std::uint64_t> parseMinimumByteSize(const QString& text);
// A picture side typed by the user: nothing for text that is no integer; a value of 0 or less clears
// the minimum (the outer optional holds an empty one), a positive value sets it.
std::optional<std::optional<std::int64_t>> parseMinimumSide(const QString& text);
// The text a side field shows: the value, or 0 without one.
QString sideText(const std::optional<std::int64_t>& side);
QString byteSizeText(std::uint64_t bytes);

} // namespace vantrel::FilterSidebarLogic
