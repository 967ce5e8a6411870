#include "settings/CBatchParamsPage3.h"

#include <QCheckBox>

namespace settings {

CBatchParamsPage3::CBatchParamsPage3() : CBatchParamsPage(QStringLiteral("Operations"), 183, 94) {}

void CBatchParamsPage3::CreateControls(const DialogUnits& u) {
    m_acquire = AddCheckBox(kAcquire, QStringLiteral("&Acquire"), u, 6, 10, 42, 10);
    m_process = AddCheckBox(kProcess, QStringLiteral("&Process"), u, 6, 25, 52, 10);
    m_quantify = AddCheckBox(kQuantify, QStringLiteral("&Quantify"), u, 6, 40, 42, 10);
    m_profile = AddCheckBox(kProfile, QStringLiteral("Pro&file"), u, 6, 55, 35, 10);
}

void CBatchParamsPage3::Load() {
    m_acquire->setChecked(Acquire != 0);
    m_process->setChecked(Process != 0);
    m_quantify->setChecked(Quantify != 0);
    m_profile->setChecked(Profile != 0);
}

std::optional<ExchangeFailure> CBatchParamsPage3::Save() {
    Acquire = m_acquire->isChecked() ? 1 : 0;
    Process = m_process->isChecked() ? 1 : 0;
    Quantify = m_quantify->isChecked() ? 1 : 0;
    Profile = m_profile->isChecked() ? 1 : 0;
    return std::nullopt;
}

} // namespace settings
