// The display reload with 5,000 vehicles in Aktualne.txt (every minute and after each
// save of the file): how long the window's thread is busy rebuilding the DisplayTable,
// fitting the columns, keeping the current vehicle and repainting the grid with its
// fixed Nazwa column, with and without a sort chosen by the operator. Prints medians
// over the runs.
//
// Runs on the offscreen platform unless QT_QPA_PLATFORM says otherwise.

#include <QApplication>
#include <QElapsedTimer>
#include <QScrollBar>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "app/window/VehicleGridModel.hpp"
#include "app/window/VehicleGridView.hpp"
#include "vehicles/DisplayTable.hpp"
#include "vehicles/VehicleFile.hpp"

using namespace serwer;

namespace {

constexpr int kVehicles = 5000;
constexpr int kRuns = 25;

std::vector<VehicleRow> Fleet() {
    std::vector<VehicleRow> rows;
    for (int i = 0; i < kVehicles; ++i) {
        VehicleRow r;
        r.NAZWA = "WX" + std::to_string(100000 + i * 7919 % 90000);
        r.OPIS = "2026.12.08-" + std::to_string(10 + i % 14) + ":" + std::to_string(10 + i % 50);
        r.KIEROWCA = i % 3 ? "0A1B2C" : "Brak ID";
        r.PREDKOSC = std::to_string(i % 120) + ",25 Km/h";
        r.GPS = i % 10 ? "OK" : "BRAK";
        r.SILNIK = "ZAL";
        r.LICENCJA = "001A2B3C4D5E6F70";
        r.PALIWO = "Sonda-" + std::to_string(i % 100) + " %";
        r.LICZNIK_ODCZYTOW = i % 40;
        r.SZEROKOSC = "52,2297000N";
        r.DLUGOSC = "21,0122000E";
        if (i % 4) r.ODCZYT = DateTime::Make(2026, 12, 1 + i % 7, i % 24, i % 60, 0);
        r.PROBA_ODCZYTU = r.ODCZYT;
        r.URZ1 = i % 2 == 0;
        r.URZ2 = false;
        r.URZ3 = i % 5 == 0;
        r.PRZEBIEG = 1000 + i * 37;
        rows.push_back(r);
    }
    return rows;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);

    char pattern[] = "/tmp/serwer-bench-display-XXXXXX";
    if (!::mkdtemp(pattern)) return 1;
    const std::string dir = pattern;
    {
        std::ofstream out(dir + "/Aktualne.txt", std::ios::binary);
        out << FormatVehicleFile(Fleet());
    }
    const auto fileSize = std::filesystem::file_size(dir + "/Aktualne.txt");

    // The file read and parsed alone, no grid.
    std::vector<double> parseMs;
    for (int i = 0; i < kRuns; ++i) {
        DisplayTable table;
        QElapsedTimer t;
        t.start();
        table.ReloadDisplayTable(dir);
        parseMs.push_back(t.nsecsElapsed() / 1e6);
    }

    VehicleGridModel model;
    VehicleGridView view(&model, nullptr);
    view.resize(1400, 700);
    view.show();
    QApplication::processEvents();

    auto reloadAndPaint = [&] {
        QElapsedTimer t;
        t.start();
        view.ReloadDisplayTable(dir);
        view.viewport()->repaint();
        view.FrozenView()->viewport()->repaint();
        QApplication::processEvents();
        return t.nsecsElapsed() / 1e6;
    };

    // The dispatcher works far down the grid.
    std::vector<double> unsortedMs, sortedMs, byNameMs;
    reloadAndPaint();
    view.setCurrentIndex(model.index(kVehicles / 2, 3));
    view.verticalScrollBar()->setValue(view.verticalScrollBar()->maximum() / 2);
    for (int i = 0; i < kRuns; ++i) unsortedMs.push_back(reloadAndPaint());
    view.TitleClick(VehicleGridModel::GridColumn(DisplayColumn::ODCZYT));
    view.TitleClick(VehicleGridModel::GridColumn(DisplayColumn::ODCZYT));  // descending
    for (int i = 0; i < kRuns; ++i) sortedMs.push_back(reloadAndPaint());
    view.TitleClick(VehicleGridModel::GridColumn(DisplayColumn::NAZWA));  // Polish order
    for (int i = 0; i < kRuns; ++i) byNameMs.push_back(reloadAndPaint());

    std::printf("ReloadDisplayTable, %d vehicles, Aktualne.txt %ju bytes, %d runs each (median)\n", kVehicles,
                static_cast<std::uintmax_t>(fileSize), kRuns);
    std::printf("  read and parse the file only              %8.2f ms\n", Median(parseMs));
    std::printf("  reload + grid repaint, file order         %8.2f ms\n", Median(unsortedMs));
    std::printf("  reload + grid repaint, sorted on ODCZYT   %8.2f ms\n", Median(sortedMs));
    std::printf("  reload + grid repaint, sorted on NAZWA    %8.2f ms\n", Median(byNameMs));
    std::printf("  rows shown: %d\n", model.rowCount());

    std::filesystem::remove_all(dir);
    return 0;
}
