#pragma once
#include <QObject>
#include <QString>
#include <cstdint>
#include <string>

class QFileSystemWatcher;
class QTimer;

namespace serwer {

// Tells when Aktualne.txt in the data directory has changed. The server replaces the
// file by renaming a new one over it, so the directory is watched, and the file as well
// (its watch is added again after every replacement). One save makes several events and
// saves follow one another while units call in: the events of a short while are taken
// together, and Changed() is given only when the file is not the one of the last time.
class VehicleFileWatch : public QObject {
    Q_OBJECT
public:
    static constexpr int kGatherMs = 300;

    VehicleFileWatch(const std::string& dataDirectory, QObject* parent);

signals:
    void Changed();

private:
    // What tells one version of the file from the next.
    struct Identity {
        bool exists = false;
        std::uint64_t inode = 0, size = 0;
        std::int64_t modifiedNs = 0;
        bool operator==(const Identity&) const = default;
    };
    Identity Current() const;
    void Noticed();
    void Check();

    QString file_;
    QFileSystemWatcher* watcher_;
    QTimer* gather_;
    Identity last_;
};

}  // namespace serwer
