#pragma once

#include <QString>
#include <QStringList>

// The lock file that Qt Serial Port keeps while it holds a port on Linux:
// "LCK.." and the device's name in the first usable lock directory. Qt takes
// the lock before it opens the device and reports every trouble with it as a
// permission error; this tells those troubles apart for the user.
namespace PortLock {

// The lock directories Qt Serial Port tries, in its order. It takes the first
// one that is readable and either holds the port's lock file already or is
// writable.
QStringList qtLockDirectories();

// The lock file's name for a device, as Qt Serial Port makes it: the path
// without a leading "/dev/", each '/' turned into '_', after "LCK..".
QString lockFileName(const QString &devicePath);

struct Facts
{
    enum class Kind {
        None, // no lock stands in the way of the port
        Held, // a lock file exists: see pid, running and removable
        NameTooLong, // the lock file's name is longer than the directory allows
        NoDirectory, // no lock directory is usable
    };
    Kind kind = Kind::None;
    // The lock file (Held), the one Qt would make (NameTooLong), or the
    // directories tried, separated by ", " (NoDirectory).
    QString path {};
    qint64 pid = 0; // the process the lock file names; 0 when it names none
    bool running = false; // that process still runs and is the one that made the lock
    bool removable = false; // this user may delete the lock file
    int nameBytes = 0; // length of the lock file's name (NameTooLong)
    int nameMax = 0; // the longest name the lock directory allows (NameTooLong)
    QString host {}; // the other machine that made the lock; empty for this one
};

// Finds out what stands between the device and its lock, looking in
// `directories` as Qt Serial Port would.
Facts examine(const QString &devicePath, const QStringList &directories = qtLockDirectories());

// Tells the user what the facts mean and what to do; empty for Kind::None.
QString describe(const Facts &facts);

} // namespace PortLock
