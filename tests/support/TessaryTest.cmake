# One way to register a test, so every test carries its area's label, the
# skip code the test programs and scripts exit with where something they
# need is missing on this machine (77), and a timeout.
#
#   tessary_add_test(<name> COMMAND <program> [<argument>...]
#                    [LABELS <label>...] [ENVIRONMENT <NAME=value>...]
#                    [TIMEOUT <seconds>] [GTEST] [RUN_SERIAL])
#       One ctest test. GTEST: a whole GoogleTest program (passes or fails
#       by its exit status; its skipped cases are listed in its output).
#   tessary_add_test(<target> DISCOVER [FILTER <gtest filter>] [TIMEOUT <seconds>])
#       Each case of a GoogleTest program as a test of its own (a skipped
#       case shows as skipped); FILTER leaves cases to other registrations.
#
# The area's label is the name of the folder below tests/; the Windows build
# adds "win32".
include(GoogleTest)

function(tessary_add_test name)
    cmake_parse_arguments(PARSE_ARGV 1 arg "DISCOVER;GTEST;RUN_SERIAL" "TIMEOUT;FILTER"
        "COMMAND;LABELS;ENVIRONMENT")
    if(arg_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "tessary_add_test(${name}): unknown ${arg_UNPARSED_ARGUMENTS}")
    endif()
    get_filename_component(area "${CMAKE_CURRENT_SOURCE_DIR}" NAME)
    set(labels ${area} ${arg_LABELS})
    if(WIN32)
        list(APPEND labels win32)
    endif()
    if(NOT arg_TIMEOUT)
        set(arg_TIMEOUT 120)
    endif()

    if(arg_DISCOVER)
        if(arg_LABELS OR arg_ENVIRONMENT OR arg_COMMAND)
            message(FATAL_ERROR "tessary_add_test(${name} DISCOVER) takes FILTER and TIMEOUT only")
        endif()
        set(filter)
        if(arg_FILTER)
            set(filter TEST_FILTER "${arg_FILTER}")
        endif()
        # The area's label alone: the discovery writes one value a property.
        gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST ${filter}
            PROPERTIES LABELS ${area} TIMEOUT ${arg_TIMEOUT} SKIP_RETURN_CODE 77)
        return()
    endif()

    if(NOT arg_COMMAND)
        message(FATAL_ERROR "tessary_add_test(${name}) needs a COMMAND")
    endif()
    add_test(NAME ${name} COMMAND ${arg_COMMAND})
    set_tests_properties(${name} PROPERTIES
        LABELS "${labels}"
        TIMEOUT ${arg_TIMEOUT}
        SKIP_RETURN_CODE 77)
    if(arg_ENVIRONMENT)
        set_tests_properties(${name} PROPERTIES ENVIRONMENT "${arg_ENVIRONMENT}")
    endif()
    # GTEST marks a whole GoogleTest program. ctest's skip pattern would win
    # over a failing exit status (a program with one skipped case and one
    # failed case would show as "Skipped"), so such a program passes or fails
    # by its exit status and lists its skipped cases in its output.
    if(arg_RUN_SERIAL)
        set_tests_properties(${name} PROPERTIES RUN_SERIAL TRUE)
    endif()
endfunction()

# A window test program: linked with the window and the shared window test
# support, built into a folder of its own with the program's templates
# beside it (as an installation puts them), and run under the offscreen
# platform on the given screen (a file made by tessary_test_screen).
function(tessary_add_window_test_program target)
    cmake_parse_arguments(PARSE_ARGV 1 arg "TEMPLATES" "FOLDER" "SOURCES;LIBRARIES")
    add_executable(${target} ${arg_SOURCES})
    target_link_libraries(${target} PRIVATE tessary_window_test_support ${arg_LIBRARIES})
    if(arg_FOLDER)
        set_target_properties(${target} PROPERTIES
            RUNTIME_OUTPUT_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/${arg_FOLDER}")
    endif()
    if(arg_TEMPLATES)
        add_custom_command(TARGET ${target} POST_BUILD
            COMMAND ${CMAKE_COMMAND} -E make_directory "$<TARGET_FILE_DIR:${target}>/pdata"
            COMMAND ${CMAKE_COMMAND} -E copy ${TESSARY_TEMPLATE_SOURCES}
                    "$<TARGET_FILE_DIR:${target}>/pdata/")
    endif()
endfunction()

# A screen description for Qt's offscreen platform: 1920x1080 at 96 DPI, or
# 3840x2160 at 192 DPI. Sets <variable> to QT_QPA_PLATFORM's value for it.
function(tessary_test_screen variable dpi)
    set(file "${CMAKE_CURRENT_BINARY_DIR}/screen${dpi}.json")
    math(EXPR width "1920 * ${dpi} / 96")
    math(EXPR height "1080 * ${dpi} / 96")
    file(WRITE "${file}" "{\"screens\":[{\"name\":\"S1\",\"x\":0,\"y\":0,\"width\":${width},"
        "\"height\":${height},\"logicalDpi\":${dpi}}]}")
    set(${variable} "QT_QPA_PLATFORM=offscreen:configfile=${file}" PARENT_SCOPE)
endfunction()

# tessary_add_valgrind_test(<name> <target> <gtest filter> [<valgrind option>...])
#   The cases of a GoogleTest program that match the filter once more under
#   valgrind (when installed), failing on the first error it reports.
function(tessary_add_valgrind_test name target filter)
    find_program(VALGRIND_PROGRAM valgrind)
    if(NOT VALGRIND_PROGRAM)
        return()
    endif()
    tessary_add_test(${name}
        COMMAND "${VALGRIND_PROGRAM}" --error-exitcode=1 --leak-check=no ${ARGN}
                $<TARGET_FILE:${target}> --gtest_filter=${filter}
        TIMEOUT 170 GTEST)
endfunction()
