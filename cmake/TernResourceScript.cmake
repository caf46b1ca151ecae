# Writes the Windows resource script fragments of the launcher from the data the other window
# reads too, so that the two cannot drift apart:
#   cmake -DDIALOG=<dialog_102.def> -DSTRINGS=<string_table.def> -DOUTPUT_DIR=<dir>
#         -P TernResourceScript.cmake
# gives <dir>/dialog_102.rc (the DIALOGEX) and <dir>/string_table.rc (the STRINGTABLE). The
# texts are C string literals, which the resource compiler reads with the same escapes; they
# pass unchanged.
cmake_minimum_required(VERSION 3.25)

# The window's controls by kind: class, style and extended style.
set(kind_StaticText "\"Static\", SS_LEFT | SS_NOPREFIX | WS_GROUP")
set(kind_ProgressBar "\"msctls_progress32\", WS_BORDER")
set(kind_PushButton "\"Button\", BS_PUSHBUTTON | WS_TABSTOP")
set(kind_Separator "\"Static\", SS_ETCHEDHORZ")
set(kind_LogBox
    "\"Edit\", ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL | WS_BORDER | WS_TABSTOP")

# A ';' in a text travels as this character through the CMake lists below.
string(ASCII 1 semicolon)

# Sets <out> to the arguments of the macro call `<name>(...)` that starts `line`, each a C string
# literal (kept with its quotes) or a word; unset when the line is not such a call.
function(tern_arguments name out)
    unset(${out} PARENT_SCOPE)
    if(NOT line MATCHES "^[ \t]*${name}\\((.*)$")
        return()
    endif()
    set(rest "${CMAKE_MATCH_1}")
    set(arguments "")
    while(TRUE)
        string(REGEX MATCH "^[ \t]*(\"([^\"\\\\]|\\\\.)*\"|[A-Za-z0-9_-]+)[ \t]*([,)])"
            token "${rest}")
        if(token STREQUAL "")
            message(FATAL_ERROR "not one ${name}(...) on one line: ${line}")
        endif()
        string(REPLACE ";" "${semicolon}" argument "${CMAKE_MATCH_1}")
        list(APPEND arguments "${argument}")
        string(LENGTH "${token}" length)
        string(SUBSTRING "${rest}" ${length} -1 rest)
        if(CMAKE_MATCH_3 STREQUAL ")")
            break()
        endif()
    endwhile()
    set(${out} "${arguments}" PARENT_SCOPE)
endfunction()

include(${CMAKE_CURRENT_LIST_DIR}/TernLines.cmake)

# The texts are UTF-8; the compiler turns them into the resources' UTF-16.
string(CONCAT header "// Generated from @source@ by cmake/TernResourceScript.cmake: edit that file.\n"
    "#pragma code_page(65001)\n")

# Sets the variables named after <name> to the macro call's `arguments`, one each; fails the build
# when the call has another number of them.
macro(tern_take_arguments name)
    set(names ${ARGN})
    list(LENGTH arguments count)
    list(LENGTH names expected)
    if(NOT count EQUAL expected)
        message(FATAL_ERROR "${DIALOG}: ${name} takes ${expected} arguments: ${line}")
    endif()
    list(POP_FRONT arguments ${names})
endmacro()

macro(tern_dialog_line)
    tern_arguments(DIALOG_TEMPLATE arguments)
    if(DEFINED arguments)
        tern_take_arguments(DIALOG_TEMPLATE id caption face points x y width height)
        string(APPEND dialog "${id} DIALOGEX ${x}, ${y}, ${width}, ${height}\n"
            "STYLE DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_DISABLED\n"
            "CAPTION ${caption}\nFONT ${points}, ${face}\nBEGIN\n")
        math(EXPR dialogs "${dialogs} + 1")
    endif()
    tern_arguments(DIALOG_CONTROL arguments)
    if(DEFINED arguments)
        tern_take_arguments(DIALOG_CONTROL id kind text x y width height)
        if(NOT DEFINED kind_${kind})
            message(FATAL_ERROR "${DIALOG}: unknown control kind ${kind}")
        endif()
        string(APPEND controls "    CONTROL ${text}, ${id}, ${kind_${kind}}, "
            "${x}, ${y}, ${width}, ${height}\n")
    endif()
endmacro()

macro(tern_string_line)
    tern_arguments(STRING_ENTRY arguments)
    if(DEFINED arguments)
        list(JOIN arguments ", " entry)
        string(APPEND strings "    ${entry}\n")
    endif()
endmacro()

set(dialog "")
set(controls "")
set(dialogs 0)
tern_for_each_line("${DIALOG}" tern_dialog_line)
if(NOT dialogs EQUAL 1)
    message(FATAL_ERROR "${DIALOG}: ${dialogs} dialog templates; one is expected")
endif()
set(source "${DIALOG}")
string(CONFIGURE "${header}" content @ONLY)
string(REPLACE "${semicolon}" ";" controls "${controls}")
string(REPLACE "${semicolon}" ";" dialog "${dialog}")
file(WRITE "${OUTPUT_DIR}/dialog_102.rc"
    "${content}#include <windows.h>\n#include <commctrl.h>\n${dialog}${controls}END\n")

# The table itself is checked when the build is configured (cmake/TernStringTable.cmake).
set(strings "")
tern_for_each_line("${STRINGS}" tern_string_line)
string(REPLACE "${semicolon}" ";" strings "${strings}")
set(source "${STRINGS}")
string(CONFIGURE "${header}" content @ONLY)
file(WRITE "${OUTPUT_DIR}/string_table.rc" "${content}STRINGTABLE\nBEGIN\n${strings}END\n")
