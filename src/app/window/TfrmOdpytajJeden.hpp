#pragma once
#include <QString>
#include <string>

#include "app/window/ReadNowDialog.hpp"

namespace serwer {

class TableLock;

// "Odczytaj wybrane auto teraz": shows which vehicle will be read and when it was read
// last, and on "Wykonaj" clears that vehicle's read state (ReadOneNow).
class TfrmOdpytajJeden : public ReadNowDialog {
    Q_OBJECT
public:
    TfrmOdpytajJeden(QWidget* parent, TableLock& lock, std::string dataDirectory);

    // Before each showing: the vehicle selected in the grid (its NAZWA) and its last
    // read as the window shows dates (empty when never read), Windows-1250 texts. The
    // message is the template with every "#AUTO" replaced by the name, then every
    // "#DATA_ODCZYTU" by the date, or by "nigdy" for a vehicle never read.
    void FormShow(const std::string& name, const std::string& lastRead);

    // The message as the template made it, with its CR LF line break.
    const std::string& MessageText() const { return messageText_; }

protected:
    void Button1Click() override;

private:
    TableLock& lock_;
    std::string dataDirectory_;
    std::string template_;
    std::string messageText_;
    std::string name_;
};

}  // namespace serwer
