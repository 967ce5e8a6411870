#pragma once

#include "settings/CBatchParamsPage.h"

#include <string>

class QLineEdit;

namespace settings {

// "Directories": where batches wait and where they are filed.
class CBatchParamsPage1 final : public CBatchParamsPage {
    Q_OBJECT
public:
    static constexpr int kQueueDir = 1004;
    static constexpr int kProcessedDir = 1005;
    static constexpr int kFailedDir = 1007;

    CBatchParamsPage1();

    std::string ProcessedDir;
    std::string FailedDir;
    std::string QueueDir;

protected:
    void CreateControls(const DialogUnits& units) override;
    void Load() override;
    std::optional<ExchangeFailure> Save() override;

private:
    QLineEdit* m_queueDir = nullptr;
    QLineEdit* m_processedDir = nullptr;
    QLineEdit* m_failedDir = nullptr;
};

} // namespace settings
