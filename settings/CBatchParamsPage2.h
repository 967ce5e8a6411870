#pragma once

#include "settings/CBatchParamsPage.h"

#include <cstdint>
#include <string>

class QComboBox;
class QLineEdit;

namespace settings {

// "Control": the semaphore files, the queue filter and the settle delay.
class CBatchParamsPage2 final : public CBatchParamsPage {
    Q_OBJECT
public:
    static constexpr int kStatusFile = 1002;
    static constexpr int kAbortFile = 1009;
    static constexpr int kFilters = 1013;
    static constexpr int kWaitBeforeSubmit = 1014;
    static constexpr std::uint32_t kMinDelay = 1;
    static constexpr std::uint32_t kMaxDelay = 600;
    static const char* const kNeedWholeNumber;
    static const char* const kNeedDelayInRange;
    // The filters offered, in this order and unsorted.
    static const char* const kFilterChoices[6];

    CBatchParamsPage2();

    std::uint32_t WaitBeforeSubmit = 0;
    std::string AbortFile;
    std::string Filters;
    std::string StatusFile;

    // Selects the entry equal to Filters without regard to case, or none.
    bool OnInitDialog() override;

protected:
    void CreateControls(const DialogUnits& units) override;
    void Load() override;
    std::optional<ExchangeFailure> Save() override;

private:
    QLineEdit* m_statusFile = nullptr;
    QLineEdit* m_abortFile = nullptr;
    QLineEdit* m_delay = nullptr;
    QComboBox* m_filters = nullptr;
};

// Reads the delay's text as an unsigned whole number: blanks around it and a
// leading "+" are allowed, nothing else. Values too large for 32 bits come back
// as the largest 32-bit value so that the range check refuses them.
std::optional<std::uint32_t> ParseUnsignedWholeNumber(const QString& text);

} // namespace settings
