# Fails when a file includes a project header from outside the folders it may use.
# Run as: cmake -DALLOWED=<prefix|...> [-DDENIED=<prefix|...>] -DFILES=<file|...> -DSTAMP=<file>
#         -P check_includes.cmake
# Of the allowed and denied prefixes that a header starts with, the longest decides.
# Project headers are those under the project's top-level folders (platform/, updatelib/,
# launcher/, tools/); system and library headers are not checked.
string(REPLACE "|" ";" ALLOWED "${ALLOWED}")
string(REPLACE "|" ";" DENIED "${DENIED}")
string(REPLACE "|" ";" FILES "${FILES}")
set(failures "")
foreach(file IN LISTS FILES)
    file(STRINGS "${file}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line IN LISTS lines)
        string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*$" "\\1" header "${line}")
        if(NOT header MATCHES "^(platform|updatelib|launcher|tools)/")
            continue()
        endif()
        set(allowed FALSE)
        set(decidingLength -1)
        foreach(verdict IN ITEMS TRUE FALSE)
            set(prefixes ${ALLOWED})
            if(NOT verdict)
                set(prefixes ${DENIED})
            endif()
            foreach(prefix IN LISTS prefixes)
                string(FIND "${header}" "${prefix}" at)
                string(LENGTH "${prefix}" length)
                if(at EQUAL 0 AND length GREATER decidingLength)
                    set(allowed ${verdict})
                    set(decidingLength ${length})
                endif()
            endforeach()
        endforeach()
        if(NOT allowed)
            string(APPEND failures "\n  ${file}: ${header}")
        endif()
    endforeach()
endforeach()
if(failures)
    message(FATAL_ERROR
            "Includes from a layer above or a realisation (allowed: ${ALLOWED}; denied: ${DENIED}):"
            "${failures}")
endif()
file(WRITE "${STAMP}" "")
