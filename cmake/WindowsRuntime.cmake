# Which copy of the compiler's runtime (libstdc++, libgcc, winpthreads) each
# Windows program uses. The engine, the kill tool and the tests run alone,
# often from a folder of their own, so they carry the runtime inside (the
# toolchain's -static flags). The window runs beside the Qt DLLs, which use
# the runtime DLLs; linked statically it would hold a second runtime whose
# heap, exceptions and thread state differ from Qt's. A program marks itself
# with tessary_use_runtime_dlls(target) and ships the DLLs beside it.
string(REGEX REPLACE "-static(-libgcc|-libstdc\\+\\+)?( |$)" "" CMAKE_EXE_LINKER_FLAGS
       "${CMAKE_EXE_LINKER_FLAGS}")
add_link_options(
    "$<$<AND:$<STREQUAL:$<TARGET_PROPERTY:TYPE>,EXECUTABLE>,$<NOT:$<BOOL:$<TARGET_PROPERTY:TESSARY_RUNTIME_DLLS>>>>:-static;-static-libgcc;-static-libstdc++>")

# The runtime DLLs the compiler's programs load, for the installation.
set(TESSARY_RUNTIME_DLLS)
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -print-file-name=${dll}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    get_filename_component(path "${path}" REALPATH)
    if(NOT EXISTS "${path}")
        message(FATAL_ERROR "The compiler's ${dll} was not found")
    endif()
    list(APPEND TESSARY_RUNTIME_DLLS "${path}")
endforeach()

function(tessary_use_runtime_dlls target)
    set_target_properties(${target} PROPERTIES TESSARY_RUNTIME_DLLS ON)
endfunction()
