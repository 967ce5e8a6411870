#pragma once

#include <QAbstractTableModel>

#include <string>
#include <vector>

namespace app {

// The rows of the main window's list: one batch per row, its title and the
// time it arrived. The rows are replaced as a whole on every refresh; texts are
// converted only for the rows the view actually draws, so ten thousand rows
// cost little more than their strings.
class BatchListModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { kBatch, kSubmitted, kColumnCount };

    using QAbstractTableModel::QAbstractTableModel;

    // Takes the new rows; the view loses its selection, as after deleting all rows.
    void SetRows(std::vector<std::string> names, std::vector<std::string> times);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    std::vector<std::string> m_names;
    std::vector<std::string> m_times;
};

} // namespace app
