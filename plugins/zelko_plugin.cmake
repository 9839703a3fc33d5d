# zelko_add_plugin(<target> <version script> DEPS <object library and others>)
# A plug-in library "<target>.so" that exports only the entry points its version script lists,
# so no inline function of the agent is interposed across the library's boundary.
function(zelko_add_plugin target map)
    cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
    add_library(${target} SHARED)
    target_link_libraries(${target} PRIVATE ${ARG_DEPS})
    set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME "${target}" LINK_DEPENDS "${map}")
    zelko_add_version_resource(${target})
    target_link_options(${target} PRIVATE "-Wl,--version-script=${map}")
    if(NOT ZELKO_SANITIZE AND NOT ZELKO_FUZZ)
        target_link_options(${target} PRIVATE "-Wl,--no-undefined")
    endif()
endfunction()
