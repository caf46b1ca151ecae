include(${CMAKE_CURRENT_LIST_DIR}/TernLines.cmake)

# One line of the table, in tern_read_string_table's scope.
macro(tern_string_table_line)
    if(line MATCHES "^[ \t]*STRING_ENTRY\\([ \t]*([0-9]+)[ \t]*,[ \t]*\"(.*)\"[ \t]*\\)")
        set(id ${CMAKE_MATCH_1})
        if(id LESS 105 OR id GREATER 128)
            message(FATAL_ERROR "${file}: id ${id} is outside 105 to 128")
        endif()
        if(id IN_LIST ids)
            message(FATAL_ERROR "${file}: id ${id} is there twice; each id from 105 to 128 "
                "must be there once")
        endif()
        list(APPEND ids ${id})
        set(entry_${id} "${CMAKE_MATCH_2}")
    elseif(line MATCHES "^[ \t]*GAME_SETTING\\([ \t]*([A-Za-z]+)[ \t]*,[ \t]*\"(.*)\"[ \t]*\\)")
        if(NOT CMAKE_MATCH_1 IN_LIST settings)
            message(FATAL_ERROR "${file}: unknown setting ${CMAKE_MATCH_1}; known are "
                "${settings}")
        endif()
        set(${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
    elseif(line MATCHES "^[ \t]*(STRING_ENTRY|GAME_SETTING)")
        message(FATAL_ERROR "${file}: not one STRING_ENTRY(id, \"text\") or "
            "GAME_SETTING(Name, \"text\") on one line: ${line}")
    endif()
endmacro()

# tern_read_string_table(<file>)
# Checks the launcher's string table and reads what the build needs from it, so that the build,
# the shipped texts, the package and the tests all name the game the table names. Sets, in the
# caller's scope:
#   TERN_GAME_NAME, TERN_GAME_KEY          entry 121 and the game's key (entry 120 \ entry 121)
#   TERN_GAME_EXECUTABLE_BASE, TERN_GAME_WINDOW_CAPTION, TERN_GAME_COMPANY_NAME,
#   TERN_GAME_PRODUCT_NAME                 the GAME_SETTING values, defaults filled in (the
#                                          product name's is the game name)
#   TERN_GAME_SETTINGS_LITERALS            the settings as C string literals, for the launcher
# A missing, doubled or unknown id or setting fails the configuration with a message naming it.
function(tern_read_string_table file)
    set(settings ExecutableBase WindowCaption CompanyName ProductName)
    set(ExecutableBase "skyreach")
    set(WindowCaption "Skyreach Updater")
    set(CompanyName "Norland")
    set(ProductName "")

    set(ids "")
    tern_for_each_line("${file}" tern_string_table_line)
    foreach(id RANGE 105 128)
        if(NOT id IN_LIST ids)
            message(FATAL_ERROR "${file}: id ${id} is missing; each id from 105 to 128 must be "
                "there once")
        endif()
    endforeach()
    if(ProductName STREQUAL "")
        set(ProductName "${entry_121}")
    endif()

    set(literals "")
    foreach(setting IN LISTS settings)
        string(APPEND literals "#define TERN_GAME_SETTING_${setting} \"${${setting}}\"\n")
    endforeach()
    set(TERN_GAME_SETTINGS_LITERALS "${literals}" PARENT_SCOPE)

    # The texts are C string literals: the build's other readers want them plain. Only names are
    # read here, which hold no escapes but \\ and \".
    foreach(name entry_120 entry_121 ExecutableBase WindowCaption CompanyName ProductName)
        string(REPLACE "\\\"" "\"" ${name} "${${name}}")
        string(REPLACE "\\\\" "\\" ${name} "${${name}}")
    endforeach()
    # A patch's stamp holds at most 100 bytes of product name: a longer one would refuse them all.
    string(LENGTH "${ProductName}" productNameBytes)
    if(productNameBytes EQUAL 0 OR productNameBytes GREATER 100)
        message(FATAL_ERROR "${file}: the ProductName setting (by default entry 121) must have 1 "
            "to 100 bytes: ${ProductName}")
    endif()
    set(TERN_GAME_NAME "${entry_121}" PARENT_SCOPE)
    set(TERN_GAME_KEY "${entry_120}\\${entry_121}" PARENT_SCOPE)
    set(TERN_GAME_EXECUTABLE_BASE "${ExecutableBase}" PARENT_SCOPE)
    set(TERN_GAME_WINDOW_CAPTION "${WindowCaption}" PARENT_SCOPE)
    set(TERN_GAME_COMPANY_NAME "${CompanyName}" PARENT_SCOPE)
    set(TERN_GAME_PRODUCT_NAME "${ProductName}" PARENT_SCOPE)
endfunction()
