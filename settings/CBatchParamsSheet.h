#pragma once

#include "settings/CBatchParams.h"
#include "settings/CBatchParamsPage1.h"
#include "settings/CBatchParamsPage2.h"
#include "settings/CBatchParamsPage3.h"
#include "settings/CBatchParamsPage4.h"

#include <QDialog>

#include <array>
#include <functional>
#include <vector>

class QDialogButtonBox;
class QTabWidget;

namespace settings {

// Tells the user why a page's values were refused.
using WarningPresenter = std::function<void(QWidget* owner, const QString& text)>;

// A message box with the application's name as its caption.
WarningPresenter DefaultWarningPresenter();

// The settings sheet: four tabbed pages with OK and Cancel. It edits a copy of
// the settings handed in and gives the edited values back only on OK; it never
// touches the store or the engine. There is no apply step.
class CBatchParamsSheet final : public QDialog {
    Q_OBJECT
public:
    static constexpr const char* kCaption = "Tesmaro Settings";

    explicit CBatchParamsSheet(QWidget* parent = nullptr);
    ~CBatchParamsSheet() override;

    // Runs the sheet modally on the record: 1 after OK, with the record holding
    // the edited values; 0 otherwise, with the record untouched.
    int EditParams(CBatchParams& record);
    // Copies the fifteen edited fields into the pages, or back. Both return 1.
    int SetParams(const CBatchParams& record);
    int GetParams(CBatchParams& record) const;

    void SetFileChooser(FileChooser chooser);
    void SetWarningPresenter(WarningPresenter presenter);

    QTabWidget* Tabs() const { return m_tabs; }
    QDialogButtonBox* Buttons() const { return m_buttons; }
    CBatchParamsPage* Page(int index) const;

    // OK: reads the current page with validation; an invalid page keeps the sheet open.
    void accept() override;

protected:
    void showEvent(QShowEvent* event) override;
    // Tab and Shift+Tab run through the current page's controls, then OK,
    // Cancel and the tab bar, and back to the page's first control.
    bool focusNextPrevChild(bool next) override;

private:
    void OnCurrentChanged(int index);
    std::vector<QWidget*> TabCycle() const;
    void FocusFirstControl(CBatchParamsPage* page);
    // Tells the user why a page was refused and puts the focus on the culprit.
    void Present(const ExchangeFailure& failure);

    CBatchParamsPage1 m_page1;
    CBatchParamsPage2 m_page2;
    CBatchParamsPage3 m_page3;
    CBatchParamsPage4 m_page4;
    std::array<CBatchParamsPage*, 4> m_pages;
    QTabWidget* m_tabs = nullptr;
    QDialogButtonBox* m_buttons = nullptr;
    WarningPresenter m_warn = DefaultWarningPresenter();
    int m_shownIndex = 0;
    bool m_reverting = false;
};

} // namespace settings
