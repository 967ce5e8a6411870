#include "app/HelpKeyFilter.h"

#include <QKeyEvent>

namespace app {

HelpKeyFilter::HelpKeyFilter(std::function<void()> onHelp, QObject* parent)
    : QObject(parent), m_onHelp(std::move(onHelp)) {}

bool HelpKeyFilter::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && watched->isWidgetType()) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_F1 && key->modifiers() == Qt::NoModifier) {
            // A held key repeats its press; only the first one asks for help.
            if (m_onHelp && !key->isAutoRepeat())
                m_onHelp();
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

} // namespace app
