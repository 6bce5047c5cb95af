#pragma once
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/window/TfrmMain.hpp"
#include "app/window/VehicleGridModel.hpp"
#include "common/ServerError.hpp"
#include "history/HistoryStore.hpp"
#include "support/TestDirectory.hpp"
#include "vehicles/VehicleFile.hpp"

namespace serwer {

// Answers every message box that opens while it lives with the given button and keeps
// the texts it saw; the boxes are modal, so they are answered from a timer of the
// event loop they run.
class MessageBoxAnswerer {
public:
    explicit MessageBoxAnswerer(QMessageBox::StandardButton answer) : answer_(answer) {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                auto* box = qobject_cast<QMessageBox*>(w);
                if (!box || !box->isVisible() || answered_.count(box)) continue;
                answered_.insert(box);
                texts_.push_back(box->text());
                defaults_.push_back(box->standardButton(box->defaultButton()));
                if (QAbstractButton* b = box->button(answer_))
                    b->click();
                else
                    box->done(answer_);
            }
        });
        timer_.start();
    }
    const std::vector<QString>& Texts() const { return texts_; }
    // The button each box would have pressed on Enter.
    const std::vector<QMessageBox::StandardButton>& Defaults() const { return defaults_; }

private:
    QMessageBox::StandardButton answer_;
    QTimer timer_;
    std::set<QMessageBox*> answered_;
    std::vector<QString> texts_;
    std::vector<QMessageBox::StandardButton> defaults_;
};

// Runs `work` once the dialog is visible (from the dialog's own event loop).
inline void WhenShown(QDialog* dialog, std::function<void()> work) {
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [dialog, work, timer] {
        if (!dialog->isVisible()) return;
        timer->stop();
        timer->deleteLater();
        work();
    });
    timer->start();
}

// A history in memory: every query is remembered and answered with all of its rows, or
// fails with the failure text when one is set.
class FakeHistoryStore : public HistoryStore {
public:
    void Append(const std::vector<HistoryRecord>& added) override {
        rows.insert(rows.end(), added.begin(), added.end());
    }
    std::vector<HistoryRecord> Query(const HistoryQuery& query) override {
        queries.push_back(query);
        if (!failure.empty()) throw ServerError(failure);
        return rows;
    }
    int Prune(int, std::int64_t) override { return 0; }
    void AppendEvents(const std::vector<Event>& added) override { events.insert(events.end(), added.begin(), added.end()); }
    std::vector<Event> QueryEvents(const EventQuery&) override { return events; }
    void RemoveEvents(const EventQuery&) override { events.clear(); }

    std::vector<HistoryRecord> rows;
    std::vector<Event> events;
    std::vector<HistoryQuery> queries;
    std::string failure;  // Windows-1250
};

// Processes events until the condition holds or the time is up.
inline bool WaitFor(const std::function<bool()>& condition, int ms = 10000) {
    QElapsedTimer t;
    t.start();
    while (!condition()) {
        if (t.elapsed() > ms) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QTest::qWait(5);
    }
    return true;
}

// A window working in a fresh directory (the logs go to the working directory) with
// its data directory "dane" and serwer.ini beside it.
class WindowFixture : public ::testing::Test {
protected:
    WindowFixture() : dir_(TestDirectory::Enter::Yes) {}

    void WriteIni(const std::string& content) {
        std::ofstream out(IniPath(), std::ios::binary);
        out << content;
    }
    std::string IniPath() const { return (dir_.Path() / "serwer.ini").string(); }
    std::string DataPath(const std::string& name) const { return (dir_.Path() / "dane" / name).string(); }

    TfrmMain& Open(const std::string& firstArgument = "") {
        TfrmMain::Options options;
        options.settingsPath = IniPath();
        options.firstArgument = firstArgument;
        options.timings.closingWait = std::chrono::milliseconds(20);
        window_ = std::make_unique<TfrmMain>(options);
        window_->show();
        // FormShow runs once the window is on screen.
        QApplication::processEvents();
        QTest::qWait(20);
        return *window_;
    }

    // Aktualne.txt with these rows, replaced as the server replaces it: a new file
    // renamed over the old one.
    void ReplaceVehicles(const std::vector<VehicleRow>& rows) {
        std::filesystem::create_directories(dir_.Path() / "dane");
        {
            std::ofstream out(DataPath("Aktualne.txt.new"), std::ios::binary);
            out << FormatVehicleFile(rows);
        }
        std::filesystem::rename(DataPath("Aktualne.txt.new"), DataPath("Aktualne.txt"));
    }

    // The grid's texts of one column, top to bottom.
    QStringList GridColumn(int column) {
        const VehicleGridModel& grid = window_->Grid();
        QStringList texts;
        for (int row = 0; row < grid.rowCount(); ++row)
            texts << grid.data(grid.index(row, column), Qt::DisplayRole).toString();
        return texts;
    }

    template <typename T>
    T* Find(const char* name) {
        T* w = window_->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }

    // Closes the window for good (the close confirmation answered Yes).
    void TearDown() override {
        if (!window_) return;
        MessageBoxAnswerer yes(QMessageBox::Yes);
        window_->close();
        window_.reset();
    }

    TestDirectory dir_;
    std::unique_ptr<TfrmMain> window_;
};

}  // namespace serwer
