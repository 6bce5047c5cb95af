#pragma once
#include "link/DecodedPosition.hpp"
#include "vehicles/VehicleRow.hpp"

namespace serwer {

// The table's columns of a decoded position. A fix time that could not be decoded
// leaves the time and the coordinates as they were; a speed or an odometer that could
// not be decoded fails the whole row (the error is the decoder's).
void FillRow(VehicleRow& row, const DecodedPosition& p, char decimalSeparator);

}  // namespace serwer
