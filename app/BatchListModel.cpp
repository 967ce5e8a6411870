#include "app/BatchListModel.h"

namespace app {

void BatchListModel::SetRows(std::vector<std::string> names, std::vector<std::string> times) {
    beginResetModel();
    m_names = std::move(names);
    m_times = std::move(times);
    // A row without a time shows an empty second column.
    m_times.resize(m_names.size());
    endResetModel();
}

int BatchListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_names.size());
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
    case kBatch:
        return QString::fromStdString(m_names[row]);
    case kSubmitted:
        return QString::fromStdString(m_times[row]);
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
