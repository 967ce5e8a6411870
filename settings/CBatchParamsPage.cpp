#include "settings/CBatchParamsPage.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>

namespace settings {

CBatchParamsPage::CBatchParamsPage(const QString& title, int widthUnits, int heightUnits)
    : m_title(title), m_widthUnits(widthUnits), m_heightUnits(heightUnits) {
    setMinimumSize(TemplateSize());
}

QSize CBatchParamsPage::TemplateSize() const {
    return DialogUnits(font()).Size(m_widthUnits, m_heightUnits);
}

QList<QWidget*> CBatchParamsPage::TabStops() const {
    // The window's focus chain holds the controls in the order they were made,
    // which is template order; this page's part of it is its tab order.
    QList<QWidget*> stops;
    for (QWidget* w = nextInFocusChain(); w != this; w = w->nextInFocusChain()) {
        if (isAncestorOf(w) && (w->focusPolicy() & Qt::TabFocus) == Qt::TabFocus &&
            w->isEnabled() && w->isVisibleTo(this))
            stops.push_back(w);
    }
    return stops;
}

void CBatchParamsPage::EnsureCreated() {
    if (m_created)
        return;
    m_created = true;
    CreateControls(DialogUnits(font()));
    // Children added to a page that is already on screen stay hidden until shown.
    for (QWidget* child : findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        child->show();
    Load();
    OnInitDialog();
}

void CBatchParamsPage::LoadControls() {
    if (m_created)
        Load();
}

std::optional<ExchangeFailure> CBatchParamsPage::SaveControls() {
    if (!m_created)
        return std::nullopt;
    return Save();
}

QLabel* CBatchParamsPage::AddLabel(const QString& text, const DialogUnits& u, int x, int y, int w,
                                   int h) {
    auto* label = new QLabel(text, this);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    PlaceText(label, u, x, y, w, h);
    return label;
}

QLineEdit* CBatchParamsPage::AddEdit(int id, const DialogUnits& u, int x, int y, int w, int h) {
    auto* edit = new QLineEdit(this);
    edit->setObjectName(ControlName(id));
    Place(edit, u, x, y, w, h);
    return edit;
}

QCheckBox* CBatchParamsPage::AddCheckBox(int id, const QString& text, const DialogUnits& u, int x,
                                         int y, int w, int h) {
    auto* box = new QCheckBox(text, this);
    box->setObjectName(ControlName(id));
    PlaceText(box, u, x, y, w, h);
    return box;
}

QString CBatchParamsPage::ToText(const std::string& value) {
    return QString::fromStdString(value);
}

std::string CBatchParamsPage::FromText(const QString& text) {
    return text.toStdString();
}

} // namespace settings
