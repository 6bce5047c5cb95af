#pragma once
#include <QString>
#include <string>

#include "common/Win1250.hpp"

namespace serwer {

// The core's texts are Windows-1250 bytes; the window shows them as Unicode.
inline QString UiText(const std::string& cp1250) { return QString::fromStdString(Cp1250ToUtf8(cp1250)); }

// A message with CR LF line breaks as a label or a message box shows it.
inline QString UiMessage(const std::string& cp1250) { return UiText(cp1250).replace("\r\n", "\n"); }

}  // namespace serwer
