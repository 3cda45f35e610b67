// The window's form: every object with its class and parent, the layouts, the fixed
// geometry of the communication group, sizes, policies, fonts, the exact style sheets,
// the menus and the pictures.
#include "mainwindow.h"
#include "mainwindowui.h"

#include <QAction>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QImage>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTextBrowser>
#include <QToolBar>
#include <QtTest>

Q_DECLARE_METATYPE(QMargins)

namespace {

QString buttonSheet(int px)
{
    return QString::fromUtf8("QPushButton{\n"
                             "background-color:#f29024;\n"
                             "font: %1px \"\xe5\xbe\xae\xe8\xbd\xaf\xe9\x9b\x85\xe9\xbb\x91\";\n"
                             "color:#FFFFFF;\n"
                             "border: 2px solid   #BEB9B3;\n"
                             "padding: 4px;\n"
                             "border-radius: 5px;\n"
                             "}\n"
                             "\n"
                             "QPushButton:hover {\n"
                             "    background-color:  #111111;\n"
                             "    border-color: #00FFFF;\n"
                             "}\n"
                             "QPushButton:pressed {\n"
                             "    background-color: #8F90A5;\n"
                             "    border-color: #333333;\n"
                             "    color: rgb(255, 255, 255);\n"
                             "}")
        .arg(px);
}

} // namespace

class TestWindowForm : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void objects_data();
    void objects();
    void recordFields();
    void window();
    void layouts_data();
    void layouts();
    void layoutPlacement();
    void communicationGroupGeometry_data();
    void communicationGroupGeometry();
    void sizes_data();
    void sizes();
    void sizePolicies_data();
    void sizePolicies();
    void fonts();
    void styleSheets_data();
    void styleSheets();
    void menusAndToolBar();
    void pictures();
    void autoConnectedSlots_data();
    void autoConnectedSlots();

private:
    MainWindow *w = nullptr;
    MainWindowUi *ui = nullptr;
};

void TestWindowForm::initTestCase()
{
    w = new MainWindow;
    ui = w->form();
}

void TestWindowForm::cleanupTestCase()
{
    delete w;
}

void TestWindowForm::objects_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");

    QTest::newRow("actionchinese") << "actionchinese"
                                   << "QAction"
                                   << "MainWindow";
    QTest::newRow("actionenglish") << "actionenglish"
                                   << "QAction"
                                   << "MainWindow";
    QTest::newRow("actionabout") << "actionabout"
                                 << "QAction"
                                 << "MainWindow";
    QTest::newRow("centralWidget") << "centralWidget"
                                   << "QWidget"
                                   << "MainWindow";
    QTest::newRow("groupBox_3") << "groupBox_3"
                                << "QGroupBox"
                                << "centralWidget";
    QTest::newRow("label") << "label"
                           << "QLabel"
                           << "groupBox_3";
    QTest::newRow("iapLoadFileButton") << "iapLoadFileButton"
                                       << "QPushButton"
                                       << "groupBox_3";
    QTest::newRow("b_FirmwarePath") << "b_FirmwarePath"
                                    << "QLineEdit"
                                    << "groupBox_3";
    QTest::newRow("groupBox_5") << "groupBox_5"
                                << "QGroupBox"
                                << "centralWidget";
    QTest::newRow("label_serial") << "label_serial"
                                  << "QLabel"
                                  << "groupBox_5";
    QTest::newRow("comboBox") << "comboBox"
                              << "QComboBox"
                              << "groupBox_5";
    QTest::newRow("refreshButton") << "refreshButton"
                                   << "QPushButton"
                                   << "groupBox_5";
    QTest::newRow("openPortButton") << "openPortButton"
                                    << "QPushButton"
                                    << "groupBox_5";
    QTest::newRow("groupBox_4") << "groupBox_4"
                                << "QGroupBox"
                                << "centralWidget";
    QTest::newRow("label_Logo") << "label_Logo"
                                << "QLabel"
                                << "groupBox_4";
    QTest::newRow("label_web") << "label_web"
                               << "QLabel"
                               << "groupBox_4";
    QTest::newRow("iapClearButton") << "iapClearButton"
                                    << "QPushButton"
                                    << "groupBox_4";
    QTest::newRow("tb_IAPMsg") << "tb_IAPMsg"
                               << "QTextBrowser"
                               << "groupBox_4";
    QTest::newRow("iapDownLoadButton") << "iapDownLoadButton"
                                       << "QPushButton"
                                       << "centralWidget";
    QTest::newRow("menuBar") << "menuBar"
                             << "QMenuBar"
                             << "MainWindow";
    QTest::newRow("menu") << "menu"
                          << "QMenu"
                          << "menuBar";
    QTest::newRow("menulanguage") << "menulanguage"
                                  << "QMenu"
                                  << "menu";
    QTest::newRow("menu_2") << "menu_2"
                            << "QMenu"
                            << "menuBar";
    QTest::newRow("mainToolBar") << "mainToolBar"
                                 << "QToolBar"
                                 << "MainWindow";
    QTest::newRow("gridLayout_4") << "gridLayout_4"
                                  << "QGridLayout"
                                  << "centralWidget";
    QTest::newRow("gridLayout") << "gridLayout"
                                << "QGridLayout"
                                << "groupBox_3";
    QTest::newRow("gridLayout_3") << "gridLayout_3"
                                  << "QGridLayout"
                                  << "groupBox_4";
    QTest::newRow("horizontalLayout_5") << "horizontalLayout_5"
                                        << "QHBoxLayout"
                                        << "gridLayout_4";
    QTest::newRow("horizontalLayout") << "horizontalLayout"
                                      << "QHBoxLayout"
                                      << "gridLayout";
    QTest::newRow("verticalLayout_2") << "verticalLayout_2"
                                      << "QVBoxLayout"
                                      << "gridLayout_3";
    QTest::newRow("horizontalLayout_4") << "horizontalLayout_4"
                                        << "QHBoxLayout"
                                        << "verticalLayout_2";
}

void TestWindowForm::objects()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    const QList<QObject *> found = w->findChildren<QObject *>(name);
    QCOMPARE(found.size(), 1);
    QObject *o = found.first();
    QCOMPARE(QString::fromLatin1(o->metaObject()->className()), className);
    QVERIFY(o->parent());
    QCOMPARE(o->parent()->objectName(), parentName);
}

void TestWindowForm::recordFields()
{
    // The record points at the objects of the same name.
    const QList<QPair<QObject *, QString>> fields = {
        {ui->actionchinese, "actionchinese"},
        {ui->actionenglish, "actionenglish"},
        {ui->actionabout, "actionabout"},
        {ui->centralWidget, "centralWidget"},
        {ui->gridLayout_4, "gridLayout_4"},
        {ui->horizontalLayout_5, "horizontalLayout_5"},
        {ui->groupBox_3, "groupBox_3"},
        {ui->gridLayout, "gridLayout"},
        {ui->horizontalLayout, "horizontalLayout"},
        {ui->label, "label"},
        {ui->iapLoadFileButton, "iapLoadFileButton"},
        {ui->b_FirmwarePath, "b_FirmwarePath"},
        {ui->groupBox_5, "groupBox_5"},
        {ui->label_serial, "label_serial"},
        {ui->comboBox, "comboBox"},
        {ui->refreshButton, "refreshButton"},
        {ui->openPortButton, "openPortButton"},
        {ui->groupBox_4, "groupBox_4"},
        {ui->gridLayout_3, "gridLayout_3"},
        {ui->verticalLayout_2, "verticalLayout_2"},
        {ui->horizontalLayout_4, "horizontalLayout_4"},
        {ui->label_Logo, "label_Logo"},
        {ui->label_web, "label_web"},
        {ui->iapClearButton, "iapClearButton"},
        {ui->tb_IAPMsg, "tb_IAPMsg"},
        {ui->iapDownLoadButton, "iapDownLoadButton"},
        {ui->menuBar, "menuBar"},
        {ui->menu, "menu"},
        {ui->menulanguage, "menulanguage"},
        {ui->menu_2, "menu_2"},
        {ui->mainToolBar, "mainToolBar"},
    };
    for (const auto &f : fields)
        QCOMPARE(f.first->objectName(), f.second);
    // The spacer: 40 x 20, expanding horizontally, the third item of the header row.
    QSpacerItem *spacer = ui->horizontalSpacer;
    QVERIFY(spacer);
    QCOMPARE(spacer->sizeHint(), QSize(40, 20));
    QCOMPARE(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(ui->horizontalLayout_4->itemAt(2)->spacerItem(), spacer);
}

void TestWindowForm::window()
{
    QCOMPARE(w->objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(w->size(), QSize(700, 600));
    QCOMPARE(w->sizePolicy().horizontalPolicy(), QSizePolicy::Preferred);
    QCOMPARE(w->sizePolicy().verticalPolicy(), QSizePolicy::Preferred);
    QCOMPARE(w->layoutDirection(), Qt::LeftToRight);
    QCOMPARE(w->centralWidget(), ui->centralWidget);
    QCOMPARE(w->menuBar(), ui->menuBar);
    QVERIFY(!w->windowIcon().isNull());
    // No status bar (asking QMainWindow::statusBar() would create one).
    QVERIFY(w->findChildren<QStatusBar *>().isEmpty());
    // The form leaves Download disabled until a file is loaded.
    QVERIFY(!ui->iapDownLoadButton->isEnabled());
    QCOMPARE(ui->label_web->text(), QString());
}

void TestWindowForm::layouts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("spacing");
    QTest::addColumn<QMargins>("margins");
    QTest::newRow("gridLayout_4") << "gridLayout_4" << 6 << QMargins(11, 11, 11, 11);
    QTest::newRow("horizontalLayout_5") << "horizontalLayout_5" << 6 << QMargins(0, 0, 0, 0);
    QTest::newRow("gridLayout") << "gridLayout" << 6 << QMargins(11, 11, 11, 11);
    QTest::newRow("horizontalLayout") << "horizontalLayout" << 6 << QMargins(0, 0, 0, 0);
    QTest::newRow("gridLayout_3") << "gridLayout_3" << 2 << QMargins(4, 2, 4, 2);
    QTest::newRow("verticalLayout_2") << "verticalLayout_2" << 2 << QMargins(0, 0, 0, 0);
    QTest::newRow("horizontalLayout_4") << "horizontalLayout_4" << 6 << QMargins(0, 0, 0, 0);
}

void TestWindowForm::layouts()
{
    QFETCH(QString, name);
    QFETCH(int, spacing);
    QFETCH(QMargins, margins);
    auto *layout = w->findChild<QLayout *>(name);
    QVERIFY(layout);
    QCOMPARE(layout->spacing(), spacing);
    QCOMPARE(layout->contentsMargins(), margins);
}

void TestWindowForm::layoutPlacement()
{
    auto cellOf = [](QGridLayout *g, QLayoutItem *item) {
        int row, col, rs, cs;
        g->getItemPosition(g->indexOf(item), &row, &col, &rs, &cs);
        return QList<int>{row, col, rs, cs};
    };
    QGridLayout *g4 = ui->gridLayout_4;
    QCOMPARE(ui->centralWidget->layout(), g4);
    QCOMPARE(g4->count(), 3);
    QCOMPARE(g4->columnCount(), 1);
    QCOMPARE(cellOf(g4, ui->horizontalLayout_5), (QList<int>{1, 0, 1, 1}));
    QCOMPARE(g4->itemAtPosition(0, 0)->widget(), ui->groupBox_4);
    QCOMPARE(g4->itemAtPosition(2, 0)->widget(), ui->iapDownLoadButton);

    QCOMPARE(ui->horizontalLayout_5->count(), 2);
    QCOMPARE(ui->horizontalLayout_5->itemAt(0)->widget(), ui->groupBox_3);
    QCOMPARE(ui->horizontalLayout_5->itemAt(1)->widget(), ui->groupBox_5);
    QVERIFY(!ui->groupBox_5->layout());

    QCOMPARE(ui->groupBox_3->layout(), ui->gridLayout);
    QCOMPARE(cellOf(ui->gridLayout, ui->horizontalLayout), (QList<int>{0, 0, 1, 1}));
    QCOMPARE(ui->gridLayout->itemAtPosition(1, 0)->widget(), ui->b_FirmwarePath);
    QCOMPARE(ui->horizontalLayout->count(), 2);
    QCOMPARE(ui->horizontalLayout->itemAt(0)->widget(), ui->label);
    QCOMPARE(ui->horizontalLayout->itemAt(1)->widget(), ui->iapLoadFileButton);

    QCOMPARE(ui->groupBox_4->layout(), ui->gridLayout_3);
    QCOMPARE(ui->gridLayout_3->count(), 1);
    QCOMPARE(cellOf(ui->gridLayout_3, ui->verticalLayout_2), (QList<int>{0, 0, 1, 1}));
    QCOMPARE(ui->verticalLayout_2->count(), 2);
    QCOMPARE(ui->verticalLayout_2->itemAt(0)->layout(), ui->horizontalLayout_4);
    QCOMPARE(ui->verticalLayout_2->itemAt(1)->widget(), ui->tb_IAPMsg);
    QCOMPARE(ui->horizontalLayout_4->count(), 4);
    QCOMPARE(ui->horizontalLayout_4->itemAt(0)->widget(), ui->label_Logo);
    QCOMPARE(ui->horizontalLayout_4->itemAt(1)->widget(), ui->label_web);
    QCOMPARE(ui->horizontalLayout_4->itemAt(3)->widget(), ui->iapClearButton);
    for (QLayout *l : {static_cast<QLayout *>(g4), static_cast<QLayout *>(ui->horizontalLayout_5),
                       static_cast<QLayout *>(ui->verticalLayout_2),
                       static_cast<QLayout *>(ui->horizontalLayout_4)}) {
        for (int i = 0; i < l->count(); ++i)
            QCOMPARE(l->itemAt(i)->alignment(), Qt::Alignment());
    }
}

void TestWindowForm::communicationGroupGeometry_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::newRow("label_serial") << "label_serial" << QRect(10, 40, 76, 24);
    QTest::newRow("comboBox") << "comboBox" << QRect(90, 40, 91, 31);
    QTest::newRow("refreshButton") << "refreshButton" << QRect(10, 80, 87, 38);
    QTest::newRow("openPortButton") << "openPortButton" << QRect(110, 80, 87, 38);
}

void TestWindowForm::communicationGroupGeometry()
{
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    auto *widget = ui->groupBox_5->findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->geometry(), geometry);
    // Fixed positions: resizing the window moves only the group box.
    w->resize(900, 700);
    QCoreApplication::processEvents();
    QCOMPARE(widget->geometry(), geometry);
    w->resize(700, 600);
}

void TestWindowForm::sizes_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSize>("minimum");
    QTest::addColumn<QSize>("maximum");
    const QSize big(16777215, 16777215);
    QTest::newRow("groupBox_3") << "groupBox_3" << QSize(200, 0) << big;
    QTest::newRow("iapLoadFileButton")
        << "iapLoadFileButton" << QSize(100, 25) << QSize(80, 16777215);
    QTest::newRow("b_FirmwarePath") << "b_FirmwarePath" << QSize(0, 40) << big;
    QTest::newRow("groupBox_5") << "groupBox_5" << QSize(200, 0) << big;
    QTest::newRow("label_Logo") << "label_Logo" << QSize(150, 0) << big;
    QTest::newRow("iapDownLoadButton") << "iapDownLoadButton" << QSize(0, 50) << big;
    QTest::newRow("tb_IAPMsg") << "tb_IAPMsg" << QSize(0, 0) << big;
    QTest::newRow("menuBar geometry") << "menuBar" << QSize() << QSize();
}

void TestWindowForm::sizes()
{
    QFETCH(QString, name);
    QFETCH(QSize, minimum);
    QFETCH(QSize, maximum);
    auto *widget = w->findChild<QWidget *>(name);
    QVERIFY(widget);
    if (!minimum.isValid()) {
        // The menu bar is created 700 x 30 at the top left; the window lays it out later.
        QMainWindow fresh;
        MainWindowUi record;
        record.setupUi(&fresh);
        QCOMPARE(record.menuBar->pos(), QPoint(0, 0));
        QCOMPARE(record.menuBar->width(), 700);
        return;
    }
    QCOMPARE(widget->minimumSize(), minimum);
    QCOMPARE(widget->maximumSize(), maximum);
}

void TestWindowForm::sizePolicies_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("horizontal");
    QTest::addColumn<int>("vertical");
    QTest::newRow("refreshButton")
        << "refreshButton" << int(QSizePolicy::Minimum) << int(QSizePolicy::Minimum);
    QTest::newRow("openPortButton")
        << "openPortButton" << int(QSizePolicy::Minimum) << int(QSizePolicy::Minimum);
    QTest::newRow("iapDownLoadButton")
        << "iapDownLoadButton" << int(QSizePolicy::Minimum) << int(QSizePolicy::Minimum);
    QTest::newRow("iapClearButton (default)")
        << "iapClearButton" << int(QSizePolicy::Minimum) << int(QSizePolicy::Fixed);
}

void TestWindowForm::sizePolicies()
{
    QFETCH(QString, name);
    QFETCH(int, horizontal);
    QFETCH(int, vertical);
    auto *widget = w->findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(int(widget->sizePolicy().horizontalPolicy()), horizontal);
    QCOMPARE(int(widget->sizePolicy().verticalPolicy()), vertical);
    QCOMPARE(widget->sizePolicy().horizontalStretch(), 0);
    QCOMPARE(widget->sizePolicy().verticalStretch(), 0);
}

void TestWindowForm::fonts()
{
    QCOMPARE(w->font().family(), QStringLiteral("Microsoft YaHei UI"));
    QCOMPARE(w->font().pointSize(), 14);
    QVERIFY(!w->font().bold());
    const QFont serialFont = ui->label_serial->font();
    QCOMPARE(serialFont.family(), QStringLiteral("Microsoft YaHei UI"));
    QCOMPARE(serialFont.pointSize(), 14);
    // The form's normal weight, on the scale of each Qt version (Qt 5: 0-99, normal 50;
    // Qt 6: 1-1000, normal 400).
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    QCOMPARE(int(serialFont.weight()), 400);
#else
    QCOMPARE(serialFont.weight(), 50);
#endif
    QVERIFY(ui->label_serial->testAttribute(Qt::WA_SetFont));
    QCOMPARE(ui->label_Logo->locale(), QLocale(QLocale::English, QLocale::UnitedStates));
    QVERIFY(!ui->openPortButton->isCheckable());
    QVERIFY(!ui->openPortButton->autoDefault());
    QVERIFY(!ui->groupBox_4->isCheckable());
}

void TestWindowForm::styleSheets_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("sheet");
    QTest::newRow("iapLoadFileButton") << "iapLoadFileButton" << buttonSheet(18);
    QTest::newRow("iapClearButton") << "iapClearButton" << buttonSheet(18);
    QTest::newRow("refreshButton") << "refreshButton" << buttonSheet(20);
    QTest::newRow("openPortButton") << "openPortButton" << buttonSheet(20);
    QTest::newRow("iapDownLoadButton") << "iapDownLoadButton" << buttonSheet(25);
    QTest::newRow("label_Logo") << "label_Logo"
                                << "border-image: url(:/Res/Img/20240818-210319.png)";
    QTest::newRow("tb_IAPMsg") << "tb_IAPMsg"
                               << "background-color: rgb(255, 255, 255);\nfont:14px;";
    QTest::newRow("label") << "label" << QString();
    QTest::newRow("comboBox") << "comboBox" << QString();
}

void TestWindowForm::styleSheets()
{
    QFETCH(QString, name);
    QFETCH(QString, sheet);
    auto *widget = w->findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->styleSheet(), sheet);
    if (sheet.startsWith(QLatin1String("QPushButton{"))) {
        QCOMPARE(sheet.toUtf8().size(), 340);
        QCOMPARE(sheet.count(QLatin1Char('\n')), 17);
    }
}

void TestWindowForm::menusAndToolBar()
{
    const QList<QAction *> barEntries = ui->menuBar->actions();
    QCOMPARE(barEntries.size(), 2);
    QCOMPARE(barEntries.at(0), ui->menu->menuAction());
    QCOMPARE(barEntries.at(1), ui->menu_2->menuAction());
    QCOMPARE(ui->menu->actions(), QList<QAction *>{ui->menulanguage->menuAction()});
    QCOMPARE(ui->menulanguage->actions(), (QList<QAction *>{ui->actionchinese, ui->actionenglish}));
    QCOMPARE(ui->menu_2->actions(), QList<QAction *>{ui->actionabout});
    for (QAction *a : {ui->actionchinese, ui->actionenglish, ui->actionabout}) {
        QVERIFY(!a->isCheckable());
        QVERIFY(a->shortcut().isEmpty());
        QVERIFY(a->icon().isNull());
    }
    QCOMPARE(w->toolBarArea(ui->mainToolBar), Qt::TopToolBarArea);
    QVERIFY(ui->mainToolBar->actions().isEmpty());
}

void TestWindowForm::pictures()
{
    QImageReader icon(QStringLiteral(":/Res/Img/1.ico"));
    QCOMPARE(icon.format(), QByteArray("ico"));
    QCOMPARE(icon.imageCount(), 1);
    const QImage iconImage = icon.read();
    QCOMPARE(iconImage.size(), QSize(256, 256));
    QVERIFY(iconImage.hasAlphaChannel());
    // The ICO directory entry: 0 for 256 in the width and height bytes, 32 bits per pixel.
    QFile raw(QStringLiteral(":/Res/Img/1.ico"));
    QVERIFY(raw.open(QIODevice::ReadOnly));
    const QByteArray head = raw.read(22);
    QCOMPARE(head.left(6), QByteArray("\x00\x00\x01\x00\x01\x00", 6));
    QCOMPARE(quint8(head.at(6)), quint8(0));
    QCOMPARE(quint8(head.at(7)), quint8(0));
    QCOMPARE(quint8(head.at(12)) | (quint8(head.at(13)) << 8), 32);

    QImageReader logo(QStringLiteral(":/Res/Img/20240818-210319.png"));
    QCOMPARE(logo.format(), QByteArray("png"));
    const QImage logoImage = logo.read();
    QCOMPARE(logoImage.size(), QSize(1162, 227));
    QVERIFY(logoImage.hasAlphaChannel());
}

void TestWindowForm::autoConnectedSlots_data()
{
    QTest::addColumn<QString>("object");
    QTest::addColumn<QByteArray>("signal");
    QTest::addColumn<QByteArray>("slot");
    auto row = [](const char *object, const char *signal, const char *slot) {
        QTest::newRow(object) << QString::fromLatin1(object) << QByteArray(signal)
                              << QByteArray(slot);
    };
    row("iapLoadFileButton", SIGNAL(clicked(bool)), SLOT(on_iapLoadFileButton_clicked()));
    row("iapDownLoadButton", SIGNAL(clicked(bool)), SLOT(on_iapDownLoadButton_clicked()));
    row("iapClearButton", SIGNAL(clicked(bool)), SLOT(on_iapClearButton_clicked()));
    row("refreshButton", SIGNAL(clicked(bool)), SLOT(on_refreshButton_clicked()));
    row("openPortButton", SIGNAL(clicked(bool)), SLOT(on_openPortButton_clicked()));
    row("actionchinese", SIGNAL(triggered(bool)), SLOT(on_actionchinese_triggered()));
    row("actionenglish", SIGNAL(triggered(bool)), SLOT(on_actionenglish_triggered()));
    row("actionabout", SIGNAL(triggered(bool)), SLOT(on_actionabout_triggered()));
}

// Every by-name slot is connected exactly once: the first disconnect finds the connection,
// a second finds none (a double connection would run the slot twice per click).
void TestWindowForm::autoConnectedSlots()
{
    QFETCH(QString, object);
    QFETCH(QByteArray, signal);
    QFETCH(QByteArray, slot);
    QObject *o = w->findChild<QObject *>(object);
    QVERIFY(o);
    QVERIFY(QObject::disconnect(o, signal.constData(), w, slot.constData()));
    QVERIFY(!QObject::disconnect(o, signal.constData(), w, slot.constData()));
    QVERIFY(QObject::connect(o, signal.constData(), w, slot.constData()));
}

QTEST_MAIN(TestWindowForm)
#include "tst_windowform.moc"
