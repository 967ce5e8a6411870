#pragma once

#include "engine/CBatchList.h"

#include <QAbstractTableModel>
#include <QString>

#include <cstdint>
#include <string>
#include <vector>

namespace app {

// The rows of the main window's list: one batch per row, its title and the
// time it arrived. The rows are replaced as a whole on every refresh. Only
// what a row needs is kept, packed (the titles in one string, the times as
// seconds), and texts are made only for the rows the view actually draws:
// a hundred thousand rows cost a few megabytes and no allocation per row.
class BatchListModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { kBatch, kSubmitted, kColumnCount };

    using QAbstractTableModel::QAbstractTableModel;

    // Takes the rows from the engine's list, in its order, and resets the
    // model so that views lose their selection, as after deleting all rows.
    // False, and nothing reset, when the list shows exactly the rows already
    // held: rebuilding a view of a hundred thousand rows that stay the same
    // would cost a relayout and a repaint every second for nothing.
    bool SetRows(const engine::CBatchList& list);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    bool SameRows(const engine::CBatchList& list) const;
    QString TimeText(std::int64_t seconds) const;

    std::string m_titles;                 // every row's title, one after the other
    std::vector<std::size_t> m_titleEnds; // where each row's title ends in m_titles
    std::vector<std::int64_t> m_created;  // each row's creation time, calendar seconds
    // The last time made into text: rows drawn together mostly share it.
    mutable std::int64_t m_shownSecond = 0;
    mutable QString m_shownTime;
    mutable bool m_haveShownTime = false;
};

} // namespace app
