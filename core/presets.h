#pragma once

#include "core/user_file.h"

#include <QByteArray>
#include <QString>
#include <map>
#include <optional>
#include <vector>

// A whole routing kept under a name and recalled at once: for some outputs,
// the input each should show.
struct Preset
{
    static constexpr int Limit = 32;

    // Given by the program, never used twice in one run; 0 before that.
    int id = 0;
    QString name;
    // Output 1 to 4 (A to D): input 1 to 4.
    std::map<int, int> routes;

    bool operator==(const Preset &o) const
    {
        return id == o.id && name == o.name && routes == o.routes;
    }
    bool operator!=(const Preset &o) const { return !(*this == o); }
};

// Why `preset` cannot be stored (its name breaks the rules of names, a
// route names no input or output, none is given), or nothing.
std::optional<QString> presetProblem(const Preset &preset);

// The presets in presets.json beside the names, read once at start and
// written whole, at most once a second, only when a preset changes.
class PresetStore
{
public:
    // By default presets.json in the user's data location.
    explicit PresetStore(QString path = {});
    QString path() const { return m_file.path(); }

    // The presets in the file, in id order, or none when there is no file.
    // A file that cannot be read gives one warning and no presets, and is
    // kept beside (.bad) before the next write.
    std::vector<Preset> load();
    void save(const std::vector<Preset> &presets, UserFile::Done done);
    bool flush(QString *error = nullptr) { return m_file.flush(error); }
    void setMinimumIntervalMs(int ms) { m_file.setMinimumIntervalMs(ms); }

private:
    UserFile m_file;
};
