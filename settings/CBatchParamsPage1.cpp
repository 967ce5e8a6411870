#include "settings/CBatchParamsPage1.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>

namespace settings {

CBatchParamsPage1::CBatchParamsPage1() : CBatchParamsPage(QStringLiteral("Directories"), 183, 94) {}

void CBatchParamsPage1::CreateControls(const DialogUnits& u) {
    QLabel* queueLabel = AddLabel(QStringLiteral("&Queue"), u, 12, 23, 33, 8);
    m_queueDir = AddEdit(kQueueDir, u, 53, 22, 121, 14);
    QLabel* processedLabel = AddLabel(QStringLiteral("&Processed"), u, 12, 42, 40, 8);
    m_processedDir = AddEdit(kProcessedDir, u, 53, 40, 121, 14);
    QLabel* failedLabel = AddLabel(QStringLiteral("&Failed"), u, 12, 61, 36, 8);
    m_failedDir = AddEdit(kFailedDir, u, 53, 59, 121, 14);
    queueLabel->setBuddy(m_queueDir);
    processedLabel->setBuddy(m_processedDir);
    failedLabel->setBuddy(m_failedDir);

    // The frame is drawn around the controls, not over them: it goes to the back.
    auto* group = new QGroupBox(QStringLiteral("Batches"), this);
    Place(group, u, 5, 7, 177, 84);
    group->lower();
}

void CBatchParamsPage1::Load() {
    m_processedDir->setText(ToText(ProcessedDir));
    m_failedDir->setText(ToText(FailedDir));
    m_queueDir->setText(ToText(QueueDir));
}

std::optional<ExchangeFailure> CBatchParamsPage1::Save() {
    ProcessedDir = FromText(m_processedDir->text());
    FailedDir = FromText(m_failedDir->text());
    QueueDir = FromText(m_queueDir->text());
    return std::nullopt;
}

} // namespace settings
