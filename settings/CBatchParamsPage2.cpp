#include "settings/CBatchParamsPage2.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>

#include <limits>

namespace settings {

const char* const CBatchParamsPage2::kNeedWholeNumber = "Please enter a positive whole number.";
const char* const CBatchParamsPage2::kNeedDelayInRange =
    "Please enter a whole number between 1 and 600.";
const char* const CBatchParamsPage2::kFilterChoices[6] = {"*.olb", "*.spl", "*.txt",
                                                          "*.tab", "*.tdl", "*.csv"};

std::optional<std::uint32_t> ParseUnsignedWholeNumber(const QString& text) {
    const auto isBlank = [](QChar c) { return c == u' ' || c == u'\t'; };
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    if (begin < end && text[begin] == u'+')
        ++begin;
    if (begin == end)
        return std::nullopt;
    constexpr std::uint64_t kLimit = std::numeric_limits<std::uint32_t>::max();
    std::uint64_t value = 0;
    for (qsizetype i = begin; i < end; ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = std::min<std::uint64_t>(value * 10 + (c - u'0'), kLimit);
    }
    return static_cast<std::uint32_t>(value);
}

CBatchParamsPage2::CBatchParamsPage2() : CBatchParamsPage(QStringLiteral("Control"), 183, 94) {}

void CBatchParamsPage2::CreateControls(const DialogUnits& u) {
    QLabel* statusLabel = AddLabel(QStringLiteral("&Status file"), u, 7, 11, 32, 8);
    m_statusFile = AddEdit(kStatusFile, u, 45, 9, 138, 14);
    QLabel* abortLabel = AddLabel(QStringLiteral("&Abort file"), u, 7, 30, 36, 8);
    m_abortFile = AddEdit(kAbortFile, u, 46, 28, 137, 14);
    QLabel* filterLabel = AddLabel(QStringLiteral("Queue &Filter"), u, 7, 52, 46, 8);
    QLabel* delayLabel = AddLabel(QStringLiteral("Queue &Delay"), u, 7, 71, 48, 8);
    m_delay = AddEdit(kWaitBeforeSubmit, u, 58, 69, 40, 14);
    AddLabel(QStringLiteral("seconds"), u, 102, 71, 28, 8);

    // A pick-only list; its template height includes the open list, so the
    // closed box takes an edit's height.
    m_filters = new QComboBox(this);
    m_filters->setObjectName(ControlName(kFilters));
    m_filters->setEditable(false);
    for (const char* choice : kFilterChoices)
        m_filters->addItem(QString::fromLatin1(choice));
    Place(m_filters, u, 58, 50, 51, 14);

    statusLabel->setBuddy(m_statusFile);
    abortLabel->setBuddy(m_abortFile);
    filterLabel->setBuddy(m_filters);
    delayLabel->setBuddy(m_delay);
}

bool CBatchParamsPage2::OnInitDialog() {
    if (m_filters != nullptr)
        m_filters->setCurrentIndex(m_filters->findText(ToText(Filters), Qt::MatchFixedString));
    return true;
}

void CBatchParamsPage2::Load() {
    m_delay->setText(QString::number(WaitBeforeSubmit));
    m_abortFile->setText(ToText(AbortFile));
    // The list shows only its selected entry; loading text into it changes nothing.
    m_statusFile->setText(ToText(StatusFile));
}

std::optional<ExchangeFailure> CBatchParamsPage2::Save() {
    // The delay is read first, so a refused delay leaves every field as it was.
    const std::optional<std::uint32_t> delay = ParseUnsignedWholeNumber(m_delay->text());
    if (!delay)
        return ExchangeFailure{QString::fromLatin1(kNeedWholeNumber), m_delay};
    if (*delay < kMinDelay || *delay > kMaxDelay)
        return ExchangeFailure{QString::fromLatin1(kNeedDelayInRange), m_delay};
    WaitBeforeSubmit = *delay;
    AbortFile = FromText(m_abortFile->text());
    Filters = m_filters->currentIndex() >= 0 ? FromText(m_filters->currentText()) : std::string();
    StatusFile = FromText(m_statusFile->text());
    return std::nullopt;
}

} // namespace settings
