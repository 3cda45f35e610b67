// Runs a fuzz target once over every file of the given corpus folders (or files), without
// libFuzzer, so the seed corpus and past findings stay regression tests in any build.
// Exits non-zero when a folder holds no input; a failing check aborts.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static int replay(const QString &file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(file));
        return 1;
    }
    const QByteArray bytes = f.readAll();
    std::fprintf(stderr, "%s (%d bytes)\n", qPrintable(file), int(bytes.size()));
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.constData()),
                           size_t(bytes.size()));
    return 0;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR_OR_FILE...\n", argv[0]);
        return 2;
    }
    int inputs = 0;
    int failures = 0;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QFile::decodeName(argv[i]);
        if (QFileInfo(arg).isDir()) {
            const QDir dir(arg);
            const QStringList names = dir.entryList(QDir::Files, QDir::Name);
            if (names.isEmpty()) {
                std::fprintf(stderr, "no inputs in %s\n", argv[i]);
                ++failures;
            }
            for (const QString &name : names) {
                failures += replay(dir.filePath(name));
                ++inputs;
            }
        } else {
            failures += replay(arg);
            ++inputs;
        }
    }
    std::printf("%d inputs replayed, %d unreadable\n", inputs, failures);
    return failures == 0 ? 0 : 1;
}
