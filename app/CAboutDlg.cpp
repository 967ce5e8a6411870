#include "app/CAboutDlg.h"

#include "app/AppIcon.h"
#include "settings/DialogUnits.h"

#include <QLabel>
#include <QPushButton>

namespace app {

using settings::ControlName;
using settings::DialogUnits;
using settings::Place;
using settings::PlaceText;

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QString::fromLatin1(kCaption));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setWindowIcon(AppIcon());
    const DialogUnits u(font());
    setFixedSize(u.Size(217, 55));

    // The icon keeps its own size, as a static icon control does.
    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("icon"));
    const int side = AppIconLargeSize;
    icon->setPixmap(AppIcon().pixmap(side, side));
    icon->setGeometry(u.X(11), u.Y(17), side, side);

    auto* version = new QLabel(QString::fromUtf8(kVersionLine), this);
    version->setObjectName(QStringLiteral("version"));
    version->setTextFormat(Qt::PlainText);
    PlaceText(version, u, 40, 10, 119, 8);

    auto* rights = new QLabel(QString::fromUtf8(kRightsNotice), this);
    rights->setObjectName(QStringLiteral("rights"));
    rights->setTextFormat(Qt::PlainText);
    PlaceText(rights, u, 40, 25, 119, 8);

    m_ok = new QPushButton(QStringLiteral("OK"), this);
    m_ok->setObjectName(ControlName(1));
    m_ok->setDefault(true);
    Place(m_ok, u, 178, 7, 32, 14);
    connect(m_ok, &QPushButton::clicked, this, &QDialog::accept);
    m_ok->setFocus();
}

} // namespace app
