// The report's preview window, opened without exec() as the main window's tests do.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPrintPreviewWidget>
#include <QPrinter>
#include <QTimer>
#include <QToolBar>
#include <functional>

#include "report/ReportPreviewDialog.hpp"
#include "support/TestDirectory.hpp"

using namespace serwer;

namespace {

RaportZbiorczy ReportOf(int vehicles) {
    const DateTime now = *DateTime::Make(2026, 3, 5, 17, 4, 9);
    std::vector<VehicleRow> rows(static_cast<std::size_t>(vehicles));
    for (int i = 0; i < vehicles; ++i) {
        rows[static_cast<std::size_t>(i)].NAZWA = "KR" + std::to_string(i);
        rows[static_cast<std::size_t>(i)].ODCZYT = now;
    }
    return RaportZbiorczy(rows, now);
}

TEST(ReportPreview, OpensAtFullSizeOnLandscapeA4WithEveryPage) {
    ReportPreviewDialog dialog(ReportOf(80));
    dialog.show();
    QApplication::processEvents();
    QPrintPreviewWidget* preview = dialog.PreviewWidget();
    ASSERT_NE(preview, nullptr);
    EXPECT_DOUBLE_EQ(preview->zoomFactor(), 1.0);
    EXPECT_EQ(preview->pageCount(), dialog.Report().PageCount());
    EXPECT_EQ(dialog.printer()->pageLayout().orientation(), QPageLayout::Landscape);
    EXPECT_EQ(dialog.printer()->pageLayout().pageSize().id(), QPageSize::A4);
    auto* toolbar = dialog.findChild<QToolBar*>();
    ASSERT_NE(toolbar, nullptr);
    EXPECT_TRUE(toolbar->actions().contains(dialog.ExportAction()));
    EXPECT_EQ(dialog.ExportAction()->text(), QStringLiteral("Eksport do PDF"));
    dialog.close();
}

// The text of the message box that action shows, which is closed.
QString MessageShownBy(const std::function<void()>& action) {
    QString shown;
    QTimer::singleShot(0, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            shown = box->text();
            box->close();
        }
    });
    action();
    return shown;
}

TEST(ReportPreview, ExportWritesTheDatedPdfIntoTheDocumentsFolderOrElseTheHomeFolder) {
    TestDirectory dir;
    const QByteArray home = qgetenv("HOME");
    qputenv("HOME", QByteArray::fromStdString(dir.Path().string()));
    qunsetenv("XDG_CONFIG_HOME");  // the documents folder is $HOME/Documents
    ReportPreviewDialog dialog(ReportOf(5));
    const std::string name = "Raport zbiorczy 2026-03-05 17-04.pdf";
    const std::filesystem::path pdf = dir.Path() / "Documents" / name;
    EXPECT_EQ(MessageShownBy([&] { dialog.ExportAction()->trigger(); }),
              QStringLiteral("Raport zapisano w pliku %1").arg(QString::fromStdString(pdf.string())));
    EXPECT_EQ(ReadFile(pdf).substr(0, 5), "%PDF-");

    std::filesystem::remove_all(dir.Path() / "Documents");
    std::ofstream(dir.Path() / "Documents") << "a file where the folder would be";
    MessageShownBy([&] { dialog.ExportAction()->trigger(); });
    EXPECT_EQ(ReadFile(dir.Path() / name).substr(0, 5), "%PDF-");
    qputenv("HOME", home);
}

TEST(ReportPreview, ExportThatFailsTellsTheOperatorWhereAndWhy) {
    ReportPreviewDialog dialog(ReportOf(5));
    const QString shown =
        MessageShownBy([&] { EXPECT_FALSE(dialog.ExportPdfTo(QStringLiteral("/nonexistent-directory/raport.pdf"))); });
    const QString expected =
        QStringLiteral("Nie można zapisać raportu do pliku /nonexistent-directory/raport.pdf\nPrzyczyna: ");
    EXPECT_TRUE(shown.startsWith(expected)) << shown.toStdString();
    EXPECT_GT(shown.size(), expected.size());
}

TEST(ReportPreview, ShownPreviewGoesAwayWhenClosed) {
    QPointer<ReportPreviewDialog> dialog = ShowReportPreview(nullptr, ReportOf(2));
    ASSERT_TRUE(dialog);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_FALSE(dialog->isModal());
    dialog->close();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(dialog.isNull());
}

}  // namespace
