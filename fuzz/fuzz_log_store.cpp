// The log's store and search: the input's lines are the log, its first line the text to
// find. It must never crash or read outside its blocks, and every hit must be the text
// sought, in the line and at the offset it names.

#include "log/log_store.h"

#include <cstdlib>
#include <string_view>

using namespace quintrel;

namespace {

bool SameText(std::string_view a, std::string_view b, bool matchCase) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (!matchCase) {
            if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
            if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
        }
        if (x != y) return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = text.find('\n');
    if (cut == std::string_view::npos) return 0;
    const std::string_view needle = text.substr(0, cut);
    TLogStore store;
    std::string_view rest = text.substr(cut + 1);
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        store.Append(rest.substr(0, end));
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    for (const bool matchCase : {false, true}) {
        std::size_t before = 0;
        const std::size_t all =
            store.CountMatches(needle, matchCase, {store.Count() / 2, 0}, &before);
        if (before > all) std::abort();
        // Counting on from a line adds up with what lies before it.
        if (before + store.CountMatches(needle, matchCase, {}, nullptr, store.Count() / 2) != all)
            std::abort();
        for (const bool forward : {true, false}) {
            TLogPosition hit;
            TLogPosition from{store.Count() / 3, 1};
            if (!store.Find(needle, matchCase, from, forward, true, hit)) {
                if (all != 0) std::abort(); // wrapping, any match is found
                continue;
            }
            const std::string_view line = store.Line(hit.Line);
            if (hit.Offset + needle.size() > line.size()) std::abort();
            if (!SameText(line.substr(hit.Offset, needle.size()), needle, matchCase)) std::abort();
        }
    }
    return 0;
}
