# Builds the extension for one browser: cmake -DSOURCE_DIR=... -DOUTPUT_DIR=... -DBROWSER=chromium|
# firefox -DNATIVE_HOST_NAME=... -P BuildExtension.cmake
#
# The browser's manifest is the shared manifest.json with the members of <browser>.json set on
# top (each replaces the shared member of its name whole). The unpacked extension goes to
# OUTPUT_DIR/<browser>/; for Firefox it is also packed into OUTPUT_DIR/firefox.xpi.
foreach(variable SOURCE_DIR OUTPUT_DIR BROWSER NATIVE_HOST_NAME)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "BuildExtension.cmake needs -D${variable}=...")
    endif()
endforeach()

set(files background.js blocked.html blocked.js blocked.css)
set(folder "${OUTPUT_DIR}/${BROWSER}")
file(REMOVE_RECURSE "${folder}")
file(MAKE_DIRECTORY "${folder}")

file(READ "${SOURCE_DIR}/manifest.json" manifest)
file(READ "${SOURCE_DIR}/${BROWSER}.json" overlay)
string(JSON count LENGTH "${overlay}")
math(EXPR last "${count} - 1")
foreach(index RANGE ${last})
    string(JSON member MEMBER "${overlay}" ${index})
    string(JSON value GET "${overlay}" "${member}")
    string(JSON type TYPE "${overlay}" "${member}")
    if(type STREQUAL "STRING")  # GET gives a string's text; SET wants JSON (no escapes needed here)
        set(value "\"${value}\"")
    endif()
    string(JSON manifest SET "${manifest}" "${member}" "${value}")
endforeach()
file(WRITE "${folder}/manifest.json" "${manifest}\n")

foreach(name ${files})
    configure_file("${SOURCE_DIR}/${name}" "${folder}/${name}" @ONLY)
endforeach()

if(BROWSER STREQUAL "firefox")
    file(REMOVE "${OUTPUT_DIR}/firefox.xpi")
    execute_process(
        COMMAND "${CMAKE_COMMAND}" -E tar cf "${OUTPUT_DIR}/firefox.xpi" --format=zip
                --mtime=2001-01-01 manifest.json ${files}
        WORKING_DIRECTORY "${folder}"
        RESULT_VARIABLE packed)
    if(NOT packed EQUAL 0)
        message(FATAL_ERROR "cannot pack ${OUTPUT_DIR}/firefox.xpi")
    endif()
endif()
