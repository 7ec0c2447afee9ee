# Writes the version the programs print: from `git describe` when the source is a clone (a tag
# "vX.Y.Z" where there is one, else the project version and the commit), else the project
# version. Run at every build; the file is rewritten only when the text changes, so an unchanged
# version rebuilds nothing.
# Variables: SOURCE_DIR, OUTPUT, PROJECT_VERSION.
set(version "${PROJECT_VERSION}")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS "${SOURCE_DIR}/.git")
    execute_process(
        COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" describe --tags --match "v[0-9]*" --dirty --abbrev=10
        OUTPUT_VARIABLE described OUTPUT_STRIP_TRAILING_WHITESPACE
        RESULT_VARIABLE status ERROR_QUIET)
    if(status EQUAL 0 AND described MATCHES "^v(.+)$")
        set(version "${CMAKE_MATCH_1}")
    else()
        execute_process(
            COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" describe --always --dirty --abbrev=10
            OUTPUT_VARIABLE described OUTPUT_STRIP_TRAILING_WHITESPACE
            RESULT_VARIABLE status ERROR_QUIET)
        if(status EQUAL 0 AND NOT described STREQUAL "")
            set(version "${PROJECT_VERSION}-g${described}")
        endif()
    endif()
endif()

set(text "// Generated at build time by scripts/build-version.cmake.\n")
string(APPEND text "#include \"foundation/BuildVersion.h\"\n\n")
string(APPEND text "const char* sonorix::buildVersion() {\n    return \"${version}\";\n}\n")
if(EXISTS "${OUTPUT}")
    file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
    file(WRITE "${OUTPUT}" "${text}")
endif()
