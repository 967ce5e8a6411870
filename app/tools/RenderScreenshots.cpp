// Renders the main window, the settings sheet's pages and the About box to PNG
// files, offscreen, for the documentation. Usage: RenderScreenshots <dir>
#include "app/CAboutDlg.h"
#include "app/CBatchQueueDlg.h"
#include "engine/Clock.h"
#include "external/QueueLibrary.h"
#include "settings/CBatchParams.h"
#include "settings/CBatchParamsSheet.h"
#include "settings/MemoryProfileStore.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPixmap>
#include <QTabWidget>
#include <QTemporaryDir>

#include <cstdio>

namespace {

// A suite that is running and busy, so the status line has something to say.
class BusySuite final : public external::QueueLibrary {
public:
    int IsKorvaneRunning() override { return 1; }
    int GetNumberOfQueueItems() override { return 3; }
    int QueueControl(int) override { return 1; }
    int QueueSampleBatch(const std::string&, int, int, int, int) override { return 1; }
};

bool Save(QWidget& window, const QDir& dir, const QString& name) {
    QApplication::processEvents();
    const QPixmap picture = window.grab();
    const QString path = dir.filePath(name);
    if (!picture.save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

void Touch(const QString& path) {
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write("Sample list\nS1\nS2\n");
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    application.setApplicationName(QStringLiteral("Tesmaro"));
    if (argc != 2) {
        std::fprintf(stderr, "usage: RenderScreenshots <output directory>\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!QDir().mkpath(out.path()))
        return 1;
    bool ok = true;

    // The main window over a queue directory with a few waiting batches.
    QTemporaryDir work;
    const QDir queue(work.path());
    for (const char* name : {"Plate-0412.olb", "Plate-0413.olb", "Stability-T3.olb",
                             "QC-Morning.olb", "Calibration-B.olb"})
        Touch(queue.filePath(QString::fromLatin1(name)));
    settings::MemoryProfileStore store;
    store.WriteString("Settings", "QueueDir", queue.path().toStdString());
    store.WriteString("Settings", "StatusFile", queue.filePath("status.sem").toStdString());
    store.WriteString("Settings", "AbortFile", queue.filePath("abort.sem").toStdString());
    BusySuite suite;
    engine::SystemClock clock;
    {
        app::CBatchQueueDlg window(app::MainWindowServices{&suite, &clock, &store});
        window.show();
        window.OnTimer(1);
        window.SetTimerPeriod(0);
        ok &= Save(window, out, QStringLiteral("main-window.png"));
    }

    // Each page of the settings sheet, with the settings a lab might use.
    settings::CBatchParams params;
    params.Load(&store);
    params.QueueDir = "/srv/lab/queue";
    params.ProcessedDir = "/srv/lab/queue/Processed";
    params.FailedDir = "/srv/lab/queue/Failed";
    params.StatusFile = "/run/lab/sampling.sem";
    params.AbortFile = "/run/lab/abort.sem";
    params.SchemeName = "Summary";
    params.PrintReport = 1;
    params.BrowserFile = "/opt/korvane/bin/telvorn";
    settings::CBatchParamsSheet sheet;
    sheet.SetParams(params);
    sheet.show();
    const char* pages[] = {"settings-directories.png", "settings-control.png",
                           "settings-operations.png", "settings-results.png"};
    for (int i = 0; i < 4; ++i) {
        sheet.Tabs()->setCurrentIndex(i);
        ok &= Save(sheet, out, QString::fromLatin1(pages[i]));
    }
    sheet.reject();

    app::CAboutDlg about;
    about.show();
    ok &= Save(about, out, QStringLiteral("about.png"));
    return ok ? 0 : 1;
}
