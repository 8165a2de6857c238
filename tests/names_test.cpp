// The names file: read at start, written only when a name changes, and a
// bad one costs a warning, never the program.
#include "core/names.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {
int warnings = 0;
void countWarnings(QtMsgType type, const QMessageLogContext &, const QString &)
{
    warnings += type == QtWarningMsg;
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

TEST(Names, OneToSixtyFourCharactersWithoutControlCharacters)
{
    EXPECT_FALSE(nameProblem("x"));
    EXPECT_FALSE(nameProblem(QString(64, QChar(u'é'))));
    EXPECT_FALSE(nameProblem(QString::fromUtf8("\xf0\x9f\x8e\xa5").repeated(64))) << "64 emoji";
    for (const QString &bad : { QString(), QString(65, 'x'), QString("a\tb"), QString("a\x7f"),
             QString::fromUtf8("a\xe2\x80\xa8") })
        EXPECT_TRUE(nameProblem(bad)) << bad.toStdString();
}
