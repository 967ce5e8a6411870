#include "DistinctRecord.h"
#include "app/ModalHelper.h"
#include "settings/CBatchParamsSheet.h"
#include "settings/ProgramFileDialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>

using settings::CBatchParams;
using Page1 = settings::CBatchParamsPage1;
using Page2 = settings::CBatchParamsPage2;
using Page3 = settings::CBatchParamsPage3;
using Page4 = settings::CBatchParamsPage4;
using settings::CBatchParamsSheet;
using settingstest::DistinctRecord;

// Readable failure messages for the lists of names below.
void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace {

enum Tab { kDirectories, kControl, kOperations, kResults };

// The sheet's OK and Cancel buttons take the template's ids 1 and 2.
constexpr int kOk = 1;
constexpr int kCancel = 2;
// Stands for the tab bar in a list of control ids.
constexpr int kTabBar = -1;

// The object name a control is found by, after its template id.
QString Name(int id) {
    return id == kTabBar ? QString("tabs") : settings::ControlName(id);
}

// A sheet shown without a modal loop, with its warnings recorded.
class SheetTest : public ::testing::Test {
protected:
    void Open(const CBatchParams& record) {
        m_sheet.SetWarningPresenter(
            [this](QWidget*, const QString& text) { m_warnings.push_back(text); });
        m_given = record;
        m_sheet.SetParams(record);
        m_sheet.show();
    }
    void Select(Tab tab) { m_sheet.Tabs()->setCurrentIndex(tab); }
    template <typename T> T* Control(int id) {
        return m_sheet.findChild<T*>(settings::ControlName(id));
    }
    QLineEdit* Delay() { return Control<QLineEdit>(Page2::kWaitBeforeSubmit); }
    QComboBox* FilterList() { return Control<QComboBox>(Page2::kFilters); }
    // Presses OK; true when the sheet closed with OK.
    bool PressOk() {
        m_sheet.Buttons()->button(QDialogButtonBox::Ok)->click();
        return !m_sheet.isVisible() && m_sheet.result() == QDialog::Accepted;
    }
    // What the sheet gives back over the record it was given.
    CBatchParams Result() {
        CBatchParams record = m_given;
        m_sheet.GetParams(record);
        return record;
    }

    CBatchParamsSheet m_sheet;
    CBatchParams m_given;
    std::vector<QString> m_warnings;
};

} // namespace

TEST_F(SheetTest, CaptionAndTabsInOrder) {
    Open(DistinctRecord());
    EXPECT_EQ(m_sheet.windowTitle(), "Tesmaro Settings");
    ASSERT_EQ(m_sheet.Tabs()->count(), 4);
    const char* titles[] = {"Directories", "Control", "Operations", "Results"};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(m_sheet.Tabs()->tabText(i), titles[i]);
    EXPECT_EQ(m_sheet.Tabs()->currentIndex(), kDirectories);
}

TEST_F(SheetTest, PagesAreBuiltOnlyWhenFirstShown) {
    Open(DistinctRecord());
    EXPECT_TRUE(m_sheet.Page(kDirectories)->IsCreated());
    EXPECT_FALSE(m_sheet.Page(kControl)->IsCreated());
    EXPECT_EQ(Delay(), nullptr);
    Select(kControl);
    EXPECT_TRUE(m_sheet.Page(kControl)->IsCreated());
    ASSERT_NE(Delay(), nullptr);
    EXPECT_EQ(Delay()->text(), "17");
    EXPECT_FALSE(m_sheet.Page(kOperations)->IsCreated());
    EXPECT_FALSE(m_sheet.Page(kResults)->IsCreated());
}

TEST_F(SheetTest, PagesNeverShownGiveBackExactlyWhatTheyWereGiven) {
    CBatchParams record = DistinctRecord();
    record.WaitBeforeSubmit = 0; // refused by the page's own check, were it shown
    record.Filters = "*.none";   // matches no entry of the list
    record.Acquire = 7;          // a check box would read back 1
    Open(record);
    ASSERT_TRUE(PressOk());
    EXPECT_EQ(Result(), record);
    EXPECT_TRUE(m_warnings.empty());
}

TEST_F(SheetTest, EveryFieldTravelsThroughItsOwnControl) {
    const CBatchParams record = DistinctRecord();
    Open(record);
    for (Tab tab : {kControl, kOperations, kResults})
        Select(tab);
    EXPECT_EQ(Control<QLineEdit>(Page1::kQueueDir)->text(), "/lab/queue");
    EXPECT_EQ(Control<QLineEdit>(Page1::kProcessedDir)->text(), "/lab/done");
    EXPECT_EQ(Control<QLineEdit>(Page1::kFailedDir)->text(), "/lab/failed");
    EXPECT_EQ(Control<QLineEdit>(Page2::kStatusFile)->text(), "/run/status.sem");
    EXPECT_EQ(Control<QLineEdit>(Page2::kAbortFile)->text(), "/run/abort.sem");
    EXPECT_EQ(FilterList()->currentText(), "*.tab");
    EXPECT_TRUE(Control<QCheckBox>(Page3::kAcquire)->isChecked());
    EXPECT_FALSE(Control<QCheckBox>(Page3::kProcess)->isChecked());
    EXPECT_TRUE(Control<QCheckBox>(Page3::kQuantify)->isChecked());
    EXPECT_FALSE(Control<QCheckBox>(Page3::kProfile)->isChecked());
    EXPECT_FALSE(Control<QCheckBox>(Page4::kPrintReport)->isChecked());
    EXPECT_TRUE(Control<QCheckBox>(Page4::kCreateSummary)->isChecked());
    EXPECT_EQ(Control<QLineEdit>(Page4::kSchemeName)->text(), "Summary A");
    EXPECT_EQ(Control<QLineEdit>(Page4::kBrowserFile)->text(), "/opt/viewer/view");

    // Changes on every page come back in the right fields.
    Select(kDirectories);
    Control<QLineEdit>(Page1::kQueueDir)->setText("/q2");
    Select(kControl);
    Delay()->setText("600");
    FilterList()->setCurrentIndex(5);
    Select(kOperations);
    Control<QCheckBox>(Page3::kProcess)->setChecked(true);
    Select(kResults);
    Control<QCheckBox>(Page4::kPrintReport)->setChecked(true);
    Control<QLineEdit>(Page4::kSchemeName)->setText("Scheme B");
    ASSERT_TRUE(PressOk());
    CBatchParams expected = record;
    expected.QueueDir = "/q2";
    expected.WaitBeforeSubmit = 600;
    expected.Filters = "*.csv";
    expected.Process = 1;
    expected.PrintReport = 1;
    expected.SchemeName = "Scheme B";
    EXPECT_EQ(Result(), expected);
}

TEST_F(SheetTest, StoredDelayOfZeroIsShownAndRefused) {
    CBatchParams record = DistinctRecord();
    record.WaitBeforeSubmit = 0;
    Open(record);
    Select(kControl);
    EXPECT_EQ(Delay()->text(), "0");
    EXPECT_FALSE(PressOk());
    ASSERT_EQ(m_warnings.size(), 1u);
    EXPECT_EQ(m_warnings[0], Page2::kNeedDelayInRange);
    EXPECT_TRUE(m_sheet.isVisible());
    // Cancel still ends the sheet.
    m_sheet.Buttons()->button(QDialogButtonBox::Cancel)->click();
    EXPECT_FALSE(m_sheet.isVisible());
    EXPECT_EQ(m_sheet.result(), QDialog::Rejected);
}

TEST_F(SheetTest, DelayIsCheckedOnOkAndOnLeavingThePage) {
    struct Case {
        const char* text;
        const char* warning; // nullptr: accepted
        std::int32_t value;
    };
    const Case cases[] = {
        {"1", nullptr, 1},
        {"600", nullptr, 600},
        {" 42\t", nullptr, 42},
        {"+7", nullptr, 7},
        {"0", Page2::kNeedDelayInRange, 0},
        {"601", Page2::kNeedDelayInRange, 0},
        {"99999999999999999999", Page2::kNeedDelayInRange, 0},
        {"abc", Page2::kNeedWholeNumber, 0},
        {"", Page2::kNeedWholeNumber, 0},
        {"-1", Page2::kNeedWholeNumber, 0},
        {"5 s", Page2::kNeedWholeNumber, 0},
        {"١٢", Page2::kNeedWholeNumber, 0}, // digits of another script
    };
    for (const Case& c : cases) {
        for (bool byOk : {true, false}) {
            SCOPED_TRACE(std::string("delay [") + c.text + "] " + (byOk ? "OK" : "tab change"));
            CBatchParamsSheet sheet;
            std::vector<QString> warnings;
            sheet.SetWarningPresenter(
                [&warnings](QWidget*, const QString& text) { warnings.push_back(text); });
            CBatchParams record = DistinctRecord();
            sheet.SetParams(record);
            sheet.show();
            sheet.Tabs()->setCurrentIndex(kControl);
            auto* delay =
                sheet.findChild<QLineEdit*>(settings::ControlName(Page2::kWaitBeforeSubmit));
            auto* abortFile = sheet.findChild<QLineEdit*>(settings::ControlName(Page2::kAbortFile));
            delay->setText(QString::fromUtf8(c.text));
            abortFile->setText("/changed");
            if (byOk)
                sheet.accept();
            else
                sheet.Tabs()->setCurrentIndex(kResults);
            CBatchParams out = DistinctRecord();
            sheet.GetParams(out);
            if (c.warning == nullptr) {
                EXPECT_TRUE(warnings.empty());
                EXPECT_EQ(out.WaitBeforeSubmit, c.value);
                EXPECT_EQ(out.AbortFile, "/changed");
                EXPECT_EQ(sheet.Tabs()->currentIndex(), byOk ? kControl : kResults);
            } else {
                ASSERT_EQ(warnings.size(), 1u);
                EXPECT_EQ(warnings[0], c.warning);
                EXPECT_TRUE(sheet.isVisible());
                EXPECT_EQ(sheet.Tabs()->currentIndex(), kControl);
                EXPECT_EQ(sheet.focusWidget(), delay);
                // Nothing of the page is read in a refused attempt.
                EXPECT_EQ(out, record);
            }
        }
    }
}

TEST_F(SheetTest, FilterSelectionIgnoresCaseAndMayBeEmpty) {
    struct Case {
        const char* stored;
        int index;
        const char* readBack;
    };
    const Case cases[] = {
        {"*.tab", 3, "*.tab"}, {"*.OLB", 0, "*.olb"}, {"*.Csv", 5, "*.csv"},
        {"*.xyz", -1, ""},     {"", -1, ""},          {"*.olb ", -1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored);
        CBatchParamsSheet sheet;
        CBatchParams record = DistinctRecord();
        record.Filters = c.stored;
        sheet.SetParams(record);
        sheet.show();
        sheet.Tabs()->setCurrentIndex(kControl);
        auto* list = sheet.findChild<QComboBox*>(settings::ControlName(Page2::kFilters));
        ASSERT_EQ(list->count(), 6);
        EXPECT_EQ(list->itemText(0), "*.olb");
        EXPECT_EQ(list->itemText(5), "*.csv");
        EXPECT_FALSE(list->isEditable());
        EXPECT_EQ(list->currentIndex(), c.index);
        sheet.accept();
        CBatchParams out;
        sheet.GetParams(out);
        EXPECT_EQ(out.Filters, c.readBack);
    }
}

TEST_F(SheetTest, ControlPageTabOrderFollowsTheTemplate) {
    Open(DistinctRecord());
    Select(kControl);
    std::vector<QString> order;
    QWidget* w = Control<QLineEdit>(Page2::kStatusFile);
    for (int i = 0; i < 4; ++i) {
        order.push_back(w->objectName());
        do
            w = w->nextInFocusChain();
        while (w->focusPolicy() == Qt::NoFocus || !w->isVisible() ||
               w->parentWidget() != m_sheet.Page(kControl));
    }
    EXPECT_EQ(order, (std::vector<QString>{Name(Page2::kStatusFile), Name(Page2::kAbortFile),
                                           Name(Page2::kWaitBeforeSubmit), Name(Page2::kFilters)}));
}

TEST_F(SheetTest, TabCycleRunsThroughThePageThenOkCancelAndTheTabs) {
    const auto name = [this](QWidget* w) {
        return w == m_sheet.Tabs()->tabBar() ? Name(kTabBar) : w ? w->objectName() : "none";
    };
    const auto press = [this](Qt::Key key) {
        QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(m_sheet.focusWidget(), &event);
    };
    struct Case {
        Tab tab;
        std::vector<int> cycle; // from the focus the page gets, Tab after Tab
    };
    const Case cases[] = {
        {kDirectories,
         {Page1::kQueueDir, Page1::kProcessedDir, Page1::kFailedDir, kOk, kCancel, kTabBar,
          Page1::kQueueDir}},
        {kControl,
         {Page2::kStatusFile, Page2::kAbortFile, Page2::kWaitBeforeSubmit, Page2::kFilters, kOk,
          kCancel, kTabBar, Page2::kStatusFile}},
        {kOperations,
         {Page3::kAcquire, Page3::kProcess, Page3::kQuantify, Page3::kProfile, kOk, kCancel,
          kTabBar, Page3::kAcquire}},
        {kResults,
         {Page4::kPrintReport, Page4::kCreateSummary, Page4::kSchemeName, Page4::kBrowserFile,
          Page4::kBrowse, kOk, kCancel, kTabBar, Page4::kPrintReport}},
    };
    Open(DistinctRecord()); // the first row is the sheet as it opens
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tab);
        Select(c.tab);
        std::vector<QString> expected, seen{name(m_sheet.focusWidget())};
        for (int id : c.cycle)
            expected.push_back(Name(id));
        for (std::size_t i = 1; i < c.cycle.size(); ++i) {
            press(Qt::Key_Tab);
            seen.push_back(name(m_sheet.focusWidget()));
        }
        EXPECT_EQ(seen, expected);
        press(Qt::Key_Backtab);
        EXPECT_EQ(name(m_sheet.focusWidget()), Name(kTabBar));
        press(Qt::Key_Backtab);
        EXPECT_EQ(name(m_sheet.focusWidget()), Name(kCancel));
        press(Qt::Key_Tab);
        press(Qt::Key_Tab);
    }
    // While the tab bar has the focus, choosing a tab leaves it there.
    press(Qt::Key_Backtab);
    Select(kControl);
    EXPECT_EQ(name(m_sheet.focusWidget()), Name(kTabBar));
}

TEST_F(SheetTest, EnterPressesTheFocusedButtonElseOk) {
    struct Case {
        int control;
        int browses;
        int result; // -1: the sheet stays open
    };
    const Case cases[] = {
        {Page4::kBrowse, 1, -1},
        {kCancel, 0, QDialog::Rejected},
        {kOk, 0, QDialog::Accepted},
        {Page4::kBrowserFile, 0, QDialog::Accepted},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.control);
        CBatchParamsSheet sheet;
        int browses = 0;
        sheet.SetFileChooser([&browses](QWidget*, const QString&) {
            ++browses;
            return std::optional<QString>();
        });
        sheet.SetParams(DistinctRecord());
        sheet.show();
        sheet.Tabs()->setCurrentIndex(kResults);
        auto* control = sheet.findChild<QWidget*>(settings::ControlName(c.control));
        control->setFocus(Qt::TabFocusReason);
        QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(control, &enter);
        EXPECT_EQ(browses, c.browses);
        EXPECT_EQ(sheet.isVisible(), c.result == -1);
        if (c.result != -1) {
            EXPECT_EQ(sheet.result(), c.result);
        }
    }
}

TEST_F(SheetTest, BrowseStartsFromTheTypedPathAndFillsTheEdit) {
    std::vector<QString> asked;
    std::optional<QString> answer;
    m_sheet.SetFileChooser([&](QWidget*, const QString& initial) {
        asked.push_back(initial);
        return answer;
    });
    CBatchParams record = DistinctRecord();
    record.BrowserFile = "Telvorn.exe";
    Open(record);
    Select(kResults);
    auto* browse = Control<QPushButton>(Page4::kBrowse);
    auto* edit = Control<QLineEdit>(Page4::kBrowserFile);

    browse->click(); // cancelled
    EXPECT_EQ(edit->text(), "Telvorn.exe");

    edit->setText("/usr/local/bin/typed");
    answer = "/opt/viewer/chosen";
    browse->click();
    EXPECT_EQ(edit->text(), "/opt/viewer/chosen");
    EXPECT_EQ(asked, (std::vector<QString>{"Telvorn.exe", "/usr/local/bin/typed"}));

    ASSERT_TRUE(PressOk());
    EXPECT_EQ(Result().BrowserFile, "/opt/viewer/chosen");
}

TEST(SheetModal, CancelAfterChangesOnEveryPageLeavesTheRecordAlone) {
    const CBatchParams original = DistinctRecord();
    CBatchParams record = original;
    CBatchParamsSheet sheet;
    testsupport::WhenModal<CBatchParamsSheet>([](CBatchParamsSheet* s) {
        s->findChild<QLineEdit*>(settings::ControlName(Page1::kQueueDir))->setText("/elsewhere");
        s->Tabs()->setCurrentIndex(kControl);
        s->findChild<QLineEdit*>(settings::ControlName(Page2::kWaitBeforeSubmit))->setText("9");
        s->Tabs()->setCurrentIndex(kOperations);
        s->findChild<QCheckBox*>(settings::ControlName(Page3::kProfile))->setChecked(true);
        s->Tabs()->setCurrentIndex(kResults);
        s->findChild<QLineEdit*>(settings::ControlName(Page4::kSchemeName))->setText("other");
        s->Buttons()->button(QDialogButtonBox::Cancel)->click();
    });
    EXPECT_EQ(sheet.EditParams(record), 0);
    EXPECT_EQ(record, original);
}

TEST(SheetModal, ExternalTimeoutSurvivesRepeatedOk) {
    CBatchParams record = DistinctRecord();
    record.ExternalTimeout = 120;
    for (int round = 0; round < 3; ++round) {
        CBatchParamsSheet sheet;
        testsupport::WhenModal<CBatchParamsSheet>([](CBatchParamsSheet* s) {
            for (int tab : {kControl, kOperations, kResults})
                s->Tabs()->setCurrentIndex(tab);
            s->accept();
        });
        EXPECT_EQ(sheet.EditParams(record), 1);
        EXPECT_EQ(record.ExternalTimeout, 120);
    }
    EXPECT_EQ(record, [] {
        CBatchParams p = DistinctRecord();
        p.ExternalTimeout = 120;
        return p;
    }());
}

TEST(SheetModal, ClosingTheWindowReadsNothing) {
    CBatchParams record = DistinctRecord();
    CBatchParamsSheet sheet;
    testsupport::WhenModal<CBatchParamsSheet>([](CBatchParamsSheet* s) {
        s->findChild<QLineEdit*>(settings::ControlName(Page1::kProcessedDir))->setText("/x");
        s->close();
    });
    EXPECT_EQ(sheet.EditParams(record), 0);
    EXPECT_EQ(record, DistinctRecord());
}

TEST(ProgramDialog, ListsProgramsFirstAndTakesATypedNameAsItIs) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const auto make = [&dir](const char* name, QFile::Permissions permissions) {
        QFile file(dir.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.setPermissions(permissions);
    };
    const QFile::Permissions plain = QFile::ReadOwner | QFile::WriteOwner;
    make("tool", plain | QFile::ExeOwner);
    make("notes", plain);
    make("viewer.exe", plain); // a program of another system, not runnable here
    ASSERT_TRUE(QDir(dir.path()).mkdir("sub"));

    QFileDialog dialog;
    settings::SetUpProgramDialog(dialog, dir.filePath("notes"));
    auto* proxy = dialog.proxyModel();
    ASSERT_NE(proxy, nullptr);
    auto* files = qobject_cast<QFileSystemModel*>(proxy->sourceModel());
    ASSERT_NE(files, nullptr);
    bool loaded = false;
    QObject::connect(files, &QFileSystemModel::directoryLoaded,
                     [&](const QString& path) { loaded = loaded || path == dir.path(); });
    dialog.show();
    ASSERT_TRUE(testsupport::WaitFor([&] { return loaded; }));
    const auto listed = [&] {
        QStringList names;
        const QModelIndex root = proxy->mapFromSource(files->index(dir.path()));
        for (int row = 0; row < proxy->rowCount(root); ++row)
            names << proxy->index(row, 0, root).data().toString();
        names.sort();
        return names;
    };

    EXPECT_EQ(dialog.nameFilters(),
              (QStringList{"Programs (*)", "Executable Files (*.exe)", "All Files (*)"}));
    // Each filter in turn, chosen as the user does, with the arrow key.
    auto* filterList = dialog.findChild<QComboBox*>("fileTypeCombo");
    ASSERT_NE(filterList, nullptr);
    const QStringList shown[] = {
        {"sub", "tool"}, {"sub", "viewer.exe"}, {"notes", "sub", "tool", "viewer.exe"}};
    for (int filter = 0; filter < 3; ++filter) {
        if (filter > 0) {
            QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
            QApplication::sendEvent(filterList, &down);
        }
        EXPECT_EQ(dialog.selectedNameFilter(), dialog.nameFilters()[filter]);
        testsupport::WaitFor([&] { return listed() == shown[filter]; });
        EXPECT_EQ(listed(), shown[filter]) << filter;
    }

    // A typed name is taken as typed: "viewer" is not "viewer.exe".
    struct Case {
        const char* typed;
        std::optional<QString> chosen; // none: refused as not found
    };
    const Case cases[] = {{"viewer", std::nullopt}, {"tool", dir.filePath("tool")}};
    auto* name = dialog.findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        testsupport::ModalWatch notFound;
        name->setText(c.typed);
        static_cast<QDialog&>(dialog).accept(); // the dialog's Open
        EXPECT_EQ(dialog.isVisible(), !c.chosen.has_value());
        if (c.chosen) {
            EXPECT_EQ(dialog.selectedFiles(), QStringList{*c.chosen});
        } else {
            EXPECT_EQ(notFound.seen, std::vector<std::string>{"QMessageBox"});
        }
    }
}
