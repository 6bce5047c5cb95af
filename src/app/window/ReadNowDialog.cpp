#include "app/window/ReadNowDialog.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace serwer {

ReadNowDialog::ReadNowDialog(QWidget* parent) : QDialog(parent, Qt::Tool) {
    setWindowTitle(QString());
    setAutoFillBackground(true);
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    setPalette(white);

    auto* heading = new QLabel(QStringLiteral("Uwaga !"), this);
    heading->setObjectName("lbUwaga");
    QFont big = heading->font();
    big.setPointSize(20);
    big.setBold(true);
    heading->setFont(big);
    QPalette red = heading->palette();
    red.setColor(QPalette::WindowText, Qt::red);
    heading->setPalette(red);
    heading->setAlignment(Qt::AlignCenter);

    message_ = new QLabel(this);
    message_->setObjectName("lbKomunikat");
    message_->setWordWrap(true);
    message_->setMinimumWidth(360);

    warning_ = new QLabel(QString::fromUtf8("Odbieranie danych jest wyłączone: odczyt nastąpi dopiero po "
                                            "zaznaczeniu „Odbieraj dane”."),
                          this);
    warning_->setObjectName("lbOstrzezenie");
    warning_->setWordWrap(true);
    warning_->setPalette(red);
    warning_->setVisible(false);

    execute_ = new QPushButton(QStringLiteral("Wykonaj"), this);
    execute_->setObjectName("Button1");
    execute_->setAutoDefault(false);
    cancel_ = new QPushButton(QStringLiteral("Anuluj"), this);
    cancel_->setObjectName("Button2");
    cancel_->setDefault(true);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(execute_);
    buttons->addWidget(cancel_);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(heading);
    layout->addWidget(message_);
    layout->addWidget(warning_);
    layout->addLayout(buttons);

    connect(execute_, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(cancel_, &QPushButton::clicked, this, [this] { Button2Click(); });
}

void ReadNowDialog::ShowReadsOffWarning(bool readsOff) { warning_->setVisible(readsOff); }

}  // namespace serwer
