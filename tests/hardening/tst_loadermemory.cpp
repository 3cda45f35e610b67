// Loading an image costs memory in proportion to the file, not to the 64 MiB limit: with
// the address space capped a little above what the process already uses, small and
// medium images still load byte for byte.
#include "firmwarefile.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/resource.h>

#if defined(__SANITIZE_ADDRESS__)
#define IAP_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define IAP_UNDER_ASAN 1
#endif
#endif

namespace {

// The process's current virtual size in bytes, from /proc/self/status (VmSize, in kB).
qint64 virtualSize()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmSize:"))
            return line.mid(7).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return -1;
}

} // namespace

class TestLoaderMemory : public QObject
{
    Q_OBJECT
private slots:
    void loadsWithinCappedAddressSpace_data()
    {
        QTest::addColumn<int>("bytes");
        QTest::newRow("1 byte") << 1;
        QTest::newRow("1 KiB") << 1024;
        QTest::newRow("1 MiB + 1") << 1024 * 1024 + 1;
    }

    void loadsWithinCappedAddressSpace()
    {
#ifdef IAP_UNDER_ASAN
        QSKIP("AddressSanitizer reserves terabytes of address space; cannot cap it");
#endif
        QFETCH(int, bytes);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("image.bin"));
        QByteArray image(bytes, '\0');
        for (int i = 0; i < bytes; ++i)
            image[i] = char((i * 37 + 11) & 0xFF);
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            QCOMPARE(f.write(image), qint64(bytes));
        }

        const qint64 now = virtualSize();
        QVERIFY(now > 0);
        rlimit saved{};
        QCOMPARE(getrlimit(RLIMIT_AS, &saved), 0);
        rlimit capped = saved;
        capped.rlim_cur = rlim_t(now + 32 * 1024 * 1024); // far below the 64 MiB limit
        QCOMPARE(setrlimit(RLIMIT_AS, &capped), 0);

        iap::FirmwareFile r;
        bool threw = false;
        try {
            r = iap::loadFirmwareFile(path);
        } catch (const std::bad_alloc &) {
            threw = true;
        }
        QCOMPARE(setrlimit(RLIMIT_AS, &saved), 0);

        QVERIFY2(!threw, "loading a small image ran out of a 32 MiB allowance");
        QCOMPARE(int(r.error), int(iap::IapError::None));
        QCOMPARE(r.size, qint64(bytes));
        QVERIFY(r.image == image);
    }
};

QTEST_GUILESS_MAIN(TestLoaderMemory)
#include "tst_loadermemory.moc"
