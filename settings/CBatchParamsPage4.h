#pragma once

#include "settings/CBatchParamsPage.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace settings {

// Asks the user for an existing program, starting from the given file name;
// the chosen file's full path, or nothing when the user cancelled.
using FileChooser =
    std::function<std::optional<QString>(QWidget* owner, const QString& initialFile)>;

// An open-file dialog that lists the programs first, then "Executable Files
// (*.exe)" and "All Files (*)", and takes a typed name as it is.
FileChooser DefaultFileChooser();

// "Results": the report and summary the viewer produces after a batch.
class CBatchParamsPage4 final : public CBatchParamsPage {
    Q_OBJECT
public:
    static constexpr int kPrintReport = 1015;
    static constexpr int kCreateSummary = 1016;
    static constexpr int kSchemeName = 1021;
    static constexpr int kBrowserFile = 1022;
    static constexpr int kBrowse = 1023;

    CBatchParamsPage4();

    void SetFileChooser(FileChooser chooser) { m_chooser = std::move(chooser); }
    // Lets the user pick the viewer program, starting from what edit 1022 shows.
    void OnBrowse();

    std::string BrowserFile;
    std::int32_t CreateSummary = 0;
    std::int32_t PrintReport = 0;
    std::string SchemeName;

protected:
    void CreateControls(const DialogUnits& units) override;
    void Load() override;
    std::optional<ExchangeFailure> Save() override;

private:
    FileChooser m_chooser = DefaultFileChooser();
    QCheckBox* m_printReport = nullptr;
    QCheckBox* m_createSummary = nullptr;
    QLineEdit* m_schemeName = nullptr;
    QLineEdit* m_browserFile = nullptr;
};

} // namespace settings
