// The pictures in assets/ are what make-art draws: a picture edited by hand,
// or a drawing changed without running scripts/assets.sh, shows here.
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

// The largest difference in any channel of any pixel; -1 for another size.
// Antialiased edges come out a level or two apart where Qt's drawing code
// takes a different path on another processor.
int largestDifference(const QImage &a, const QImage &b)
{
    if (a.size() != b.size())
        return -1;
    const QImage x = a.convertToFormat(QImage::Format_ARGB32);
    const QImage y = b.convertToFormat(QImage::Format_ARGB32);
    int largest = 0;
    for (int row = 0; row < x.height(); ++row)
        for (int col = 0; col < x.width(); ++col)
            for (int shift : { 0, 8, 16, 24 })
                largest = std::max(largest,
                    std::abs(int(x.pixel(col, row) >> shift & 0xFF)
                        - int(y.pixel(col, row) >> shift & 0xFF)));
    return largest;
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

TEST(Assets, EveryPictureIsWhatTheToolDraws)
{
    QTemporaryDir drawn;
    ASSERT_TRUE(drawn.isValid());
    ASSERT_EQ(QProcess::execute(QStringLiteral(MATRIX_MAKE_ART), { drawn.path() }), 0);
    int files = 0;
    for (QDirIterator it(drawn.path(), QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
        const QString path = it.next();
        const QString name = QDir(drawn.path()).relativeFilePath(path);
        const QString committed = QStringLiteral(MATRIX_ASSETS "/") + name;
        ++files;
        if (name.endsWith(".ico") || name.endsWith(".svg"))
            EXPECT_TRUE(contents(path) == contents(committed)) << name.toStdString();
        else
            EXPECT_TRUE(unsigned(largestDifference(QImage(path), QImage(committed))) <= 2)
                << name.toStdString();
    }
    EXPECT_EQ(files, 27);
}
