#include "settings/CBatchParamsPage4.h"
#include "settings/ProgramFileDialog.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace settings {

FileChooser DefaultFileChooser() {
    return [](QWidget* owner, const QString& initialFile) -> std::optional<QString> {
        QFileDialog dialog(owner, QStringLiteral("Open"));
        SetUpProgramDialog(dialog, initialFile);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return std::nullopt;
        return dialog.selectedFiles().constFirst();
    };
}

CBatchParamsPage4::CBatchParamsPage4() : CBatchParamsPage(QStringLiteral("Results"), 213, 94) {}

void CBatchParamsPage4::CreateControls(const DialogUnits& u) {
    m_printReport = AddCheckBox(kPrintReport, QStringLiteral("Print &Report"), u, 7, 7, 56, 10);
    m_createSummary =
        AddCheckBox(kCreateSummary, QStringLiteral("Create &Summary File"), u, 7, 23, 89, 10);
    QLabel* schemeLabel = AddLabel(QStringLiteral("Report S&cheme"), u, 7, 40, 55, 8);
    m_schemeName = AddEdit(kSchemeName, u, 67, 38, 112, 14);
    QLabel* browserLabel = AddLabel(QStringLiteral("&Browser Location"), u, 7, 59, 60, 11);
    m_browserFile = AddEdit(kBrowserFile, u, 67, 58, 112, 14);
    auto* browse = new QPushButton(QStringLiteral("..."), this);
    browse->setObjectName(ControlName(kBrowse));
    // Enter on the focused button presses it; elsewhere on the page Enter is OK.
    browse->setAutoDefault(true);
    Place(browse, u, 181, 58, 25, 14);
    connect(browse, &QPushButton::clicked, this, [this] { OnBrowse(); });

    schemeLabel->setBuddy(m_schemeName);
    browserLabel->setBuddy(m_browserFile);
}

void CBatchParamsPage4::Load() {
    m_browserFile->setText(ToText(BrowserFile));
    m_createSummary->setChecked(CreateSummary != 0);
    m_printReport->setChecked(PrintReport != 0);
    m_schemeName->setText(ToText(SchemeName));
}

std::optional<ExchangeFailure> CBatchParamsPage4::Save() {
    BrowserFile = FromText(m_browserFile->text());
    CreateSummary = m_createSummary->isChecked() ? 1 : 0;
    PrintReport = m_printReport->isChecked() ? 1 : 0;
    SchemeName = FromText(m_schemeName->text());
    return std::nullopt;
}

void CBatchParamsPage4::OnBrowse() {
    // Start from what the edit shows now, not from the value the page was given.
    SaveControls();
    if (!m_chooser)
        return;
    const std::optional<QString> chosen = m_chooser(this, ToText(BrowserFile));
    if (!chosen)
        return;
    BrowserFile = FromText(*chosen);
    LoadControls();
}

} // namespace settings
