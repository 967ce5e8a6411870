#pragma once

#include <QSortFilterProxyModel>
#include <QString>
#include <QStringList>

class QFileDialog;

namespace settings {

// The choices of the dialog that picks the viewer program, in the order offered.
// The first lists the files the user may execute, whatever their names.
extern const char* const kProgramsFilter;
extern const char* const kExeFilesFilter;
extern const char* const kAllFilesFilter;
QStringList ProgramDialogFilters();

// Between a file dialog and its file system model: lets every folder through,
// so the user can move about, and, while on, only the files the user may execute.
class ExecutableFilesProxy final : public QSortFilterProxyModel {
    Q_OBJECT
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;

    void SetExecutableOnly(bool on);
    bool ExecutableOnly() const { return m_executableOnly; }

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    bool m_executableOnly = true;
};

// Makes the dialog pick an existing program, starting from the given file: the
// programs listed first, and a typed name taken exactly as typed, since names
// of programs here carry no extension. The filter by the executable bit needs
// the toolkit's own dialog; the desktop's native one cannot take it.
void SetUpProgramDialog(QFileDialog& dialog, const QString& initialFile);

} // namespace settings
