// Renders the main window, the settings sheet's pages and the About box to PNG
// files, offscreen, for the documentation. Usage: RenderScreenshots <dir>
//
// Offscreen windows have no window manager, so each picture gets a plain title
// bar of its own: the window's icon, its caption and its title-bar buttons.
#include "app/AppIcon.h"
#include "app/CAboutDlg.h"
#include "app/CBatchQueueDlg.h"
#include "engine/Clock.h"
#include "external/CFileFindS.h"
#include "external/QueueLibrary.h"
#include "settings/CBatchParams.h"
#include "settings/CBatchParamsSheet.h"
#include "settings/MemoryProfileStore.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QTabWidget>

#include <cstdio>

namespace {

constexpr const char* kQueueDir = "/srv/lab/queue";

// A suite that is running and busy, so the status line has something to say.
class BusySuite final : public external::QueueLibrary {
public:
    int IsKorvaneRunning() override { return 1; }
    int GetNumberOfQueueItems() override { return 3; }
    int QueueControl(int) override { return 1; }
    int QueueSampleBatch(const std::string&, int, int, int, int) override { return 1; }
};

// A queue directory with a few batches that arrived this morning; every other
// search finds nothing, so no semaphore file exists.
class ExampleQueue final : public external::CFileFindS {
public:
    int FindFile(const std::string& name, int = 0) override {
        const std::string pattern = std::string(kQueueDir) + "/*.olb";
        if (name != pattern) {
            SetMatches("/", {});
            return 0;
        }
        const std::int64_t morning =
            QDateTime(QDate(2024, 5, 14), QTime(8, 2, 11)).toSecsSinceEpoch();
        const std::vector<Entry> batches = {
            {"Calibration-B.olb", morning, morning, false},
            {"Plate-0412.olb", morning + 1260, morning + 1262, false},
            {"Plate-0413.olb", morning + 1391, morning + 1391, false},
            {"Stability-T3.olb", morning + 2930, morning + 2931, false},
            {"QC-Midday.olb", morning + 14533, morning + 14533, false},
        };
        SetMatches(std::string(kQueueDir) + "/", batches);
        return 1;
    }
};

// The picture of a window: its contents under a plain title bar, in a frame.
QImage Framed(QWidget& window, bool minimiseButton) {
    QApplication::processEvents();
    const QPixmap content = window.grab();
    const int bar = window.fontMetrics().height() + 14;
    const int border = 1;
    QImage out(content.width() + 2 * border, content.height() + bar + border,
               QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    QPainter p(&out);
    p.setRenderHint(QPainter::Antialiasing);

    // Frame with slightly rounded upper corners, then the title bar's shading.
    QPainterPath frame;
    frame.addRoundedRect(QRectF(0.5, 0.5, out.width() - 1, out.height() - 1), 6, 6);
    frame.addRect(QRectF(0.5, out.height() / 2.0, out.width() - 1, out.height() / 2.0 - 0.5));
    frame.setFillRule(Qt::WindingFill);
    QLinearGradient shade(0, 0, 0, bar);
    shade.setColorAt(0, QColor(0xf2, 0xf2, 0xf2));
    shade.setColorAt(1, QColor(0xdf, 0xdf, 0xdf));
    p.fillPath(frame.simplified(), shade);
    p.setPen(QColor(0x9a, 0x9a, 0x9a));
    p.drawPath(frame.simplified());
    p.drawLine(border, bar, out.width() - border - 1, bar);
    p.drawPixmap(border, bar, content);

    // Icon and caption at the left, the buttons at the right.
    const int iconSize = 16;
    p.drawPixmap(10, (bar - iconSize) / 2, app::AppIcon().pixmap(iconSize, iconSize));
    QFont caption = window.font();
    caption.setBold(true);
    p.setFont(caption);
    p.setPen(QColor(0x2e, 0x2e, 0x2e));
    p.drawText(QRect(10 + iconSize + 8, 0, out.width() - 100, bar),
               Qt::AlignLeft | Qt::AlignVCenter, window.windowTitle());
    QPen glyph(QColor(0x3c, 0x3c, 0x3c), 1.6);
    glyph.setCapStyle(Qt::RoundCap);
    p.setPen(glyph);
    const int g = 4; // half the glyph's size
    const QPointF close(out.width() - 18, bar / 2.0);
    p.drawLine(close + QPointF(-g, -g), close + QPointF(g, g));
    p.drawLine(close + QPointF(-g, g), close + QPointF(g, -g));
    if (minimiseButton) {
        const QPointF minimise(out.width() - 44, bar / 2.0 + g);
        p.drawLine(minimise + QPointF(-g, 0), minimise + QPointF(g, 0));
    }
    p.end();
    return out;
}

bool Save(const QImage& picture, const QDir& dir, const QString& name) {
    const QString path = dir.filePath(name);
    if (!picture.save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
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

    settings::MemoryProfileStore store;
    store.WriteString("Settings", "QueueDir", kQueueDir);
    store.WriteString("Settings", "StatusFile", "/run/lab/sampling.sem");
    store.WriteString("Settings", "AbortFile", "/run/lab/abort.sem");
    store.WriteInt("Settings", "PrintReport", 1);
    store.WriteString("Settings", "SchemeName", "Summary");
    store.WriteString("Settings", "BrowserFile", "/opt/korvane/bin/telvorn");

    // The main window over the example queue, the suite busy with a batch.
    BusySuite suite;
    engine::SystemClock clock;
    {
        app::MainWindowServices services{&suite, &clock, &store};
        services.makeEngine = [](engine::EngineServices s) {
            s.finders = [] { return std::make_unique<ExampleQueue>(); };
            return std::make_unique<engine::CBatchQueue>(std::move(s));
        };
        services.makeWatcher = [](platform::MessagePoster*) { return nullptr; };
        app::CBatchQueueDlg window(std::move(services));
        window.show();
        window.SetTimerPeriod(0);
        window.Refresh();
        ok &= Save(Framed(window, true), out, QStringLiteral("main-window.png"));
    }

    // Each page of the settings sheet.
    settings::CBatchParams params;
    params.Load(&store);
    settings::CBatchParamsSheet sheet;
    sheet.SetParams(params);
    sheet.show();
    const char* pages[] = {"settings-directories.png", "settings-control.png",
                           "settings-operations.png", "settings-results.png"};
    for (int i = 0; i < 4; ++i) {
        sheet.Tabs()->setCurrentIndex(i);
        ok &= Save(Framed(sheet, false), out, QString::fromLatin1(pages[i]));
    }
    sheet.reject();

    app::CAboutDlg about;
    about.show();
    ok &= Save(Framed(about, false), out, QStringLiteral("about.png"));
    return ok ? 0 : 1;
}
