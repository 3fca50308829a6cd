#include "cli/StationPool.h"

#include <array>
#include <optional>

#include "base/Convert.h"
#include "protocol/CommandInputRules.h"

namespace {

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// A decimal ID; digits only, so that "+5", "0x5" and "5 6" are refused rather than read.
std::optional<int> IdOf(const std::string& text) {
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return TryStrToInt(text);
}

} // namespace

std::string TIdPool::Text() const {
    std::string text;
    for (size_t k = 0; k < Ids.size();) {
        size_t end = k;
        while (end + 1 < Ids.size() && Ids[end + 1] == Ids[end] + 1)
            ++end;
        if (!text.empty()) text += ",";
        text += std::to_string(Ids[k]);
        if (end > k) text += "-" + std::to_string(Ids[end]);
        k = end + 1;
    }
    return text;
}

std::string ParseIdPool(const std::string& text, TIdPool& pool) {
    const TNumberInput& id = NumberInputOf(&TCommandInputs::Id);
    pool.Ids.clear();
    if (Trim(text).empty()) return "no IDs given (e.g. --ids 1-20,30)";
    // Which item holds each ID, to name both sides of an overlap.
    std::array<int, 256> owner{};
    std::vector<std::string> items;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        items.push_back(
            Trim(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start)));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    for (size_t k = 0; k < items.size(); ++k) {
        const std::string& item = items[k];
        const std::string name = "item " + std::to_string(k + 1);
        if (item.empty()) return name + " is empty";
        const std::string quoted = name + " '" + item + "'";
        const size_t dash = item.find('-', 1);
        const std::string lowText = Trim(item.substr(0, dash));
        const std::string highText = dash == std::string::npos ? lowText : Trim(item.substr(dash + 1));
        const auto low = IdOf(lowText), high = IdOf(highText);
        for (const auto& [value, given] : {std::pair{low, lowText}, std::pair{high, highText}}) {
            if (!value) return quoted + ": '" + given + "' is not a whole number; give N or N-M";
            if (*value < id.Min || *value > id.Max) return quoted + ": " + RefusalReason(id);
        }
        if (*low > *high) return quoted + ": a range runs upwards (write " + highText + "-" + lowText + ")";
        for (int n = *low; n <= *high; ++n) {
            if (const int other = owner[static_cast<size_t>(n)])
                return quoted + " overlaps item " + std::to_string(other) + " '" + items[other - 1] + "' (" +
                       std::to_string(n) + " is in both)";
            owner[static_cast<size_t>(n)] = static_cast<int>(k + 1);
        }
    }
    for (int n = 0; n < 256; ++n)
        if (owner[static_cast<size_t>(n)]) pool.Ids.push_back(n);
    return "";
}
