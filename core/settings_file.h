#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

// The settings a user writes by hand, matrix-panel.conf: one `key=value` a
// line, keys named after the long options, `#` at the start of a line for a
// comment. The program reads the file and never writes it, so the user's
// comments and spelling stay as written. QSettings is not used because it
// cannot say on which line a value stands.
class SettingsFile
{
public:
    struct Entry
    {
        QString key;
        QString value;
        int line = 0;
    };

    // The keys the file may hold.
    static const QStringList &knownKeys();

    // $XDG_CONFIG_HOME/matrix-panel/matrix-panel.conf (~/.config/...).
    static QString defaultPath();

    // Reads the file at `path`. A missing file is an empty one unless
    // `mustExist`. Returns nothing on a malformed line, an unknown or
    // repeated key, a value that is never valid, or a token in a file that
    // other users may read; *error then says "FILE:LINE: key: what is wrong".
    static std::optional<SettingsFile> read(const QString &path, bool mustExist, QString *error);

    QString path() const { return m_path; }
    const Entry *find(const QString &key) const;
    // "FILE:LINE: key", for messages about the entry's value.
    QString origin(const Entry &entry) const;

private:
    QString m_path;
    std::vector<Entry> m_entries;
};
