#include "mainwindow.h"

#include "catalogue.h"
#include "firmwarefile.h"
#include "iapcontext.h"
#include "mainwindowui.h"
#include "messages.h"
#include "serial.h"
#include "timing.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScrollBar>
#include <QTextCursor>
#include <QTimer>
#include <QTranslator>
#include <QUrl>

// The pictures and the catalogue live in a static library; register them before the form
// asks for the window icon.
static void initWindowResources()
{
    Q_INIT_RESOURCE(resources);
    Q_INIT_RESOURCE(i18n);
}

namespace {

constexpr int Baud = 115200;
// The maker's site behind the logo.
constexpr char WebLinkSource[] = "<a href = https://www.example.com/upgrade-assistant "
                                 "><img src=:/Res/Img/20240818-210319.png width =150 height=40>";

} // namespace

MainWindow::MainWindow(QWidget *parent) : MainWindow(QStringList(), parent) {}

MainWindow::MainWindow(const QStringList &extraPortNames, QWidget *parent)
    : QMainWindow(parent), serial(nullptr), ui(new MainWindowUi), frameTimer(nullptr),
      replyTimer(nullptr), iapTimer(nullptr), timeoutCount(0), iapContext(nullptr), isChinese(true),
      framer(&rxBuffer), extraPorts(extraPortNames)
{
    initWindowResources();
    // The desktop entry this window belongs to (its app id on Wayland, its icon in the
    // task bar).
    QGuiApplication::setDesktopFileName(QStringLiteral(IAP_DESKTOP_FILE_NAME));
    ui->setupUi(this);

    serial = new Serial;
    frameTimer = new QTimer;
    replyTimer = new QTimer;
    iapTimer = new QTimer;
    iapContext = new IapContext;
    run = std::make_unique<iap::UpgradeRun>(iapContext);

    fillPortList();

    connect(serial, SIGNAL(readSignal()), this, SLOT(readSerialData()));
    connect(frameTimer, SIGNAL(timeout()), this, SLOT(timeUpdate()));
    connect(replyTimer, SIGNAL(timeout()), this, SLOT(timeoutUpdate()));
    connect(iapTimer, SIGNAL(timeout()), this, SLOT(timeIAPUpdate()));
    connect(ui->label_Logo, SIGNAL(linkActivated(QString)), this, SLOT(openUrl(QString)));
    serial->setLostHandler(
        [this](links::SerialError error, const QString &reason) { onPortLost(error, reason); });

    setWebLink();
    ui->iapDownLoadButton->setEnabled(false);
    // Only a display: a file is named through the dialog (or the command line), and a typed
    // path would not be what is sent.
    ui->b_FirmwarePath->setReadOnly(true);
    EnglishInit();
}

MainWindow::~MainWindow()
{
    serial->setLostHandler(nullptr);
    delete ui;
    delete serial;
    delete frameTimer;
    delete replyTimer;
    delete iapTimer;
    run.reset();
    delete iapContext;
}

void MainWindow::fillPortList()
{
    QStringList names = extraPorts;
    names += serial->availablePortNames();
    qDebug("newportnum:%d", int(names.size()));
    for (const QString &name : qAsConst(names))
        ui->comboBox->addItem(name);
}

void MainWindow::appendMessage(const QString &line)
{
    QTextBrowser *tb = ui->tb_IAPMsg;
    QScrollBar *bar = tb->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    QTextCursor cursor(tb->document());
    cursor.movePosition(QTextCursor::End);
    if (!tb->document()->isEmpty())
        cursor.insertBlock();
    cursor.insertText(line); // never interpreted as markup
    if (atEnd)
        bar->setValue(bar->maximum());
}

void MainWindow::restoreOperationalLabels()
{
    ui->openPortButton->setText(
        iap::text(serial->isOpen() ? iap::Text::CloseLabel : iap::Text::OpenLabel, language()));
    ui->iapDownLoadButton->setText(
        iap::text(run->running() ? iap::Text::CancelLabel : iap::Text::DownloadLabel, language()));
}

void MainWindow::endRun()
{
    ui->iapDownLoadButton->setText(iap::text(iap::Text::DownloadLabel, language()));
    ui->iapLoadFileButton->setEnabled(true);
}

void MainWindow::setPortControls(bool portOpen)
{
    ui->comboBox->setEnabled(!portOpen);
    ui->refreshButton->setEnabled(!portOpen);
    ui->openPortButton->setText(
        iap::text(portOpen ? iap::Text::CloseLabel : iap::Text::OpenLabel, language()));
}

void MainWindow::on_clearTextButton_clicked() {}

void MainWindow::readSerialData()
{
    frameTimer->start(iap::QuietGap);
    replyTimer->stop();
    framer.append(serial->getBuffer());
    serial->clearBuffer();
}

void MainWindow::timeUpdate()
{
    frameTimer->stop();
    QByteArray frame;
    qint64 firstByte = 0;
    if (framer.quiet(&frame, &firstByte) != links::ReplyFramer::Outcome::Accepted)
        return;
    // The run decides whether the frame becomes the stored reply (one that arrived before
    // what it would answer went out never does); every valid frame is shown.
    run->offer(frame, firstByte);
    appendMessage(IapContext::hexText(frame));
}

void MainWindow::timeIAPUpdate()
{
    iapTimer->stop();
    applyStep(run->tick(framer.received()));
}

void MainWindow::applyStep(const iap::Step &step)
{
    const iap::Language languageNow = language(); // one language for the whole step
    for (const iap::Action &action : step.actions) {
        if (action.kind == iap::Action::Kind::Send)
            serial->sendData(action.bytes);
        else
            appendMessage(action.render(languageNow));
    }
    if (step.running)
        iapTimer->start(iap::TickInterval);
    else
        endRun();
}

void MainWindow::procPackage()
{
    // Nothing connects to this slot: replies are framed in timeUpdate().
}

void MainWindow::timeoutUpdate()
{
    replyTimer->stop();
    timeoutCount = 0;
    appendMessage(iap::text(iap::Text::ReceiveTimeout, language()));
}

void MainWindow::on_actionabout_triggered()
{
    QMessageBox::information(nullptr, iap::text(iap::Text::AboutTitle, language()),
                             iap::text(iap::Text::AboutText, language()));
}

void MainWindow::on_iapLoadFileButton_clicked()
{
    qDebug("load firmware");
    const QString path = QFileDialog::getOpenFileName(
        this, QStringLiteral("选择固件"), QStringLiteral("."), QStringLiteral("(*.bin)"));
    loadFirmware(path);
}

void MainWindow::loadFirmware(const QString &path)
{
    iapContext->firmwarePath = path;
    if (path.isEmpty())
        return;
    ui->b_FirmwarePath->setText(path);
    ui->iapDownLoadButton->setEnabled(true);
    LoadFile();
}

void MainWindow::LoadFile()
{
    const QString path = iapContext->firmwarePath;
    // Taken before the read: a file rewritten while it is read is read again at Download.
    const QFileInfo before(path);
    loadedSize = before.exists() ? before.size() : -1;
    loadedModified = before.lastModified();
    const iap::FirmwareFile file = iap::loadFirmwareFile(path);
    qDebug("size:%d", int(file.size));
    if (file.error != iap::IapError::None) {
        // Not a usable image: nothing is left to send until a good file is chosen.
        iapContext->setImage(QByteArray());
        ui->iapDownLoadButton->setEnabled(false);
        ui->tb_IAPMsg->clear();
        appendMessage(iap::errorText(file.error, language(), path, file.detail, file.fault));
        return;
    }
    iapContext->setImage(file.image);
    ui->iapDownLoadButton->setEnabled(true);
    ui->tb_IAPMsg->setPlainText(iap::UpgradeRun::summaryText(file, language()));
}

void MainWindow::on_iapDownLoadButton_clicked()
{
    if (ui->iapDownLoadButton->text() == iap::text(iap::Text::DownloadLabel, language())) {
        if (!serial->isOpen()) {
            // Requests into a closed port would go nowhere, for ever.
            appendMessage(
                links::serialErrorText(links::SerialError::NotOpen, language(), QString()));
            return;
        }
        // A rebuilt file is loaded again, with its summary, before anything is sent; one that
        // is gone or cannot be read any more stops the press with its line.
        const bool reload = firmwareChanged();
        if (reload) {
            LoadFile();
            if (!ui->iapDownLoadButton->isEnabled())
                return;
            appendMessage(
                iap::text(iap::Text::FileReloaded, language()).arg(iapContext->firmwarePath));
        }
        const iap::IapError error = run->start();
        if (error != iap::IapError::None) {
            appendMessage(iap::errorText(error, language(), iapContext->firmwarePath));
            return;
        }
        if (!reload)
            ui->tb_IAPMsg->clear();
        ui->iapDownLoadButton->setText(iap::text(iap::Text::CancelLabel, language()));
        // The image must not change under a running upgrade.
        ui->iapLoadFileButton->setEnabled(false);
        iapTimer->start(iap::TickInterval);
    } else {
        iapTimer->stop();
        run->cancel();
        endRun();
    }
}

void MainWindow::on_iapClearButton_clicked()
{
    ui->tb_IAPMsg->clear();
}

void MainWindow::EnglishInit()
{
    QTranslator translator;
    isChinese = false;
    catalogue::load(translator);
    QCoreApplication::installTranslator(&translator);
    ui->retranslateUi(this);
    setWebLink();
    restoreOperationalLabels();
}

void MainWindow::on_actionenglish_triggered()
{
    QTranslator translator;
    catalogue::load(translator);
    isChinese = false;
    QCoreApplication::installTranslator(&translator);
    ui->retranslateUi(this);
    ui->tb_IAPMsg->clear();
    setWebLink();
    restoreOperationalLabels();
}

void MainWindow::on_actionchinese_triggered()
{
    isChinese = true;
    ui->retranslateUi(this);
    setWebLink();
    restoreOperationalLabels();
}

void MainWindow::setWebLink()
{
    ui->label_Logo->setTextFormat(Qt::RichText);
    ui->label_Logo->setText(QCoreApplication::translate("MainWindow", WebLinkSource));
}

void MainWindow::on_refreshButton_clicked()
{
    ui->comboBox->clear();
    fillPortList();
}

void MainWindow::on_openPortButton_clicked()
{
    if (ui->openPortButton->text() == iap::text(iap::Text::OpenLabel, language())) {
        const QString name = ui->comboBox->currentText();
        if (serial->openPort(name, Baud)) {
            openPortName = name;
            setPortControls(true);
        } else {
            appendMessage(links::serialErrorText(serial->lastError(), language(), name,
                                                 serial->lastErrorString()));
        }
    } else {
        serial->closePort();
        setPortControls(false);
        if (run->running()) {
            // Nothing more can reach the device: the run ends here, not in endless resends.
            iapTimer->stop();
            run->cancel();
            endRun();
            appendMessage(iap::text(iap::Text::PortClosedDuringRun, language())
                              .arg(run->bytesDone())
                              .arg(run->imageBytes()));
        }
    }
}

bool MainWindow::firmwareChanged() const
{
    const QFileInfo now(iapContext->firmwarePath);
    if (!now.exists() || !now.isReadable())
        return true;
    return now.size() != loadedSize || now.lastModified() != loadedModified;
}

void MainWindow::onPortLost(links::SerialError error, const QString &reason)
{
    Q_UNUSED(error); // the link reports only a line that went away
    // The link has closed the port already.
    setPortControls(false);
    if (run->running()) {
        iapTimer->stop();
        // What arrived before the line went is a whole burst.
        frameTimer->stop();
        timeUpdate();
        applyStep(run->lineLost());
    }
    appendMessage(links::lineLostText(run->lostMidUpgrade(), run->bytesDone(), run->imageBytes(),
                                      language(), openPortName, reason));
}

void MainWindow::openUrl(QString url)
{
    QDesktopServices::openUrl(QUrl(url, QUrl::TolerantMode));
}
