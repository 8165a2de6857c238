// matrix-panel.conf, and where each option's value comes from.
#include "app/interface_table.h"
#include "core/option_sources.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

constexpr QFileDevice::Permissions OwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

QString writeSettings(
    const QTemporaryDir &dir, const QByteArray &text, QFileDevice::Permissions mode = OwnerOnly)
{
    const QString path = dir.filePath(QStringLiteral("matrix-panel.conf"));
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(text);
    file.close();
    file.setPermissions(mode);
    return path;
}

} // namespace

TEST(SettingsFile, EachMistakeIsNamedByFileLineAndKey)
{
    constexpr QFileDevice::Permissions GroupReads = OwnerOnly | QFileDevice::ReadGroup;
    constexpr QFileDevice::Permissions AllRead = GroupReads | QFileDevice::ReadOther;
    const struct
    {
        QByteArray text;
        QFileDevice::Permissions mode;
        const char *says;
    } cases[] = {
        { "# comment\nbogus=1\n", OwnerOnly, ":2: bogus: unknown key" },
        { "\nlisten\n", OwnerOnly, ":2: listen: not of the form key=value" },
        { "=8080\n", OwnerOnly, ":1: =8080: not of the form" },
        { "listen=1\n#\nlisten=2\n", OwnerOnly, ":3: listen: already set on line 1" },
        { "discovery=yes\n", OwnerOnly, ":1: discovery: 'yes' is neither true nor false" },
        { "token=\n", OwnerOnly, ":1: token: the token is empty" },
        { "listen=80\ntoken=s3cret\n", AllRead, ":2: token: other users may read" },
        { "token=s3cret\n", GroupReads, ":1: token: other users may read" },
    };
    for (const auto &c : cases) {
        QTemporaryDir dir;
        const QString path = writeSettings(dir, c.text, c.mode);
        QString error;
        EXPECT_FALSE(SettingsFile::read(path, false, programOptions(), &error)) << c.says;
        EXPECT_TRUE(error.startsWith(path + QLatin1String(c.says))) << error.toStdString();
    }
    QTemporaryDir dir; // Readable by all is fine for a file without a secret.
    QString error;
    EXPECT_TRUE(SettingsFile::read(
        writeSettings(dir, "listen=80\n", AllRead), true, programOptions(), &error));
}

TEST(SettingsFile, CommandLineWinsOverTheFileAndTheFileOverTheEnvironment)
{
    QTemporaryDir dir;
    const QString path = writeSettings(dir,
        "# the rack\n  ports = 1=/dev/ttyUSB0 , 2=/dev/ttyUSB1  "
        "\n\ntoken=s3cret\ndiscovery=false\n");
    const QString missing = dir.filePath(QStringLiteral("none.conf"));
    qputenv("MATRIX_PANEL_PORTS", "9=/dev/ttyS0");
    qputenv("MATRIX_PANEL_TOKEN", " from-env ");
    const struct
    {
        QStringList arguments;
        QString file;
        const char *name;
        const char *text;
        QString origin;
    } cases[] = {
        { {}, path, "ports", "1=/dev/ttyUSB0 , 2=/dev/ttyUSB1", path + ":2: ports" },
        { { "--ports", "3=/dev/pts/4" }, path, "ports", "3=/dev/pts/4", "--ports" },
        { {}, path, "token", "s3cret", path + ":4: token" },
        { {}, path, "listen", nullptr, {} },
        { {}, missing, "ports", "9=/dev/ttyS0", "MATRIX_PANEL_PORTS" },
        { {}, missing, "token", "from-env", "MATRIX_PANEL_TOKEN" },
    };
    for (const auto &c : cases) {
        QCommandLineParser parser;
        parser.addOption({ QStringLiteral("ports"), {}, QStringLiteral("P") });
        parser.addOption({ QStringLiteral("token"), {}, QStringLiteral("T") });
        ASSERT_TRUE(parser.parse(QStringList { "matrix-panel" } + c.arguments));
        QString error;
        const std::optional<SettingsFile> file
            = SettingsFile::read(c.file, false, programOptions(), &error);
        ASSERT_TRUE(file) << error.toStdString();
        const std::optional<OptionSources::Value> value
            = OptionSources(parser, *file, programOptions()).value(QLatin1String(c.name));
        ASSERT_EQ(value.has_value(), c.text != nullptr) << c.name;
        if (value) {
            EXPECT_EQ(value->text.toStdString(), c.text);
            EXPECT_EQ(value->origin.toStdString(), c.origin.toStdString());
        }
    }
    qputenv("MATRIX_PANEL_PORTS", "");
    qunsetenv("MATRIX_PANEL_TOKEN");

    // A file that is named must be there; the one looked for by default need not.
    QString error;
    EXPECT_FALSE(SettingsFile::read(missing, true, programOptions(), &error));
    EXPECT_TRUE(error.contains("no such file")) << error.toStdString();
}

// The manual page documents the options and keys the program has, no more,
// no fewer: both come from the one table.
TEST(SettingsFile, TheManualPageListsEveryOptionKeyAndVariableOfTheTable)
{
    QFile page(QStringLiteral(MATRIX_MAN_PAGE));
    ASSERT_TRUE(page.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(page.readAll());
    const auto section = [&text](const char *name) {
        const int start = text.indexOf(QStringLiteral("\n.SH %1\n").arg(QLatin1String(name)));
        const int end = text.indexOf(QLatin1String("\n.SH "), start + 1);
        return text.mid(start, end - start);
    };
    // The word after each .TP of OPTIONS: ".BR \-\-ports ..." or ".B \-\-headless".
    QStringList documented;
    const QRegularExpression item(QStringLiteral("\\n\\.TP\\n\\.B[IR]? (?:\\\\-\\w \", \" )?"
                                                 "\\\\-\\\\-([\\w\\\\-]+)"));
    for (const QRegularExpressionMatch &m : item.globalMatch(section("OPTIONS")))
        documented << m.captured(1).remove(QLatin1Char('\\'));
    QStringList options = { "help", "help-all", "version" };
    QStringList keys;
    QStringList variables;
    for (const OptionSpec &o : programOptions()) {
        if (o.onCommandLine)
            options << o.name;
        if (o.inSettings)
            keys << o.name;
        if (!o.environment.isEmpty())
            variables << o.environment;
    }
    documented.sort();
    options.sort();
    EXPECT_EQ(documented.join(' ').toStdString(), options.join(' ').toStdString());

    const QString settings = section("SETTINGS");
    const QString keyList = settings.mid(settings.indexOf(QLatin1String("named after")),
        settings.indexOf(QLatin1String("An option on the command line"))
            - settings.indexOf(QLatin1String("named after")));
    QStringList listed;
    const QRegularExpression key(QStringLiteral("\\n\\.BR ([\\w\\\\-]+)"));
    for (const QRegularExpressionMatch &m : key.globalMatch(keyList))
        listed << m.captured(1).remove(QLatin1Char('\\'));
    listed.sort();
    keys.sort();
    EXPECT_EQ(listed.join(' ').toStdString(), keys.join(' ').toStdString());

    for (const QString &variable : variables)
        EXPECT_TRUE(section("ENVIRONMENT").contains(QStringLiteral(".B ") + variable))
            << variable.toStdString();
}
