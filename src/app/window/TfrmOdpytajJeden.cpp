#include "app/window/TfrmOdpytajJeden.hpp"

#include <QLabel>
#include <QMessageBox>

#include "app/window/UiText.hpp"
#include "vehicles/ReadSchedule.hpp"

namespace serwer {

namespace {

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t pos = text.find(from); pos != std::string::npos; pos = text.find(from, pos + to.size()))
        text.replace(pos, from.size(), to);
    return text;
}

}  // namespace

TfrmOdpytajJeden::TfrmOdpytajJeden(QWidget* parent, TableLock& lock, std::string dataDirectory)
    : ReadNowDialog(parent), lock_(lock), dataDirectory_(std::move(dataDirectory)) {
    setObjectName("frmOdpytajJeden");
    setWindowTitle(QStringLiteral("Odczytaj wybrane auto teraz"));
    template_ = Cp1250(
        "Wybrana opcja spowoduje odczytanie danych #AUTO\r\n"
        "w możliwie najkrótszym czasie , ostatni odczyt #AUTO miał miejsce #DATA_ODCZYTU");
    messageText_ = template_;
    Message()->setText(UiMessage(template_));
}

void TfrmOdpytajJeden::FormShow(const std::string& name, const std::string& lastRead) {
    name_ = name;
    const std::string when = lastRead.empty() ? std::string("nigdy") : lastRead;
    messageText_ = ReplaceAll(ReplaceAll(template_, "#AUTO", name), "#DATA_ODCZYTU", when);
    Message()->setText(UiMessage(messageText_));
}

void TfrmOdpytajJeden::Button1Click() {
    try {
        ReadOneNow(lock_, dataDirectory_, name_);
    } catch (const std::exception& e) {
        // "Nie moge znalezc samochodu : " + name, or a failed save: the dialog stays.
        QMessageBox::critical(this, windowTitle(), UiMessage(e.what()));
        return;
    }
    accept();
}

}  // namespace serwer
