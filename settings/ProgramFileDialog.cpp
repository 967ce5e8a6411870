#include "settings/ProgramFileDialog.h"

#include <QFileDialog>
#include <QFileSystemModel>

namespace settings {

const char* const kProgramsFilter = "Programs (*)";
const char* const kExeFilesFilter = "Executable Files (*.exe)";
const char* const kAllFilesFilter = "All Files (*)";

QStringList ProgramDialogFilters() {
    return {QString::fromLatin1(kProgramsFilter), QString::fromLatin1(kExeFilesFilter),
            QString::fromLatin1(kAllFilesFilter)};
}

void ExecutableFilesProxy::SetExecutableOnly(bool on) {
    if (on == m_executableOnly)
        return;
    m_executableOnly = on;
    invalidateFilter();
}

bool ExecutableFilesProxy::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const {
    const auto* files = qobject_cast<const QFileSystemModel*>(sourceModel());
    if (!m_executableOnly || files == nullptr)
        return true;
    const QModelIndex index = files->index(sourceRow, 0, sourceParent);
    if (files->isDir(index))
        return true;
    // Whether this user may run it, as the system's access check answers.
    return files->fileInfo(index).isExecutable();
}

void SetUpProgramDialog(QFileDialog& dialog, const QString& initialFile) {
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setDefaultSuffix(QString());
    auto* proxy = new ExecutableFilesProxy(&dialog);
    dialog.setProxyModel(proxy);
    dialog.setNameFilters(ProgramDialogFilters());
    dialog.selectNameFilter(QString::fromLatin1(kProgramsFilter));
    proxy->SetExecutableOnly(true);
    QObject::connect(&dialog, &QFileDialog::filterSelected, proxy, [proxy](const QString& filter) {
        proxy->SetExecutableOnly(filter == QLatin1String(kProgramsFilter));
    });
    if (!initialFile.isEmpty())
        dialog.selectFile(initialFile);
}

} // namespace settings
