#include "app/HelpKeyFilter.h"

#include <QKeyEvent>

namespace app {

HelpKeyFilter::HelpKeyFilter(std::function<void()> onHelp, QObject* parent, TimeSource now)
    : QObject(parent), m_onHelp(std::move(onHelp)), m_now(std::move(now)) {}

bool HelpKeyFilter::eventFilter(QObject* watched, QEvent* event) {
    const auto type = event->type();
    if ((type == QEvent::KeyPress || type == QEvent::KeyRelease) && watched->isWidgetType()) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() != Qt::Key_F1)
            return QObject::eventFilter(watched, event);
        // A held key repeats its press, under X11 mostly as release and press
        // pairs without the repeat flag: a press soon after the last F1 event
        // is part of the same hold, so only the first one asks for help.
        const auto now = m_now();
        const bool repeat = key->isAutoRepeat() || (m_lastF1 && now - *m_lastF1 < kRepeatWindow);
        m_lastF1 = now;
        if (type == QEvent::KeyPress && key->modifiers() == Qt::NoModifier) {
            if (m_onHelp && !repeat)
                m_onHelp();
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

} // namespace app
