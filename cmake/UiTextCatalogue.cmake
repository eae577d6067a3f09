# cmake -DROOT=dir -DSOURCE_LIST=file-of-sources -DSTRINGS=en.strings -DOUTPUT=file.cpp -P UiTextCatalogue.cmake
# Lists every UI_TEXT literal of the sources and every text of the string table as
# QT_TRANSLATE_NOOP("EngineText", …): lupdate reads the list for translators, and EngineTexts
# matches the engine's English against it. A UI_TEXT of anything but literals fails the build,
# since no translator would see it.
file(STRINGS "${SOURCE_LIST}" SOURCES)
set(_texts "")
set(_count 0)
foreach(_file IN LISTS SOURCES)
    if(_file STREQUAL "")
        continue()
    endif()
    file(READ "${_file}" _src)
    # CMake lists split at ";" and pair brackets: keep those of the texts apart until written.
    string(REPLACE ";" "@SEMICOLON@" _src "${_src}")
    string(REPLACE "[" "@LBRACKET@" _src "${_src}")
    string(REPLACE "]" "@RBRACKET@" _src "${_src}")
    string(REGEX REPLACE "#define UI_TEXT[^\n]*" "" _src "${_src}")
    string(REGEX MATCHALL "UI_TEXT\\(" _marks "${_src}")
    string(REGEX MATCHALL "UI_TEXT\\(([ \t\r\n]*\"([^\"\\\\\n]|\\\\.)*\")+[ \t\r\n]*\\)" _found "${_src}")
    list(LENGTH _marks _nmarks)
    list(LENGTH _found _nfound)
    if(NOT _nmarks EQUAL _nfound)
        message(FATAL_ERROR "${_file}: UI_TEXT holds something other than string literals")
    endif()
    file(RELATIVE_PATH _rel "${ROOT}" "${_file}")
    foreach(_m IN LISTS _found)
        string(REGEX REPLACE "^UI_TEXT\\([ \t\r\n]*(.*[^ \t\r\n])[ \t\r\n]*\\)$" "\\1" _lit "${_m}")
        string(REGEX REPLACE "([^\\\\])\"[ \t\r\n]+\"" "\\1" _lit "${_lit}")
        string(APPEND _texts "    //: ${_rel}\n    QT_TRANSLATE_NOOP(\"EngineText\", ${_lit}),\n")
        math(EXPR _count "${_count} + 1")
    endforeach()
endforeach()
# The string table's texts; its %@ is the first value.
file(STRINGS "${STRINGS}" _lines ENCODING UTF-8)
foreach(_line IN LISTS _lines)
    if(_line MATCHES "^([A-Za-z0-9_]+)=(.+)$")
        set(_key "${CMAKE_MATCH_1}")
        string(REPLACE "\\" "\\\\" _value "${CMAKE_MATCH_2}")
        string(REPLACE "\"" "\\\"" _value "${_value}")
        string(REPLACE "%@" "%1" _value "${_value}")
        string(APPEND _texts "    //: strings/en.strings ${_key}\n    QT_TRANSLATE_NOOP(\"EngineText\", \"${_value}\"),\n")
        math(EXPR _count "${_count} + 1")
    endif()
endforeach()
string(CONCAT _out "// Made by cmake/UiTextCatalogue.cmake from the UI_TEXT marks and the string table.\n"
    "#include <QtGlobal>\n\n#include \"EngineTexts.h\"\n\n"
    "const char* const EngineTexts::kTemplates[] = {\n${_texts}};\n"
    "const size_t EngineTexts::kTemplateCount = ${_count};\n")
string(REPLACE "@SEMICOLON@" ";" _out "${_out}")
string(REPLACE "@LBRACKET@" "[" _out "${_out}")
string(REPLACE "@RBRACKET@" "]" _out "${_out}")
# Written only when it changed, so that an unrelated edit rebuilds nothing.
if(EXISTS "${OUTPUT}")
    file(READ "${OUTPUT}" _old)
endif()
if(NOT _old STREQUAL _out)
    file(WRITE "${OUTPUT}" "${_out}")
endif()
