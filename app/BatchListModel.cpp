#include "app/BatchListModel.h"

#include "engine/CBatchQueue.h"
#include "platform/KeptStorage.h"

#include <string_view>

namespace app {

bool BatchListModel::SameRows(const engine::CBatchList& list) const {
    if (list.GetCount() != m_created.size())
        return false;
    std::size_t row = 0, begin = 0;
    for (const engine::CBatch& batch : list) {
        const std::size_t end = m_titleEnds[row];
        if (batch.created != m_created[row] ||
            std::string_view(m_titles).substr(begin, end - begin) != batch.title)
            return false;
        begin = end;
        ++row;
    }
    return true;
}

bool BatchListModel::SetRows(const engine::CBatchList& list) {
    if (SameRows(list))
        return false;
    beginResetModel();
    // Cleared, not freed: the next refresh writes into the same storage.
    m_titles.clear();
    m_titleEnds.clear();
    m_created.clear();
    m_titleEnds.reserve(list.GetCount());
    m_created.reserve(list.GetCount());
    for (const engine::CBatch& batch : list) {
        m_titles += batch.title;
        m_titleEnds.push_back(m_titles.size());
        m_created.push_back(batch.created);
    }
    platform::GiveBackExcess(m_titles);
    platform::GiveBackExcess(m_titleEnds);
    platform::GiveBackExcess(m_created);
    endResetModel();
    return true;
}

QString BatchListModel::TimeText(std::int64_t seconds) const {
    if (!m_haveShownTime || seconds != m_shownSecond) {
        m_shownTime = QString::fromStdString(engine::FormatLocalTime(seconds));
        m_shownSecond = seconds;
        m_haveShownTime = true;
    }
    return m_shownTime;
}

int BatchListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_created.size());
}

int BatchListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant BatchListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
    if (role != Qt::DisplayRole)
        return {};
    const auto row = static_cast<std::size_t>(index.row());
    switch (index.column()) {
    case kBatch: {
        const std::size_t begin = row == 0 ? 0 : m_titleEnds[row - 1];
        return QString::fromUtf8(m_titles.data() + begin,
                                 static_cast<qsizetype>(m_titleEnds[row] - begin));
    }
    case kSubmitted:
        return TimeText(m_created[row]);
    default:
        return {};
    }
}

QVariant BatchListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal)
        return {};
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
    if (role != Qt::DisplayRole)
        return {};
    switch (section) {
    case kBatch:
        return QStringLiteral("Batch");
    case kSubmitted:
        return QStringLiteral("Submitted");
    default:
        return {};
    }
}

} // namespace app
