// AppModel: the hits and the displayed list that follows them under the results query.

#include "Vantrel/model/AppModel.h"

#include "Vantrel/async/Awaitables.h"
#include "support/log/AppLog.h"

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
    // displayed rows are that list (it is kept apart only while a filter is active). An order that waits
    // for its keys leaves the list as it is.
    const bool filtersChanged = previous.integrityFilter != m_query.integrityFilter || previous.captureDateFrom != m_query.captureDateFrom ||
                                previous.captureDateTo != m_query.captureDateTo;
    // A hit the list no longer shows leaves the selection: what is recovered is what is seen selected. An
    // order hides nothing. The selection is thinned before the list is reset, so that the table finds the
    // rows it keeps selected once, and the change is told after the list's; the filters are read once for
    // both.
    PassingOnce passing{*this};
    const bool thinned = filtersChanged && thinSelectionToShown(passing);
    if (orderToList() == m_listedSort) {
        if (filtersChanged) {
            if (previous.integrityFilter == ResultsIntegrityFilter::all && !previous.captureDateFrom && !previous.captureDateTo)
                m_ordered.assign(m_displayed.toVector());
            refilterDisplayedHits(passing);
        }
    } else {
        refreshDisplayedHits(passing);
    }
    if (thinned) emit fieldChanged(Field::selectedHitIDs);
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

// The dates are read from the keys kept beside the hits: small records, one after the other.
bool AppModel::hasCaptureDates() const {
    bool dated = false;
    m_keys.forEachRun([&dated](const ResultsOrder::HitKeys* run, std::size_t count) {
        dated = dated || std::any_of(run, run + count, [](const ResultsOrder::HitKeys& keys) { return keys.hasCaptureDate; });
    });
    return dated;
}

std::optional<HitDate> AppModel::extremeCaptureDate(bool latest) const {
    std::optional<std::int64_t> extreme;
    m_keys.forEachRun([&](const ResultsOrder::HitKeys* run, std::size_t count) {
        for (const auto* keys = run; keys != run + count; ++keys)
            if (keys->hasCaptureDate && (!extreme || (latest ? keys->captureTicks > *extreme : keys->captureTicks < *extreme)))
                extreme = keys->captureTicks;
    });
    if (!extreme) return std::nullopt;
    return HitDate(HitDate::duration(*extreme));
}

HitDate AppModel::captureDateRangeStart() const {
    return CaptureDay::startOfDay(extremeCaptureDate(false).value_or(CaptureDay::clockFaceNow(m_effects.clock->now())));
}

HitDate AppModel::captureDateRangeEnd() const {
    return CaptureDay::startOfDay(extremeCaptureDate(true).value_or(CaptureDay::clockFaceNow(m_effects.clock->now())));
}

void AppModel::editSelection(const HitSelection& ids, SelectionEdit edit) {
    // Many are merged with the selection in one pass; a few go in and out where they belong, the
    // selection's positions, when known, along with them.
    if (ids.size() * bulkSelectionShare >= m_selectedHitIDs.size()) {
        std::vector<Uuid> merged;
        const auto into = std::back_inserter(merged);
        const HitSelection& was = m_selectedHitIDs;
        switch (edit) {
        case SelectionEdit::add: std::set_union(was.begin(), was.end(), ids.begin(), ids.end(), into); break;
        case SelectionEdit::remove: std::set_difference(was.begin(), was.end(), ids.begin(), ids.end(), into); break;
        case SelectionEdit::toggle: std::set_symmetric_difference(was.begin(), was.end(), ids.begin(), ids.end(), into); break;
        }
        setSelectedHitIDs(HitSelection(std::move(merged)));
        return;
    }
    const bool positionsKnown = m_selectionPositionsOf == std::pair{m_selectionVersion, m_layoutVersion};
    std::vector<std::uint64_t>& positions = m_selectionScratch;
    bool changed = false;
    for (const Uuid& id : ids) {
        const std::size_t index = m_selectedHitIDs.indexOf(id);
        const bool in = index < m_selectedHitIDs.size() && m_selectedHitIDs.ids()[index] == id;
        // Added only when out, removed only when in; a toggle always changes it.
        if ((edit == SelectionEdit::add && in) || (edit == SelectionEdit::remove && !in)) continue;
        changed = true;
        if (in) m_selectedHitIDs.erase(id);
        else m_selectedHitIDs.insert(id);
        if (!positionsKnown) continue;
        const auto at = positions.begin() + static_cast<std::ptrdiff_t>(index);
        if (in) positions.erase(at);
        else positions.insert(at, positionOf(id).value_or(noPosition));
    }
    if (!changed) return;
    ++m_selectionVersion;
    if (positionsKnown) m_selectionPositionsOf = {m_selectionVersion, m_layoutVersion};
    emit fieldChanged(Field::selectedHitIDs);
}

void AppModel::dropRemovedRowFromSelection(const Uuid& id) {
    // Taken out where it is: a copy of a large selection for each hit hidden would cost a pass each, and
    // so would finding the selection's positions again.
    const std::size_t index = m_selectedHitIDs.indexOf(id);
    if (index >= m_selectedHitIDs.size() || m_selectedHitIDs.ids()[index] != id) return;
    const bool positionsKnown = m_selectionPositionsOf == std::pair{m_selectionVersion, m_layoutVersion};
    m_selectedHitIDs.erase(id);
    if (positionsKnown) m_selectionScratch.erase(m_selectionScratch.begin() + static_cast<std::ptrdiff_t>(index));
    ++m_selectionVersion;
    if (positionsKnown) m_selectionPositionsOf = {m_selectionVersion, m_layoutVersion};
    m_removedRowDropAt = m_selectionVersion;
    emit fieldChanged(Field::selectedHitIDs);
}

bool AppModel::thinSelectionToShown(PassingOnce& passing) {
    if (m_selectedHitIDs.empty()) return false;
    std::size_t dropped = 0;
    // A few hits are looked up one by one; many (it may be every one of a million) in one pass over the
    // selection, with the filters read once for every hit, in order, from the keys kept beside the hits.
    if (m_selectedHitIDs.size() * bulkSelectionShare < m_hits.size()) {
        dropped = m_selectedHitIDs.eraseAt([this, ids = m_selectedHitIDs.ids()](std::size_t index) {
            const auto position = positionOf(ids[index]);
            return !position || !passes(m_keys[*position]);
        });
        if (dropped != 0) ++m_selectionVersion;
        return dropped != 0;
    }
    const std::vector<std::uint8_t>& shown = passing.flags();
    std::vector<std::uint64_t>& positions = positionsOfSelection();
    // The positions of the identities kept move down with them, and stay those of the selection.
    std::size_t kept = 0;
    dropped = m_selectedHitIDs.eraseAt([&](std::size_t index) {
        const std::uint64_t position = positions[index];
        if (position == noPosition || !shown[position]) return true;
        positions[kept++] = position;
        return false;
    });
    positions.resize(kept);
    if (dropped == 0) return false;
    ++m_selectionVersion;
    m_selectionPositionsOf = {m_selectionVersion, m_layoutVersion};
    return true;
}

const std::vector<std::uint8_t>& AppModel::passingFlags() const {
    std::vector<std::uint8_t>& passing = m_passingScratch;
    passing.resize(m_keys.size());
    std::size_t position = 0;
    m_keys.forEachRun([&](const ResultsOrder::HitKeys* run, std::size_t count) {
        for (const auto* keys = run; keys != run + count; ++keys) passing[position++] = passes(*keys) ? 1 : 0;
    });
    return passing;
}

std::vector<std::uint64_t>& AppModel::positionsOfSelection() const {
    // Kept while neither the selection nor the hits' places change: a list's reset after a thinned
    // selection, and every change of order, read them again.
    const std::pair<std::uint64_t, std::uint64_t> current{m_selectionVersion, m_layoutVersion};
    if (m_selectionPositionsOf == current) return m_selectionScratch;
    m_selectionPositionsOf = current;
    // The arrival numbers first, then each turned into its position where it lies.
    std::vector<std::uint64_t>& sequences = m_selectionScratch;
    m_sequenceOf.findAll(m_selectedHitIDs.ids(), sequences);
    std::vector<std::uint64_t>& positions = sequences;
    if (m_sequence.empty()) {
        std::fill(positions.begin(), positions.end(), noPosition);
        return positions;
    }
    // As positionOf finds each: a hit sits where its arrival number's distance from the first one says,
    // unless hits before it were removed. Those places are fetched ahead too.
    constexpr std::size_t ahead = 16;
    const std::uint64_t first = m_sequence.front();
    const auto furthest = [&](std::size_t index) { return sequences[index] - first; };
    const auto fetch = [&](std::size_t index) {
        if (sequences[index] != HitIdIndex::absent && furthest(index) < m_sequence.size()) __builtin_prefetch(&m_sequence[furthest(index)]);
    };
    for (std::size_t i = 0; i < std::min(ahead, sequences.size()); ++i) fetch(i);
    static_assert(HitIdIndex::absent == noPosition);
    for (std::size_t i = 0; i < sequences.size(); ++i) {
        if (i + ahead < sequences.size()) fetch(i + ahead);
        const std::uint64_t sequence = sequences[i];
        if (sequence == HitIdIndex::absent) continue;
        const std::uint64_t at = sequence - first;
        if (at < m_sequence.size() && m_sequence[at] == sequence) {
            positions[i] = at;
        } else {
            const auto found = std::lower_bound(m_sequence.begin(), m_sequence.end(), sequence);
            positions[i] = found != m_sequence.end() && *found == sequence ? static_cast<std::uint64_t>(found - m_sequence.begin()) : noPosition;
        }
    }
    return positions;
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
    // A selected identity that had no hit has one now: the selection's positions are found anew.
    if (!m_selectedHitIDs.empty() && m_selectedHitIDs.contains(hit.id)) ++m_layoutVersion;
    m_sequence.push_back(sequence);
    // The name's collation key waits until an order by name needs it.
    m_keys.push_back(ResultsOrder::keysOf(hit, *m_typeRanks));
    if (isImplausibleHit(hit)) ++m_implausibleStored;
    m_hits.push_back(std::move(hit));
}

void AppModel::setHits(std::vector<RecoveredHit> hits) {
    ++m_layoutVersion;
    m_hits.clear();
    m_implausibleStored = 0;
    m_sequence.clear();
    m_nameKeys.clear();
    m_nameKeying.reset();  // a making under way was for the hits replaced
    m_keys.clear();
    m_sequenceOf.clear();
    m_sortScratch.release();
    m_nameOrder.reset();
    m_selectionScratch = {};
    m_passingScratch = {};
    m_chosenScratch = {};
    for (auto& hit : hits) storeHit(std::move(hit));
    emit fieldChanged(Field::hits);
    refreshDisplayedHits();
}

void AppModel::makeNameKeys() {
    m_nameKeys.makeUpTo(m_hits.size(), [this](std::size_t position) -> std::string_view { return m_hits[position].suggestedName; },
                        *m_collator);
}

void AppModel::makeNameKeysIfListed() {
    if (ResultsOrder::usesNameKeys(m_listedSort)) makeNameKeys();
}

ResultsSort AppModel::orderToList() {
    if (!ResultsOrder::usesNameKeys(m_query.sort)) return m_query.sort;
    // Keys being made cover the hits without one: they are waited for, however few are missing.
    if (!m_nameKeying && m_hits.size() - m_nameKeys.madeCount() <= nameKeysMadeInStep) {
        makeNameKeys();
        return m_query.sort;
    }
    if (!m_nameKeying) startNameKeying();
    // A name order listed before lost its keys with its hits (new hits): arrival order until the keys are made.
    return ResultsOrder::usesNameKeys(m_listedSort) ? ResultsSort::discovery : m_listedSort;
}

void AppModel::startNameKeying() {
    m_nameKeying = NameKeying{++m_lastNameKeying, {}};
    tasks().spawn(nameKeyingTask(m_nameKeying->id));
}

Task<void> AppModel::nameKeyingTask(std::uint64_t id) {
    // The names are copied out, a slice a turn, as the hits go on changing here meanwhile; their arrival
    // numbers find their hits again. The hits may have been replaced before the first turn, too.
    if (!m_nameKeying || m_nameKeying->id != id) co_return;
    auto names = std::make_shared<TakenNames>();
    const std::size_t missing = m_hits.size() - m_nameKeys.madeCount();
    names->reserve(missing, missing * 24);
    for (std::size_t position = m_nameKeys.madeCount();;) {
        const std::size_t end = std::min(m_hits.size(), position + namesTakenInStep);
        for (; position < end; ++position) names->add(m_hits[position].suggestedName, m_sequence[position]);
        if (position >= m_hits.size()) break;
        co_await nextTurn();
        if (!m_nameKeying || m_nameKeying->id != id) co_return;
        // Removals meanwhile moved the hits not taken yet down.
        position = names->size() == 0 ? m_nameKeys.madeCount()
                                      : static_cast<std::size_t>(std::upper_bound(m_sequence.begin(), m_sequence.end(), names->sequence(names->size() - 1)) -
                                                                 m_sequence.begin());
    }
    // The keys, and the memory of the sort that follows, touched there rather than here. Names taken from
    // the first hit on are sorted there too, in the order asked for when they were taken: while no hit
    // comes, goes or is renamed meanwhile, that is the list's order by name.
    struct Made {
        NameKeys::Batch keys;
        ResultsOrder::SortScratch scratch;
        std::optional<ResultsSort> sorted;
        std::vector<std::uint32_t> order;
    };
    std::shared_ptr<Made> made;
    const bool fromTheFirst = m_nameKeys.madeCount() == 0;
    try {
        std::shared_ptr<const NameCollator> collator = m_collator->clone();
        auto worker = m_keyWorker;
        const std::size_t listed = m_hits.size();
        const std::optional<ResultsSort> sortThere =
            fromTheFirst && ResultsOrder::usesNameKeys(m_query.sort) ? std::optional(m_query.sort) : std::nullopt;
        auto start = [worker, names, collator, listed, sortThere](CallbackResumer<std::shared_ptr<Made>> resume) {
            worker->submit([resume, names, collator, listed, sortThere] {
                try {
                    auto result = std::make_shared<Made>();
                    result->keys = NameKeys::make(names->size(), [&names](std::size_t index) { return (*names)[index]; }, *collator);
                    result->scratch.reserveFor(listed, 2);
                    if (sortThere) {
                        result->order = ResultsOrder::sortedNamePositions(*sortThere, result->keys.keys(), result->scratch);
                        result->sorted = sortThere;
                    }
                    resume(std::move(result));
                } catch (...) {
                    resume.fail(std::current_exception());
                }
            });
        };
        made = co_await fromCallback<std::shared_ptr<Made>>(start);
    } catch (const std::exception& error) {
        AppLog::error(std::string("name keys not made on a worker: ") + error.what(), "results");
    }
    // Hits replaced meanwhile take the keys of their own making.
    if (!m_nameKeying || m_nameKeying->id != id) co_return;
    std::vector<std::uint64_t> renamed = std::move(m_nameKeying->renamed);
    m_nameKeying.reset();
    if (made) {
        const bool unchanged = fromTheFirst && m_nameKeys.madeCount() == 0 && renamed.empty() && names->size() == m_hits.size() &&
                               !m_sequence.empty() && m_sequence.front() == names->sequence(0) && m_sequence.back() == names->sequence(names->size() - 1);
        adoptNameKeys(*names, std::move(made->keys), std::move(renamed));
        if (unchanged && made->sorted && made->order.size() == m_nameKeys.madeCount())
            m_nameOrder = NameOrder{*made->sorted, m_nameKeys.version(), std::move(made->order)};
        if (m_sortScratch.capacity() < made->scratch.capacity()) {
            made->scratch.lanes = m_sortScratch.lanes;
            m_sortScratch = std::move(made->scratch);
        }
    } else {
        // Made here then, as they would be without a worker.
        makeNameKeys();
    }
    // The order asked for now, which may be another one than when the making started.
    if (orderToList() != m_listedSort) refreshDisplayedHits();
}

void AppModel::adoptNameKeys(const TakenNames& names, NameKeys::Batch batch, std::vector<std::uint64_t> renamed) {
    // The taken names were those of the hits from the first without a key on; since then some of those
    // hits may have been removed (every hit before them keeps its key), and others appended after them.
    const std::size_t first = m_nameKeys.madeCount();
    const std::size_t count = names.size();
    // Arrival numbers grow, and hits arriving later sit after these: with the first and the last taken
    // hit where they were, every one is.
    const bool allThere = count > 0 && first + count <= m_hits.size() && m_sequence[first] == names.sequence(0) &&
                          m_sequence[first + count - 1] == names.sequence(count - 1);
    if (allThere) {
        m_nameKeys.append(std::move(batch));
    } else {
        std::vector<std::uint32_t> picked;
        picked.reserve(count);
        std::size_t position = first;
        for (std::size_t index = 0; index < count && position < m_hits.size(); ++index) {
            if (m_sequence[position] != names.sequence(index)) continue;  // removed
            picked.push_back(static_cast<std::uint32_t>(index));
            ++position;
        }
        m_nameKeys.append(std::move(batch), &picked);
    }
    for (const std::uint64_t sequence : renamed) {
        const auto at = std::lower_bound(m_sequence.begin(), m_sequence.end(), sequence);
        const auto renamedAt = static_cast<std::size_t>(at - m_sequence.begin());
        if (at != m_sequence.end() && *at == sequence && renamedAt < m_nameKeys.madeCount())
            m_nameKeys.rename(renamedAt, m_hits[renamedAt].suggestedName, *m_collator);
    }
}

void AppModel::appendHit(RecoveredHit hit) {
    storeHit(std::move(hit));
    makeNameKeysIfListed();
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
    if (changed.suggestedName != m_hits[position].suggestedName) {
        if (position < m_nameKeys.madeCount()) m_nameKeys.rename(position, changed.suggestedName, *m_collator);
        else if (m_nameKeying) m_nameKeying->renamed.push_back(m_sequence[position]);
    }
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
        dropRemovedRowFromSelection(changed.id);
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
    ++m_layoutVersion;
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
    ++m_layoutVersion;
    m_hits.resize(kept);
    m_sequence.resize(kept);
    if (!removedNameKeys.empty()) m_nameKeys.removeWhere(removedNameKeys);
    m_keys.resize(kept);
    emit fieldChanged(Field::hits);
    refreshDisplayedHits();
    return removed;
}

void AppModel::resetResults() {
    ++m_layoutVersion;
    resetScanState();
    m_hits.clear();
    m_implausibleStored = 0;
    m_sequence.clear();
    m_nameKeys.clear();
    m_nameKeying.reset();
    m_keys.clear();
    m_sequenceOf.clear();
    m_ordered.clear();
    m_displayed.clear();
    // No hit waits for a key: the list takes the order asked for.
    m_listedSort = m_query.sort;
    m_sortScratch.release();
    m_nameOrder.reset();
    m_selectionScratch = {};
    m_passingScratch = {};
    m_chosenScratch = {};
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
    if (ResultsOrder::usesNameKeys(m_listedSort)) {
        // Listed by name, every key is made.
        byKey = m_nameKeys[a].text().compare(m_nameKeys[b].text());
        if (m_listedSort == ResultsSort::nameDescending) byKey = -byKey;
    } else if (m_listedSort != ResultsSort::discovery) {
        byKey = ResultsOrder::compareKept(m_listedSort, m_keys[a], m_keys[b]);
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

const std::vector<AppModel::Position>& AppModel::listedPositions() {
    if (!ResultsOrder::usesNameKeys(m_listedSort)) return ResultsOrder::sortedPositions(m_listedSort, m_keys, m_nameKeys.keys(), m_sortScratch);
    // The keys unchanged since the last order by name: that order, or its reverse for the other direction.
    if (m_nameOrder && m_nameOrder->keysVersion == m_nameKeys.version() && m_nameOrder->positions.size() == m_nameKeys.madeCount()) {
        if (m_nameOrder->sort != m_listedSort) {
            ResultsOrder::reverseNameOrder(m_nameKeys.keys(), m_nameOrder->positions);
            m_nameOrder->sort = m_listedSort;
        }
        return m_nameOrder->positions;
    }
    const auto& sorted = ResultsOrder::sortedPositions(m_listedSort, m_keys, m_nameKeys.keys(), m_sortScratch);
    m_nameOrder = NameOrder{m_listedSort, m_nameKeys.version(), sorted};
    return m_nameOrder->positions;
}

void AppModel::refreshDisplayedHits() {
    PassingOnce passing{*this};
    refreshDisplayedHits(passing);
}

void AppModel::refreshDisplayedHits(PassingOnce& passing) {
    // Sorted from the keys kept beside the hits, never touching a hit.
    m_listedSort = orderToList();
    const std::vector<Position>& positions = listedPositions();
    if (!hasActiveResultsFilter()) {
        // The displayed rows are the ordered list.
        m_ordered.clear();
        m_displayed.assign(positions);
        emit displayedHitsReset();
        emit fieldChanged(Field::displayedHits);
        return;
    }
    m_ordered.assign(positions);
    refilterDisplayedHits(passing);
}

void AppModel::refilterDisplayedHits(PassingOnce& passing) {
    std::vector<Position> positions = m_ordered.toVector();
    if (!hasActiveResultsFilter()) {
        m_ordered.clear();  // the displayed rows are the ordered list now
    } else {
        // Which hits pass, found in one pass in arrival order; the ordered list is then read in order.
        const std::vector<std::uint8_t>& shown = passing.flags();
        std::erase_if(positions, [&shown](Position position) { return shown[position] == 0; });
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

std::vector<std::size_t> AppModel::selectedDisplayedRows() const {
    std::vector<std::size_t> rows;
    selectedDisplayedRows(rows);
    return rows;
}

void AppModel::selectedDisplayedRows(std::vector<std::size_t>& rows) const {
    rows.clear();
    if (m_selectedHitIDs.empty()) return;
    // A few selected hits are searched for in the list; many are marked by position, and the list read once.
    if (m_selectedHitIDs.size() * bulkSelectionShare < m_displayed.size()) {
        for (const Uuid& id : m_selectedHitIDs)
            if (const auto row = displayedRow(id)) rows.push_back(*row);
        std::sort(rows.begin(), rows.end());
        return;
    }
    std::vector<std::uint8_t>& chosen = m_chosenScratch;
    chosen.assign(m_hits.size(), 0);
    for (const std::uint64_t position : positionsOfSelection())
        if (position != noPosition) chosen[position] = 1;
    rows.reserve(std::min(m_selectedHitIDs.size(), m_displayed.size()));
    std::size_t row = 0;
    m_displayed.forEach([&](Position position) {
        if (chosen[position]) rows.push_back(row);
        ++row;
    });
}

void AppModel::selectDisplayedRows(std::span<const std::pair<std::size_t, std::size_t>> runs) {
    // Sized once: a million rows would otherwise grow the arrays a dozen times, each growth a copy into
    // fresh pages. The places go into the memory of the last ones found, which they replace.
    std::size_t count = 0;
    for (const auto& [first, last] : runs) {
        const std::size_t end = std::min(last, m_displayed.size());
        if (first < end) count += end - first;
    }
    std::vector<Uuid> ids;
    ids.reserve(count);
    std::vector<std::uint64_t> positions = std::exchange(m_selectionScratch, {});
    m_selectionPositionsOf.reset();
    positions.clear();
    positions.reserve(count);
    for (const auto& [first, last] : runs) {
        m_displayed.forEachIn(first, last, [&](Position position) {
            ids.push_back(m_hits[position].id);
            positions.push_back(position);
        });
    }
    HitSelection::sortIdentities(ids, positions);
    HitSelection selection(std::move(ids));
    if (selection == m_selectedHitIDs) {
        // The same selection: the places found are its places all the same.
        if (positions.size() == m_selectedHitIDs.size()) {
            m_selectionScratch = std::move(positions);
            m_selectionPositionsOf = {m_selectionVersion, m_layoutVersion};
        }
        return;
    }
    m_selectedHitIDs = std::move(selection);
    ++m_selectionVersion;
    // Overlapping runs would have repeated a hit: its places are then found as anyone's.
    if (positions.size() == m_selectedHitIDs.size()) {
        m_selectionScratch = std::move(positions);
        m_selectionPositionsOf = {m_selectionVersion, m_layoutVersion};
    }
    emit fieldChanged(Field::selectedHitIDs);
}

void AppModel::displayedIds(std::size_t first, std::size_t last, std::vector<Uuid>& ids) const {
    last = std::min(last, m_displayed.size());
    if (first >= last) return;
    ids.reserve(ids.size() + (last - first));
    m_displayed.forEachIn(first, last, [&](Position position) { ids.push_back(m_hits[position].id); });
}

bool AppModel::isDisplayedRowSelected(std::size_t row) const {
    return !m_selectedHitIDs.empty() && m_selectedHitIDs.contains(displayedHit(row).id);
}

std::optional<std::size_t> AppModel::displayedRow(const Uuid& id) const {
    const auto position = positionOf(id);
    if (!position || !passes(m_hits[*position])) return std::nullopt;
    return rowOfPosition(static_cast<Position>(*position));
}

} // namespace vantrel
