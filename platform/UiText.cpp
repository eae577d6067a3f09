#include "UiText.h"

std::string UiText::format(std::string_view pattern, std::initializer_list<std::string_view> values) {
    std::string out;
    out.reserve(pattern.size() + 32);
    for (size_t i = 0; i < pattern.size(); ++i) {
        const size_t n = i + 1 < pattern.size() && pattern[i] == '%' ? size_t(pattern[i + 1] - '1') : values.size();
        if (n < values.size()) {
            out.append(values.begin()[n]);
            ++i;
        } else {
            out.push_back(pattern[i]);
        }
    }
    return out;
}
