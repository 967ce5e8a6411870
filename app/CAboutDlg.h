#pragma once

#include <QDialog>

class QPushButton;

namespace app {

// The About box: the program's icon, its version line and its rights notice,
// with a default OK button. OK, Esc and the window's Close button close it.
class CAboutDlg final : public QDialog {
    Q_OBJECT
public:
    static constexpr const char* kCaption = "About Tesmaro";
    static constexpr const char* kVersionLine = "Tesmaro Version 3.3";
    static constexpr const char* kRightsNotice = "Copyright \u00a9 Orbinel";

    explicit CAboutDlg(QWidget* parent = nullptr);

    QPushButton* OkButton() const { return m_ok; }

private:
    QPushButton* m_ok = nullptr;
};

} // namespace app
