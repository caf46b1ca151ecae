# The service's interpreted stubs for the Windows RPC runtime, written by widl at build time.
# The client's stubs are named Call<procedure>, the server's manager functions
# Serve<procedure>, so that one program may hold both.
enable_language(C)
set(idl "${CMAKE_CURRENT_SOURCE_DIR}/service/update_service_interface.idl")
set(acf "${CMAKE_CURRENT_SOURCE_DIR}/service/update_service_interface.acf")
set(stubs "${CMAKE_CURRENT_BINARY_DIR}/service_stubs")
file(MAKE_DIRECTORY "${stubs}")
set(generated
    "${stubs}/update_service_interface.h"
    "${stubs}/update_service_interface_c.c"
    "${stubs}/update_service_interface_s.c")
add_custom_command(OUTPUT ${generated}
    COMMAND ${TERN_WIDL} -Oif -I "${TERN_WINDOWS_IDL}" "--acf=${acf}" --prefix-client=Call
            --prefix-server=Serve -h -c -s "${idl}"
    DEPENDS "${idl}" "${acf}"
    WORKING_DIRECTORY "${stubs}"
    COMMENT "Writing the update service's RPC stubs"
    VERBATIM)
# Generated code: the project's warnings do not apply to it.
add_library(tern_service_stubs OBJECT ${generated})
target_include_directories(tern_service_stubs PUBLIC "${stubs}")
target_link_libraries(tern_service PRIVATE tern_service_stubs rpcrt4 advapi32)
