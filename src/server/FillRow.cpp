#include "server/FillRow.hpp"

#include "common/ServerError.hpp"
#include "link/PositionRecord.hpp"

namespace serwer {

void FillRow(VehicleRow& row, const DecodedPosition& p, char decimalSeparator) {
    row.URZ1 = p.inputs.urz1;
    row.URZ2 = p.inputs.urz2;
    row.URZ3 = p.inputs.urz3;
    if (p.fixTimeUtc) {
        row.OPIS = FormatFixTime(FixTimeToLocal(*p.fixTimeUtc));
        row.DLUGOSC = p.longitudeText;
        row.SZEROKOSC = p.latitudeText;
    }
    if (!p.speedKmh) throw ConversionError(p.speedError);
    row.PREDKOSC = FormatSpeed(*p.speedKmh, decimalSeparator);
    row.KIEROWCA = p.driver;
    if (p.gps) row.GPS = *p.gps;
    row.LICENCJA = p.ownerCode;
    row.PALIWO = p.fuelText;
    row.SILNIK = p.engineText;
    if (!p.odometerKm) throw ConversionError(p.odometerError);
    row.PRZEBIEG = *p.odometerKm;
}


}  // namespace serwer
