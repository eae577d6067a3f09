# The Qt libraries (core, prefs, auth, app): one static library per folder, built from the given
# sources and window layouts. Only the folder's own headers reach its dependants; generated code
# (moc, uic, D-Bus adaptors) stays private, so a lower layer cannot include an upper one's files.
find_package(Qt6 6.4 REQUIRED COMPONENTS Core DBus Gui Widgets)

# zandrel_qt_library(NAME SOURCES file... [UI layout...] [QT module...] LINKS target...)
# UI names layouts of resources/ui without their extension. QT names the Qt modules beyond Core
# (default: Gui Widgets); a library without a display gives only DBus.
function(zandrel_qt_library name)
    cmake_parse_arguments(arg "" "" "SOURCES;UI;QT;LINKS" ${ARGN})
    if(NOT arg_QT)
        set(arg_QT Gui Widgets)
    endif()
    list(TRANSFORM arg_QT PREPEND Qt6::)
    list(TRANSFORM arg_UI PREPEND ${PROJECT_SOURCE_DIR}/resources/ui/)
    list(TRANSFORM arg_UI APPEND .ui)
    add_library(${name} STATIC ${arg_SOURCES} ${arg_UI})
    set_target_properties(${name} PROPERTIES AUTOMOC ON AUTOUIC ON
        AUTOUIC_SEARCH_PATHS ${PROJECT_SOURCE_DIR}/resources/ui)
    target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR} PRIVATE ${CMAKE_CURRENT_BINARY_DIR})
    target_link_libraries(${name} PUBLIC ${arg_LINKS} zandrel_common Qt6::Core ${arg_QT})
    target_compile_definitions(${name} PUBLIC QT_NO_KEYWORDS)
endfunction()
