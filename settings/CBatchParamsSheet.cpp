#include "settings/CBatchParamsSheet.h"

#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace settings {

WarningPresenter DefaultWarningPresenter() {
    return [](QWidget* owner, const QString& text) {
        QMessageBox::warning(owner, QGuiApplication::applicationDisplayName(), text);
    };
}

CBatchParamsSheet::CBatchParamsSheet(QWidget* parent)
    : QDialog(parent), m_pages{&m_page1, &m_page2, &m_page3, &m_page4} {
    setWindowTitle(QString::fromLatin1(kCaption));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);

    const DialogUnits u(font());
    m_tabs = new QTabWidget(this);
    for (CBatchParamsPage* page : m_pages)
        m_tabs->addTab(page, page->Title());
    m_tabs->setCurrentIndex(0);

    m_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_buttons->button(QDialogButtonBox::Ok)->setObjectName(ControlName(1));
    m_buttons->button(QDialogButtonBox::Cancel)->setObjectName(ControlName(2));
    connect(m_buttons, &QDialogButtonBox::accepted, this, &CBatchParamsSheet::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &CBatchParamsSheet::reject);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(u.X(7), u.Y(7), u.X(7), u.Y(7));
    layout->setSpacing(u.Y(7));
    layout->addWidget(m_tabs);
    layout->addWidget(m_buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(m_tabs, &QTabWidget::currentChanged, this, &CBatchParamsSheet::OnCurrentChanged);
}

CBatchParamsSheet::~CBatchParamsSheet() {
    // The pages are members: take them out of the tab widget before they go,
    // without letting the tab changes reach this half-destroyed sheet.
    m_tabs->disconnect(this);
    for (CBatchParamsPage* page : m_pages)
        page->setParent(nullptr);
}

CBatchParamsPage* CBatchParamsSheet::Page(int index) const {
    return index >= 0 && index < static_cast<int>(m_pages.size()) ? m_pages[index] : nullptr;
}

void CBatchParamsSheet::SetFileChooser(FileChooser chooser) {
    m_page4.SetFileChooser(std::move(chooser));
}

void CBatchParamsSheet::SetWarningPresenter(WarningPresenter presenter) {
    m_warn = std::move(presenter);
}

int CBatchParamsSheet::SetParams(const CBatchParams& record) {
    m_page1.ProcessedDir = record.ProcessedDir;
    m_page1.FailedDir = record.FailedDir;
    m_page1.QueueDir = record.QueueDir;
    m_page2.StatusFile = record.StatusFile;
    m_page2.AbortFile = record.AbortFile;
    m_page2.Filters = record.Filters;
    // The same 32 bits: signed in the record, unsigned on the page.
    m_page2.WaitBeforeSubmit = static_cast<std::uint32_t>(record.WaitBeforeSubmit);
    m_page3.Acquire = record.Acquire;
    m_page3.Process = record.Process;
    m_page3.Quantify = record.Quantify;
    m_page3.Profile = record.Profile;
    m_page4.CreateSummary = record.CreateSummary;
    m_page4.PrintReport = record.PrintReport;
    m_page4.BrowserFile = record.BrowserFile;
    m_page4.SchemeName = record.SchemeName;
    return 1;
}

int CBatchParamsSheet::GetParams(CBatchParams& record) const {
    record.ProcessedDir = m_page1.ProcessedDir;
    record.FailedDir = m_page1.FailedDir;
    record.QueueDir = m_page1.QueueDir;
    record.StatusFile = m_page2.StatusFile;
    record.AbortFile = m_page2.AbortFile;
    record.Filters = m_page2.Filters;
    record.WaitBeforeSubmit = static_cast<std::int32_t>(m_page2.WaitBeforeSubmit);
    record.Acquire = m_page3.Acquire;
    record.Process = m_page3.Process;
    record.Quantify = m_page3.Quantify;
    record.Profile = m_page3.Profile;
    record.CreateSummary = m_page4.CreateSummary;
    record.PrintReport = m_page4.PrintReport;
    record.BrowserFile = m_page4.BrowserFile;
    record.SchemeName = m_page4.SchemeName;
    return 1;
}

int CBatchParamsSheet::EditParams(CBatchParams& record) {
    SetParams(record);
    if (exec() != QDialog::Accepted)
        return 0;
    return GetParams(record);
}

void CBatchParamsSheet::showEvent(QShowEvent* event) {
    m_shownIndex = m_tabs->currentIndex();
    if (CBatchParamsPage* page = Page(m_shownIndex)) {
        page->EnsureCreated();
        FocusFirstControl(page);
    }
    QDialog::showEvent(event);
}

void CBatchParamsSheet::FocusFirstControl(CBatchParamsPage* page) {
    const QList<QWidget*> stops = page->TabStops();
    // As a tab into it would: an edit's text comes selected, ready to be typed over.
    if (!stops.isEmpty())
        stops.constFirst()->setFocus(Qt::TabFocusReason);
}

std::vector<QWidget*> CBatchParamsSheet::TabCycle() const {
    std::vector<QWidget*> cycle;
    if (CBatchParamsPage* page = Page(m_tabs->currentIndex())) {
        const QList<QWidget*> stops = page->TabStops();
        cycle.assign(stops.begin(), stops.end());
    }
    for (QWidget* w : {static_cast<QWidget*>(m_buttons->button(QDialogButtonBox::Ok)),
                       static_cast<QWidget*>(m_buttons->button(QDialogButtonBox::Cancel)),
                       static_cast<QWidget*>(m_tabs->tabBar())}) {
        if (w->isVisibleTo(this) && w->isEnabled())
            cycle.push_back(w);
    }
    return cycle;
}

bool CBatchParamsSheet::focusNextPrevChild(bool next) {
    const std::vector<QWidget*> cycle = TabCycle();
    if (cycle.empty())
        return QDialog::focusNextPrevChild(next);
    const auto size = static_cast<std::ptrdiff_t>(cycle.size());
    const auto at = std::find(cycle.begin(), cycle.end(), focusWidget()) - cycle.begin();
    // From outside the cycle, Tab enters at its start and Shift+Tab at its end.
    const std::ptrdiff_t to =
        at == size ? (next ? 0 : size - 1) : (at + (next ? 1 : -1) + size) % size;
    cycle[static_cast<std::size_t>(to)]->setFocus(next ? Qt::TabFocusReason
                                                       : Qt::BacktabFocusReason);
    return true;
}

void CBatchParamsSheet::Present(const ExchangeFailure& failure) {
    if (m_warn)
        m_warn(this, failure.message);
    if (failure.control != nullptr) {
        failure.control->setFocus(Qt::OtherFocusReason);
        if (auto* edit = qobject_cast<QLineEdit*>(failure.control))
            edit->selectAll();
    }
}

void CBatchParamsSheet::OnCurrentChanged(int index) {
    if (m_reverting)
        return;
    if (CBatchParamsPage* left = Page(m_shownIndex); left != nullptr && index != m_shownIndex) {
        if (const std::optional<ExchangeFailure> failure = left->SaveControls()) {
            // The refused page becomes current again before the user is told why.
            m_reverting = true;
            m_tabs->setCurrentIndex(m_shownIndex);
            m_reverting = false;
            Present(*failure);
            return;
        }
    }
    m_shownIndex = index;
    if (CBatchParamsPage* page = Page(index)) {
        page->EnsureCreated();
        // The arrow keys on a focused tab bar go on choosing tabs; any other
        // choice of tab takes the focus to the new page.
        if (focusWidget() != m_tabs->tabBar())
            FocusFirstControl(page);
    }
}

void CBatchParamsSheet::accept() {
    if (CBatchParamsPage* page = Page(m_tabs->currentIndex())) {
        if (const std::optional<ExchangeFailure> failure = page->SaveControls()) {
            Present(*failure);
            return;
        }
    }
    QDialog::accept();
}

} // namespace settings
