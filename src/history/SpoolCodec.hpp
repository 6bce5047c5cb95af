#pragma once
#include <optional>
#include <string>

#include "events/Event.hpp"
#include "history/HistoryRecord.hpp"

namespace serwer {

// The bytes of a history row or an event as the spool keeps them until the database
// takes them: every field, so that what is written later equals what came.
std::string EncodeSpooledRow(const HistoryRecord& row);
std::string EncodeSpooledEvent(const Event& event);
// Nothing for bytes that are not an encoding of that kind (a damaged spool entry).
std::optional<HistoryRecord> DecodeSpooledRow(const std::string& bytes);
std::optional<Event> DecodeSpooledEvent(const std::string& bytes);

}  // namespace serwer
