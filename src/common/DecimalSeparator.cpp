#include "common/DecimalSeparator.hpp"

#include <langinfo.h>
#include <locale.h>

#include <cstring>

namespace serwer {

char ReadDecimalSeparatorFromEnvironment() {
    locale_t loc = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(0));
    if (loc == static_cast<locale_t>(0)) return '.';
    const char* radix = nl_langinfo_l(RADIXCHAR, loc);
    char sep = (radix != nullptr && std::strlen(radix) == 1) ? radix[0] : '.';
    freelocale(loc);
    return sep;
}

}  // namespace serwer
