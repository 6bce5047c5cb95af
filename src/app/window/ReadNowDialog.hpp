#pragma once
#include <QDialog>

class QLabel;
class QPushButton;

namespace serwer {

// The look shared by the two read-now dialogs: a small white tool window, the heading "Uwaga !" in large red letters, a
// word-wrapped message, and the buttons "Wykonaj" and "Anuluj", "Anuluj" being the default (Enter).
class ReadNowDialog : public QDialog {
    Q_OBJECT
public:
    explicit ReadNowDialog(QWidget* parent);

    QLabel* Message() const { return message_; }
    // A warning under the message while "Odbieraj dane" is off: the read waits for it.
    void ShowReadsOffWarning(bool readsOff);
    QLabel* Warning() const { return warning_; }
    QPushButton* ExecuteButton() const { return execute_; }
    QPushButton* CancelButton() const { return cancel_; }

protected:
    // "Wykonaj".
    virtual void Button1Click() = 0;
    // "Anuluj" only closes the dialog.
    void Button2Click() { reject(); }

private:
    QLabel* message_;
    QLabel* warning_;
    QPushButton* execute_;
    QPushButton* cancel_;
};

}  // namespace serwer
