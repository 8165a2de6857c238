// The names file: read at start, written only when a name changes, whole or
// not at all, and a bad one costs a warning, never the program or the file.
#include "core/names.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
int warnings = 0;
void countWarnings(QtMsgType type, const QMessageLogContext &, const QString &)
{
    warnings += type == QtWarningMsg;
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(none)");
}

// A file system of 256 KiB of its own, to be filled or made read-only.
struct SmallDisk
{
    QTemporaryDir dir;
    bool mounted
        = ::mount("tmpfs", QFile::encodeName(dir.path()).constData(), "tmpfs", 0, "size=256k") == 0;
    ~SmallDisk()
    {
        if (mounted)
            ::umount2(QFile::encodeName(dir.path()).constData(), MNT_DETACH);
    }
};

void fillToTheLastByte(const QString &dir)
{
    const int fd = ::open(QFile::encodeName(dir + "/filler").constData(), O_WRONLY | O_CREAT, 0600);
    const QByteArray block(4096, 'x');
    while (::write(fd, block.constData(), block.size()) > 0) { }
    while (::write(fd, "x", 1) == 1) { }
    ::close(fd);
}

void makeReadOnly(const QString &dir)
{
    ASSERT_EQ(::mount(nullptr, QFile::encodeName(dir).constData(), nullptr, MS_REMOUNT | MS_RDONLY,
                  nullptr),
        0);
}
} // namespace

TEST(Names, AFileIsReadWhenGoodAndGivesOneWarningAndTheDefaultsWhenNot)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("names.json");
    const QByteArray good = R"({"inputs": ["Cam 1", "Cam 2", "Laptop", "Input 4"],
                               "outputs": ["Output A", "Projector", "Output C", "Output D"]})";
    const struct
    {
        QByteArray file;
        const char *input3;
        int warnings;
    } cases[] = {
        { good, "Laptop", 0 },
        { "{ not json", "Input 3", 1 },
        { R"({"inputs": ["a", "b", "c"], "outputs": ["A", "B", "C", "D"]})", "Input 3", 1 },
        { R"({"inputs": ["a", "b", "c\n", "d"], "outputs": ["A", "B", "C", "D"]})", "Input 3", 1 },
        { R"({"inputs": ["a", "b", "\ud800", "d"], "outputs": ["A", "B", "C", "D"]})", "Input 3",
            1 },
        { QByteArray("\xff\xfe\x00garbage", 10), "Input 3", 1 },
    };
    qInstallMessageHandler(countWarnings);
    for (const auto &c : cases) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(c.file);
        file.close();
        warnings = 0;
        NameStore store(path);
        EXPECT_EQ(store.load().inputs[2], QLatin1String(c.input3)) << c.file.toStdString();
        EXPECT_EQ(warnings, c.warnings) << c.file.toStdString();
        EXPECT_EQ(QFile(path).size(), c.file.size()) << "kept as it was";
    }
    qInstallMessageHandler(nullptr);

    // The bad file is kept beside once a name is set; the new one reads back.
    NameStore store(path);
    Names names = store.load();
    names.outputs[3] = QString::fromUtf8("Écran 4");
    QString error;
    ASSERT_TRUE(store.save(names, &error)) << error.toStdString();
    EXPECT_TRUE(QFile::exists(path + ".bad"));
    EXPECT_EQ(NameStore(path).load(), names);
    EXPECT_EQ(Names().outputs[3], "Output D");
}

TEST(Names, OnlyAPlainFileIsReadAndAnythingElseIsReplacedByOneInTheFolder)
{
    QTemporaryDir outside;
    const QString target = outside.filePath("target.json");
    const QByteArray good = R"({"inputs": ["a", "b", "c", "d"], "outputs": ["A", "B", "C", "D"]})";
    QFile file(target);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(good) == good.size());
    file.close();
    const struct
    {
        const char *what;
        std::function<bool(const QString &)> make;
    } cases[] = {
        { "FIFO",
            [](const QString &path) { return ::mkfifo(QFile::encodeName(path), 0600) == 0; } },
        { "link out of the folder",
            [&](const QString &path) { return QFile::link(target, path); } },
        { "folder", [](const QString &path) { return QDir().mkdir(path); } },
    };
    qInstallMessageHandler(countWarnings);
    for (const auto &c : cases) {
        QTemporaryDir dir;
        const QString path = dir.filePath("names.json");
        ASSERT_TRUE(c.make(path)) << c.what;
        warnings = 0;
        NameStore store(path);
        EXPECT_EQ(store.load(), Names()) << c.what;
        EXPECT_EQ(warnings, 1) << c.what;
        Names names;
        names.inputs[0] = "Cam";
        QString error;
        EXPECT_TRUE(store.save(names, &error)) << c.what << error.toStdString();
        const QFileInfo written(path);
        EXPECT_TRUE(written.isFile() && !written.isSymLink()) << c.what;
        EXPECT_EQ(NameStore(path).load(), names) << c.what;
        EXPECT_TRUE(QFileInfo(path + ".bad").exists()) << c.what << " is kept";
    }
    qInstallMessageHandler(nullptr);
    EXPECT_EQ(contents(target), good);
}

TEST(Names, AWriteThatFailsKeepsTheOldFileByteForByteAndSaysWhyOnce)
{
    const struct
    {
        const char *what;
        void (*fault)(const QString &dir);
    } cases[] = {
        { "full disk", fillToTheLastByte },
        { "read-only folder", makeReadOnly },
    };
    for (const auto &c : cases) {
        SmallDisk disk;
        if (!disk.mounted)
            GTEST_SKIP() << "cannot mount a tmpfs here: " << strerror(errno);
        const QString path = disk.dir.filePath("names.json");
        Names names;
        names.inputs[1] = "Before";
        QString error;
        ASSERT_TRUE(NameStore(path).save(names, &error)) << error.toStdString();
        const QByteArray before = contents(path);
        c.fault(disk.dir.path());

        NameStore store(path);
        names = store.load();
        names.inputs[1] = "After, and longer than the one before";
        std::optional<bool> stored;
        QString told;
        warnings = 0;
        qInstallMessageHandler(countWarnings);
        store.save(names, [&](bool ok, const QString &why) { stored = ok, told = why; });
        qInstallMessageHandler(nullptr);
        EXPECT_EQ(stored, false) << c.what << ": the first change after a quiet second, at once";
        EXPECT_TRUE(told.contains(path)) << c.what << told.toStdString();
        EXPECT_EQ(warnings, 1) << c.what;
        EXPECT_EQ(contents(path), before) << c.what;
        EXPECT_EQ(QDir(disk.dir.path()).entryList({ "names.json*" }), QStringList("names.json"))
            << c.what;
    }
}

TEST(Names, TemporaryFilesOfAWriteCutShortGoAtStart)
{
    QTemporaryDir dir;
    const QStringList leftovers { "names.json.Ab12Cd", "names.json.x9Y8z7" };
    const QStringList others { "names.json", "names.json.Ab12C", "names.json.bad",
        "presets.json.Ab12Cd" };
    for (const QString &name : leftovers + others) {
        QFile file(dir.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    NameStore(dir.filePath("names.json")).load();
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files, QDir::Name), others);
}

TEST(Names, ChangesInABurstAreWrittenTogetherAndEachCallerIsTold)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("names.json");
    NameStore store(path);
    store.setMinimumIntervalMs(3600 * 1000);
    std::vector<std::optional<bool>> stored(4);
    Names names;
    const auto rename = [&](int k) {
        names.inputs[0] = QString("Cam %1").arg(k);
        store.save(names, [&stored, k](bool ok, const QString &) { stored[k] = ok; });
    };
    const auto written = [&] { return NameStore(path).load().inputs[0]; };

    rename(0);
    EXPECT_EQ(stored[0], true) << "the first goes at once";
    EXPECT_EQ(written(), "Cam 0");
    rename(1);
    rename(2);
    QCoreApplication::processEvents();
    EXPECT_FALSE(stored[1] || stored[2]);
    EXPECT_EQ(written(), "Cam 0");
    EXPECT_TRUE(store.flush());
    EXPECT_EQ(stored[1], true);
    EXPECT_EQ(stored[2], true);
    EXPECT_EQ(written(), "Cam 2");

    store.setMinimumIntervalMs(1);
    rename(3);
    EXPECT_TRUE(QTest::qWaitFor([&] { return stored[3].has_value(); }));
    EXPECT_EQ(written(), "Cam 3");
}

TEST(Names, OneToSixtyFourCharactersOfTextThatIsNotBlankAndKeepsItsDirection)
{
    for (const QString &good : { QString("x"), QString(64, QChar(u'é')),
             QString::fromUtf8("\xf0\x9f\x8e\xa5").repeated(64), QString(" a b ") })
        EXPECT_FALSE(nameProblem(good)) << good.toStdString();
    for (const QString &bad : { QString(), QString(65, 'x'), QString("a\tb"), QString("a\x7f"),
             QString::fromUtf8("a\xe2\x80\xa8"), QString(QChar(0xd800)),
             QString("a") + QChar(0xdc00) + "b", QString::fromUtf8("\xf0\x9f\x8e\xa5").left(1),
             QString::fromUtf8("x\u202e"), QString::fromUtf8("\u202ax"),
             QString::fromUtf8("\u2066x"), QString::fromUtf8("x\u2069"), QString(" "),
             QString("  \u3000 ") })
        EXPECT_TRUE(nameProblem(bad)) << bad.toStdString();
}
