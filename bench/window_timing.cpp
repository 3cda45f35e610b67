// How long the window's own upgrade takes for a 64 KiB image against iap-device-sim on a
// line paced at 115200 baud, beside the wire-time lower bound: every byte that crossed the
// line in either direction, at 10 bits a byte. The window runs offscreen and is driven
// through its buttons, with its timing exactly as shipped (50 ms ticks, 30 ms quiet gap).
//
//   window_timing [RUNS]        (default 3)
#include "iapcontext.h"
#include "mainwindow.h"
#include "mainwindowui.h"
#include "serial.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr int Baud = 115200;
constexpr int ImageBytes = 64 * 1024;
constexpr int RequestBytes = 12;
constexpr int AcceptBytes = 8;
constexpr int PackageBytes = 1032; // 64 KiB is 64 full packages: no short final one
constexpr int AckBytes = 9;

// Runs the event loop until `done` holds or `timeoutMs` passes; false on timeout.
bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer poll;
    poll.setTimerType(Qt::PreciseTimer);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done() || clock.elapsed() > timeoutMs)
            loop.quit();
    });
    poll.start(1);
    if (!done())
        loop.exec();
    return done();
}

int fail(const char *what)
{
    std::fprintf(stderr, "window_timing: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 3;

    QTemporaryDir dir;
    if (!dir.isValid())
        return fail("cannot create a temporary folder");
    QByteArray image(ImageBytes, Qt::Uninitialized);
    QRandomGenerator gen(20240818);
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(gen.bounded(256));
    const QString imagePath = dir.filePath(QStringLiteral("image.bin"));
    const QString outPath = dir.filePath(QStringLiteral("received.bin"));
    {
        QFile f(imagePath);
        if (!f.open(QIODevice::WriteOnly) || f.write(image) != image.size())
            return fail("cannot write the image");
    }

    QProcess sim;
    sim.start(QStringLiteral(IAP_SIM_PATH),
              {QStringLiteral("--baud"), QString::number(Baud), QStringLiteral("--out"), outPath});
    if (!sim.waitForStarted(5000) || !waitFor([&] { return sim.canReadLine(); }, 5000))
        return fail("the simulator did not start");
    const QString port = QString::fromLocal8Bit(sim.readLine()).trimmed();

    QByteArray simOut;
    QList<QJsonObject> completions;
    QObject::connect(&sim, &QProcess::readyReadStandardOutput, [&] {
        simOut += sim.readAllStandardOutput();
        int nl;
        while ((nl = simOut.indexOf('\n')) >= 0) {
            const QJsonObject o = QJsonDocument::fromJson(simOut.left(nl)).object();
            simOut.remove(0, nl + 1);
            if (o.value(QStringLiteral("event")).toString() == QLatin1String("complete"))
                completions << o;
        }
    });

    MainWindow window(QStringList{port});
    MainWindowUi *ui = window.form();
    window.show();
    ui->comboBox->setCurrentIndex(0);
    ui->openPortButton->click();
    if (!window.serialLink()->isOpen())
        return fail("the window could not open the simulator's port");
    window.loadFirmware(imagePath);

    std::printf("window upgrade of %d bytes at %d baud, against iap-device-sim --baud %d\n",
                ImageBytes, Baud, Baud);
    std::printf("%4s %9s %9s %9s %9s %8s %10s %9s %7s\n", "run", "window s", "device s", "requests",
                "packages", "resends", "line bytes", "bound s", "ratio");
    std::vector<double> ratios;
    for (int run = 1; run <= runs; ++run) {
        const int before = completions.size();
        QElapsedTimer clock;
        clock.start();
        ui->iapDownLoadButton->click(); // the first request goes out one tick later
        if (!waitFor([&] { return window.context()->state == 3; }, 120000))
            return fail("the upgrade did not finish");
        const double seconds = double(clock.nsecsElapsed()) / 1e9;
        if (!waitFor([&] { return completions.size() > before; }, 5000))
            return fail("the simulator did not report the image");
        const QJsonObject report = completions.constLast();
        QFile received(outPath);
        if (!received.open(QIODevice::ReadOnly) || received.readAll() != image)
            return fail("the device's image differs from the file");

        // Every request is answered with one accept frame, every package with one
        // acknowledgement (no faults are asked of the simulator).
        const qint64 requests = report.value(QStringLiteral("requests")).toInt();
        const qint64 packages = report.value(QStringLiteral("packages")).toInt();
        const qint64 resends = report.value(QStringLiteral("resends")).toInt();
        const qint64 lineBytes =
            requests * (RequestBytes + AcceptBytes) + packages * (PackageBytes + AckBytes);
        const double bound = double(lineBytes) * 10.0 / Baud;
        const double ratio = seconds / bound;
        ratios.push_back(ratio);
        std::printf("%4d %9.3f %9.3f %9lld %9lld %8lld %10lld %9.3f %7.3f\n", run, seconds,
                    report.value(QStringLiteral("seconds")).toDouble(), requests, packages, resends,
                    lineBytes, bound, ratio);
        std::fflush(stdout);
    }
    std::sort(ratios.begin(), ratios.end());
    const size_t n = ratios.size();
    const double median = n % 2 ? ratios[n / 2] : (ratios[n / 2 - 1] + ratios[n / 2]) / 2;
    std::printf("median ratio to the wire-time bound: %.3f\n", median);

    ui->openPortButton->click();
    sim.kill();
    sim.waitForFinished(5000);
    return 0;
}
