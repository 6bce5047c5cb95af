#pragma once

namespace serwer {

// Qt's own texts (standard buttons, the file, print and page setup dialogs, the print
// preview) in Polish, from Qt's translations installed on the system. Returns false
// when they are not installed; the window then shows Qt's texts in English.
// Call once, after the application object exists.
bool InstallPolishTranslations();

}  // namespace serwer
