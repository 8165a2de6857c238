#pragma once

#include "core/user_file.h"

#include <QString>
#include <array>
#include <optional>
#include <vector>

// A name for each input and output, as users give them: shown beside the
// panel's own captions and served to every interface.
struct Names
{
    static constexpr int MaxLength = 64;

    Names();
    static QString defaultInput(int k); // "Input 1" to "Input 4"
    static QString defaultOutput(int k); // "Output A" to "Output D"

    std::array<QString, 4> inputs;
    std::array<QString, 4> outputs;

    bool operator==(const Names &o) const { return inputs == o.inputs && outputs == o.outputs; }
    bool operator!=(const Names &o) const { return !(*this == o); }
};

// One name to set: input or output 0 to 3.
struct NameChange
{
    bool output = false;
    int index = 0;
    QString name;
};

// Why `name` cannot be a name, or nothing when it can: 1 to 64 characters,
// not all of them spaces, valid UTF-16, without control characters, line
// breaks or the characters that override the direction of the text around.
std::optional<QString> nameProblem(const QString &name);

// The names in one small file, read once at start and written whole, only
// when a name changes, so that a run where nothing is named leaves no file.
class NameStore
{
public:
    // By default the file is names.json in the user's data location.
    explicit NameStore(QString path = {});
    QString path() const { return m_file.path(); }

    // The names in the file, or the defaults when there is none. A file
    // that cannot be read gives one warning and the defaults, and stays as
    // it is until a name is changed; then it is kept beside, as .bad.
    Names load();
    // Stores the names within about a second; see UserFile::write.
    void save(const Names &names, UserFile::Done done);
    // Stores them now.
    bool save(const Names &names, QString *error);
    // Stores what is pending now, for a clean exit.
    bool flush(QString *error = nullptr) { return m_file.flush(error); }

    void setMinimumIntervalMs(int ms) { m_file.setMinimumIntervalMs(ms); }

private:
    UserFile m_file;
};
