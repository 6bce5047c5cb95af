#pragma once
#include <string>

#include "app/window/ReadNowDialog.hpp"

namespace serwer {

class TableLock;

// "Odczytaj wszystkie auta teraz": on "Wykonaj" every vehicle's read state is cleared
// (ReadAllNow) so each is read at its next connection, whatever the read hour.
class TfrmOdpytajWszystkie : public ReadNowDialog {
    Q_OBJECT
public:
    TfrmOdpytajWszystkie(QWidget* parent, TableLock& lock, std::string dataDirectory);

protected:
    void Button1Click() override;

private:
    TableLock& lock_;
    std::string dataDirectory_;
};

}  // namespace serwer
