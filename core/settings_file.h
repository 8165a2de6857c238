#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <vector>

// One option of the program, as every source spells it: --name on the
// command line, name= in the settings file, and maybe a variable.
struct OptionSpec
{
    QString name;
    // Empty: a flag, given on the command line only.
    QString valueName;
    QString help;
    // A variable that sets it too, or empty.
    QString environment;
    // False for a secret: a command line is seen by every user (ps).
    bool onCommandLine = true;
    bool inSettings = true;
    // Stands in a settings file only where no other user can read it; a
    // variable set but blank is no value.
    bool secret = false;
    // What is wrong with a value, wherever it comes from; nothing when it
    // may be right.
    std::function<std::optional<QString>(const QString &value)> check;

    static OptionSpec valued(QString name, QString valueName, QString help)
    {
        OptionSpec o;
        o.name = std::move(name);
        o.valueName = std::move(valueName);
        o.help = std::move(help);
        return o;
    }
    static OptionSpec flag(QString name, QString help)
    {
        OptionSpec o = valued(std::move(name), {}, std::move(help));
        o.inSettings = false;
        return o;
    }
};

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

    // $XDG_CONFIG_HOME/matrix-panel/matrix-panel.conf (~/.config/...).
    static QString defaultPath();

    // Reads the file at `path`, whose keys are those of `options` that may
    // stand in it. A missing file is an empty one unless `mustExist`.
    // Returns nothing on a malformed line, an unknown or repeated key, a
    // value that is never valid, or a secret in a file that other users may
    // read; *error then says "FILE:LINE: key: what is wrong".
    static std::optional<SettingsFile> read(const QString &path, bool mustExist,
        const std::vector<OptionSpec> &options, QString *error);

    QString path() const { return m_path; }
    const Entry *find(const QString &key) const;
    // "FILE:LINE: key", for messages about the entry's value.
    QString origin(const Entry &entry) const;

private:
    QString m_path;
    std::vector<Entry> m_entries;
};
