#include "mainwindow.h"

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

// Loads the English catalogue: the working folder first (as the program always did), then
// the executable's folder, then the copy compiled into the program, so that a program
// started from any other folder still shows a whole English window.
void loadCatalogue(QTranslator &translator)
{
    if (translator.load(QString::fromLatin1(MainWindow::CatalogueName)))
        return;
    if (translator.load(QString::fromLatin1(MainWindow::CatalogueName),
                        QCoreApplication::applicationDirPath()))
        return;
    translator.load(QString::fromLatin1(MainWindow::BuiltInCatalogue));
}

} // namespace

MainWindow::MainWindow(QWidget *parent) : MainWindow(QStringList(), parent) {}

MainWindow::MainWindow(const QStringList &extraPortNames, QWidget *parent)
    : QMainWindow(parent), serial(nullptr), ui(new MainWindowUi), frameTimer(nullptr),
      replyTimer(nullptr), iapTimer(nullptr), timeoutCount(0), iapContext(nullptr), isChinese(true),
      framer(&rxBuffer), extraPorts(extraPortNames)
{
    initWindowResources();
    ui->setupUi(this);

    serial = new Serial;
    frameTimer = new QTimer;
    replyTimer = new QTimer;
    iapTimer = new QTimer;
    iapContext = new IapContext;
    engine = std::make_unique<iap::UpgradeEngine>(iapContext);

    fillPortList();

    connect(serial, SIGNAL(readSignal()), this, SLOT(readSerialData()));
    connect(frameTimer, SIGNAL(timeout()), this, SLOT(timeUpdate()));
    connect(replyTimer, SIGNAL(timeout()), this, SLOT(timeoutUpdate()));
    connect(iapTimer, SIGNAL(timeout()), this, SLOT(timeIAPUpdate()));
    connect(ui->label_Logo, SIGNAL(linkActivated(QString)), this, SLOT(openUrl(QString)));
    serial->setLostHandler(
        [this](SerialError error, const QString &reason) { onPortLost(error, reason); });

    setWebLink();
    ui->iapDownLoadButton->setEnabled(false);
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
    engine.reset();
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
        iap::text(serial->isOpen() ? iap::Text::CloseLabel : iap::Text::OpenLabel, isChinese));
    ui->iapDownLoadButton->setText(iap::text(
        engine->running() ? iap::Text::CancelLabel : iap::Text::DownloadLabel, isChinese));
}

void MainWindow::endRun()
{
    ui->iapDownLoadButton->setText(iap::text(iap::Text::DownloadLabel, isChinese));
    ui->iapLoadFileButton->setEnabled(true);
}

void MainWindow::setPortControls(bool portOpen)
{
    ui->comboBox->setEnabled(!portOpen);
    ui->refreshButton->setEnabled(!portOpen);
    ui->openPortButton->setText(
        iap::text(portOpen ? iap::Text::CloseLabel : iap::Text::OpenLabel, isChinese));
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
    if (framer.quiet(&frame) != ReplyFramer::Outcome::Accepted)
        return;
    iapContext->response = frame;
    appendMessage(IapContext::hexText(iapContext->response));
}

void MainWindow::timeIAPUpdate()
{
    iapTimer->stop();
    applyStep(engine->tick());
}

void MainWindow::applyStep(const iap::Step &step)
{
    const bool chineseNow = isChinese; // one language for the whole step
    for (const iap::Action &action : step.actions) {
        if (action.kind == iap::Action::Kind::Send)
            serial->sendData(action.bytes);
        else
            appendMessage(action.render(chineseNow));
    }
    if (step.running)
        iapTimer->start(iap::TickInterval);
    else
        endRun();
}

void MainWindow::procPackage()
{
    // Looks at the gathered bytes without consuming them; framing happens in timeUpdate().
    int leading = 0;
    for (const char byte : qAsConst(rxBuffer)) {
        if (byte == char(0xF1))
            break;
        ++leading;
    }
    Q_UNUSED(leading);
}

void MainWindow::timeoutUpdate()
{
    replyTimer->stop();
    timeoutCount = 0;
    appendMessage(iap::text(iap::Text::ReceiveTimeout, isChinese));
}

void MainWindow::on_actionabout_triggered()
{
    QMessageBox::information(nullptr, iap::text(iap::Text::AboutTitle, isChinese),
                             iap::text(iap::Text::AboutText, isChinese));
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
    const iap::FirmwareFile file = iap::loadFirmwareFile(path);
    qDebug("size:%d", int(file.size));
    if (file.error != iap::IapError::None) {
        // Not a usable image: nothing is left to send until a good file is chosen.
        iapContext->setImage(QByteArray());
        ui->iapDownLoadButton->setEnabled(false);
        ui->tb_IAPMsg->clear();
        appendMessage(iap::errorText(file.error, isChinese, path, file.detail, file.fault));
        return;
    }
    iapContext->setImage(file.image);
    ui->iapDownLoadButton->setEnabled(true);
    QString summary = iap::text(iap::Text::Summary, isChinese)
                          .arg(iapContext->firmware.size())
                          .arg(iapContext->packetSize)
                          .arg(iapContext->packetTotal);
    // A converted file (HEX, S-record, ELF) says what it was and where the image lies.
    if (file.format != iap::ImageFormat::Binary)
        summary.prepend(iap::text(iap::Text::ConvertedImage, isChinese)
                            .arg(iap::formatTitle(file.format), iap::addressText(file.base),
                                 iap::addressText(file.last)) +
                        QStringLiteral("\r\n"));
    ui->tb_IAPMsg->setPlainText(summary);
}

void MainWindow::on_iapDownLoadButton_clicked()
{
    if (ui->iapDownLoadButton->text() == iap::text(iap::Text::DownloadLabel, isChinese)) {
        if (!serial->isOpen()) {
            // Requests into a closed port would go nowhere, for ever.
            appendMessage(serialErrorText(SerialError::NotOpen, isChinese, QString()));
            return;
        }
        const iap::IapError error = engine->start();
        if (error != iap::IapError::None) {
            appendMessage(iap::errorText(error, isChinese, iapContext->firmwarePath));
            return;
        }
        ui->tb_IAPMsg->clear();
        ui->iapDownLoadButton->setText(iap::text(iap::Text::CancelLabel, isChinese));
        // The image must not change under a running upgrade.
        ui->iapLoadFileButton->setEnabled(false);
        iapTimer->start(iap::TickInterval);
    } else {
        iapTimer->stop();
        engine->cancel();
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
    loadCatalogue(translator);
    QCoreApplication::installTranslator(&translator);
    ui->retranslateUi(this);
    setWebLink();
    restoreOperationalLabels();
}

void MainWindow::on_actionenglish_triggered()
{
    QTranslator translator;
    loadCatalogue(translator);
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
    if (ui->openPortButton->text() == iap::text(iap::Text::OpenLabel, isChinese)) {
        const QString name = ui->comboBox->currentText();
        if (serial->openPort(name, Baud)) {
            openPortName = name;
            setPortControls(true);
        } else {
            appendMessage(
                serialErrorText(serial->lastError(), isChinese, name, serial->lastErrorString()));
        }
    } else {
        serial->closePort();
        setPortControls(false);
    }
}

void MainWindow::onPortLost(SerialError error, const QString &reason)
{
    // The link has closed the port already.
    setPortControls(false);
    bool incomplete = false;
    if (engine->running()) {
        iapTimer->stop();
        // What arrived before the line went is a whole burst. A device that leaves its boot
        // loader right after acknowledging the last package has finished the upgrade.
        frameTimer->stop();
        timeUpdate();
        const iap::Step last = engine->completeFromStoredReply();
        if (!last.actions.isEmpty())
            applyStep(last);
        if (engine->running()) {
            incomplete = true;
            engine->cancel();
            endRun();
        }
    }
    if (incomplete) {
        appendMessage(lostDuringUpgradeText(isChinese, openPortName, engine->bytesDone(),
                                            iapContext->firmware.size(), reason));
        return;
    }
    appendMessage(serialErrorText(error, isChinese, openPortName, reason));
}

void MainWindow::openUrl(QString url)
{
    QDesktopServices::openUrl(QUrl(url, QUrl::TolerantMode));
}
