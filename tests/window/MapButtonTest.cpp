#include <QDesktopServices>
#include <QPushButton>

#include "window/WindowTestSupport.hpp"

using namespace serwer;

namespace {

// Catches the addresses the window hands to the default browser.
class MapUrlCatcher : public QObject {
    Q_OBJECT
public:
    std::vector<QUrl> urls;
public slots:
    void Open(const QUrl& url) { urls.push_back(url); }
};

class MapButtonTest : public WindowFixture {
protected:
    // The addresses opened and the message boxes shown by one click on "Mapa".
    std::pair<std::vector<QUrl>, std::vector<QString>> Click() {
        MapUrlCatcher browser;
        QDesktopServices::setUrlHandler("http", &browser, "Open");
        MessageBoxAnswerer ok(QMessageBox::Ok);
        Find<QPushButton>("btMapaFloty")->click();
        QDesktopServices::unsetUrlHandler("http");
        return {browser.urls, ok.Texts()};
    }
};

}  // namespace

TEST_F(MapButtonTest, OpensTheFleetMapOfTheWwwPortOrSaysHowToTurnItOn) {
    WriteIni("[Ustawienia]\r\nKatalog=dane\r\n[Www]\r\nPort=8181\r\n");
    Open();
    EXPECT_EQ(Find<QPushButton>("btMapaFloty")->text(), "Mapa");
    auto [urls, texts] = Click();
    ASSERT_EQ(urls.size(), 1u);
    EXPECT_EQ(urls[0].toString(), "http://127.0.0.1:8181/");
    EXPECT_TRUE(texts.empty());
    TearDown();

    // Listening on every address, the page is still reached through the loopback.
    WriteIni("[Ustawienia]\r\nKatalog=dane\r\n[Www]\r\nPort=8182\r\nAdres=0.0.0.0\r\n");
    Open();
    EXPECT_EQ(Click().first.at(0).toString(), "http://127.0.0.1:8182/");
    TearDown();

    WriteIni("[Ustawienia]\r\nKatalog=dane\r\n[Www]\r\nPort=\r\n");
    Open();
    std::tie(urls, texts) = Click();
    EXPECT_TRUE(urls.empty());
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], QString::fromUtf8("Mapa w przeglądarce jest wyłączona: ustaw Port w sekcji [Www] pliku "
                                          "serwer.ini i uruchom program ponownie."));
}

#include "MapButtonTest.moc"
