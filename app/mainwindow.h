#pragma once

#include "replyframer.h"
#include "serialerror.h"
#include "upgraderun.h"

#include <QByteArray>
#include <QDateTime>
#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <memory>

class IapContext;
class MainWindowUi;
class QTimer;
class Serial;

// The one window. Every operator action and every timer expiry arrives here as a slot.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    // extraPorts (device paths the system's enumeration does not list, such as a
    // pseudo-terminal) come first in the port list, before the enumerated ports.
    explicit MainWindow(const QStringList &extraPorts, QWidget *parent = nullptr);
    ~MainWindow() override;

    // Loads a firmware file exactly as if it had been chosen in the file dialog.
    void loadFirmware(const QString &path);

    // What the window's tests and its benchmark drive and look at; the program's entry uses
    // none of them.
    MainWindowUi *form() const { return ui; }
    Serial *serialLink() const { return serial; }
    IapContext *context() const { return iapContext; }
    bool chinese() const { return isChinese; }

    // The catalogue the English operations read: "IAP_en_US.qm" along the search folders
    // (catalogue.h), else the copy compiled into the program.
    static constexpr const char *CatalogueName = "IAP_en_US.qm";
    static constexpr const char *BuiltInCatalogue = ":/i18n/IAP_en_US.qm";

private slots:
    void on_clearTextButton_clicked();
    void readSerialData();
    void timeUpdate();
    void timeIAPUpdate();
    void procPackage();
    void timeoutUpdate();
    void on_actionabout_triggered();
    void on_iapLoadFileButton_clicked();
    void on_iapDownLoadButton_clicked();
    void on_iapClearButton_clicked();
    void LoadFile();
    void on_actionenglish_triggered();
    void on_actionchinese_triggered();
    void setWebLink();
    void on_refreshButton_clicked();
    void on_openPortButton_clicked();
    void openUrl(QString url);
    void EnglishInit();

private:
    // The window's tests look at its timers and its framer.
    friend class MainWindowProbe;

    iap::Language language() const
    {
        return isChinese ? iap::Language::Chinese : iap::Language::English;
    }
    void fillPortList();
    // Writes one line at the end of the information window, as plain text.
    void appendMessage(const QString &line);
    // After every retranslation: the two buttons whose labels carry program state get the
    // label of the real state back, in the active language.
    void restoreOperationalLabels();
    // The run has ended (finished, cancelled, port lost): Download label, selection allowed.
    void endRun();
    void setPortControls(bool portOpen);
    // Carries out one step of the engine: bytes to the port, lines to the information window,
    // and the tick restarted or the run ended.
    void applyStep(const iap::Step &step);
    void onPortLost(links::SerialError error, const QString &reason);
    // At Download: the file named changed since it was loaded (size or modification time).
    bool firmwareChanged() const;

    Serial *serial;
    MainWindowUi *ui;
    QTimer *frameTimer;
    QTimer *replyTimer;
    QTimer *iapTimer;
    QByteArray rxBuffer;
    int timeoutCount;
    IapContext *iapContext;
    bool isChinese;

    links::ReplyFramer framer;
    std::unique_ptr<iap::UpgradeRun> run; // the engine and the policy of each run
    QStringList extraPorts;
    QString openPortName; // the port the open line belongs to, for the lost-line message
    // The firmware file as it was when loaded, to see at Download whether it was rebuilt.
    qint64 loadedSize = -1;
    QDateTime loadedModified;
};
