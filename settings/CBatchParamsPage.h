#pragma once

#include "settings/DialogUnits.h"

#include <QList>
#include <QString>
#include <QWidget>

#include <optional>

class QCheckBox;
class QLabel;
class QLineEdit;

namespace settings {

// A refused read of a page: what to tell the user and which control to correct.
struct ExchangeFailure {
    QString message;
    QWidget* control = nullptr;
};

// One tab of the settings sheet. A page keeps its own copies of the fields it
// edits. Its controls are created, and loaded from those fields, only when the
// tab is first shown, so a page that is never shown hands back exactly what it
// was given, even values its own validation would refuse.
class CBatchParamsPage : public QWidget {
    Q_OBJECT
public:
    // The template's size in dialog units.
    CBatchParamsPage(const QString& title, int widthUnits, int heightUnits);

    const QString& Title() const { return m_title; }
    bool IsCreated() const { return m_created; }
    // The template's size in pixels for the page's font.
    QSize TemplateSize() const;
    // The controls that Tab stops at, in tab order; none before the page is created.
    QList<QWidget*> TabStops() const;

    // Creates the controls, loads them from the fields and runs OnInitDialog;
    // only the first call acts.
    void EnsureCreated();
    // Runs once the controls exist and hold the fields' values. True.
    virtual bool OnInitDialog() { return true; }
    // Fields to controls. Nothing happens before the controls exist.
    void LoadControls();
    // Controls to fields, validating first: on failure no field changes. A page
    // without controls has nothing to read and always succeeds.
    std::optional<ExchangeFailure> SaveControls();

protected:
    // Creates the template's controls in template order, which is the tab order.
    virtual void CreateControls(const DialogUnits& units) = 0;
    virtual void Load() = 0;
    virtual std::optional<ExchangeFailure> Save() = 0;

    // Template helpers: each places a new control at a rectangle in dialog units.
    QLabel* AddLabel(const QString& text, const DialogUnits& u, int x, int y, int w, int h);
    QLineEdit* AddEdit(int id, const DialogUnits& u, int x, int y, int w, int h);
    QCheckBox* AddCheckBox(int id, const QString& text, const DialogUnits& u, int x, int y, int w,
                           int h);

    static QString ToText(const std::string& value);
    static std::string FromText(const QString& text);

private:
    QString m_title;
    int m_widthUnits;
    int m_heightUnits;
    bool m_created = false;
};

} // namespace settings
