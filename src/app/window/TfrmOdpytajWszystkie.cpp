#include "app/window/TfrmOdpytajWszystkie.hpp"

#include <QLabel>
#include <QMessageBox>

#include "app/window/UiText.hpp"
#include "vehicles/ReadSchedule.hpp"

namespace serwer {

TfrmOdpytajWszystkie::TfrmOdpytajWszystkie(QWidget* parent, TableLock& lock, std::string dataDirectory)
    : ReadNowDialog(parent), lock_(lock), dataDirectory_(std::move(dataDirectory)) {
    setObjectName("frmOdpytajWszystkie");
    setWindowTitle(QStringLiteral("Odczytaj wszystkie auta teraz"));
    Message()->setText(QString::fromUtf8(
        "Wybrana opcja spowoduje odczytanie danych wszystkich pojazdów w możliwie najkrótszym czasie , "
        "niezależnie od określonej wcześniej godziny odczytywania."));
}

void TfrmOdpytajWszystkie::Button1Click() {
    try {
        ReadAllNow(lock_, dataDirectory_);
    } catch (const std::exception& e) {
        // The rows are cleared in the table; only the save failed, and the next stored
        // position saves them.
        QMessageBox::critical(this, windowTitle(), UiMessage(e.what()));
    }
    accept();
}

}  // namespace serwer
