#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <QTimer>
#include <functional>
#include <optional>
#include <vector>

// One small file of what a user sets (names, presets), read once at start
// and rewritten whole when something changes. A write either replaces the
// file completely or leaves the old one as it was, byte for byte, and says
// why: a full disk, a read-only folder or a kill in the middle never costs
// what was stored before. Writes are spaced at least a second apart, since
// clients may change a name a thousand times a second and the file may live
// on an SD card; what arrives meanwhile is written together.
//
// Only a plain file is read: a FIFO would block the start, a symbolic link
// would have the program write wherever it points. Anything else, and a
// file whose contents its owner cannot use, gives one warning, the owner's
// defaults, and is kept beside as FILE.bad before the next write replaces it.
class UserFile
{
public:
    using Done = std::function<void(bool stored, const QString &error)>;

    explicit UserFile(QString path);
    // Writes what is still pending; the callbacks of those writes are not
    // run, since their owners may be going away too.
    ~UserFile();
    UserFile(const UserFile &) = delete;
    UserFile &operator=(const UserFile &) = delete;

    // `fileName` in the user's data location, where these files live.
    static QString inDataLocation(const QString &fileName);

    QString path() const { return m_path; }

    // The contents of the file, or nothing when there is none or it cannot
    // be read; *problem then says why (empty when there is no file), and
    // the warning has been logged. Removes temporary files that a write cut
    // short left behind.
    std::optional<QByteArray> read(QString *problem = nullptr);
    // The contents read are of no use to the owner: one warning, and the
    // file is moved aside before the next write.
    void markBad(const QString &problem);

    // Replaces the contents, at most once a second: the first write after
    // a quiet second is made at once, and its `done` runs before write()
    // returns; later ones wait for the second to end, and contents still
    // pending are superseded. Every pending `done` then runs with the result
    // of the write that carried it, from the event loop or from flush().
    void write(QByteArray contents, Done done = {});
    // Writes what is pending now, for a clean exit; true when there is
    // nothing to write.
    bool flush(QString *error = nullptr);
    bool pending() const { return m_contents.has_value(); }

    // Tests space the writes otherwise.
    void setMinimumIntervalMs(int ms) { m_minimumIntervalMs = ms; }

private:
    bool store(const QByteArray &contents, QString *error);

    QString m_path;
    bool m_keepAside = false;
    int m_minimumIntervalMs = 1000;
    std::optional<QByteArray> m_contents;
    std::vector<Done> m_callbacks;
    QTimer m_timer;
    QElapsedTimer m_sinceWrite;
};
