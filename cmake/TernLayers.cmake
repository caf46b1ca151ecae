# tern_check_includes(<target> ALLOW <prefix>... [DENY <prefix>...])
# Makes building <target> fail when one of its sources, or a header in the folders of its
# sources, includes a project header outside the given path prefixes: the folders form layers
# that may only include downwards, and the build says so. Where an ALLOW and a DENY prefix both
# match, the longer one decides (DENY "platform/posix/" "platform/win32/" keeps code above the
# platform on the facility headers; a whole header path in ALLOW names a known exception).
function(tern_check_includes target)
    cmake_parse_arguments(C "" "" "ALLOW;DENY" ${ARGN})
    get_target_property(sources ${target} SOURCES)
    get_target_property(sourceDir ${target} SOURCE_DIR)
    set(files "")
    set(directories "")
    foreach(source IN LISTS sources)
        if(NOT source MATCHES "\\.(cpp|h)$")
            continue()
        endif()
        get_filename_component(path "${source}" ABSOLUTE BASE_DIR "${sourceDir}")
        list(APPEND files "${path}")
        get_filename_component(directory "${path}" DIRECTORY)
        list(APPEND directories "${directory}")
    endforeach()
    list(REMOVE_DUPLICATES directories)
    foreach(directory IN LISTS directories)
        file(GLOB headers CONFIGURE_DEPENDS "${directory}/*.h")
        list(APPEND files ${headers})
    endforeach()
    list(REMOVE_DUPLICATES files)
    set(stamp "${CMAKE_CURRENT_BINARY_DIR}/${target}.includes-checked")
    # Lists travel as '|'-separated words: a ';' would split the command's arguments.
    string(REPLACE ";" "|" allowed "${C_ALLOW}")
    string(REPLACE ";" "|" denied "${C_DENY}")
    string(REPLACE ";" "|" fileWords "${files}")
    add_custom_command(OUTPUT "${stamp}"
        COMMAND ${CMAKE_COMMAND} "-DALLOWED=${allowed}" "-DDENIED=${denied}" "-DFILES=${fileWords}"
                "-DSTAMP=${stamp}"
                -P "${PROJECT_SOURCE_DIR}/cmake/check_includes.cmake"
        DEPENDS ${files} "${PROJECT_SOURCE_DIR}/cmake/check_includes.cmake"
        COMMENT "Checking that ${target} includes only from its layer and below"
        VERBATIM)
    add_custom_target(${target}_includes DEPENDS "${stamp}")
    add_dependencies(${target} ${target}_includes)
endfunction()
