#include "protocol/CommandInputRules.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr TModel NamedModels[] = {TModel::KestrelA, TModel::MarlinA, TModel::OspreyB};

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

} // namespace

std::optional<TModel> ModelOfName(std::string_view name) {
    const size_t first = name.find_first_not_of(" \t");
    if (first == std::string_view::npos) return std::nullopt;
    name = name.substr(first, name.find_last_not_of(" \t") + 1 - first);
    for (TModel model : NamedModels)
        if (SameName(name, ModelCaption(model))) return model;
    return std::nullopt;
}

std::vector<std::string> ModelNames() {
    std::vector<std::string> names;
    for (TModel model : NamedModels)
        names.emplace_back(ModelCaption(model));
    return names;
}

std::string ModelNamesText() {
    const std::vector<std::string> names = ModelNames();
    std::string text;
    for (size_t k = 0; k < names.size(); ++k)
        text += (k == 0 ? "" : k + 1 == names.size() ? " or " : ", ") + names[k];
    return text;
}

const TNumberInput& NumberInputOf(int TCommandInputs::*field) {
    for (const TNumberInput& input : NumberInputs)
        if (input.Field == field) return input;
    return NumberInputs[0];
}

std::string RefusalReason(const TNumberInput& input) {
    std::string why = input.Why;
    const size_t at = why.find("{}");
    if (at != std::string::npos)
        why.replace(at, 2, std::to_string(input.Min) + ".." + std::to_string(input.Max));
    return why;
}

std::string RefusedInputText(std::string_view given, std::string_view value, std::string_view why) {
    std::string shown(value);
    if (shown.empty() || shown.find_first_of(" \t") != std::string::npos) shown = "'" + shown + "'";
    return std::string(given) + " " + shown + ": " + std::string(why);
}

std::string UnknownModelReason() {
    return "unknown model; give " + ModelNamesText();
}
