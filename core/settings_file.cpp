#include "core/settings_file.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <algorithm>

namespace {

// Far more than any hand-written settings; a larger file is not one.
constexpr qint64 MaxSize = 64 * 1024;

} // namespace

QString SettingsFile::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/matrix-panel/matrix-panel.conf");
}

std::optional<SettingsFile> SettingsFile::read(
    const QString &path, bool mustExist, const std::vector<OptionSpec> &options, QString *error)
{
    QStringList keys;
    for (const OptionSpec &option : options) {
        if (option.inSettings)
            keys << option.name;
    }
    const auto declared = [&options](const QString &key) {
        return std::find_if(options.begin(), options.end(),
            [&key](const OptionSpec &o) { return o.inSettings && o.name == key; });
    };
    SettingsFile settings;
    settings.m_path = path;
    QFile file(path);
    if (!file.exists() && !mustExist)
        return settings;
    // A pipe or a device would hold the start-up up, or never end.
    const bool plain = QFileInfo(path).isFile();
    if (!plain || !file.open(QIODevice::ReadOnly)) {
        const QString why = !file.exists() ? QStringLiteral("no such file")
            : !plain                       ? QStringLiteral("not a plain file")
                                           : file.errorString();
        *error = QStringLiteral("%1: cannot read: %2").arg(path, why);
        return std::nullopt;
    }
    const QByteArray text = file.read(MaxSize + 1);
    if (text.size() > MaxSize) {
        *error = QStringLiteral("%1: larger than %2 bytes, not a settings file")
                     .arg(path)
                     .arg(MaxSize);
        return std::nullopt;
    }

    const QList<QByteArray> lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = QString::fromUtf8(lines[i]).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const QString where = QStringLiteral("%1:%2").arg(path).arg(i + 1);
        const int eq = line.indexOf(QLatin1Char('='));
        const QString key = line.left(eq).trimmed();
        if (eq < 0 || key.isEmpty()) {
            *error = QStringLiteral("%1: %2: not of the form key=value").arg(where, line);
            return std::nullopt;
        }
        const QString value = line.mid(eq + 1).trimmed();
        QString wrong;
        const auto option = declared(key);
        if (option == options.end())
            wrong = QStringLiteral("unknown key (known: %1)").arg(keys.join(QLatin1String(", ")));
        else if (const Entry *before = settings.find(key))
            wrong = QStringLiteral("already set on line %1").arg(before->line);
        else if (option->check)
            wrong = option->check(value).value_or(QString());
        if (!wrong.isEmpty()) {
            *error = QStringLiteral("%1: %2: %3").arg(where, key, wrong);
            return std::nullopt;
        }
        settings.m_entries.push_back({ key, value, i + 1 });
    }

#ifdef Q_OS_UNIX
    // As ssh does with a private key: a secret that others can read is no
    // secret, and a program that used it anyway would hide the leak.
    const bool othersRead = file.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther);
    for (const Entry &entry : settings.m_entries) {
        if (othersRead && declared(entry.key)->secret) {
            *error = QStringLiteral("%1:%2: %3: other users may read this file, so the %3 in "
                                    "it is no secret; refused (chmod 600 %1)")
                         .arg(path)
                         .arg(entry.line)
                         .arg(entry.key);
            return std::nullopt;
        }
    }
#endif
    return settings;
}

const SettingsFile::Entry *SettingsFile::find(const QString &key) const
{
    for (const Entry &entry : m_entries) {
        if (entry.key == key)
            return &entry;
    }
    return nullptr;
}

QString SettingsFile::origin(const Entry &entry) const
{
    return QStringLiteral("%1:%2: %3").arg(m_path).arg(entry.line).arg(entry.key);
}
