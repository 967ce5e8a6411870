#pragma once

#include "settings/CBatchParamsPage.h"

#include <cstdint>

class QCheckBox;

namespace settings {

// "Operations": what the suite does with each batch.
class CBatchParamsPage3 final : public CBatchParamsPage {
    Q_OBJECT
public:
    static constexpr int kAcquire = 1010;
    static constexpr int kProcess = 1011;
    static constexpr int kQuantify = 1012;
    static constexpr int kProfile = 1026;

    CBatchParamsPage3();

    std::int32_t Acquire = 0;
    std::int32_t Process = 0;
    std::int32_t Quantify = 0;
    std::int32_t Profile = 0;

protected:
    void CreateControls(const DialogUnits& units) override;
    void Load() override;
    std::optional<ExchangeFailure> Save() override;

private:
    QCheckBox* m_acquire = nullptr;
    QCheckBox* m_process = nullptr;
    QCheckBox* m_quantify = nullptr;
    QCheckBox* m_profile = nullptr;
};

} // namespace settings
