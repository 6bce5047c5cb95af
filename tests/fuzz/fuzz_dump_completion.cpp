// The end-of-transfer test, whole and incremental. The low four bits of the first input
// byte say how many piece lengths follow (one byte each); the rest of the input is fed
// to the checker in pieces of those lengths (a zero length feeds an empty piece), then
// whatever remains in one last piece. After every piece the incremental checker must
// give what the whole test gives for everything fed so far, its conversion error
// included, except that an escape byte ending the data is still waiting for its partner.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.hpp"
#include "common/ServerError.hpp"
#include "download/DumpCompletion.hpp"
#include "link/ByteStuffing.hpp"

using namespace serwer;

namespace {

// A DumpCompletion or the message of the conversion error that took its place.
struct Answer {
    std::optional<DumpCompletion> completion;
    std::string error;
};

bool Same(const Answer& a, const Answer& b) {
    if (a.completion.has_value() != b.completion.has_value()) return false;
    if (!a.completion) return a.error == b.error;
    if (a.completion->complete != b.completion->complete) return false;
    return !a.completion->complete || a.completion->lastPage == b.completion->lastPage;
}

template <class F>
Answer Capture(F&& f) {
    Answer answer;
    try {
        answer.completion = f();
    } catch (const ConversionError& e) {
        answer.error = e.what();
    }
    return answer;
}

Answer Whole(const Bytes& fed) {
    // An unpaired escape byte at the end is not judged yet: the whole test is asked
    // about the data without it.
    const Bytes judged = EndsInUnpairedEscape(fed) ? fed.substr(0, fed.size() - 1) : fed;
    return Capture([&] { return IsDumpComplete(judged); });
}

void CheckAnswer(const Answer& answer) {
    if (answer.completion && answer.completion->complete)
        FUZZ_CHECK(answer.completion->lastPage >= 0 && answer.completion->lastPage <= 9999);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t lengthCount = std::min<std::size_t>(data[0] & 0x0F, size - 1);
    const std::vector<std::size_t> lengths(data + 1, data + 1 + lengthCount);
    const std::string_view rest(reinterpret_cast<const char*>(data + 1 + lengthCount), size - 1 - lengthCount);

    DumpCompletionChecker checker;
    Bytes fed;
    Answer last = Capture([&] { return checker.Check(); });
    FUZZ_CHECK(Same(last, Whole(fed)));

    std::size_t pos = 0;
    for (std::size_t turn = 0; turn <= lengths.size(); ++turn) {
        const std::size_t length =
            turn < lengths.size() ? std::min(lengths[turn], rest.size() - pos) : rest.size() - pos;
        const std::string_view piece = rest.substr(pos, length);
        pos += length;
        fed.append(piece);
        last = Capture([&] { return checker.Feed(piece); });
        FUZZ_CHECK(Same(last, Capture([&] { return checker.Check(); })));
        FUZZ_CHECK(Same(last, Whole(fed)));
        CheckAnswer(last);
    }

    // Fed again in one piece after a reset, the checker ends where it ended in pieces.
    checker.Reset();
    FUZZ_CHECK(Same(Capture([&] { return checker.Feed(rest); }), last));
    return 0;
}
