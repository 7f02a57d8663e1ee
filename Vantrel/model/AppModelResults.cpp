// AppModel: the hits and the displayed list that follows them under the results query.

#include "Vantrel/model/AppModel.h"

#include <algorithm>

namespace vantrel {

// ---- The query.

void AppModel::setResultsIntegrityFilter(ResultsIntegrityFilter filter) {
    auto query = m_query;
    query.integrityFilter = filter;
    applyQuery(query);
}

void AppModel::setResultsCaptureDateFrom(std::optional<HitDate> date) {
    auto query = m_query;
    query.captureDateFrom = date;
    applyQuery(query);
}

void AppModel::setResultsCaptureDateTo(std::optional<HitDate> date) {
    auto query = m_query;
    query.captureDateTo = date;
    applyQuery(query);
}

void AppModel::setResultsSort(ResultsSort sort) {
    auto query = m_query;
    query.sort = sort;
    applyQuery(query);
}

void AppModel::setResultsQuery(ResultsQuery query) {
    applyQuery(std::move(query));
}

void AppModel::applyQuery(ResultsQuery query) {
    if (query == m_query) return;
    const ResultsQuery previous = std::exchange(m_query, std::move(query));
    m_window = CaptureDay::Window::of(m_query.captureDateFrom, m_query.captureDateTo);
    // A filter change keeps the order: the ordered list is only filtered again. Without a filter the
    // displayed rows are that list (it is kept apart only while a filter is active).
    if (previous.sort == m_query.sort) {
        if (previous.integrityFilter == ResultsIntegrityFilter::all && !previous.captureDateFrom && !previous.captureDateTo)
            m_ordered.assign(m_displayed.toVector());
        refilterDisplayedHits();
    } else {
        refreshDisplayedHits();
    }
    // A hit the list no longer shows leaves the selection: what is recovered is what is seen selected.
    if (!m_selectedHitIDs.empty()) {
        std::set<Uuid> shown;
        for (const Uuid& id : m_selectedHitIDs)
            if (const RecoveredHit* selected = hit(id); selected && passes(*selected)) shown.insert(id);
        setSelectedHitIDs(std::move(shown));
    }
    if (previous.integrityFilter != m_query.integrityFilter) emit fieldChanged(Field::resultsIntegrityFilter);
    if (previous.captureDateFrom != m_query.captureDateFrom) emit fieldChanged(Field::resultsCaptureDateFrom);
    if (previous.captureDateTo != m_query.captureDateTo) emit fieldChanged(Field::resultsCaptureDateTo);
    if (previous.sort != m_query.sort) emit fieldChanged(Field::resultsSort);
}

void AppModel::clearCaptureDateFilter() {
    setResultsCaptureDateFrom(std::nullopt);
    setResultsCaptureDateTo(std::nullopt);
}

bool AppModel::isCaptureDateFilterActive() const {
    return m_query.captureDateFrom || m_query.captureDateTo;
}

bool AppModel::hasActiveResultsFilter() const {
    return isCaptureDateFilterActive() || m_query.integrityFilter != ResultsIntegrityFilter::all;
}

bool AppModel::hasCaptureDates() const {
    return std::any_of(m_hits.begin(), m_hits.end(), [](const RecoveredHit& hit) { return hit.captureDate.has_value(); });
}

HitDate AppModel::captureDateRangeStart() const {
    std::optional<HitDate> earliest;
    for (const auto& hit : m_hits)
        if (hit.captureDate && (!earliest || *hit.captureDate < *earliest)) earliest = hit.captureDate;
    return CaptureDay::startOfDay(earliest.value_or(CaptureDay::clockFaceNow(m_effects.clock->now())));
}

HitDate AppModel::captureDateRangeEnd() const {
    std::optional<HitDate> latest;
    for (const auto& hit : m_hits)
        if (hit.captureDate && (!latest || *hit.captureDate > *latest)) latest = hit.captureDate;
    return CaptureDay::startOfDay(latest.value_or(CaptureDay::clockFaceNow(m_effects.clock->now())));
}

// ---- The hits.

const RecoveredHit* AppModel::hit(const Uuid& id) const {
    const auto position = positionOf(id);
    return position ? &m_hits[*position] : nullptr;
}

std::optional<std::size_t> AppModel::positionOf(const Uuid& id) const {
    const auto sequence = m_sequenceOf.find(id);
    if (!sequence) return std::nullopt;
    // Arrival numbers only grow and are never repeated, so a hit sits no further in than its number's
    // distance from the first one; it sits exactly there until a hit before it is removed.
    if (m_sequence.empty()) return std::nullopt;
    const std::uint64_t furthest = *sequence - m_sequence.front();
    if (furthest < m_sequence.size() && m_sequence[furthest] == *sequence) return static_cast<std::size_t>(furthest);
    const auto at = std::lower_bound(m_sequence.begin(), m_sequence.end(), *sequence);
    return static_cast<std::size_t>(at - m_sequence.begin());
}

void AppModel::storeHit(RecoveredHit hit) {
    // Identities key the selection and every queue; a repeated one would make two hits one.
    const std::uint64_t sequence = m_nextSequence++;
    while (!m_sequenceOf.insert(hit.id, sequence)) hit.id = Uuid::random();
    m_sequence.push_back(sequence);
    // The name's collation key waits until an order by name needs it.
    m_keys.push_back(ResultsOrder::keysOf(hit, *m_typeRanks));
    if (isImplausibleHit(hit)) ++m_implausibleStored;
    m_hits.push_back(std::move(hit));
}

void AppModel::setHits(std::vector<RecoveredHit> hits) {
    m_hits.clear();
    m_implausibleStored = 0;
    m_sequence.clear();
    m_nameKeys.clear();
    m_keys.clear();
    m_sequenceOf.clear();
    m_sortScratch.release();
    for (auto& hit : hits) storeHit(std::move(hit));
    emit fieldChanged(Field::hits);
    refreshDisplayedHits();
}

void AppModel::makeNameKeysIfSorted() {
    if (!ResultsOrder::usesNameKeys(m_query.sort)) return;
    m_nameKeys.makeUpTo(m_hits.size(), [this](std::size_t position) -> std::string_view { return m_hits[position].suggestedName; },
                        *m_collator);
}

void AppModel::appendHit(RecoveredHit hit) {
    storeHit(std::move(hit));
    makeNameKeysIfSorted();
    emit fieldChanged(Field::hits);
    const auto position = static_cast<Position>(m_hits.size() - 1);
    if (hasActiveResultsFilter())
        m_ordered.insert(m_ordered.lowerBound(position, [this](Position a, Position b) { return displayedBefore(a, b); }), position);
    if (!passes(m_hits.back())) return;
    const std::size_t row = m_displayed.lowerBound(position, [this](Position a, Position b) { return displayedBefore(a, b); });
    m_displayed.insert(row, position);
    emit displayedHitsInserted(static_cast<int>(row));
    emit fieldChanged(Field::displayedHits);
}

bool AppModel::updateHit(const RecoveredHit& changed) {
    const auto found = positionOf(changed.id);
    if (!found) return false;
    const auto position = static_cast<Position>(*found);
    // The row is found by the values the list was sorted with, so before the new ones are stored.
    const auto oldRow = passes(m_hits[position]) ? rowOfPosition(position) : std::nullopt;
    const bool keepsOrdered = hasActiveResultsFilter();
    const auto orderedRow = keepsOrdered ? orderedRowOf(position) : std::nullopt;
    if (changed.suggestedName != m_hits[position].suggestedName) m_nameKeys.rename(position, changed.suggestedName, *m_collator);
    m_keys[position] = ResultsOrder::keysOf(changed, *m_typeRanks);
    if (isImplausibleHit(changed)) ++m_implausibleStored;
    m_hits[position] = changed;
    // A hit whose new values keep it between its neighbours keeps its row (a verdict under most orders):
    // the lists are not touched.
    if (keepsOrdered && !(orderedRow && staysInPlace(m_ordered, *orderedRow))) {
        if (orderedRow) m_ordered.erase(*orderedRow);
        m_ordered.insert(m_ordered.lowerBound(position, [this](Position a, Position b) { return displayedBefore(a, b); }), position);
    }
    emit fieldChanged(Field::hits);

    const bool shown = passes(changed);
    if (!oldRow && !shown) return true;
    if (oldRow && shown && staysInPlace(m_displayed, *oldRow)) {
        emit displayedHitChanged(static_cast<int>(*oldRow));
        emit fieldChanged(Field::displayedHits);
        return true;
    }
    if (oldRow) m_displayed.erase(*oldRow);
    if (shown) {
        const std::size_t row = m_displayed.lowerBound(position, [this](Position a, Position b) { return displayedBefore(a, b); });
        m_displayed.insert(row, position);
        if (!oldRow)
            emit displayedHitsInserted(static_cast<int>(row));
        else if (*oldRow == row)
            emit displayedHitChanged(static_cast<int>(row));
        else
            emit displayedHitMoved(static_cast<int>(*oldRow), static_cast<int>(row));
    } else {
        emit displayedHitsRemoved(static_cast<int>(*oldRow));
        if (m_selectedHitIDs.contains(changed.id)) {
            auto selection = m_selectedHitIDs;
            selection.erase(changed.id);
            setSelectedHitIDs(std::move(selection));
        }
    }
    emit fieldChanged(Field::displayedHits);
    return true;
}

bool AppModel::removeHit(const Uuid& hitId) {
    // A copy: the caller may pass the identity of the very hit that is erased below.
    const Uuid id = hitId;
    const auto found = positionOf(id);
    if (!found) return false;
    const auto position = static_cast<Position>(*found);
    const auto row = passes(m_hits[position]) ? rowOfPosition(position) : std::nullopt;
    if (row) m_displayed.erase(*row);
    if (const auto orderedRow = hasActiveResultsFilter() ? orderedRowOf(position) : std::nullopt) m_ordered.erase(*orderedRow);
    m_ordered.closeGap(position);
    const auto offset = static_cast<std::ptrdiff_t>(position);
    m_hits.erase(position);
    m_sequence.erase(m_sequence.begin() + offset);
    m_nameKeys.erase(position);
    m_keys.erase(position);
    m_sequenceOf.erase(id);
    m_displayed.closeGap(position);
    emit fieldChanged(Field::hits);
    if (row) {
        emit displayedHitsRemoved(static_cast<int>(*row));
        emit fieldChanged(Field::displayedHits);
    }
    return true;
}

std::size_t AppModel::removeHitsIf(const std::function<bool(const RecoveredHit&)>& pick) {
    std::size_t kept = 0;
    std::vector<char> removedNameKeys;
    for (std::size_t i = 0; i < m_hits.size(); ++i) {
        if (pick(m_hits[i])) {
            m_sequenceOf.erase(m_hits[i].id);
            if (i < m_nameKeys.madeCount()) {
                removedNameKeys.resize(m_nameKeys.madeCount(), 0);
                removedNameKeys[i] = 1;
            }
            continue;
        }
        if (kept != i) {
            m_hits[kept] = std::move(m_hits[i]);
            m_sequence[kept] = m_sequence[i];
            m_keys[kept] = m_keys[i];
        }
        ++kept;
    }
    const std::size_t removed = m_hits.size() - kept;
    if (removed == 0) return 0;
    m_hits.resize(kept);
    m_sequence.resize(kept);
    if (!removedNameKeys.empty()) m_nameKeys.removeWhere(removedNameKeys);
    m_keys.resize(kept);
    emit fieldChanged(Field::hits);
    refreshDisplayedHits();
    return removed;
}

void AppModel::resetResults() {
    resetScanState();
    m_hits.clear();
    m_implausibleStored = 0;
    m_sequence.clear();
    m_nameKeys.clear();
    m_keys.clear();
    m_sequenceOf.clear();
    m_ordered.clear();
    m_displayed.clear();
    m_sortScratch.release();
    m_undeleteNaming = UndeleteNamingState{};
    m_plain.pendingIntegrityIDs.clear();
    m_plain.resultsSource.reset();
    m_plain.resultsDiskAttached = true;
    m_plain.scannedDiskMark.reset();
    m_plain.sourceRefusal.reset();
    resolveCatalogDiskQuestion(false);
    m_plain.diskSearchTried.clear();
    ++m_plain.diskSearchGeneration;
    m_plain.resultsScanEnd.reset();
    setSelectedHitIDs({});
    // The sort order, the status filter and the date range stay for the next disk's results.
    m_window = CaptureDay::Window{};
    emit fieldChanged(Field::hits);
    emit displayedHitsReset();
    emit fieldChanged(Field::displayedHits);
}

// ---- The displayed list.

bool AppModel::passes(const RecoveredHit& hit) const {
    return ResultsIntegrityFilterName::matches(m_query.integrityFilter, hit.integrity) && m_window.admits(hit.captureDate);
}

bool AppModel::passes(const ResultsOrder::HitKeys& keys) const {
    return ResultsIntegrityFilterName::matches(m_query.integrityFilter, keys.integrity) && m_window.admits(keys.captureDate());
}

bool AppModel::displayedBefore(Position a, Position b) const {
    // From the keys kept beside the hits, as the whole list is sorted, never touching a hit: a search for
    // a row in a million compares a few dozen small records, and in arrival order none at all.
    int byKey = 0;
    if (ResultsOrder::usesNameKeys(m_query.sort)) {
        // The name orders have every key made.
        byKey = m_nameKeys[a].text().compare(m_nameKeys[b].text());
        if (m_query.sort == ResultsSort::nameDescending) byKey = -byKey;
    } else if (m_query.sort != ResultsSort::discovery) {
        byKey = ResultsOrder::compareKept(m_query.sort, m_keys[a], m_keys[b]);
    }
    return byKey != 0 ? byKey < 0 : a < b;
}

bool AppModel::staysInPlace(const DisplayRows& rows, std::size_t row) const {
    const Position position = rows.at(row);
    return (row == 0 || displayedBefore(rows.at(row - 1), position)) && (row + 1 == rows.size() || displayedBefore(position, rows.at(row + 1)));
}

std::optional<std::size_t> AppModel::rowOfPosition(Position position) const {
    const std::size_t row = m_displayed.lowerBound(position, [this](Position a, Position b) { return displayedBefore(a, b); });
    if (row < m_displayed.size() && m_displayed.at(row) == position) return row;
    return m_displayed.find(position);
}

std::optional<std::size_t> AppModel::orderedRowOf(Position position) const {
    const std::size_t row = m_ordered.lowerBound(position, [this](Position a, Position b) { return displayedBefore(a, b); });
    if (row < m_ordered.size() && m_ordered.at(row) == position) return row;
    return m_ordered.find(position);
}

void AppModel::refreshDisplayedHits() {
    // Sorted from the keys kept beside the hits, never touching a hit.
    makeNameKeysIfSorted();
    const std::vector<Position>& positions = ResultsOrder::sortedPositions(m_query.sort, m_keys, m_nameKeys.keys(), m_sortScratch);
    if (!hasActiveResultsFilter()) {
        // The displayed rows are the ordered list.
        m_ordered.clear();
        m_displayed.assign(positions);
        emit displayedHitsReset();
        emit fieldChanged(Field::displayedHits);
        return;
    }
    m_ordered.assign(positions);
    refilterDisplayedHits();
}

void AppModel::refilterDisplayedHits() {
    std::vector<Position> positions = m_ordered.toVector();
    if (!hasActiveResultsFilter()) {
        m_ordered.clear();  // the displayed rows are the ordered list now
    } else {
        // Which hits pass, found in one pass in arrival order; the ordered list is then read in order.
        std::vector<std::uint8_t> passing;
        passing.reserve(m_keys.size());
        m_keys.forEachRun([&](const ResultsOrder::HitKeys* run, std::size_t count) {
            for (const auto* keys = run; keys != run + count; ++keys) passing.push_back(passes(*keys) ? 1 : 0);
        });
        std::erase_if(positions, [&passing](Position position) { return passing[position] == 0; });
    }
    m_displayed.assign(positions);
    emit displayedHitsReset();
    emit fieldChanged(Field::displayedHits);
}

const RecoveredHit& AppModel::displayedHit(std::size_t row) const {
    return m_hits[m_displayed.at(row)];
}

std::vector<RecoveredHit> AppModel::displayedHits() const {
    std::vector<RecoveredHit> result;
    result.reserve(m_displayed.size());
    for (const auto position : m_displayed.toVector()) result.push_back(m_hits[position]);
    return result;
}

std::optional<std::size_t> AppModel::displayedRow(const Uuid& id) const {
    const auto position = positionOf(id);
    if (!position || !passes(m_hits[*position])) return std::nullopt;
    return rowOfPosition(static_cast<Position>(*position));
}

} // namespace vantrel
