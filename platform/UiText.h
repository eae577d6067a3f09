#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

// Marks an English text that a person reads. Where the engine keeps it (logs, journals, D-Bus,
// the command line) it stays English, which scripts match; the build lists every marked literal
// for lupdate, and the desktop translates the text where it shows it (EngineTexts). Values go in
// as %1 … %9, so that a text built from pieces still reads as one template.
#define UI_TEXT(text) text

class UiText {
public:
    // The template with each %N replaced by the Nth value (a %N without a value stays).
    static std::string format(std::string_view pattern, std::initializer_list<std::string_view> values);
};
