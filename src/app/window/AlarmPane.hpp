#pragma once
#include <QWidget>
#include <set>
#include <vector>

#include "events/AlarmList.hpp"

class QLabel;
class QPushButton;
class QTableWidget;

namespace serwer {

// "Alarmy": the events of the types chosen in [Zdarzenia] Alarmy that no dispatcher has
// acknowledged yet, newest first; "Potwierdź" acknowledges the selected ones.
class AlarmPane : public QWidget {
    Q_OBJECT
public:
    AlarmPane(std::set<EventType> types, QWidget* parent);

    // On the window's thread.
    void Add(const std::vector<Event>& events);
    void AcknowledgeSelected();
    const AlarmList& Alarms() const { return alarms_; }

private:
    void Show();

    AlarmList alarms_;
    QLabel* lbAlarmy_ = nullptr;
    QTableWidget* lvAlarmy_ = nullptr;
    QPushButton* btPotwierdz_ = nullptr;
};

}  // namespace serwer
