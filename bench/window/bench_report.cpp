// Benchmark of the summary report for a fleet of 5,000 vehicles: building it from the
// display copy (choosing the three lists, the cell texts and the page layout), painting
// every page into a PDF file, drawing one page as a picture for the screen, and opening
// the preview window (which paints every page once for its own use).
// Prints the median of several runs of each step.
//
// Usage: bench_report [vehicles] [runs]   (defaults 5000 and 7)

#include <stdlib.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "report/RaportZbiorczy.hpp"
#include "report/ReportPreviewDialog.hpp"
#include "vehicles/DisplayTable.hpp"
#include "vehicles/VehicleFile.hpp"

using namespace serwer;

namespace {

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// A fleet as Aktualne.txt holds it: every vehicle has a position, about half of them
// from the last three hours, and two in three have been read, most of them recently.
Bytes FleetFile(int vehicles, DateTime now) {
    std::vector<VehicleRow> rows;
    rows.reserve(static_cast<std::size_t>(vehicles));
    char buf[64];
    for (int i = 0; i < vehicles; ++i) {
        VehicleRow row;
        row.NAZWA = "BN" + std::to_string(10000 + i);
        const DateTime fix = now.PlusMs(-static_cast<std::int64_t>(i % 360) * DateTime::kMsPerMinute);
        const DateTime::Parts p = fix.Split();
        std::snprintf(buf, sizeof buf, "%04d.%02d.%02d-%02d:%02d", p.year, p.month, p.day, p.hour, p.minute);
        row.OPIS = buf;
        std::snprintf(buf, sizeof buf, "%d.%02d Km/h", i % 3 == 0 ? 0 : 10 + i % 90, i % 100);
        row.PREDKOSC = buf;
        std::snprintf(buf, sizeof buf, "52.%07dN", (i * 7919) % 10000000);
        row.SZEROKOSC = buf;
        std::snprintf(buf, sizeof buf, "21.%07dE", (i * 104729) % 10000000);
        row.DLUGOSC = buf;
        row.PALIWO = std::to_string(i % 200);
        row.KIEROWCA = "Brak ID";
        row.GPS = "OK";
        if (i % 3 != 0) row.ODCZYT = now.PlusMs(-static_cast<std::int64_t>(i % 72) * DateTime::kMsPerHour);
        row.PRZEBIEG = i * 137;
        rows.push_back(std::move(row));
    }
    return FormatVehicleFile(rows);
}

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const int vehicles = argc > 1 ? std::atoi(argv[1]) : 5000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 7;
    if (vehicles < 0 || runs < 1) {
        std::fprintf(stderr, "usage: bench_report [vehicles] [runs]\n");
        return 2;
    }

    const DateTime now = *DateTime::Make(2026, 12, 8, 12, 0, 0);
    DisplayTable display;
    display.ReloadFromContent(FleetFile(vehicles, now));
    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "cannot create a temporary directory\n");
        return 1;
    }
    const QString pdf = dir.filePath(QStringLiteral("raport.pdf"));

    std::vector<double> build, paint, picture, preview;
    int pages = 0;
    qint64 pdfBytes = 0;
    std::size_t listSizes[3] = {};
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        const RaportZbiorczy report(display.Rows(), now);
        build.push_back(timer.nsecsElapsed() / 1e6);

        timer.restart();
        if (!report.ExportPdf(pdf)) {
            std::fprintf(stderr, "PDF export failed\n");
            return 1;
        }
        paint.push_back(timer.nsecsElapsed() / 1e6);

        timer.restart();
        const QImage image = report.RenderPage(0, 96);
        picture.push_back(timer.nsecsElapsed() / 1e6);
        if (image.isNull()) return 1;

        timer.restart();
        {
            ReportPreviewDialog dialog(report);
            dialog.show();
            QApplication::processEvents();
            preview.push_back(timer.nsecsElapsed() / 1e6);
            dialog.close();
        }

        pages = report.PageCount();
        pdfBytes = QFileInfo(pdf).size();
        listSizes[0] = report.Lists().all.size();
        listSizes[1] = report.Lists().readLastDay.size();
        listSizes[2] = report.Lists().recentPosition.size();
    }

    std::printf("summary report, %d vehicles (lists %zu / %zu / %zu rows), %d pages, PDF %lld bytes, %d runs\n",
                vehicles, listSizes[0], listSizes[1], listSizes[2], pages, static_cast<long long>(pdfBytes), runs);
    std::printf("  build (lists, cell texts, layout)  median %9.1f ms\n", Median(build));
    std::printf("  paint every page to a PDF file     median %9.1f ms  (%.2f ms per page)\n", Median(paint),
                pages ? Median(paint) / pages : 0.0);
    std::printf("  one page as a 96 dpi picture       median %9.1f ms\n", Median(picture));
    std::printf("  open the preview window            median %9.1f ms\n", Median(preview));
    return 0;
}
