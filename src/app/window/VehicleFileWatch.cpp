#include "app/window/VehicleFileWatch.hpp"

#include <sys/stat.h>

#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>

#include "vehicles/TableLock.hpp"

namespace serwer {

VehicleFileWatch::VehicleFileWatch(const std::string& dataDirectory, QObject* parent)
    : QObject(parent),
      file_(QFileInfo(QString::fromStdString(VehicleFilePath(dataDirectory))).absoluteFilePath()),
      watcher_(new QFileSystemWatcher(this)),
      gather_(new QTimer(this)),
      last_(Current()) {
    gather_->setSingleShot(true);
    gather_->setInterval(kGatherMs);
    connect(gather_, &QTimer::timeout, this, &VehicleFileWatch::Check);
    connect(watcher_, &QFileSystemWatcher::directoryChanged, this, &VehicleFileWatch::Noticed);
    connect(watcher_, &QFileSystemWatcher::fileChanged, this, &VehicleFileWatch::Noticed);
    watcher_->addPath(QFileInfo(file_).absolutePath());
    if (last_.exists) watcher_->addPath(file_);
}

VehicleFileWatch::Identity VehicleFileWatch::Current() const {
    struct stat s {};
    if (::stat(file_.toLocal8Bit().constData(), &s) != 0) return {};
    return {true, static_cast<std::uint64_t>(s.st_ino), static_cast<std::uint64_t>(s.st_size),
            static_cast<std::int64_t>(s.st_mtim.tv_sec) * 1'000'000'000 + s.st_mtim.tv_nsec};
}

void VehicleFileWatch::Noticed() {
    // Not restarted by later events: a steady stream of saves still gives a reload
    // every kGatherMs.
    if (!gather_->isActive()) gather_->start();
}

void VehicleFileWatch::Check() {
    const Identity now = Current();
    if (now.exists && !watcher_->files().contains(file_)) watcher_->addPath(file_);
    if (now == last_) return;
    last_ = now;
    emit Changed();
}

}  // namespace serwer
